#pragma once
// Base of every public block interface of the MDF library.
#include <cstdint>
#include <string>

namespace mdf {

class IMetaData;

class IBlock {
 public:
  virtual ~IBlock() = default;
  /// File position of the block; 0 (or less) while it is not in the file.
  [[nodiscard]] virtual int64_t FilePosition() const = 0;
  /// Two-letter block type ("HD", "CN").
  [[nodiscard]] virtual std::string BlockType() const = 0;
  /// Makes sure the block's comment is XML metadata and returns it.
  virtual IMetaData* MakeMetaData() = 0;
  /// The block's XML comment, or null when it has none.
  [[nodiscard]] virtual const IMetaData* MetaDataInterface() const = 0;
};

}  // namespace mdf
