#pragma once
// MDF3 text block "TX". Owners keep their texts as strings; a Tx3Block lives only while a
// linked text is read or written.
#include <string>

#include "mdfblock.h"

namespace mdf::detail {

class Tx3Block : public MdfBlock {
 public:
  explicit Tx3Block(std::string text = {}) : text_(std::move(text)) {}

  /// Reads header and text; a block size below the header gives an empty text, a text cut
  /// off by the end of the stream a read error.
  size_t Read(std::streambuf& buffer) override;
  /// Appends a new block (MDF3 blocks are not aligned) on every call. Texts that do not fit
  /// the 16-bit block size are refused.
  size_t Write(std::streambuf& buffer) override;

  [[nodiscard]] const std::string& Text() const { return text_; }

  /// Throws what Write throws for a text that does not fit a text block, so that an owner
  /// can refuse its texts before it writes anything.
  static void CheckSize(const std::string& text);

 private:
  std::string text_;
};

}  // namespace mdf::detail
