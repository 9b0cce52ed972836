#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kx7 {

// One firmware file the procedures know of, and the player drive it goes to.
struct ImageTableEntry {
  std::string FilePath;
  std::string Description;
  std::uint8_t DriveTag = 0;
  std::uint8_t DriveNumber = 0;  // kept for the record; nothing reads it
};

using ImageTable = std::array<ImageTableEntry, 8>;

// Rows of the image table.
namespace image_row {
inline constexpr std::size_t kDataDrive = 0;
inline constexpr std::size_t kJanusDrive = 1;
inline constexpr std::size_t kPersistentData = 2;
inline constexpr std::size_t kApplicationImage1 = 3;
inline constexpr std::size_t kApplicationImage2 = 4;
inline constexpr std::size_t kApplicationImage3 = 5;
inline constexpr std::size_t kUpdater = 6;
inline constexpr std::size_t kLbaBootlet = 7;
// The three copies of the firmware, in the order they are written.
inline constexpr std::size_t kApplicationImages[] = {kApplicationImage1, kApplicationImage2,
                                                     kApplicationImage3};
}  // namespace image_row

inline constexpr const char* kFirmwareFileName = "firmware.sb";
inline constexpr const char* kUpdaterFileName = "updater.sb";
inline constexpr const char* kBootletFileName = "lba_nand_bootlet.sb";

// The table as the library starts with it: no folder is known yet, so the
// file rows hold a placeholder path that every procedure replaces first.
ImageTable MakeInitialImageTable();

}  // namespace kx7
