#include "mdf/ixmlfile.h"

#include <fstream>
#include <sstream>

#include "mdf/mdfhelper.h"
#include "mdf/mdflogstream.h"

namespace mdf {

namespace {
void EndLine(std::ostream& dest) {
  dest << '\n';
  dest.flush();
}
}  // namespace

IXmlFile::~IXmlFile() = default;

bool IXmlFile::ParseFile() { return false; }

bool IXmlFile::ParseString(const std::string&) { return false; }

void IXmlFile::Reset() {
  root_.reset();
  version_ = "1.0";
  encoding_ = "UTF-8";
  standalone_ = true;
}

bool IXmlFile::WriteFile() {
  if (filename_.empty()) {
    MDF_ERROR() << "No file name defined";
    return false;
  }
  try {
    std::ofstream file(filename_, std::ios_base::out | std::ios_base::trunc);
    if (!file.is_open()) {
      MDF_ERROR() << "Couldn't open file for writing. File: " << filename_;
      return false;
    }
    file.exceptions(std::ios_base::failbit | std::ios_base::badbit);
    if (CompareNoCase(encoding_, "UTF-8") == 0) {
      file << "\xEF\xBB\xBF";
    }
    WriteDocument(file, false);
    file.close();
  } catch (const std::exception& err) {
    MDF_ERROR() << "Failed to write the file. Error: " << err.what() << ", File: " << filename_;
    return false;
  }
  return true;
}

IXmlNode* IXmlFile::SetRootName(const std::string& tag) {
  if (root_) {
    root_->Tag(tag);
  } else {
    root_ = CreateNode(tag);
  }
  return root_.get();
}

const IXmlNode* IXmlFile::FindRootChild(const std::string& tag) const {
  return root_ ? root_->FindChild(tag) : nullptr;
}

void IXmlFile::RootChildren(XmlNodeList& dest) const {
  if (root_) {
    root_->Children(dest);
  }
}

std::string IXmlFile::Property(const std::string& tag, const std::string& default_value) const {
  const IXmlNode* node = FindRootChild(tag);
  return node != nullptr ? node->TrimmedValue() : default_value;
}

void IXmlFile::WriteDocument(std::ostream& dest, bool skip_header) const {
  if (!skip_header) {
    dest << "<?xml version='" << version_ << "' encoding='" << encoding_ << '\'';
    if (standalone_) {
      dest << " standalone='yes'";
    }
    dest << "?>";
    EndLine(dest);
    if (!style_sheet_.empty()) {
      dest << "<?xml-stylesheet type='text/xsl' href='" << style_sheet_ << "'?>";
      EndLine(dest);
    }
  }
  if (root_) {
    root_->Write(dest, 0);
  }
}

std::string IXmlFile::WriteToString(bool skip_header) const {
  std::ostringstream text;
  WriteDocument(text, skip_header);
  return text.str();
}

}  // namespace mdf
