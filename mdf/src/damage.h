#pragma once
// What the library does when it meets damage in a file: one row per kind of damage, for
// every path that can meet it. A reader or counter never decides this on its own: it looks
// its row up here, so the same bytes give the same outcome wherever they are read.
//
// Record framing (the record stream of a data group, whatever blocks hold it):
//
// | damage                | reading records (ReadData)  | counting records (finalization)          | what stays |
// |-----------------------|-----------------------------|------------------------------------------|--------------------------------|
// | unknown record id     | error, the read ends        | debug, counting ends, the step succeeds  | every record
// before it         | | truncated record      | error, the read ends        | debug, counting ends, the step succeeds
// | every whole record before it   | | unreadable data block | error, the read ends        | error, counting ends, the
// step fails     | every record before it         | | empty record          | error, nothing is read      | error,
// nothing is counted, the step fails | the stored counts              | | invalid record id size| error, nothing is
// read      | error, nothing is counted, the step fails | the stored counts              |
//
// An unknown record id is an id that no channel group of a multi-group data group carries:
// nothing after it can be framed. A truncated record is the torn end of the data: the
// record id, the VLSD length or the payload of the last record runs past the last byte the
// data blocks hold in the file (a block that claims more than the file holds ends at the
// end of the file, a zipped block whose compressed bytes are not in the file ends before
// it). For counting that is the normal end of an unfinalized recording and the torn record
// is no sample; for reading it is a file that claims more than it holds. Data blocks that
// claim more bytes than the file holds end as a truncated record too, also when the last
// whole record ends where the file does. An unreadable data
// block is one whose bytes cannot be had (a zipped block that does not inflate). An empty
// record (no record id and no bytes) would never advance the stream, and a record id size
// other than 0, 1, 2, 4 or 8 cannot be read: neither layout can be framed at all.
// Counting sets the channel groups' counts to what it counted, as long as it could begin.
//
// Damage in the links between blocks is met while the block tree is read, which every path
// does the same way (a finalization reads the tree as a read does):
//
// | damage              | reading the block tree                        | what stays                        |
// |---------------------|-----------------------------------------------|-----------------------------------|
// | wrong block kind    | error, the chain or nested read ends there    | every block before it             |
// | cyclic link         | error, the chain or nested read ends there    | every block before it             |
// | nested too deep     | error, the nested read is left out            | every block above it              |
// | too many blocks     | error, the nested read is left out            | every block read within the bound |
//
// A wrong block kind is a link that lands on a block of another id than its chain or nesting
// reads (a channel link on a text block). A cyclic link leads back to a block of the chain
// or of the tree being read. The depth and count bounds of each kind of nesting stand in
// readguard.h. None of them fails the read: the file is read with the blocks before the
// damage, as a reader of a damaged file expects.
#include <cstdint>
#include <string>

#include "mdf/mdflogstream.h"

namespace mdf::detail {

enum class Damage : uint8_t {
  kUnknownRecordId,
  kTruncatedRecord,
  kUnreadableData,
  kEmptyRecord,
  kInvalidRecordIdSize,
  kWrongBlockKind,
  kCyclicLink,
  kNestedTooDeep,
  kTooManyBlocks,
};

/// The paths that frame records.
enum class RecordPath : uint8_t { kReading, kCounting };

/// How one path treats one kind of damage.
struct DamageOutcome {
  MdfLogSeverity severity;
  bool fails;       ///< the step reports failure (a read always ends at damage in its records)
  bool keeps_data;  ///< what was framed before the damage stands (counts are set from it)
};

constexpr DamageOutcome OutcomeOf(Damage damage, RecordPath path) {
  const bool reading = path == RecordPath::kReading;
  switch (damage) {
    case Damage::kUnknownRecordId:
    case Damage::kTruncatedRecord:
      return reading ? DamageOutcome{MdfLogSeverity::kError, true, true}
                     : DamageOutcome{MdfLogSeverity::kDebug, false, true};
    case Damage::kUnreadableData:
      return {MdfLogSeverity::kError, true, true};
    case Damage::kEmptyRecord:
    case Damage::kInvalidRecordIdSize:
      return {MdfLogSeverity::kError, true, false};
    case Damage::kWrongBlockKind:
    case Damage::kCyclicLink:
    case Damage::kNestedTooDeep:
    case Damage::kTooManyBlocks:
      return {MdfLogSeverity::kError, false, true};
  }
  return {MdfLogSeverity::kError, true, false};
}

/// Damage in the links between blocks: the same on every path.
constexpr DamageOutcome OutcomeOf(Damage damage) { return OutcomeOf(damage, RecordPath::kReading); }

/// The message of the damage on the path. `record_id` is the id read when the damage was
/// found, `id_size` the data group's record id size and `cause` the error text of an
/// unreadable block.
std::string DamageText(Damage damage, RecordPath path, uint64_t record_id, uint8_t id_size,
                       const std::string& cause = {});

}  // namespace mdf::detail
