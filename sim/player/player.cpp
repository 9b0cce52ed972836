#include "sim/player/player.h"

#include <algorithm>
#include <cstring>

namespace kx7::sim {

namespace {

// The simulator decodes the wire with helpers of its own, so that it checks
// the library's byte order instead of sharing it.
std::uint16_t Be16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
std::uint32_t Be32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
std::uint64_t Be64(const std::uint8_t* p) {
  return std::uint64_t{Be32(p)} << 32 | Be32(p + 4);
}
std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
}
void PutBe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
void PutBe32(std::uint8_t* p, std::uint32_t v) {
  PutBe16(p, static_cast<std::uint16_t>(v >> 16));
  PutBe16(p + 2, static_cast<std::uint16_t>(v));
}
void PutBe64(std::uint8_t* p, std::uint64_t v) {
  PutBe32(p, static_cast<std::uint32_t>(v >> 32));
  PutBe32(p + 4, static_cast<std::uint32_t>(v));
}

// Copies what fits of `bytes` into the response.
void Answer(std::span<std::uint8_t> data, std::span<const std::uint8_t> bytes) {
  std::memcpy(data.data(), bytes.data(), std::min(data.size(), bytes.size()));
}

constexpr ScsiResult kGood{true, std::nullopt};
constexpr ScsiResult kCheckCondition{false, std::nullopt};

constexpr std::uint64_t kMiB = 1024 * 1024;

// The updater allocates whole erase blocks.
constexpr std::uint64_t kEraseBlock = 128 * 1024;
// A hidden or system drive asked for with size 0 gets this much.
constexpr std::uint64_t kDefaultDriveBytes = 1 * kMiB;
constexpr std::uint8_t kDriveTypeData = 0;
constexpr std::uint8_t kDriveTypeHiddenData = 2;

// Data and hidden data drives hold 512-byte sectors behind the flash
// translation layer; the others hold the flash's own 2048-byte pages.
std::uint32_t SectorSizeForType(std::uint8_t type) {
  return type == kDriveTypeData || type == kDriveTypeHiddenData ? 512 : 2048;
}

// Unwritten sectors of the data drive read as zeros, like any disk's.
std::uint8_t ErasedValueForType(std::uint8_t type) {
  return type == kDriveTypeData ? 0x00 : SparseMedia::kErased;
}

std::uint64_t RoundUp(std::uint64_t value, std::uint64_t unit) {
  return (value + unit - 1) / unit * unit;
}

// Whether a read or write of logical drive sectors (first sector at CDB bytes
// 3-10, count at 11-14) lies within drive `d` and matches the data's length.
bool SectorRunFits(const SimDrive* d, std::span<const std::uint8_t> cdb, std::size_t bytes) {
  if (!d || d->sectorSize == 0) return false;
  const std::uint64_t start = Be64(&cdb[3]);
  const std::uint32_t count = Be32(&cdb[11]);
  const std::uint64_t sectors = (d->sizeBytes + d->sectorSize - 1) / d->sectorSize;
  return bytes == std::uint64_t{count} * d->sectorSize && start + count <= sectors;
}

}  // namespace

const char* ToString(PlayerMode mode) {
  switch (mode) {
    case PlayerMode::Normal:
      return "normal";
    case PlayerMode::RomRecovery:
      return "rom-recovery";
    case PlayerMode::Updater:
      return "updater";
    case PlayerMode::Restarting:
      return "restarting";
    case PlayerMode::Unplugged:
      return "unplugged";
  }
  return "unknown";
}

bool LooksLikeSbImage(std::span<const std::uint8_t> image) {
  if (image.size() < 0x60) return false;
  return std::memcmp(&image[0x14], "STMP", 4) == 0 || std::memcmp(&image[0x14], "RSRC", 4) == 0;
}

