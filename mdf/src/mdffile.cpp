#include "mdf/mdffile.h"

#include <exception>
#include <stdexcept>

#include "mdf/mdfhelper.h"
#include "mdf/mdflogstream.h"

namespace mdf {

std::string PathStem(const std::string& path) {
  std::string component = path;
  if (const auto separator = component.find_last_of("/\\"); separator != std::string::npos) {
    component.erase(0, separator + 1);
  } else if (component.size() >= 2 && component[1] == ':' &&
             ((component[0] >= 'A' && component[0] <= 'Z') || (component[0] >= 'a' && component[0] <= 'z'))) {
    component.erase(0, 2);
  }
  if (component == "." || component == "..") {
    return component;
  }
  if (const auto dot = component.find_last_of('.'); dot != std::string::npos && dot > 0) {
    component.erase(dot);
  }
  return component;
}

void MdfFile::FileName(const std::string& filename) {
  filename_ = filename;
  if (!name_.empty()) {
    return;
  }
  try {
    Utf8ToWide(filename);  // Throws on text that is not UTF-8.
    name_ = PathStem(filename);
  } catch (const std::exception& error) {
    MDF_ERROR() << "Invalid file name detected. Error: " << error.what() << ", File: " << filename;
  }
}

int MdfFile::MainVersion() const {
  try {
    return std::stoi(Version().substr(0, 1));
  } catch (const std::exception& error) {
    MDF_ERROR() << "Failure to finding MDF main version. Error: " << error.what();
  }
  return 0;
}

int MdfFile::MinorVersion() const {
  try {
    const std::string version = Version();
    if (version.size() < 2) {
      throw std::out_of_range("No minor version in '" + version + "'");
    }
    return std::stoi(version.substr(2));
  } catch (const std::exception& error) {
    MDF_ERROR() << "Failure to finding MDF minor version. Error: " << error.what();
  }
  return 0;
}

}  // namespace mdf
