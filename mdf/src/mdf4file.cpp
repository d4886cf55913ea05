#include "mdf4file.h"

#include <algorithm>
#include <exception>
#include <limits>

#include "blockchain.h"
#include "blocklayout.h"
#include "ca4block.h"
#include "cg4block.h"
#include "cn4block.h"
#include "damage.h"
#include "datablock.h"
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
  try {
    ReadHeader(buffer);
    if (header_) {
      header_->ReadMeasurementInfo(buffer);
      header_->ReadEverythingButData(buffer);
    }
  } catch (...) {
    ResolveChannelReferences();  // of the channels read before the damage, which stay usable
    throw;
  }
  ResolveChannelReferences();
  uint16_t standard_flags = 0;
  uint16_t custom_flags = 0;
  if (!finalized_on_read_ && id_block_ && !id_block_->IsFinalized(standard_flags, custom_flags)) {
    finalized_on_read_ = FinalizeFile(buffer);
  }
  if (!tail_checked_) {
    tail_checked_ = true;  // after the finalization, which may let the last DT block reach the end
    CheckCutHeader(buffer);
    CheckDataAfterBlocks(buffer);
    CheckSignalDataLinks();
    CheckChannelGroupLinks();
  }
}

void Mdf4File::CheckChannelGroupLinks() const {
  // Judged once the last DT block of an unfinalized recording has its length: a recording
  // without any event has data that hold no record, which need no channel group to frame them.
  for (const auto& data_group : header_->Dg4List()) {
    if (data_group && data_group->DataSize() > 0) data_group->CheckNeededLinks(LinkNeed::kData);
  }
}

void Mdf4File::CheckSignalDataLinks() const {
  // Judged once the records are counted: a logger that writes its signal data block before the
  // records links it only once it is whole, so a recording torn inside it has a NIL link and no
  // record that needs one.
  for (const auto& data_group : header_->Dg4List()) {
    for (const auto& group : data_group->Cg4List()) {
      if (group->NofSamples() == 0) continue;
      for (IChannel* channel : group->Channels()) {
        if (const auto* cn = dynamic_cast<const Cn4Block*>(channel);
            cn != nullptr && cn->ChannelType() == kVlsdChannel) {
          cn->CheckNeededLinks(LinkNeed::kVlsdChannel);
        }
      }
    }
  }
}

void Mdf4File::CheckCutHeader(std::streambuf& buffer) {
  uint64_t position = 0;
  bool cut = CutHeaderNoted(position);
  if (!cut && finalized_on_read_) {
    // Blocks begun after every block before anything linked them: a header, a list that leads
    // to no block yet, payloads that are no frames, a comment or an event appended.
    const uint64_t blocks_end = BlocksEnd();
    cut = blocks_end > 0 && blocks_end < static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) &&
          BlocksBegunBehind(buffer, static_cast<int64_t>(blocks_end));
  }
  if (!cut) return;
  if (finalized_on_read_) {
    // The block its logger began when the power was lost: the torn end, which holds no record.
    const int64_t end = GetLastStreamPosition(buffer);
    NoteBlockEnd(end > 0 ? static_cast<uint64_t>(end) : 0);
    return;
  }
  MDF_DAMAGE(Damage::kUnreadableBlock) << "Block header cut by the end of the file. Block: "
                                       << AddressToText(static_cast<int64_t>(position));
}

void Mdf4File::CheckDataAfterBlocks(std::streambuf& buffer) {
  const uint64_t blocks_end = BlocksEnd();
  const int64_t last = GetLastStreamPosition(buffer);
  const uint64_t file_size = last > 0 ? static_cast<uint64_t>(last) : 0;
  if (blocks_end == 0 || file_size <= blocks_end) {
    return;  // no read open, or every byte lies in a block
  }
  // Zeros are padding, or a file the file system grew before the data reached it.
  constexpr uint64_t kChunk = 64 * 1024;
  ByteArray chunk(static_cast<size_t>(std::min(kChunk, file_size - blocks_end)));
  SetStreamPosition(buffer, static_cast<int64_t>(blocks_end));
  for (uint64_t at = blocks_end; at < file_size;) {
    const auto wanted = static_cast<std::streamsize>(std::min<uint64_t>(chunk.size(), file_size - at));
    const std::streamsize got = buffer.sgetn(reinterpret_cast<char*>(chunk.data()), wanted);
    if (got <= 0) return;
    const auto end = chunk.begin() + got;
    const auto found = std::find_if(chunk.begin(), end, [](uint8_t byte) { return byte != 0; });
    if (found != end) {
      MDF_DAMAGE(Damage::kDataAfterBlocks) << "Data after the last block. Position: "
                                           << AddressToText(static_cast<int64_t>(at) + (found - chunk.begin()));
      return;
    }
    at += static_cast<uint64_t>(got);
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
  // Every step that fails is damage: a recording it cannot repair holds more than a read gives.
  bool result = true;
  if ((standard_flags & kUpdateLastDl) != 0) {
    MDF_DAMAGE(Damage::kFailedFinalization) << "Finalizing DL block is not supported. File: " << Name();
    result = false;
  }
  if ((standard_flags & kUpdateLastDt) != 0 && !header_->FinalizeDtBlocks(buffer)) {
    MDF_DAMAGE(Damage::kFailedFinalization) << "Fail to finalize last DT block. File: " << Name();
    result = false;
  }
  if ((standard_flags & kUpdateLastRd) != 0) {
    MDF_DAMAGE(Damage::kFailedFinalization) << "Finalizing RD block is not supported. File: " << Name();
    result = false;
  }
  const bool update_cg = (standard_flags & kUpdateCgCount) != 0;
  const bool update_vlsd = (standard_flags & (kUpdateVlsdBytes | kUpdateVlsdOffsets)) != 0;
  if ((update_cg || update_vlsd) && !header_->FinalizeCgAndVlsdBlocks(buffer, update_cg, update_vlsd)) {
    MDF_DAMAGE(Damage::kFailedFinalization)
        << "Failed to update number of samples and VLSD block sizes. File: " << Name();
    result = false;
  }
  if ((standard_flags & kUpdateSrCount) != 0) {
    MDF_DAMAGE(Damage::kFailedFinalization) << "Finalizing SR block is not supported. File: " << Name();
    return false;
  }
  return result;
}

}  // namespace mdf::detail
