#pragma once
// MDF4 event block "##EV". The header owns the events, chains them and resolves their
// references to other events, scopes and attachments once the whole file is read.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mdf/ievent.h"
#include "mdfblock.h"

namespace mdf::detail {

/// Finds the block read at a file position (null for none).
using BlockLookup = std::function<MdfBlock*(int64_t position)>;

class Ev4Block : public MdfBlock, public IEvent {
 public:
  Ev4Block();

  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  IMetaData* MakeMetaData() override { return MdfBlock::MakeMetaData(); }
  [[nodiscard]] const IMetaData* MetaDataInterface() const override { return MdfBlock::MetaDataInterface(); }

  [[nodiscard]] std::string Name() const override { return name_; }
  void Name(const std::string& name) override { name_ = name; }
  [[nodiscard]] std::string GroupName() const override { return group_name_; }
  void GroupName(const std::string& group_name) override { group_name_ = group_name; }
  [[nodiscard]] uint8_t Type() const override { return type_; }
  void Type(uint8_t type) override { type_ = type; }
  [[nodiscard]] uint8_t SyncType() const override { return sync_type_; }
  void SyncType(uint8_t type) override { sync_type_ = type; }
  [[nodiscard]] uint8_t RangeType() const override { return range_type_; }
  void RangeType(uint8_t type) override { range_type_ = type; }
  [[nodiscard]] uint8_t Cause() const override { return cause_; }
  void Cause(uint8_t cause) override { cause_ = cause; }
  [[nodiscard]] uint16_t CreatorIndex() const override { return creator_index_; }
  void CreatorIndex(uint16_t index) override { creator_index_ = index; }
  [[nodiscard]] int64_t SyncValue() const override { return sync_base_value_; }
  void SyncValue(int64_t value) override { sync_base_value_ = value; }
  [[nodiscard]] double SyncFactor() const override { return sync_factor_; }
  void SyncFactor(double factor) override { sync_factor_ = factor; }
  [[nodiscard]] const IEvent* ParentEvent() const override { return parent_event_; }
  void ParentEvent(const IEvent* parent) override { parent_event_ = parent; }
  [[nodiscard]] const IEvent* RangeEvent() const override { return range_event_; }
  void RangeEvent(const IEvent* range_begin) override { range_event_ = range_begin; }
  void AddScope(const IBlock* scope) override;
  [[nodiscard]] const std::vector<const IBlock*>& Scopes() const override { return scopes_; }
  void AddAttachment(const IAttachment* attachment) override;
  [[nodiscard]] const std::vector<const IAttachment*>& Attachments() const override { return attachments_; }

  [[nodiscard]] uint8_t Flags() const { return flags_; }
  [[nodiscard]] uint32_t ScopeCount() const { return scope_count_; }
  [[nodiscard]] uint16_t AttachmentCount() const { return attachment_count_; }

  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  /// Fields, name, group name and comment. Link 0 is the header's to follow.
  size_t Read(std::streambuf& buffer) override;
  /// Writes a new block once. References to blocks not yet written are stored as 0.
  size_t Write(std::streambuf& buffer) override;
  /// Rebuilds the parent, range, scope and attachment references from the links.
  void ResolveReferences(const BlockLookup& find);

 private:
  uint8_t type_ = 6;
  uint8_t sync_type_ = 1;
  uint8_t range_type_ = 0;
  uint8_t cause_ = 0;
  uint8_t flags_ = 0;
  uint32_t scope_count_ = 0;
  uint16_t attachment_count_ = 0;
  uint16_t creator_index_ = 0;
  int64_t sync_base_value_ = 0;
  double sync_factor_ = 1.0;
  const IEvent* parent_event_ = nullptr;
  const IEvent* range_event_ = nullptr;
  std::vector<const IBlock*> scopes_;
  std::vector<const IAttachment*> attachments_;
  std::string name_;
  std::string group_name_;
};

}  // namespace mdf::detail
