#include "mdf3file.h"

#include "dg3block.h"
#include "mdf/mdflogstream.h"

namespace mdf::detail {

namespace {
constexpr int64_t kHeaderPosition = 64;  // behind the identification block
}  // namespace

Mdf3File::Mdf3File() : id_block_(std::make_unique<IdBlock>()), header_(std::make_unique<Hd3Block>()) {
  id_block_->SetMdf3Defaults();
  header_->AttachToParent(id_block_.get());
}

Mdf3File::Mdf3File(std::unique_ptr<IdBlock> id_block) : id_block_(std::move(id_block)) {}

Mdf3File::~Mdf3File() {
  header_.reset();  // the tree below the header before the block it inherits its settings from
  id_block_.reset();
}

void Mdf3File::DataGroups(DataGroupList& dest) const {
  if (!header_) return;
  for (IDataGroup* data_group : header_->DataGroups()) {
    dest.push_back(data_group);
  }
}

std::string Mdf3File::Version() const { return id_block_ ? id_block_->VersionString() : std::string(); }

void Mdf3File::MinorVersion(int minor) {
  if (id_block_) {
    id_block_->SetMinorVersion(minor);
  }
}

std::string Mdf3File::ProgramId() const { return id_block_ ? id_block_->ProgramId() : std::string(); }

void Mdf3File::ProgramId(const std::string& program_id) {
  if (id_block_) {
    id_block_->ProgramId(program_id);
  }
}

IDataGroup* Mdf3File::CreateDataGroup() { return header_ ? header_->CreateDataGroup() : nullptr; }

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

bool Mdf3File::Write(std::streambuf& buffer) {
  if (!id_block_ || !header_) {
    MDF_ERROR() << "No ID or HD block defined. Invalid use of function.";
    return false;
  }
  try {
    id_block_->Write(buffer);
    header_->Write(buffer);
  } catch (const std::exception& error) {
    MDF_ERROR() << "Failed to write MDF3 file. Error: " << error.what();
    return false;
  }
  return true;
}

bool Mdf3File::IsFinalized(uint16_t& standard_flags, uint16_t& custom_flags) const {
  if (!id_block_) {
    standard_flags = 0;
    custom_flags = 0;
    return true;
  }
  return id_block_->IsFinalized(standard_flags, custom_flags);
}

void Mdf3File::SetFinalized(bool finalized, std::streambuf& buffer, uint16_t standard_flags, uint16_t custom_flags) {
  if (id_block_) {
    id_block_->SetFinalized(finalized, buffer, standard_flags, custom_flags);
  }
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
