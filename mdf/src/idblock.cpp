#include "idblock.h"

#include <array>
#include <cstring>

#include "mdf/mdfhelper.h"
#include "platformshim.h"

namespace {

struct FlagLabel {
  uint16_t bit;
  const char* label;
};

constexpr std::array<FlagLabel, 7> kStandardFlags = {{
    {0x01, "Update CG count"},
    {0x02, "Update SR Count"},
    {0x04, "Update length of last DT Block"},
    {0x08, "Update length of last RD Block"},
    {0x10, "Update length of last DL Block"},
    {0x20, "Update length of data VLSD Block"},
    {0x40, "Update length of offset VLSD Block"},
}};

std::string Trimmed(std::string text) {
  mdf::TrimSpace(text);
  return text;
}

}  // namespace

namespace mdf::detail {

IdBlock::IdBlock() {
  file_position_ = -1;
  block_id_ = "ID";
  block_length_ = 64;
  block_size_ = 64;
}

void IdBlock::SetMdf3Defaults() {
  file_id_ = "MDF     ";
  format_id_ = "3.30";
  program_id_ = "MdfWrite";
  byte_order_ = 0;
  float_format_ = 0;
  version_ = 330;
  code_page_ = 65001;
  standard_flags_ = 0;
  custom_flags_ = 0;
}

size_t IdBlock::Read(std::streambuf& buffer) {
  block_id_ = "ID";
  block_length_ = 64;
  SetFirstStreamPosition(buffer);
  file_position_ = 0;
  size_t bytes = ReadFixedText(buffer, file_id_, 8);
  bytes += ReadFixedText(buffer, format_id_, 8);
  bytes += ReadFixedText(buffer, program_id_, 8);

  // The byte-order word is always little-endian and decides the order of every later number.
  byte_order_ = 0;
  uint16_t byte_order = 0;
  bytes += ReadNumber(buffer, byte_order);
  byte_order_ = byte_order;

  bytes += ReadNumber(buffer, float_format_);
  bytes += ReadNumber(buffer, version_);
  bytes += ReadNumber(buffer, code_page_);
  bytes += AdvanceStreamPosition(buffer, 28);
  bytes += ReadNumber(buffer, standard_flags_);
  bytes += ReadNumber(buffer, custom_flags_);
  return bytes;
}

size_t IdBlock::Write(std::streambuf& buffer) {
  if (file_position_ == 0) {
    return 64;
  }
  SetFirstStreamPosition(buffer);
  file_position_ = 0;
  size_t bytes = WriteFixedText(buffer, file_id_, 8);
  bytes += WriteFixedText(buffer, format_id_, 8);
  bytes += WriteFixedText(buffer, program_id_, 8);
  bytes += WriteNumber(buffer, byte_order_);
  bytes += WriteNumber(buffer, float_format_);
  bytes += WriteNumber(buffer, version_);
  bytes += WriteNumber(buffer, code_page_);
  bytes += WriteZeroBytes(buffer, 28);
  bytes += WriteNumber(buffer, standard_flags_);
  bytes += WriteNumber(buffer, custom_flags_);
  if (bytes != 64) {
    throw MdfRuntimeError("ID block not 64 bytes");
  }
  return bytes;
}

bool IdBlock::IsMdfFileId(const std::string& file_id) {
  return CompareNoCaseN(file_id, "MDF", 3) == 0 || IsUnfinalizedFileId(file_id);
}

bool IdBlock::IsUnfinalizedFileId(const std::string& file_id) { return CompareNoCaseN(file_id, "UnFinMF", 7) == 0; }

bool IdBlock::IsFinalized(uint16_t& standard_flags, uint16_t& custom_flags) const {
  standard_flags = standard_flags_;
  custom_flags = custom_flags_;
  return !IsUnfinalizedFileId(file_id_);
}

void IdBlock::SetFinalized(bool finalized, std::streambuf& buffer, uint16_t standard_flags, uint16_t custom_flags) {
  if (finalized) {
    file_id_ = "MDF     ";
    standard_flags_ = 0;
    custom_flags_ = 0;
  } else {
    file_id_ = "UnFinMF ";
    standard_flags_ = standard_flags;
    custom_flags_ = custom_flags;
  }
  if (file_position_ == 0) {
    SetFirstStreamPosition(buffer);
    WriteFixedText(buffer, file_id_, 8);
    SetStreamPosition(buffer, 60);
    WriteNumber(buffer, standard_flags_);
    WriteNumber(buffer, custom_flags_);
  }
}

void IdBlock::SetMinorVersion(int minor) {
  const int main_version = format_id_.empty() ? 4 : std::stoi(format_id_.substr(0, 1));
  if (minor <= 0) {
    minor = 0;
  } else if (minor < 10) {
    minor *= 10;
  } else if (minor >= 100) {
    minor %= 100;
  }
  format_id_ = std::to_string(main_version) + "." + (minor == 0 ? std::string("00") : std::to_string(minor));
  version_ = static_cast<uint16_t>(main_version * 100 + minor);
}

std::string IdBlock::VersionString() const { return Trimmed(format_id_); }
std::string IdBlock::ProgramId() const { return Trimmed(program_id_); }
std::string IdBlock::FileId() const { return Trimmed(file_id_); }

void IdBlock::GetBlockProperty(std::vector<BlockProperty>& dest) const {
  MdfBlock::GetBlockProperty(dest);
  dest.emplace_back("Information", "", "", BlockItemType::HeaderItem);
  dest.emplace_back("File ID", FileId());
  dest.emplace_back("Version", VersionString());
  dest.emplace_back("Program", ProgramId());
  if (version_ < 400) {
    if (IsBigEndian()) {
      dest.emplace_back("Byte Order", "Big Endian", "Motorola byte order");
    } else {
      dest.emplace_back("Byte Order", "Little Endian", "Intel byte order");
    }
    dest.emplace_back("Version Number", std::to_string(version_));
    dest.emplace_back("Code Page", std::to_string(code_page_), platform::CodePageName(code_page_));
  }
  dest.emplace_back("Version Number", std::to_string(version_));
  for (const auto& flag : kStandardFlags) {
    if ((standard_flags_ & flag.bit) != 0) {
      dest.emplace_back(flag.label, "True");
    }
  }
  if (custom_flags_ != 0) {
    dest.emplace_back("Custom Flags", std::to_string(custom_flags_));
  }
}

}  // namespace mdf::detail
