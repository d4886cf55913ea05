#include "mdf3file.h"

#include "mdf/mdflogstream.h"

namespace mdf::detail {

namespace {
constexpr const char* kNotSupported = "Reading MDF 3 files is not supported.";
}

Mdf3File::Mdf3File(std::unique_ptr<IdBlock> id_block) : id_block_(std::move(id_block)) {}

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

void Mdf3File::ReadHeader(std::streambuf&) { throw MdfRuntimeError(kNotSupported); }

void Mdf3File::ReadMeasurementInfo(std::streambuf&) { throw MdfRuntimeError(kNotSupported); }

void Mdf3File::ReadEverythingButData(std::streambuf&) { throw MdfRuntimeError(kNotSupported); }

bool Mdf3File::Write(std::streambuf&) {
  MDF_ERROR() << "Writing MDF 3 files is not supported.";
  return false;
}

bool Mdf3File::IsFinalized(uint16_t& standard_flags, uint16_t& custom_flags) const {
  if (!id_block_) {
    standard_flags = 0;
    custom_flags = 0;
    return true;
  }
  return id_block_->IsFinalized(standard_flags, custom_flags);
}

void Mdf3File::SetFinalized(bool finalized, std::streambuf& buffer, uint16_t standard_flags,
                            uint16_t custom_flags) {
  if (id_block_) {
    id_block_->SetFinalized(finalized, buffer, standard_flags, custom_flags);
  }
}

}  // namespace mdf::detail
