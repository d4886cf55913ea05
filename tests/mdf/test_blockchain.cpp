// Link chains and nested reads through the one chain walker and the one read guard: a link
// that lands on another kind of block or back into what is being read ends the chain with a
// logged error and keeps what was read; every kind of nesting stops at its bound. And the
// factory that makes data and list blocks by type.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "blockfactory.h"
#include "cc4block.h"
#include "cg4block.h"
#include "ch4block.h"
#include "cn4block.h"
#include "damage.h"
#include "dg4block.h"
#include "dl4block.h"
#include "dt4block.h"
#include "dz4block.h"
#include "hl4block.h"
#include "ld4block.h"
#include "readguard.h"
#include "sr4block.h"
#include "support/channelfixtures.h"
#include "support/datablockfixtures.h"
#include "support/groupfixtures.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"

namespace {

using mdf::MdfLogSeverity;
using mdf::detail::Cc4Block;
using mdf::detail::Cg4Block;
using mdf::detail::Ch4Block;
using mdf::detail::Cn4Block;
using mdf::detail::Damage;
using mdf::detail::DataListBlock;
using mdf::detail::Dg4Block;
using mdf::detail::MdfBlock;
using mdf::detail::Nesting;
using mdf::detail::OutcomeOf;
using mdf::detail::ReadGuard;
using test::Bytes;
using test::CgBlock;
using test::CgFields;
using test::DgBlock;
using test::FileImage;
using test::MemoryBuffer;

// ---- Chains ----

enum class Chain { kCg, kCn, kSr };
enum class Fault { kWrongKind, kCyclic, kFirstWrongKind };

// The owner sits at 0x40; its chain runs 0x100 -> 0x200 -> the faulty link.
constexpr int64_t kOwner = 0x40;
constexpr int64_t kFirst = 0x100;
constexpr int64_t kSecond = 0x200;
constexpr int64_t kForeign = 0x300;
constexpr int64_t kName = 0x400;  // of every channel: a channel has one

Bytes ChainBlock(Chain chain, int64_t next) {
  switch (chain) {
    case Chain::kCg:
      return CgBlock(CgFields().Next(next));
    case Chain::kCn:
      return test::MemberChannel(next, kName);
    case Chain::kSr:
      return test::SrBlock(next, 0, 0, 0.0, 0, 0);
  }
  return {};
}

// A block of a neighbouring kind that reads without complaint as one of the chain's own,
// and links on into the chain.
Bytes ForeignBlock(Chain chain) {
  switch (chain) {
    case Chain::kCg:
      return test::MemberChannel(kFirst);
    case Chain::kCn:
      return CgBlock(CgFields().Next(kFirst));
    case Chain::kSr:
      return test::MemberChannel(kFirst);
  }
  return {};
}

FileImage ChainImage(Chain chain, Fault fault) {
  const int64_t first = fault == Fault::kFirstWrongKind ? kForeign : kFirst;
  FileImage image;
  switch (chain) {
    case Chain::kCg:
      image.Place(kOwner, DgBlock(0, first, 0, 0, 1));
      break;
    case Chain::kCn:
      image.Place(kOwner, CgBlock(CgFields().FirstCn(first)));
      break;
    case Chain::kSr:
      image.Place(kOwner, CgBlock(CgFields().FirstSr(first)));
      break;
  }
  image.Place(kFirst, ChainBlock(chain, kSecond));
  image.Place(kSecond, ChainBlock(chain, fault == Fault::kCyclic ? kFirst : kForeign));
  image.Place(kForeign, ForeignBlock(chain));
  image.Place(kName, test::TextBlock("Value"));
  return image;
}

// Reads the owner and its chain; the positions of the blocks the chain kept.
std::vector<int64_t> ReadChain(Chain chain, MemoryBuffer& buffer) {
  std::vector<int64_t> positions;
  const auto collect = [&positions](const auto& list) {
    for (const auto& block : list) positions.push_back(block->FilePosition());
  };
  mdf::detail::SetStreamPosition(buffer, kOwner);
  if (chain == Chain::kCg) {
    Dg4Block data_group;
    data_group.Read(buffer);
    data_group.ReadCgList(buffer);
    collect(data_group.Cg4List());
    return positions;
  }
  Cg4Block group;
  group.Read(buffer);
  if (chain == Chain::kCn) {
    group.ReadCnList(buffer);
    collect(group.Cn4List());
  } else {
    group.ReadSrList(buffer);
    collect(group.Sr4List());
  }
  return positions;
}

struct ChainCase {
  const char* name;
  Chain chain;
  Fault fault;
  std::vector<int64_t> kept;
  const char* text;
};

TEST(BlockChain, ABadLinkEndsTheChainWithALoggedErrorAndKeepsWhatWasRead) {
  const std::vector<int64_t> both = {kFirst, kSecond};
  const std::vector<ChainCase> cases = {
      {"CG to CN", Chain::kCg, Fault::kWrongKind, both,
       "Unexpected block type. Expected: ##CG, Found: ##CN, Position: 0x300, Block: 0x200"},
      {"CN to CG", Chain::kCn, Fault::kWrongKind, both,
       "Unexpected block type. Expected: ##CN, Found: ##CG, Position: 0x300, Block: 0x200"},
      {"SR to CN", Chain::kSr, Fault::kWrongKind, both,
       "Unexpected block type. Expected: ##SR, Found: ##CN, Position: 0x300, Block: 0x200"},
      {"first CG",
       Chain::kCg,
       Fault::kFirstWrongKind,
       {},
       "Unexpected block type. Expected: ##CG, Found: ##CN, Position: 0x300, Block: 0x40"},
      {"first CN", Chain::kCn, Fault::kFirstWrongKind, {}, "Expected: ##CN, Found: ##CG, Position: 0x300, Block: 0x40"},
      {"first SR", Chain::kSr, Fault::kFirstWrongKind, {}, "Expected: ##SR, Found: ##CN, Position: 0x300, Block: 0x40"},
      {"CG cycle", Chain::kCg, Fault::kCyclic, both, "Stopped reading a cyclic block chain. Position: 0x100"},
      {"CN cycle", Chain::kCn, Fault::kCyclic, both, "Stopped reading a cyclic block chain. Position: 0x100"},
      {"SR cycle", Chain::kSr, Fault::kCyclic, both, "Stopped reading a cyclic block chain. Position: 0x100"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryBuffer buffer(ChainImage(c.chain, c.fault).Data());
    test::LogCapture log;
    EXPECT_EQ(ReadChain(c.chain, buffer), c.kept);
    ASSERT_EQ(log.entries.size(), 1U);
    EXPECT_NE(log.entries[0].text.find(c.text), std::string::npos) << log.entries[0].text;
    const Damage damage = c.fault == Fault::kCyclic ? Damage::kCyclicLink : Damage::kWrongBlockKind;
    EXPECT_EQ(log.entries[0].severity, OutcomeOf(damage).severity);
    EXPECT_FALSE(OutcomeOf(damage).fails);
  }
}

TEST(BlockChain, ADataListChainEndsAtABlockOfAnotherKind) {
  // DG -> DL -> DL -> DT as the next list: the DT is data, not a list.
  FileImage image;
  image.Place(kOwner, DgBlock(0, 0, 0x80, 0, 0))
      .Place(0x80, test::DataList(0x100, {}, {}))
      .Place(0x100, test::DataList(0x200, {}, {}))
      .Place(0x200, test::PlainBlock("##DT", {1, 2, 3}));
  MemoryBuffer buffer(image.Data());
  test::LogCapture log;
  Dg4Block data_group;
  mdf::detail::SetStreamPosition(buffer, kOwner);
  data_group.Read(buffer);
  ASSERT_EQ(data_group.DataBlockList().size(), 2U);
  EXPECT_EQ(data_group.DataBlockList()[1]->FilePosition(), 0x100);
  EXPECT_TRUE(log.Contains("Unexpected block type. Expected: ##DL, Found: ##DT, Position: 0x200"));
}

// ---- Nesting bounds ----

// A hierarchy block with its next and child links.
Bytes ChBlock(int64_t next, int64_t child) {
  return Bytes()
      .Raw("##CH")
      .Zeros(4)
      .U64(64)
      .U64(4)
      .U64(static_cast<uint64_t>(next))
      .U64(static_cast<uint64_t>(child))
      .U64(0)
      .U64(0)
      .U32(0)
      .U8(0)
      .Zeros(3);
}

// A conversion block without references whose inverse link is `inverse`.
Bytes CcBlock(int64_t inverse) {
  return Bytes()
      .Raw("##CC")
      .Zeros(4)
      .U64(80)
      .U64(4)
      .U64(0)
      .U64(0)
      .U64(0)
      .U64(static_cast<uint64_t>(inverse))
      .U8(0)
      .U8(0)
      .U16(0)
      .U16(0)
      .U16(0)
      .U64(0)
      .U64(0);
}

// `levels` blocks from 0x40 on, `stride` apart, each linking to the next through `make`.
FileImage Stack(size_t levels, size_t stride, const std::function<Bytes(int64_t next)>& make, size_t first = 0) {
  FileImage image;
  for (size_t i = first; i < levels; ++i) {
    const auto next = i + 1 < levels ? static_cast<int64_t>(0x40 + (i + 1) * stride) : 0;
    image.Place(0x40 + i * stride, make(next));
  }
  return image;
}

template <typename Step>
size_t LevelsBelow(const MdfBlock* block, Step&& step) {
  size_t levels = 0;
  for (block = step(block); block != nullptr; block = step(block)) ++levels;
  return levels;
}

const MdfBlock* FirstListChild(const MdfBlock* block) {
  const auto* list = dynamic_cast<const DataListBlock*>(block);
  return list != nullptr && !list->DataBlockList().empty() ? list->DataBlockList()[0].get() : nullptr;
}

struct NestingCase {
  const char* name;
  size_t bound;
  std::function<size_t(MemoryBuffer&)> read;  // levels read below the root
  FileImage image;
  const char* text;
};

TEST(ReadGuard, EveryNestingStopsAtItsBound) {
  constexpr size_t kLevels = 100;  // deeper than every bound
  const std::vector<NestingCase> cases = {
      {"data lists", mdf::detail::kMaxDataListDepth,
       [](MemoryBuffer& buffer) {
         Dg4Block data_group;
         test::ReadInto(data_group, buffer, 0x40);
         return LevelsBelow(&data_group, FirstListChild);
       },
       [] {
         // The root at 0x40, a data group over the lists from 0x80 on.
         FileImage image = Stack(
             kLevels, 0x40, [](int64_t next) { return test::HeaderList(next); }, 1);
         // Data need a channel group to frame them.
         image.Place(0x40, DgBlock(0, 0x8000, 0x80, 0, 0));
         image.Place(0x8000, CgBlock(CgFields()));
         return image;
       }(),
       "Stopped reading blocks nested too deep."},
      {"compositions", mdf::detail::kMaxCompositionDepth,
       [](MemoryBuffer& buffer) {
         Cn4Block channel;
         test::ReadInto(channel, buffer, 0x40);
         return LevelsBelow(&channel, [](const MdfBlock* block) -> const MdfBlock* {
           const auto& list = dynamic_cast<const Cn4Block*>(block)->Compositions();
           return list.empty() ? nullptr : list[0].get();
         });
       },
       [] {
         FileImage image = Stack(kLevels, 160, [](int64_t next) { return test::MemberChannel(0, 0x8000, next); });
         image.Place(0x8000, test::TextBlock("Member"));
         return image;
       }(),
       "Stopped reading a composition nested too deep."},
      {"hierarchies", mdf::detail::kMaxHierarchyDepth,
       [](MemoryBuffer& buffer) {
         Ch4Block top;
         test::ReadInto(top, buffer, 0x40);
         return LevelsBelow(&top, [](const MdfBlock* block) -> const MdfBlock* {
           const auto& list = dynamic_cast<const Ch4Block*>(block)->Children();
           return list.empty() ? nullptr : list[0].get();
         });
       },
       Stack(kLevels, 64, [](int64_t next) { return ChBlock(0, next); }), "Stopped reading blocks nested too deep."},
      {"conversions", mdf::detail::kMaxConversionDepth,
       [](MemoryBuffer& buffer) {
         Cc4Block conversion;
         test::ReadInto(conversion, buffer, 0x40);
         return LevelsBelow(&conversion, [](const MdfBlock* block) -> const MdfBlock* {
           return dynamic_cast<const Cc4Block*>(dynamic_cast<const Cc4Block*>(block)->Inverse());
         });
       },
       Stack(kLevels, 80, CcBlock), "Conversion blocks nest deeper than 64 levels."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryBuffer buffer(c.image.Data());
    test::LogCapture log;
    EXPECT_EQ(c.read(buffer), c.bound - 1);
    ASSERT_EQ(log.entries.size(), 1U);
    EXPECT_NE(log.entries[0].text.find(c.text), std::string::npos) << log.entries[0].text;
    EXPECT_EQ(log.entries[0].severity, OutcomeOf(Damage::kNestedTooDeep).severity);
  }
}

TEST(ReadGuard, TreeKindsReadEachBlockOncePathKindsOnlyRefuseTheirAncestors) {
  test::LogCapture log;
  ReadGuard tree(Nesting::kComposition, 0x40);
  EXPECT_FALSE(tree.MayEnter(0x40, 0x40));  // the root itself
  EXPECT_TRUE(tree.MayEnter(0x40, 0x100));
  EXPECT_FALSE(tree.MayEnter(0x40, 0x100));  // read before, anywhere in the tree
  EXPECT_EQ(log.entries.size(), 2U);
  EXPECT_TRUE(log.Contains("Stopped reading a cyclic composition. Position: 0x100, Block: 0x40"));

  log.entries.clear();
  ReadGuard path(Nesting::kConversion, 0x40);
  EXPECT_FALSE(path.MayEnter(0x40, 0x40));
  ASSERT_TRUE(path.MayEnter(0x40, 0x100));
  {
    const ReadGuard::Level level(path, 0x100);
    EXPECT_EQ(path.Depth(), 2U);
    EXPECT_FALSE(path.MayEnter(0x100, 0x100));  // its own ancestor
    EXPECT_TRUE(path.MayEnter(0x100, 0x200));
  }
  EXPECT_EQ(path.Depth(), 1U);
  EXPECT_TRUE(path.MayEnter(0x40, 0x100));  // a second reference to a closed sibling: no cycle
  EXPECT_EQ(log.entries.size(), 2U);
  EXPECT_TRUE(log.Contains("Conversion block refers back to itself. Position: 0x100, Block: 0x100"));
  for (const auto& entry : log.entries) {
    EXPECT_EQ(entry.severity, OutcomeOf(Damage::kCyclicLink).severity);
  }
}

TEST(ReadGuard, ACountBoundStopsAFanOut) {
  test::LogCapture log;
  ReadGuard guard(Nesting::kConversion, 0x40);
  size_t entered = 0;
  for (int64_t position = 0x80; guard.MayEnter(0x40, position); position += 8) ++entered;
  EXPECT_EQ(entered, mdf::detail::kMaxConversionBlocks);
  ASSERT_EQ(log.entries.size(), 1U);
  EXPECT_TRUE(log.Contains("Conversion block refers to more than 10000 nested conversions."));
  EXPECT_EQ(log.entries[0].severity, OutcomeOf(Damage::kTooManyBlocks).severity);

  // The other kinds read every block once: the file bounds them, not a count.
  ReadGuard chain(Nesting::kChain);
  for (int64_t position = 0x80; position < 0x80 + 8 * 20'000; position += 8) {
    ASSERT_TRUE(chain.MayEnter(0, position));
  }
}

TEST(ReadGuard, AReadBelowABlockTakesTheBlocksAboveAsItsOpenLevels) {
  test::LogCapture log;
  ReadGuard guard(Nesting::kDataList, std::vector<int64_t>{0x300, 0x200, 0x100});
  EXPECT_EQ(guard.Depth(), 3U);
  EXPECT_FALSE(guard.MayEnter(0x300, 0x100));
  EXPECT_TRUE(log.Contains("Stopped reading a cyclic block chain. Position: 0x100, Block: 0x300"));
  EXPECT_TRUE(guard.MayEnter(0x300, 0x400));
}

// ---- The factory ----

TEST(BlockFactory, MakesTheDataAndListBlocksByType) {
  using namespace mdf::detail;
  struct Row {
    const char* type;
    const std::type_info* made;  // null: no block
  };
  const std::vector<Row> rows = {
      {"DT", &typeid(Dt4Block)}, {"DZ", &typeid(Dz4Block)}, {"DV", &typeid(Dv4Block)}, {"DI", &typeid(Di4Block)},
      {"RD", &typeid(Rd4Block)}, {"RV", &typeid(Rv4Block)}, {"RI", &typeid(Ri4Block)}, {"SD", &typeid(Sd4Block)},
      {"HL", &typeid(Hl4Block)}, {"DL", &typeid(Dl4Block)}, {"LD", &typeid(Ld4Block)}, {"SR", &typeid(Sr4Block)},
      {"CN", nullptr},           {"##DT", nullptr},         {"dt", nullptr},           {"", nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.type);
    const std::unique_ptr<MdfBlock> block = CreateDataBlock(row.type);
    if (row.made == nullptr) {
      EXPECT_EQ(block, nullptr);
    } else {
      ASSERT_NE(block, nullptr);
      EXPECT_EQ(typeid(*block), *row.made);
    }
  }
}

}  // namespace
