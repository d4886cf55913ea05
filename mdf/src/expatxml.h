#pragma once
// A document that parses files and texts with expat into a tree of XmlNode elements.
#include <deque>
#include <string>

#include "mdf/ixmlfile.h"

namespace mdf {

class ExpatXml : public IXmlFile {
 public:
  /// Elements nested deeper than this end the parse with an error; comment XML is shallow,
  /// and the trees are walked recursively.
  static constexpr size_t kMaxDepth = 256;

  bool ParseFile() override;
  bool ParseString(const std::string& input) override;
  void Reset() override;

 private:
  class Parser;
  std::deque<IXmlNode*> node_stack_;  // open elements, innermost last
};

}  // namespace mdf
