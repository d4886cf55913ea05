#pragma once
// A document that is only built and written; it cannot parse.
#include "mdf/ixmlfile.h"

namespace mdf {

class WriteXml : public IXmlFile {};

}  // namespace mdf
