#pragma once
// An XML element of a comment or metadata document: tag, character data, attributes in
// insertion order and owned child elements.
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "mdf/numbertext.h"

namespace mdf {

class IXmlNode;
using XmlNodeList = std::vector<const IXmlNode*>;

class IXmlNode {
 public:
  /// The tag is stored trimmed.
  explicit IXmlNode(const std::string& tag);
  virtual ~IXmlNode();
  IXmlNode(const IXmlNode&) = delete;
  IXmlNode& operator=(const IXmlNode&) = delete;

  /// Appends every child to the list (which is not cleared first).
  virtual void Children(XmlNodeList& dest) const;
  [[nodiscard]] virtual const IXmlNode* FindChildWithAttribute(const std::string& tag, const std::string& key,
                                                               const std::string& value) const;
  [[nodiscard]] virtual const IXmlNode* FindChild(const std::string& tag) const;
  /// The same look-ups for editing: the children are this node's to hand out.
  [[nodiscard]] IXmlNode* FindChildWithAttribute(const std::string& tag, const std::string& key,
                                                 const std::string& value);
  [[nodiscard]] IXmlNode* FindChild(const std::string& tag);
  virtual void AddChild(std::unique_ptr<IXmlNode> child);
  /// Drops the last child, if any: what a parser cannot keep of an element it did not read whole.
  void RemoveLastChild();
  virtual IXmlNode* NewChild(const std::string& tag);
  /// The matching child, or a new one that gets the attribute.
  virtual IXmlNode* UniqueChildWithAttribute(const std::string& tag, const std::string& key, const std::string& value);
  virtual IXmlNode* UniqueChild(const std::string& tag);
  /// Serializes the subtree, two blanks of indentation per level, one element per line.
  virtual void Write(std::ostream& dest, size_t level) const;
  [[nodiscard]] virtual std::unique_ptr<IXmlNode> CreateNode(const std::string& tag) const;

  [[nodiscard]] const std::string& Tag() const { return tag_; }
  void Tag(const std::string& tag) { tag_ = tag; }
  /// Case-insensitive; also matches the part after a namespace prefix ("p:e" is "e").
  [[nodiscard]] bool IsTagName(const std::string& tag) const;
  /// An attribute with this name and value, both compared without case.
  [[nodiscard]] bool HasAttribute(const std::string& key, const std::string& value) const;

  /// The trimmed value of the first attribute of that name (any case) as T: a text, a
  /// bool ("1", "ON", or T.../Y...), or an integer (0 when the text is not a number).
  template <typename T>
  [[nodiscard]] T Attribute(const std::string& key, const T& default_value) const;
  [[nodiscard]] std::string Attribute(const std::string& key, const char* default_value) const {
    return Attribute<std::string>(key, default_value);
  }

  /// Adds the attribute unless one of exactly this name exists; that one keeps its value.
  template <typename T>
  void SetAttributeValue(const std::string& key, const T& value) {
    AddAttribute(key, detail::ValueToText(value));
  }

  [[nodiscard]] const std::string& Value() const { return value_; }
  [[nodiscard]] std::string TrimmedValue() const;
  void SetValueText(const std::string& value) { value_ = value; }
  /// Appends parser character data, leaving out NUL bytes.
  void AppendValue(const char* data, int64_t length);
  /// Replaces the attributes by a null-terminated list of alternating names and values.
  void SetAttributes(const char** attributes);

  [[nodiscard]] const std::vector<std::pair<std::string, std::string>>& Attributes() const { return attributes_; }

 private:
  /// The first child with the tag and, when `key` is given, the attribute; null for none.
  [[nodiscard]] IXmlNode* MatchingChild(const std::string& tag, const std::string* key, const std::string* value) const;
  [[nodiscard]] const std::string* FindAttribute(const std::string& key) const;
  void AddAttribute(const std::string& key, std::string value);
  [[nodiscard]] static std::string TrimmedText(const std::string& text);
  [[nodiscard]] static int64_t TextToInteger(const std::string& text);
  [[nodiscard]] static bool TextToBool(const std::string& text);

  std::string tag_;
  std::string value_;
  std::vector<std::pair<std::string, std::string>> attributes_;
  std::vector<std::unique_ptr<IXmlNode>> children_;
};

template <typename T>
T IXmlNode::Attribute(const std::string& key, const T& default_value) const {
  const std::string* text = FindAttribute(key);
  if (text == nullptr) {
    return default_value;
  }
  if constexpr (std::is_same_v<T, std::string>) {
    return TrimmedText(*text);
  } else if constexpr (std::is_same_v<T, bool>) {
    return TextToBool(*text);
  } else {
    static_assert(std::is_integral_v<T>, "text, bool or integer attributes");
    return static_cast<T>(TextToInteger(*text));
  }
}

}  // namespace mdf
