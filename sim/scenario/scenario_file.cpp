#include "sim/scenario/scenario_file.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>

#include "sim/host/text.h"
#include "sim/scenario/default_scenario.h"
#include "sim/scenario/sb_file.h"
#include "sim/scenario/scenario_faults.h"
#include "sim/scenario/scenario_json.h"

namespace kx7::sim {

namespace {

using scenario::Object;
using scenario::Value;
using Bytes = std::vector<std::uint8_t>;

// Firmware files are built in memory; a recipe asking for more is a mistake.
constexpr std::uint64_t kMaxRecipeBytes = 64ull * 1024 * 1024;
constexpr std::uint8_t kDriveTypeData = 0;
constexpr std::uint8_t kDriveTypeHiddenData = 2;

struct HostDrive {
  char letter;
  platform::DriveType type;
  std::string fileSystem;
};

struct PlayerSpec {
  PlayerConfig config;
  std::vector<SimDrive> drives;
  std::map<std::string, Bytes> rootFiles;
};

// Everything a file says, checked, before anything of the world changes.
struct Described {
  std::string name;
  std::string description;
  OsPreset os = OsPreset::Windows7;
  bool is64Bit = false;
  std::optional<std::string> modulePath;
  std::vector<HostDrive> hostDrives;
  std::vector<std::pair<std::string, Bytes>> hostFiles;
  std::string firmwareFolder;
  bool realFirmwareFolder = false;
  std::vector<std::pair<std::string, Bytes>> firmwareFiles;
  std::vector<PlayerSpec> players;
  std::vector<std::function<void(World&)>> actions;
};

// A Windows path on a drive letter: "C:\...". `where` is refused otherwise.
void CheckWindowsPath(const std::string& path, const Value& where) {
  if (path.size() < 3 || !std::isalpha(static_cast<unsigned char>(path[0])) || path[1] != ':' ||
      path[2] != '\\')
    where.refuse("not a Windows path such as \"C:\\Folder\\file\"");
}

std::string WindowsPath(const Value& value) {
  std::string path = value.text();
  CheckWindowsPath(path, value);
  return path;
}

void NeedHostDrive(const Value& where, const std::string& path,
                   const std::map<char, std::string>& hostLetters) {
  if (!hostLetters.count(UpperLetter(path[0])))
    where.refuse(std::string("the host has no drive ") + UpperLetter(path[0]) + ":");
}

SbFileSpec ReadRecipe(const Value& value) {
  const Object o(value, {"product", "component", "size", "seed", "layout", "signature"});
  SbFileSpec recipe;
  recipe.productVersion = o.need("product").triple(9999);
  recipe.componentVersion =
      o.has("component") ? o.get("component")->triple(9999) : recipe.productVersion;
  if (auto size = o.get("size")) {
    const std::uint64_t bytes = size->bytes();
    if (bytes > kMaxRecipeBytes) size->refuse("larger than a firmware file can be (64 MiB)");
    recipe.size = static_cast<std::size_t>(bytes);
  }
  if (auto seed = o.get("seed"))
    recipe.seed = static_cast<std::uint32_t>(seed->integer(0, UINT32_MAX));
  if (auto layout = o.get("layout"))
    recipe.newerLayout = layout->choice({{"newer", 1}, {"older", 0}});
  if (auto signature = o.get("signature")) {
    recipe.signature = signature->text();
    if (recipe.signature.size() != 4) signature->refuse("not four characters");
  }
  return recipe;
}

// A file's bytes: {"text": ...}, {"hex": ...} or an SB file recipe.
Bytes ReadContent(const Value& value) {
  if (value.json().is_object() && value.json().contains("text")) {
    const std::string text = Object(value, {"text"}).need("text").text();
    return {text.begin(), text.end()};
  }
  if (value.json().is_object() && value.json().contains("hex"))
    return Object(value, {"hex"}).need("hex").hex();
  return BuildSbFile(ReadRecipe(value));
}

std::uint32_t Milliseconds(const Value& value) {
  return static_cast<std::uint32_t>(value.integer(0, UINT32_MAX));
}

void ReadTimings(const Value& value, PlayerConfig& config) {
  const Object o(value, {"recoveryEntryMs", "updaterStartMs", "rebootMs"});
  if (auto v = o.get("recoveryEntryMs")) config.recoveryEntryDelayMs = Milliseconds(*v);
  if (auto v = o.get("updaterStartMs")) config.updaterStartDelayMs = Milliseconds(*v);
  if (auto v = o.get("rebootMs")) config.rebootDelayMs = Milliseconds(*v);
}

void ReadHost(const Value& value, Described& described, std::map<char, std::string>& letters) {
  const Object o(value, {"os", "64bit", "modulePath", "drives", "files"});
  if (auto os = o.get("os"))
    described.os = static_cast<OsPreset>(os->choice({{"windows-2000", int(OsPreset::Windows2000)},
                                                     {"windows-xp", int(OsPreset::WindowsXP)},
                                                     {"server-2003", int(OsPreset::Server2003)},
                                                     {"vista", int(OsPreset::Vista)},
                                                     {"windows-7", int(OsPreset::Windows7)},
                                                     {"windows-8.1", int(OsPreset::Windows81)},
                                                     {"windows-10", int(OsPreset::Windows10)},
                                                     {"windows-11", int(OsPreset::Windows11)}}));
  if (auto is64Bit = o.get("64bit")) described.is64Bit = is64Bit->boolean();
  if (auto modulePath = o.get("modulePath")) described.modulePath = WindowsPath(*modulePath);
  if (auto drives = o.get("drives")) {
    std::set<char> given;
    for (const Value& item : drives->items()) {
      const Object d(item, {"letter", "type", "fileSystem"});
      const Value letterValue = d.need("letter");
      const char letter = letterValue.letter();
      if (!given.insert(letter).second) letterValue.refuse("drive letter given twice");
      static const std::map<platform::DriveType, const char*> kFileSystems = {
          {platform::DriveType::Fixed, "NTFS"},  {platform::DriveType::Removable, "FAT32"},
          {platform::DriveType::CdRom, "CDFS"},  {platform::DriveType::Remote, "NTFS"},
          {platform::DriveType::RamDisk, "FAT"},
      };
      const auto type = static_cast<platform::DriveType>(
          d.need("type").choice({{"fixed", int(platform::DriveType::Fixed)},
                                 {"removable", int(platform::DriveType::Removable)},
                                 {"cdrom", int(platform::DriveType::CdRom)},
                                 {"remote", int(platform::DriveType::Remote)},
                                 {"ramdisk", int(platform::DriveType::RamDisk)}}));
      std::string fileSystem = kFileSystems.at(type);
      if (auto fs = d.get("fileSystem")) fileSystem = fs->text();
      described.hostDrives.push_back({letter, type, fileSystem});
      letters[letter] = "a drive of the host";
    }
  }
  if (auto files = o.get("files")) {
    for (const auto& [path, content] : files->members()) {
      CheckWindowsPath(path, content);
      NeedHostDrive(content, path, letters);
      described.hostFiles.emplace_back(path, ReadContent(content));
    }
  }
}

void ReadFirmware(const Value& value, const std::string& fileName,
                  const std::map<char, std::string>& letters, Described& described) {
  const Object o(value, {"folder", "files", "realFolder"});
  if (auto real = o.get("realFolder")) {
    if (o.has("folder") || o.has("files"))
      real->refuse("a real folder comes alone: give either realFolder, or folder and files");
    std::filesystem::path folder(real->text());
    if (folder.is_relative()) folder = std::filesystem::path(fileName).parent_path() / folder;
    std::error_code error;
    folder = std::filesystem::absolute(folder, error).lexically_normal();
    if (error || !std::filesystem::is_directory(folder, error))
      real->refuse("no such folder on this machine: " + folder.string());
    described.firmwareFolder = folder.string();
    if (described.firmwareFolder.back() != '/') described.firmwareFolder += '/';
    described.realFirmwareFolder = true;
    return;
  }
  described.firmwareFolder = DefaultScenario::kFirmwareFolder;
  if (auto folder = o.get("folder")) {
    described.firmwareFolder = WindowsPath(*folder);
    NeedHostDrive(*folder, described.firmwareFolder, letters);
    if (described.firmwareFolder.back() != '\\') described.firmwareFolder += '\\';
  }
  if (auto files = o.get("files")) {
    for (const auto& [name, content] : files->members()) {
      if (name.empty() || name.find_first_of("\\/:") != std::string::npos)
        content.refuse("not a file name");
      described.firmwareFiles.emplace_back(described.firmwareFolder + name, ReadContent(content));
    }
  }
}

std::uint8_t DriveType(const Value& value) {
  if (value.json().is_string() && value.json().get<std::string>().rfind("0x", 0) != 0)
    return static_cast<std::uint8_t>(value.choice({{"data", 0},
                                                   {"system", 1},
                                                   {"hidden-data", 2},
                                                   {"non-volatile", 3},
                                                   {"unknown", 4},
                                                   {"lba-nand", 5}}));
  return static_cast<std::uint8_t>(value.integer(0, 255));
}

SimDrive ReadDrive(const Value& value, std::size_t index) {
  const Object o(
      value, {"number", "type", "tag", "size", "sectorSize", "product", "component", "content"});
  SimDrive drive;
  drive.number =
      static_cast<std::uint8_t>(o.has("number") ? o.get("number")->integer(0, 255) : index);
  drive.type = DriveType(o.need("type"));
  drive.tag = static_cast<std::uint8_t>(o.need("tag").integer(0, 255));
  const Value size = o.need("size");
  drive.sizeBytes = size.bytes();
  if (drive.sizeBytes == 0) size.refuse("a drive cannot be empty");
  // Data drives show 512-byte sectors; the others the flash's 2048-byte pages.
  const bool small = drive.type == kDriveTypeData || drive.type == kDriveTypeHiddenData;
  drive.sectorSize = small ? 512 : 2048;
  if (auto sectorSize = o.get("sectorSize"))
    drive.sectorSize = static_cast<std::uint32_t>(sectorSize->integer(1, 1u << 20));
  if (auto product = o.get("product")) drive.productVersion = product->triple(0xFFFF);
  if (auto component = o.get("component")) drive.componentVersion = component->triple(0xFFFF);
  drive.media =
      SparseMedia(drive.sizeBytes, drive.type == kDriveTypeData ? 0 : SparseMedia::kErased);
  if (auto content = o.get("content")) {
    const Bytes bytes = ReadContent(*content);
    if (bytes.size() > drive.sizeBytes)
      content->refuse(std::to_string(bytes.size()) + " bytes do not fit the drive's " +
                      std::to_string(drive.sizeBytes));
    drive.media.write(0, bytes);
  }
  return drive;
}

std::vector<SimDrive> ReadDrives(const Value& value) {
  if (value.json().is_object()) {
    // The factory layout, its three firmware drives holding this firmware.
    const Object o(value, {"factory"});
    const SbFileSpec recipe = ReadRecipe(o.need("factory"));
    return FactoryDrives(BuildSbFile(recipe), recipe.productVersion, recipe.componentVersion);
  }
  std::vector<SimDrive> drives;
  for (const Value& item : value.items()) {
    SimDrive drive = ReadDrive(item, drives.size());
    for (const SimDrive& other : drives) {
      if (other.tag == drive.tag) item.refuse("tag given twice");
      if (other.number == drive.number) item.refuse("drive number given twice");
    }
    drives.push_back(std::move(drive));
  }
  return drives;
}

PlayerSpec ReadPlayer(const Value& value, const PlayerConfig& base) {
  const Object o(value, {"serial", "letter", "updaterLetter", "mode", "protocolVersion",
                         "mediaSize", "fileSystem", "chipRevision", "romRevision", "mediaPresent",
                         "mediaType", "hid", "timings", "drives", "settingsFiles", "region"});
  PlayerSpec player;
  PlayerConfig& config = player.config;
  config = base;
  const Value serial = o.need("serial");
  config.serial = serial.text();
  if (config.serial.empty() || config.serial.find('\\') != std::string::npos)
    serial.refuse("not a serial (a non-empty text without \"\\\")");
  config.letter = o.need("letter").letter();
  if (auto letter = o.get("updaterLetter")) config.updaterLetter = letter->letter();
  if (auto mode = o.get("mode"))
    config.initialMode =
        static_cast<PlayerMode>(mode->choice({{"normal", int(PlayerMode::Normal)},
                                              {"rom-recovery", int(PlayerMode::RomRecovery)},
                                              {"updater", int(PlayerMode::Updater)},
                                              {"unplugged", int(PlayerMode::Unplugged)}}));
  if (auto v = o.get("protocolVersion"))
    config.protocolVersion = static_cast<int>(v->integer(0, 255));
  if (auto v = o.get("mediaSize")) config.mediaBytes = v->bytes();
  if (auto v = o.get("fileSystem")) config.fileSystem = v->text();
  if (auto v = o.get("chipRevision"))
    config.chipMajorRevId = static_cast<std::uint16_t>(v->integer(0, 0xFFFF));
  if (auto v = o.get("romRevision"))
    config.romRevId = static_cast<std::uint16_t>(v->integer(0, 0xFFFF));
  if (auto v = o.get("mediaPresent"))
    config.mediaPresentFlag = static_cast<std::uint8_t>(v->integer(0, 255));
  if (auto v = o.get("mediaType")) config.mediaType = static_cast<std::uint8_t>(v->integer(0, 255));
  if (auto hid = o.get("hid")) {
    const Object h(*hid, {"inputReportLength", "outputReportLength"});
    if (auto v = h.get("inputReportLength"))
      config.hidInputReportLength = static_cast<std::uint16_t>(v->integer(0, 0xFFFF));
    if (auto v = h.get("outputReportLength"))
      config.hidOutputReportLength = static_cast<std::uint16_t>(v->integer(0, 0xFFFF));
  }
  if (auto timings = o.get("timings")) ReadTimings(*timings, config);

  const auto drives = o.get("drives");
  player.drives = drives ? ReadDrives(*drives)
                         : FactoryDrives(DefaultPlayerFirmwareFile(), {1, 1, 0}, {1, 1, 0});
  std::uint64_t used = 0;
  for (const SimDrive& d : player.drives) used += d.sizeBytes;
  if (used > config.mediaBytes) {
    const auto where = o.has("mediaSize") ? o.get("mediaSize") : drives;
    (where ? *where : value)
        .refuse("the drives take " + std::to_string(used) + " bytes, more than the media's " +
                std::to_string(config.mediaBytes));
  }

  if (auto files = o.get("settingsFiles")) {
    for (const auto& [name, content] : files->members()) {
      if (name.empty() || name.find_first_of("\\/:") != std::string::npos)
        content.refuse("not a file name");
      player.rootFiles[Upper(name)] = ReadContent(content);
    }
  }
  if (auto region = o.get("region")) {
    const auto byte = static_cast<std::uint8_t>(region->integer(0, 255));
    Bytes& persist = player.rootFiles["PERSIST.BIN"];
    // The region is the third byte of the player's persistent settings.
    if (persist.empty()) persist = {0x4B, 0x58, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
    if (persist.size() < 3) region->refuse("PERSIST.BIN is too short to hold a region byte");
    persist[2] = byte;
  }
  return player;
}

// A key the object is known to have.
Value Member(const Value& object, const char* key) {
  return Value(object.json().at(key), scenario::ChildPointer(object.pointer(), key));
}

// Two things at one drive letter cannot both be reached.
void TakeLetter(const Value& where, char letter, std::string owner,
                std::map<char, std::string>& letters) {
  const auto [it, added] = letters.emplace(letter, std::move(owner));
  if (!added) where.refuse(std::string(1, letter) + ": is already " + it->second);
}

// Every part of the document is read, whatever an earlier part held, so
// that all its mistakes are told at once; the first of a part ends that part.
Described ReadDescription(const scenario::Json& document, const std::string& fileName) {
  scenario::Refusals gathered;
  const Value root(document, "");
  const Object o(root, {"name", "description", "host", "timings", "firmware", "players", "faults"});
  Described described;
  described.name = std::filesystem::path(fileName).stem().string();
  gathered.section([&] {
    if (auto name = o.get("name")) described.name = name->text();
  });
  gathered.section([&] {
    if (auto description = o.get("description")) described.description = description->text();
  });

  std::map<char, std::string> letters = {{'C', "a drive of the host"}};
  gathered.section([&] {
    if (auto host = o.get("host")) ReadHost(*host, described, letters);
  });
  gathered.section([&] {
    if (auto firmware = o.get("firmware")) ReadFirmware(*firmware, fileName, letters, described);
  });

  PlayerConfig base;
  gathered.section([&] {
    if (auto timings = o.get("timings")) ReadTimings(*timings, base);
  });
  std::vector<std::string> serials;
  std::vector<Value> playerItems;
  gathered.section([&] {
    if (auto players = o.get("players")) playerItems = players->items();
  });
  for (const Value& item : playerItems) {
    gathered.section([&] {
      PlayerSpec player = ReadPlayer(item, base);
      const std::string who = "the letter of player " + player.config.serial;
      if (std::find(serials.begin(), serials.end(), player.config.serial) != serials.end())
        Member(item, "serial").refuse("serial given twice");
      TakeLetter(Member(item, "letter"), player.config.letter, who, letters);
      const char updater = player.config.updaterLetter;
      if (updater && updater != player.config.letter)
        TakeLetter(Member(item, "updaterLetter"), updater,
                   "the updater letter of player " + player.config.serial, letters);
      serials.push_back(player.config.serial);
      described.players.push_back(std::move(player));
    });
  }
  std::vector<Value> faultItems;
  gathered.section([&] {
    if (auto faults = o.get("faults")) faultItems = faults->items();
  });
  for (const Value& item : faultItems)
    gathered.section([&] { described.actions.push_back(scenario::ReadFault(item, serials)); });
  if (!gathered.all().empty()) throw gathered.all();
  return described;
}

void Apply(Described& described, World& world) {
  world.setOs(described.os);
  world.set64Bit(described.is64Bit);
  if (described.modulePath) world.setModulePath(*described.modulePath);
  for (const HostDrive& drive : described.hostDrives)
    world.addHostDrive(drive.letter, drive.type, drive.fileSystem);
  for (auto& [path, bytes] : described.hostFiles) world.files().addFile(path, std::move(bytes));
  if (!described.realFirmwareFolder && !described.firmwareFolder.empty())
    world.files().addDirectory(described.firmwareFolder);
  for (auto& [path, bytes] : described.firmwareFiles) world.files().addFile(path, std::move(bytes));
  for (PlayerSpec& wanted : described.players) {
    Player& player = world.addPlayer(wanted.config);
    player.drives = std::move(wanted.drives);
    player.rootFiles = std::move(wanted.rootFiles);
  }
  for (const auto& action : described.actions) action(world);
}

}  // namespace

bool LoadScenarioText(const std::string& text, const std::string& fileName, World& world,
                      ScenarioInfo& info, std::string& error) {
  Described described;
  try {
    described = ReadDescription(scenario::Parse(text), fileName);
  } catch (const scenario::SyntaxError& e) {
    error =
        fileName + ":" + std::to_string(e.line) + ":" + std::to_string(e.column) + ": " + e.reason;
    return false;
  } catch (const std::vector<scenario::Refusal>& all) {
    error.clear();
    for (const scenario::Refusal& e : all)
      error += (error.empty() ? "" : "\n") + fileName + ": " +
               (e.pointer.empty() ? "" : e.pointer + ": ") + e.reason;
    return false;
  } catch (const scenario::Refusal& e) {
    error = fileName + ": " + (e.pointer.empty() ? "" : e.pointer + ": ") + e.reason;
    return false;
  } catch (const std::exception& e) {
    error = fileName + ": " + e.what();
    return false;
  }
  Apply(described, world);
  info = ScenarioInfo{};
  info.name = described.name;
  info.description = described.description;
  info.firmwareFolder = described.firmwareFolder;
  for (const PlayerSpec& player : described.players) info.serials.push_back(player.config.serial);
  return true;
}

bool LoadScenarioFile(const std::string& path, World& world, ScenarioInfo& info,
                      std::string& error) {
  std::error_code code;
  std::ifstream file(path, std::ios::binary);
  if (!std::filesystem::is_regular_file(path, code) || !file) {
    error = path + ": cannot be read";
    return false;
  }
  const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (file.bad()) {
    error = path + ": cannot be read";
    return false;
  }
  return LoadScenarioText(text, path, world, info, error);
}

}  // namespace kx7::sim
