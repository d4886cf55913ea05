#pragma once
// The size of a channel group's records, as the blocks below the group need it: a channel
// finds its invalidation bits behind the data bytes, a sample reduction holds records of the
// group's size. The channel group blocks answer; the blocks below reach their group as an
// interface, since the group blocks make them and so stand above them.
#include <cstdint>

namespace mdf::detail {

class GroupRecordSize {
 public:
  /// Bytes of a record's data, after its record id; the invalidation bytes follow them.
  [[nodiscard]] virtual uint64_t RecordDataBytes() const = 0;
  /// Bytes of a record's invalidation bits; none in MDF 3.
  [[nodiscard]] virtual uint64_t RecordInvalidBytes() const = 0;

 protected:
  GroupRecordSize() = default;
  GroupRecordSize(const GroupRecordSize&) = default;
  GroupRecordSize& operator=(const GroupRecordSize&) = default;
  ~GroupRecordSize() = default;
};

}  // namespace mdf::detail
