#pragma once
// Public interface of a channel group (MDF4 CG block, MDF3 CG block): one kind of record in
// its data group's record stream. The interface itself carries the record buffer that the
// channels' value setters fill while writing and the running sample counter that the
// record reader and the writers advance.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mdf/iblock.h"

namespace mdf {

class IChannel;
class IDataGroup;
class ISourceInformation;

class IChannelGroup : public IBlock {
 public:
  ~IChannelGroup() override = default;

  [[nodiscard]] virtual uint64_t RecordId() const = 0;
  virtual void RecordId(uint64_t record_id) = 0;
  /// Acquisition name.
  [[nodiscard]] virtual std::string Name() const = 0;
  virtual void Name(const std::string& name) = 0;
  [[nodiscard]] virtual std::string Description() const = 0;
  virtual void Description(const std::string& description) = 0;
  /// Number of records (the cycle count).
  virtual void NofSamples(uint64_t nof_samples) = 0;
  [[nodiscard]] virtual uint64_t NofSamples() const = 0;
  /// Bit 0 VLSD channel group, bit 1 bus event, bit 2 plain bus event.
  virtual void Flags(uint16_t flags) = 0;
  [[nodiscard]] virtual uint16_t Flags() const = 0;
  /// A UTF-16 character code.
  virtual void PathSeparator(uint16_t separator) = 0;
  [[nodiscard]] virtual uint16_t PathSeparator() const = 0;

  /// The channels in order, each followed depth first by the channels composed into it.
  [[nodiscard]] virtual std::vector<IChannel*> Channels() const = 0;
  /// The first channel whose name equals the name (up to a zero character), created and
  /// named when there is none; null only when no channel can be created.
  virtual IChannel* GetOrCreateChannel(std::string_view name);
  /// A new channel appended to the group; null when the group kind cannot create one.
  virtual IChannel* CreateChannel() = 0;
  /// The first channel of Channels() whose name contains the text; an empty text matches
  /// the first channel. Null when none does.
  [[nodiscard]] virtual IChannel* GetChannel(std::string_view name) const;
  /// The X axis channel of a channel of this group (by default the group's master).
  [[nodiscard]] virtual IChannel* GetXChannel(const IChannel& reference) const = 0;
  virtual ISourceInformation* CreateSourceInformation() = 0;
  [[nodiscard]] virtual ISourceInformation* SourceInformation() const = 0;
  virtual void ResetSampleCounter() { sample_counter_ = 0; }
  /// The data group the channel group belongs to, or null.
  [[nodiscard]] virtual IDataGroup* DataGroup() const = 0;
  /// True when damage cut the chain of the group's channels: some of its records' channels
  /// are missing, so no record of the group can be decoded whole.
  [[nodiscard]] virtual bool ChannelListCut() const { return false; }

  /// One record: data bytes, then invalidation bytes. Sized by the group when it is
  /// prepared for writing; the channels' setters write into it.
  [[nodiscard]] std::vector<uint8_t>& SampleBuffer() const { return sample_buffer_; }
  /// Records read or written so far.
  [[nodiscard]] uint64_t SampleCounter() const { return sample_counter_; }
  void IncrementSampleCounter() { ++sample_counter_; }

 protected:
  IChannelGroup() = default;
  IChannelGroup(const IChannelGroup&) = default;
  IChannelGroup& operator=(const IChannelGroup&) = default;

  mutable std::vector<uint8_t> sample_buffer_;
  uint64_t sample_counter_ = 0;
};

}  // namespace mdf
