#include "buslog/mdf_reader.h"

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include "mdf/channeltypes.h"
#include "mdf/ichannelgroup.h"
#include "mdf/idatagroup.h"
#include "mdf/ifilehistory.h"
#include "mdf/iheader.h"
#include "mdf/imdftimestamp.h"
#include "mdf/imetadata.h"
#include "mdf/isourceinformation.h"
#include "mdf/mdffile.h"
#include "mdf/mdfreader.h"

namespace {

constexpr const char* kLoggerProgramId = "QX";
constexpr const char* kLoggerToolId = "QX";
constexpr int kAcceptedMainVersion = 4;
constexpr int kAcceptedMinorVersions[] = {11, 20};

[[noreturn]] void unsupported() { throw std::runtime_error("Unsupported file"); }
[[noreturn]] void unexpectedNull() { throw std::runtime_error("Unexpected NULL ptr"); }
// A file the reader did not get whole for want of memory lacks what it lacks for that reason,
// not because it is another's.
[[noreturn]] void refuse(const mdf::MdfReader& reader) {
  if (reader.OutOfMemory()) throw std::bad_alloc();
  unsupported();
}

// A property's value text up to its first zero character.
cStrView_t untilZero(const std::string& text) {
  const size_t zero = text.find('\0');
  return {text.data(), static_cast<int64_t>(zero == std::string::npos ? text.size() : zero)};
}

// Takes a bus source's comment into the field of its bus: the first text found sets it, an
// equal one is accepted, a different one is an error.
void mergeSourceComment(std::string& field, const std::string& text) {
  if (field.empty()) {
    field = text;
  } else if (field != text) {
    throw std::runtime_error("Different metadata");
  }
}

}  // namespace

void mdfMetadataFree(cMdfMetadata_t* metadata) { delete metadata; }

cMdfReader_t::cMdfReader_t(std::shared_ptr<cIO_wrapper> input, std::string name, mdf::MemoryAccount* memory)
    : reader_(std::make_unique<mdf::MdfReader>(std::move(input), std::move(name), memory)) {
  if (reader_->GetFile() == nullptr) throw std::runtime_error("Unable to read file");
  reader_->ReadEverythingButData();  // damage is logged by the library; what was read decides below
  const mdf::MdfFile* file = reader_->GetFile();
  if (file == nullptr) throw std::runtime_error("Unable to read file");
  if (file->ProgramId() != kLoggerProgramId) refuse(*reader_);
  if (file->MainVersion() != kAcceptedMainVersion) refuse(*reader_);
  const int minor = file->MinorVersion();
  bool known_minor = false;
  for (const int accepted : kAcceptedMinorVersions) known_minor = known_minor || minor == accepted;
  if (!known_minor) refuse(*reader_);
  const mdf::IHeader* header = file->Header();
  if (header == nullptr) refuse(*reader_);
  const std::vector<mdf::IFileHistory*> histories = header->FileHistories();
  if (histories.size() != 1 || histories[0] == nullptr) refuse(*reader_);
  if (histories[0]->ToolId() != kLoggerToolId || !histories[0]->ToolVendor().empty()) refuse(*reader_);
}

cMdfReader_t::~cMdfReader_t() = default;

const char* cMdfReader_t::firstDamage() const {
  if (!iterator_damage_.empty()) return iterator_damage_.c_str();
  return reader_->IsDamaged() ? reader_->FirstDamage().c_str() : nullptr;
}

bool cMdfReader_t::outOfMemory() const {
  return iterator_damage_.empty() ? reader_->OutOfMemory() : iterator_out_of_memory_;
}

void cMdfReader_t::noteOutOfMemory() const {
  if (firstDamage() != nullptr) return;
  iterator_damage_ = "Out of memory while reading the records.";
  iterator_out_of_memory_ = true;
}

