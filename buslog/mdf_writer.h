#pragma once
// The bus-log writer: collects the records of one input by frame kind and, at the end of the
// file, writes them as a finalized MDF 4.11 bus-logging file: one data group per kind, each
// written by one measurement cycle of the library's MDF 4 writer, with the input's header
// comment, file-history entry, start time and bus source comments carried over.
//
// One writer serves a whole run: open per input file, addRecord per record, finalize once.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "buslog/busmsg.h"
#include "buslog/io_wrapper.h"
#include "buslog/mdf_reader.h"
#include "platform/memblock.h"
#include "platform/stream.h"

namespace mdf {
class IChannel;
class IChannelGroup;
class MdfWriter;
}  // namespace mdf

/// Data bytes of the fixed field of the classic CAN data group.
constexpr uint32_t kCanClassicDataBytes = 8;

/// The records of one output group, laid out as the file stores them, in chunks of which a
/// record never crosses one: the writer holds about the output's size, where lists of frames
/// and their bytes held twice it (bench_pipeline peak_MiB). Each chunk is mapped on its own,
/// so that writing gives the memory back to the system chunk by chunk.
class cRecordStore_t {
 public:
  static constexpr size_t kChunkBytes = kMemBlockShared;  // takes over what the iterator released
  cRecordStore_t() = default;
  cRecordStore_t(const cRecordStore_t&) = delete;
  cRecordStore_t& operator=(const cRecordStore_t&) = delete;
  /// Room for one entry of `size` bytes (at most kChunkBytes); throws std::bad_alloc.
  uint8_t* append(size_t size);
  [[nodiscard]] size_t size() const { return count_; }
  [[nodiscard]] bool empty() const { return count_ == 0; }
  void clear() {
    chunks_.clear();
    count_ = 0;
  }
  /// Calls take(entry) for every entry, oldest first, which returns the entry's size (a 0
  /// ends the chunk), and frees each chunk once it is taken; the store is empty afterwards.
  template <typename Take>
  void drain(Take&& take);

 private:
  struct Unmap {
    void operator()(uint8_t* bytes) const;
  };
  struct Chunk {
    std::unique_ptr<uint8_t[], Unmap> bytes;
    size_t used = 0;
  };
  std::vector<Chunk> chunks_;
  size_t count_ = 0;
};

template <typename Take>
void cRecordStore_t::drain(Take&& take) {
  for (Chunk& chunk : chunks_) {
    for (size_t offset = 0, size = 1; size > 0 && offset < chunk.used; offset += size) {
      size = take(chunk.bytes.get() + offset);
    }
    chunk.bytes.reset();
  }
  clear();
}

/// Each record is laid out as the output stores it when it arrives, so the writer holds about
/// the output's size; finalize hands the records to the cycles whole and gives the memory
/// back chunk by chunk as the output grows.
class cMdfWriter_t {
 public:
  cMdfWriter_t() = default;
  ~cMdfWriter_t();
  cMdfWriter_t(const cMdfWriter_t&) = delete;
  cMdfWriter_t& operator=(const cMdfWriter_t&) = delete;

  /// Attaches the writer to a new output: empties the lists first, then takes the output,
  /// a deep copy of the file information and the metadata (owned from now on, also when
  /// null). False without an output or when the copy fails.
  bool open(std::shared_ptr<cIO_wrapper> output, const cFileInfo_t* info, cMdfMetadata_t* metadata);
  /// Keeps the record laid out as its group stores it; unknown kinds are ignored. A record
  /// that cannot be kept for want of memory makes the next finalize fail.
  void addRecord(const cBusMsgHelper_t* record);
  /// Writes the collected records and empties the lists. False without an output, when a
  /// block cannot be created, when a cycle's file was not completely written, or when the
  /// metadata was missing (the frames are then written all the same). Nothing is written,
  /// and true returned, when there is no record at all. The output is flushed and dropped.
  bool finalize();

