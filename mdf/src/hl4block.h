#pragma once
// The header list: heads the chain of data lists whose data blocks are zipped, and records
// the zip type used for them.
#include <cstdint>
#include <streambuf>

#include "datalistblock.h"

namespace mdf::detail {

class Hl4Block : public DataListBlock {
 public:
  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  /// Reads the fields, then the DL chain at link 0 as children.
  size_t Read(std::streambuf& buffer) override;
  /// Writes a new block once, then chains the data lists not yet written: the first from
  /// link 0, each further one from the "next" link of the one before.
  size_t Write(std::streambuf& buffer) override;

  [[nodiscard]] uint16_t Flags() const { return flags_; }
  void Flags(uint16_t flags) { flags_ = flags; }
  [[nodiscard]] uint8_t ZipType() const { return zip_type_; }
  void ZipType(uint8_t zip_type) { zip_type_ = zip_type; }

 private:
  uint16_t flags_ = 0;
  uint8_t zip_type_ = 0;
};

}  // namespace mdf::detail
