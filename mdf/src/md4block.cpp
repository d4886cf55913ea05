#include "md4block.h"

#include <array>
#include <utility>

#include "mdf/ixmlfile.h"
#include "mdf/mdfhelper.h"

namespace mdf::detail {

namespace {

constexpr size_t kDisplayLength = 40;
// Trees come from the parser, whose depth bound keeps this recursion bounded too.
constexpr size_t kMaxTreeDepth = 256;

constexpr std::array<std::pair<const char*, const char*>, 12> kRootRows = {{
    {"time_source", "Time Source"},
    {"tool_id", "Tool ID"},
    {"tool_vendor", "Tool Vendor"},
    {"tool_version", "Tool Version"},
    {"user_name", "User Name"},
    {"pre_trigger_interval", "Pre-Trigger Interval"},
    {"post_trigger_interval", "Post-Trigger Interval"},
    {"formula", "Formula"},
    {"timeout", "Timeout"},
    {"path", "Path"},
    {"bus", "Bus"},
    {"protocol", "Protocol"},
}};

bool IsBlank(const std::string& text) { return text.find_first_not_of(" \t\n\v\f\r") == std::string::npos; }

XmlNodeList ChildrenOf(const IXmlNode& node) {
  XmlNodeList children;
  node.Children(children);
  return children;
}

// A repeated child element: the last one counts.
const IXmlNode* LastChild(const IXmlNode& node, const char* tag) {
  const IXmlNode* found = nullptr;
  for (const IXmlNode* child : ChildrenOf(node)) {
    if (child->IsTagName(tag)) {
      found = child;
    }
  }
  return found;
}

std::string LastChildValue(const IXmlNode& node, const char* tag) {
  const IXmlNode* child = LastChild(node, tag);
  return child != nullptr ? child->TrimmedValue() : std::string();
}

std::string JoinTexts(const std::vector<std::string>& texts) {
  std::string joined;
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) {
      joined += ", ";
    }
    joined += texts[i];
  }
  return joined;
}

std::string DescTexts(const IXmlNode& node) {
  std::vector<std::string> pieces;
  for (const IXmlNode* child : ChildrenOf(node)) {
    if (!child->IsTagName("DESC")) {
      continue;
    }
    const auto language = child->Attribute<std::string>("xml:lang", "");
    pieces.push_back(language.empty() ? child->TrimmedValue() : language + ":" + child->TrimmedValue());
  }
  return JoinTexts(pieces);
}

void AddSectionHeading(std::vector<BlockProperty>& dest, const std::string& heading) {
  dest.emplace_back("", "", "", BlockItemType::BlankItem);
  dest.emplace_back(heading, "", "", BlockItemType::HeaderItem);
}

void AddPropertyRow(std::vector<BlockProperty>& dest, const IXmlNode& element) {
  std::string label = element.Attribute<std::string>("name", "");
  auto unit = element.Attribute<std::string>("unit", "");
  if (unit.empty()) {
    unit = element.Attribute<std::string>("unit_ref", "");
  }
  if (!unit.empty()) {
    label += " [" + unit + "]";
  }
  dest.emplace_back(label, element.TrimmedValue(), element.Attribute<std::string>("desc", ""));
}

// "e" rows first, then the "tree" sections, whatever the document order.
void AddPropertyRows(std::vector<BlockProperty>& dest, const IXmlNode& parent, size_t depth);

void AddTreeSection(std::vector<BlockProperty>& dest, const IXmlNode& tree, size_t depth) {
  if (depth >= kMaxTreeDepth || ChildrenOf(tree).empty()) {
    return;
  }
  AddSectionHeading(dest, tree.Attribute<std::string>("name", ""));
  AddPropertyRows(dest, tree, depth + 1);
}

void AddPropertyRows(std::vector<BlockProperty>& dest, const IXmlNode& parent, size_t depth) {
  const auto children = ChildrenOf(parent);
  for (const IXmlNode* child : children) {
    if (child->IsTagName("e")) {
      AddPropertyRow(dest, *child);
    }
  }
  for (const IXmlNode* child : children) {
    if (child->IsTagName("tree")) {
      AddTreeSection(dest, *child, depth);
    }
  }
}

void AddConstants(std::vector<BlockProperty>& dest, const IXmlNode& constants) {
  const auto children = ChildrenOf(constants);
  if (children.empty()) {
    return;
  }
  AddSectionHeading(dest, "Constants");
  for (const IXmlNode* child : children) {
    dest.emplace_back(child->Attribute<std::string>("name", ""), child->TrimmedValue());
  }
}

void AddPhysicalDimensions(std::vector<BlockProperty>& dest, const IXmlNode& dimensions) {
  const auto children = ChildrenOf(dimensions);
  if (children.empty()) {
    return;
  }
  AddSectionHeading(dest, "Physical Dimensions");
  for (const IXmlNode* child : children) {
    dest.emplace_back(LastChildValue(*child, "SHORT_NAME"), child->Attribute<std::string>("ID", ""), DescTexts(*child));
  }
}

void AddUnitGroups(std::vector<BlockProperty>& dest, const IXmlNode& groups) {
  const auto children = ChildrenOf(groups);
  if (children.empty()) {
    return;
  }
  AddSectionHeading(dest, "Unit Groups");
  for (const IXmlNode* child : children) {
    std::vector<std::string> references;
    for (const IXmlNode* refs : ChildrenOf(*child)) {
      if (!refs->IsTagName("UNIT-REFS")) {
        continue;
      }
      for (const IXmlNode* ref : ChildrenOf(*refs)) {
        references.push_back(ref->Attribute<std::string>("ID-REF", ""));
      }
    }
    dest.emplace_back("Unit Group", LastChildValue(*child, "SHORT_NAME"), JoinTexts(references));
  }
}

