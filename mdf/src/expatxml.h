#pragma once
// A document that parses files and texts with expat into a tree of XmlNode elements.
#include <deque>
#include <string>

#include "mdf/ixmlfile.h"

namespace mdf {

class ExpatXml : public IXmlFile {
 public:
  /// The most levels of elements a document may nest, its root the first: comment XML is
  /// shallow, and the trees are walked recursively. A deeper document breaks the text rule
  /// (IsWellFormed), ends a parse with an error, and keeps only the levels within the bound
  /// as its readable part.
  static constexpr size_t kMaxDepth = 256;
  /// The error text of a document nested deeper than kMaxDepth.
  static std::string TooDeepText();

  bool ParseFile() override;
  bool ParseString(const std::string& input) override;
  void Reset() override;

  /// Parses without logging. On an error the tree keeps only what the error cannot have cut:
  /// the elements closed before it, and the elements still open as the containers of those
  /// (their attributes and closed children, not their text, which the error may have cut
  /// short). An open element with nothing closed in it is left out, the root too. Elements
  /// below kMaxDepth are left out with all they hold, and the parse goes on after them:
  /// false then too.
  bool ParseReadablePart(const std::string& input);

  /// Whether the text is one well-formed document as namespace-aware readers parse it (every
  /// prefix bound), nested no deeper than kMaxDepth; when it is not, `error` gets the
  /// parser's message with its line and column. Logs nothing.
  static bool IsWellFormed(const std::string& input, std::string& error);

 private:
  class Parser;
  std::deque<IXmlNode*> node_stack_;  // open elements, innermost last
};

}  // namespace mdf
