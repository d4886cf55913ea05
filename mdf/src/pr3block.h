#pragma once
// MDF 3 program block "PR" of the header: bytes that only the writing program understands,
// kept as a text.
#include <string>

#include "mdfblock.h"

namespace mdf::detail {

class Pr3Block : public MdfBlock {
 public:
  /// Reads header and data up to the first zero byte; a block size below the header gives
  /// an empty text.
  size_t Read(std::streambuf& buffer) override;
  /// Appends the block with the data as it stands, without terminator. Data that do not fit
  /// the 16-bit block size are refused before anything is written.
  size_t Write(std::streambuf& buffer) override;

  [[nodiscard]] const std::string& Data() const { return data_; }
  void Data(const std::string& data) { data_ = data; }

 private:
  std::string data_;
};

}  // namespace mdf::detail
