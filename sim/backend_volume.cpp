#include <cstring>

#include "sim/backends.h"
#include "sim/text.h"
#include "sim/world.h"

namespace kx7::sim {

namespace {

// The SCSI_PASS_THROUGH header as Windows lays it out, read independently of
// the library's own constants.
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

}  // namespace

std::uint32_t SimVolumeIo::logicalDriveMask() {
  return world_.logicalDriveMask();
}

platform::DriveType SimVolumeIo::driveType(std::string_view rootPath) {
  const char letter = LetterOfRoot(rootPath);
  if (world_.playerAtLetter(letter) >= 0) return platform::DriveType::Removable;
  if (const auto it = world_.hostDrives_.find(letter); it != world_.hostDrives_.end())
    return it->second.type;
  return platform::DriveType::NoRootDir;
}

std::string SimVolumeIo::fileSystemName(std::string_view rootPath) {
  const char letter = LetterOfRoot(rootPath);
  if (const int p = world_.playerAtLetter(letter); p >= 0)
    return world_.player(static_cast<std::size_t>(p)).config.fileSystem;
  if (const auto it = world_.hostDrives_.find(letter); it != world_.hostDrives_.end())
    return it->second.fileSystem;
  return "";
}

platform::Handle SimVolumeIo::openDevice(std::string_view path) {
  const std::string upper = Upper(path);
  World::Target target{World::TargetKind::HostVolume, std::string(path)};
  bool found = false;
  if (upper.size() == 6 && upper.rfind("\\\\.\\", 0) == 0 && upper[5] == ':') {
    const char letter = upper[4];
    if (const int p = world_.playerAtLetter(letter); p >= 0) {
      target.kind = World::TargetKind::PlayerVolume;
      target.player = p;
      target.generation = world_.player(static_cast<std::size_t>(p)).generation;
      target.letter = letter;
      found = true;
    } else if (world_.hostDrives_.count(letter)) {
      target.kind = World::TargetKind::HostVolume;
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
        target.kind = World::TargetKind::HostDisk;
        found = true;
      } else if (static_cast<std::size_t>(disk) <= world_.players_.size() &&
                 world_.player(static_cast<std::size_t>(disk - 1)).letter != 0) {
        target.kind = World::TargetKind::PlayerDisk;
        target.player = disk - 1;
        target.generation = world_.player(static_cast<std::size_t>(disk - 1)).generation;
        found = true;
      }
    }
  }
  const platform::Handle handle = found ? world_.newHandle(target) : platform::Handle::invalid();
  world_.transcript_.add(Event{.kind = EventKind::Open,
                               .time = world_.clock_.now(),
                               .target = std::string(path),
                               .value = handle.value(),
                               .ok = found});
  return handle;
}

void SimVolumeIo::closeHandle(platform::Handle handle) {
  World::Target* t = world_.target(handle);
  world_.transcript_.add(Event{.kind = EventKind::Close,
                               .time = world_.clock_.now(),
                               .target = t ? t->path : std::string(),
                               .value = handle.value(),
                               .ok = t != nullptr});
  world_.handles_.erase(handle.value());
}

bool SimVolumeIo::scsiPassThrough(platform::Handle handle, std::span<std::uint8_t> request) {
  Event event{.kind = EventKind::Scsi, .time = world_.clock_.now()};
  World::Target* t = world_.target(handle);
  event.target = t ? t->path : "(no handle)";
  PassThroughView view{};
  if (!Parse(request, view)) {
    event.outcome = "malformed";
    event.ok = false;
    world_.transcript_.add(std::move(event));
    return false;
  }
  const std::span<const std::uint8_t> cdb(&request[28], view.cdbLength);
  const std::span<std::uint8_t> data = request.subspan(view.dataOffset, view.transferLength);
  event.bytes.assign(cdb.begin(), cdb.end());
  event.name = view.dataIn ? "in" : (view.transferLength ? "out" : "none");
  event.length = view.transferLength;
  event.timeout = view.timeout;

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
    world_.transcript_.add(std::move(event));
    return delivered;
  };

  if (!t || t->kind == World::TargetKind::HidDevice || t->kind == World::TargetKind::OtherHid)
    return finish("not-delivered", false, false);
  Player* player = world_.livePlayer(*t);
  const bool toPlayer =
      t->kind == World::TargetKind::PlayerVolume || t->kind == World::TargetKind::PlayerDisk;
  if (toPlayer && (!player || !player->answersScsi()))
    return finish("not-delivered", false, false);  // the device has left the bus

  switch (world_.faults_.onScsi(cdb.data(), cdb.size())) {
    case Faults::ScsiAction::NotDelivered:
      return finish("not-delivered", false, false);
    case Faults::ScsiAction::CheckCondition:
      return finish("check-condition", true, false);
    case Faults::ScsiAction::None:
      break;
  }

  if (!toPlayer) {
    // A host drive taken away since the open has left, like a player would.
    const auto drive = world_.hostDrives_.find(t->letter);
    if (t->kind == World::TargetKind::HostVolume && drive == world_.hostDrives_.end())
      return finish("not-delivered", false, false);
    if (cdb[0] == 0x12 && view.dataIn) {
      const bool removable = t->kind == World::TargetKind::HostVolume &&
                             drive->second.type == platform::DriveType::Removable;
      ForeignInquiry(data, removable);
      return finish("good", true, true);
    }
    return finish("check-condition", true, false);
  }

  const ScsiResult result = player->execute(cdb, view.dataIn == 1, data);
  // A drive whose reads come back altered.
  if (result.good && cdb[0] == 0xC0 && cdb[1] == 0x13) {
    if (const SimDrive* drive = player->driveByNumber(cdb[2])) {
      if (const auto at = world_.faults_.driveReadCorruption(drive->tag)) {
        const std::uint64_t start = (std::uint64_t{cdb[3]} << 56 | std::uint64_t{cdb[4]} << 48 |
                                     std::uint64_t{cdb[5]} << 40 | std::uint64_t{cdb[6]} << 32 |
                                     std::uint64_t{cdb[7]} << 24 | std::uint64_t{cdb[8]} << 16 |
                                     std::uint64_t{cdb[9]} << 8 | cdb[10]) *
                                    drive->sectorSize;
        if (*at >= start && *at < start + data.size()) data[*at - start] ^= 0x5A;
      }
    }
  }
  const bool delivered = finish(result.good ? "good" : "check-condition", true, result.good);
  world_.applyEffect(static_cast<std::size_t>(t->player), result.effect);
  return delivered;
}

