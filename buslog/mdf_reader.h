#pragma once
// The logger-file reader: opens the unwrapped stream of one logger recording through the MDF
// library, accepts only the logger's own files, and gives the file information, the metadata
// the bus-log writer carries into the output, and the time-ordered bus events.
//
// The flat functions never let an exception escape: they return null, false or nothing.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "buslog/busmsg.h"
#include "buslog/io_wrapper.h"
#include "platform/stream.h"

namespace mdf {
class IChannelGroup;
class MdfReader;
class MemoryAccount;
}  // namespace mdf

/// File-level metadata carried from an input to its output. Texts are empty and the time 0
/// by default. Whoever holds one releases it with mdfMetadataFree unless it hands it to
/// mdfWriterOpen, which takes it over.
struct cMdfMetadata_t {
  std::string HeaderComment;       // the header comment's whole XML text
  std::string CanSourceComment;    // XML text
  std::string LinSourceComment;    // XML text
  std::string FileHistoryComment;  // the file-history entry's whole XML text
  uint64_t FileHistoryTime = 0;    // ns since 1970
  std::string FileHistoryText;     // its "TX" element
  std::string ToolId;
  std::string ToolVendor;
  std::string ToolVersion;
};

void mdfMetadataFree(cMdfMetadata_t* metadata);

/// The events of one file in time order, with a cursor at the next one. Opaque: the events
/// are held compactly and the record under the cursor is made when it is asked for.
struct cMdfReaderIterator_t;

/// The source type and bus types of the bus sources that the logger's groups carry.
constexpr uint8_t kSourceTypeBus = 2;
constexpr uint8_t kBusTypeMdfCan = 2;
constexpr uint8_t kBusTypeMdfLin = 3;

class cMdfReader_t {
 public:
  /// Opens the file through the wrapper; its reads hold their memory in `memory` (not owned),
  /// or in an account of the library reader's own. Throws std::runtime_error "Unable to read
  /// file" when the library cannot identify or read it, "Unsupported file" when it is not the
  /// logger's (program id "QX", version 4.11 or 4.20, exactly one file-history entry with
  /// tool id "QX" and an empty tool vendor), and std::bad_alloc instead when memory ran short
  /// while the library read it (the file is then not known to be another's). `name` is what the
  /// library's messages call the file.
  explicit cMdfReader_t(std::shared_ptr<cIO_wrapper> input, std::string name = {},
                        mdf::MemoryAccount* memory = nullptr);
  ~cMdfReader_t();
  cMdfReader_t(const cMdfReader_t&) = delete;
  cMdfReader_t& operator=(const cMdfReader_t&) = delete;

  /// The header's start time record as it is (ns, offsets, flags) and the header comment's
  /// "serial number", "session" and "split", taken only from inside its top-level trees.
  /// Nothing without an info record or a header; stops without a header comment.
  void getFileInfo(cFileInfo_t* info) const;
  /// A new record, or throws: std::runtime_error "Unexpected NULL ptr" without header,
  /// header comment, file-history entry or its comment; "Different metadata" when two bus
  /// sources of one bus type have different comments.
  [[nodiscard]] cMdfMetadata_t* getMetadata() const;
  /// How getIterator reads a data group's records.
  enum class Decoding {
    kFastest,    // straight from the records wherever the group's layout allows it
    kObservers,  // always through one channel observer per channel (the reference)
  };
  /// Every CAN and LIN event of the file in time order; throws on a failure of the library
  /// or of memory. Both decodings give the same events and the same log lines.
  [[nodiscard]] cMdfReaderIterator_t* getIterator(Decoding decoding = Decoding::kFastest) const;

  /// The first damage met while reading this file, as it was logged: what the library met
  /// in its blocks and records, or a channel group whose records getIterator (either
  /// decoding) can make no events of, as they would be lost. Null when none.
  [[nodiscard]] const char* firstDamage() const;
  /// True when that first damage is memory that ran short while the library read the file,
  /// or while getIterator held its events, not damage in the file.
  [[nodiscard]] bool outOfMemory() const;
  /// Notes that getIterator failed for memory: the first damage unless one came before.
  void noteOutOfMemory() const;

  /// The kind of events a channel group holds, told by the one prefix (text before the
  /// first '.') of its non-master channel names; kBusMsgUnknown when there is no such
  /// single prefix naming a kind, or for a missing group.
  static cBusMsgType_t getGroupType(const mdf::IChannelGroup* group);

 private:
  std::unique_ptr<mdf::MdfReader> reader_;
  mutable std::string iterator_damage_;  // set only when it came before the library's first
  mutable bool iterator_out_of_memory_ = false;
};

/// A reader on the stream (not owned: it stays open after mdfReaderClose), or null when the
/// file cannot be opened or is not the logger's, or memory ran short (then `out_of_memory`,
/// when given, is set). `name` is what the library's messages about the file call it, such as
/// its path; without one they name none. The reads hold their memory in `memory` (not owned;
/// it outlives the reader), or in an account of the reader's own.
cMdfReader_t* mdfReaderOpen(cStream_t* stream, cStrView_t name = {}, mdf::MemoryAccount* memory = nullptr,
                            bool* out_of_memory = nullptr);
void mdfReaderClose(cMdfReader_t* reader);
/// Fills what it can; a failure leaves the fields filled so far.
void mdfReaderGetFileInfo(cMdfReader_t* reader, cFileInfo_t* info);
/// A new metadata record or null.
cMdfMetadata_t* mdfReaderGetMetadata(cMdfReader_t* reader);
/// The first damage met in the file so far, or null when none (and for a missing reader).
/// The text stays valid until the reader reads on or is closed. A file with damage holds
/// more than its events: a caller that copies them must not take the copy for the whole.
const char* mdfReaderFirstDamage(const cMdfReader_t* reader);
/// True when what mdfReaderFirstDamage gives is memory that ran short, not damage: the file
/// holds more than was read, but is not known to be damaged.
bool mdfReaderOutOfMemory(const cMdfReader_t* reader);

/// The iterator over the file's events, or null; null for memory that ran short is noted as
/// the reader's first damage unless one came before (mdfReaderOutOfMemory).
cMdfReaderIterator_t* mdfReaderGetIterator(cMdfReader_t* reader);
/// The record under the cursor, then the cursor advances; null at the end. The record stays
/// the iterator's and the stages may change it in place (its data bytes too: the iterator
/// releases whatever the record holds). It is valid until the next call of
/// mdfReaderIteratorNext or mdfReaderIteratorFree, which reuse its storage for the next
/// record: a caller that needs a record longer copies it. The events passed are released as
/// the cursor moves on. Null also when memory for the record's data is short, which can
/// happen only after a stage gave the record data bytes of its own.
cBusMsgHelper_t* mdfReaderIteratorNext(cMdfReaderIterator_t* iterator);
/// The data groups the iterator decoded straight from their records; the others went through
/// the channel observers (for tests and diagnostics).
uint64_t mdfReaderIteratorFastGroups(const cMdfReaderIterator_t* iterator);
/// Releases the record last handed out, every event held and the iterator; null is ignored.
void mdfReaderIteratorFree(cMdfReaderIterator_t* iterator);
