// Fails a test that leaves library state behind for the next one: a library
// thread object, a socket window, a TLS session or a name lookup thread that
// was not there when the test started. Installed by the test programs' main (TestMain.cpp).
#pragma once

#include <gtest/gtest.h>

#include <stdint.h>

namespace sftest {

class LeftBehindCheck : public ::testing::EmptyTestEventListener {
  public:
    struct Counts {
        int32_t libraryThreads;
        int32_t socketWindows;
        int32_t tlsSessions;
        int32_t lookupThreads;
    };
    static Counts Now();

    void OnTestStart(const ::testing::TestInfo& test) override;
    // Runs after the fixture was destroyed, so its TearDown has cleaned up.
    void OnTestEnd(const ::testing::TestInfo& test) override;

  private:
    Counts m_before{};
};

}  // namespace sftest
