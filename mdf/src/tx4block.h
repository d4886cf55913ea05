#pragma once
// MDF4 text block "##TX": one zero-terminated UTF-8 text. Md4Block derives from it, since an
// MD block has the same shape.
#include <memory>
#include <string>

#include "mdfblock.h"

namespace mdf::detail {

/// Whether a writer stores the text as XML, in an MD block: it starts with '<'.
bool IsXmlText(const std::string& text);

/// Copies the text; once n bytes are copied " ..." is appended. A cut never splits a
/// UTF-8 sequence. Display only.
std::string ShortenText(const std::string& text, size_t nof_chars);

class Tx4Block : public MdfBlock {
 public:
  Tx4Block();
  explicit Tx4Block(std::string text);

  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  /// A text that breaks the rule of mdf/textrule.h is damage; the block keeps its readable part.
  /// The text is held in the file's memory account (MdfBlock::Memory), once for all the
  /// blocks that read it while one of them holds it: a text linked many times is held once.
  size_t Read(std::streambuf& buffer) override;
  /// Writes a new block at the aligned end: "##MD" for XML text, else "##TX". A text that
  /// breaks the rule of mdf/textrule.h is logged and cut to its readable part first. A block
  /// that is already in the file is not written again (0).
  size_t Write(std::streambuf& buffer) override;
  /// The trimmed text shortened to 40 characters.
  [[nodiscard]] virtual std::string Text() const;

  /// The whole trimmed text.
  [[nodiscard]] std::string FullText() const;
  [[nodiscard]] bool IsTxBlock() const;

 protected:
  /// The text as read or set, untrimmed; a text read may be shared with other blocks.
  [[nodiscard]] const std::string& RawText() const { return *text_; }
  void SetRawText(std::string text);

 private:
  std::shared_ptr<const std::string> text_;  // never null
};

}  // namespace mdf::detail
