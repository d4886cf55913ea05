#include "mdf/mdfreader.h"

#include <exception>
#include <fstream>
#include <new>
#include <typeinfo>

#include "channelobserver.h"
#include "damage.h"
#include "dg3block.h"
#include "dg4block.h"
#include "idblock.h"
#include "mdf/channeltypes.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelarray.h"
#include "mdf/ichannelgroup.h"
#include "mdf/ichannelobserver.h"
#include "mdf/idatagroup.h"
#include "mdf/iheader.h"
#include "mdf/mdfhelper.h"
#include "mdf/mdflogstream.h"
#include "mdf3file.h"
#include "mdf4file.h"

namespace mdf {

namespace {

template <typename T>
ChannelObserverPtr MakeObserver(IDataGroup& data_group, const IChannelGroup& group, const IChannel& channel) {
  return std::make_unique<detail::ChannelObserver<T>>(data_group, group, channel);
}

}  // namespace

namespace {

ChannelObserverPtr MakeChannelObserver(IDataGroup& data_group, const IChannelGroup& group, const IChannel& channel) {
  const IChannelArray* array = channel.ChannelArray();
  uint64_t elements = array != nullptr ? array->ElementCount() : 1;
  if (elements == 0) {
    elements = 1;  // A damaged array must not divide by zero.
  }
  const uint64_t bytes = channel.DataBytes() / elements;
  switch (channel.DataType()) {
    case kUnsignedLe:
    case kUnsignedBe:
      switch (bytes) {
        case kUnsignedBe:
          return MakeObserver<uint8_t>(data_group, group, channel);
        case kSignedLe:
          return MakeObserver<uint16_t>(data_group, group, channel);
        case kFloatLe:
          return MakeObserver<uint32_t>(data_group, group, channel);
        default:
          return MakeObserver<uint64_t>(data_group, group, channel);
      }
    case kSignedLe:
    case kSignedBe:
      if (bytes <= 1) return MakeObserver<int8_t>(data_group, group, channel);
      if (bytes == 2) return MakeObserver<int16_t>(data_group, group, channel);
      if (bytes <= 4) return MakeObserver<int32_t>(data_group, group, channel);
      return MakeObserver<int64_t>(data_group, group, channel);
    case kFloatLe:
    case kFloatBe:
      if (bytes <= 4) return MakeObserver<float>(data_group, group, channel);
      return MakeObserver<double>(data_group, group, channel);
    case kLatin1Text:
    case kUtf8Text:
    case kUtf16LeText:
    case kUtf16BeText:
      return MakeObserver<std::string>(data_group, group, channel);
    case kByteArray:
    case kMimeSample:
    case kMimeStream:
      return MakeObserver<std::vector<uint8_t>>(data_group, group, channel);
    case kCanOpenDate:
    case kCanOpenTime:
      return MakeObserver<uint64_t>(data_group, group, channel);
    default:
      return nullptr;
  }
}

}  // namespace

ChannelObserverPtr CreateChannelObserver(IDataGroup& data_group, const IChannelGroup& group, const IChannel& channel) {
  try {
    return MakeChannelObserver(data_group, group, channel);
  } catch (const std::exception& error) {
    // The observer sizes its buffers from counts in the file; a damaged count gives none.
    MDF_ERROR() << "Failed to create a channel observer. Channel: " << channel.Name() << ", Error: " << error.what();
  }
  return nullptr;
}

void CreateObserversForDataGroup(IDataGroup& data_group, ChannelObserverList& dest) {
  for (const IChannelGroup* group : data_group.ChannelGroups()) {
    if (group == nullptr || group->NofSamples() == 0) {
      continue;
    }
    for (const IChannel* channel : group->Channels()) {
      if (channel != nullptr) {
        dest.push_back(CreateChannelObserver(data_group, *group, *channel));
      }
    }
  }
}

MdfReader::MdfReader(std::shared_ptr<std::streambuf> buffer, std::string name, MemoryAccount* memory)
    : buffer_(std::move(buffer)), name_(std::move(name)), memory_(memory) {
  VerifyMdfFile();
}

MdfReader::MdfReader(const std::string& filename)
    : buffer_(std::make_shared<std::filebuf>()), filename_(filename), name_(filename) {
  VerifyMdfFile();
}

MdfReader::~MdfReader() {
  Close();
  file_.reset();
}

IHeader* MdfReader::FileHeader() const { return file_ ? file_->Header() : nullptr; }

bool MdfReader::IsOpen() const {
  if (!buffer_) {
    return false;
  }
  try {
    const auto* file = dynamic_cast<const std::filebuf*>(buffer_.get());
    return file == nullptr || file->is_open();
  } catch (const std::exception& error) {
    MDF_ERROR() << "Dynamic cast of pointer failed. Error: " << error.what();
  }
  return true;
}

bool MdfReader::Open() {
  if (!buffer_) {
    MDF_ERROR() << "No stream buffer has been assigned. Invalid use of the function";
    return false;
  }
  return OpenMdfFile(*buffer_, filename_, std::ios_base::in | std::ios_base::binary);
}

void MdfReader::Close() {
  if (!buffer_) {
    return;
  }
  try {
    auto* file = dynamic_cast<std::filebuf*>(buffer_.get());
    if (!filename_.empty() && file != nullptr && file->is_open()) {
      file->close();
    } else {
      buffer_->pubsync();
    }
  } catch (const std::exception& error) {
    MDF_ERROR() << "Dynamic cast of pointer failed. Error: " << error.what();
  }
}

void MdfReader::VerifyMdfFile() {
  if (!buffer_) {
    MDF_ERROR() << "No stream attached. Invalid use of function";
    return;
  }
  if (!Open()) {
    MDF_ERROR() << "The file couldn't be opened for reading (locked?). Filename: " << name_;
    return;
  }
  auto id_block = std::make_unique<detail::IdBlock>();
  int64_t file_size = 0;
  try {
    id_block->Read(*buffer_);
    file_size = detail::GetLastStreamPosition(*buffer_);
  } catch (const std::exception& error) {
    // A file too short for its identification is no MDF file; the constructor never throws.
    MDF_ERROR() << "Failed to read the file information blocks. Error: " << error.what();
    Close();
    return;
  }
  if (!detail::IdBlock::IsMdfFileId(id_block->FileId())) {
    MDF_ERROR() << "This is not and MDF file. File: " << name_;
    Close();
    return;
  }
  if (memory_ == nullptr) {
    own_memory_ = std::make_unique<MemoryAccount>(MemoryAccount::CeilingFor(file_size));
    memory_ = own_memory_.get();
  }
  id_block->SetMemoryAccount(memory_);  // the root of the file's block tree
  if (id_block->Version() < 400) {
    file_ = std::make_unique<detail::Mdf3File>(std::move(id_block));
  } else {
    file_ = std::make_unique<detail::Mdf4File>(std::move(id_block));
  }
  file_->FileName(filename_);
}

bool MdfReader::ReadEverythingButData() {
  if (!file_ || !buffer_) {
    MDF_ERROR() << "No instance created. File: " << name_;
    return false;
  }
  const bool opened_here = !IsOpen() && Open();
  if (!IsOpen()) {
    MDF_ERROR() << "File is not open. File: " << name_;
    return false;
  }
  bool result = true;
  const detail::DamageScope scope(damage_);
  try {
    file_->ReadEverythingButData(*buffer_);
  } catch (const std::bad_alloc&) {
    detail::ReportOutOfMemory(MdfLocation{__LINE__, 0, __FILE__, "ReadEverythingButData"},
                              "reading the file information blocks.");
    result = false;
  } catch (const std::exception& error) {
    // Short memory too: what was read is not all the file holds.
    MDF_DAMAGE(detail::Damage::kUnreadableBlock)
        << "Failed to read the file information blocks. Error: " << error.what();
    result = false;
  }
  if (opened_here) {
    Close();
  }
  return result;
}

bool MdfReader::ReadData(IDataGroup& data_group) {
  if (!file_ || !buffer_) {
    MDF_ERROR() << "No instance created. File: " << name_;
    return false;
  }
  const bool opened_here = !IsOpen() && Open();
  if (!IsOpen()) {
    MDF_ERROR() << "Failed to open file. File: " << name_;
    return false;
  }
  bool result = true;
  const detail::DamageScope scope(damage_);
  try {
    if (file_->IsMdf4()) {
      auto& dg4 = dynamic_cast<detail::Dg4Block&>(data_group);
      result = dg4.ReadData(*buffer_);  // damage in the records is reported there
    } else {
      auto& dg3 = dynamic_cast<detail::Dg3Block&>(data_group);
      result = dg3.ReadData(*buffer_);
    }
  } catch (const std::bad_alloc&) {
    detail::ReportOutOfMemory(MdfLocation{__LINE__, 0, __FILE__, "ReadData"}, "reading the records.");
    result = false;
  } catch (const std::bad_cast& error) {
    // A data group of another file: nothing of this file was read.
    MDF_ERROR() << "Failed to read the file information blocks. Error: " << error.what();
    result = false;
  } catch (const std::exception& error) {
    MDF_DAMAGE(detail::Damage::kUnreadableData)
        << "Failed to read the file information blocks. Error: " << error.what();
    result = false;
  }
  if (opened_here) {
    Close();
  }
  return result;
}

}  // namespace mdf
