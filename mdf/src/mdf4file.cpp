#include "mdf4file.h"

#include <exception>

#include "ca4block.h"
#include "cg4block.h"
#include "cn4block.h"
#include "damage.h"
#include "dg4block.h"
#include "mdf/ichannelarray.h"
#include "mdf/mdflogstream.h"

namespace mdf::detail {

namespace {
constexpr int64_t kHeaderPosition = 64;
constexpr uint16_t kUpdateCgCount = 0x01;
constexpr uint16_t kUpdateSrCount = 0x02;
constexpr uint16_t kUpdateLastDt = 0x04;
constexpr uint16_t kUpdateLastRd = 0x08;
constexpr uint16_t kUpdateLastDl = 0x10;
constexpr uint16_t kUpdateVlsdBytes = 0x20;
constexpr uint16_t kUpdateVlsdOffsets = 0x40;
constexpr const char* kWriteFailure = "Failed to write the MDF4 file. Error: ";
}  // namespace

Mdf4File::Mdf4File() : IdHeaderFile(std::make_unique<IdBlock>(), std::make_unique<Hd4Block>(), kWriteFailure) {}

Mdf4File::Mdf4File(std::unique_ptr<IdBlock> id_block) : IdHeaderFile(std::move(id_block), nullptr, kWriteFailure) {}

void Mdf4File::Attachments(AttachmentList& dest) const {
  if (header_) {
    const auto list = header_->Attachments();
    dest.insert(dest.end(), list.begin(), list.end());
  }
}

void Mdf4File::DataGroups(DataGroupList& dest) const {
  if (header_) {
    const auto list = header_->DataGroups();
    dest.insert(dest.end(), list.begin(), list.end());
  }
}

IAttachment* Mdf4File::CreateAttachment() { return header_ ? header_->CreateAttachment() : nullptr; }

void Mdf4File::ReadHeader(std::streambuf& buffer) {
  if (!id_block_) {
    id_block_ = std::make_unique<IdBlock>();
    SetFirstStreamPosition(buffer);
    id_block_->Read(buffer);
  }
  if (!header_) {
    header_ = std::make_unique<Hd4Block>();
    header_->AttachToParent(id_block_.get());
    SetStreamPosition(buffer, kHeaderPosition);
    header_->Read(buffer);
  }
}

void Mdf4File::ReadMeasurementInfo(std::streambuf& buffer) {
  ReadHeader(buffer);
  header_->ReadMeasurementInfo(buffer);
}

void Mdf4File::ReadEverythingButData(std::streambuf& buffer) {
  ReadHeader(buffer);
  if (header_) {
    header_->ReadMeasurementInfo(buffer);
    header_->ReadEverythingButData(buffer);
  }
  ResolveChannelReferences();
  if (finalized_on_read_) {
    return;
  }
  uint16_t standard_flags = 0;
  uint16_t custom_flags = 0;
  if (id_block_ && !id_block_->IsFinalized(standard_flags, custom_flags)) {
    finalized_on_read_ = FinalizeFile(buffer);
  }
}

namespace {

// The channel arrays of a channel's composition; an array may nest further arrays. The
// composition reader bounds the nesting.
void ResolveArrays(const Ca4Block::BlockList& composition) {
  for (const auto& block : composition) {
    if (auto* array = dynamic_cast<Ca4Block*>(block.get()); array != nullptr) {
      try {
        array->ResolveReferences();
      } catch (const std::exception& error) {
        MDF_DAMAGE(Damage::kUnreadableBlock)
            << "Failed to resolve the channel array references. Error: " << error.what();
      }
      ResolveArrays(array->Compositions());
    }
  }
}

}  // namespace

void Mdf4File::ResolveChannelReferences() {
  if (!header_) {
    return;
  }
  for (const auto& data_group : header_->Dg4List()) {
    for (const auto& group : data_group->Cg4List()) {
      for (IChannel* channel : group->Channels()) {
        if (const auto* cn = dynamic_cast<const Cn4Block*>(channel); cn != nullptr) {
          ResolveArrays(cn->Compositions());
        }
      }
    }
  }
  for (const auto& data_group : header_->Dg4List()) {
    for (const auto& group : data_group->Cg4List()) {
      for (IChannel* channel : group->Channels()) {
        const IChannelArray* array = channel->ChannelArray();
        channel->ArraySize(array != nullptr ? array->ElementCount() : 1);
      }
    }
  }
}

IDataGroup* Mdf4File::FindParentDataGroup(const IBlock& block) const {
  return header_ ? header_->FindParentDataGroup(block.FilePosition()) : nullptr;
}

bool Mdf4File::FinalizeFile(std::streambuf& buffer) {
  uint16_t standard_flags = 0;
  uint16_t custom_flags = 0;
  if (IsFinalized(standard_flags, custom_flags) || standard_flags == 0 || !header_) {
    MDF_DEBUG() << "The files standard flags are OK. Cannot finalize the file. File: " << Name();
    return false;
  }
  bool result = true;
  if ((standard_flags & kUpdateLastDl) != 0) {
    MDF_ERROR() << "Finalizing DL block is not supported. File: " << Name();
    result = false;
  }
  if ((standard_flags & kUpdateLastDt) != 0 && !header_->FinalizeDtBlocks(buffer)) {
    MDF_ERROR() << "Fail to finalize last DT block. File: " << Name();
    result = false;
  }
  if ((standard_flags & kUpdateLastRd) != 0) {
    MDF_ERROR() << "Finalizing RD block is not supported. File: " << Name();
    result = false;
  }
  const bool update_cg = (standard_flags & kUpdateCgCount) != 0;
  const bool update_vlsd = (standard_flags & (kUpdateVlsdBytes | kUpdateVlsdOffsets)) != 0;
  if ((update_cg || update_vlsd) && !header_->FinalizeCgAndVlsdBlocks(buffer, update_cg, update_vlsd)) {
    MDF_ERROR() << "Failed to update number of samples and VLSD block sizes. File: " << Name();
    result = false;
  }
  if ((standard_flags & kUpdateSrCount) != 0) {
    MDF_ERROR() << "Finalizing SR block is not supported. File: " << Name();
    return false;
  }
  return result;
}

}  // namespace mdf::detail