std::vector<SimDrive> FactoryDrives(const std::vector<std::uint8_t>& firmware, Triple product,
                                    Triple component) {
  struct Layout {
    std::uint8_t number, type, tag;
    std::uint64_t size;
    std::uint32_t sectorSize;
  };
  static constexpr Layout kLayout[] = {
      {0, 0, 0x0A, 64 * kMiB, 512},   {1, 2, 0x0B, 1 * kMiB, 512},   {2, 1, 0x50, 2 * kMiB, 2048},
      {3, 1, 0x60, 2 * kMiB, 2048},   {4, 1, 0x70, 2 * kMiB, 2048},  {5, 5, 0xA0, 256 * 1024, 2048},
      {6, 1, 0xFF, 512 * 1024, 2048}, {8, 2, 0x0C, 256 * 1024, 512},
  };
  std::vector<SimDrive> drives;
  for (const Layout& l : kLayout) {
    SimDrive d;
    d.number = l.number;
    d.type = l.type;
    d.tag = l.tag;
    d.sizeBytes = l.size;
    d.sectorSize = l.sectorSize;
    d.media = SparseMedia(l.size, ErasedValueForType(l.type));
    if (l.tag == 0x50 || l.tag == 0x60 || l.tag == 0x70) {
      d.media.write(0, firmware);
      d.productVersion = product;
      d.componentVersion = component;
    }
    drives.push_back(std::move(d));
  }
  return drives;
}

Player::Player(PlayerConfig cfg) : config(std::move(cfg)) {}

void Player::enter(PlayerMode next) {
  mode = next;
  ++generation;
  if (mode == PlayerMode::Normal || mode == PlayerMode::Updater) readPartitionTable();
  if (mode == PlayerMode::RomRecovery) resetHidDownload();
}

PlayerMode Player::powerOnMode() const {
  return hasBootableFirmware() ? PlayerMode::Normal : PlayerMode::RomRecovery;
}

void Player::plugIn(bool recoveryButtonHeld) {
  enter(recoveryButtonHeld ? PlayerMode::RomRecovery : powerOnMode());
}

std::optional<Arrival> Player::leave(Leaving why) {
  mode = why == Leaving::Unplugged ? PlayerMode::Unplugged : PlayerMode::Restarting;
  ++generation;
  switch (why) {
    case Leaving::ResetToRecovery:
      return Arrival{PlayerMode::RomRecovery, config.recoveryEntryDelayMs, generation};
    case Leaving::ChipReset:
      return Arrival{powerOnMode(), config.rebootDelayMs, generation};
    case Leaving::UpdaterDownloaded:
      return Arrival{PlayerMode::Updater, config.updaterStartDelayMs, generation};
    case Leaving::Unplugged:
      break;
  }
  return std::nullopt;
}

bool Player::arrive(const Arrival& arrival) {
  if (arrival.generation != generation) return false;
  enter(arrival.mode);
  return true;
}

SimDrive* Player::driveByNumber(std::uint8_t number) {
  for (SimDrive& d : drives)
    if (d.number == number) return &d;
  return nullptr;
}

SimDrive* Player::driveByTag(std::uint8_t tag) {
  for (SimDrive& d : drives)
    if (d.tag == tag) return &d;
  return nullptr;
}

const SimDrive* Player::driveByTag(std::uint8_t tag) const {
  for (const SimDrive& d : drives)
    if (d.tag == tag) return &d;
  return nullptr;
}

bool Player::hasBootableFirmware() const {
  for (std::uint8_t tag : {0x50, 0x60, 0x70}) {
    if (const SimDrive* d = driveByTag(tag); d && LooksLikeSbImage(d->media.read(0, 0x60)))
      return true;
  }
  return false;
}

std::string Player::fileSystemName() const {
  const SimDrive* data = dataDrive();
  if (!data) return "";
  if (factoryFileSystem) return config.fileSystem;
  if (!hasVolume()) return "";
  // The boot sector at the start of the volume, as the host's FAT driver
  // would judge it before mounting.
  std::uint8_t boot[512];
  data->media.read(partition ? partition->offset : 0, boot);
  if (boot[510] != 0x55 || boot[511] != 0xAA) return "";
  if ((boot[11] | boot[12] << 8) != static_cast<int>(data->sectorSize)) return "";
  if (std::memcmp(&boot[82], "FAT32   ", 8) == 0) return "FAT32";
  if (std::memcmp(&boot[54], "FAT16   ", 8) == 0 || std::memcmp(&boot[54], "FAT12   ", 8) == 0)
    return "FAT";
  return "";
}

