#include "mdf3writer.h"

#include "cg3block.h"
#include "dg3block.h"
#include "mdf/ichannel.h"
#include "mdf/iheader.h"
#include "mdf/mdflogstream.h"
#include "mdf3file.h"

namespace mdf::detail {

Mdf3Writer::~Mdf3Writer() { StopWorkThread(); }

void Mdf3Writer::CreateMdfFile() { mdf_file_ = std::make_unique<Mdf3File>(); }

IChannelConversion* Mdf3Writer::CreateChannelConversion(IChannel* channel) {
  return channel != nullptr ? channel->CreateChannelConversion() : nullptr;
}

bool Mdf3Writer::PrepareForWriting() {
  const IHeader* header = Header();
  if (header == nullptr) {
    MDF_ERROR() << "No header  found. Invalid use of the function.";
    return false;
  }
  const auto* data_group = dynamic_cast<const Dg3Block*>(header->LastDataGroup());
  if (data_group == nullptr) {
    return true;
  }
  // The data group's write gives two or more groups a one-byte id before each record.
  if (!RecordIdsFit(*data_group, data_group->Cg3List().size() >= 2 ? 1 : 0)) return false;
  try {
    for (const auto& group : data_group->Cg3List()) {
      if (group) group->PrepareForWriting();
    }
  } catch (const std::exception& error) {
    MDF_ERROR() << "Failed to lay out the records. Error: " << error.what();
    return false;
  }
  return true;
}

void Mdf3Writer::SetLastPosition(std::streambuf& buffer) {
  GetLastStreamPosition(buffer);
  const IHeader* header = Header();
  auto* data_group = header != nullptr ? dynamic_cast<Dg3Block*>(header->LastDataGroup()) : nullptr;
  if (data_group == nullptr || data_group->DataLink() > 0) {
    return;
  }
  // The records of the cycle start here.
  data_group->GoToStreamEnd(buffer);
  data_group->SetDataLink(buffer, GetStreamPosition(buffer));
  data_group->GoToStreamEnd(buffer);
}

}  // namespace mdf::detail
