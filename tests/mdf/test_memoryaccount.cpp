// The memory account of a file's reads: what the reads hold beyond the records is taken from
// it before it is allocated and given back when it is freed; past its limit a read fails as
// memory that ran short, before the memory is taken; a text linked many times counts once.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "cg4block.h"
#include "channelobserver.h"
#include "cn4block.h"
#include "damage.h"
#include "dg4block.h"
#include "dz4block.h"
#include "md4block.h"
#include "mdf/filedamage.h"
#include "mdf/memoryaccount.h"
#include "sr4block.h"
#include "support/channelfixtures.h"
#include "support/datablockfixtures.h"
#include "support/deflate.h"
#include "support/groupfixtures.h"
#include "support/logcapture.h"
#include "support/memorybuffer.h"
#include "zlibutil.h"

namespace {

using mdf::MemoryAccount;
using mdf::MemoryCharge;
using test::Bytes;

// A take past the limit takes nothing and is, to every caller, memory that ran short; a charge
// that cannot grow keeps what it held, and gives it back when it goes.
TEST(MemoryAccount, TakesWithinItsLimitAndChargesGiveBackWhatTheyHold) {
  MemoryAccount account(100);
  {
    MemoryCharge charge;
    charge.Hold(&account, 70);
    charge.Hold(&account, 30);  // the allocation shrank
    EXPECT_THROW(charge.Hold(&account, 101), std::bad_alloc);
    EXPECT_EQ(account.Held(), 30U);
    const MemoryCharge moved = std::move(charge);
    EXPECT_EQ(account.Held(), 30U);
  }
  EXPECT_EQ(account.Held(), 0U);
  EXPECT_EQ(account.Peak(), 70U);
}

// Stored bytes of a zipped block whose original length is `length`: as few as deflate allows.
std::vector<uint8_t> FewestStoredBytes(uint64_t length) {
  return std::vector<uint8_t>(length / mdf::detail::Dz4Block::kMaxInflateRatio + 1);
}

// What a read holds is the file's to give: signal data, reduction data, a transposed block of
// records, each taken before it is allocated. Past the limit the read fails as memory that ran
// short (the input is not damaged; the allocation is never made); within it the bytes are
// given back once the read is over, except the reduction's, which stay loaded.
TEST(MemoryAccount, ReadsHoldWithinTheAccountAndPastItFailAsMemoryRunningShort) {
  const std::vector<uint8_t> entry = Bytes().U32(3).Raw("xyz");
  const auto small = test::ZippedBlock("SD", 0, 0, entry.size(), test::Deflated(entry));
  constexpr uint64_t kClaim = uint64_t{256} << 20;  // in a file of 250 KiB: a claim deflate allows
  const auto claimed = [](const char* type) {
    return test::ZippedBlock(type, 0, 0, kClaim, FewestStoredBytes(kClaim));
  };
  std::vector<uint8_t> records(uint64_t{2} << 20);  // of 4 bytes; transposed as a writer stores them
  mdf::detail::TransposeBytes(records, 4);
  test::FileImage transposed;
  transposed.Place(64, test::DgBlock(0, 128, 1024, 0, 0));
  transposed.Place(128, test::CgBlock(test::CgFields().FirstCn(232).Id(0).Cycles(records.size() / 4).DataBytes(4)));
  test::CnFields cn;
  cn.data_type = 10;
  cn.bit_count = 32;
  transposed.Place(232, test::ChannelBlock(cn));
  transposed.Place(1024, test::ZippedBlock("DT", 1, 4, records.size(), test::Deflated(records)));
  const struct {
    const char* name;
    test::FileImage image;
  } past[] = {
      {"signal data", test::SignalDataGroup(claimed("SD"))},
      {"reduction data", test::SignalDataGroup(small, claimed("RD"))},
      {"a transposed block of records", transposed},
  };
  for (const auto& c : past) {
    SCOPED_TRACE(c.name);
    test::LoadedGroup file(c.image);
    MemoryAccount account(uint64_t{1} << 20);
    test::LogCapture log;
    const test::SignalDataRead outcome = test::ReadSignalDataGroup(file, &account);
    EXPECT_FALSE(outcome.read);
    EXPECT_TRUE(outcome.short_of_memory);
    EXPECT_TRUE(!outcome.damage.met || outcome.damage.out_of_memory) << "no damage: " << outcome.damage.first;
    EXPECT_FALSE(log.Contains("Parse of record failed"));
    EXPECT_LE(account.Peak(), account.Limit());
    EXPECT_EQ(account.Held(), 0U);
  }
  {
    test::LoadedGroup file(test::SignalDataGroup(small, small));
    MemoryAccount account;
    const test::SignalDataRead outcome = test::ReadSignalDataGroup(file, &account);
    EXPECT_TRUE(outcome.read);
    EXPECT_EQ(outcome.value, std::vector<uint8_t>({'x', 'y', 'z'}));
    EXPECT_EQ(account.Peak(), 2 * entry.size());
    EXPECT_EQ(account.Held(), entry.size()) << "the reduction's data stay loaded";
    file.group.ClearData();
    EXPECT_EQ(account.Held(), 0U);
  }
  {
    test::LoadedGroup file(transposed);
    MemoryAccount account;
    file.group.SetMemoryAccount(&account);
    EXPECT_TRUE(file.group.ReadData(file.buffer));
    EXPECT_EQ(account.Peak(), 2 * records.size()) << "the block and the copy its untransposition takes";
    EXPECT_EQ(account.Held(), 0U);
  }
}

// A text that many blocks link is read once and counted once, as long as one of them holds
// it; a text past what the account can give fails the read as memory that ran short.
TEST(MemoryAccount, ATextLinkedManyTimesIsCountedOnce) {
  const std::string xml = "<CNcomment><TX>" + std::string(4000, 'm') + "</TX></CNcomment>";
  test::MemoryBuffer buffer(test::FileImage().Place(64, test::MetaBlock(xml)).Place(8192, test::TextBlock("t")).Data());
  MemoryAccount account;
  test::TestHeader header;
  header.SetMemoryAccount(&account);
  std::vector<const mdf::detail::Md4Block*> comments;
  for (int i = 0; i < 100; ++i) comments.push_back(&header.ReadAt<mdf::detail::Md4Block>(buffer, 64));
  header.ReadAt<mdf::detail::Md4Block>(buffer, 8192);
  EXPECT_EQ(account.Held(), xml.size() + 1);
  for (const auto* comment : comments) EXPECT_EQ(comment->XmlText(), xml);

  MemoryAccount small(xml.size() - 1);
  test::TestHeader other;
  other.SetMemoryAccount(&small);
  EXPECT_THROW(other.ReadAt<mdf::detail::Md4Block>(buffer, 64), std::bad_alloc);
  EXPECT_EQ(small.Held(), 0U);
}

}  // namespace
