#pragma once
// One file-history entry: when and by which tool the file was created or changed. The tool
// is named by elements of the entry's XML comment.
#include <cstdint>
#include <string>

#include "mdf/iblock.h"
#include "mdf/imdftimestamp.h"
#include "mdf/itimestamp.h"

namespace mdf {

class IFileHistory : public IBlock {
 public:
  [[nodiscard]] virtual uint64_t Time() const = 0;
  /// Throws "Unknown timestamp type" for a timestamp of another kind.
  virtual void SetTime(const ITimestamp& timestamp) = 0;
  virtual void SetTime(uint64_t time_ns) = 0;
  [[nodiscard]] virtual const IMdfTimestamp* GetTimestamp() const = 0;

  /// The entry's XML comment, or null.
  [[nodiscard]] const IMetaData* MetaData() const { return MetaDataInterface(); }

  // The comment's "TX", "tool_id", "tool_vendor" and "tool_version" texts; "" when missing.
  [[nodiscard]] std::string CommentTx() const;
  [[nodiscard]] std::string ToolId() const;
  [[nodiscard]] std::string ToolVendor() const;
  [[nodiscard]] std::string ToolVersion() const;
};

}  // namespace mdf
