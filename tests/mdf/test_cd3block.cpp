// The MDF 3 channel dependency block: vector, matrix and N-dimensional dependencies, in
// both byte orders, and counts that claim more than their block holds.
#include <gtest/gtest.h>

#include "cd3block.h"
#include "support/logcapture.h"
#include "support/mdf3bytes.h"
#include "support/memorybuffer.h"

using mdf::detail::Cd3Block;
using test::Mdf3Bytes;
using test::MemoryBuffer;

namespace {

// Type, count, the triples (n, n + 1, n + 2) for n = 100, 200, ..., then the sizes.
std::vector<uint8_t> CdImage(bool big, uint16_t type, uint16_t count, uint16_t nof_triples,
                             const std::vector<uint16_t>& sizes, uint16_t block_size = 0) {
  Mdf3Bytes bytes(big);
  const auto size = static_cast<uint16_t>(8 + 12 * nof_triples + 2 * sizes.size());
  bytes.Header("CD", block_size != 0 ? block_size : size).U16(type).U16(count);
  for (uint32_t i = 1; i <= nof_triples; ++i) bytes.U32(100 * i).U32(100 * i + 1).U32(100 * i + 2);
  for (const auto dimension : sizes) bytes.U16(dimension);
  return bytes;
}

std::vector<uint32_t> Flat(const Cd3Block& block) {
  std::vector<uint32_t> links;
  for (const auto& d : block.Dependencies()) {
    links.insert(links.end(), {d.data_group, d.channel_group, d.channel});
  }
  return links;
}

struct CdCase {
  const char* name;
  uint16_t type;
  uint16_t nof_triples;
  std::vector<uint16_t> sizes;
  std::vector<uint32_t> links;
};

TEST(Cd3Block, ReadsTheLinksOfItsType) {
  const std::vector<uint32_t> three = {100, 101, 102, 200, 201, 202, 300, 301, 302};
  const CdCase cases[] = {
      {"vector", 1, 3, {}, three},
      {"matrix", 2, 1, {}, {100, 101, 102}},
      {"none", 0, 1, {}, {}},  // type 0 reads no links, whatever the count says
      {"two dimensions", 258, 3, {4, 5}, three},
      {"unknown type", 7, 1, {}, {}},
  };
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    for (const auto& c : cases) {
      MemoryBuffer buffer(CdImage(big, c.type, c.nof_triples, c.nof_triples, c.sizes));
      Cd3Block block;
      block.AttachToParent(&file);
      block.Read(buffer);
      EXPECT_EQ(block.DependencyType(), c.type) << c.name;
      EXPECT_EQ(block.NofDependencies(), c.nof_triples) << c.name;
      EXPECT_EQ(Flat(block), c.links) << c.name;
      EXPECT_EQ(block.DimensionSizes(), c.type >= 256 ? c.sizes : std::vector<uint16_t>{}) << c.name;
    }
  }
}

TEST(Cd3Block, CountsBeyondTheBlockReadWhatFits) {
  test::LogCapture log;
  // 60,000 triples claimed in a block of two: nothing is sized by the count.
  MemoryBuffer vector(CdImage(false, 1, 60000, 2, {}));
  Cd3Block block;
  EXPECT_EQ(block.Read(vector), 32U);
  EXPECT_EQ(block.Dependencies().size(), 2U);
  EXPECT_TRUE(log.Contains("Count exceeds its block. Block: CD"));

  // Three dimensions claimed, room for the triple and one size only.
  MemoryBuffer dimensions(CdImage(false, 259, 1, 1, {9, 8, 7}, 22));
  Cd3Block cut;
  EXPECT_EQ(cut.Read(dimensions), 22U);
  EXPECT_EQ(cut.Dependencies().size(), 1U);
  EXPECT_EQ(cut.DimensionSizes(), std::vector<uint16_t>({9}));
}

TEST(Cd3Block, EveryTruncationIsAReadError) {
  for (const bool big : test::kBothByteOrders) {
    test::Mdf3Parent file(big);
    test::ExpectEveryTruncationThrows(
        CdImage(big, 258, 2, 2, {3, 4}),
        [&](MemoryBuffer& buffer) {
          Cd3Block block;
          block.AttachToParent(&file);
          block.Read(buffer);
        },
        "Invalid number of bytes read");
  }
}

}  // namespace
