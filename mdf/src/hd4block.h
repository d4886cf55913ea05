#pragma once
// MDF4 header block "##HD", the root of the block tree below the identification block. It is
// read in stages (Read, ReadMeasurementInfo, ReadEverythingButData) and written whole.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "at4block.h"
#include "ch4block.h"
#include "ev4block.h"
#include "fh4block.h"
#include "mdf/iheader.h"
#include "mdf4timestamp.h"
#include "mdfblock.h"

namespace mdf {
class IXmlFile;
}

namespace mdf::detail {

class Dg4Block;

class Hd4Block : public MdfBlock, public IHeader {
 public:
  /// A new header stamped with the current UTC time.
  Hd4Block();
  ~Hd4Block() override;

  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  IMetaData* MakeMetaData() override { return MdfBlock::MakeMetaData(); }
  [[nodiscard]] const IMetaData* MetaDataInterface() const override { return MdfBlock::MetaDataInterface(); }

  [[nodiscard]] std::string Author() const override { return CommonProperty("author"); }
  void Author(const std::string& author) override { SetCommonProperty("author", author); }
  [[nodiscard]] std::string Department() const override { return CommonProperty("department"); }
  void Department(const std::string& department) override { SetCommonProperty("department", department); }
  [[nodiscard]] std::string Project() const override { return CommonProperty("project"); }
  void Project(const std::string& project) override { SetCommonProperty("project", project); }
  [[nodiscard]] std::string Subject() const override { return CommonProperty("subject"); }
  void Subject(const std::string& subject) override { SetCommonProperty("subject", subject); }
  [[nodiscard]] std::string Description() const override { return CommentText(); }
  void Description(const std::string& description) override;
  [[nodiscard]] std::string MeasurementId() const override { return CommonProperty("Measurement.UUID"); }
  void MeasurementId(const std::string& uuid) override { SetCommonProperty("Measurement.UUID", uuid); }
  [[nodiscard]] std::string RecorderId() const override { return CommonProperty("Recorder.UUID"); }
  void RecorderId(const std::string& uuid) override { SetCommonProperty("Recorder.UUID", uuid); }
  [[nodiscard]] int64_t RecorderIndex() const override;
  void RecorderIndex(int64_t index) override;

  [[nodiscard]] uint64_t StartTime() const override { return start_time_.GetTimeNs(); }
  void StartTime(const ITimestamp& timestamp) override { start_time_.SetTime(timestamp); }
  void StartTime(uint64_t time_ns) override { start_time_.SetTime(time_ns); }
  [[nodiscard]] const IMdfTimestamp* StartTimestamp() const override { return &start_time_; }

  IAttachment* CreateAttachment() override;
  [[nodiscard]] std::vector<IAttachment*> Attachments() const override;
  IFileHistory* CreateFileHistory() override;
  [[nodiscard]] std::vector<IFileHistory*> FileHistories() const override;
  IEvent* CreateEvent() override;
  [[nodiscard]] std::vector<IEvent*> Events() const override;
  IChannelHierarchy* CreateChannelHierarchy() override;
  [[nodiscard]] std::vector<IChannelHierarchy*> ChannelHierarchies() const override;
  IDataGroup* CreateDataGroup() override;
  [[nodiscard]] std::vector<IDataGroup*> DataGroups() const override;
  [[nodiscard]] IDataGroup* LastDataGroup() const override;

  [[nodiscard]] std::optional<double> StartAngle() const override;
  void StartAngle(double angle) override;
  [[nodiscard]] std::optional<double> StartDistance() const override;
  void StartDistance(double distance) override;

  [[nodiscard]] uint8_t TimeClass() const { return time_class_; }
  void TimeClass(uint8_t time_class) { time_class_ = time_class; }
  [[nodiscard]] uint8_t Flags() const { return flags_; }

  void AddAt4(std::unique_ptr<At4Block> attachment);
  void AddDg4(std::unique_ptr<Dg4Block> data_group);
  [[nodiscard]] const std::vector<std::unique_ptr<Dg4Block>>& Dg4List() const { return dg_list_; }
  [[nodiscard]] const std::vector<std::unique_ptr<Fh4Block>>& Fh4List() const { return fh_list_; }
  [[nodiscard]] const std::vector<std::unique_ptr<At4Block>>& At4List() const { return at_list_; }
  [[nodiscard]] const std::vector<std::unique_ptr<Ev4Block>>& Ev4List() const { return ev_list_; }
  [[nodiscard]] const std::vector<std::unique_ptr<Ch4Block>>& Ch4List() const { return ch_list_; }

  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  /// Data groups, file history, hierarchies, attachments, events; then this block and its comment.
  [[nodiscard]] MdfBlock* FindByPosition(int64_t position) override;
  /// The header's fields, the file-history chain and the comment.
  size_t Read(std::streambuf& buffer) override;
  /// The data groups with their channel groups, and the attachments.
  void ReadMeasurementInfo(std::streambuf& buffer);
  /// Channels, sample reductions, hierarchies and events, with their references resolved.
  void ReadEverythingButData(std::streambuf& buffer);
  /// A new header with everything below it, or an in-place rewrite that appends new blocks
  /// and rewrites the last data group.
  size_t Write(std::streambuf& buffer) override;

  /// The first data group whose subtree holds a block at the position; null for none.
  [[nodiscard]] IDataGroup* FindParentDataGroup(int64_t position) const;

  /// The repairs of an unfinalized file, in every data group that has data: the DT blocks
  /// whose length was not written end where the next block of the file begins, the one no
  /// block follows at the end of the file (FinalizeDtBlocks); the records of each group are
  /// counted again, whatever blocks hold them, and the counts set (FinalizeCgAndVlsdBlocks).
  /// True without data groups; false when a repair is not possible.
  bool FinalizeDtBlocks(std::streambuf& buffer);
  bool FinalizeCgAndVlsdBlocks(std::streambuf& buffer, bool update_cg, bool update_vlsd);

 private:
  [[nodiscard]] std::string CommonProperty(const std::string& key) const;
  void SetCommonProperty(const std::string& key, const std::string& value, const char* type = "string");
  /// The comment as a document rooted at "HDcomment" with a "TX" element, for editing.
  [[nodiscard]] std::unique_ptr<IXmlFile> CommentForEdit() const;
  void ReplaceComment(const IXmlFile& document);
  /// Channel data links, hierarchy elements and event references, through one position index.
  void ResolveReferences();

  Mdf4Timestamp start_time_;
  uint8_t time_class_ = 0;
  uint8_t flags_ = 0;
  double start_angle_ = 0.0;
  double start_distance_ = 0.0;
  std::vector<std::unique_ptr<Dg4Block>> dg_list_;
  std::vector<std::unique_ptr<Fh4Block>> fh_list_;
  std::vector<std::unique_ptr<Ch4Block>> ch_list_;
  std::vector<std::unique_ptr<At4Block>> at_list_;
  std::vector<std::unique_ptr<Ev4Block>> ev_list_;
};

}  // namespace mdf::detail
