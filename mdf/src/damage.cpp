#include "damage.h"

namespace mdf::detail {

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
    default:
      return cause;  // the links between blocks are not met while records are framed
  }
}

}  // namespace mdf::detail
