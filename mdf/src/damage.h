#pragma once
// What the library does when it meets damage in a file: one row per kind of damage, for
// every path that can meet it. A reader or counter never decides this on its own: it
// reports the damage here (ReportDamage), which looks its row up, logs it and notes it for
// the file being read, so the same bytes give the same outcome wherever they are read.
//
// Every kind of damage marks the file as damaged, on every path, with one exception: what
// the finalization of an unfinalized recording repairs (its flags, the cycle counts, the
// lengths of the DTs still growing and a torn last record) is the normal end of a recording whose logger
// lost power, so a truncated record met while counting is no damage when it is such an end
// (see below); every other truncated record is left for the read, which finds it as
// damage. A reader keeps, per file, whether its reads met damage and the first damage as its
// log text (MdfReader::IsDamaged, MdfReader::FirstDamage): a tool that copies what it could
// read must know it did not get all.
//
// Record framing (the record stream of a data group, whatever blocks hold it):
//
// | damage                 | reading records (ReadData) | counting records (finalization)     | what stays      |
// |------------------------|----------------------------|-------------------------------------|-----------------|
// | unknown record id      | error, the read ends       | debug, counting ends, step succeeds | records before  |
// | truncated record       | error, the read ends       | debug, counting ends, step succeeds | whole records   |
// |                        |                            | (no damage: the torn tail is cut)   | before it       |
// | unreadable data block  | error, the read ends       | error, counting ends, step fails    | records before  |
// | empty record           | error, nothing is read     | error, nothing counted, step fails  | stored counts   |
// | invalid record id size | error, nothing is read     | error, nothing counted, step fails  | stored counts   |
// | missing record ids     | error, nothing is read     | error, nothing counted, step fails  | stored counts   |
// | records not the count  | error, after the read      | (counts are what counting found)    | every record    |
// | oversized record       | (the counts meet it)       | error, counting ends, step succeeds | records before  |
// | padded end             | (the counts meet it)       | error, counting ends, step succeeds | records before  |
// | entry outside its SD   | error, the read goes on    | (signal data are not read)          | every other     |
// |                        |                            |                                     | value           |
//
// An unknown record id is an id that no channel group of a multi-group data group carries:
// nothing after it can be framed. A data group whose chain of channel groups was cut by
// damage frames its records by their ids even when one group is left, so that no record is
// decoded with another group's layout. A truncated record is the torn end of the data: the
// record id, the VLSD length or the payload of the last record runs past the last byte the
// data blocks hold in the file (a block that claims more than the file holds ends at the
// end of the file, a zipped block whose compressed bytes are not in the file ends before
// it). For counting that is the normal end of an unfinalized recording, as long as it is
// what a power loss leaves: the last record, begun in any block and cut short, of a size its
// group's layout can have. Then the torn record is no sample: the blocks are cut to the whole
// records, so a read finds the same end. A fixed-length record longer than its group's
// channels lay out (Cg4Block::RecordSizeFitsChannels) is no torn record but a size that
// lies: it stays, and the read finds it; a whole record of such a size is damage too
// (oversized record), and counting ends before it. What a torn VLSD payload may claim is not
// the library's to judge (it knows no frames): the counting reports the claimed length with
// the last whole record (IDataGroup::FinalizedEnd), and the reader of the records judges it.
// Zeros after the last byte other than zero may be padding (a file system that grew the
// file before the data reached it): zeros that frame as no whole record are cut (an unknown
// record id or a truncated record), but a record that ends inside them may be a torn one
// that they complete, which the bytes cannot tell from a whole one ending in zeros: unless
// it ends where the data do, and the file there does not end on a multiple of 512 bytes
// (where a file system's padding may end), it is left out with everything after it (padded
// end). A block
// header begun at the end of the file (BlockHeaderAtEnd: cut, or padded) is the block the
// logger began when the power was lost: a list's link to it is passed over, and the last DT
// block before it is not stretched over its bytes; it is the torn end of a recording
// finalized when read, and an unreadable block in any other file. So are the blocks a logger
// appends behind its records when it loses power (BlocksBegunBehind: a comment, an event, a
// list that lists nothing yet). A DT block ends where the next block begins: a whole one
// before a header behind the zeros that align it or before a block read (a list written
// behind it), and one whose length its logger had not written yet (24) before the next block
// of the file, in any data group (the next group's DT, say), or before the blocks begun at the
// end of the file; a header cut within its id ("#", "##D") may be record bytes, so a record
// whole only with them is left out as a padded end. The records of a data group that a later
// block closes (one they cannot go on into: not a block of their own list) were whole before
// it was begun: they end in whole records and at most the zeros that align that block, and a
// record the end of such a stream cuts is damage the read finds, not a torn end. Zeros where a record id belongs (a
// block whose data were never written) end the counting as an unknown record id, and the record before them is left out
// too when it ends in a zero: they may have completed it. For reading a truncated record is a file that claims more
// than it holds. Data blocks that claim more bytes than the file holds end as a truncated record too, also when the
// last whole record ends where the file does. An unreadable data block is one whose bytes cannot be had (a zipped block
// that does not inflate, signal data that cannot be loaded). Memory that runs short, also where the file's memory
// account has no more to give (mdf/memoryaccount.h), is no damage (ReportOutOfMemory). An empty record (no record id
// and no bytes) would never advance the stream, and a record id size other than 0, 1, 2, 4 or 8 cannot be read, and
// neither can the records of several channel groups without a record id (missing record ids), which nothing tells
// apart: none of these layouts can be framed at all. An entry outside its signal data is a record's offset into the
// loaded signal data of a VLSD channel whose entry (its length, or the bytes the length claims) does not lie within
// them: the value is none, and the first such entry of each load is reported. Counting sets the channel groups' counts
// to what it counted, as long as it could begin, in every data group that has data. A read that framed the whole stream
// (no damage, no observer stopped it) compares the records of each channel group with its cycle count, in both
// directions: reads come after finalization, so counts it did not repair (where the flags say the counts are final, or
// a group without data) are damage too when they do not match, as records beyond a count are read for no one.
//
// Damage in the blocks and the links between them is met while the block tree is read,
// which every path does the same way (a finalization reads the tree as a read does):
//
// | damage              | reading the block tree                        | what stays                        |
// |---------------------|-----------------------------------------------|-----------------------------------|
// | wrong block kind    | error, the chain or nested read ends there    | every block before it             |
// | cyclic link         | error, the chain or nested read ends there    | every block before it             |
// | nested too deep     | error, the nested read is left out            | every block above it              |
// | too many blocks     | error, the nested read is left out            | every block read within the bound |
// | link outside file   | error, the link is not followed               | every other block                 |
// | block named twice   | error, the repeat is left out                 | every block, once                 |
// | required link NIL   | error, the read goes on                       | every block                       |
// | unreadable block    | error, the whole read ends (a field: goes on) | every block read before it        |
// | unreadable text     | error, the read goes on                       | the part of the text read before  |
// | data after blocks   | error, the read goes on                       | every block                       |
// | failed finalization | error, finalization fails, the read goes on   | every block, and what it repaired |
//
// A wrong block kind is a link that lands on a block of another id than its chain or nesting
// reads (a channel link on a text block), also a VLSD channel whose data link leads to no
// signal data. A cyclic link leads back to a block of the chain or of the tree being read;
// a channel group that two data groups link is read for the first only. The depth and count
// bounds of each kind of nesting stand in readguard.h. A link outside the file is a negative
// one (a link beyond the end fails the read of the block it leads to). A block named twice is
// a data block that the lists below one data group, channel or reduction name more than once:
// its bytes are read once, as a file holds them once. A required link NIL
// is a fixed link that the block's layout (blocklayout.h) says may not be 0 where it is, as
// a channel's name, or a VLSD channel's data: what it leads to is not in the tree, and what
// the file holds of it (records, values) cannot be read. An unreadable block
// is one whose bytes end or fail before its fields do, or one shorter than its type lays
// out (fewer links than the type has, or a length that cannot hold them and the type's fixed
// fields: blocklayout.h), whose fields lie where its links or the next block are; a field
// that cannot be read as it stands (a text block with links, a length that runs past the end
// of the file in a block other than a data block, a channel of a channel, sync or data type
// the format does not have, a conversion of no known type, a channel whose bits lie outside
// its record or whose bit count its data type cannot have, more list offsets than the block
// holds) is reported and the read goes on with what the block has; such a channel gives no
// value. None but an unreadable block fails the read: the file is read with the blocks
// before the damage, as a reader of a damaged file expects. An unreadable text is a TX or
// MD block whose text is not valid UTF-8, or an MD block whose XML is not well-formed or
// nests deeper than the XML parser's bound (mdf/textrule.h): the block keeps the part of it
// that could be read, so that nothing read or copied from it carries on what cannot be
// read. Data after the blocks are
// bytes other than zeros behind the end of every block the read met (once the finalization
// has set the last DT block's length): records that no data block claims, such as those of
// a recording whose identification or flags say its last DT block is whole when it is not.
// A failed finalization is any step of it that fails (a last data block it cannot repair, a
// flag it cannot act on): each is reported here, so no failure it logs leaves the file
// undamaged.
#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "mdf/mdflogstream.h"

