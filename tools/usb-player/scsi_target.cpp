#include "tools/usb-player/scsi_target.h"

#include <algorithm>
#include <cstring>

#include "util/byte_order.h"

namespace kx7::usbplayer {

namespace {

constexpr std::uint8_t kTestUnitReady = 0x00;
constexpr std::uint8_t kRequestSense = 0x03;
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kModeSense6 = 0x1A;
constexpr std::uint8_t kStartStopUnit = 0x1B;
constexpr std::uint8_t kPreventAllow = 0x1E;
constexpr std::uint8_t kReadCapacity10 = 0x25;
constexpr std::uint8_t kRead10 = 0x28;
constexpr std::uint8_t kWrite10 = 0x2A;
constexpr std::uint8_t kVerify10 = 0x2F;
constexpr std::uint8_t kSynchronizeCache10 = 0x35;
constexpr std::uint8_t kModeSense10 = 0x5A;
constexpr std::uint8_t kServiceActionIn16 = 0x9E;
constexpr std::uint8_t kReadCapacity16 = 0x10;  // its service action
constexpr std::uint8_t kReportLuns = 0xA0;
constexpr std::uint8_t kVendorIn = 0xC0;
constexpr std::uint8_t kVendorOut = 0xC1;

constexpr std::uint8_t kCachingPage = 0x08;
constexpr std::uint8_t kAllPages = 0x3F;

// Copies what the allocation and the host's buffer both allow.
std::size_t Give(std::span<std::uint8_t> data, const std::uint8_t* bytes, std::size_t length,
                 std::size_t allocation) {
  const std::size_t n = std::min({length, allocation, data.size()});
  std::memcpy(data.data(), bytes, n);
  return n;
}

// The commands a pending unit attention does not stop.
bool PassesUnitAttention(std::uint8_t opcode) {
  return opcode == kInquiry || opcode == kRequestSense || opcode == kReportLuns;
}

// Commands that need the medium; the vendor commands reach the firmware
// whatever the data drive holds.
bool NeedsMedium(std::uint8_t opcode) {
  switch (opcode) {
    case kTestUnitReady:
    case kReadCapacity10:
    case kRead10:
    case kWrite10:
    case kVerify10:
    case kSynchronizeCache10:
    case kServiceActionIn16:
      return true;
    default:
      return false;
  }
}

bool Overlaps(std::uint64_t first, std::uint64_t count, std::uint64_t faultFirst,
              std::uint64_t faultCount) {
  return faultCount != 0 && first < faultFirst + faultCount && faultFirst < first + count;
}

}  // namespace

void ScsiTarget::powerOn() {
  unitAttention_ = sense::kPowerOnReset;
  sense_ = sense::kNoSense;
  knownCapacity_ = capacitySectors();
  preventRemoval_ = false;
}

std::uint64_t ScsiTarget::capacitySectors() const {
  const sim::SimDrive* data = player_.dataDrive();
  if (!data || data->sectorSize == 0) return 0;
  return data->sizeBytes / data->sectorSize;
}

std::uint32_t ScsiTarget::blockLength() const {
  const sim::SimDrive* data = player_.dataDrive();
  return data ? data->sectorSize : 512;
}

ScsiOutcome ScsiTarget::check(Sense s) {
  sense_ = s;
  return {.good = false};
}

void ScsiTarget::noticeCapacity() {
  const std::uint64_t now = capacitySectors();
  if (now == knownCapacity_) return;
  // A medium that went away is reported by NOT READY on the next access; one
  // that came back, or changed size, by a unit attention.
  if (now != 0 && !faults.silentMediumChanges)
    unitAttention_ = knownCapacity_ != 0 ? sense::kCapacityChanged : sense::kMediumMayHaveChanged;
  knownCapacity_ = now;
}

ScsiOutcome ScsiTarget::execute(std::span<const std::uint8_t> cdb, bool dataIn,
                                std::span<std::uint8_t> data) {
  ++commands_;
  const ScsiOutcome outcome = dispatch(cdb, dataIn, data);
  if (log && (!outcome.good || outcome.phaseError)) {
    std::fprintf(log, "%s: command %llu:", player_.config.serial.c_str(),
                 static_cast<unsigned long long>(commands_));
    for (std::uint8_t b : cdb) std::fprintf(log, " %02x", b);
    if (outcome.phaseError)
      std::fprintf(log, " (%s %zu bytes): phase error\n", dataIn ? "in" : "out", data.size());
    else
      std::fprintf(log, ": CHECK CONDITION %02x/%02x/%02x\n", sense_.key, sense_.asc, sense_.ascq);
    std::fflush(log);
  }
  return outcome;
}

ScsiOutcome ScsiTarget::dispatch(std::span<const std::uint8_t> cdb, bool dataIn,
                                 std::span<std::uint8_t> data) {
  if (cdb.empty()) return check(sense::kInvalidOpcode);
  const std::uint8_t opcode = cdb[0];
  if (opcode != kRequestSense) sense_ = sense::kNoSense;
  if (opcode == kVendorIn || opcode == kVendorOut) {
    // The firmware's own commands: it answers them whatever the medium and
    // leaves a pending unit attention for the host's next standard command
    // (the library on Windows sees no unit attention on them either). The
    // transport only checks the host asked for the direction the operation
    // code means.
    if ((opcode == kVendorIn) != dataIn && !data.empty()) return {.phaseError = true};
    const sim::ScsiResult result = player_.execute(cdb, opcode == kVendorIn, data);
    noticeCapacity();
    if (!result.good) return check(sense::kInvalidField);
    return {.moved = data.size(), .leaving = result.leaving};
  }
  if (unitAttention_ && !PassesUnitAttention(opcode)) {
    const Sense attention = *unitAttention_;
    unitAttention_.reset();
    return check(attention);
  }
  if (NeedsMedium(opcode) && capacitySectors() == 0) return check(sense::kNoMedium);
  return standard(cdb, dataIn, data);
}

ScsiOutcome ScsiTarget::standard(std::span<const std::uint8_t> cdb, bool dataIn,
                                 std::span<std::uint8_t> data) {
  const std::uint8_t opcode = cdb[0];
  // Commands that move data in, with the least CDB they need.
  const bool inCommand = opcode == kRequestSense || opcode == kInquiry || opcode == kModeSense6 ||
                         opcode == kModeSense10 || opcode == kReadCapacity10 ||
                         opcode == kServiceActionIn16 || opcode == kReportLuns || opcode == kRead10;
  const bool outCommand = opcode == kWrite10;
  // A host asking for data a command does not move gets none (the residue
  // says so); one moving data the other way cannot be answered.
  if (!data.empty() && ((inCommand && !dataIn) || (outCommand && dataIn)))
    return {.phaseError = true};
  const std::size_t cdbLength = opcode < 0x20 ? 6 : opcode < 0x80 ? 10 : opcode < 0xA0 ? 16 : 12;
  if (cdb.size() < cdbLength) return check(sense::kInvalidField);

  switch (opcode) {
    case kTestUnitReady:
    case kStartStopUnit:
    case kSynchronizeCache10:
    case kVerify10:
      return {};
    case kPreventAllow:
      preventRemoval_ = (cdb[4] & 0x03) != 0;
      return {};
    case kRequestSense: {
      std::uint8_t answer[18] = {0x70, 0, sense_.key, 0, 0, 0, 0, 10};
      answer[12] = sense_.asc;
      answer[13] = sense_.ascq;
      sense_ = sense::kNoSense;
      return {.moved = Give(data, answer, sizeof answer, cdb[4])};
    }
    case kInquiry: {
      // No vital product data pages: like many small devices, refuse them.
      if ((cdb[1] & 0x01) != 0 || cdb[2] != 0) return check(sense::kInvalidField);
      const std::size_t allocation = GetBe16(&cdb[3]);
      std::uint8_t answer[96] = {};
      const std::uint8_t inquiry[6] = {kInquiry, 0, 0, 0, sizeof answer, 0};
      player_.execute(inquiry, true, answer);
      return {.moved = Give(data, answer, sizeof answer, allocation)};
    }
    case kModeSense6:
    case kModeSense10:
      return modeSense(cdb, data);
    case kReadCapacity10: {
      std::uint8_t answer[8];
      const std::uint64_t last = capacitySectors() - 1;
      PutBe32(answer, static_cast<std::uint32_t>(std::min<std::uint64_t>(last, 0xFFFFFFFF)));
      PutBe32(answer + 4, blockLength());
      return {.moved = Give(data, answer, sizeof answer, sizeof answer)};
    }
    case kServiceActionIn16: {
      if ((cdb[1] & 0x1F) != kReadCapacity16) return check(sense::kInvalidOpcode);
      std::uint8_t answer[32] = {};
      PutBe64(answer, capacitySectors() - 1);
      PutBe32(answer + 8, blockLength());
      return {.moved = Give(data, answer, sizeof answer, GetBe32(&cdb[10]))};
    }
    case kReportLuns: {
      std::uint8_t answer[16] = {};
      PutBe32(answer, 8);  // one LUN, number 0
      return {.moved = Give(data, answer, sizeof answer, GetBe32(&cdb[6]))};
    }
    case kRead10:
    case kWrite10:
      return readWrite(cdb, data);
    default:
      return check(sense::kInvalidOpcode);
  }
}

ScsiOutcome ScsiTarget::modeSense(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data) {
  const bool ten = cdb[0] == kModeSense10;
  const std::uint8_t page = cdb[2] & 0x3F;
  if (page != kAllPages && page != kCachingPage) return check(sense::kInvalidField);
  std::vector<std::uint8_t> answer(ten ? 8 : 4, 0);
  // No block descriptors; writes go straight to the media (no write cache).
  const std::uint8_t caching[20] = {kCachingPage, 18};
  answer.insert(answer.end(), caching, caching + sizeof caching);
  if (ten) {
    PutBe16(answer.data(), static_cast<std::uint16_t>(answer.size() - 2));
  } else {
    answer[0] = static_cast<std::uint8_t>(answer.size() - 1);
  }
  const std::size_t allocation = ten ? GetBe16(&cdb[7]) : cdb[4];
  return {.moved = Give(data, answer.data(), answer.size(), allocation)};
}

ScsiOutcome ScsiTarget::readWrite(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> data) {
  sim::SimDrive& drive = *player_.dataDrive();
  const std::uint64_t first = GetBe32(&cdb[2]);
  const std::uint64_t count = GetBe16(&cdb[7]);
  const std::uint64_t bytes = count * drive.sectorSize;
  // The host must have room for everything the command moves.
  if (bytes > data.size()) return {.phaseError = true};
  if (first + count > capacitySectors()) return check(sense::kLbaOutOfRange);
  const std::span<std::uint8_t> sectors = data.first(static_cast<std::size_t>(bytes));
  if (cdb[0] == kRead10) {
    if (Overlaps(first, count, faults.readErrorFirst, faults.readErrorCount))
      return check(sense::kUnrecoveredRead);
    drive.media.read(first * drive.sectorSize, sectors);
  } else {
    if (Overlaps(first, count, faults.writeErrorFirst, faults.writeErrorCount))
      return check(sense::kWriteError);
    drive.media.write(first * drive.sectorSize, sectors);
  }
  return {.moved = sectors.size()};
}

}  // namespace kx7::usbplayer
