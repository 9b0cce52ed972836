#include "tools/usb-player/factory_volume.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "util/byte_order.h"

namespace kx7::usbplayer {

namespace {

constexpr std::uint32_t kSector = 512;
constexpr std::uint16_t kReserved = 4;
constexpr std::uint16_t kRootEntries = 512;
constexpr std::uint32_t kRootSectors = kRootEntries * 32 / kSector;
constexpr std::uint32_t kMinFat16Clusters = 4085, kMaxFat16Clusters = 65524;

struct Layout {
  std::uint32_t sectors = 0;  // of the volume
  std::uint32_t perCluster = 0;
  std::uint32_t fatSectors = 0;
  std::uint32_t clusters = 0;
  std::uint32_t firstData() const { return kReserved + 2 * fatSectors + kRootSectors; }
};

bool PlanFat16(std::uint32_t sectors, Layout& layout) {
  for (std::uint32_t perCluster = 1; perCluster <= 64; perCluster *= 2) {
    std::uint32_t clusters = (sectors - kReserved - kRootSectors) / perCluster;
    const std::uint32_t fatSectors = ((clusters + 2) * 2 + kSector - 1) / kSector;
    clusters = (sectors - kReserved - kRootSectors - 2 * fatSectors) / perCluster;
    if (clusters > kMaxFat16Clusters) continue;
    if (clusters < kMinFat16Clusters) return false;
    layout = {sectors, perCluster, fatSectors, clusters};
    return true;
  }
  return false;
}

bool IsShortName(const std::string& name) {
  const std::size_t dot = name.find('.');
  const std::string base = name.substr(0, dot);
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3 || ext.find('.') != std::string::npos)
    return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::isupper(static_cast<unsigned char>(c)) ||
           std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
  });
}

// The 11 bytes of a directory entry's name.
std::array<std::uint8_t, 11> NameField(const std::string& shortName) {
  std::array<std::uint8_t, 11> field;
  field.fill(' ');
  const std::size_t dot = shortName.find('.');
  const std::string base = shortName.substr(0, dot);
  const std::string ext = dot == std::string::npos ? "" : shortName.substr(dot + 1);
  std::memcpy(field.data(), base.data(), std::min<std::size_t>(base.size(), 8));
  std::memcpy(field.data() + 8, ext.data(), std::min<std::size_t>(ext.size(), 3));
  return field;
}

std::uint8_t Checksum(const std::array<std::uint8_t, 11>& name) {
  std::uint8_t sum = 0;
  for (std::uint8_t c : name) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + c);
  return sum;
}

// The long-name entries for `name`, last part first, as they precede the
// short entry.
std::vector<std::array<std::uint8_t, 32>> LongNameEntries(const std::string& name,
                                                          std::uint8_t checksum) {
  std::vector<std::uint16_t> units(name.begin(), name.end());
  units.push_back(0);
  const std::size_t parts = (units.size() + 12) / 13;
  units.resize(parts * 13, 0xFFFF);
  static constexpr int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  std::vector<std::array<std::uint8_t, 32>> entries;
  for (std::size_t part = parts; part-- > 0;) {
    std::array<std::uint8_t, 32> e{};
    e[0] = static_cast<std::uint8_t>((part + 1) | (part + 1 == parts ? 0x40 : 0));
    e[11] = 0x0F;  // long-name attributes
    e[13] = checksum;
    for (int i = 0; i < 13; ++i) PutLe16(&e[kOffsets[i]], units[part * 13 + i]);
    entries.push_back(e);
  }
  return entries;
}

// The 8.3 alias of a long name: the first letters, "~n" and the extension.
std::string ShortNameFor(const std::string& name, int ordinal) {
  std::string base, ext;
  const std::size_t dot = name.rfind('.');
  for (std::size_t i = 0; i < name.size() && i != dot; ++i)
    if (std::isalnum(static_cast<unsigned char>(name[i])))
      base += static_cast<char>(std::toupper(static_cast<unsigned char>(name[i])));
  if (dot != std::string::npos)
    for (std::size_t i = dot + 1; i < name.size() && ext.size() < 3; ++i)
      if (std::isalnum(static_cast<unsigned char>(name[i])))
        ext += static_cast<char>(std::toupper(static_cast<unsigned char>(name[i])));
  const std::string tail = "~" + std::to_string(ordinal);
  base = base.substr(0, 8 - tail.size()) + tail;
  return ext.empty() ? base : base + "." + ext;
}

}  // namespace

