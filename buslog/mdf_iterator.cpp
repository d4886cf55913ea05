// The event iterator: every bus-event channel group of a logger file read through channel
// observers, one record per sample, merged group by group into one time-ordered array.
#include <algorithm>
#include <cmath>
#include <exception>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "buslog/mdf_reader.h"
#include "mdf/channeltypes.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelgroup.h"
#include "mdf/ichannelobserver.h"
#include "mdf/idatagroup.h"
#include "mdf/iheader.h"
#include "mdf/mdfreader.h"
#include "platform/log.h"

namespace {

constexpr double kSecondsPerNs = 1e-9;

enum class FillRule {
  kNone,
  kTime,
  kChannel,
  kIdentifier,
  kExtended,
  kDlc,
  kCanDirection,
  kEdl,
  kBrs,
  kEsi,
  kData,
  kErrorType,
  kLinDirection,
  kByteCount,
  kChecksum,
  kChecksumModel,
};

struct FillEntry {
  const char* name;
  FillRule rule;
};

// The channel names of the bus-logging layouts and what each fills.
constexpr FillEntry kFillTable[] = {
    {"Timestamp", FillRule::kTime},
    {"CAN_DataFrame", FillRule::kNone},
    {"CAN_DataFrame.DataLength", FillRule::kNone},
    {"CAN_DataFrame.BusChannel", FillRule::kChannel},
    {"CAN_DataFrame.ID", FillRule::kIdentifier},
    {"CAN_DataFrame.IDE", FillRule::kExtended},
    {"CAN_DataFrame.DLC", FillRule::kDlc},
    {"CAN_DataFrame.Dir", FillRule::kCanDirection},
    {"CAN_DataFrame.DataBytes", FillRule::kData},
    {"CAN_DataFrame.EDL", FillRule::kEdl},
    {"CAN_DataFrame.BRS", FillRule::kBrs},
    {"CAN_DataFrame.ESI", FillRule::kEsi},
    {"CAN_ErrorFrame", FillRule::kNone},
    {"CAN_ErrorFrame.BusChannel", FillRule::kChannel},
    {"CAN_ErrorFrame.ErrorType", FillRule::kErrorType},
    {"CAN_RemoteFrame", FillRule::kNone},
    {"CAN_RemoteFrame.DataLength", FillRule::kNone},
    {"CAN_RemoteFrame.BusChannel", FillRule::kChannel},
    {"CAN_RemoteFrame.ID", FillRule::kIdentifier},
    {"CAN_RemoteFrame.IDE", FillRule::kExtended},
    {"CAN_RemoteFrame.DLC", FillRule::kDlc},
    {"CAN_RemoteFrame.Dir", FillRule::kCanDirection},
    {"LIN_ChecksumError", FillRule::kNone},
    {"LIN_ChecksumError.DataLength", FillRule::kNone},
    {"LIN_ChecksumError.BusChannel", FillRule::kChannel},
    {"LIN_ChecksumError.ID", FillRule::kIdentifier},
    {"LIN_ChecksumError.Dir", FillRule::kLinDirection},
    {"LIN_ChecksumError.ReceivedDataByteCount", FillRule::kByteCount},
    {"LIN_ChecksumError.Checksum", FillRule::kChecksum},
    {"LIN_ChecksumError.ChecksumModel", FillRule::kChecksumModel},
    {"LIN_ChecksumError.DataBytes", FillRule::kData},
    {"LIN_Frame", FillRule::kNone},
    {"LIN_Frame.DataLength", FillRule::kNone},
    {"LIN_Frame.BusChannel", FillRule::kChannel},
    {"LIN_Frame.ID", FillRule::kIdentifier},
    {"LIN_Frame.Dir", FillRule::kLinDirection},
    {"LIN_Frame.ReceivedDataByteCount", FillRule::kByteCount},
    {"LIN_Frame.DataBytes", FillRule::kData},
    {"LIN_ReceiveError", FillRule::kNone},
    {"LIN_ReceiveError.BusChannel", FillRule::kChannel},
    {"LIN_ReceiveError.ID", FillRule::kIdentifier},
    {"LIN_SyncError", FillRule::kNone},
    {"LIN_SyncError.BusChannel", FillRule::kChannel},
    {"LIN_TransmissionError", FillRule::kNone},
    {"LIN_TransmissionError.BusChannel", FillRule::kChannel},
    {"LIN_TransmissionError.ID", FillRule::kIdentifier},
};
static_assert(sizeof(kFillTable) / sizeof(kFillTable[0]) == 46, "46 known channel names");

struct GroupName {
  const char* name;
  cBusMsgType_t kind;
};
constexpr GroupName kGroupNames[] = {
    {"CAN_DataFrame", kBusMsgCanDataFrame},
    {"CAN_RemoteFrame", kBusMsgCanRemoteFrame},
    {"CAN_ErrorFrame", kBusMsgCanErrorFrame},
    {"LIN_Frame", kBusMsgLinFrame},
    {"LIN_ChecksumError", kBusMsgLinChecksumError},
    {"LIN_ReceiveError", kBusMsgLinReceiveError},
    {"LIN_TransmissionError", kBusMsgLinTransmissionError},
    {"LIN_SyncError", kBusMsgLinSyncError},
};

using FillMap = std::unordered_map<std::string_view, FillRule>;

FillMap buildFillTable() {
  FillMap table;
  for (const FillEntry& entry : kFillTable) table.emplace(entry.name, entry.rule);
  return table;
}

uint8_t asFlag(uint8_t value) { return value != 0 ? 1 : 0; }

void setDataBytes(cBusMsgHelper_t& record, const std::vector<uint8_t>& bytes) {
  cStr_t data{};
  const cStrView_t view{reinterpret_cast<const char*>(bytes.data()), static_cast<int64_t>(bytes.size())};
  if (!cStrInit(&data, view)) throw std::bad_alloc();
  cStrRelease(&record.DataBytes);
  record.DataBytes = data;
}

// Applies one observer's rule to the slice: sample i fills record i, up to the shorter one.
void applyRule(FillRule rule, const mdf::IChannelObserver& observer, cBusMsgHelper_t* slice, uint64_t count) {
  const uint64_t n = std::min(count, observer.NofHeldSamples());
  const auto each_u8 = [&](auto&& store) {
    for (uint64_t i = 0; i < n; ++i) {
      uint8_t value = 0;
      observer.ConvertedValue(i, value);  // validity flags are not consulted
      store(slice[i], value);
    }
  };
  switch (rule) {
    case FillRule::kNone:
      break;
    case FillRule::kTime:
      for (uint64_t i = 0; i < n; ++i) {
        double value = 0.0;
        observer.ConvertedValue(i, value);
        slice[i].Timestamp = value;
      }
      break;
    case FillRule::kChannel:
      each_u8([](cBusMsgHelper_t& r, uint8_t v) { r.BusChannel = v; });
      break;
    case FillRule::kIdentifier:
      for (uint64_t i = 0; i < n; ++i) {
        uint32_t value = 0;
        observer.ConvertedValue(i, value);
        slice[i].ID |= value;
      }
      break;
    case FillRule::kExtended:
      each_u8([](cBusMsgHelper_t& r, uint8_t v) {
        r.Flags.Can.IDE = asFlag(v);
        if (v != 0) r.ID |= kCanExtendedKeyBit;
      });
      break;
    case FillRule::kDlc:
      each_u8([](cBusMsgHelper_t& r, uint8_t v) { r.Flags.Can.DLC = v; });
      break;
    case FillRule::kCanDirection:
      each_u8([](cBusMsgHelper_t& r, uint8_t v) { r.Flags.Can.Dir = asFlag(v); });
      break;
    case FillRule::kEdl:
      each_u8([](cBusMsgHelper_t& r, uint8_t v) { r.Flags.Can.EDL = asFlag(v); });
      break;
    case FillRule::kBrs:
      each_u8([](cBusMsgHelper_t& r, uint8_t v) { r.Flags.Can.BRS = asFlag(v); });
      break;
    case FillRule::kEsi:
      each_u8([](cBusMsgHelper_t& r, uint8_t v) { r.Flags.Can.ESI = asFlag(v); });
      break;
    case FillRule::kData: {
      std::vector<uint8_t> bytes;
      for (uint64_t i = 0; i < n; ++i) {
        observer.GetByteArray(i, bytes);  // empty unless a byte-array type; the flag is ignored
        setDataBytes(slice[i], bytes);
      }
      break;
    }
    case FillRule::kErrorType:
      each_u8([](cBusMsgHelper_t& r, uint8_t v) {
        r.Flags.Error.ErrorType = v <= kCanErrorMaxValue ? static_cast<cCanErrorMsgType_t>(v) : kCanErrorOther;
      });
      break;
    case FillRule::kLinDirection:
      each_u8([](cBusMsgHelper_t& r, uint8_t v) { r.Flags.Lin.Dir = asFlag(v); });
      break;
    case FillRule::kByteCount:
      each_u8([](cBusMsgHelper_t& r, uint8_t v) { r.Flags.Lin.ReceivedDataByteCount = v; });
      break;
    case FillRule::kChecksum:
      each_u8([](cBusMsgHelper_t& r, uint8_t v) { r.Flags.Lin.Checksum = v; });
      break;
    case FillRule::kChecksumModel:
      each_u8([](cBusMsgHelper_t& r, uint8_t v) { r.Flags.Lin.ChecksumModel = v; });
      break;
  }
}

void resizeData(cBusMsgHelper_t& record, uint32_t length) {
  if (cStrResize(&record.DataBytes, length, '\0') == nullptr) throw std::bad_alloc();
}

// Absolute time, kind and the kind's data length. Returns false for a time that is no
// number (it is then taken as the file start).
bool finishRecord(cBusMsgHelper_t& record, cBusMsgType_t kind, double start) {
  const bool usable = std::isfinite(record.Timestamp);
  record.Timestamp = (usable ? record.Timestamp : 0.0) + start;
  record.MsgType = kind;
  switch (kind) {
    case kBusMsgCanRemoteFrame:
      record.Flags.Can.RTR = 1;
      [[fallthrough]];
    case kBusMsgCanDataFrame:
      resizeData(record, canDlcToLength(record.Flags.Can.DLC));
      break;
    case kBusMsgLinFrame:
    case kBusMsgLinChecksumError:
      resizeData(record, record.Flags.Lin.ReceivedDataByteCount);
      break;
    default:
      cStrRelease(&record.DataBytes);
      break;
  }
  return usable;
}

// Merges the slice [begin, end) into the records before it, walking both once from the
// front: the earlier record first among equal times, and neither part is sorted, so a group
// whose own samples are out of order keeps that order.
void mergeSlice(std::vector<cBusMsgHelper_t>& records, size_t begin, size_t end,
                std::vector<cBusMsgHelper_t>& earlier) {
  if (begin == 0 || begin == end) return;
  earlier.assign(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(begin));
  size_t a = 0;
  size_t b = begin;
  size_t out = 0;
  // `out` never passes `b`: every slot written was either read already or is the next one.
  while (a < earlier.size() && b < end) {
    if (records[b].Timestamp < earlier[a].Timestamp) {
      records[out++] = records[b++];
    } else {
      records[out++] = earlier[a++];
    }
  }
  while (a < earlier.size()) records[out++] = earlier[a++];
}

bool isSortedByTime(const cBusMsgHelper_t* first, const cBusMsgHelper_t* last) {
  return std::is_sorted(first, last,
                        [](const cBusMsgHelper_t& a, const cBusMsgHelper_t& b) { return a.Timestamp < b.Timestamp; });
}

// Merging slice after slice copies everything merged so far once per group. When every
// slice is in time order (as a logger writes them), that result is the one merge of all
// slices at once with ties to the earlier slice: its order is found by index and applied in
// place, moving each record once (bench_pipeline).
void mergeSortedSlices(std::vector<cBusMsgHelper_t>& records, const std::vector<size_t>& bounds) {
  const size_t slices = bounds.size() - 1;
  if (slices < 2) return;
  const size_t total = bounds.back();
  std::vector<size_t> heads(bounds.begin(), bounds.end() - 1);
  std::vector<size_t> order(total);
  for (size_t out = 0; out < total; ++out) {
    size_t best = slices;
    for (size_t slice = 0; slice < slices; ++slice) {
      if (heads[slice] < bounds[slice + 1] &&
          (best == slices || records[heads[slice]].Timestamp < records[heads[best]].Timestamp)) {
        best = slice;
      }
    }
    order[out] = heads[best]++;
  }
  // Position i takes the record at order[i]; each cycle of the permutation is walked once.
  for (size_t start = 0; start < total; ++start) {
    if (order[start] == start) continue;
    const cBusMsgHelper_t first = records[start];
    size_t at = start;
    while (order[at] != start) {
      const size_t from = order[at];
      records[at] = records[from];
      order[at] = at;
      at = from;
    }
    records[at] = first;
    order[at] = at;
  }
}

// Owns the records until they are handed to the iterator.
struct RecordArray {
  std::vector<cBusMsgHelper_t> records;
  ~RecordArray() {
    for (cBusMsgHelper_t& record : records) cStrRelease(&record.DataBytes);
  }
};

}  // namespace

