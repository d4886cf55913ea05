#pragma once
// A fresh directory below the test temporary directory, removed with everything in it when
// the object ends. Path() ends in '/'.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace test {

class TempDir {
 public:
  TempDir() {
    std::string pattern = std::filesystem::path(testing::TempDir()) / "logmend_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed for " << pattern;
    path_ = pattern + "/";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  [[nodiscard]] const std::string& Path() const { return path_; }
  [[nodiscard]] std::string operator/(const std::string& relative) const { return path_ + relative; }

  void WriteFile(const std::string& relative, const std::string& bytes) const {
    std::ofstream(path_ + relative, std::ios::binary) << bytes;
  }
  void MakeDir(const std::string& relative) const { std::filesystem::create_directories(path_ + relative); }

 private:
  std::string path_;
};

}  // namespace test
