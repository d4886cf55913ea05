#pragma once
// MDF3 channel group block "CG": one kind of record in its data group's record stream, with
// its record id, record size and record count, its channels and its sample reductions.
#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "grouprecordsize.h"
#include "mdf/ichannelgroup.h"
#include "mdfblock.h"

namespace mdf::detail {

class Cn3Block;
class Sr3Block;

class Cg3Block : public MdfBlock, public IChannelGroup, public GroupRecordSize {
 public:
  using ChannelList = std::vector<std::unique_ptr<Cn3Block>>;
  using ReductionList = std::vector<std::unique_ptr<Sr3Block>>;

  Cg3Block();
  ~Cg3Block() override;

  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  /// MDF 3 comments are plain texts: no metadata.
  IMetaData* MakeMetaData() override { return nullptr; }
  [[nodiscard]] const IMetaData* MetaDataInterface() const override { return nullptr; }

  [[nodiscard]] uint64_t RecordId() const override { return record_id_; }
  /// Keeps the low 16 bits: the width of the field.
  void RecordId(uint64_t record_id) override { record_id_ = static_cast<uint16_t>(record_id); }
  /// MDF3 channel groups have no name.
  [[nodiscard]] std::string Name() const override { return {}; }
  void Name(const std::string&) override {}
  [[nodiscard]] std::string Description() const override { return comment_; }
  /// Memory only once the comment is in the file: a TX block is written for a link of 0.
  void Description(const std::string& description) override { comment_ = description; }
  /// Kept to the 32 bits of the field; a larger count saturates.
  void NofSamples(uint64_t nof_samples) override;
  [[nodiscard]] uint64_t NofSamples() const override { return nof_records_; }
  void Flags(uint16_t) override {}
  [[nodiscard]] uint16_t Flags() const override { return 0; }
  void PathSeparator(uint16_t) override {}
  [[nodiscard]] uint16_t PathSeparator() const override { return '/'; }
  [[nodiscard]] std::vector<IChannel*> Channels() const override;
  IChannel* CreateChannel() override;
  /// The first master or virtual master channel of the group; null when none.
  [[nodiscard]] IChannel* GetXChannel(const IChannel& reference) const override;
  ISourceInformation* CreateSourceInformation() override { return nullptr; }
  [[nodiscard]] ISourceInformation* SourceInformation() const override { return nullptr; }
  /// The counter, and the data of every sample reduction.
  void ResetSampleCounter() override;
  [[nodiscard]] IDataGroup* DataGroup() const override;

  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  [[nodiscard]] MdfBlock* FindByPosition(int64_t position) override;
  /// The fields, the first-SR link when the block size leaves room for it, the comment.
  size_t Read(std::streambuf& buffer) override;
  /// A new group is appended after its sample reductions; a written one gets its record
  /// count (and a first reduction written now) patched in place. Then channels and comment.
  size_t Write(std::streambuf& buffer) override;

  void ReadCnList(std::streambuf& buffer);
  [[nodiscard]] bool ChannelListCut() const override { return channel_list_cut_; }
  void ReadSrList(std::streambuf& buffer);
  /// Loads the data of every sample reduction.
  void LoadSrData(std::streambuf& buffer);
  /// Packs the channels byte-aligned in list order and sizes the sample buffer. Throws
  /// MdfRuntimeError when the record outgrows the 16-bit record size.
  void PrepareForWriting();

  /// Bytes of one record, record ids not included.
  [[nodiscard]] uint16_t RecordSize() const { return record_size_; }
  void RecordSize(uint16_t record_size) { record_size_ = record_size; }
  [[nodiscard]] uint64_t RecordDataBytes() const override { return record_size_; }
  [[nodiscard]] uint64_t RecordInvalidBytes() const override { return 0; }
  [[nodiscard]] uint16_t NofChannels() const { return nof_channels_; }
  [[nodiscard]] const ChannelList& Cn3List() const { return channel_list_; }
  [[nodiscard]] const ReductionList& Sr3List() const { return sr_list_; }
  void AddSampleReduction(std::unique_ptr<Sr3Block> reduction);

 private:
  uint16_t record_id_ = 0;
  uint16_t nof_channels_ = 0;
  uint16_t record_size_ = 0;
  uint32_t nof_records_ = 0;
  std::string comment_;
  ChannelList channel_list_;
  bool channel_list_cut_ = false;  // damage cut the chain of channels
  ReductionList sr_list_;
};

}  // namespace mdf::detail
