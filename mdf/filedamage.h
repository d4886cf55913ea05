#pragma once
// What the reads of one file met. The reader keeps one per file and the damage reports of
// the blocks note into it: a header of its own, so that the reports need not know the reader.
#include <cstdint>
#include <string>
#include <vector>

namespace mdf {

/// Whether any read met damage, and the first damage as it was logged. The kinds of damage,
/// and what counts, are the library's damage table.
struct FileDamage {
  bool met = false;
  std::string first;
  /// The furthest end of a block the reads met: bytes after it belong to no block.
  uint64_t blocks_end = 0;
  /// The first failure noted was memory running short, not damage in the file: it may
  /// hold more than was read, but nothing wrong.
  bool out_of_memory = false;
  /// A block header the end of the file cut, and where it begins.
  bool cut_header = false;
  uint64_t cut_header_at = 0;
  /// Where each block the reads met begins, in the order met (a block may stand twice): the
  /// records of a block whose length was never written end where the next of them begins.
  std::vector<uint64_t> block_starts;
  /// Keeps the first damage only: what follows it is often its consequence.
  void Note(const std::string& text) {
    if (!met) {
      met = true;
      first = text;
    }
  }
  /// Notes a read that memory ran short for: the file holds more than was read.
  void NoteOutOfMemory(const std::string& text) {
    if (!met) out_of_memory = true;
    Note(text);
  }
};

}  // namespace mdf
