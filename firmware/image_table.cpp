#include "firmware/image_table.h"

namespace kx7 {

ImageTable MakeInitialImageTable() {
  // 260 characters: a drive prefix and filler, never a real file.
  const std::string placeholder = "C:\\" + std::string(257, 'X');
  return ImageTable{{
      {"", "Data Drive", 0x0A, 0},
      {"", "Janus Drive", 0x0B, 1},
      {"", "Persistent Data", 0x0C, 8},
      {placeholder, "Application Image 1", 0x50, 2},
      {placeholder, "Application Image 2", 0x60, 3},
      {placeholder, "Application Image 3", 0x70, 4},
      {placeholder, "Updater", 0xFF, 0xFF},
      {placeholder, "LBA Bootlet", 0xA0, 0xFF},
  }};
}

}  // namespace kx7
