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

std::string ErrorPlace(XML_Parser parser) {
  return "Line: " + std::to_string(XML_GetCurrentLineNumber(parser)) +
         ", Column: " + std::to_string(XML_GetCurrentColumnNumber(parser)) +
         ", Error: " + XML_ErrorString(XML_GetErrorCode(parser));
}

}  // namespace

// Owns one expat parser for the duration of a parse and routes its callbacks to the document.
class ExpatXml::Parser {
 public:
  explicit Parser(ExpatXml& document) : document_(document), parser_(XML_ParserCreate("UTF-8")) {
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

  [[nodiscard]] std::string Error() const { return ErrorPlace(parser_); }

 private:
  static void XMLCALL StartElement(void* user_data, const XML_Char* name, const XML_Char** attributes) {
    auto* self = static_cast<Parser*>(user_data);
    auto& stack = self->document_.node_stack_;
    if (stack.size() >= kMaxDepth) {
      XML_StopParser(self->parser_, XML_FALSE);
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
    auto& stack = static_cast<Parser*>(user_data)->document_.node_stack_;
    if (!stack.empty()) {
      stack.pop_back();
    }
  }

  static void XMLCALL CharacterData(void* user_data, const XML_Char* data, int length) {
    auto& stack = static_cast<Parser*>(user_data)->document_.node_stack_;
    if (!stack.empty()) {
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
  Parser parser(*this);
  if (parser.Parse(input.data(), input.size(), true)) {
    return true;
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
  if (ParseAll(parser.get(), input.data(), input.size(), true)) {
    return true;
  }
  error = ErrorPlace(parser.get());
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
