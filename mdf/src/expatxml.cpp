#include "expatxml.h"

#include <expat.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "mdf/mdfhelper.h"
#include "mdf/mdflogstream.h"

namespace mdf {

namespace {

bool ParseAll(XML_Parser parser, const char* data, size_t size, bool final) {
  // XML_Parse takes an int length; larger input goes in pieces.
  do {
    const size_t piece = std::min<size_t>(size, INT_MAX);
    const bool last = final && piece == size;
    if (XML_Parse(parser, data, static_cast<int>(piece), last ? 1 : 0) != XML_STATUS_OK) {
      return false;
    }
    data += piece;
    size -= piece;
  } while (size > 0);
  return true;
}

std::string PlaceText(XML_Size line, XML_Size column) {
  return "Line: " + std::to_string(line) + ", Column: " + std::to_string(column);
}

std::string ErrorPlace(XML_Parser parser) {
  return PlaceText(XML_GetCurrentLineNumber(parser), XML_GetCurrentColumnNumber(parser)) +
         ", Error: " + XML_ErrorString(XML_GetErrorCode(parser));
}

// The one depth bound of every parse: counts the open levels and, at the first element below
// the bound, keeps where that element begins (the parser stopped there has moved past it).
class DepthBound {
 public:
  /// False when an element opened now lies below the bound.
  bool Open(XML_Parser parser) {
    if (open_ < ExpatXml::kMaxDepth) {
      ++open_;
      return true;
    }
    if (place_.empty()) {
      place_ = PlaceText(XML_GetCurrentLineNumber(parser), XML_GetCurrentColumnNumber(parser)) +
               ", Error: " + ExpatXml::TooDeepText();
    }
    return false;
  }
  /// Closes an element that Open admitted.
  void Close() { --open_; }
  [[nodiscard]] bool Met() const { return !place_.empty(); }
  /// "Line: l, Column: c, Error: ..." of the first element below the bound.
  [[nodiscard]] const std::string& Place() const { return place_; }

 private:
  size_t open_ = 0;
  std::string place_;
};

// The text rule's parse: no tree, only the levels against the bound.
struct RuleParse {
  XML_Parser parser = nullptr;
  DepthBound depth;

  static void XMLCALL Start(void* user_data, const XML_Char*, const XML_Char**) {
    auto* self = static_cast<RuleParse*>(user_data);
    if (!self->depth.Open(self->parser)) XML_StopParser(self->parser, XML_FALSE);
  }
  static void XMLCALL End(void* user_data, const XML_Char*) { static_cast<RuleParse*>(user_data)->depth.Close(); }
};

}  // namespace

std::string ExpatXml::TooDeepText() { return "elements nested deeper than " + std::to_string(kMaxDepth) + " levels"; }

// Owns one expat parser for the duration of a parse and routes its callbacks to the document.
class ExpatXml::Parser {
 public:
  /// At the depth bound a parse ends with an error, or (`skip_too_deep`) leaves the deeper
  /// elements out and goes on.
  explicit Parser(ExpatXml& document, bool skip_too_deep = false)
      : document_(document), parser_(XML_ParserCreate("UTF-8")), skip_too_deep_(skip_too_deep) {
    if (parser_ == nullptr) {
      throw std::bad_alloc();
    }
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, StartElement, EndElement);
    XML_SetCharacterDataHandler(parser_, CharacterData);
    XML_SetXmlDeclHandler(parser_, XmlDeclaration);
  }
  ~Parser() { XML_ParserFree(parser_); }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  bool Parse(const char* data, size_t size, bool final) { return ParseAll(parser_, data, size, final); }

  [[nodiscard]] std::string Error() const {
    return depth_.Met() && !skip_too_deep_ ? depth_.Place() : ErrorPlace(parser_);
  }
  /// Whether elements below the depth bound were met.
  [[nodiscard]] bool TooDeep() const { return depth_.Met(); }

 private:
  static void XMLCALL StartElement(void* user_data, const XML_Char* name, const XML_Char** attributes) {
    auto* self = static_cast<Parser*>(user_data);
    auto& stack = self->document_.node_stack_;
    if (self->skipped_ > 0 || !self->depth_.Open(self->parser_)) {
      if (!self->skip_too_deep_) {
        XML_StopParser(self->parser_, XML_FALSE);
        return;
      }
      ++self->skipped_;  // the element and all it holds are left out
      return;
    }
    auto node = self->document_.CreateNode(name);
    node->SetAttributes(attributes);
    IXmlNode* current = node.get();
    if (!self->document_.root_) {
      self->document_.root_ = std::move(node);
    } else if (!stack.empty()) {
      stack.back()->AddChild(std::move(node));
    } else {
      return;  // A second top-level element; expat reports it as an error.
    }
    stack.push_back(current);
  }