void AddUnits(std::vector<BlockProperty>& dest, const IXmlNode& units) {
  const auto children = ChildrenOf(units);
  if (children.empty()) {
    return;
  }
  AddSectionHeading(dest, "Units");
  for (const IXmlNode* child : children) {
    const IXmlNode* reference = LastChild(*child, "PHYSICAL-DIMENSION-REF");
    std::string description = "Ref: ";
    if (reference != nullptr) {
      description += reference->Attribute<std::string>("ID-REF", "");
    }
    const auto desc = DescTexts(*child);
    if (!desc.empty()) {
      description += ", " + desc;
    }
    dest.emplace_back(LastChildValue(*child, "SHORT_NAME"), LastChildValue(*child, "DISPLAY-NAME"), description);
  }
}

void AddUnitSpec(std::vector<BlockProperty>& dest, const IXmlNode& spec) {
  for (const IXmlNode* child : ChildrenOf(spec)) {
    if (child->IsTagName("PHYSICAL-DIMENSIONS")) {
      AddPhysicalDimensions(dest, *child);
    } else if (child->IsTagName("UNITGROUPS")) {
      AddUnitGroups(dest, *child);
    } else if (child->IsTagName("UNITS")) {
      AddUnits(dest, *child);
    }
  }
}

struct NameGroup {
  std::string name;
  std::string display;
  std::string description;
  std::string vendor;
};

void CloseNameGroup(std::vector<BlockProperty>& dest, const NameGroup& group) {
  if (group.name.empty()) {
    return;
  }
  dest.emplace_back(group.name, group.display,
                    group.vendor.empty() ? group.description : group.vendor + ":" + group.description);
}

// Name groups compare their tags exactly: no case folding, no namespace prefix.
void AddNames(std::vector<BlockProperty>& dest, const IXmlNode& names) {
  const auto children = ChildrenOf(names);
  if (children.empty()) {
    return;
  }
  AddSectionHeading(dest, "Alternative Names");
  NameGroup group;
  for (const IXmlNode* child : children) {
    const std::string& tag = child->Tag();
    if (tag == "name") {
      CloseNameGroup(dest, group);
      group = NameGroup{child->TrimmedValue(), {}, {}, {}};
    } else if (tag == "display") {
      group.display = child->TrimmedValue();
    } else if (tag == "description") {
      group.description = child->TrimmedValue();
    } else if (tag == "vendor") {
      group.vendor = child->TrimmedValue();
    }
  }
  CloseNameGroup(dest, group);
}

}  // namespace

Md4Block::Md4Block() { block_id_ = "##MD"; }

Md4Block::Md4Block(std::string text) : Tx4Block(std::move(text)) { block_id_ = IsXmlText(RawText()) ? "##MD" : "##TX"; }

bool Md4Block::SetElementText(const std::string& value) {
  auto document = MakeXmlFile("Expat");
  std::string trimmed = RawText();
  TrimSpace(trimmed);
  if (trimmed.empty() || trimmed[0] != '<') {
    // No document to edit: the plain text was the comment's "TX" text, which the value
    // replaces in a new comment document.
    IXmlNode* root = document->SetRootName(parent_ != nullptr ? parent_->BlockType() + "comment" : "comment");
    root->NewChild("TX")->SetValueText(value);
  } else if (document->ParseString(RawText())) {
    document->RootNode()->UniqueChild("TX")->SetValueText(value);
  } else {
    return false;  // Storing the tree cut at the error would lose the rest of the text.
  }
  block_id_ = "##MD";
  SetXmlText(document->WriteToString(true));
  return true;
}

std::string Md4Block::Text() const {
  if (IsTxBlock()) {
    return Tx4Block::Text();
  }
  if (IsBlank(RawText())) {
    return {};
  }
  auto document = MakeXmlFile("Expat");
  if (!document->ParseString(RawText())) {
    return {};
  }
  return ShortenText(document->Property("TX", ""), kDisplayLength);
}

void Md4Block::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  auto document = MakeXmlFile("Expat");
  if (IsTxBlock() || IsBlank(RawText()) || !document->ParseString(RawText())) {
    dest.emplace_back("Comment", FullText());
    return;
  }
  XmlNodeList root_children;
  document->RootChildren(root_children);
  if (root_children.size() < 2) {
    const auto text = ShortenText(document->Property("TX", ""), kDisplayLength);
    if (!text.empty()) {
      dest.emplace_back("Comment", text);
    }
    return;
  }
  AddSectionHeading(dest, "Meta Data");
  const auto comment = document->Property("TX", "");
  if (!comment.empty()) {
    dest.emplace_back("Comment", comment);
  }
  for (const auto& [tag, label] : kRootRows) {
    const auto value = document->Property(tag, "");
    if (!value.empty()) {
      dest.emplace_back(label, value);
    }
  }
  if (const IXmlNode* properties = document->FindRootChild("common_properties")) {
    if (!ChildrenOf(*properties).empty()) {
      AddSectionHeading(dest, "Properties");
      AddPropertyRows(dest, *properties, 1);
    }
  }
  if (const IXmlNode* constants = document->FindRootChild("constants")) {
    AddConstants(dest, *constants);
  }
  if (const IXmlNode* spec = document->FindRootChild("UNIT-SPEC")) {
    AddUnitSpec(dest, *spec);
  }
  if (const IXmlNode* names = document->FindRootChild("names")) {
    AddNames(dest, *names);
  }
}

}  // namespace mdf::detail
