#include "mdf/ixmlnode.h"

#include "mdf/mdfhelper.h"
#include "mdf/numbertext.h"

namespace mdf {

namespace {

void WriteEscaped(std::ostream& dest, const std::string& text) {
  for (const char c : text) {
    switch (c) {
      case '&':
        dest << "&amp;";
        break;
      case '<':
        dest << "&lt;";
        break;
      case '>':
        dest << "&gt;";
        break;
      case '\'':
        dest << "&apos;";
        break;
      case '"':
        dest << "&quot;";
        break;
      default:
        dest << c;
        break;
    }
  }
}

void WriteIndent(std::ostream& dest, size_t level) {
  for (size_t i = 0; i < level; ++i) {
    dest << "  ";
  }
}

void EndLine(std::ostream& dest) {
  dest << '\n';
  dest.flush();
}

}  // namespace

IXmlNode::IXmlNode(const std::string& tag) : tag_(tag) { TrimSpace(tag_); }

IXmlNode::~IXmlNode() = default;

void IXmlNode::Children(XmlNodeList& dest) const {
  for (const auto& child : children_) {
    if (child) {
      dest.push_back(child.get());
    }
  }
}

IXmlNode* IXmlNode::MatchingChild(const std::string& tag, const std::string* key, const std::string* value) const {
  for (const auto& child : children_) {
    if (child && child->IsTagName(tag) && (key == nullptr || child->HasAttribute(*key, *value))) {
      return child.get();
    }
  }
  return nullptr;
}

const IXmlNode* IXmlNode::FindChildWithAttribute(const std::string& tag, const std::string& key,
                                                 const std::string& value) const {
  return MatchingChild(tag, &key, &value);
}

const IXmlNode* IXmlNode::FindChild(const std::string& tag) const { return MatchingChild(tag, nullptr, nullptr); }

IXmlNode* IXmlNode::FindChildWithAttribute(const std::string& tag, const std::string& key, const std::string& value) {
  return MatchingChild(tag, &key, &value);
}

IXmlNode* IXmlNode::FindChild(const std::string& tag) { return MatchingChild(tag, nullptr, nullptr); }

void IXmlNode::AddChild(std::unique_ptr<IXmlNode> child) { children_.push_back(std::move(child)); }

void IXmlNode::RemoveLastChild() {
  if (!children_.empty()) {
    children_.pop_back();
  }
}

IXmlNode* IXmlNode::NewChild(const std::string& tag) {
  auto child = CreateNode(tag);
  IXmlNode* result = child.get();
  AddChild(std::move(child));
  return result;
}

IXmlNode* IXmlNode::UniqueChildWithAttribute(const std::string& tag, const std::string& key, const std::string& value) {
  if (IXmlNode* found = FindChildWithAttribute(tag, key, value)) {
    return found;
  }
  IXmlNode* child = NewChild(tag);
  child->SetAttributeValue(key, value);
  return child;
}

IXmlNode* IXmlNode::UniqueChild(const std::string& tag) {
  if (IXmlNode* found = FindChild(tag)) {
    return found;
  }
  return NewChild(tag);
}

void IXmlNode::Write(std::ostream& dest, size_t level) const {
  WriteIndent(dest, level);
  dest << '<' << tag_;
  for (const auto& [key, value] : attributes_) {
    dest << ' ' << key << "='";
    WriteEscaped(dest, value);
    dest << '\'';
  }
  XmlNodeList children;
  Children(children);
  if (children.empty()) {
    if (value_.empty()) {
      dest << "/>";
    } else {
      dest << '>';
      WriteEscaped(dest, value_);
      dest << "</" << tag_ << '>';
    }
    EndLine(dest);
    return;
  }
  dest << '>';
  EndLine(dest);
  for (const IXmlNode* child : children) {
    child->Write(dest, level + 1);
  }
  WriteIndent(dest, level);
  dest << "</" << tag_ << '>';
  EndLine(dest);
}

bool IXmlNode::IsTagName(const std::string& tag) const {
  if (CompareNoCase(tag_, tag) == 0) {
    return true;
  }
  const auto colon = tag_.find(':');
  return colon != std::string::npos && CompareNoCase(tag_.substr(colon + 1), tag) == 0;
}

bool IXmlNode::HasAttribute(const std::string& key, const std::string& value) const {
  for (const auto& [name, text] : attributes_) {
    if (CompareNoCase(name, key) == 0 && CompareNoCase(text, value) == 0) {
      return true;
    }
  }
  return false;
}

std::string IXmlNode::TrimmedValue() const { return TrimmedText(value_); }

void IXmlNode::AppendValue(const char* data, int64_t length) {
  if (data == nullptr || length <= 0) {
    return;
  }
  for (int64_t i = 0; i < length; ++i) {
    if (data[i] != '\0') {
      value_.push_back(data[i]);
    }
  }
}

void IXmlNode::SetAttributes(const char** attributes) {
  attributes_.clear();
  if (attributes == nullptr) {
    return;
  }
  for (size_t i = 0; attributes[i] != nullptr && attributes[i + 1] != nullptr; i += 2) {
    attributes_.emplace_back(attributes[i], attributes[i + 1]);
  }
}

const std::string* IXmlNode::FindAttribute(const std::string& key) const {
  for (const auto& [name, text] : attributes_) {
    if (CompareNoCase(name, key) == 0) {
      return &text;
    }
  }
  return nullptr;
}

void IXmlNode::AddAttribute(const std::string& key, std::string value) {
  for (const auto& attribute : attributes_) {
    if (attribute.first == key) {
      return;
    }
  }
  attributes_.emplace_back(key, std::move(value));
}

std::string IXmlNode::TrimmedText(const std::string& text) {
  std::string trimmed = text;
  TrimSpace(trimmed);
  return trimmed;
}

int64_t IXmlNode::TextToInteger(const std::string& text) {
  int64_t value = 0;
  return detail::ExtractNumberText(TrimmedText(text), value) ? value : 0;
}

bool IXmlNode::TextToBool(const std::string& text) {
  const std::string trimmed = TrimmedText(text);
  if (trimmed == "1" || CompareNoCase(trimmed, "ON") == 0) {
    return true;
  }
  return CompareNoCaseN(trimmed, "T", 1) == 0 || CompareNoCaseN(trimmed, "Y", 1) == 0;
}

}  // namespace mdf
