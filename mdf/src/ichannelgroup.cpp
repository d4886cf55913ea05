#include "mdf/ichannelgroup.h"

#include "mdf/ichannel.h"

namespace mdf {

namespace {
// Names are handed over as C texts by some callers: the name ends at a zero character.
std::string_view UpToZero(std::string_view name) { return name.substr(0, name.find('\0')); }
}  // namespace

uint64_t IChannel::RecordId() const {
  const IChannelGroup* group = ChannelGroup();
  return group != nullptr ? group->RecordId() : 0;
}

IChannel* IChannelGroup::GetOrCreateChannel(std::string_view name) {
  const std::string_view wanted = UpToZero(name);
  for (IChannel* channel : Channels()) {
    if (channel != nullptr && channel->Name() == wanted) {
      return channel;
    }
  }
  IChannel* channel = CreateChannel();
  if (channel != nullptr) {
    channel->Name(std::string(wanted));
  }
  return channel;
}

IChannel* IChannelGroup::GetChannel(std::string_view name) const {
  const std::string_view wanted = UpToZero(name);
  for (IChannel* channel : Channels()) {
    if (channel != nullptr && channel->Name().find(wanted) != std::string::npos) {
      return channel;
    }
  }
  return nullptr;
}

}  // namespace mdf
