#include <cstring>
#include <optional>
#include <vector>

#include "sim/backend/backends.h"
#include "sim/host/text.h"

namespace kx7::sim {

namespace {

// The SCSI_PASS_THROUGH header as Windows lays it out. Read here with
// offsets of its own, not with platform/pass_through_request.h, on purpose:
// the simulated player is the oracle of the library's bytes, and a layout
// fault shared by library and backends must still show here.
struct PassThroughView {
  std::uint16_t length;
  std::uint8_t cdbLength;
  std::uint8_t senseLength;
  std::uint8_t dataIn;
  std::uint32_t transferLength;
  std::uint32_t timeout;
  std::uint32_t dataOffset;
  std::uint32_t senseOffset;
};

std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

// Whether the request is one Windows would take: a 44-byte header whose data
// and sense areas lie inside the buffer it came in.
bool Parse(std::span<const std::uint8_t> request, PassThroughView& view) {
  if (request.size() < 44) return false;
  view.length = static_cast<std::uint16_t>(request[0] | request[1] << 8);
  view.cdbLength = request[6];
  view.senseLength = request[7];
  view.dataIn = request[8];
  view.transferLength = Le32(&request[12]);
  view.timeout = Le32(&request[16]);
  view.dataOffset = Le32(&request[20]);
  view.senseOffset = Le32(&request[24]);
  return view.length == 44 && view.cdbLength >= 6 && view.cdbLength <= 16 && view.dataIn <= 1 &&
         std::uint64_t{view.dataOffset} + view.transferLength <= request.size() &&
         std::uint64_t{view.senseOffset} + view.senseLength <= request.size() &&
         view.senseOffset >= 44;
}

// The INQUIRY answer of a drive that is not a player.
void ForeignInquiry(std::span<std::uint8_t> data, bool removable) {
  std::uint8_t answer[36] = {};
  answer[1] = removable ? 0x80 : 0x00;
  answer[4] = 31;
  std::memcpy(&answer[8], removable ? "Generic " : "ATA     ", 8);
  std::memcpy(&answer[16], removable ? "USB Flash Disk  " : "ST500DM002-1BD14", 16);
  std::memcpy(&answer[32], "1.00", 4);
  std::memcpy(data.data(), answer, std::min(data.size(), sizeof answer));
}

char LetterOfRoot(std::string_view root) {
  return root.empty() ? 0 : UpperLetter(root[0]);
}

std::uint32_t Le32At(std::span<const std::uint8_t> bytes, std::size_t at) {
  return Le32(&bytes[at]);
}

std::uint64_t Le64At(std::span<const std::uint8_t> bytes, std::size_t at) {
  return std::uint64_t{Le32(&bytes[at])} | std::uint64_t{Le32(&bytes[at + 4])} << 32;
}

void PutLe32At(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A packed CHS triple for a sector number on a 255-head, 63-sector disk, as
// the system fills partition entries; past the BIOS limit, the usual maximum.
void PutChsFor(std::uint8_t* at, std::uint64_t lba) {
  std::uint64_t cylinder = lba / (255 * 63);
  std::uint32_t head = static_cast<std::uint32_t>(lba / 63 % 255);
  std::uint32_t sector = static_cast<std::uint32_t>(lba % 63 + 1);
  if (cylinder > 1023) cylinder = 1023, head = 254, sector = 63;
  at[0] = static_cast<std::uint8_t>(head);
  at[1] = static_cast<std::uint8_t>(sector | ((cylinder >> 2) & 0xC0));
  at[2] = static_cast<std::uint8_t>(cylinder);
}

}  // namespace

std::uint32_t SimVolumeIo::logicalDriveMask() {
  const auto guard = world_.lock();
  return world_.logicalDriveMask();
}

platform::DriveType SimVolumeIo::driveType(std::string_view rootPath) {
  const auto guard = world_.lock();
  const char letter = LetterOfRoot(rootPath);
  if (world_.playerAtLetter(letter) >= 0) return platform::DriveType::Removable;
  if (const HostDrive* drive = world_.hostDrive(letter)) return drive->type;
  return platform::DriveType::NoRootDir;
}

std::string SimVolumeIo::fileSystemName(std::string_view rootPath) {
  const auto guard = world_.lock();
  const char letter = LetterOfRoot(rootPath);
  if (const int p = world_.playerAtLetter(letter); p >= 0)
    return world_.player(static_cast<std::size_t>(p)).fileSystemName();
  if (const HostDrive* drive = world_.hostDrive(letter)) return drive->fileSystem;
  return "";
}

platform::Handle SimVolumeIo::openDevice(std::string_view path) {
  const auto guard = world_.lock();
  const std::string upper = Upper(path);
  Target target{TargetKind::HostVolume, std::string(path)};
  bool found = false;
  if (upper.size() == 6 && upper.rfind("\\\\.\\", 0) == 0 && upper[5] == ':') {
    const char letter = upper[4];
    const int p = world_.playerAtLetter(letter);
    if (p >= 0 && !world_.player(static_cast<std::size_t>(p)).hasVolume()) {
      // A disk whose table holds no partition has no volume to open.
    } else if (p >= 0) {
      target.kind = TargetKind::PlayerVolume;
      target.player = p;
      target.generation = world_.player(static_cast<std::size_t>(p)).generation;
      target.letter = letter;
      found = true;
    } else if (world_.hostDrive(letter)) {
      target.kind = TargetKind::HostVolume;
      target.letter = letter;
      found = true;
    }
  } else if (upper.rfind("\\\\.\\PHYSICALDRIVE", 0) == 0) {
    const std::string number = upper.substr(17);
    if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos &&
        number.size() <= 3) {
      // Disk 0 is the host's own; players take the numbers after it while
      // they are on the bus as mass storage.
      const int disk = std::stoi(number);
      if (disk == 0) {
        target.kind = TargetKind::HostDisk;
        found = true;
      } else if (static_cast<std::size_t>(disk) <= world_.playerCount() &&
                 world_.player(static_cast<std::size_t>(disk - 1)).letter != 0) {
        target.kind = TargetKind::PlayerDisk;
        target.player = disk - 1;
        target.generation = world_.player(static_cast<std::size_t>(disk - 1)).generation;
        found = true;
      }
    }
  }
  const platform::Handle handle = found ? handles_.open(target) : platform::Handle::invalid();
  world_.record(Event{
      .kind = EventKind::Open, .target = std::string(path), .value = handle.value(), .ok = found});
  return handle;
}

void SimVolumeIo::closeHandle(platform::Handle handle) {
  const auto guard = world_.lock();
  CloseRecorded(world_, handles_, handle);
}

bool SimVolumeIo::scsiPassThrough(platform::Handle handle, std::span<std::uint8_t> request) {
  const auto guard = world_.lock();
  Event event{.kind = EventKind::Scsi};
  Target* t = handles_.find(handle);
  event.target = t ? t->path : "(no handle)";
  PassThroughView view{};
  if (!Parse(request, view)) {
    event.outcome = "malformed";
    event.ok = false;
    world_.record(std::move(event));
    return false;
  }
  const std::span<const std::uint8_t> cdb(&request[28], view.cdbLength);
  const std::span<std::uint8_t> data = request.subspan(view.dataOffset, view.transferLength);
  event.bytes.assign(cdb.begin(), cdb.end());
  event.name = view.dataIn ? "in" : (view.transferLength ? "out" : "none");
  event.length = view.transferLength;
  event.timeout = view.timeout;
  // Small payloads (an allocation table, say) are worth keeping; sector
  // data is not.
  constexpr std::uint32_t kKeptPayload = 512;
  if (!view.dataIn && view.transferLength <= kKeptPayload)
    event.data.assign(data.begin(), data.end());

  const auto finish = [&](const char* outcome, bool delivered, bool good) {
    event.outcome = outcome;
    event.ok = delivered;
    request[2] = good ? 0x00 : 0x02;  // ScsiStatus: GOOD or CHECK CONDITION
    if (!good && view.senseLength >= 14) {
      request[view.senseOffset] = 0x70;
      request[view.senseOffset + 2] = 0x05;  // ILLEGAL REQUEST
      request[view.senseOffset + 7] = 10;
      request[view.senseOffset + 12] = 0x20;  // invalid command operation code
    }
    world_.record(std::move(event));
    return delivered;
  };

  if (!t || t->kind == TargetKind::HidDevice || t->kind == TargetKind::OtherHid)
    return finish("not-delivered", false, false);
  Player* player = LivePlayer(world_, *t);
  const bool toPlayer = t->kind == TargetKind::PlayerVolume || t->kind == TargetKind::PlayerDisk;
  if (toPlayer && (!player || !player->answersScsi()))
    return finish("not-delivered", false, false);  // the device has left the bus

  Faults::AnswerEdit edit;
  std::uint32_t stallMs = 0;
  const Faults::ScsiAction action = world_.faults().onScsi(cdb.data(), cdb.size(), &edit, &stallMs);
  if (stallMs) world_.stall(stallMs);
  switch (action) {
    case Faults::ScsiAction::NotDelivered:
      return finish("not-delivered", false, false);
    case Faults::ScsiAction::CheckCondition:
      return finish("check-condition", true, false);
    case Faults::ScsiAction::None:
      break;
  }

  if (!toPlayer) {
    // A host drive taken away since the open has left, like a player would.
    const HostDrive* drive = world_.hostDrive(t->letter);
    if (t->kind == TargetKind::HostVolume && !drive) return finish("not-delivered", false, false);
    if (cdb[0] == 0x12 && view.dataIn) {
      const bool removable =
          t->kind == TargetKind::HostVolume && drive->type == platform::DriveType::Removable;
      ForeignInquiry(data, removable);
      return finish("good", true, true);
    }
    return finish("check-condition", true, false);
  }

  // A short or altered answer: what the request brought is kept past the
  // bytes the device moves.
  std::vector<std::uint8_t> before;
  if (edit.any() && view.dataIn) before.assign(data.begin(), data.end());
  const ScsiResult result = player->execute(cdb, view.dataIn == 1, data);
  if (result.good && !before.empty()) edit.apply(data, before);
  // A drive whose reads come back altered.
  if (result.good && cdb[0] == 0xC0 && cdb[1] == 0x13) {
    if (const SimDrive* drive = player->driveByNumber(cdb[2])) {
      if (const auto at = world_.faults().driveReadCorruption(drive->tag)) {
        const std::uint64_t start = (std::uint64_t{cdb[3]} << 56 | std::uint64_t{cdb[4]} << 48 |
                                     std::uint64_t{cdb[5]} << 40 | std::uint64_t{cdb[6]} << 32 |
                                     std::uint64_t{cdb[7]} << 24 | std::uint64_t{cdb[8]} << 16 |
                                     std::uint64_t{cdb[9]} << 8 | cdb[10]) *
                                    drive->sectorSize;
        if (*at >= start && *at < start + data.size()) data[*at - start] ^= 0x5A;
      }
    }
  }
  const char* outcome = !result.good     ? "check-condition"
                        : before.empty() ? "good"
                        : edit.keep      ? "short"
                                         : "altered";
  const bool delivered = finish(outcome, true, result.good);
  if (result.leaving) world_.playerLeaves(static_cast<std::size_t>(t->player), *result.leaving);
  return delivered;
}

bool SimVolumeIo::lockVolume(platform::Handle handle) {
  const auto guard = world_.lock();
  Target* t = handles_.find(handle);
  bool ok = t && t->kind != TargetKind::HidDevice && (t->player < 0 || LivePlayer(world_, *t)) &&
            !world_.faults().takeLockRefusal();
  if (ok) t->locked = true;
  world_.record(Event{.kind = EventKind::Lock, .target = t ? t->path : std::string(), .ok = ok});
  return ok;
}

bool SimVolumeIo::unlockVolume(platform::Handle handle) {
  const auto guard = world_.lock();
  Target* t = handles_.find(handle);
  bool ok = t && t->locked && (t->player < 0 || LivePlayer(world_, *t)) &&
            !world_.faults().takeUnlockRefusal();
  if (ok) t->locked = false;
  world_.record(Event{.kind = EventKind::Unlock, .target = t ? t->path : std::string(), .ok = ok});
  return ok;
}

bool SimVolumeIo::dismountVolume(platform::Handle handle) {
  const auto guard = world_.lock();
  Target* t = handles_.find(handle);
  bool ok =
      t && (t->player < 0 || LivePlayer(world_, *t)) && !world_.faults().takeDismountRefusal();
  world_.record(
      Event{.kind = EventKind::Dismount, .target = t ? t->path : std::string(), .ok = ok});
  return ok;
}

bool SimVolumeIo::driveGeometry(platform::Handle handle, platform::DiskGeometry& geometry) {
  const auto guard = world_.lock();
  Target* t = handles_.find(handle);
  Player* p = t ? LivePlayer(world_, *t) : nullptr;
  SimDrive* data = p ? p->dataDrive() : nullptr;
  const bool ok = data != nullptr && !world_.faults().geometryFails();
  if (ok) {
    // What the system makes up for a removable disk: 255 heads, 63 sectors
    // per track, as many whole cylinders as fit.
    const std::uint64_t sectors = data->sizeBytes / data->sectorSize;
    geometry = {};
    geometry.tracksPerCylinder = 255;
    geometry.sectorsPerTrack = 63;
    geometry.cylinders = sectors / (255 * 63);
    geometry.mediaType = 11;  // RemovableMedia
    geometry.bytesPerSector = data->sectorSize;
  }
  world_.record(Event{.kind = EventKind::Geometry,
                      .target = t ? t->path : std::string(),
                      .value = ok ? geometry.cylinders : 0,
                      .ok = ok});
  return ok;
}

bool SimVolumeIo::deleteDriveLayout(platform::Handle handle) {
  const auto guard = world_.lock();
  Target* t = handles_.find(handle);
  Player* p = t ? LivePlayer(world_, *t) : nullptr;
  SimDrive* data = p ? p->dataDrive() : nullptr;
  const bool ok = data != nullptr && !world_.faults().deleteLayoutFails();
  if (ok) {
    // The partition table and the boot signature go, the boot code stays:
    // the disk is then one volume from its first sector.
    const std::vector<std::uint8_t> none(66, 0);
    data->media.write(446, none);
    p->partition.reset();
    p->partitioned = false;
  }
  world_.record(
      Event{.kind = EventKind::DeleteLayout, .target = t ? t->path : std::string(), .ok = ok});
  return ok;
}

bool SimVolumeIo::setDriveLayout(platform::Handle handle, std::span<const std::uint8_t> layout) {
  const auto guard = world_.lock();
  Target* t = handles_.find(handle);
  Player* p = t ? LivePlayer(world_, *t) : nullptr;
  SimDrive* data = p ? p->dataDrive() : nullptr;
  // DRIVE_LAYOUT_INFORMATION: the count, the signature, then 32-byte
  // PARTITION_INFORMATION entries; the buffer must hold all it announces.
  bool ok = data && !world_.faults().setLayoutFails() && layout.size() >= 8;
  const std::uint32_t count = ok ? Le32At(layout, 0) : 0;
  ok = ok && count >= 1 && count <= 4 && layout.size() >= 8 + 32 * std::size_t{count};
  std::optional<Player::Partition> mounted;
  std::uint8_t table[66] = {};
  for (std::uint32_t i = 0; ok && i < count; ++i) {
    const std::size_t e = 8 + 32 * std::size_t{i};
    const std::uint64_t start = Le64At(layout, e);
    const std::uint64_t length = Le64At(layout, e + 8);
    const std::uint8_t type = layout[e + 24];
    if (type == 0 || length == 0) continue;
    // The system refuses a partition that runs past the disk's end.
    ok = start % data->sectorSize == 0 && length % data->sectorSize == 0 &&
         start + length <= data->sizeBytes;
    if (!ok) break;
    std::uint8_t* entry = &table[16 * i];
    entry[0] = layout[e + 25] ? 0x80 : 0x00;
    entry[4] = type;
    PutChsFor(entry + 1, start / data->sectorSize);
    PutChsFor(entry + 5, (start + length) / data->sectorSize - 1);
    PutLe32At(entry + 8, static_cast<std::uint32_t>(start / data->sectorSize));
    PutLe32At(entry + 12, static_cast<std::uint32_t>(length / data->sectorSize));
    if (!mounted) mounted = Player::Partition{start, length};
  }
  if (ok) {
    // The system writes the new table into the disk's first sector and
    // mounts the first partition as the volume; without one, there is none.
    table[64] = 0x55;
    table[65] = 0xAA;
    data->media.write(446, table);
    p->partition = mounted;
    p->partitioned = true;
  }
  world_.record(Event{.kind = EventKind::SetLayout,
                      .target = t ? t->path : std::string(),
                      .bytes = {layout.begin(), layout.end()},
                      .ok = ok});
  return ok;
}

SimVolumeIo::Region SimVolumeIo::dataRegion(platform::Handle handle) {
  Target* t = handles_.find(handle);
  Player* p = t ? LivePlayer(world_, *t) : nullptr;
  SimDrive* data = p ? p->dataDrive() : nullptr;
  if (!data) return {};
  if (t->kind == TargetKind::PlayerVolume && p->partition)
    return {data, p->partition->offset, p->partition->length, t->locked};
  if (t->kind == TargetKind::PlayerVolume && !p->hasVolume()) return {};
  return {data, 0, data->sizeBytes, t->locked};
}

bool SimVolumeIo::readAt(platform::Handle handle, std::uint64_t offset,
                         std::span<std::uint8_t> out) {
  const auto guard = world_.lock();
  Target* t = handles_.find(handle);
  const Region region = dataRegion(handle);
  const bool ok = region.drive && offset + out.size() <= region.length;
  if (ok) {
    const std::uint64_t from = region.base + offset;
    region.drive->media.read(from, out);
    for (std::uint64_t at : world_.faults().dataDriveReadCorruptions())
      if (at >= from && at < from + out.size()) out[at - from] ^= 0x5A;
  }
  world_.record(Event{.kind = EventKind::Read,
                      .target = t ? t->path : std::string(),
                      .length = static_cast<std::uint32_t>(out.size()),
                      .value = offset,
                      .ok = ok});
  return ok;
}

bool SimVolumeIo::writeAt(platform::Handle handle, std::uint64_t offset,
                          std::span<const std::uint8_t> bytes) {
  const auto guard = world_.lock();
  Target* t = handles_.find(handle);
  const Region region = dataRegion(handle);
  // The system lets raw writes reach a disk or volume only while it is
  // locked, so that no file system holds it.
  const bool ok = region.drive && region.locked && offset + bytes.size() <= region.length;
  if (ok) region.drive->media.write(region.base + offset, bytes);
  world_.record(Event{.kind = EventKind::Write,
                      .target = t ? t->path : std::string(),
                      .length = static_cast<std::uint32_t>(bytes.size()),
                      .value = offset,
                      .ok = ok});
  return ok;
}

}  // namespace kx7::sim
