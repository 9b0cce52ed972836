#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kx7::sim {

// What goes wrong, by rule. Each rule counts the calls it matches and fires
// on the ones it names; rules never look at library objects, only at what
// crosses the platform interfaces.
class Faults {
 public:
  // The nth (1-based) pass-through request whose CDB starts with `opcode`
  // (and, when given, whose second byte is `operation`) is not delivered:
  // the pass-through call fails. `times` consecutive matches fail from there
  // (0: every match from the nth on).
  void failScsi(std::uint8_t opcode, std::optional<std::uint8_t> operation, std::uint32_t nth,
                std::uint32_t times = 1);
  // The same request is delivered but the device answers CHECK CONDITION and
  // moves no data.
  void rejectScsi(std::uint8_t opcode, std::optional<std::uint8_t> operation, std::uint32_t nth,
                  std::uint32_t times = 1);
  // The same two, for requests whose CDB starts with `cdbPrefix` (any
  // length: "c1 23 03" is a sector write to drive 3), counted among those.
  void failScsiMatching(std::vector<std::uint8_t> cdbPrefix, std::uint32_t nth,
                        std::uint32_t times = 1);
  void rejectScsiMatching(std::vector<std::uint8_t> cdbPrefix, std::uint32_t nth,
                          std::uint32_t times = 1);
  // The nth matching request is answered GOOD, but the data the device
  // returns holds `bytes` at `offset` instead of its own (a data-in request).
  void alterScsiAnswer(std::vector<std::uint8_t> cdbPrefix, std::uint32_t nth, std::uint32_t offset,
                       std::vector<std::uint8_t> bytes);
  // The nth matching request is answered GOOD with only the first `keep`
  // bytes of its data; the rest of the data area keeps what the request
  // brought (a short transfer).
  void shortenScsiAnswer(std::vector<std::uint8_t> cdbPrefix, std::uint32_t nth,
                         std::uint32_t keep);
  // The nth matching request waits before the device answers it: for `ms`
  // of real time, or less when the world's stall handler lets it go
  // (World::setStallHandler). A program's way to act at a chosen moment.
  void stallScsi(std::vector<std::uint8_t> cdbPrefix, std::uint32_t nth, std::uint32_t ms);
  // Volume lock / unlock / dismount refused this many times before working,
  // once `after` attempts have worked.
  void refuseLocks(std::uint32_t count, std::uint32_t after = 0) { refusedLocks_ = {after, count}; }
  void refuseUnlocks(std::uint32_t count, std::uint32_t after = 0) {
    refusedUnlocks_ = {after, count};
  }
  void refuseDismounts(std::uint32_t count, std::uint32_t after = 0) {
    refusedDismounts_ = {after, count};
  }
  // Sector reads of a drive (by tag, through the vendor read command) return
  // data with one byte flipped at this byte offset of the drive.
  void corruptDriveRead(std::uint8_t tag, std::uint64_t byteOffset);
  void clearDriveReadCorruption() { corruptReads_.clear(); }
  // Positioned reads of the data drive (through its volume or its disk)
  // return the byte at this offset from the drive's start flipped.
  void corruptDataDriveRead(std::uint64_t byteOffset) { corruptDataReads_.push_back(byteOffset); }
  // IOCTL_DISK_GET_DRIVE_GEOMETRY / IOCTL_DISK_SET_DRIVE_LAYOUT fail.
  void failGeometry() { geometryFails_ = true; }
  void failSetLayout() { setLayoutFails_ = true; }
  // IOCTL_DISK_DELETE_DRIVE_LAYOUT fails (the old table stays).
  void failDeleteLayout() { deleteLayoutFails_ = true; }

  // HID: the interface at `index` fails to enumerate (an error other than
  // "no more items"); its detail cannot be read; opening the recovery device
  // fails; reading its caps fails; the kth (1-based) output report written
  // from now on fails.
  void failHidEnumerationAt(std::uint32_t index) { hidEnumErrors_.push_back(index); }
  void failHidDetailAt(std::uint32_t index) { hidDetailErrors_.push_back(index); }
  void failHidInterfaceSet() { hidSetFails_ = true; }
  void failHidOpen() { hidOpenFails_ = true; }
  void failHidCaps() { hidCapsFails_ = true; }
  void failHidCapsStatus() { hidCapsStatusFails_ = true; }
  void failHidReport(std::uint32_t k) {
    hidReportFailsAt_ = k;
    hidReportsSeen_ = 0;
  }

  // Files: opening this path for reading fails (from its nth open on,
  // counted from now); reading it yields only `bytes` bytes although its
  // size says more (a file that shrank while open); from its nth open on it
  // holds only `bytes` bytes and says so (a file that shrank between opens).
  void failFileOpen(std::string path, std::uint32_t fromOpen = 1);
  void shrinkFile(std::string path, std::uint64_t bytes);
  void truncateFile(std::string path, std::uint64_t bytes, std::uint32_t fromOpen);
  void failFileCopy(std::string destination);

  // Registry: opening a key whose path contains this text fails; reading a
  // value of this name fails.
  void failRegistryOpen(std::string pathFragment);
  void failRegistryQuery(std::string valueName);
  // RegCreateKeyA of a path containing this text fails (RegOpenKeyExA still
  // works); writing any value under such a key fails (no rights to it).
  void failRegistryCreate(std::string pathFragment);
  void failRegistryWrite(std::string pathFragment);
  // SetupDiGetClassDevs for all devices fails with this error code.
  void failDeviceList(std::uint32_t error) { deviceListError_ = error; }

