#pragma once
// A logical grouping of channels, independent of the data groups that store them. Each
// hierarchy block names elements (data group, channel group, channel) and owns children.
#include <cstdint>
#include <string>
#include <vector>

#include "mdf/iblock.h"

namespace mdf {

class IChannel;
class IChannelGroup;
class IDataGroup;

/// One element of a hierarchy; any reference may be missing (null). Not owned.
struct HierarchyElement {
  IDataGroup* data_group = nullptr;
  IChannelGroup* channel_group = nullptr;
  IChannel* channel = nullptr;
};

class IChannelHierarchy : public IBlock {
 public:
  [[nodiscard]] virtual std::string Name() const = 0;
  virtual void Name(const std::string& name) = 0;
  /// The hierarchy type as a number (group, function, structure, map list, ...).
  [[nodiscard]] virtual uint8_t Type() const = 0;
  virtual void Type(uint8_t type) = 0;
  /// The comment's text.
  [[nodiscard]] virtual std::string Description() const = 0;
  /// XML text becomes an MD comment, other text a TX comment.
  virtual void Description(const std::string& description) = 0;
  virtual void AddElement(const HierarchyElement& element) = 0;
  [[nodiscard]] virtual const std::vector<HierarchyElement>& Elements() const = 0;
  /// A new child hierarchy appended after the existing ones.
  virtual IChannelHierarchy* CreateChannelHierarchy() = 0;
  [[nodiscard]] virtual std::vector<IChannelHierarchy*> ChannelHierarchies() const = 0;
};

}  // namespace mdf
