#pragma once
// The bus-log writer: collects the records of one input by frame kind and, at the end of the
// file, writes them as a finalized MDF 4.11 bus-logging file: one data group per kind, each
// written by one measurement cycle of the library's MDF 4 writer, with the input's header
// comment, file-history entry, start time and bus source comments carried over.
//
// One writer serves a whole run: open per input file, addRecord per record, finalize once.
#include <cstdint>
#include <memory>
#include <vector>

#include "buslog/busmsg.h"
#include "buslog/io_wrapper.h"
#include "buslog/mdf_reader.h"
#include "platform/stream.h"

namespace mdf {
class IChannel;
class IChannelGroup;
class MdfWriter;
}  // namespace mdf

/// Data bytes a CAN data frame can carry; longer records are dropped (and counted).
constexpr uint32_t kCanMaxDataBytes = 64;
/// Data bytes of the fixed field of the classic CAN data group.
constexpr uint32_t kCanClassicDataBytes = 8;

/// A list that appends without moving what it holds: the records of a large input are kept
/// in chunks, where a growing vector would copy them all at every doubling (bench_pipeline).
template <typename T>
class cChunkList_t {
 public:
  static constexpr size_t kChunkItems = 16384;
  void push_back(const T& item) {
    if (size_ % kChunkItems == 0) chunks_.emplace_back(new T[kChunkItems]);
    chunks_.back()[size_ % kChunkItems] = item;
    ++size_;
  }
  [[nodiscard]] size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  const T& operator[](size_t index) const { return chunks_[index / kChunkItems][index % kChunkItems]; }
  void clear() {
    chunks_.clear();
    size_ = 0;
  }

 private:
  std::vector<std::unique_ptr<T[]>> chunks_;
  size_t size_ = 0;
};

/// Data bytes of kept records, appended in chunks; one record's bytes never cross a chunk.
class cBytePool_t {
 public:
  static constexpr uint64_t kChunkBytes = 1 << 20;
  /// Stores the bytes (at most kChunkBytes) and returns where they are.
  uint64_t append(const uint8_t* bytes, uint64_t length);
  [[nodiscard]] const uint8_t* at(uint64_t offset) const {
    return chunks_[offset / kChunkBytes].get() + offset % kChunkBytes;
  }
  void clear() {
    chunks_.clear();
    end_ = 0;
  }

 private:
  std::vector<std::unique_ptr<uint8_t[]>> chunks_;
  uint64_t end_ = 0;
};

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
  /// Keeps a copy of the record in the list of its kind; unknown kinds are ignored. A record
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

  // What the lists keep of a record (exposed for the tests' inspection of the counts).
  struct Frame {  // CAN data, CAN FD, remote, error, LIN frame and checksum error
    double time;
    uint32_t id;
    uint8_t channel;
    cBusMsgFlags_t flags;
    uint64_t data;  // offset of the data bytes in the writer's byte pool
    uint8_t length;
  };
  struct Event {  // LIN receive, sync and transmission errors
    double time;
    uint32_t id;
    uint8_t channel;
  };
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
  [[nodiscard]] uint64_t dropped() const { return dropped_; }

 private:
  void clearLists();
  void keepRecord(const cBusMsgHelper_t& record);
  bool writeFile();
  bool writeFrames(mdf::MdfWriter& writer, uint64_t& record_id, List list);
  bool writeEvents(mdf::MdfWriter& writer, uint64_t& record_id, EventList list);
  [[nodiscard]] uint64_t sampleTime(double timestamp);

  cFileInfo_t info_{};
  std::unique_ptr<cMdfMetadata_t> metadata_;
  std::shared_ptr<cIO_wrapper> output_;
  cChunkList_t<Frame> frames_[kListCount];
  cChunkList_t<Event> events_[kEventListCount];
  cBytePool_t bytes_;       // the data bytes of the kept frames
  uint64_t dropped_ = 0;    // CAN records with too many data bytes
  uint64_t start_ns_ = 0;   // the output's start time during finalize
  uint64_t bad_times_ = 0;  // records whose time is not a usable number
  uint64_t lost_ = 0;       // records that could not be kept (memory)
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