cBusMsgType_t cMdfReader_t::getGroupType(const mdf::IChannelGroup* group) {
  if (group == nullptr) return kBusMsgUnknown;
  std::set<std::string> prefixes;
  for (const mdf::IChannel* channel : group->Channels()) {
    if (channel == nullptr || channel->ChannelType() == mdf::kMasterChannel) continue;
    const std::string name = channel->Name();
    const size_t point = name.find('.');
    if (point != std::string::npos) prefixes.insert(name.substr(0, point));
  }
  if (prefixes.size() != 1) return kBusMsgUnknown;
  for (const GroupName& known : kGroupNames) {
    if (*prefixes.begin() == known.name) return known.kind;
  }
  return kBusMsgUnknown;
}

cMdfReaderIterator_t* cMdfReader_t::getIterator() const {
  const mdf::IHeader* header = reader_->FileHeader();
  if (header == nullptr) throw std::runtime_error("Unexpected NULL ptr");
  const double start = static_cast<double>(header->StartTime()) * kSecondsPerNs;
  const FillMap table = buildFillTable();
  RecordArray array;
  std::vector<cBusMsgHelper_t>& records = array.records;
  uint64_t default_records = 0;  // samples of groups of other content

  std::vector<size_t> bounds = {0};  // the slices of the array, one per bus-event group
  bool slices_sorted = true;

  // One data group at a time: its observers are released before the next one is read.
  for (mdf::IDataGroup* data_group : header->DataGroups()) {
    if (data_group == nullptr) continue;
    mdf::ChannelObserverList observers;
    mdf::CreateObserversForDataGroup(*data_group, observers);
    reader_->ReadData(*data_group);  // damage is logged by the library; the counts below tell what was read

    struct Slice {
      const mdf::IChannelGroup* group;
      cBusMsgType_t kind;
      uint64_t count;
    };
    std::vector<Slice> slices;
    uint64_t filled = 0;
    for (const mdf::IChannelGroup* group : data_group->ChannelGroups()) {
      if (group == nullptr || (group->Flags() & kCgFlagVlsd) != 0 || group->NofSamples() == 0) continue;
      // Only records really read become events: a torn or missing record is no frame.
      const uint64_t declared = group->NofSamples();
      const uint64_t count = std::min(declared, group->SampleCounter());
      if (count < declared) {
        logMessage(kLogWarning, "Channel group %s: %llu of %llu records read", group->Name().c_str(),
                   static_cast<unsigned long long>(count), static_cast<unsigned long long>(declared));
      }
      const cBusMsgType_t kind = getGroupType(group);
      if (kind == kBusMsgUnknown) {
        default_records += count;
      } else if (count > 0) {
        slices.push_back({group, kind, count});
        filled += count;
      }
    }
    size_t begin = records.size();
    records.resize(begin + filled, cBusMsgHelper_t{});
    for (const Slice& slice : slices) {
      cBusMsgHelper_t* first = records.data() + begin;
      for (const mdf::ChannelObserverPtr& observer : observers) {
        if (!observer || observer->Channel().ChannelGroup() != slice.group) continue;
        const std::string name = observer->ChannelName();
        const auto found = table.find(name);
        if (found == table.end()) {
          logMessage(kLogWarning, "Unmapped key: %s", name.c_str());
          continue;
        }
        applyRule(found->second, *observer, first, slice.count);
      }
      uint64_t bad_times = 0;
      for (uint64_t i = 0; i < slice.count; ++i) {
        if (!finishRecord(first[i], slice.kind, start)) ++bad_times;
      }
      if (bad_times > 0) {
        logMessage(kLogWarning, "Channel group %s: %llu records without a valid time, taken as the file start",
                   slice.group->Name().c_str(), static_cast<unsigned long long>(bad_times));
      }
      slices_sorted = slices_sorted && isSortedByTime(first, first + slice.count);
      begin += slice.count;
      bounds.push_back(begin);
    }
  }
  if (slices_sorted) {
    mergeSortedSlices(records, bounds);
  } else {
    std::vector<cBusMsgHelper_t> earlier;
    for (size_t slice = 1; slice + 1 < bounds.size(); ++slice)
      mergeSlice(records, bounds[slice], bounds[slice + 1], earlier);
  }
  records.resize(records.size() + default_records, cBusMsgHelper_t{});

  auto* iterator = new cMdfReaderIterator_t;
  iterator->records = std::move(records);
  return iterator;
}

cMdfReaderIterator_t* mdfReaderGetIterator(cMdfReader_t* reader) {
  if (reader == nullptr) return nullptr;
  try {
    return reader->getIterator();
  } catch (const std::exception&) {
    return nullptr;
  }
}

cBusMsgHelper_t* mdfReaderIteratorNext(cMdfReaderIterator_t* iterator) {
  if (iterator == nullptr || iterator->cursor >= iterator->records.size()) return nullptr;
  return &iterator->records[iterator->cursor++];
}

void mdfReaderIteratorFree(cMdfReaderIterator_t* iterator) {
  if (iterator == nullptr) return;
  for (cBusMsgHelper_t& record : iterator->records) cStrRelease(&record.DataBytes);
  delete iterator;
}
