// SB firmware files: header layouts, signatures, BCD versions, and reading
// the bytes that go to the player.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "firmware/fw_component.h"
#include "firmware/image_table.h"
#include "sim/scenario/sb_file.h"
#include "sim/world.h"

namespace kx7 {
namespace {

using Raw = std::array<std::uint8_t, 2>;

class SbImageTest : public ::testing::Test {
 protected:
  std::string Put(const std::string& name, std::vector<std::uint8_t> bytes) {
    const std::string path = "C:\\Updater\\Firmware\\" + name;
    world.files().addFile(path, std::move(bytes));
    return path;
  }
  // Stores `raw` as the stored pair of each of the six slots from `base`,
  // with junk in the two bytes after each value.
  static void PutSlots(std::vector<std::uint8_t>& file, std::size_t base,
                       const std::array<Raw, 6>& raw) {
    for (std::size_t i = 0; i < raw.size(); ++i) {
      file[base + 4 * i] = raw[i][0];
      file[base + 4 * i + 1] = raw[i][1];
      file[base + 4 * i + 2] = 0x77;
      file[base + 4 * i + 3] = 0x66;
    }
  }

  sim::World world;
  platform::Services services = world.services();
};

TEST(DecodeBcdVersion, WeighsFourDigitsMostSignificantFirstInFileOrder) {
  struct Case {
    Raw stored;
    std::uint16_t value;
  };
  const Case cases[] = {
      {{0x00, 0x01}, 1},
      {{0x01, 0x23}, 123},
      {{0x12, 0x34}, 1234},
      {{0x00, 0x00}, 0},
      {{0x99, 0x99}, 9999},
      {{0x01, 0x00}, 100},
      {{0x00, 0x10}, 10},
      {{0x10, 0x00}, 1000},
      // Nibbles above 9 count as digits of their own value.
      {{0x0A, 0x00}, 1000},
      {{0x00, 0x0A}, 10},
      {{0xA0, 0x00}, 10000},
      {{0xFF, 0xFF}, 16665},
  };
  for (const Case& c : cases) {
    const std::uint16_t raw = static_cast<std::uint16_t>(c.stored[0] | c.stored[1] << 8);
    EXPECT_EQ(DecodeBcdVersion(raw), c.value)
        << std::hex << int{c.stored[0]} << " " << int{c.stored[1]};
  }
}

TEST_F(SbImageTest, SmallestFileLoadsWithTheLastVersionAtItsEnd) {
  std::vector<std::uint8_t> file = sim::BuildSbFile({.size = 96});
  PutSlots(file, 0x40,
           {{{0x00, 0x01}, {0x00, 0x05}, {0x01, 0x23}, {0x02, 0x00}, {0x00, 0x07}, {0x12, 0x34}}});
  // The older slots hold other numbers, so reading the wrong layout shows.
  PutSlots(file, 0x18,
           {{{0x99, 0x99}, {0x99, 0x99}, {0x99, 0x99}, {0x99, 0x99}, {0x99, 0x99}, {0x99, 0x99}}});
  const std::string path = Put("firmware.sb", file);

  CStFwComponent component;
  ASSERT_TRUE(component.Load(services.files, path));
  EXPECT_EQ(component.ProductVersion, (VersionTriple{1, 5, 123}));
  EXPECT_EQ(component.ComponentVersion, (VersionTriple{200, 7, 1234}));
  EXPECT_EQ(component.ImageSize, 96u);
  EXPECT_EQ(component.FilePath, path);
}

TEST_F(SbImageTest, FailedLoadEmptiesPathAndKeepsWhatAnEarlierLoadFound) {
  const std::string good = Put(
      "good.sb", sim::BuildSbFile(
                     {.productVersion = {2, 3, 14}, .componentVersion = {2, 3, 7}, .size = 5000}));
  std::vector<std::uint8_t> wrongCase = sim::BuildSbFile({.signature = "stmp", .size = 5000});
  const std::string failing[] = {
      Put("short.sb", sim::BuildSbFile({.size = 95})),  // valid signatures, one byte short
      Put("empty.sb", {}),
      Put("lower.sb", wrongCase),
      Put("rsrc.sb", sim::BuildSbFile({.signature = "rsrc"})),
      Put("other.sb", sim::BuildSbFile({.signature = "STMX"})),
      "C:\\Updater\\Firmware\\missing.sb",
  };
  for (const std::string& path : failing) {
    CStFwComponent component;
    ASSERT_TRUE(component.Load(services.files, good));
    EXPECT_FALSE(component.Load(services.files, path)) << path;
    EXPECT_EQ(component.FilePath, "") << path;
    EXPECT_EQ(component.ProductVersion, (VersionTriple{2, 3, 14})) << path;
    EXPECT_EQ(component.ComponentVersion, (VersionTriple{2, 3, 7})) << path;
    EXPECT_EQ(component.ImageSize, 5000u) << path;
  }
}

TEST_F(SbImageTest, SignatureAndLayoutMarkChooseTheVersionSlots) {
  const std::array<Raw, 6> newer = {
      {{0x00, 0x03}, {0x00, 0x01}, {0x00, 0x04}, {0x00, 0x01}, {0x00, 0x05}, {0x00, 0x09}}};
  const std::array<Raw, 6> older = {
      {{0x00, 0x02}, {0x00, 0x07}, {0x01, 0x82}, {0x00, 0x08}, {0x02, 0x81}, {0x08, 0x28}}};
  struct Case {
    const char* signature;
    const char* mark;  // at 0x34
    bool loads;
    bool newerSlots;
  };
  const Case cases[] = {
      {"STMP", "sgtl", true, true},   {"RSRC", "sgtl", true, true},
      {"STMP", "----", true, false},  {"RSRC", "----", true, false},
      {"STMP", "SGTL", true, false},  // the mark is compared case-sensitively too
      {"stmp", "sgtl", false, false}, {"Stmp", "----", false, false},
      {"XXXX", "sgtl", false, false},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> file = sim::BuildSbFile({.size = 512});
    std::memcpy(&file[0x14], c.signature, 4);
    std::memcpy(&file[0x34], c.mark, 4);
    PutSlots(file, 0x40, newer);
    PutSlots(file, 0x18, older);
    const std::string path = Put(std::string(c.signature) + c.mark + ".sb", file);

    CStFwComponent component;
    EXPECT_EQ(component.Load(services.files, path), c.loads) << c.signature << " " << c.mark;
    if (!c.loads) {
      EXPECT_EQ(component.ProductVersion, (VersionTriple{0, 0, 0}));
      continue;
    }
    const VersionTriple product = c.newerSlots ? VersionTriple{3, 1, 4} : VersionTriple{2, 7, 182};
    const VersionTriple part = c.newerSlots ? VersionTriple{1, 5, 9} : VersionTriple{8, 281, 828};
    EXPECT_EQ(component.ProductVersion, product) << c.signature << " " << c.mark;
    EXPECT_EQ(component.ComponentVersion, part) << c.signature << " " << c.mark;
  }
}

TEST_F(SbImageTest, VersionsComeOutAsTheNumbersTheFileSpells) {
  // 00 01 / 00 05 is firmware 1.05; 01 00 is major 100; non-BCD nibbles are
  // taken as they are.
  const std::array<Raw, 6> stored = {
      {{0x00, 0x01}, {0x00, 0x05}, {0x00, 0x00}, {0x01, 0x00}, {0x00, 0x00}, {0x0F, 0xAB}}};
  const std::string a = Put("a.sb", sim::BuildSbFile({.rawVersions = stored}));
  const std::string b = Put("b.sb", sim::BuildSbFile({.newerLayout = false,
                                                      .productVersion = {2, 3, 14},
                                                      .componentVersion = {9999, 0, 1}}));
  CStFwComponent component;
  ASSERT_TRUE(component.Load(services.files, a));
  EXPECT_EQ(component.ProductVersion, (VersionTriple{1, 5, 0}));
  EXPECT_EQ(component.ComponentVersion, (VersionTriple{100, 0, 1611}));
  ASSERT_TRUE(component.Load(services.files, b));
  EXPECT_EQ(component.ProductVersion, (VersionTriple{2, 3, 14}));
  EXPECT_EQ(component.ComponentVersion, (VersionTriple{9999, 0, 1}));
}

TEST_F(SbImageTest, ImageFileBytesArePassedOnExactlyAsStored) {
  // An odd size: nothing is rounded to sectors here.
  const std::vector<std::uint8_t> bytes = sim::BuildSbFile({.size = 300 * 1024 + 123, .seed = 9});
  const std::string path = Put("firmware.sb", bytes);
  CStFwComponent component;
  ASSERT_TRUE(component.Load(services.files, path));
  EXPECT_EQ(component.ImageSize, bytes.size());

  std::vector<std::uint8_t> read = {1, 2, 3};
  ASSERT_TRUE(ReadImageFile(services.files, component, read));
  EXPECT_EQ(read, bytes);
}

TEST_F(SbImageTest, FileThatShrinksOrCannotBeOpenedYieldsNoBytes) {
  const std::string path = Put("firmware.sb", sim::BuildSbFile({.size = 8192}));
  CStFwComponent component;
  ASSERT_TRUE(component.Load(services.files, path));

  world.faults().shrinkFile(path, 8000);
  std::vector<std::uint8_t> bytes = {1, 2, 3};
  EXPECT_FALSE(ReadImageFile(services.files, component, bytes));
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{1, 2, 3}));
  // Loading reads the header only: the header is still whole, the rest is
  // caught when the bytes are read.
  CStFwComponent again;
  EXPECT_TRUE(again.Load(services.files, path));
  EXPECT_EQ(again.ImageSize, 8192u);
  // A file that shrank into its header does not load.
  const std::string cut = Put("cut.sb", sim::BuildSbFile({.size = 8192}));
  world.faults().shrinkFile(cut, 0x50);
  EXPECT_FALSE(again.Load(services.files, cut));
  EXPECT_EQ(again.FilePath, "");

