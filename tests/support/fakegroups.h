#pragma once
// Minimal data group and channel group implementations for exercising the observer code
// of the interfaces without the block classes.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mdf/ichannel.h"
#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"
#include "support/fakechannel.h"

namespace test {

class FakeChannelGroup : public mdf::IChannelGroup {
 public:
  [[nodiscard]] int64_t FilePosition() const override { return file_position; }
  [[nodiscard]] std::string BlockType() const override { return "CG"; }
  mdf::IMetaData* MakeMetaData() override { return nullptr; }
  [[nodiscard]] const mdf::IMetaData* MetaDataInterface() const override { return nullptr; }

  [[nodiscard]] uint64_t RecordId() const override { return record_id; }
  void RecordId(uint64_t value) override { record_id = value; }
  [[nodiscard]] std::string Name() const override { return name; }
  void Name(const std::string& value) override { name = value; }
  [[nodiscard]] std::string Description() const override { return {}; }
  void Description(const std::string&) override {}
  void NofSamples(uint64_t value) override { nof_samples = value; }
  [[nodiscard]] uint64_t NofSamples() const override { return nof_samples; }
  void Flags(uint16_t value) override { flags = value; }
  [[nodiscard]] uint16_t Flags() const override { return flags; }
  void PathSeparator(uint16_t) override {}
  [[nodiscard]] uint16_t PathSeparator() const override { return '/'; }
  [[nodiscard]] std::vector<mdf::IChannel*> Channels() const override {
    std::vector<mdf::IChannel*> list;
    for (const auto& channel : channels) list.push_back(channel.get());
    return list;
  }
  mdf::IChannel* CreateChannel() override {
    channels.push_back(std::make_unique<FakeChannel>());
    channels.back()->group = this;
    return channels.back().get();
  }
  [[nodiscard]] mdf::IChannel* GetXChannel(const mdf::IChannel&) const override { return nullptr; }
  mdf::ISourceInformation* CreateSourceInformation() override { return nullptr; }
  [[nodiscard]] mdf::ISourceInformation* SourceInformation() const override { return nullptr; }
  [[nodiscard]] mdf::IDataGroup* DataGroup() const override { return nullptr; }

  FakeChannel& AddChannel(const std::string& channel_name) {
    CreateChannel();
    channels.back()->name = channel_name;
    return *channels.back();
  }

  int64_t file_position = 0;
  uint64_t record_id = 0;
  std::string name;
  uint64_t nof_samples = 0;
  uint16_t flags = 0;
  std::vector<std::unique_ptr<FakeChannel>> channels;
};

class FakeDataGroup : public mdf::IDataGroup {
 public:
  [[nodiscard]] int64_t FilePosition() const override { return 0; }
  [[nodiscard]] std::string BlockType() const override { return "DG"; }
  mdf::IMetaData* MakeMetaData() override { return nullptr; }
  [[nodiscard]] const mdf::IMetaData* MetaDataInterface() const override { return nullptr; }

  [[nodiscard]] std::vector<mdf::IChannelGroup*> ChannelGroups() const override {
    std::vector<mdf::IChannelGroup*> list;
    for (const auto& group : groups) list.push_back(group.get());
    return list;
  }
  mdf::IChannelGroup* CreateChannelGroup() override {
    if (!can_create) return nullptr;
    groups.push_back(std::make_unique<FakeChannelGroup>());
    return groups.back().get();
  }
  mdf::IChannelGroup* FindParentChannelGroup(const mdf::IBlock&) override { return nullptr; }

  FakeChannelGroup& AddGroup(uint64_t record_id, uint64_t nof_samples = 0) {
    groups.push_back(std::make_unique<FakeChannelGroup>());
    groups.back()->record_id = record_id;
    groups.back()->nof_samples = nof_samples;
    return *groups.back();
  }

  bool can_create = true;
  std::vector<std::unique_ptr<FakeChannelGroup>> groups;
};

}  // namespace test
