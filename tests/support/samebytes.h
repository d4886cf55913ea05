#pragma once
// Compares long byte strings and reports sizes and the first difference instead of printing
// megabytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace test {

inline testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
  const size_t common = std::min(actual.size(), expected.size());
  const size_t at = static_cast<size_t>(std::mismatch(actual.begin(), actual.begin() + common, expected.begin()).first -
                                        actual.begin());
  if (at == common && actual.size() == expected.size()) return testing::AssertionSuccess();
  testing::AssertionResult failure = testing::AssertionFailure();
  failure << "sizes " << actual.size() << " and " << expected.size() << ", first difference at " << at;
  if (at < common) {
    failure << ": " << static_cast<int>(static_cast<unsigned char>(actual[at])) << " instead of "
            << static_cast<int>(static_cast<unsigned char>(expected[at]));
  }
  return failure;
}

}  // namespace test
