#include "cli/traffic_watch.h"

#include <cstdio>

#include "device/commands.h"

namespace kx7::cli {

namespace {

using namespace opcode;

bool IsVendorOut(const std::vector<std::uint8_t>& cdb, std::uint8_t operation) {
  return cdb.size() >= 2 && cdb[0] == kVendorOut && cdb[1] == operation;
}

std::string SenseText(const std::vector<std::uint8_t>& sense) {
  if (sense.size() < 14) return "";
  char text[64];
  std::snprintf(text, sizeof text, " (sense key %u, ASC/ASCQ %02X/%02X)", sense[2] & 0x0Fu,
                sense[12], sense[13]);
  return text;
}

}  // namespace

std::string CommandName(const std::vector<std::uint8_t>& cdb) {
  if (cdb.empty()) return "a command";
  if (cdb[0] == kInquiry) return "INQUIRY";
  if (cdb[0] == kReadCapacity10) return "READ CAPACITY";
  if (cdb.size() >= 2 && (cdb[0] == kVendorIn || cdb[0] == kVendorOut)) {
    switch (cdb[1]) {
      case kGetProtocolVersion:
        return "GET PROTOCOL VERSION";
      case kGetLogicalMediaInfo:
        return "GET LOGICAL MEDIA INFO";
      case kGetLogicalTable:
        return "GET LOGICAL TABLE";
      case kAllocateLogicalMedia:
        return "ALLOCATE LOGICAL MEDIA";
      case kEraseLogicalMedia:
        return "ERASE LOGICAL MEDIA";
      case kGetLogicalDriveInfo:
        return "GET LOGICAL DRIVE INFO";
      case kReadLogicalDriveSector:
        return "READ LOGICAL DRIVE SECTOR";
      case kSetLogicalDriveInfo:
        return "SET LOGICAL DRIVE INFO";
      case kWriteLogicalDriveSector:
        return "WRITE LOGICAL DRIVE SECTOR";
      case kEraseLogicalDrive:
        return "ERASE LOGICAL DRIVE";
      case kGetChipMajorRevId:
        return "GET CHIP MAJOR REV ID";
      case kChipReset:
        return "CHIP RESET";
      case kGetROMRevId:
        return "GET ROM REV ID";
      case kResetToRecovery:
        return "RESET TO RECOVERY";
    }
  }
  char text[32];
  std::snprintf(text, sizeof text, "command %02X", cdb[0]);
  return text;
}

void TrafficWatch::MarkStep() {
  stepRefusal_.reset();
  stepUndelivered_.reset();
  stepCopies_.clear();
}

void TrafficWatch::See(const sim::Event& e) {
  if (e.kind == sim::EventKind::FileCopy && e.ok) stepCopies_.emplace_back(e.target, e.name);
  if (e.kind != sim::EventKind::Scsi) return;
  if (e.outcome == "not-delivered") {
    if (!stepUndelivered_) stepUndelivered_ = CommandName(e.bytes) + " did not reach the player";
    return;
  }
  if (e.outcome != "good") {
    if (!stepRefusal_)
      stepRefusal_ = "the player answered " +
                     std::string(e.outcome == "check-condition" ? "CHECK CONDITION" : e.outcome) +
                     " to " + CommandName(e.bytes) + SenseText(e.sense);
    return;
  }
  const auto& cdb = e.bytes;
  if (IsVendorOut(cdb, kEraseLogicalDrive) || IsVendorOut(cdb, kWriteLogicalDriveSector) ||
      IsVendorOut(cdb, kSetLogicalDriveInfo) || IsVendorOut(cdb, kAllocateLogicalMedia))
    mediaChanged_ = true;
  if (IsVendorOut(cdb, kEraseLogicalMedia)) mediaChanged_ = mediaErased_ = true;
  if (IsVendorOut(cdb, kResetToRecovery)) switchTaken_ = true;
  if (IsVendorOut(cdb, kChipReset)) resetTaken_ = true;
}

}  // namespace kx7::cli
