#include "support/sim_fixture.h"

#include <algorithm>

namespace kx7::test {

std::vector<sim::Event> SimFixture::Scsi(std::vector<std::uint8_t> cdbPrefix) const {
  std::vector<sim::Event> out;
  for (const sim::Event& e : world.transcript().events()) {
    if (e.kind != sim::EventKind::Scsi) continue;
    if (e.bytes.size() >= cdbPrefix.size() &&
        std::equal(cdbPrefix.begin(), cdbPrefix.end(), e.bytes.begin()))
      out.push_back(e);
  }
  return out;
}

std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> out;
  int high = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

std::vector<std::uint8_t> Cdb16(std::vector<std::uint8_t> head) {
  head.resize(16, 0);
  return head;
}

}  // namespace kx7::test