bool SimVolumeIo::lockVolume(platform::Handle handle) {
  World::Target* t = world_.target(handle);
  bool ok = t && t->kind != World::TargetKind::HidDevice &&
            (t->player < 0 || world_.livePlayer(*t)) && !world_.faults_.takeLockRefusal();
  if (ok) t->locked = true;
  world_.transcript_.add(Event{.kind = EventKind::Lock,
                               .time = world_.clock_.now(),
                               .target = t ? t->path : std::string(),
                               .ok = ok});
  return ok;
}

bool SimVolumeIo::unlockVolume(platform::Handle handle) {
  World::Target* t = world_.target(handle);
  bool ok = t && t->locked && (t->player < 0 || world_.livePlayer(*t)) &&
            !world_.faults_.takeUnlockRefusal();
  if (ok) t->locked = false;
  world_.transcript_.add(Event{.kind = EventKind::Unlock,
                               .time = world_.clock_.now(),
                               .target = t ? t->path : std::string(),
                               .ok = ok});
  return ok;
}

bool SimVolumeIo::dismountVolume(platform::Handle handle) {
  World::Target* t = world_.target(handle);
  bool ok = t && (t->player < 0 || world_.livePlayer(*t)) && !world_.faults_.takeDismountRefusal();
  world_.transcript_.add(Event{.kind = EventKind::Dismount,
                               .time = world_.clock_.now(),
                               .target = t ? t->path : std::string(),
                               .ok = ok});
  return ok;
}

bool SimVolumeIo::driveGeometry(platform::Handle handle, platform::DiskGeometry& geometry) {
  World::Target* t = world_.target(handle);
  Player* p = t ? world_.livePlayer(*t) : nullptr;
  SimDrive* data = p ? p->dataDrive() : nullptr;
  const bool ok = data != nullptr;
  if (ok) {
    const std::uint64_t sectors = data->sizeBytes / data->sectorSize;
    geometry = {};
    geometry.tracksPerCylinder = 255;
    geometry.sectorsPerTrack = 63;
    geometry.cylinders = sectors / (255 * 63);
    geometry.mediaType = 11;  // RemovableMedia
    geometry.bytesPerSector = data->sectorSize;
  }
  world_.transcript_.add(Event{.kind = EventKind::Geometry,
                               .time = world_.clock_.now(),
                               .target = t ? t->path : std::string(),
                               .ok = ok});
  return ok;
}

bool SimVolumeIo::deleteDriveLayout(platform::Handle handle) {
  World::Target* t = world_.target(handle);
  const bool ok = t && world_.livePlayer(*t);
  world_.transcript_.add(Event{.kind = EventKind::DeleteLayout,
                               .time = world_.clock_.now(),
                               .target = t ? t->path : std::string(),
                               .ok = ok});
  return ok;
}

bool SimVolumeIo::setDriveLayout(platform::Handle handle, std::span<const std::uint8_t> layout) {
  World::Target* t = world_.target(handle);
  const bool ok = t && world_.livePlayer(*t) && layout.size() == 136;
  world_.transcript_.add(Event{.kind = EventKind::SetLayout,
                               .time = world_.clock_.now(),
                               .target = t ? t->path : std::string(),
                               .bytes = {layout.begin(), layout.end()},
                               .ok = ok});
  return ok;
}

bool SimVolumeIo::readAt(platform::Handle handle, std::uint64_t offset,
                         std::span<std::uint8_t> out) {
  World::Target* t = world_.target(handle);
  Player* p = t ? world_.livePlayer(*t) : nullptr;
  SimDrive* data = p ? p->dataDrive() : nullptr;
  const bool ok = data && offset + out.size() <= data->sizeBytes;
  if (ok) data->media.read(offset, out);
  world_.transcript_.add(Event{.kind = EventKind::Read,
                               .time = world_.clock_.now(),
                               .target = t ? t->path : std::string(),
                               .length = static_cast<std::uint32_t>(out.size()),
                               .value = offset,
                               .ok = ok});
  return ok;
}

bool SimVolumeIo::writeAt(platform::Handle handle, std::uint64_t offset,
                          std::span<const std::uint8_t> bytes) {
  World::Target* t = world_.target(handle);
  Player* p = t ? world_.livePlayer(*t) : nullptr;
  SimDrive* data = p ? p->dataDrive() : nullptr;
  const bool ok = data && offset + bytes.size() <= data->sizeBytes;
  if (ok) data->media.write(offset, bytes);
  world_.transcript_.add(Event{.kind = EventKind::Write,
                               .time = world_.clock_.now(),
                               .target = t ? t->path : std::string(),
                               .length = static_cast<std::uint32_t>(bytes.size()),
                               .value = offset,
                               .ok = ok});
  return ok;
}

}  // namespace kx7::sim
