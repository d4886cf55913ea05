#pragma once
// An XML document: declaration settings and one owned root element. MakeXmlFile("Expat")
// gives a document that can parse; "FileWriter" one that only writes.
#include <memory>
#include <ostream>
#include <string>

#include "mdf/ixmlnode.h"

namespace mdf {

class IXmlFile {
 public:
  IXmlFile() = default;
  virtual ~IXmlFile();
  IXmlFile(const IXmlFile&) = delete;
  IXmlFile& operator=(const IXmlFile&) = delete;

  /// Parses the file named by FileName(), replacing the tree. This kind cannot parse.
  virtual bool ParseFile();
  /// Parses a complete document, replacing the tree. This kind cannot parse.
  virtual bool ParseString(const std::string& input);
  /// Drops the root and restores the declaration defaults; file name and style sheet stay.
  virtual void Reset();
  /// Writes the document (UTF-8 BOM, declaration, tree) to FileName().
  virtual bool WriteFile();
  [[nodiscard]] virtual std::unique_ptr<IXmlNode> CreateNode(const std::string& tag) const;

  [[nodiscard]] const std::string& FileName() const { return filename_; }
  void FileName(const std::string& filename) { filename_ = filename; }
  [[nodiscard]] const std::string& Version() const { return version_; }
  void Version(const std::string& version) { version_ = version; }
  [[nodiscard]] const std::string& Encoding() const { return encoding_; }
  void Encoding(const std::string& encoding) { encoding_ = encoding; }
  [[nodiscard]] const std::string& StyleSheet() const { return style_sheet_; }
  void StyleSheet(const std::string& style_sheet) { style_sheet_ = style_sheet; }
  [[nodiscard]] bool Standalone() const { return standalone_; }
  void Standalone(bool standalone) { standalone_ = standalone; }

  /// Renames the root, or creates it. Returns the root.
  IXmlNode* SetRootName(const std::string& tag);
  [[nodiscard]] const IXmlNode* RootNode() const { return root_.get(); }
  [[nodiscard]] IXmlNode* RootNode() { return root_.get(); }
  [[nodiscard]] const IXmlNode* FindRootChild(const std::string& tag) const;
  void RootChildren(XmlNodeList& dest) const;
  /// Trimmed value of the root's first child with the tag, else the default.
  [[nodiscard]] std::string Property(const std::string& tag, const std::string& default_value = {}) const;
  void WriteDocument(std::ostream& dest, bool skip_header) const;
  [[nodiscard]] std::string WriteToString(bool skip_header) const;

 protected:
  std::string filename_;
  std::string version_ = "1.0";
  std::string encoding_ = "UTF-8";
  std::string style_sheet_;
  bool standalone_ = true;
  std::unique_ptr<IXmlNode> root_;
};

/// "FileWriter" (any case) gives a document that only writes; any other name a parser.
std::unique_ptr<IXmlFile> MakeXmlFile(const std::string& type);

}  // namespace mdf
