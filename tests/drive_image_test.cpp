// Drive-level operations on an open session: erase, version stamp, chunked
// image write and read-back, checked on the wire and on the player's media.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/device_session.h"
#include "firmware/image_table.h"
#include "media/drive_image.h"
#include "sim/scenario/sb_file.h"
#include "sim/world.h"
#include "support/sim_fixture.h"

namespace kx7 {
namespace {

using test::Hex;

constexpr std::uint8_t kTag = 0x50;  // drive number 2 on the factory layout
constexpr const char* kFirmwarePath = "C:\\Updater\\Firmware\\firmware.sb";

struct Wire {
  std::string cdb;  // hex
  std::string direction;
  std::uint32_t length;
  std::uint32_t timeout;
};

class DriveImageTest : public ::testing::Test {
 protected:
  DriveImageTest() : player(world.addPlayer()), session(world.services()) {
    player.drives = sim::FactoryDrives(sim::BuildSbFile({.size = 5000}), {1, 0, 0}, {1, 0, 0});
  }

  // Gives drive 0x50 this sector size, opens the player at E: and starts the
  // transcript afresh.
  void Open(std::uint32_t sectorSize) {
    player.driveByTag(kTag)->sectorSize = sectorSize;
    ASSERT_TRUE(session.OpenByDriveLetter('E'));
    ASSERT_EQ(session.Drives.FindByTag(kTag)->SectorSize, sectorSize);
    world.transcript().clear();
  }

  // Zeros over the whole drive, so that what the write pads shows.
  void ZeroDrive() {
    sim::SimDrive& d = *player.driveByTag(kTag);
    d.media.write(0, std::vector<std::uint8_t>(d.sizeBytes, 0x00));
  }

  std::vector<std::uint8_t> Media(std::uint64_t offset, std::size_t length) const {
    return player.driveByTag(kTag)->media.read(offset, length);
  }

  // The firmware file the image table names for the application rows.
  std::vector<std::uint8_t> PutFirmware(std::size_t size) {
    std::vector<std::uint8_t> bytes = sim::BuildSbFile({.size = size, .seed = 21});
    world.files().addFile(kFirmwarePath, bytes);
    for (std::size_t row : {image_row::kApplicationImage1, image_row::kApplicationImage2,
                            image_row::kApplicationImage3})
      images[row].FilePath = kFirmwarePath;
    return bytes;
  }

  void ExpectWire(const std::vector<Wire>& expected) {
    const std::vector<sim::Event> sent = world.transcript().of(sim::EventKind::Scsi);
    ASSERT_EQ(sent.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      SCOPED_TRACE("command " + std::to_string(i));
      EXPECT_EQ(sent[i].bytes, Hex(expected[i].cdb));
      EXPECT_EQ(sent[i].name, expected[i].direction);
      EXPECT_EQ(sent[i].length, expected[i].length);
      EXPECT_EQ(sent[i].timeout, expected[i].timeout);
    }
  }

  static std::vector<std::uint8_t> Image(std::size_t size) {
    std::vector<std::uint8_t> image(size);
    for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return image;
  }

