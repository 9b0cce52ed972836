// Planning the data drive: the geometry walk against a literal reference
// walk, the cluster-size rule against the counts FAT drivers use, and the
// exact sectors of two well-known drive sizes.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <set>
#include <vector>

#include "firmware/sdisk.h"
#include "support/sim_fixture.h"
#include "util/byte_order.h"

namespace kx7 {
namespace {

using test::Hex;

constexpr std::uint32_t kFixedGeometrySectors = 1024u * 256u * 63u;

// The walk as it reads: every triple in order, two passes.
std::optional<ChsTriple> ReferenceWalk(std::uint32_t n) {
  for (const bool secondPass : {false, true}) {
    std::optional<ChsTriple> best;
    std::uint32_t bestLeftover = 0x7FFFFFFF;
    for (std::uint32_t c = 1; c <= 1024; ++c)
      for (std::uint32_t h = 1; h <= 256; ++h)
        for (std::uint32_t s = 1; s <= 63; ++s) {
          const std::uint32_t product = c * h * s;
          if (product < n) continue;
          if (product == n && (s % 2 == 0 || secondPass)) return ChsTriple{c, h, s, true};
          ChsTriple before;
          if (s > 1)
            before = {c, h, s - 1};
          else if (h > 1)
            before = {c, h - 1, 63};
          else if (c > 1)
            before = {c - 1, 256, 63};
          else
            return std::nullopt;
          const std::uint32_t leftover =
              n - before.Cylinders * before.Heads * before.SectorsPerTrack;
          if (leftover < bestLeftover && (secondPass || before.SectorsPerTrack % 2 == 0)) {
            best = before;
            bestLeftover = leftover;
          }
        }
    if (best) return best;
  }
  return std::nullopt;
}

// Sizes worth walking: every small count, counts around geometry products
// and powers of two, and random counts, below and above the fixed geometry.
std::vector<std::uint32_t> SampleSizes() {
  std::set<std::uint32_t> sizes;
#ifdef NDEBUG
  const std::uint32_t small = 320;
  const int randomCount = 60;
#else  // unoptimised builds walk a smaller sample
  const std::uint32_t small = 48;
  const int randomCount = 8;
#endif
  for (std::uint32_t n = 0; n <= small; ++n) sizes.insert(n);
  for (std::uint32_t base : {4085u, 4096u, 65536u, 1u << 20, 1u << 21, 1024u * 255u * 63u,
                             kFixedGeometrySectors, 1u << 24})
    for (std::uint32_t n : {base - 1, base, base + 1}) sizes.insert(n);
  std::mt19937 random(20261208);
  for (int i = 0; i < randomCount; ++i) {
    sizes.insert(
        std::uniform_int_distribution<std::uint32_t>(2, kFixedGeometrySectors - 1)(random));
    sizes.insert(
        std::uniform_int_distribution<std::uint32_t>(kFixedGeometrySectors, 0xFFFFFFFF)(random));
  }
  return {sizes.begin(), sizes.end()};
}

// The cluster size the plain quotient rule picks (V / c against the
// thresholds) and whether the clusters that really fit agree with its type.
struct QuotientChoice {
  std::uint16_t fatType = CStSDisk::FatNone;
  std::uint32_t cluster = 0;
  bool valid = false;
};

QuotientChoice QuotientRule(std::uint32_t volume, std::uint32_t bps, bool fat32) {
  for (int pass = 0; pass < 2; ++pass) {
    const std::uint64_t reserved = fat32 ? 32 : 1;
    const std::uint64_t root = fat32 ? 0 : 1024u * 32 / bps;
    for (std::uint32_t c = 32768 / bps; c >= 1; c /= 2) {
      const std::uint32_t quotient = volume / c;
      if (quotient < (fat32 ? 65525u : 4085u)) continue;
      if (!fat32 && quotient >= 65525) break;  // switch
      const std::uint64_t d = volume - root - reserved;
      const std::uint64_t m = fat32 ? 128u * c + 1 : 256u * c + 2;
      const std::uint64_t fat = (d + m - 1) / m;
      const std::uint64_t clusters = (d - 2 * fat) / c;
      const bool ok = fat32 ? clusters >= 65525 : clusters >= 4085 && clusters < 65525;
      return {static_cast<std::uint16_t>(fat32 ? CStSDisk::Fat32 : CStSDisk::Fat16), c, ok};
    }
    if (fat32) return {};
    fat32 = true;
  }
  return {};
}

TEST(DataDrivePlan, MatchesTheReferenceWalkAndHoldsAValidVolume) {
  for (std::uint32_t n : SampleSizes()) {
    SCOPED_TRACE(n);
    std::optional<ChsTriple> walked;
    if (n < kFixedGeometrySectors) {
      walked = ReferenceWalk(n);
      const std::optional<ChsTriple> fast = WalkGeometry(n);
      ASSERT_EQ(fast.has_value(), walked.has_value());
      if (walked) {
        EXPECT_EQ(fast->Cylinders, walked->Cylinders);
        EXPECT_EQ(fast->Heads, walked->Heads);
        EXPECT_EQ(fast->SectorsPerTrack, walked->SectorsPerTrack);
        EXPECT_EQ(fast->Exact, walked->Exact);
      }
    } else {
      walked = ChsTriple{1024, 255, 63, false};
    }
    for (std::uint32_t bps : {512u, 1024u, 2048u, 4096u}) {
      SCOPED_TRACE(bps);
      CStSDisk disk;
      const bool planned = disk.Plan(n, bps, "");
      // Only a drive too small for 4085 one-sector clusters, or too large for
      // FAT32's largest cluster count, has no plan.
      const std::uint64_t bytes = std::uint64_t{n} * bps;
      if (n <= 4085 || bytes > (std::uint64_t{1} << 43)) {
        EXPECT_FALSE(planned);
      } else if (n >= 4300 && bytes <= (std::uint64_t{1} << 42)) {
        EXPECT_TRUE(planned);
      }
      if (!planned) continue;
      ASSERT_TRUE(walked);
      EXPECT_EQ(disk.Geometry.Heads, walked->Heads);
      EXPECT_EQ(disk.Geometry.SectorsPerTrack, walked->SectorsPerTrack);
      EXPECT_EQ(disk.Geometry.Cylinders, walked->Cylinders);
      const std::uint64_t capacity =
          n >= kFixedGeometrySectors
              ? n
              : std::uint64_t{walked->Cylinders} * walked->Heads * walked->SectorsPerTrack;
      EXPECT_EQ(disk.Geometry.Capacity, capacity);
      EXPECT_EQ(disk.Geometry.Leftover, n - capacity);

      // A volume every FAT driver reads as the type it claims.
      const std::uint32_t clusters = disk.ClusterCount();
      const std::uint32_t entriesPerFatSector =
          bps * 8 / (disk.FatType == CStSDisk::Fat32 ? 32 : 16);
      EXPECT_GE(std::uint64_t{disk.FatSectors()} * entriesPerFatSector, clusters + 2ull);
      if (disk.FatType == CStSDisk::Fat16) {
        EXPECT_GE(clusters, 4085u);
        EXPECT_LT(clusters, 65525u);
      } else {
        EXPECT_GE(clusters, 65525u);
      }
      // Where the plain quotient rule already gives a valid volume, the plan
      // is exactly that one.
      const QuotientChoice quotient = QuotientRule(
          disk.VolumeSectors(), bps, std::uint64_t{n} * bps > (std::uint64_t{1} << 31));
      if (quotient.valid) {
        EXPECT_EQ(disk.FatType, quotient.fatType);
        EXPECT_EQ(disk.SectorsPerCluster(), quotient.cluster);
      }
      // The partition table agrees with the boot sector.
      EXPECT_EQ(GetLe32(&disk.Mbr[454]), disk.HiddenSectors());
      EXPECT_EQ(GetLe32(&disk.Mbr[458]), disk.VolumeSectors());
      EXPECT_EQ(disk.Mbr[450], disk.FatType == CStSDisk::Fat32 ? 0x0B : 0x06);
      EXPECT_EQ(GetLe32(&disk.BootSector[28]), disk.HiddenSectors());
    }
  }
}

// Near the FAT type boundaries the quotient V / c promises clusters the
// data area cannot hold; the plan counts what really fits.
TEST(DataDrivePlan, TypeBoundariesFollowTheClustersThatFit) {
  struct Case {
    std::uint32_t sectors, bps;
    std::uint16_t type;
    std::uint32_t cluster, clusters;
  };
  const Case cases[] = {
      // The quotient rule would make FAT32 with 65,519 clusters.
      {4194304, 512, CStSDisk::Fat32, 32, 131006},
      {4194305, 512, CStSDisk::Fat32, 32, 131006},
      // The quotient rule would make FAT32 with too few clusters; FAT16 fits.
      {1048576, 2048, CStSDisk::Fat16, 16, 65500},
      // Just above 4085 sectors, one-sector clusters still fit.
      {4300, 512, CStSDisk::Fat16, 1, 4151},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sectors);
    CStSDisk disk;
    ASSERT_TRUE(disk.Plan(c.sectors, c.bps, ""));
    EXPECT_EQ(disk.FatType, c.type);
    EXPECT_EQ(disk.SectorsPerCluster(), c.cluster);
    EXPECT_EQ(disk.ClusterCount(), c.clusters);
  }
  // Too small for 4085 clusters of any size: no plan.
  CStSDisk disk;
  EXPECT_FALSE(disk.Plan(4200, 512, ""));
  EXPECT_FALSE(disk.Plan(1000, 512, ""));
  EXPECT_FALSE(disk.Plan(0, 512, ""));
  // Sector sizes a FAT volume cannot have.
  EXPECT_FALSE(disk.Plan(1u << 21, 256, ""));
  EXPECT_FALSE(disk.Plan(1u << 21, 520, ""));
}

// Sectors that differ from zero, as (offset, bytes) pieces.
struct Piece {
  std::size_t at;
  const char* hex;
};

SectorBlock Expected(std::initializer_list<Piece> pieces) {
  SectorBlock block{};
  for (const Piece& p : pieces) {
    const std::vector<std::uint8_t> bytes = Hex(p.hex);
    std::copy(bytes.begin(), bytes.end(), block.begin() + static_cast<std::ptrdiff_t>(p.at));
  }
  return block;
}

const char* const kMbrStub =
    "fa eb 1d 4b 58 37 54 4d 42 20 64 61 74 61 20 64 72 69 76 65 20 2d 20 6e 6f 20 73 79 73 74 "
    "65 6d 33 c0 bc 00 7c 8e d0 fb cd 18 eb fe 6b 78 37 66";

TEST(DataDrivePlan, OneGibibyteOf512ByteSectorsIsFat16) {
  CStSDisk disk;
  ASSERT_TRUE(disk.Plan(2097152, 512, "IGNORED"));
  // 256 cylinders x 256 heads x 32 sectors: the drive exactly.
  EXPECT_TRUE(disk.Geometry.Exact);
  EXPECT_EQ(disk.BootSector,
            Expected({{0, "eb 3e 90"},
                      {3, "4d 53 57 49 4e 34 2e 31"},  // MSWIN4.1
                      {11, "00 02 40 01 00 02 00 04 00 00 f8 80 00 20 00 00 01 20 00 00 00"},
                      {32, "e0 ff 1f 00 80 00 29"},
                      {54, "46 41 54 31 36 20 20 20"},
                      {510, "55 aa"}}));
  EXPECT_EQ(disk.Mbr, Expected({{0, kMbrStub},
                                {446, "80 01 01 00 06 ff 20 ff 20 00 00 00 e0 ff 1f 00"},
                                {510, "55 aa"}}));
  EXPECT_EQ(disk.RootSectors, 64u);
}

TEST(DataDrivePlan, FourGibibytesOf512ByteSectorsIsFat32) {
  CStSDisk disk;
  ASSERT_TRUE(disk.Plan(8388608, 512, ""));
  EXPECT_EQ(disk.BootSector,
            Expected({{0, "eb 3e 90"},
                      {3, "4d 53 57 49 4e 34 2e 31"},
                      {11, "00 02 40 20 00 02 00 00 00 00 f8 00 00 20 00 00 01 20 00 00 00"},
                      {32, "e0 ff 7f 00 00 04 00 00 00 00 00 00 02 00 00 00 01 00 06 00"},
                      {64, "80 00 29"},
                      {82, "46 41 54 33 32 20 20 20"},
                      {510, "55 aa"}}));
  EXPECT_EQ(disk.FsInfo, Expected({{0, "52 52 61 41"},
                                   {484, "72 72 41 61 ff ff ff ff ff ff ff ff"},
                                   {508, "00 00 55 aa"}}));
  EXPECT_EQ(disk.ThirdReserved, Expected({{510, "55 aa"}}));
  EXPECT_EQ(disk.Mbr, Expected({{0, kMbrStub},
                                {446, "80 01 01 00 0b ff e0 ff 20 00 00 00 e0 ff 7f 00"},
                                {510, "55 aa"}}));
  EXPECT_EQ(disk.RootSectors, 64u);
}

TEST(DataDrivePlan, LargeDrivesTakeTheFixedGeometry) {
  CStSDisk disk;
  ASSERT_TRUE(disk.Plan(kFixedGeometrySectors + 5, 512, ""));
  EXPECT_EQ(disk.Geometry.Cylinders, 1024);
  EXPECT_EQ(disk.Geometry.Heads, 255);
  EXPECT_EQ(disk.Geometry.SectorsPerTrack, 63);
  EXPECT_EQ(disk.Geometry.Capacity, kFixedGeometrySectors + 5);
  EXPECT_EQ(disk.Geometry.Leftover, 0u);
  EXPECT_EQ(disk.HiddenSectors(), 63u);
  // The start in CHS, the end past the BIOS limit as the customary maximum.
  EXPECT_EQ(test::Hex("01 01 00"), std::vector<std::uint8_t>(&disk.Mbr[447], &disk.Mbr[450]));
  EXPECT_EQ(test::Hex("fe ff fe"), std::vector<std::uint8_t>(&disk.Mbr[451], &disk.Mbr[454]));
}

}  // namespace
}  // namespace kx7
