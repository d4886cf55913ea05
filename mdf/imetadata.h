#pragma once
// The XML text of a block's comment (an MD block) and the reading and editing of its
// elements. Every operation parses the current text into a new document.
#include <string>
#include <vector>

#include "mdf/iblock.h"
#include "mdf/metaproperty.h"

namespace mdf {

class IMetaData : public IBlock {
 public:
  /// The whole text, unchanged.
  [[nodiscard]] virtual const std::string& XmlText() const = 0;
  /// Replaces the whole text; the block id is not changed.
  virtual void SetXmlText(const std::string& text) = 0;

  /// The "e" and "tree" entries of the root's "common_properties", recursively, in
  /// document order. Empty when there is none or the text is not XML.
  [[nodiscard]] std::vector<MetaProperty> ReadPropertyList() const;
  void ReadPropertyList(std::vector<MetaProperty>& dest) const { dest = ReadPropertyList(); }
  /// Sets the value of the root's child element with the tag, appending the child when
  /// missing. A text that does not parse is left unchanged and false returned.
  bool SetElementValue(const std::string& tag, const std::string& value);
  /// Trimmed value of the root's child element with the tag; "" when missing.
  [[nodiscard]] std::string ElementValue(const std::string& tag) const;
};

}  // namespace mdf