namespace mdf {
struct FileDamage;
}

namespace mdf::detail {

enum class Damage : uint8_t {
  kUnknownRecordId,
  kTruncatedRecord,
  kUnreadableData,
  kEmptyRecord,
  kInvalidRecordIdSize,
  kMissingRecordIds,
  kRecordCountMismatch,
  kOversizedRecord,
  kPaddedEnd,
  kEntryOutsideSignalData,
  kWrongBlockKind,
  kCyclicLink,
  kNestedTooDeep,
  kTooManyBlocks,
  kLinkOutsideFile,
  kBlockNamedTwice,
  kNilLink,
  kUnreadableBlock,
  kUnreadableText,
  kDataAfterBlocks,
  kFailedFinalization,
};

/// The paths that frame records.
enum class RecordPath : uint8_t { kReading, kCounting };

/// How one path treats one kind of damage.
struct DamageOutcome {
  MdfLogSeverity severity;
  bool fails;         ///< the step reports failure (a read always ends at damage in its records)
  bool keeps_data;    ///< what was framed before the damage stands (counts are set from it)
  bool damages_file;  ///< the file counts as damaged: it holds more than can be read
};

constexpr DamageOutcome OutcomeOf(Damage damage, RecordPath path) {
  const bool reading = path == RecordPath::kReading;
  switch (damage) {
    case Damage::kUnknownRecordId:
      return reading ? DamageOutcome{MdfLogSeverity::kError, true, true, true}
                     : DamageOutcome{MdfLogSeverity::kDebug, false, true, true};
    case Damage::kTruncatedRecord:
      // Counting: the torn end of an unfinalized recording, which finalization repairs.
      return reading ? DamageOutcome{MdfLogSeverity::kError, true, true, true}
                     : DamageOutcome{MdfLogSeverity::kDebug, false, true, false};
    case Damage::kUnreadableData:
      return {MdfLogSeverity::kError, true, true, true};
    case Damage::kEmptyRecord:
    case Damage::kInvalidRecordIdSize:
    case Damage::kMissingRecordIds:
      return {MdfLogSeverity::kError, true, false, true};
    case Damage::kRecordCountMismatch:
    case Damage::kOversizedRecord:
    case Damage::kPaddedEnd:
    case Damage::kEntryOutsideSignalData:
    case Damage::kWrongBlockKind:
    case Damage::kCyclicLink:
    case Damage::kNestedTooDeep:
    case Damage::kTooManyBlocks:
    case Damage::kLinkOutsideFile:
    case Damage::kBlockNamedTwice:
    case Damage::kNilLink:
    case Damage::kUnreadableText:
    case Damage::kDataAfterBlocks:
      return {MdfLogSeverity::kError, false, true, true};
    case Damage::kUnreadableBlock:
      return {MdfLogSeverity::kError, true, true, true};
    case Damage::kFailedFinalization:
      return {MdfLogSeverity::kError, true, true, true};
  }
  return {MdfLogSeverity::kError, true, false, true};
}

/// Damage in the blocks and links: the same on every path.
constexpr DamageOutcome OutcomeOf(Damage damage) { return OutcomeOf(damage, RecordPath::kReading); }

/// The message of the damage on the path. `record_id` is the id read when the damage was
/// found, `id_size` the data group's record id size and `cause` the error text of an
/// unreadable block.
std::string DamageText(Damage damage, RecordPath path, uint64_t record_id, uint8_t id_size,
                       const std::string& cause = {});

/// The one place that reports damage: logs the text at the location with the severity of
/// the damage on the path, and notes it for the file whose read is open on this thread
/// (DamageScope) when the damage marks the file.
void ReportDamage(const MdfLocation& location, Damage damage, RecordPath path, const std::string& text);

/// The one place that reports a read that memory ran short for (std::bad_alloc): no damage
/// of the file, but a read that did not get all of it. Logs "Out of memory while <what>" as
/// an error and notes it for the file whose read is open on this thread.
void ReportOutOfMemory(const MdfLocation& location, const std::string& what);

/// Notes for the file whose read is open on this thread that one of its blocks ends at
/// `end`, so that bytes behind every block can be told (Damage::kDataAfterBlocks).
void NoteBlockEnd(uint64_t end);
/// The furthest block end noted for the file whose read is open on this thread; 0 when no
/// read is open.
uint64_t BlocksEnd();
/// Notes for the file whose read is open on this thread that a block begins at `position`.
void NoteBlockStart(uint64_t position);
/// Where the blocks noted for the file whose read is open on this thread begin, sorted and
/// each once; empty when no read is open.
std::vector<int64_t> BlockStarts();
/// Notes for the file whose read is open on this thread that the end of the file cut the
/// header of a block begun at `position` (BlockHeaderBegunAt), which only the finalization
/// of an unfinalized recording may take for its torn end.
void NoteCutHeader(uint64_t position);
/// The position of the cut header noted for the file whose read is open on this thread;
/// false when none was.
bool CutHeaderNoted(uint64_t& position);

/// The damage met on this thread while it lives is noted in the file's record. Damage is
/// met deep inside block reads that know neither their file nor their reader, as a log
/// message reaches its callback; a reader opens a scope around each read it starts. Scopes
/// nest: the innermost one notes.
class DamageScope {
 public:
  explicit DamageScope(FileDamage& record);
  ~DamageScope();
  DamageScope(const DamageScope&) = delete;
  DamageScope& operator=(const DamageScope&) = delete;

 private:
  FileDamage* previous_;
};

/// A damage report streamed like a log message; it is reported when the statement ends.
class DamageReport : public std::ostringstream {
 public:
  DamageReport(MdfLocation location, Damage damage, RecordPath path = RecordPath::kReading)
      : location_(std::move(location)), damage_(damage), path_(path) {}
  ~DamageReport() override;
  DamageReport(const DamageReport&) = delete;
  DamageReport& operator=(const DamageReport&) = delete;

 private:
  MdfLocation location_;
  Damage damage_;
  RecordPath path_;
};

}  // namespace mdf::detail

/// Reports damage of the kind (and, for record framing, on the path) at the place of the call.
#define MDF_DAMAGE(...) ::mdf::detail::DamageReport(MdfLocation{__LINE__, 0, __FILE__, __func__}, __VA_ARGS__)
