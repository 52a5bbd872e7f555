// The main of every test program: GoogleTest's, plus the check that no test
// leaves library state behind.
#include <gtest/gtest.h>

#include "support/LeftBehindCheck.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new sftest::LeftBehindCheck());
    return RUN_ALL_TESTS();
}
