#pragma once
// MDF4 channel group block "##CG": one kind of record in its data group's record stream,
// with its channels, acquisition name and source, and sample reductions. A group with the
// VLSD flag holds the variable-length values of a channel of another group. The group also
// lays out and emits the records that the writers produce.
#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "grouprecordsize.h"
#include "mdf/channeltypes.h"
#include "mdf/ichannelgroup.h"
#include "mdfblock.h"

namespace mdf::detail {

class Cn4Block;
class Si4Block;
class Sr4Block;

class Cg4Block : public MdfBlock, public IChannelGroup, public GroupRecordSize {
 public:
  using ChannelList = std::vector<std::unique_ptr<Cn4Block>>;
  using ReductionList = std::vector<std::unique_ptr<Sr4Block>>;

  static constexpr uint16_t kVlsdFlag = kChannelGroupVlsdFlag;
  static constexpr uint16_t kBusEventFlag = kChannelGroupBusEventFlag;
  static constexpr uint16_t kPlainBusEventFlag = kChannelGroupPlainBusEventFlag;
  static constexpr uint16_t kSeventhLinkFlag = 0x0008;

  Cg4Block();
  ~Cg4Block() override;

  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  IMetaData* MakeMetaData() override { return MdfBlock::MakeMetaData(); }
  [[nodiscard]] const IMetaData* MetaDataInterface() const override { return MdfBlock::MetaDataInterface(); }

  [[nodiscard]] uint64_t RecordId() const override { return record_id_; }
  void RecordId(uint64_t record_id) override { record_id_ = record_id; }
  [[nodiscard]] std::string Name() const override { return name_; }
  void Name(const std::string& name) override { name_ = name; }
  [[nodiscard]] std::string Description() const override { return RawComment(); }
  void Description(const std::string& description) override { AssignMdComment(description); }
  void NofSamples(uint64_t nof_samples) override { nof_samples_ = nof_samples; }
  [[nodiscard]] uint64_t NofSamples() const override { return nof_samples_; }
  void Flags(uint16_t flags) override { flags_ = flags; }
  [[nodiscard]] uint16_t Flags() const override { return flags_; }
  void PathSeparator(uint16_t separator) override { path_separator_ = separator; }
  [[nodiscard]] uint16_t PathSeparator() const override { return path_separator_; }
  [[nodiscard]] std::vector<IChannel*> Channels() const override;
  IChannel* CreateChannel() override;
  [[nodiscard]] IChannel* GetXChannel(const IChannel& reference) const override;
  ISourceInformation* CreateSourceInformation() override;
  [[nodiscard]] ISourceInformation* SourceInformation() const override;
  [[nodiscard]] IDataGroup* DataGroup() const override;

  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  [[nodiscard]] MdfBlock* FindByPosition(int64_t position) override;
  /// The fields, name, source information and comment; channels and sample reductions
  /// are read by ReadCnList and ReadSrList.
  size_t Read(std::streambuf& buffer) override;
  /// A new group is appended after its channels, name, source, reductions and comment; a
  /// group already in the file only gets the counts it wrote patched in place.
  size_t Write(std::streambuf& buffer) override;

  void ReadCnList(std::streambuf& buffer);
  [[nodiscard]] bool ChannelListCut() const override { return channel_list_cut_; }
  void ReadSrList(std::streambuf& buffer);

  /// Lays out the record: channels packed in list order, then the invalidation bits; sizes
  /// the sample buffer.
  void PrepareForWriting();
  // One record each: the record id in `id_size` bytes, then the sample bytes, or for a VLSD
  // group a uint32 length and the value. The VLSD variants return the record's offset in
  // the group's record stream (record ids not counted).
  void AppendSample(ByteArray& dest, uint8_t id_size, const ByteArray& sample);
  void AppendSample(ByteArray& dest, uint8_t id_size, const uint8_t* sample, size_t size);
  uint64_t AppendVlsdSample(ByteArray& dest, uint8_t id_size, const ByteArray& value);
  /// Throws "Invalid number of bytes written" on a short write; the sample is then not
  /// counted.
  void WriteSample(std::streambuf& buffer, uint8_t id_size, const ByteArray& sample);
  void WriteSample(std::streambuf& buffer, uint8_t id_size, const uint8_t* sample, size_t size);
  uint64_t WriteVlsdSample(std::streambuf& buffer, uint8_t id_size, const ByteArray& value);

