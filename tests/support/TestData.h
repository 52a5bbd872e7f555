// Where tests find generated data and scratch space.
#pragma once

#include <string>
#include <vector>

namespace sftest {

// Native path of the generated test data (SF_TEST_DATA_DIR), in the form the
// running program's file functions accept (Windows form under Wine).
std::string DataPath(const std::string& relative);

// Whole file as bytes; empty with `ok` false when it cannot be read.
std::vector<unsigned char> ReadFile(const std::string& path, bool* ok = nullptr);

}  // namespace sftest
