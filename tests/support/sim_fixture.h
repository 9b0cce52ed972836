#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "api/library.h"
#include "sim/world.h"

namespace kx7::test {

// A simulated world with a Library on it, as the exports see it.
class SimFixture : public ::testing::Test {
 protected:
  SimFixture() : library(world.services()) {}

  // SCSI exchanges of the transcript, optionally only those whose CDB starts
  // with these bytes.
  std::vector<sim::Event> Scsi(std::vector<std::uint8_t> cdbPrefix = {}) const;
  // Transcript events of one kind.
  std::vector<sim::Event> Events(sim::EventKind kind) const { return world.transcript().of(kind); }
  std::uint64_t Now() const { return world.clock().now(); }

  mutable sim::World world;
  Library library;
};

// Bytes from a hex text ("c0 05 14" or "c00514").
std::vector<std::uint8_t> Hex(const std::string& text);

// A CDB padded with zeros to 16 bytes.
std::vector<std::uint8_t> Cdb16(std::vector<std::uint8_t> head);

}  // namespace kx7::test
