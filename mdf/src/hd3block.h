#pragma once
// MDF3 header block "HD": the root of the block tree behind the identification block. It
// holds the measurement's descriptive texts and start time, the program block and the data
// groups.
#include <cstdint>
#include <memory>
#include <optional>
#include <streambuf>
#include <string>
#include <vector>

#include "mdf/iheader.h"
#include "mdf3timestamp.h"
#include "mdfblock.h"

namespace mdf::detail {

class Dg3Block;
class Pr3Block;

class Hd3Block : public MdfBlock, public IHeader {
 public:
  using DataGroupList = std::vector<std::unique_ptr<Dg3Block>>;

  Hd3Block();
  ~Hd3Block() override;

  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  /// MDF 3 comments are plain texts: no metadata.
  IMetaData* MakeMetaData() override { return nullptr; }
  [[nodiscard]] const IMetaData* MetaDataInterface() const override { return nullptr; }

  [[nodiscard]] std::string Author() const override { return author_; }
  void Author(const std::string& author) override { author_ = author; }
  [[nodiscard]] std::string Department() const override { return organisation_; }
  void Department(const std::string& department) override { organisation_ = department; }
  [[nodiscard]] std::string Project() const override { return project_; }
  void Project(const std::string& project) override { project_ = project; }
  [[nodiscard]] std::string Subject() const override { return subject_; }
  void Subject(const std::string& subject) override { subject_ = subject; }
  [[nodiscard]] std::string Description() const override { return comment_; }
  /// Memory only once the comment is in the file: a TX block is written for a link of 0.
  void Description(const std::string& description) override { comment_ = description; }
  // MDF3 has no measurement or recorder ids.
  [[nodiscard]] std::string MeasurementId() const override { return {}; }
  void MeasurementId(const std::string&) override {}
  [[nodiscard]] std::string RecorderId() const override { return {}; }
  void RecorderId(const std::string&) override {}
  [[nodiscard]] int64_t RecorderIndex() const override { return 0; }
  void RecorderIndex(int64_t) override {}
  [[nodiscard]] uint64_t StartTime() const override { return start_time_.Timestamp(); }
  void StartTime(const ITimestamp& timestamp) override { start_time_.SetTime(timestamp); }
  void StartTime(uint64_t time_ns) override { start_time_.SetTime(time_ns); }
  [[nodiscard]] const IMdfTimestamp* StartTimestamp() const override { return &start_time_; }
  // Neither attachments, file history, events nor hierarchies exist in MDF3.
  IAttachment* CreateAttachment() override { return nullptr; }
  [[nodiscard]] std::vector<IAttachment*> Attachments() const override { return {}; }
  IFileHistory* CreateFileHistory() override { return nullptr; }
  [[nodiscard]] std::vector<IFileHistory*> FileHistories() const override { return {}; }
  IEvent* CreateEvent() override { return nullptr; }
  [[nodiscard]] std::vector<IEvent*> Events() const override { return {}; }
  IChannelHierarchy* CreateChannelHierarchy() override { return nullptr; }
  [[nodiscard]] std::vector<IChannelHierarchy*> ChannelHierarchies() const override { return {}; }
  IDataGroup* CreateDataGroup() override;
  [[nodiscard]] std::vector<IDataGroup*> DataGroups() const override;
  [[nodiscard]] IDataGroup* LastDataGroup() const override;
  [[nodiscard]] std::optional<double> StartAngle() const override { return std::nullopt; }
  void StartAngle(double) override {}
  [[nodiscard]] std::optional<double> StartDistance() const override { return std::nullopt; }
  void StartDistance(double) override {}

  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  [[nodiscard]] MdfBlock* FindByPosition(int64_t position) override;
  /// The fields the block size holds (an older 164-byte header ends after the subject and
  /// leaves the start time as it was), the comment and the program block.
  size_t Read(std::streambuf& buffer) override;
  /// A new header is appended; a written one gets its fields rewritten in place. Then the
  /// comment and program block when not in the file, the new data groups and the last one.
  size_t Write(std::streambuf& buffer) override;

  /// Replaces the data groups by the chain in the file, each with its channel groups.
  void ReadMeasurementInfo(std::streambuf& buffer);
  /// The channels and sample reductions of every channel group.
  void ReadEverythingButData(std::streambuf& buffer);

  [[nodiscard]] const DataGroupList& Dg3List() const { return dg_list_; }
  [[nodiscard]] Pr3Block* Program() const { return program_.get(); }
  void Program(std::unique_ptr<Pr3Block> program);
  [[nodiscard]] const Mdf3Timestamp& Start() const { return start_time_; }
  [[nodiscard]] Mdf3Timestamp& Start() { return start_time_; }
  [[nodiscard]] uint16_t NofDataGroups() const { return nof_dg_; }

 private:
  /// The data fields in layout order, texts cut or padded to their widths.
  size_t WriteFields(std::streambuf& buffer);

  uint16_t nof_dg_ = 0;
  Mdf3Timestamp start_time_;
  std::string author_;
  std::string organisation_;
  std::string project_;
  std::string subject_;
  std::unique_ptr<Pr3Block> program_;
  DataGroupList dg_list_;
  std::string comment_;
};

}  // namespace mdf::detail
