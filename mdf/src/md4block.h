#pragma once
// MDF4 metadata block "##MD": the XML comment of a block. It also stands for a TX block
// whenever its text is not XML, since a comment link may point to either kind.
#include <string>

#include "mdf/imetadata.h"
#include "tx4block.h"

namespace mdf::detail {

class Md4Block : public Tx4Block, public IMetaData {
 public:
  /// An empty "##MD" block, to be read from a file or filled.
  Md4Block();
  /// "##MD" when the text starts with '<', else "##TX".
  explicit Md4Block(std::string text);

  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  IMetaData* MakeMetaData() override { return MdfBlock::MakeMetaData(); }
  [[nodiscard]] const IMetaData* MetaDataInterface() const override { return MdfBlock::MetaDataInterface(); }

  [[nodiscard]] const std::string& XmlText() const override { return RawText(); }
  void SetXmlText(const std::string& text) override { SetRawText(text); }

  /// Sets the comment's "TX" element and makes the block an MD block. Plain or empty text
  /// becomes a new comment document holding the value; XML that does not parse is kept
  /// unchanged and false returned.
  bool SetElementText(const std::string& value);

  /// Display text: a TX block's text, else the "TX" element; at most 40 characters + " ...".
  [[nodiscard]] std::string Text() const override;
  /// The comment's display rows, without header rows.
  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
};

}  // namespace mdf::detail
