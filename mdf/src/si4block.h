#pragma once
// MDF4 source information block "##SI".
#include "mdf/isourceinformation.h"
#include "mdfblock.h"

namespace mdf::detail {

class Si4Block : public MdfBlock, public ISourceInformation {
 public:
  Si4Block();

  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  IMetaData* MakeMetaData() override { return MdfBlock::MakeMetaData(); }
  [[nodiscard]] const IMetaData* MetaDataInterface() const override { return MdfBlock::MetaDataInterface(); }

  [[nodiscard]] const std::string& Name() const override { return name_; }
  void Name(const std::string& name) override { name_ = name; }
  [[nodiscard]] const std::string& Path() const override { return path_; }
  void Path(const std::string& path) override { path_ = path; }
  [[nodiscard]] std::string Description() const override;
  void Description(const std::string& description) override;
  [[nodiscard]] uint8_t Type() const override { return type_; }
  void Type(uint8_t type) override { type_ = type; }
  [[nodiscard]] uint8_t Bus() const override { return bus_; }
  void Bus(uint8_t bus) override { bus_ = bus; }
  [[nodiscard]] uint8_t Flags() const override { return flags_; }
  void Flags(uint8_t flags) override { flags_ = flags; }

  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  size_t Read(std::streambuf& buffer) override;
  /// Writes name, path and comment first, then the block, once.
  size_t Write(std::streambuf& buffer) override;

 private:
  uint8_t type_ = 0;
  uint8_t bus_ = 0;
  uint8_t flags_ = 0;
  std::string name_;
  std::string path_;
};

}  // namespace mdf::detail
