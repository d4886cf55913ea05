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
  BlockProperty(std::string label_text, std::string value_text = {}, std::string description_text = {},
                BlockItemType item_type = BlockItemType::NormalItem)
      : label(std::move(label_text)),
        value(std::move(value_text)),
        description(std::move(description_text)),
        type(item_type) {}

  std::string label;
  std::string value;
  std::string description;
  BlockItemType type = BlockItemType::NormalItem;
};

}  // namespace mdf