  // Used by the world.
  enum class ScsiAction { None, NotDelivered, CheckCondition };
  // What becomes of the data a device answers with.
  struct AnswerEdit {
    std::optional<std::uint32_t> keep;  // bytes delivered; the rest as it was
    std::uint32_t offset = 0;
    std::vector<std::uint8_t> bytes;  // put over the answer at `offset`
    bool any() const { return keep.has_value() || !bytes.empty(); }
    // `answer` as the device filled it, `before` the data area as the
    // request brought it.
    void apply(std::span<std::uint8_t> answer, std::span<const std::uint8_t> before) const;
  };
  // Counts the request against every rule; `edit`, when given, receives the
  // answer edit of the first rule that asks for one.
  // `stallMs`, when given, receives the stall of a rule that asks for one.
  ScsiAction onScsi(const std::uint8_t* cdb, std::size_t cdbLength, AnswerEdit* edit = nullptr,
                    std::uint32_t* stallMs = nullptr);
  bool takeLockRefusal() { return take(refusedLocks_); }
  bool takeUnlockRefusal() { return take(refusedUnlocks_); }
  bool takeDismountRefusal() { return take(refusedDismounts_); }
  std::optional<std::uint64_t> driveReadCorruption(std::uint8_t tag) const;
  const std::vector<std::uint64_t>& dataDriveReadCorruptions() const { return corruptDataReads_; }
  bool geometryFails() const { return geometryFails_; }
  bool setLayoutFails() const { return setLayoutFails_; }
  bool deleteLayoutFails() const { return deleteLayoutFails_; }
  bool hidEnumerationFails(std::uint32_t index) const;
  bool hidDetailFails(std::uint32_t index) const;
  bool hidSetFails() const { return hidSetFails_; }
  bool hidOpenFails() const { return hidOpenFails_; }
  bool hidCapsFails() const { return hidCapsFails_; }
  bool hidCapsStatusFails() const { return hidCapsStatusFails_; }
  // Counts one output report; true when it is the one to fail.
  bool takeHidReportFailure() {
    ++hidReportsSeen_;
    return hidReportFailsAt_ != 0 && hidReportsSeen_ == hidReportFailsAt_;
  }
  // One open of `path` for reading: whether it fails, and the size the file
  // has shrunk to by now, if it has.
  struct FileOpenVerdict {
    bool fails = false;
    std::optional<std::uint64_t> truncatedTo;
  };
  FileOpenVerdict onFileOpen(const std::string& path);
  std::optional<std::uint64_t> shrunkSize(const std::string& path) const;
  bool fileCopyFails(const std::string& destination) const;
  bool registryOpenFails(const std::string& path) const;
  bool registryQueryFails(const std::string& name) const;
  bool registryCreateFails(const std::string& path) const;
  bool registryWriteFails(const std::string& path) const;
  std::optional<std::uint32_t> deviceListError() const { return deviceListError_; }

 private:
  struct ScsiRule {
    std::vector<std::uint8_t> prefix;
    std::uint32_t nth;
    std::uint32_t times;
    ScsiAction action;
    AnswerEdit edit;
    std::uint32_t seen = 0;
    std::uint32_t stallMs = 0;
  };
  struct Refusals {
    std::uint32_t after = 0;
    std::uint32_t count = 0;
    std::uint32_t seen = 0;
  };
  struct FileRule {
    std::string path;
    std::uint32_t fromOpen;
    std::optional<std::uint64_t> truncatedTo;  // none: the open fails
    std::uint32_t seen = 0;
  };
  static bool take(Refusals& refusals) {
    const std::uint32_t attempt = refusals.seen++;
    return attempt >= refusals.after && attempt - refusals.after < refusals.count;
  }

  std::vector<ScsiRule> scsiRules_;
  Refusals refusedLocks_;
  Refusals refusedUnlocks_;
  Refusals refusedDismounts_;
  std::vector<std::pair<std::uint8_t, std::uint64_t>> corruptReads_;
  std::vector<std::uint64_t> corruptDataReads_;
  bool geometryFails_ = false;
  bool setLayoutFails_ = false;
  bool deleteLayoutFails_ = false;
  std::vector<std::uint32_t> hidEnumErrors_;
  std::vector<std::uint32_t> hidDetailErrors_;
  bool hidSetFails_ = false;
  bool hidOpenFails_ = false;
  bool hidCapsFails_ = false;
  bool hidCapsStatusFails_ = false;
  std::uint32_t hidReportFailsAt_ = 0;
  std::uint32_t hidReportsSeen_ = 0;
  std::vector<FileRule> fileRules_;
  std::vector<std::pair<std::string, std::uint64_t>> shrunkFiles_;
  std::vector<std::string> copyFails_;
  std::vector<std::string> regOpenFails_;
  std::vector<std::string> regQueryFails_;
  std::vector<std::string> regCreateFails_;
  std::vector<std::string> regWriteFails_;
  std::optional<std::uint32_t> deviceListError_;
};

}  // namespace kx7::sim
