#pragma once
// What the MDF 3 blocks share beyond the block base (which reads and writes their 2-character
// id, 16-bit size and 32-bit links): the header size, the 16-bit size and count fields that a
// writer must not let wrap, and reads that stay inside the block and the stream.
#include <cstddef>
#include <cstdint>
#include <streambuf>
#include <string>

#include "mdfblock.h"

namespace mdf::detail {

/// Block id (2 characters) and the unsigned 16-bit block size.
inline constexpr uint16_t kMdf3HeaderSize = 4;
/// Every MDF 3 link is an unsigned 32-bit file position.
inline constexpr uint16_t kMdf3LinkSize = 4;

/// The value as an unsigned 16-bit size or count field. Throws MdfRuntimeError "<what> does
/// not fit an MDF 3 block" instead of wrapping: a wrapped size or count corrupts the file.
uint16_t Mdf3Field16(uint64_t value, const char* what);

/// Bytes from the stream position to the end of the stream; the position is kept.
uint64_t BytesLeftInStream(std::streambuf& buffer);

/// A fixed-width text field (text up to the first zero byte, trimmed) that must lie whole in
/// the stream: a field cut off by the end throws MdfIoFailure "Invalid number of bytes read",
/// as a cut-off number does.
size_t ReadMdf3Text(std::streambuf& buffer, std::string& text, size_t width);

/// How many of `count` entries of `entry_size` bytes fit the block behind its first
/// `bytes_read` bytes. A count beyond them is damage: it is logged with the block's id and
/// position, and the reader keeps the entries that fit, so no count sizes a list.
uint64_t EntriesInBlock(const MdfBlock& block, uint64_t bytes_read, uint64_t count, uint64_t entry_size);

/// "True" or "False", as the MDF 3 property rows show a BOOL field.
inline const char* BoolText(bool value) { return value ? "True" : "False"; }

}  // namespace mdf::detail
