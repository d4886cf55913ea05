#pragma once
// What an MDF 4 file may hold as text, for the texts read and the texts written alike: every
// TX and MD block holds valid UTF-8, and an MD block an XML document that is well-formed as
// namespace-aware readers parse it, its elements nested no deeper than the parser's bound
// (ExpatXml::kMaxDepth). A text that breaks the rule is cut to the part that could be read
// before the break (of a document nested too deep, all but the levels below the bound), so
// that nothing read from it or copied from it carries it on.
#include <string>

namespace mdf {

/// Where a text breaks the rule; `kind` is kNone when it does not.
struct TextFault {
  enum class Kind { kNone, kNotUtf8, kNotWellFormed };
  Kind kind = Kind::kNone;
  /// "Byte: n" of the first byte that is no part of valid UTF-8, or the parser's "Line: l,
  /// Column: c, Error: ..." of XML that is not well-formed or nests too deep.
  std::string where;

  explicit operator bool() const { return kind != Kind::kNone; }
  /// "Text that is not valid UTF-8" or "XML that is not well-formed".
  [[nodiscard]] const char* What() const;
};

/// Checks a text, as XML when `xml` is set. Logs nothing.
TextFault FindTextFault(const std::string& text, bool xml);

/// The part of a text that could be read: the text itself when it keeps the rule. Plain text
/// is cut before its first invalid byte. Of XML, the elements closed before the first error
/// stay, in the open elements around them (with their attributes, without their text); a
/// document in which nothing was closed gives "". Elements below the depth bound are left
/// out with all they hold; what follows them stays.
std::string ReadablePart(const std::string& text, bool xml);

}  // namespace mdf