  sim::World world;
  sim::Player& player;
  DeviceSession session;
  ImageTable images = MakeInitialImageTable();
};

TEST_F(DriveImageTest, EraseAndVersionStampAddressTheTaggedDrive) {
  Open(2048);
  ASSERT_TRUE(EraseDrive(session, kTag));
  ASSERT_TRUE(SetDriveVersions(session, kTag, {2, 3, 14}, {2, 3, 7}));
  ExpectWire({
      {"c1 2f 02 00 00000000 00000000 00000000", "none", 0, 120},
      {"c1 20 02 08 0002 0003 000e 00000000 0000", "none", 0, 120},
      {"c1 20 02 07 0002 0003 0007 00000000 0000", "none", 0, 120},
  });
  EXPECT_EQ(Media(0, 5000), std::vector<std::uint8_t>(5000, 0xFF));
  EXPECT_EQ(player.driveByTag(kTag)->productVersion, (sim::Triple{2, 3, 14}));
  EXPECT_EQ(player.driveByTag(kTag)->componentVersion, (sim::Triple{2, 3, 7}));
}

TEST_F(DriveImageTest, VersionStampStopsAtTheFirstFailure) {
  Open(2048);
  world.faults().failScsi(0xC1, 0x20, 1);
  EXPECT_FALSE(SetDriveVersions(session, kTag, {2, 3, 14}, {2, 3, 7}));
  EXPECT_EQ(world.transcript().of(sim::EventKind::Scsi).size(), 1u);

  world.faults().failScsi(0xC1, 0x20, 2);  // the component stamp of the next try
  EXPECT_FALSE(SetDriveVersions(session, kTag, {2, 3, 14}, {2, 3, 7}));
  EXPECT_EQ(player.driveByTag(kTag)->productVersion, (sim::Triple{2, 3, 14}));
  EXPECT_EQ(player.driveByTag(kTag)->componentVersion, (sim::Triple{1, 0, 0}));
}

TEST_F(DriveImageTest, ImageIsWrittenInWholeChunksPaddedWithErasedBytes) {
  // 512-byte sectors: 128 per chunk. 100 000 bytes are 196 sectors, written
  // as two chunks of 128; sectors 196-255 carry 0xFF.
  Open(512);
  ZeroDrive();
  const std::vector<std::uint8_t> image = Image(100000);
  ASSERT_TRUE(WriteDriveImage(session, kTag, image));
  ExpectWire({
      {"c1 23 02 0000000000000000 00000080 00", "out", 65536, 120},
      {"c1 23 02 0000000000000080 00000080 00", "out", 65536, 20},
  });
  EXPECT_EQ(Media(0, 100000), image);
  EXPECT_EQ(Media(100000, 131072 - 100000), std::vector<std::uint8_t>(31072, 0xFF));
  EXPECT_EQ(Media(131072, 4096), std::vector<std::uint8_t>(4096, 0x00));
}

TEST_F(DriveImageTest, ChunkSizeFollowsTheSectorSize) {
  // 2048-byte sectors: 32 per chunk of 64 KiB. 200 000 bytes are 98 sectors,
  // four chunks.
  Open(2048);
  const std::vector<std::uint8_t> image = Image(200000);
  ASSERT_TRUE(WriteDriveImage(session, kTag, image));
  ExpectWire({
      {"c1 23 02 0000000000000000 00000020 00", "out", 65536, 120},
      {"c1 23 02 0000000000000020 00000020 00", "out", 65536, 120},
      {"c1 23 02 0000000000000040 00000020 00", "out", 65536, 120},
      {"c1 23 02 0000000000000060 00000020 00", "out", 65536, 20},
  });
  EXPECT_EQ(Media(0, image.size()), image);
}

TEST_F(DriveImageTest, SectorsLargerThanAChunkGoOneAtATime) {
  Open(131072);
  ZeroDrive();
  const std::vector<std::uint8_t> image = Image(300000);
  ASSERT_TRUE(WriteDriveImage(session, kTag, image));
  ExpectWire({
      {"c1 23 02 0000000000000000 00000001 00", "out", 131072, 120},
      {"c1 23 02 0000000000000001 00000001 00", "out", 131072, 120},
      {"c1 23 02 0000000000000002 00000001 00", "out", 131072, 20},
  });
  EXPECT_EQ(Media(0, image.size()), image);
  EXPECT_EQ(Media(300000, 393216 - 300000), std::vector<std::uint8_t>(93216, 0xFF));
}

TEST_F(DriveImageTest, ImageOfExactlyOneChunkIsTheLastChunk) {
  Open(512);
  ASSERT_TRUE(WriteDriveImage(session, kTag, Image(65536)));
  ExpectWire({{"c1 23 02 0000000000000000 00000080 00", "out", 65536, 20}});
}

TEST_F(DriveImageTest, OnlyTheLastChunkMayFail) {
  Open(512);
  world.faults().failScsi(0xC1, 0x23, 2);
  EXPECT_TRUE(WriteDriveImage(session, kTag, Image(100000)));
  EXPECT_EQ(world.transcript().of(sim::EventKind::Scsi).size(), 2u);

  world.transcript().clear();
  world.faults().failScsi(0xC1, 0x23, 2);  // the second chunk of a three-chunk write
  EXPECT_FALSE(WriteDriveImage(session, kTag, Image(150000)));
  const auto sent = world.transcript().of(sim::EventKind::Scsi);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].outcome, "not-delivered");
}

