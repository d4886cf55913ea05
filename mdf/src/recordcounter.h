#pragma once
// Counts the records of a data group's record stream while the stream is handed over in
// pieces (a DT block, the inflated bytes of a DZ block, ...), so an unfinalized file's sample
// counts can be recomputed from its data without holding the data in memory.
#include <cstdint>
#include <map>
#include <streambuf>

namespace mdf::detail {

class RecordCounter : public std::streambuf {
 public:
  struct Layout {
    uint64_t record_bytes = 0;  ///< data + invalidation bytes of a fixed-size record
    bool vlsd = false;          ///< a VLSD group's records are a uint32 length and that many bytes
  };
  struct Tally {
    uint64_t records = 0;
    uint64_t bytes = 0;  ///< record bytes without the record id
  };

  /// The layouts by record id. With a single group every record belongs to it.
  RecordCounter(uint8_t record_id_size, std::map<uint64_t, Layout> layouts);

  [[nodiscard]] const std::map<uint64_t, Tally>& Tallies() const { return tallies_; }
  /// True when counting stopped at a record no group is known for (logged).
  [[nodiscard]] bool Stopped() const { return stopped_; }

 protected:
  std::streamsize xsputn(const char* data, std::streamsize count) override;
  int_type overflow(int_type c) override;

 private:
  enum class State { kRecordId, kLength, kPayload };

  void StartRecord();
  void StartPayload();
  void FinishRecord();

  uint8_t id_size_;
  std::map<uint64_t, Layout> layouts_;
  std::map<uint64_t, Tally> tallies_;
  State state_ = State::kRecordId;
  uint64_t value_ = 0;      // record id or length being assembled
  uint32_t have_ = 0;       // bytes of it so far
  uint64_t remaining_ = 0;  // payload bytes still to skip
  uint64_t payload_ = 0;    // payload bytes of the current record
  std::map<uint64_t, Layout>::const_iterator group_;
  bool stopped_ = false;
};

}  // namespace mdf::detail
