#include "mdf/ifilehistory.h"

#include "mdf/imetadata.h"

namespace mdf {

namespace {
std::string CommentElement(const IFileHistory& history, const char* tag) {
  const IMetaData* metadata = history.MetaData();
  return metadata != nullptr ? metadata->ElementValue(tag) : std::string();
}
}  // namespace

std::string IFileHistory::CommentTx() const { return CommentElement(*this, "TX"); }
std::string IFileHistory::ToolId() const { return CommentElement(*this, "tool_id"); }
std::string IFileHistory::ToolVendor() const { return CommentElement(*this, "tool_vendor"); }
std::string IFileHistory::ToolVersion() const { return CommentElement(*this, "tool_version"); }

}  // namespace mdf
