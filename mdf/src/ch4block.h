#pragma once
// MDF4 channel hierarchy block "##CH": a named tree of element references. The header owns
// the top-level blocks; every block owns its children.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ev4block.h"
#include "mdf/ichannelhierarchy.h"
#include "mdfblock.h"

namespace mdf::detail {

class ReadGuard;

class Ch4Block : public MdfBlock, public IChannelHierarchy {
 public:
  Ch4Block();

  [[nodiscard]] int64_t FilePosition() const override { return MdfBlock::FilePosition(); }
  [[nodiscard]] std::string BlockType() const override { return MdfBlock::BlockType(); }
  IMetaData* MakeMetaData() override { return MdfBlock::MakeMetaData(); }
  [[nodiscard]] const IMetaData* MetaDataInterface() const override { return MdfBlock::MetaDataInterface(); }

  [[nodiscard]] std::string Name() const override { return name_; }
  void Name(const std::string& name) override { name_ = name; }
  [[nodiscard]] uint8_t Type() const override { return type_; }
  void Type(uint8_t type) override { type_ = type; }
  [[nodiscard]] std::string Description() const override { return RawComment(); }
  void Description(const std::string& description) override { AssignMdComment(description); }
  void AddElement(const HierarchyElement& element) override { elements_.push_back(element); }
  [[nodiscard]] const std::vector<HierarchyElement>& Elements() const override { return elements_; }
  IChannelHierarchy* CreateChannelHierarchy() override;
  [[nodiscard]] std::vector<IChannelHierarchy*> ChannelHierarchies() const override;

  [[nodiscard]] uint32_t ElementCount() const { return element_count_; }
  [[nodiscard]] const std::vector<std::unique_ptr<Ch4Block>>& Children() const { return children_; }

  void GetBlockProperty(std::vector<BlockProperty>& dest) const override;
  /// Children first, then this block and its comment.
  [[nodiscard]] MdfBlock* FindByPosition(int64_t position) override;
  /// Fields, name, comment and the child tree. Link 0 is for whoever owns the block.
  size_t Read(std::streambuf& buffer) override;
  /// A new block writes its children first; a written one only appends and links new children.
  size_t Write(std::streambuf& buffer) override;
  /// Rebuilds the elements of this block and its children from the links.
  void ResolveReferences(const BlockLookup& find);

  /// Reads the chain of hierarchy blocks from `first` on into the list of `parent`, each
  /// with its children. One guard serves the whole tree, so no block is read twice.
  static void ReadChain(std::streambuf& buffer, MdfBlock& parent, int64_t first,
                        std::vector<std::unique_ptr<Ch4Block>>& list, ReadGuard& hierarchy);

 private:
  size_t ReadBlock(std::streambuf& buffer);
  void WriteNewChildren(std::streambuf& buffer);

  uint32_t element_count_ = 0;
  uint8_t type_ = 0;
  std::string name_;
  std::vector<std::unique_ptr<Ch4Block>> children_;
  std::vector<HierarchyElement> elements_;
};

}  // namespace mdf::detail
