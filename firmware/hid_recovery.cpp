#include "firmware/hid_recovery.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "firmware/fw_component.h"
#include "util/byte_order.h"

namespace kx7 {

namespace {

// Report ids of the ROM's output reports.
constexpr std::uint8_t kCommandReportId = 0x01;
constexpr std::uint8_t kDataReportId = 0x02;

// The command block wrapper that follows the report id: signature, tag,
// transfer length, flags, unit, block length, then a 16-byte command block.
constexpr std::size_t kCommandReportLength = 32;
constexpr std::size_t kOffSignature = 1;
constexpr std::size_t kOffTag = 5;
constexpr std::size_t kOffTransferLength = 9;
constexpr std::size_t kOffFlags = 13;
constexpr std::size_t kOffUnit = 14;
constexpr std::size_t kOffBlockLength = 15;
constexpr std::size_t kOffCommand = 16;
constexpr std::size_t kOffCommandSize = 17;
constexpr std::uint32_t kCommandTag = 1;
constexpr std::uint8_t kCommandDownloadImage = 0x02;

// Fills of the report buffers.
constexpr std::uint8_t kOutputFill = 0xDB;
constexpr std::uint8_t kDataPadding = 0xFF;

// An interface set that keeps failing would otherwise be walked for ever.
constexpr std::uint32_t kMaxConsecutiveEnumErrors = 64;

}  // namespace

bool IsRecoveryDevicePath(std::string_view path) {
  // Windows reports the path in one case or the other; a mixed-case path is
  // not the ROM's.
  return path.find(kRecoveryHidUpper) != std::string_view::npos ||
         path.find(kRecoveryHidLower) != std::string_view::npos;
}

std::unique_ptr<HidRecoveryDevice> HidRecoveryDevice::Create(const platform::Services& services) {
  return std::unique_ptr<HidRecoveryDevice>(new HidRecoveryDevice(services));
}

HidRecoveryDevice::~HidRecoveryDevice() {
  Close();
}

void HidRecoveryDevice::Close() {
  // Null and invalid handles were never opened: nothing to close.
  if (Handle.isOpen()) services_.hid.close(Handle);
  Handle = platform::Handle::null();
  InputReport.clear();
  OutputReport.clear();
  Caps = {};
}

platform::Handle HidRecoveryDevice::FindRecoveryHidDevice() {
  const std::unique_ptr<platform::HidInterfaceSet> set = services_.devices.hidInterfaces();
  if (!set) return platform::Handle::null();

  std::uint32_t errors = 0;
  for (std::uint32_t index = 0;; ++index) {
    switch (set->interfaceAt(index)) {
      case platform::EnumResult::NoMoreItems:
        return platform::Handle::null();
      case platform::EnumResult::Error:
        if (++errors == kMaxConsecutiveEnumErrors) return platform::Handle::null();
        continue;
      case platform::EnumResult::Ok:
        errors = 0;
        break;
    }
    const std::optional<std::string> path = set->devicePath(index);
    // Interfaces come and go while devices re-enumerate (the ROM appears
    // just after the player left for recovery): one that vanished between
    // enumeration and its detail is not the ROM's, so look on.
    if (!path) continue;
    if (IsRecoveryDevicePath(*path)) return services_.hid.open(*path);
  }
}

bool HidRecoveryDevice::ReadCaps() {
  if (!Handle.isOpen()) return false;
  std::uint32_t status = 0;
  if (!services_.hid.readCaps(Handle, Caps, status)) return false;
  return status == platform::kHidpStatusSuccess;
}

bool HidRecoveryDevice::DownloadImage(const ImageTable& images) {
  const std::size_t reportLength = Caps.outputReportByteLength;
  // The command report needs 32 bytes, and a data report needs room for at
  // least one image byte after its id; refuse before anything is sent.
  if (reportLength < kCommandReportLength) return false;

  CStFwComponent updater;
  if (!updater.Load(services_.files, images[image_row::kUpdater].FilePath)) return false;
  // Read the bytes before announcing their size, so that a file that cannot
  // be read (or changed since it was loaded) leaves the device untouched.
  std::vector<std::uint8_t> image;
  if (!ReadImageFile(services_.files, updater, image) || image.size() != updater.ImageSize)
    return false;
  const std::uint32_t size = static_cast<std::uint32_t>(updater.ImageSize);

  InputReport.assign(Caps.inputReportByteLength, 0x00);
  OutputReport.assign(reportLength, kOutputFill);

  std::uint8_t* report = OutputReport.data();
  report[0] = kCommandReportId;
  std::memcpy(report + kOffSignature, "BLTC", 4);
  PutLe32(report + kOffTag, kCommandTag);
  PutLe32(report + kOffTransferLength, size);
  report[kOffFlags] = 0;
  report[kOffUnit] = 0;
  report[kOffBlockLength] = 0;
  report[kOffCommand] = kCommandDownloadImage;
  PutBe32(report + kOffCommandSize, size);
  std::fill(report + kOffCommandSize + 4, report + kCommandReportLength, 0);
  if (!services_.hid.writeReport(Handle, OutputReport)) return false;

  // Each data report carries the report id and then as many image bytes as
  // fit; the last one is padded.
  const std::uint16_t perReport = static_cast<std::uint16_t>(reportLength - 1);
  for (std::size_t offset = 0; offset < image.size(); offset += perReport) {
    const std::size_t carried = std::min<std::size_t>(perReport, image.size() - offset);
    report[0] = kDataReportId;
    std::memcpy(report + 1, image.data() + offset, carried);
    std::fill(report + 1 + carried, report + reportLength, kDataPadding);
    if (!services_.hid.writeReport(Handle, OutputReport)) return false;
    ReportTransferred(Observer, offset + carried, image.size());
  }
  return true;
}

}  // namespace kx7