bool Player::hasPartitionTable() const {
  const SimDrive* data = dataDrive();
  if (!data) return false;
  std::uint8_t mbr[512];
  data->media.read(0, mbr);
  if (mbr[510] != 0x55 || mbr[511] != 0xAA) return false;
  // A FAT boot sector (it starts with a jump) with no partition in its
  // table is a file system over the whole disk.
  return !((mbr[0] == 0xEB || mbr[0] == 0xE9) && !partitionInTable());
}

std::optional<Player::Partition> Player::partitionInTable() const {
  const SimDrive* data = dataDrive();
  if (!data) return std::nullopt;
  std::uint8_t mbr[512];
  data->media.read(0, mbr);
  if (mbr[510] != 0x55 || mbr[511] != 0xAA) return std::nullopt;
  const std::uint8_t* entry = &mbr[446];
  const std::uint64_t offset = std::uint64_t{Le32(entry + 8)} * data->sectorSize;
  const std::uint64_t length = std::uint64_t{Le32(entry + 12)} * data->sectorSize;
  if (entry[4] == 0 || length == 0 || offset >= data->sizeBytes) return std::nullopt;
  return Partition{offset, std::min(length, data->sizeBytes - offset)};
}

void Player::readPartitionTable() {
  partition.reset();
  partitioned = false;
  if (factoryFileSystem) return;
  partitioned = hasPartitionTable();
  partition = partitionInTable();
}

void Player::dropFileSystem() {
  factoryFileSystem = false;
  rootFiles.clear();
}

Triple Player::firmwareVersion() const {
  const SimDrive* d = driveByTag(0x50);
  return d ? d->productVersion : Triple{0, 0, 0};
}

void Player::inquiry(std::span<std::uint8_t> data) const {
  std::uint8_t answer[96] = {};
  answer[0] = 0x00;  // direct-access block device
  answer[1] = 0x80;  // removable medium
  answer[2] = 0x04;
  answer[3] = 0x02;
  answer[4] = sizeof answer - 5;
  const bool updater = mode == PlayerMode::Updater;
  std::memcpy(&answer[8], updater ? "_Generic" : "Korvane ", 8);
  std::memcpy(&answer[16], updater ? "MSC Recovery    " : "Tessio Mirl     ", 16);
  std::memcpy(&answer[32], updater ? "0001" : "0102", 4);
  Answer(data, answer);
}

ScsiResult Player::execute(std::span<const std::uint8_t> cdb, bool dataIn,
                           std::span<std::uint8_t> data) {
  if (cdb.empty()) return kCheckCondition;
  switch (cdb[0]) {
    case 0x12:  // INQUIRY
      if (!dataIn) return kCheckCondition;
      inquiry(data.first(std::min<std::size_t>(data.size(), cdb.size() > 4 ? cdb[4] : 0)));
      return kGood;
    case 0x25: {  // READ CAPACITY(10)
      const SimDrive* volume = dataDrive();
      if (!dataIn || !volume || volume->sectorSize == 0 || data.size() < 8) return kCheckCondition;
      const std::uint64_t sectors = volume->sizeBytes / volume->sectorSize;
      PutBe32(data.data(), static_cast<std::uint32_t>(sectors - 1));
      PutBe32(data.data() + 4, volume->sectorSize);
      return kGood;
    }
    case 0xC0:
      if (!dataIn || cdb.size() < 16) return kCheckCondition;
      return vendorIn(cdb, data);
    case 0xC1:
      if (dataIn || cdb.size() < 16) return kCheckCondition;
      return vendorOut(cdb, data);
    default:
      return kCheckCondition;
  }
}

