#pragma once
// MDF4 file-history block "##FH": a time record and an MD comment naming the tool.
#include "mdf/ifilehistory.h"
#include "mdf4timestamp.h"
#include "mdfblock.h"

namespace mdf::detail {

class Fh4Block : public MdfBlock, public IFileHistory {
 public:
  /// A new entry stamped with the current UTC time.
  Fh4Block();

  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  IMetaData* MakeMetaData() override { return MdfBlock::MakeMetaData(); }
  [[nodiscard]] const IMetaData* MetaDataInterface() const override { return MdfBlock::MetaDataInterface(); }

  [[nodiscard]] uint64_t Time() const override { return timestamp_.GetTimeNs(); }
  void SetTime(const ITimestamp& timestamp) override { timestamp_.SetTime(timestamp); }
  void SetTime(uint64_t time_ns) override { timestamp_.SetTime(time_ns); }
  [[nodiscard]] const IMdfTimestamp* GetTimestamp() const override { return &timestamp_; }

  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  /// Header, time record and comment. The next entry (link 0) is the header's to follow.
  size_t Read(std::streambuf& buffer) override;
  /// Writes a new block once, then its comment behind it; link 0 is patched by the header.
  size_t Write(std::streambuf& buffer) override;

 private:
  Mdf4Timestamp timestamp_;
};

}  // namespace mdf::detail
