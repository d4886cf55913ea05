#include "damage.h"

#include <algorithm>
#include <limits>

#include "mdf/filedamage.h"

namespace mdf::detail {

namespace {

// The record of the file whose read is open on this thread; null outside any read.
thread_local FileDamage* current_record = nullptr;

}  // namespace

void ReportDamage(const MdfLocation& location, Damage damage, RecordPath path, const std::string& text) {
  const DamageOutcome outcome = OutcomeOf(damage, path);
  MdfLogStream(location, outcome.severity) << text;
  if (outcome.damages_file && current_record != nullptr) {
    current_record->Note(text);
  }
}

void ReportOutOfMemory(const MdfLocation& location, const std::string& what) {
  const std::string text = "Out of memory while " + what;
  MdfLogStream(location, MdfLogSeverity::kError) << text;
  if (current_record != nullptr) {
    current_record->NoteOutOfMemory(text);
  }
}

void NoteBlockEnd(uint64_t end) {
  if (current_record != nullptr && end > current_record->blocks_end) current_record->blocks_end = end;
}

uint64_t BlocksEnd() { return current_record != nullptr ? current_record->blocks_end : 0; }

void NoteBlockStart(uint64_t position) {
  if (current_record != nullptr) current_record->block_starts.push_back(position);
}

std::vector<int64_t> BlockStarts() {
  std::vector<int64_t> starts;
  if (current_record == nullptr) return starts;
  constexpr auto kLast = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  for (const uint64_t start : current_record->block_starts) {
    if (start <= kLast) starts.push_back(static_cast<int64_t>(start));
  }
  std::sort(starts.begin(), starts.end());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  return starts;
}

void NoteCutHeader(uint64_t position) {
  if (current_record != nullptr && !current_record->cut_header) {
    current_record->cut_header = true;
    current_record->cut_header_at = position;
  }
}

bool CutHeaderNoted(uint64_t& position) {
  if (current_record == nullptr || !current_record->cut_header) return false;
  position = current_record->cut_header_at;
  return true;
}

DamageScope::DamageScope(FileDamage& record) : previous_(current_record) { current_record = &record; }

DamageScope::~DamageScope() { current_record = previous_; }

DamageReport::~DamageReport() {
  // Reported from a destructor, as a log message is: a failure only loses the report.
  try {
    ReportDamage(location_, damage_, path_, str());
  } catch (...) {
  }
}

std::string DamageText(Damage damage, RecordPath path, uint64_t record_id, uint8_t id_size, const std::string& cause) {
  if (path == RecordPath::kReading) {
    std::string text = "Parse of record failed. Error: ";
    switch (damage) {
      case Damage::kUnknownRecordId:
        return text + "No channel group found.";
      case Damage::kTruncatedRecord:
        return text + "End of file detected.";
      case Damage::kUnreadableData:
        return text + cause;
      case Damage::kEmptyRecord:
        return text + "Empty record without record id: the record stream cannot advance.";
      case Damage::kInvalidRecordIdSize:
        return text + "Invalid record ID size.";
      case Damage::kMissingRecordIds:
        return text + "Several channel groups without record IDs.";
      default:
        return text + cause;
    }
  }
  switch (damage) {
    case Damage::kUnknownRecordId:
      return "Failed to find the CG block. Record ID: " + std::to_string(record_id);
    case Damage::kTruncatedRecord:
      return "Truncated record at the end of the data. Record ID: " + std::to_string(record_id);
    case Damage::kUnreadableData:
      return "Failed to read the data blocks. Error: " + cause;
    case Damage::kEmptyRecord:
      return "Empty record without record id: the records cannot be counted.";
    case Damage::kInvalidRecordIdSize:
      return "Invalid record ID size. Size: " + std::to_string(id_size);
    case Damage::kMissingRecordIds:
      return "Several channel groups without record IDs: the records cannot be counted.";
    case Damage::kOversizedRecord:
      return "Record longer than its channels lay out. Record ID: " + std::to_string(record_id);
    default:
      return cause;  // the links between blocks are not met while records are framed
  }
}

}  // namespace mdf::detail
