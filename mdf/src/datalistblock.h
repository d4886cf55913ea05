#pragma once
// Base of every block that owns an ordered list of child blocks: the data and header lists,
// and the data group, channel and sample reduction blocks with the data blocks they link to.
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <streambuf>
#include <vector>

#include "mdfblock.h"

namespace mdf {
class IDataGroup;
}

namespace mdf::detail {

class DataBlock;

class DataListBlock : public MdfBlock {
 public:
  using BlockList = std::vector<std::unique_ptr<MdfBlock>>;

  /// Searches the children first, then this block and its comment.
  [[nodiscard]] MdfBlock* FindByPosition(int64_t position) override;
  /// Sum of the data sizes of every data block below this one.
  [[nodiscard]] virtual uint64_t DataSize() const;
  /// The bytes of the record data that the file really holds, when they are known without
  /// reading them: not for zipped blocks, nor before the blocks were read from a file.
  [[nodiscard]] virtual std::optional<uint64_t> RecordBytesInFile() const { return std::nullopt; }
  /// Every data block below this one drops its in-memory bytes.
  virtual void ClearData();

  /// The block as a data group; only data group blocks answer.
  [[nodiscard]] virtual IDataGroup* DataGroupInterface() { return nullptr; }

  /// Copies the data of the whole tree in file order into dest, advancing index.
  void CopyDataToBuffer(std::streambuf& buffer, ByteArray& dest, uint64_t& index) const;
  /// Appends the data blocks below this one, depth first in list order.
  void CollectDataBlocks(std::vector<DataBlock*>& dest) const;
  /// True when the tree holds RD data, plain or zipped.
  [[nodiscard]] bool HasRdData() const;

  // The list readers make blocks of the subclasses: they are defined in blockfactory.cpp.
  /// Reads the block or block chain that link[index] points to as children, once. The
  /// blocks above this one are the levels of the read already open. With `data_only`, a
  /// link to a block of no data kind is damage (a channel's data link may lead elsewhere).
  /// A data block that the lists below name a second time is damage, and left out there.
  void ReadBlockList(std::streambuf& buffer, size_t index, bool data_only = false);
  /// Reads the plain and zipped data blocks of count links from first on as children, once;
  /// a link to a block the list named before is damage, and not read again.
  void ReadDataLinks(std::streambuf& buffer, size_t first, uint64_t count);
  /// Writes the children that are not in the file yet and patches link first + i of each.
  void WriteChildBlocks(std::streambuf& buffer, size_t first);
  /// Writes the children that are not in the file yet; the first of them goes into the one
  /// link (MDF 3 blocks link their data once, the blocks follow each other).
  void WriteNewChildBlocks(std::streambuf& buffer, size_t link);

  [[nodiscard]] const BlockList& DataBlockList() const { return block_list_; }
  [[nodiscard]] BlockList& DataBlockList() { return block_list_; }
  void AddDataBlock(std::unique_ptr<MdfBlock> block) { block_list_.push_back(std::move(block)); }

 protected:
  BlockList block_list_;

 private:
  /// Creates, attaches, reads and appends the block at position. False when the type is
  /// not one that may be created here.
  bool ReadChild(std::streambuf& buffer, int64_t position, const std::string& type);
  /// Leaves out each data block of the tree below that a list names after one named before
  /// (its position in `named`), reporting the first.
  void DropRepeatedBlocks(std::set<int64_t>& named, bool& reported);
};

}  // namespace mdf::detail
