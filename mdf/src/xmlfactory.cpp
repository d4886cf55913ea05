// Where the XML layer makes its concrete documents and elements: the base classes' own
// factory members are defined here, above the classes they make, so that no base includes
// a subclass.
#include "expatxml.h"
#include "mdf/ixmlfile.h"
#include "mdf/ixmlnode.h"
#include "mdf/mdfhelper.h"
#include "writexml.h"
#include "xmlnode.h"

namespace mdf {

std::unique_ptr<IXmlNode> IXmlNode::CreateNode(const std::string& tag) const { return std::make_unique<XmlNode>(tag); }

std::unique_ptr<IXmlNode> IXmlFile::CreateNode(const std::string& tag) const { return std::make_unique<XmlNode>(tag); }

std::unique_ptr<IXmlFile> MakeXmlFile(const std::string& type) {
  if (CompareNoCase(type, "FileWriter") == 0) {
    return std::make_unique<WriteXml>();
  }
  return std::make_unique<ExpatXml>();
}

}  // namespace mdf