  /// The first VLSD channel whose values go to its own signal data; null when none.
  [[nodiscard]] Cn4Block* VlsdChannel() const;
  /// The first VLSD channel whose values lie in the VLSD group with that record id.
  [[nodiscard]] Cn4Block* VlsdChannelByRecordId(uint64_t record_id) const;

  void AddCycleCount(uint64_t count) { nof_samples_ += count; }
  /// Adds to the byte count of a VLSD group; other groups are left as they are.
  void AddVlsdByteCount(uint64_t count);
  /// Data bytes + invalidation bytes x 2^32: the value bytes of a VLSD group.
  [[nodiscard]] uint64_t VlsdByteCount() const;

  [[nodiscard]] bool IsVlsd() const { return (flags_ & kVlsdFlag) != 0; }
  [[nodiscard]] uint32_t NofDataBytes() const { return nof_data_bytes_; }
  void NofDataBytes(uint32_t nof_bytes) { nof_data_bytes_ = nof_bytes; }
  [[nodiscard]] uint32_t NofInvalidBytes() const { return nof_invalid_bytes_; }
  void NofInvalidBytes(uint32_t nof_bytes) { nof_invalid_bytes_ = nof_bytes; }
  /// Bytes of a fixed-length record after its record id.
  [[nodiscard]] uint64_t RecordSize() const { return uint64_t{nof_data_bytes_} + nof_invalid_bytes_; }
  [[nodiscard]] uint64_t RecordDataBytes() const override { return nof_data_bytes_; }
  [[nodiscard]] uint64_t RecordInvalidBytes() const override { return nof_invalid_bytes_; }

  /// True when the group's records are no longer than its channels lay them out: data bytes
  /// up to the last bit of a channel and invalidation bytes up to the last invalidation bit,
  /// each padded to an 8-byte boundary. A longer record size is no layout of its channels
  /// (a VLSD group, whose records carry their lengths, always fits).
  [[nodiscard]] bool RecordSizeFitsChannels() const;

  /// The own (top-level) channels, in link order.
  [[nodiscard]] const ChannelList& Cn4List() const { return channel_list_; }
  [[nodiscard]] const ReductionList& Sr4List() const { return sr_list_; }
  void AddSampleReduction(std::unique_ptr<Sr4Block> reduction);

  /// "VLSD", ",Bus Event", ",Plain" for flag bits 0, 1, 2.
  static std::string FlagsToText(uint16_t flags);

 private:
  void WriteRecordId(ByteArray& dest, uint8_t id_size) const;
  void WriteRecordId(std::streambuf& buffer, uint8_t id_size) const;
  void CountSample();
  static void CheckVlsdLength(const ByteArray& value);
  /// Points the data link of every maximum-length channel at the ".DataLength" channel.
  void LinkDataLengthChannel(std::streambuf& buffer);

  uint64_t record_id_ = 0;
  uint64_t nof_samples_ = 0;
  uint16_t flags_ = 0;
  uint16_t path_separator_ = '/';
  uint32_t nof_data_bytes_ = 0;
  uint32_t nof_invalid_bytes_ = 0;
  std::string name_;
  std::unique_ptr<Si4Block> si_block_;
  ChannelList channel_list_;
  bool channel_list_cut_ = false;  // damage cut the chain of channels
  ReductionList sr_list_;

  int64_t cycle_count_position_ = 0;
  int64_t data_bytes_position_ = 0;
  int64_t invalid_bytes_position_ = 0;
  uint64_t vlsd_offset_ = 0;
};

}  // namespace mdf::detail
