#pragma once
// The concrete XML element that every factory of the XML layer creates.
#include "mdf/ixmlnode.h"

namespace mdf {

class XmlNode : public IXmlNode {
 public:
  explicit XmlNode(const std::string& tag) : IXmlNode(tag) {}
};

}  // namespace mdf