ScsiResult Player::vendorIn(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data) {
  switch (cdb[1]) {
    case 0x00: {  // protocol version
      const std::uint8_t answer[2] = {static_cast<std::uint8_t>(config.protocolVersion), 0};
      Answer(data, answer);
      return kGood;
    }
    case 0x02: {  // logical media info
      std::uint8_t answer[8] = {};
      if (cdb[2] == 9) {
        answer[0] = config.mediaPresentFlag;
      } else if (cdb[2] == 6) {
        answer[0] = config.mediaType;
      } else if (cdb[2] == 1) {
        std::uint64_t total = 0;
        for (const SimDrive& d : drives) total += d.sizeBytes;
        PutBe64(answer, total);
      } else {
        return kCheckCondition;
      }
      Answer(data, answer);
      return kGood;
    }
    case 0x05: {  // logical table
      std::vector<std::uint8_t> answer(2);
      if (logicalTableOverride) {
        PutBe16(answer.data(), logicalTableOverride->first);
        answer.insert(answer.end(), logicalTableOverride->second.begin(),
                      logicalTableOverride->second.end());
      } else {
        PutBe16(answer.data(), static_cast<std::uint16_t>(drives.size()));
        for (const SimDrive& d : drives) {
          std::uint8_t entry[11] = {d.number, d.type, d.tag};
          PutBe64(entry + 3, d.sizeBytes);
          answer.insert(answer.end(), entry, entry + sizeof entry);
        }
      }
      Answer(data, answer);
      return kGood;
    }
    case 0x12: {  // logical drive info
      const SimDrive* d = driveByNumber(cdb[2]);
      if (!d) return kCheckCondition;
      std::uint8_t answer[8] = {};
      switch (cdb[3]) {
        case 0:
          PutBe32(answer, d->sectorSize);
          break;
        case 1:
          PutBe64(answer, d->sizeBytes / std::max<std::uint32_t>(d->sectorSize, 1));
          break;
        case 7:
        case 8: {
          const Triple& v = cdb[3] == 8 ? d->productVersion : d->componentVersion;
          for (int k = 0; k < 3; ++k) PutBe16(answer + 2 * k, v[k]);
          break;
        }
        default:
          return kCheckCondition;
      }
      Answer(data, answer);
      return kGood;
    }
    case 0x13: {  // read logical drive sectors
      SimDrive* d = driveByNumber(cdb[2]);
      if (!SectorRunFits(d, cdb, data.size())) return kCheckCondition;
      d->media.read(Be64(&cdb[3]) * d->sectorSize, data);
      return kGood;
    }
    case 0x30: {  // chip major revision
      std::uint8_t answer[2];
      PutBe16(answer, config.chipMajorRevId);
      Answer(data, answer);
      return kGood;
    }
    case 0x37: {  // ROM revision
      std::uint8_t answer[2];
      PutBe16(answer, config.romRevId);
      Answer(data, answer);
      return kGood;
    }
    default:
      return kCheckCondition;
  }
}

ScsiResult Player::vendorOut(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data) {
  switch (cdb[1]) {
    case 0x06:  // allocate logical media
      return allocate(cdb, data) ? kGood : kCheckCondition;
    case 0x07:  // erase logical media
      if (!data.empty()) return kCheckCondition;
      drives.clear();
      dropFileSystem();
      return kGood;
    case 0x20: {  // set logical drive info
      SimDrive* d = driveByNumber(cdb[2]);
      if (!d || !data.empty()) return kCheckCondition;
      switch (cdb[3]) {
        case 6:
          d->infoByte6 = cdb[4];
          return kGood;
        case 7:
        case 8: {
          Triple& v = cdb[3] == 8 ? d->productVersion : d->componentVersion;
          for (int k = 0; k < 3; ++k) v[k] = Be16(&cdb[4 + 2 * k]);
          return kGood;
        }
        default:
          return kCheckCondition;
      }
    }
    case 0x23: {  // write logical drive sectors
      SimDrive* d = driveByNumber(cdb[2]);
      if (!SectorRunFits(d, cdb, data.size())) return kCheckCondition;
      d->media.write(Be64(&cdb[3]) * d->sectorSize, data);
      return kGood;
    }
    case 0x2F: {  // erase logical drive
      SimDrive* d = driveByNumber(cdb[2]);
      if (!d || !data.empty()) return kCheckCondition;
      d->media.erase();
      if (d == dataDrive()) dropFileSystem();
      return kGood;
    }
    case 0x31:  // chip reset
      if (!data.empty()) return kCheckCondition;
      ++chipResetCount;
      return {true, Leaving::ChipReset};
    case 0x42:  // reset to recovery
      if (!data.empty() || config.protocolVersion < 4) return kCheckCondition;
      ++resetToRecoveryCount;
      return {true, Leaving::ResetToRecovery};
    default:
      return kCheckCondition;
  }
}

