#pragma once
// Seam behind OpenMdfFile, so that a busy file can be simulated without waiting.
#include <fstream>
#include <functional>
#include <ios>
#include <string>

namespace mdf::detail {

struct FileOpener {
  /// Opens the file on the buffer; returns 0 or an errno value.
  std::function<int(std::filebuf& file, const std::string& utf8_filename, std::ios_base::openmode mode)> open;
  /// Waits between two tries.
  std::function<void()> wait;
};

/// Replaces the opener; empty members fall back to the real open and a 100 ms sleep.
void SetFileOpener(FileOpener opener);

}  // namespace mdf::detail
