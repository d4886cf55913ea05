#pragma once
// What each kind of MDF 4 block lays out before anything its own counts or flags add: the links
// every block of the id has and the bytes of its fixed fields after them. A block with fewer
// links, or a length that cannot hold them and those fields, has its fields where its links or
// the next block lie: none of them can be read. The header read checks every block against
// this one table (MdfBlock::ReadMdf4Header).
//
// It also names the fixed links that may not be NIL (0): those no block of the type is whole
// without, and those whose NIL would leave bytes the file holds unread (records no channel
// group frames, a record no channel reads, values no signal data holds). Some of them are
// needed only as the block's own fields say: the block's read asks for those
// (MdfBlock::CheckNeededLinks), the header read for the others.
//
// A block whose links beyond the fixed ones are counted by its own fields (a conversion's
// references) has exactly as many: the block's read checks them once it has read the count
// (MdfBlock::CheckCountedLinks), as a link more would have its fields read where the next one lies.
//
// Versions 4.0 to 4.2 share these fixed parts; what a later version added (the channel
// group's seventh link, the list blocks' time values, the event's group name) follows them,
// announced by flags or counts, so one table serves every version the reader accepts.
#include <array>
#include <cstdint>
#include <string_view>

namespace mdf::detail {

/// The MDF 4 header before a block's links: id, reserved bytes, length and link count.
inline constexpr uint64_t kMdf4HeaderSize = 24;
/// Bytes of one link.
inline constexpr uint64_t kMdf4LinkSize = 8;
/// Where a writer begins each block: the zeros before a block's header align it to a multiple
/// of this.
inline constexpr int64_t kMdf4BlockAlignment = 8;
/// The first position from `position` on where a block may begin.
constexpr int64_t AlignUp(int64_t position) {
  return (position + kMdf4BlockAlignment - 1) / kMdf4BlockAlignment * kMdf4BlockAlignment;
}

/// When a fixed link may not be NIL.
enum class LinkNeed : uint8_t {
  kAlways,       ///< in every block of the type
  kVlsdChannel,  ///< in a channel of variable-length values: they lie only where it leads
  kData,         ///< in a data group whose data hold a record: its channel groups frame the records
  kRecordBytes,  ///< in a channel group whose records hold bytes: its channels read them
};

/// A fixed link that may not be NIL; a default one (no name) stands for none.
struct NeededLink {
  uint8_t index = 0;
  std::string_view name;  ///< as damage reports name it
  LinkNeed need = LinkNeed::kAlways;
};

struct BlockLayout {
  std::string_view id;  ///< "##CN"
  uint64_t links;       ///< links every block of the id has (more are counts' and flags' own)
  uint64_t data_bytes;  ///< bytes of the fixed fields after the links
  /// A block of records or values, whose length sizes its payload alone: the data readers
  /// judge it (the last DT of an unfinalized recording is still growing when its logger loses
  /// power). A zipped block's fields and compressed bytes are whole once written.
  bool payload;
  std::array<NeededLink, 2> needed;  ///< the links that may not be NIL, and when
  bool counted_links = false;        ///< the links beyond `links` are as many as the block's fields count
};

// Each row's comment names its fixed fields. Of the links that may not be NIL: every file has
// a history naming the tool that wrote it (in the entry's comment), and every channel a name.
inline constexpr std::array<BlockLayout, 25> kMdf4Layouts = {{
    // start time, time class, flags, reserved, start angle and distance
    {"##HD", 6, 32, false, {{{1, "first file history"}}}},
    // time, reserved
    {"##FH", 2, 16, false, {{{1, "comment"}}}},
    // record id size, reserved
    {"##DG", 4, 8, false, {{{1, "first channel group", LinkNeed::kData}}}},
    // record id, cycle count, flags, path separator, reserved, data and invalidation bytes
    {"##CG", 6, 32, false, {{{1, "first channel", LinkNeed::kRecordBytes}}}},
    // types, place in the record, flags, precision, attachment count, ranges and limits
    {"##CN", 8, 72, false, {{{2, "name"}, {5, "data", LinkNeed::kVlsdChannel}}}},
    // type, precision, flags, reference and value counts, physical range; a link per reference
    {"##CC", 4, 24, false, {}, true},
    {"##CA", 1, 16, false, {}},  // types, dimension count, flags, byte offset and invalidation bit bases
    {"##SI", 3, 8, false, {}},   // source type, bus type, flags, reserved
    {"##AT", 4, 40, false, {}},  // flags, creator index, reserved, MD5, original and embedded size
    {"##CH", 4, 8, false, {}},   // element count, hierarchy type, reserved
    {"##EV", 5, 32, false, {}},  // types, cause, flags, counts, creator index, sync base and factor
    {"##SR", 2, 24, false, {}},  // cycle count, interval, sync type, flags, reserved
    {"##DL", 1, 8, false, {}},   // flags, reserved, count
    {"##HL", 1, 8, false, {}},   // flags, zip type, reserved
    {"##LD", 1, 8, false, {}},   // flags, count
    {"##DZ", 0, 24, false, {}},  // original block type, zip type, reserved, parameter, both lengths
    {"##TX", 0, 0, false, {}},
    {"##MD", 0, 0, false, {}},
    {"##DT", 0, 0, true, {}},
    {"##SD", 0, 0, true, {}},
    {"##RD", 0, 0, true, {}},
    {"##RI", 0, 0, true, {}},
    {"##RV", 0, 0, true, {}},
    {"##DI", 0, 0, true, {}},
    {"##DV", 0, 0, true, {}},
}};

/// The layout of the block id; null for an id the format does not have.
constexpr const BlockLayout* FindBlockLayout(std::string_view id) {
  for (const BlockLayout& layout : kMdf4Layouts) {
    if (layout.id == id) return &layout;
  }
  return nullptr;
}

/// The fewest bytes a block of the layout with `links` links can have.
constexpr uint64_t MinimumLength(const BlockLayout& layout, uint64_t links) {
  return kMdf4HeaderSize + kMdf4LinkSize * links + layout.data_bytes;
}

}  // namespace mdf::detail