  const std::string other = Put("other.sb", sim::BuildSbFile({}));
  CStFwComponent locked;
  ASSERT_TRUE(locked.Load(services.files, other));
  world.faults().failFileOpen(other);
  EXPECT_FALSE(ReadImageFile(services.files, locked, bytes));
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST_F(SbImageTest, LoadImageForTagSearchesOnlyTheApplicationImageRows) {
  ImageTable images = MakeInitialImageTable();
  // A different file per row, told apart by its product revision.
  for (std::size_t row = 0; row < images.size(); ++row) {
    images[row].FilePath = Put("row" + std::to_string(row) + ".sb",
                               sim::BuildSbFile({.productVersion = {1, 0, std::uint16_t(row)}}));
  }
  EXPECT_EQ(LoadImageForTag(services.files, images, 0x50).ProductVersion, (VersionTriple{1, 0, 3}));
  EXPECT_EQ(LoadImageForTag(services.files, images, 0x60).ProductVersion, (VersionTriple{1, 0, 4}));
  EXPECT_EQ(LoadImageForTag(services.files, images, 0x70).ProductVersion, (VersionTriple{1, 0, 5}));
  EXPECT_EQ(LoadImageForTag(services.files, images, 0x60).FilePath, images[4].FilePath);
  // The data, updater and bootlet rows have files, but are not searched.
  for (std::uint8_t tag : {0x0A, 0x0B, 0x0C, 0xFF, 0xA0, 0x51})
    EXPECT_EQ(LoadImageForTag(services.files, images, tag).FilePath, "") << int{tag};

  // The first matching row wins.
  images[5].DriveTag = 0x60;
  EXPECT_EQ(LoadImageForTag(services.files, images, 0x60).ProductVersion, (VersionTriple{1, 0, 4}));
  // The placeholder path of a fresh table is no file.
  EXPECT_EQ(LoadImageForTag(services.files, MakeInitialImageTable(), 0x50).FilePath, "");
}

}  // namespace
}  // namespace kx7
