#include "media/data_drive_format.h"

#include <algorithm>
#include <vector>

#include "host/drive_letters.h"

namespace kx7 {

namespace {

// The file system settles on the new partition before its boot sector goes in.
constexpr std::uint32_t kBeforeBootSectorWaitMs = 100;
// Host-OS classes whose volume must be reopened by letter before the boot
// sector is written: Windows 2000 and XP.
constexpr std::uint32_t kFat32BackupBootSector = 6;
constexpr std::uint8_t kVolumeLabelAttribute = 0x08;

constexpr std::uint8_t kFat16Head[] = {0xF8, 0xFF, 0xFF, 0xFF};
constexpr std::uint8_t kFat32Head[] = {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF,
                                       0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F};

// Hands the session back from the disk to the volume at `letter`. Only the
// updater may be written to: whatever else answers there now is not ours.
bool ReopenByDriveLetter(DeviceSession& device, char letter) {
  if (!device.UnlockVolume()) return false;
  device.Close();
  return device.OpenByDriveLetter(letter) && device.Kind == DeviceKindUpdater &&
         device.LockVolume();
}

}  // namespace

bool WriteFats(SectorWriter& writer, const CStSDisk& disk, std::uint32_t& sector) {
  const std::span<const std::uint8_t> head = disk.FatType == CStSDisk::Fat32
                                                 ? std::span<const std::uint8_t>(kFat32Head)
                                                 : std::span<const std::uint8_t>(kFat16Head);
  for (int copy = 0; copy < 2; ++copy)
    if (!WriteZeroSectorsWithHead(writer, disk.FatSectors(), head, sector)) return false;
  return true;
}

bool WriteRootDirectory(SectorWriter& writer, std::uint32_t count, std::uint32_t& sector,
                        std::string_view label) {
  std::uint8_t entry[12] = {};
  const auto name = LabelField(label);
  std::copy(name.begin(), name.end(), entry);
  entry[11] = kVolumeLabelAttribute;
  return WriteZeroSectorsWithHead(writer, count, entry, sector);
}

bool FormatDataDrive(SectorWriter& writer, std::uint32_t sectorSize, std::string_view label,
                     std::uint32_t sectorCount) {
  writer.SectorSize = sectorSize;
  CStSDisk disk;
  if (!disk.Plan(sectorCount, sectorSize, label)) return false;
  DeviceSession* device = writer.Device;
  if (!device || !device->VolumeLocked) return false;
  const platform::Services& services = device->Services();
  const char letter = device->DriveLetter;
  // Every sector the format writes: the disk's part, the reserved sectors,
  // both FATs and the root directory.
  const std::uint64_t sectorsToWrite = std::uint64_t{disk.HiddenSectors()} +
                                       disk.Geometry.Leftover + disk.ReservedSectors() +
                                       2ull * disk.FatSectors() + disk.RootSectors;
  writer.BytesWritten = 0;
  writer.BytesToWrite = sectorsToWrite * sectorSize;

  // The partition table and everything outside the partition go through the
  // whole disk.
  if (!device->UnlockVolume()) return false;
  device->Close();
  if (!device->OpenUpdaterByPhysicalDrive() || !device->LockVolume()) return false;
  platform::DiskGeometry geometry;
  if (!device->Io().driveGeometry(device->VolumeHandle, geometry)) return false;
  // The system's table holds exactly the partition the plan lays down.
  const std::uint32_t hidden = disk.HiddenSectors();
  if (!GeometryHoldsPartition(geometry, sectorSize, hidden, disk.VolumeSectors()) ||
      !WriteSinglePartitionLayout(device->Io(), device->VolumeHandle, geometry, hidden,
                                  disk.VolumeSectors()))
    return false;

  std::uint32_t sector = 0;
  if (!WriteSector(writer, disk.Mbr, sector)) return false;
  if (!WriteZeroSectors(writer, hidden - 1, sector)) return false;
  sector = disk.Geometry.Capacity;
  if (!WriteZeroSectors(writer, disk.Geometry.Leftover, sector)) return false;

  // The boot sector: through the disk at the partition's start, or, where
  // the system wants it so, through the volume at its sector 0.
  const HostOs os = ClassifyHostOs(services);
  sector = hidden;
  if (os == HostOs::Windows2000 || os == HostOs::WindowsXp) {
    if (!ReopenByDriveLetter(*device, letter)) return false;
    sector = 0;
  }
  services.clock.sleep(kBeforeBootSectorWaitMs);
  if (!WriteSector(writer, disk.BootSector, sector)) return false;

  // The rest of the file system goes through the volume, from its sector 1.
  if (!ReopenByDriveLetter(*device, letter)) return false;
  sector = 1;
  if (disk.FatType == CStSDisk::Fat32) {
    if (!WriteSector(writer, disk.FsInfo, sector) ||
        !WriteSector(writer, disk.ThirdReserved, sector) ||
        !WriteZeroSectors(writer, kFat32BackupBootSector - sector, sector) ||
        !WriteSector(writer, disk.BootSector, sector) ||
        !WriteSector(writer, disk.FsInfo, sector) ||
        !WriteSector(writer, disk.ThirdReserved, sector) ||
        !WriteZeroSectors(writer, disk.ReservedSectors() - sector, sector))
      return false;
  }
  if (!WriteFats(writer, disk, sector)) return false;
  if (!WriteRootDirectory(writer, disk.RootSectors, sector, disk.VolumeLabel)) return false;
  return DismountVolume(services, device->VolumeHandle);
}

}  // namespace kx7