void cMdfReader_t::getFileInfo(cFileInfo_t* info) const {
  if (info == nullptr) return;
  const mdf::IHeader* header = reader_->FileHeader();
  if (header == nullptr) return;
  info->StartTime = header->StartTime();
  if (const mdf::IMdfTimestamp* start = header->StartTimestamp(); start != nullptr) {
    info->TzOffsetMin = start->GetTzOffsetMin();
    info->DstOffsetMin = start->GetDstOffsetMin();
    info->TimeFlags = start->GetTimeFlags();
  }
  const mdf::IMetaData* comment = header->MetaDataInterface();
  if (comment == nullptr) return;
  for (const mdf::MetaProperty& entry : comment->ReadPropertyList()) {
    for (const mdf::MetaProperty& property : entry.Children()) {
      const std::string& name = property.Name();
      if (name == "serial number") {
        cStr_t serial{};
        if (!cStrInit(&serial, untilZero(property.Value()))) throw std::bad_alloc();
        cStrRelease(&info->SerialNumber);
        info->SerialNumber = serial;
      } else if (name == "session") {
        info->Session = property.IntValue();
      } else if (name == "split") {
        info->Split = property.IntValue();
      }
    }
  }
}

cMdfMetadata_t* cMdfReader_t::getMetadata() const {
  auto metadata = std::make_unique<cMdfMetadata_t>();
  const mdf::IHeader* header = reader_->FileHeader();
  if (header == nullptr) unexpectedNull();
  const mdf::IMetaData* header_comment = header->MetaDataInterface();
  if (header_comment == nullptr) unexpectedNull();
  metadata->HeaderComment = header_comment->XmlText();

  const std::vector<mdf::IFileHistory*> histories = header->FileHistories();
  if (histories.empty() || histories[0] == nullptr) unexpectedNull();
  const mdf::IFileHistory& history = *histories[0];
  metadata->FileHistoryTime = history.Time();
  metadata->FileHistoryText = history.CommentTx();
  metadata->ToolId = history.ToolId();
  metadata->ToolVendor = history.ToolVendor();
  metadata->ToolVersion = history.ToolVersion();
  const mdf::IMetaData* history_comment = history.MetaData();
  if (history_comment == nullptr) unexpectedNull();
  metadata->FileHistoryComment = history_comment->XmlText();

  for (const mdf::IDataGroup* data_group : header->DataGroups()) {
    if (data_group == nullptr) continue;
    for (const mdf::IChannelGroup* group : data_group->ChannelGroups()) {
      constexpr uint16_t kBusSourceFlags = mdf::kChannelGroupBusEventFlag | mdf::kChannelGroupPlainBusEventFlag;
      if (group == nullptr || (group->Flags() & kBusSourceFlags) != kBusSourceFlags) continue;
      const mdf::ISourceInformation* source = group->SourceInformation();
      if (source == nullptr || source->Type() != kSourceTypeBus) continue;
      const mdf::IMetaData* comment = source->MetaDataInterface();
      if (comment == nullptr) continue;
      if (source->Bus() == kBusTypeMdfCan) {
        mergeSourceComment(metadata->CanSourceComment, comment->XmlText());
      } else if (source->Bus() == kBusTypeMdfLin) {
        mergeSourceComment(metadata->LinSourceComment, comment->XmlText());
      }
    }
  }
  return metadata.release();
}

cMdfReader_t* mdfReaderOpen(cStream_t* stream, cStrView_t name, mdf::MemoryAccount* memory, bool* out_of_memory) {
  try {
    std::string text = name.length > 0 ? std::string(name.data, static_cast<size_t>(name.length)) : std::string();
    return new cMdfReader_t(std::make_shared<cIO_wrapper>(stream), std::move(text), memory);
  } catch (const std::bad_alloc&) {
    if (out_of_memory != nullptr) *out_of_memory = true;
    return nullptr;
  } catch (const std::exception&) {
    return nullptr;
  }
}

void mdfReaderClose(cMdfReader_t* reader) { delete reader; }

const char* mdfReaderFirstDamage(const cMdfReader_t* reader) {
  return reader != nullptr ? reader->firstDamage() : nullptr;
}

bool mdfReaderOutOfMemory(const cMdfReader_t* reader) { return reader != nullptr && reader->outOfMemory(); }

void mdfReaderGetFileInfo(cMdfReader_t* reader, cFileInfo_t* info) {
  if (reader == nullptr) return;
  try {
    reader->getFileInfo(info);
  } catch (const std::exception&) {
    // the fields filled so far stay
  }
}

cMdfMetadata_t* mdfReaderGetMetadata(cMdfReader_t* reader) {
  if (reader == nullptr) return nullptr;
  try {
    return reader->getMetadata();
  } catch (const std::exception&) {
    return nullptr;
  }
}
