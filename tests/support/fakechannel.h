#pragma once
// Minimal channel and conversion implementations for exercising the value code of the
// interfaces without the block classes. Every property is a plain public field.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mdf/ichannel.h"
#include "mdf/ichannelconversion.h"

namespace test {

class FakeConversion : public mdf::IChannelConversion {
 public:
  [[nodiscard]] int64_t FilePosition() const override { return 0; }
  [[nodiscard]] std::string BlockType() const override { return "CC"; }
  mdf::IMetaData* MakeMetaData() override { return nullptr; }
  [[nodiscard]] const mdf::IMetaData* MetaDataInterface() const override { return nullptr; }

  [[nodiscard]] std::string Name() const override { return {}; }
  void SetName(const std::string&) override {}
  [[nodiscard]] std::string Description() const override { return {}; }
  void SetDescription(const std::string&) override {}
  [[nodiscard]] std::string Unit() const override { return {}; }
  void SetUnit(const std::string&) override {}
  [[nodiscard]] bool IsUnitValid() const override { return false; }
  [[nodiscard]] uint8_t Type() const override { return type; }
  void SetType(uint8_t value) override { type = value; }
  [[nodiscard]] bool IsDecimalUsed() const override { return decimals.has_value(); }
  [[nodiscard]] uint8_t Decimals() const override { return decimals.value_or(17); }
  void SetDecimals(uint8_t value) override { decimals = value; }
  mdf::IChannelConversion* CreateInverse() override { return nullptr; }
  [[nodiscard]] mdf::IChannelConversion* Inverse() const override { return nullptr; }
  [[nodiscard]] std::optional<std::pair<double, double>> Range() const override { return std::nullopt; }
  void SetRange(double, double) override {}
  [[nodiscard]] uint16_t Flags() const override { return 0; }
  void SetFlags(uint16_t) override {}
  [[nodiscard]] uint16_t NofReferences() const override { return 0; }
  [[nodiscard]] std::string Reference(uint16_t) const override { return {}; }
  void SetReference(uint16_t, const std::string&) override {}
  bool ConvertValueToText(double, std::string& out) const override {
    out = "value text";
    return true;
  }
  bool ConvertValueRangeToText(double, std::string& out) const override {
    out = "range text";
    return true;
  }
  bool ConvertTextToValue(const std::string&, double&) const override { return false; }
  bool ConvertTextToText(const std::string&, std::string&) const override { return false; }

  /// Parameters as doubles with the value count set to their number.
  void SetValues(const std::vector<double>& values) {
    value_list_.assign(values.begin(), values.end());
    nof_values_ = static_cast<uint16_t>(values.size());
  }
  std::vector<mdf::ConversionParameter>& Values() { return value_list_; }

  uint8_t type = 0;
  std::optional<uint8_t> decimals;
};

class FakeChannel : public mdf::IChannel {
 public:
  [[nodiscard]] int64_t FilePosition() const override { return file_position; }
  [[nodiscard]] std::string BlockType() const override { return "CN"; }
  mdf::IMetaData* MakeMetaData() override { return nullptr; }
  [[nodiscard]] const mdf::IMetaData* MetaDataInterface() const override { return nullptr; }

