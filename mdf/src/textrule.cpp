#include "mdf/textrule.h"

#include "expatxml.h"
#include "mdf/mdfhelper.h"

namespace mdf {

const char* TextFault::What() const {
  switch (kind) {
    case Kind::kNotUtf8:
      return "Text that is not valid UTF-8";
    case Kind::kNotWellFormed:
      return "XML that is not well-formed";
    case Kind::kNone:
      break;
  }
  return "";
}

TextFault FindTextFault(const std::string& text, bool xml) {
  TextFault fault;
  // The UTF-8 check comes first for XML too: it names the byte.
  const size_t valid = Utf8ValidLength(text);
  if (valid < text.size()) {
    fault.kind = TextFault::Kind::kNotUtf8;
    fault.where = "Byte: " + std::to_string(valid);
  } else if (xml && !ExpatXml::IsWellFormed(text, fault.where)) {
    fault.kind = TextFault::Kind::kNotWellFormed;
  }
  return fault;
}

std::string ReadablePart(const std::string& text, bool xml) {
  if (!FindTextFault(text, xml)) {
    return text;
  }
  std::string part = text.substr(0, Utf8ValidLength(text));
  if (!xml) {
    return part;
  }
  ExpatXml document;
  document.ParseReadablePart(part);
  if (document.RootNode() == nullptr) {
    return {};
  }
  part = document.WriteToString(true);
  // What the parser kept can still break the rule where only namespace-aware readers see it
  // (a prefix never bound): then nothing of the document can be kept.
  return FindTextFault(part, true) ? std::string() : part;
}

}  // namespace mdf