TEST_F(DriveImageTest, EmptyImageWritesNothing) {
  Open(512);
  EXPECT_TRUE(WriteDriveImage(session, kTag, {}));
  EXPECT_EQ(world.transcript().size(), 0u);
}

TEST_F(DriveImageTest, ReadBackCoversTheImageSectorsAndNoMore) {
  // 196 sectors: one full chunk of 128, then the 68 that remain.
  Open(512);
  const std::vector<std::uint8_t> file = PutFirmware(100000);
  const std::vector<std::uint8_t> stored = Image(196 * 512 + 4096);
  player.driveByTag(kTag)->media.write(0, stored);

  std::vector<std::uint8_t> out = {9, 9, 9};
  ASSERT_TRUE(ReadDriveImage(session, images, kTag, out));
  ExpectWire({
      {"c0 13 02 0000000000000000 00000080 00", "in", 65536, 120},
      {"c0 13 02 0000000000000080 00000044 00", "in", 34816, 120},
  });
  EXPECT_EQ(out, std::vector<std::uint8_t>(stored.begin(), stored.begin() + 196 * 512));
}

TEST_F(DriveImageTest, WrittenImageReadsBack) {
  Open(2048);
  const std::vector<std::uint8_t> file = PutFirmware(300 * 1024 + 123);
  ASSERT_TRUE(WriteDriveImage(session, kTag, file));
  std::vector<std::uint8_t> out;
  ASSERT_TRUE(ReadDriveImage(session, images, kTag, out));
  ASSERT_EQ(out.size(), 151u * 2048);
  EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + file.size()), file);
  EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + file.size(), out.end()),
            std::vector<std::uint8_t>(out.size() - file.size(), 0xFF));
}

TEST_F(DriveImageTest, ReadBackFailsOnAFailedReadOrWithoutAnImageFile) {
  Open(512);
  std::vector<std::uint8_t> out = {9, 9, 9};
  // No file behind the application rows yet: nothing is read.
  EXPECT_FALSE(ReadDriveImage(session, images, kTag, out));
  EXPECT_EQ(world.transcript().size(), 0u);

  PutFirmware(100000);
  // The data drive is on the player but has no image row.
  EXPECT_FALSE(ReadDriveImage(session, images, 0x0A, out));
  EXPECT_EQ(world.transcript().size(), 0u);

  world.faults().failScsi(0xC0, 0x13, 2);
  EXPECT_FALSE(ReadDriveImage(session, images, kTag, out));
  EXPECT_EQ(world.transcript().of(sim::EventKind::Scsi).size(), 2u);
  EXPECT_EQ(out, (std::vector<std::uint8_t>{9, 9, 9}));
}

TEST_F(DriveImageTest, DrivesThatCannotBeAddressedAreRefusedWithoutTraffic) {
  player.drives.erase(player.drives.begin() + 3);  // drop tag 0x60
  Open(0);                                         // and 0x50 answers sector size 0
  PutFirmware(100000);
  std::vector<std::uint8_t> out;
  for (std::uint8_t tag : {std::uint8_t{0x60}, kTag}) {
    SCOPED_TRACE(int{tag});
    if (tag != kTag) {
      EXPECT_FALSE(EraseDrive(session, tag));
      EXPECT_FALSE(SetDriveVersions(session, tag, {1, 0, 0}, {1, 0, 0}));
    }
    EXPECT_FALSE(WriteDriveImage(session, tag, Image(4096)));
    EXPECT_FALSE(WriteDriveImage(session, tag, {}));
    EXPECT_FALSE(ReadDriveImage(session, images, tag, out));
  }
  EXPECT_EQ(world.transcript().size(), 0u);
}

}  // namespace
}  // namespace kx7