  /// A new data group with one channel group of the name under the next record id, its
  /// bus source and its "Timestamp" master; null when a block cannot be created.
  static mdf::IChannelGroup* addGroup(mdf::MdfWriter& writer, uint64_t& record_id, const char* name, uint8_t bus_type,
                                      const cMdfMetadata_t* metadata);
  /// The frame channel named like the group, behind the group's other channels.
  static mdf::IChannel* addFrameChannel(mdf::IChannelGroup* group);
  /// A member "<group>.<field>" composed into the frame channel behind its other members.
  static mdf::IChannel* addChannel(mdf::IChannel* frame, const char* field, uint32_t bytes, uint8_t data_type,
                                   uint8_t channel_type);

  // The output groups by kind of record.
  enum List : int {
    kCanData,
    kCanFdData,
    kCanRemote,
    kCanError,
    kLinChecksumError,
    kLinFrame,
    kListCount,
  };
  enum EventList : int {
    kLinReceiveError,
    kLinSyncError,
    kLinTransmissionError,
    kEventListCount,
  };
  [[nodiscard]] size_t count(List list) const { return frames_[list].size(); }
  [[nodiscard]] size_t count(EventList list) const { return events_[list].size(); }

  /// Room for the record of any group.
  static constexpr size_t kMaxRecordBytes = 32;
  /// Lays out the record as its group's record in the file (time field `time_us`, a CAN FD
  /// payload's offset 0) into `out` and returns its size; 0 for a record no group takes (an
  /// unknown kind, a CAN frame with more than 64 data bytes).
  static size_t layOut(const cBusMsgHelper_t& record, uint64_t time_us, uint8_t* out);
  [[nodiscard]] uint64_t dropped() const { return dropped_; }

 private:
  void clearLists();
  void clearStores();
  void keepRecord(const cBusMsgHelper_t& record);
  bool writeFile();
  bool writeGroup(mdf::MdfWriter& writer, uint64_t& record_id, cRecordStore_t& store, int group);
  /// The time field of a record: microseconds since the start.
  [[nodiscard]] uint64_t timeField(int64_t timestamp, bool& bad) const;

  cFileInfo_t info_{};
  std::unique_ptr<cMdfMetadata_t> metadata_;
  std::shared_ptr<cIO_wrapper> output_;
  cRecordStore_t frames_[kListCount];
  cRecordStore_t events_[kEventListCount];
  uint64_t dropped_ = 0;    // CAN records with too many data bytes
  uint64_t start_ns_ = 0;   // the output's start time: the input's
  uint64_t bad_times_ = 0;  // records written whose time is not a usable number
  uint64_t lost_ = 0;       // records that could not be kept (memory)
  // Records kept with a bad time, by group; they count once their group is written.
  uint64_t pending_bad_times_[kListCount + kEventListCount] = {};
  // What the kept CAN FD payloads take in signal data.
  uint64_t signal_data_bytes_ = 0;
};

/// An empty writer, or null when memory is short.
cMdfWriter_t* mdfWriterNew();
/// Releases the writer and everything it holds; null is ignored.
void mdfWriterFree(cMdfWriter_t* writer);
/// Opens the writer on the output stream (not owned). Takes over the metadata in every case
/// (it is released when the open fails). False on failure.
bool mdfWriterOpen(cMdfWriter_t* writer, cStream_t* output, const cFileInfo_t* info, cMdfMetadata_t* metadata);
/// Does nothing when either is null.
void mdfWriterAddRecord(cMdfWriter_t* writer, const cBusMsgHelper_t* record);
/// False for a null writer, a failed finalize or an exception.
bool mdfWriterFinalize(cMdfWriter_t* writer);
/// The CAN frames with more than 64 data bytes that the output opened last could not hold
/// (logged as an error at finalize); 0 for a null writer. A file that lost frames has failed.
uint64_t mdfWriterDropped(const cMdfWriter_t* writer);
