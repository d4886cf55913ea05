// The MDF 3 header: its 208-byte layout, older 164-byte headers, rewriting in place and the
// property rows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dg3block.h"
#include "hd3block.h"
#include "mdf/blockproperty.h"
#include "pr3block.h"
#include "support/mdf3bytes.h"
#include "support/memorybuffer.h"

namespace {

using mdf::detail::Dg3Block;
using mdf::detail::Hd3Block;
using namespace test;  // the test kit

std::string Row(const Hd3Block& header, const std::string& label) {
  std::vector<mdf::BlockProperty> rows;
  header.GetBlockProperty(rows);
  for (const auto& row : rows) {
    if (row.label == label) return row.value + "|" + row.description;
  }
  return "<none>";
}

Mdf3Bytes HeaderFields(bool big_endian, uint16_t size) {
  return Mdf3Bytes(big_endian)
      .Header("HD", size)
      .U32(0)
      .U32(0)
      .U32(0)
      .U16(0)
      .Text("24:12:2023", 10)
      .Text("08:15:00", 8)
      .Text("Ann", 32)
      .Text("Org", 32)
      .Text("Proj", 32)
      .Text("Subj", 32);
}

TEST(Hd3Block, ReadsTheFieldsInBothByteOrders) {
  for (const bool big_endian : kBothByteOrders) {
    Mdf3Bytes image = HeaderFields(big_endian, 208);
    image.U64(1'700'000'000'000'000'000ULL).I16(-2).U16(16).Text("Timer", 32);
    MemoryBuffer buffer(image.Data());
    Mdf3Parent parent(big_endian);
    Hd3Block header;
    header.AttachToParent(&parent);
    EXPECT_EQ(header.Read(buffer), 208u);
    EXPECT_EQ(header.Author(), "Ann");
    EXPECT_EQ(header.Department(), "Org");
    EXPECT_EQ(header.Project(), "Proj");
    EXPECT_EQ(header.Subject(), "Subj");
    EXPECT_EQ(header.Start().Date(), "24:12:2023");
    EXPECT_EQ(header.Start().Time(), "08:15:00");
    EXPECT_EQ(header.StartTime(), 1'700'000'000'000'000'000ULL);
    EXPECT_EQ(header.Start().UtcOffset(), -2);
    EXPECT_EQ(header.Start().TimerId(), "Timer");
    EXPECT_EQ(Row(header, "Time Source"), "NTP/PTP|");
  }
}

TEST(Hd3Block, AnOlderHeaderKeepsTheStartTimeItHad) {
  MemoryBuffer buffer(HeaderFields(false, 164).Data());
  Hd3Block header;
  header.Start().Timestamp(42);
  header.Start().TimerId("kept");
  header.Start().TimeQuality(10);
  header.Read(buffer);
  EXPECT_EQ(header.Author(), "Ann");
  EXPECT_EQ(header.StartTime(), 42u);
  EXPECT_EQ(header.Start().TimerId(), "kept");
  EXPECT_EQ(Row(header, "Time Source"), "External|");
}

TEST(Hd3Block, TextsAreCutAndPaddedToTheirFields) {
  MemoryBuffer buffer(std::string(64, '\0'));
  Hd3Block header;
  header.Author(std::string(40, 'a'));
  header.Department("dept5");
  header.Start().Date("01:01:1970");
  header.Write(buffer);
  const std::vector<uint8_t>& bytes = buffer.Bytes();
  ASSERT_EQ(bytes.size(), 64u + 208);
  EXPECT_EQ(std::string(bytes.begin() + 64 + 36, bytes.begin() + 64 + 68), std::string(32, 'a'));
  EXPECT_EQ(std::string(bytes.begin() + 64 + 68, bytes.begin() + 64 + 100), "dept5" + std::string(27, '\0'));
  EXPECT_EQ(bytes[64 + 2], 208);  // the size field, corrected after the first write
}

TEST(Hd3Block, WrittenTwiceRewritesInPlaceAndOnlyTheLastDataGroup) {
  MemoryBuffer buffer(std::string(64, '\0'));
  Hd3Block header;
  header.Description("note");
  header.CreateDataGroup();
  header.Write(buffer);
  const auto& groups = header.Dg3List();
  const int64_t first_at = groups[0]->FilePosition();
  const size_t size = buffer.Bytes().size();
  EXPECT_EQ(size, 64u + 208 + 9 + 28);

  header.CreateDataGroup();
  header.Author("later");
  header.Description("ignored: the comment is in the file");
  header.Write(buffer);
  EXPECT_EQ(header.FilePosition(), 64);
  EXPECT_EQ(groups[0]->FilePosition(), first_at);
  EXPECT_EQ(buffer.Bytes().size(), size + 28);  // one more DG, nothing else
  EXPECT_EQ(buffer.Bytes()[64 + 16], 2);        // number of data groups, in place
  EXPECT_EQ(std::string(buffer.Bytes().begin() + 64 + 36, buffer.Bytes().begin() + 64 + 41), "later");
  EXPECT_EQ(groups[0]->Link(0), groups[1]->FilePosition());
}

TEST(Hd3Block, InterfaceOfTheMdf3Header) {
  Hd3Block header;
  EXPECT_EQ(header.LastDataGroup(), nullptr);
  auto* first = header.CreateDataGroup();
  auto* second = header.CreateDataGroup();
  EXPECT_EQ(header.DataGroups(), (std::vector<mdf::IDataGroup*>{first, second}));
  EXPECT_EQ(header.LastDataGroup(), second);
  EXPECT_EQ(header.CreateAttachment(), nullptr);
  EXPECT_TRUE(header.FileHistories().empty());
  EXPECT_FALSE(header.StartAngle().has_value());
  header.MeasurementId("x");
  EXPECT_EQ(header.MeasurementId(), "");
  EXPECT_EQ(header.StartTimestamp()->GetTimeType(), 2);
}

TEST(Hd3Block, PropertyRows) {
  Hd3Block header;
  header.Start().TimeQuality(5);
  EXPECT_EQ(Row(header, "Time Source"), "<none>");
  header.Start().TimeQuality(0);
  EXPECT_EQ(Row(header, "Time Source"), "PC Time|");
  EXPECT_EQ(Row(header, "Program PR"), "0x0|Link to program data");
  auto program = std::make_unique<mdf::detail::Pr3Block>();
  program->Data("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
  header.Program(std::move(program));
  EXPECT_EQ(Row(header, "Program PR"), "0x0|ABCDEFGHIJKLMNOPQRST..");
  header.Department("Dept");
  EXPECT_EQ(Row(header, "Organization"), "Dept|");
}

}  // namespace
