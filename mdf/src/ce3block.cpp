#include "ce3block.h"

#include "mdf3block.h"

namespace mdf::detail {

namespace {
// Widths of the zero-padded text fields.
constexpr size_t kDescriptionSize = 80;
constexpr size_t kEcuIdSize = 32;
constexpr size_t kCanNameSize = 36;
}  // namespace

size_t Ce3Block::Read(std::streambuf& buffer) {
  size_t bytes = ReadMdf3Header(buffer);
  bytes += ReadNumber(buffer, type_);
  switch (type_) {
    case kDimExtension:
      bytes += ReadNumber(buffer, module_number_);
      bytes += ReadNumber(buffer, address_);
      bytes += ReadMdf3Text(buffer, description_, kDescriptionSize);
      bytes += ReadMdf3Text(buffer, ecu_id_, kEcuIdSize);
      break;
    case kVectorCanExtension:
      bytes += ReadNumber(buffer, can_id_);
      bytes += ReadNumber(buffer, can_index_);
      bytes += ReadMdf3Text(buffer, message_name_, kCanNameSize);
      bytes += ReadMdf3Text(buffer, sender_name_, kCanNameSize);
      break;
    default:
      break;
  }
  return bytes;
}

}  // namespace mdf::detail