bool Player::allocate(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> payload) {
  const std::size_t count = cdb[2];
  // Ten bytes per entry travel in eleven bytes of transfer per entry.
  if (count == 0 || payload.size() != count * 11) return false;
  std::vector<SimDrive> fresh;
  SimDrive* rest = nullptr;  // the data drive asked for with size 0
  std::uint64_t used = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* entry = &payload[i * 10];
    SimDrive d;
    d.number = static_cast<std::uint8_t>(i);
    d.type = entry[0];
    d.tag = entry[1];
    for (const SimDrive& other : fresh)
      if (other.tag == d.tag) return false;
    const std::uint64_t requested = Be64(entry + 2);
    d.sizeBytes = RoundUp(requested != 0 ? requested : kDefaultDriveBytes, kEraseBlock);
    if (requested == 0 && d.type == kDriveTypeData) d.sizeBytes = 0;
    d.sectorSize = SectorSizeForType(d.type);
    used += d.sizeBytes;
    fresh.push_back(std::move(d));
  }
  for (SimDrive& d : fresh) {
    if (d.sizeBytes != 0 || d.type != kDriveTypeData) continue;
    if (rest) return false;  // only one drive can take what is left
    rest = &d;
  }
  if (used > config.mediaBytes) return false;
  if (rest) {
    rest->sizeBytes = (config.mediaBytes - used) / kEraseBlock * kEraseBlock;
    if (rest->sizeBytes == 0) return false;
  }
  for (SimDrive& d : fresh) d.media = SparseMedia(d.sizeBytes, ErasedValueForType(d.type));
  drives = std::move(fresh);
  dropFileSystem();
  return true;
}

void Player::resetHidDownload() {
  hidExpected_.reset();
  hidImage_.clear();
  hidReports_ = 0;
  hidError_ = false;
}

bool Player::receiveHidReport(std::span<const std::uint8_t> report) {
  ++hidReports_;
  if (report.empty()) {
    hidError_ = true;
    return false;
  }
  if (report[0] == 0x01) {
    // The command block wrapper: "BLTC", tag, length, flags, unit, block
    // length, then the command block: 0x02 (download) and the size again,
    // big-endian this time.
    if (report.size() < 32 || std::memcmp(&report[1], "BLTC", 4) != 0 || Le32(&report[5]) != 1 ||
        report[13] != 0 || report[14] != 0 || report[15] != 0 || report[16] != 0x02 ||
        Be32(&report[17]) != Le32(&report[9])) {
      hidError_ = true;
      return false;
    }
    hidExpected_ = Le32(&report[9]);
    hidImage_.clear();
    return false;
  }
  if (report[0] != 0x02 || !hidExpected_ || hidImage_.size() >= *hidExpected_) {
    hidError_ = true;
    return false;
  }
  const std::size_t wanted = *hidExpected_ - hidImage_.size();
  const std::size_t carried = std::min(wanted, report.size() - 1);
  hidImage_.insert(hidImage_.end(), report.begin() + 1, report.begin() + 1 + carried);
  // The rest of a last, partial report is padding.
  if (std::any_of(report.begin() + 1 + carried, report.end(),
                  [](std::uint8_t b) { return b != 0xFF; }))
    hidError_ = true;
  return hidImage_.size() == *hidExpected_ && !hidError_ && LooksLikeSbImage(hidImage_);
}

}  // namespace kx7::sim