bool LayFactoryVolume(sim::Player& player, std::string& error) {
  sim::SimDrive* data = player.dataDrive();
  if (!player.factoryFileSystem || !data) return true;
  if (data->sectorSize != kSector) {
    error = "the data drive's sectors are not 512 bytes";
    return false;
  }
  std::uint8_t first[kSector];
  data->media.read(0, first);
  if (std::any_of(first, first + kSector, [](std::uint8_t b) { return b != 0; })) return true;

  const std::uint64_t driveSectors = data->sizeBytes / kSector;
  Layout layout;
  if (driveSectors <= kFactoryPartitionStart || driveSectors > 0xFFFFFFFFull ||
      !PlanFat16(static_cast<std::uint32_t>(driveSectors - kFactoryPartitionStart), layout)) {
    error = "the data drive is too small or too large for the factory FAT16 volume";
    return false;
  }
  const std::uint64_t base = std::uint64_t{kFactoryPartitionStart} * kSector;

  // The partition table: one FAT16 (LBA) partition.
  std::uint8_t mbr[kSector] = {};
  std::uint8_t* entry = &mbr[446];
  entry[0] = 0x00;
  entry[1] = 0xFE, entry[2] = 0xFF, entry[3] = 0xFF;  // CHS beyond reach: use the LBA
  entry[4] = 0x0E;
  entry[5] = 0xFE, entry[6] = 0xFF, entry[7] = 0xFF;
  PutLe32(entry + 8, kFactoryPartitionStart);
  PutLe32(entry + 12, layout.sectors);
  mbr[510] = 0x55, mbr[511] = 0xAA;
  data->media.write(0, mbr);

  std::uint8_t boot[kSector] = {0xEB, 0x3C, 0x90, 'M', 'S', 'D', 'O', 'S', '5', '.', '0'};
  PutLe16(&boot[11], kSector);
  boot[13] = static_cast<std::uint8_t>(layout.perCluster);
  PutLe16(&boot[14], kReserved);
  boot[16] = 2;
  PutLe16(&boot[17], kRootEntries);
  if (layout.sectors < 0x10000)
    PutLe16(&boot[19], static_cast<std::uint16_t>(layout.sectors));
  else
    PutLe32(&boot[32], layout.sectors);
  boot[21] = 0xF8;
  PutLe16(&boot[22], static_cast<std::uint16_t>(layout.fatSectors));
  PutLe16(&boot[24], 63);
  PutLe16(&boot[26], 255);
  PutLe32(&boot[28], kFactoryPartitionStart);
  boot[36] = 0x80;
  boot[38] = 0x29;
  PutLe32(&boot[39], 0x4B583754);
  std::memcpy(&boot[43], "TESSIO     FAT16   ", 19);
  boot[510] = 0x55, boot[511] = 0xAA;
  data->media.write(base, boot);

  // Files one after another from cluster 2; the root holds the label and
  // an entry (long name first where needed) for each.
  std::vector<std::uint16_t> fat(layout.clusters + 2, 0);
  fat[0] = 0xFFF8, fat[1] = 0xFFFF;
  std::vector<std::uint8_t> root(kRootSectors * kSector, 0);
  std::size_t slot = 0;
  const auto put = [&](const std::uint8_t* entryBytes) {
    std::memcpy(&root[slot++ * 32], entryBytes, 32);
  };
  std::uint8_t label[32] = {'T', 'E', 'S', 'S', 'I', 'O', ' ', ' ', ' ', ' ', ' ', 0x08};
  put(label);
  const std::uint32_t clusterBytes = layout.perCluster * kSector;
  std::uint32_t cluster = 2;
  int ordinal = 1;
  for (const auto& [name, bytes] : player.rootFiles) {
    const std::uint32_t count =
        static_cast<std::uint32_t>((bytes.size() + clusterBytes - 1) / clusterBytes);
    const std::size_t longEntries = IsShortName(name) ? 0 : (name.size() + 13) / 13;
    if (cluster + count > layout.clusters + 2 || slot + 1 + longEntries > kRootEntries) {
      error = "the settings files do not fit the factory volume";
      return false;
    }
    const std::string shortName = IsShortName(name) ? name : ShortNameFor(name, ordinal++);
    const auto field = NameField(shortName);
    if (longEntries)
      for (const auto& e : LongNameEntries(name, Checksum(field))) put(e.data());
    std::uint8_t e[32] = {};
    std::memcpy(e, field.data(), 11);
    e[11] = 0x20;  // archive
    PutLe16(&e[26], count ? static_cast<std::uint16_t>(cluster) : 0);
    PutLe32(&e[28], static_cast<std::uint32_t>(bytes.size()));
    put(e);
    for (std::uint32_t i = 0; i < count; ++i)
      fat[cluster + i] = i + 1 == count ? 0xFFFF : static_cast<std::uint16_t>(cluster + i + 1);
    const std::uint64_t at = base + (std::uint64_t{layout.firstData()} +
                                     std::uint64_t{cluster - 2} * layout.perCluster) *
                                        kSector;
    data->media.write(at, bytes);
    cluster += count;
  }
  std::vector<std::uint8_t> fatBytes(layout.fatSectors * kSector, 0);
  for (std::size_t i = 0; i < fat.size(); ++i) PutLe16(&fatBytes[i * 2], fat[i]);
  for (std::uint32_t copy = 0; copy < 2; ++copy)
    data->media.write(base + (kReserved + copy * layout.fatSectors) * std::uint64_t{kSector},
                      fatBytes);
  data->media.write(base + (kReserved + 2 * layout.fatSectors) * std::uint64_t{kSector}, root);
  // What the host sees now lies in the sectors themselves.
  player.factoryFileSystem = false;
  player.readPartitionTable();
  return true;
}

}  // namespace kx7::usbplayer
