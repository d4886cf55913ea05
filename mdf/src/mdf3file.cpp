#include "mdf3file.h"

#include "dg3block.h"
#include "mdf/mdflogstream.h"

namespace mdf::detail {

namespace {
constexpr int64_t kHeaderPosition = 64;  // behind the identification block
constexpr const char* kWriteFailure = "Failed to write MDF3 file. Error: ";

// Set before the header is attached: the header takes its byte order and version then.
std::unique_ptr<IdBlock> Mdf3DefaultId() {
  auto id_block = std::make_unique<IdBlock>();
  id_block->SetMdf3Defaults();
  return id_block;
}
}  // namespace

Mdf3File::Mdf3File() : IdHeaderFile(Mdf3DefaultId(), std::make_unique<Hd3Block>(), kWriteFailure) {}

Mdf3File::Mdf3File(std::unique_ptr<IdBlock> id_block) : IdHeaderFile(std::move(id_block), nullptr, kWriteFailure) {}

void Mdf3File::DataGroups(DataGroupList& dest) const {
  if (!header_) return;
  for (IDataGroup* data_group : header_->DataGroups()) {
    dest.push_back(data_group);
  }
}

void Mdf3File::ReadHeader(std::streambuf& buffer) {
  if (!id_block_) {
    id_block_ = std::make_unique<IdBlock>();
  }
  if (id_block_->FilePosition() < 0) {
    SetFirstStreamPosition(buffer);
    id_block_->Read(buffer);
  }
  if (!header_) {
    header_ = std::make_unique<Hd3Block>();
  }
  if (header_->FilePosition() < 1) {
    header_->AttachToParent(id_block_.get());
    SetStreamPosition(buffer, kHeaderPosition);
    header_->Read(buffer);
  }
}

void Mdf3File::ReadMeasurementInfo(std::streambuf& buffer) {
  ReadHeader(buffer);
  header_->ReadMeasurementInfo(buffer);
}

void Mdf3File::ReadEverythingButData(std::streambuf& buffer) {
  ReadHeader(buffer);
  header_->ReadMeasurementInfo(buffer);
  header_->ReadEverythingButData(buffer);
}

IDataGroup* Mdf3File::FindParentDataGroup(const IBlock& block) const {
  const int64_t position = block.FilePosition();
  if (!header_ || position <= 0) {
    return nullptr;
  }
  for (const auto& data_group : header_->Dg3List()) {
    if (data_group && data_group->FindByPosition(position) != nullptr) {
      return data_group.get();
    }
  }
  return nullptr;
}

}  // namespace mdf::detail
