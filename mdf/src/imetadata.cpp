#include "mdf/imetadata.h"

#include "mdf/ixmlfile.h"
#include "mdf/mdfhelper.h"

namespace mdf {

namespace {

// Trees come from the parser, whose depth bound keeps this recursion bounded too.
constexpr size_t kMaxPropertyDepth = 256;

bool IsBlank(const std::string& text) { return text.find_first_not_of(" \t\n\v\f\r") == std::string::npos; }

// An empty text is no document and needs no parse (which would only log an error).
std::unique_ptr<IXmlFile> ParseComment(const std::string& text, bool& parsed) {
  auto document = MakeXmlFile("Expat");
  parsed = !IsBlank(text) && document->ParseString(text);
  return document;
}

MetaProperty ReadProperty(const IXmlNode& node, size_t depth) {
  MetaProperty property;
  property.Name(node.Attribute<std::string>("name", ""));
  property.Description(node.Attribute<std::string>("desc", ""));
  property.Unit(node.Attribute<std::string>("unit", ""));
  property.UnitReference(node.Attribute<std::string>("unit_ref", ""));
  property.Type(node.Attribute<std::string>("type", ""));
  property.Language(node.Attribute<std::string>("xml:lang", ""));
  property.SetValue(node.TrimmedValue());
  property.ReadOnly(node.Attribute<bool>("ro", false));
  property.Ci(node.Attribute<int32_t>("ci", -1));
  if (depth >= kMaxPropertyDepth) {
    return property;
  }
  XmlNodeList children;
  node.Children(children);
  for (const IXmlNode* child : children) {
    if (child->IsTagName("e") || child->IsTagName("tree")) {
      property.AddChild(ReadProperty(*child, depth + 1));
    }
  }
  return property;
}

}  // namespace

std::vector<MetaProperty> IMetaData::ReadPropertyList() const {
  std::vector<MetaProperty> list;
  bool parsed = false;
  // A failed parse leaves what was built up to the error; it is read as far as it goes.
  const auto document = ParseComment(XmlText(), parsed);
  const IXmlNode* properties = document->FindRootChild("common_properties");
  if (properties == nullptr) {
    return list;
  }
  XmlNodeList children;
  properties->Children(children);
  for (const IXmlNode* child : children) {
    if (child->IsTagName("tree") || child->IsTagName("e")) {
      list.push_back(ReadProperty(*child, 1));
    }
  }
  return list;
}

bool IMetaData::SetElementValue(const std::string& tag, const std::string& value) {
  bool parsed = false;
  auto document = ParseComment(XmlText(), parsed);
  if (!parsed) {
    // Storing a tree cut at the parse error would lose the rest of the comment.
    return false;
  }
  document->RootNode()->UniqueChild(tag)->SetValueText(value);
  SetXmlText(document->WriteToString(true));
  return true;
}

std::string IMetaData::ElementValue(const std::string& tag) const {
  bool parsed = false;
  const auto document = ParseComment(XmlText(), parsed);
  return document->Property(tag, "");
}

}  // namespace mdf