  [[nodiscard]] std::string Name() const override { return name; }
  void Name(const std::string& value) override { name = value; }
  [[nodiscard]] std::string DisplayName() const override { return {}; }
  void DisplayName(const std::string&) override {}
  [[nodiscard]] std::string Description() const override { return {}; }
  void Description(const std::string&) override {}
  [[nodiscard]] std::string Unit() const override { return {}; }
  void Unit(const std::string&) override {}
  [[nodiscard]] uint32_t Flags() const override { return flags; }
  void Flags(uint32_t value) override { flags = value; }
  [[nodiscard]] bool IsUnitValid() const override { return false; }
  [[nodiscard]] uint8_t ChannelType() const override { return channel_type; }
  void ChannelType(uint8_t value) override { channel_type = value; }
  [[nodiscard]] uint8_t SyncType() const override { return 0; }
  void SyncType(uint8_t) override {}
  [[nodiscard]] uint8_t DataType() const override { return data_type; }
  void DataType(uint8_t value) override { data_type = value; }
  [[nodiscard]] uint64_t DataBytes() const override { return bit_count / 8 + (bit_count % 8 != 0 ? 1 : 0); }
  void DataBytes(uint64_t value) override { bit_count = static_cast<uint32_t>(value * 8); }
  [[nodiscard]] uint8_t Decimals() const override {
    return (flags & 4U) != 0 ? precision : (DataBytes() == 4 ? 9 : 17);
  }
  void Decimals(uint8_t value) override {
    precision = value;
    flags |= 4U;
  }
  [[nodiscard]] bool IsDecimalUsed() const override { return (flags & 4U) != 0; }
  using mdf::IChannel::ExtLimit;
  using mdf::IChannel::Limit;
  using mdf::IChannel::Range;
  void Range(double, double) override {}
  void Limit(double, double) override {}
  void ExtLimit(double, double) override {}
  [[nodiscard]] double SamplingRate() const override { return 0.0; }
  void SamplingRate(double) override {}
  [[nodiscard]] mdf::ISourceInformation* SourceInformation() const override { return nullptr; }
  mdf::ISourceInformation* CreateSourceInformation() override { return nullptr; }
  [[nodiscard]] mdf::IChannelArray* ChannelArray() const override { return array; }
  mdf::IChannelArray* CreateChannelArray() override { return nullptr; }
  [[nodiscard]] mdf::IChannelConversion* ChannelConversion() const override { return conversion; }
  mdf::IChannelConversion* CreateChannelConversion() override { return conversion; }
  void AddAttachment(mdf::IAttachment*) override {}
  [[nodiscard]] uint32_t BitCount() const override { return bit_count; }
  void BitCount(uint32_t value) override { bit_count = value; }
  [[nodiscard]] uint16_t BitOffset() const override { return bit_offset; }
  void BitOffset(uint16_t value) override { bit_offset = value; }
  [[nodiscard]] uint32_t ByteOffset() const override { return byte_offset; }
  void ByteOffset(uint32_t value) override { byte_offset = value; }
  [[nodiscard]] mdf::IChannelGroup* ChannelGroup() const override { return group; }
  [[nodiscard]] std::vector<uint8_t>& SampleBuffer() const override { return sample_buffer; }

  // The invalidation bit of element i is bit (invalid_bit + i) of the bytes that follow
  // the record's `record_data_bytes` data bytes, as in a channel group's record.
  void SetValid(bool valid, uint64_t array_index) override {
    ++set_valid_calls;
    last_valid = valid;
    if ((flags & 2U) == 0) return;
    const uint64_t bit = invalid_bit + array_index;
    const uint64_t byte = record_data_bytes + bit / 8;
    if (byte >= sample_buffer.size()) return;
    const auto mask = static_cast<uint8_t>(1U << (bit % 8));
    if (valid) {
      sample_buffer[byte] &= static_cast<uint8_t>(~mask);
    } else {
      sample_buffer[byte] |= mask;
    }
  }
  [[nodiscard]] bool GetValid(const std::vector<uint8_t>& record, uint64_t array_index) const override {
    if ((flags & 2U) == 0) return true;
    const uint64_t bit = invalid_bit + array_index;
    const uint64_t byte = record_data_bytes + bit / 8;
    if (byte >= record.size()) return true;
    return (record[byte] & (1U << (bit % 8))) == 0;
  }

  IChannel* CreateChannelComposition() override {
    if (!can_compose) return nullptr;
    children.push_back(std::make_unique<FakeChannel>());
    return children.back().get();
  }
  [[nodiscard]] std::vector<IChannel*> ChannelCompositions() override {
    std::vector<IChannel*> list;
    for (auto& child : children) list.push_back(child.get());
    return list;
  }

  std::string name;
  int64_t file_position = 0;
  mdf::IChannelGroup* group = nullptr;
  mdf::IChannelArray* array = nullptr;
  uint8_t channel_type = 0;
  uint8_t data_type = 0;
  uint16_t bit_offset = 0;
  uint32_t byte_offset = 0;
  uint32_t bit_count = 0;
  uint32_t flags = 0;
  uint8_t precision = 0;
  uint32_t invalid_bit = 0;
  uint64_t record_data_bytes = 0;
  mdf::IChannelConversion* conversion = nullptr;
  mutable std::vector<uint8_t> sample_buffer;
  bool can_compose = true;
  std::vector<std::unique_ptr<FakeChannel>> children;
  int set_valid_calls = 0;
  bool last_valid = true;
};

}  // namespace test
