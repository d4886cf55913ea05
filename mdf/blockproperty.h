#pragma once
#include <cstdint>
#include <string>
#include <utility>

namespace mdf {

enum class BlockItemType : int32_t {
  NormalItem = 0,  ///< label and value
  LinkItem = 1,    ///< the value is a file position shown as an address
  HeaderItem = 2,  ///< section heading
  BlankItem = 3,   ///< empty separator row
};

/// One display row of a block's property list.
struct BlockProperty {
  BlockProperty() = default;
  BlockProperty(std::string label, std::string value = {}, std::string description = {},
                BlockItemType type = BlockItemType::NormalItem)
      : label(std::move(label)), value(std::move(value)), description(std::move(description)), type(type) {}

  std::string label;
  std::string value;
  std::string description;
  BlockItemType type = BlockItemType::NormalItem;
};

}  // namespace mdf
