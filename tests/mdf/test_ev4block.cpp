// The event block: layout of new blocks, reading hand-made blocks, reference resolution.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "at4block.h"
#include "ev4block.h"
#include "support/memorybuffer.h"
#include "support/rows.h"

using mdf::detail::At4Block;
using mdf::detail::Ev4Block;
using mdf::detail::MdfBlock;
using test::Bytes;
using test::MemoryBuffer;
using test::RowValue;

namespace {

// A scope stand-in: only its file position matters to the event.
class PlacedBlock : public mdf::IBlock {
 public:
  explicit PlacedBlock(int64_t position) : position_(position) {}
  [[nodiscard]] int64_t FilePosition() const override { return position_; }
  [[nodiscard]] std::string BlockType() const override { return "CG"; }
  mdf::IMetaData* MakeMetaData() override { return nullptr; }
  [[nodiscard]] const mdf::IMetaData* MetaDataInterface() const override { return nullptr; }

 private:
  int64_t position_;
};

Bytes EventData(uint8_t type, uint8_t flags, uint32_t scopes, uint16_t attachments) {
  Bytes data;
  data.U8(type)
      .U8(1)
      .U8(0)
      .U8(0)
      .U8(flags)
      .Zeros(3)
      .U32(scopes)
      .U16(attachments)
      .U16(0)
      .U64(0)
      .U64(0x3FF0000000000000ULL);
  return data;
}

TEST(Ev4Block, DefaultBlockLayoutAndSingleWrite) {
  MemoryBuffer buffer(std::string(64, '\0'));
  Ev4Block event;
  EXPECT_EQ(event.Write(buffer), 96U);
  const std::vector<uint8_t> expected = Bytes()
                                            .Zeros(64)
                                            .Raw("##EV")
                                            .Zeros(4)
                                            .U64(96)
                                            .U64(5)
                                            .Zeros(40)
                                            .U8(6)
                                            .U8(1)
                                            .U8(0)
                                            .U8(0)
                                            .U8(0)
                                            .Zeros(3)
                                            .U32(0)
                                            .U16(0)
                                            .U16(0)
                                            .U64(0)
                                            .U64(0x3FF0000000000000ULL);
  EXPECT_EQ(buffer.Bytes(), expected);
  EXPECT_EQ(event.FilePosition(), 64);

  event.Type(2);
  EXPECT_EQ(event.Write(buffer), 96U);  // Written once only.
  EXPECT_EQ(buffer.Bytes(), expected);
}

TEST(Ev4Block, ReferencesAndGroupNameSizeTheBlock) {
  MemoryBuffer buffer(std::string(64, '\0'));
  PlacedBlock scope_a(0x100);
  PlacedBlock scope_b(0x200);
  Ev4Block parent;
  parent.Write(buffer);  // At 64.

  Ev4Block event;
  event.ParentEvent(&parent);
  event.AddScope(&scope_a);
  event.AddScope(&scope_b);
  event.AddScope(nullptr);  // Ignored.
  At4Block attachment;      // Not written yet: stored as 0.
  event.AddAttachment(&attachment);
  event.Write(buffer);
  EXPECT_EQ(event.BlockLength(), 120U);
  EXPECT_EQ(event.Links(), (std::vector<int64_t>{0, 64, 0, 0, 0, 0x100, 0x200, 0}));
  EXPECT_EQ(event.ScopeCount(), 2U);
  EXPECT_EQ(event.AttachmentCount(), 1U);

  Ev4Block grouped;
  grouped.GroupName("Group");
  grouped.Write(buffer);
  EXPECT_EQ(grouped.LinkCount(), 6U);
  EXPECT_EQ(grouped.BlockLength(), 104U);
  EXPECT_EQ(grouped.Flags() & 0x02, 0x02);
  EXPECT_GT(grouped.Link(5), 0);  // The TX block is written before the event.
  EXPECT_LT(grouped.Link(5), grouped.FilePosition());

  buffer.pubseekpos(grouped.FilePosition());
  Ev4Block read;
  EXPECT_EQ(read.Read(buffer), 104U);
  EXPECT_EQ(read.GroupName(), "Group");
  EXPECT_EQ(read.Name(), "");
}

TEST(Ev4Block, ParentWrittenLaterIsStoredAsZero) {
  // Events are written in list order; a reference to a later one cannot be known yet.
  MemoryBuffer buffer(std::string(64, '\0'));
  Ev4Block parent;
  Ev4Block child;
  child.ParentEvent(&parent);
  child.RangeEvent(&parent);
  child.Write(buffer);
  parent.Write(buffer);
  EXPECT_EQ(child.Link(1), 0);
  EXPECT_EQ(child.Link(2), 0);
}

TEST(Ev4Block, ReadsHandMadeBlock) {
  // TX "Start" at 64, EV at 96 with 1 scope, 1 attachment and a group-name link, flags 0.
  const std::vector<uint8_t> file =
      Bytes()
          .Zeros(64)
          .Raw("##TX")
          .Zeros(4)
          .U64(30)
          .U64(0)
          .Raw("Start")
          .Zeros(1)
          .Zeros(2)
          .Raw("##EV")
          .Zeros(4)
          .U64(24 + 8 * 8 + 32)
          .U64(8)
          .U64(0)
          .U64(0)
          .U64(0)
          .U64(64)
          .U64(0)
          .U64(0x300)
          .U64(0x400)
          .U64(64)
          .Raw(std::string(reinterpret_cast<const char*>(EventData(5, 0, 1, 1).Data().data()), 32));
  MemoryBuffer buffer(file);
  buffer.pubseekpos(96);
  Ev4Block event;
  EXPECT_EQ(event.Read(buffer), 120U);
  EXPECT_EQ(event.Name(), "Start");
  EXPECT_EQ(event.GroupName(), "Start");  // Read from the link after the references.
  EXPECT_EQ(event.Type(), 5);
  EXPECT_EQ(event.SyncFactor(), 1.0);

  // Exactly 5 + S + A links: no group name, whatever flag bit 1 says.
  const std::vector<uint8_t> no_group =
      Bytes()
          .Zeros(64)
          .Raw("##EV")
          .Zeros(4)
          .U64(24 + 8 * 7 + 32)
          .U64(7)
          .U64(0)
          .U64(0)
          .U64(0)
          .U64(0)
          .U64(0)
          .U64(0x300)
          .U64(64)
          .Raw(std::string(reinterpret_cast<const char*>(EventData(9, 0x02, 1, 1).Data().data()), 32));
  MemoryBuffer second(no_group);
  second.pubseekpos(64);
  Ev4Block plain;
  plain.Read(second);
  EXPECT_EQ(plain.GroupName(), "");
  const auto rows = test::Rows(plain);
  test::ExpectRowValues(
      rows, {{"Event Type", "Unknown"}, {"Sync Type", "Time Calculated"}, {"Nof Scopes", "1"}, {"Sync Factor", "1"}});
}

TEST(Ev4Block, ReadRefusesAnotherBlockKind) {
  MemoryBuffer buffer(Bytes().Raw("##CH").Zeros(4).U64(64).U64(4).Zeros(40).Data());
  Ev4Block event;
  EXPECT_THROW(event.Read(buffer), mdf::MdfRuntimeError);
}

TEST(Ev4Block, ResolvesReferencesOfTheRightKindOnly) {
  // Links: parent and range -> events, 2 scopes (one unknown), attachments -> an event (the
  // wrong kind) and an AT; the attachment count claims more than the links hold.
  const std::vector<uint8_t> file =
      Bytes()
          .Raw("##EV")
          .Zeros(4)
          .U64(24 + 8 * 9 + 32)
          .U64(9)
          .U64(0)
          .U64(0x500)
          .U64(0x600)
          .U64(0)
          .U64(0)
          .U64(0x500)
          .U64(0x999)
          .U64(0x600)
          .U64(0x700)
          .Raw(std::string(reinterpret_cast<const char*>(EventData(6, 0, 2, 0xFFFF).Data().data()), 32));
  MemoryBuffer buffer(file);
  Ev4Block event;
  event.Read(buffer);

  Ev4Block range_begin;
  At4Block attachment;
  Ev4Block scope_event;
  std::map<int64_t, MdfBlock*> blocks = {{0x500, &scope_event}, {0x600, &range_begin}, {0x700, &attachment}};
  event.ResolveReferences([&blocks](int64_t position) -> MdfBlock* {
    const auto found = blocks.find(position);
    return found != blocks.end() ? found->second : nullptr;
  });
  EXPECT_EQ(event.ParentEvent(), &scope_event);
  EXPECT_EQ(event.RangeEvent(), &range_begin);
  ASSERT_EQ(event.Scopes().size(), 2U);
  EXPECT_EQ(event.Scopes()[0], static_cast<const mdf::IBlock*>(static_cast<const mdf::IEvent*>(&scope_event)));
  EXPECT_EQ(event.Scopes()[1], nullptr);       // Nothing at 0x999.
  ASSERT_EQ(event.Attachments().size(), 2U);   // Only the links that exist.
  EXPECT_EQ(event.Attachments()[0], nullptr);  // An event is no attachment.
  EXPECT_EQ(event.Attachments()[1], &attachment);

  blocks[0x500] = &attachment;  // A parent link to a non-event resolves to no parent.
  event.ResolveReferences([&blocks](int64_t position) -> MdfBlock* {
    const auto found = blocks.find(position);
    return found != blocks.end() ? found->second : nullptr;
  });
  EXPECT_EQ(event.ParentEvent(), nullptr);
  EXPECT_EQ(event.Scopes().size(), 2U);  // Rebuilt, not appended.
}

}  // namespace
