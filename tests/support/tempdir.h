#pragma once
// A fresh directory below the system's temporary directory for one test's files, removed
// with everything in it when the object goes.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace test {

class TempDir {
 public:
  TempDir() : TempDir(std::filesystem::temp_directory_path()) {}
  /// A fresh directory below `base` (for example a memory file system, where syncs are free).
  explicit TempDir(const std::filesystem::path& base) : path_(NewPath(base)) {
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  [[nodiscard]] const std::filesystem::path& Dir() const { return path_; }
  /// The path of the named entry (which need not exist); the directory itself, ending in
  /// '/', for "".
  [[nodiscard]] std::string Path(const std::string& name = "") const { return (path_ / name).string(); }
  [[nodiscard]] std::string operator/(const std::string& name) const { return Path(name); }
  /// Makes the named directory with its parents.
  void MakeDir(const std::string& name) const { std::filesystem::create_directories(path_ / name); }
  /// Writes the named file and returns its path.
  std::string Write(const std::string& name, const std::string& content) const {
    const auto file = Path(name);
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }
  std::string Write(const std::string& name, const std::vector<uint8_t>& content) const {
    const auto file = Path(name);
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    return file;
  }

 private:
  // Unique per process and object: tests of one binary may run in parallel processes.
  static std::filesystem::path NewPath(const std::filesystem::path& base) {
    static uint32_t counter = 0;
    return base / ("logmend_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
  }
  std::filesystem::path path_;
};

}  // namespace test
