#pragma once
// What the library does when it meets damage in a file: one row per kind of damage, for
// every path that can meet it. A reader or counter never decides this on its own: it looks
// its row up here, so the same bytes give the same outcome wherever they are read.
//
// | damage              | reading records              | counting records (finalization)       | what stays                      |
// |---------------------|------------------------------|---------------------------------------|---------------------------------|
// | unknown record id   | error, the read ends         | debug, counting ends, step succeeds   | every record before it          |
// | empty record        | error, the read ends         | error, nothing counted, step fails    | every record before it          |
// | truncated record    | error, the read ends         | debug, counting ends, step succeeds   | every whole record before it    |
//
// A record id of a multi-group data group that no channel group carries ends the stream:
// nothing after it can be framed. An empty record (no record id and no bytes) would never
// advance the stream. A truncated record is the torn end of the data: the record id, the
// VLSD length or the payload of the last record runs past the last byte the data blocks
// hold in the file (a block that claims more than the file holds ends at the end of the
// file). For counting that is the normal end of an unfinalized recording, and the torn
// record is not a sample; for reading it is the end of a file that claims more records.
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

#include "mdf/mdflogstream.h"

namespace mdf::detail {

enum class Damage : uint8_t {
  kUnknownRecordId,
  kEmptyRecord,
  kTruncatedRecord,
  kWrongBlockKind,
  kCyclicLink,
  kNestedTooDeep,
  kTooManyBlocks,
};

/// How one path treats one kind of damage.
struct DamageOutcome {
  MdfLogSeverity severity;
  bool fails;  ///< the step reports failure (a read always ends at damage in its records)
};

/// The paths that frame records.
enum class RecordPath : uint8_t { kReading, kCounting };

constexpr DamageOutcome OutcomeOf(Damage damage, RecordPath path) {
  const bool reading = path == RecordPath::kReading;
  switch (damage) {
    case Damage::kUnknownRecordId:
    case Damage::kTruncatedRecord:
      return reading ? DamageOutcome{MdfLogSeverity::kError, true} : DamageOutcome{MdfLogSeverity::kDebug, false};
    case Damage::kEmptyRecord:
      return {MdfLogSeverity::kError, true};
    case Damage::kWrongBlockKind:
    case Damage::kCyclicLink:
    case Damage::kNestedTooDeep:
    case Damage::kTooManyBlocks:
      return {MdfLogSeverity::kError, false};
  }
  return {MdfLogSeverity::kError, true};
}

/// Damage in the links between blocks: the same on every path.
constexpr DamageOutcome OutcomeOf(Damage damage) { return OutcomeOf(damage, RecordPath::kReading); }

}  // namespace mdf::detail