  static void XMLCALL EndElement(void* user_data, const XML_Char*) {
    auto* self = static_cast<Parser*>(user_data);
    if (self->skipped_ > 0) {
      --self->skipped_;
      return;
    }
    self->depth_.Close();
    auto& stack = self->document_.node_stack_;
    if (!stack.empty()) {
      stack.pop_back();
    }
  }

  static void XMLCALL CharacterData(void* user_data, const XML_Char* data, int length) {
    auto* self = static_cast<Parser*>(user_data);
    auto& stack = self->document_.node_stack_;
    if (self->skipped_ == 0 && !stack.empty()) {
      stack.back()->AppendValue(data, length);
    }
  }

  static void XMLCALL XmlDeclaration(void* user_data, const XML_Char* version, const XML_Char* encoding,
                                     int standalone) {
    auto& document = static_cast<Parser*>(user_data)->document_;
    if (version != nullptr) {
      document.version_ = version;
    }
    if (encoding != nullptr) {
      document.encoding_ = encoding;
    }
    document.standalone_ = standalone != 0;
  }

  ExpatXml& document_;
  XML_Parser parser_;
  bool skip_too_deep_;
  DepthBound depth_;
  size_t skipped_ = 0;  // levels left out below the bound
};

void ExpatXml::Reset() {
  IXmlFile::Reset();
  node_stack_.clear();
}

bool ExpatXml::ParseString(const std::string& input) {
  Reset();
  Parser parser(*this);
  if (!parser.Parse(input.data(), input.size(), true)) {
    MDF_ERROR() << "XML parser error.  " << parser.Error() << ", File: " << filename_;
    return false;
  }
  return true;
}

bool ExpatXml::ParseReadablePart(const std::string& input) {
  Reset();
  Parser parser(*this, true);
  if (parser.Parse(input.data(), input.size(), true)) {
    return !parser.TooDeep();
  }
  // Each open element is the last child of the one that encloses it.
  for (size_t depth = node_stack_.size(); depth-- > 0;) {
    IXmlNode* open = node_stack_[depth];
    open->SetValueText({});
    XmlNodeList children;
    open->Children(children);
    if (!children.empty()) {
      continue;
    }
    if (depth == 0) {
      root_.reset();
    } else {
      node_stack_[depth - 1]->RemoveLastChild();
    }
  }
  node_stack_.clear();
  return false;
}

bool ExpatXml::IsWellFormed(const std::string& input, std::string& error) {
  // The separator only joins namespace and local name, which nothing here reads.
  const std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(XML_ParserCreateNS("UTF-8", '}'),
                                                                            XML_ParserFree);
  if (!parser) {
    throw std::bad_alloc();
  }
  RuleParse rule;
  rule.parser = parser.get();
  XML_SetUserData(parser.get(), &rule);
  XML_SetElementHandler(parser.get(), RuleParse::Start, RuleParse::End);
  if (ParseAll(parser.get(), input.data(), input.size(), true)) {
    return true;
  }
  error = rule.depth.Met() ? rule.depth.Place() : ErrorPlace(parser.get());
  return false;
}

bool ExpatXml::ParseFile() {
  Reset();
  std::FILE* handle = nullptr;
  if (OpenFileUtf8(handle, filename_, "r") != 0 || handle == nullptr) {
    return false;
  }
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  const std::unique_ptr<std::FILE, Closer> file(handle);
  bool result = true;
  {
    Parser parser(*this);
    std::array<char, 1024> chunk{};
    for (;;) {
      const size_t bytes = std::fread(chunk.data(), 1, chunk.size(), file.get());
      if (bytes == 0) {
        break;
      }
      // The end of the document is never signalled, so a cut file gives what it holds.
      if (!parser.Parse(chunk.data(), bytes, false)) {
        MDF_ERROR() << "XML parser error.  " << parser.Error() << ", File: " << filename_;
        result = false;
        break;
      }
    }
    if (result && std::feof(file.get()) == 0) {
      MDF_ERROR() << "XML file error.  Error: Not entire file was read. File: " << filename_;
      result = false;
    }
  }
  return result;
}

}  // namespace mdf
