// The twelve C exports. Each forwards to the process-wide Library; nothing
// thrown inside (only an allocation failure can be) crosses this line: it
// becomes the export's failure code.
#include <new>

#include "api/library.h"
#include "api/result_codes.h"
#include "kx7fw/kx7fw.h"

namespace {

template <typename Call>
int Guarded(int failureCode, Call&& call) noexcept {
  const kx7::ExportCall frame;
  try {
    return call(kx7::ProcessLibrary());
  } catch (...) {
    return failureCode;
  }
}

}  // namespace

extern "C" {

KX7FW_API int KX7FW_CALL MSCDeviceList(char* list) {
  return Guarded(0, [&](kx7::Library& l) { return l.MSCDeviceList(list); });
}

KX7FW_API int KX7FW_CALL DeviceSerialNum(char* data, int index) {
  return Guarded(0, [&](kx7::Library& l) { return l.DeviceSerialNum(data, index); });
}

KX7FW_API int KX7FW_CALL GetDeviceInfo(const char* serial, DeviceInfo* info) {
  return Guarded(kx7::result::kInfoNoPlayer,
                 [&](kx7::Library& l) { return l.GetDeviceInfo(serial, info); });
}

KX7FW_API int KX7FW_CALL GetLocalVersion(const char* folder, char* out, int outSize) {
  return Guarded(kx7::result::kLocalBadFile,
                 [&](kx7::Library& l) { return l.GetLocalVersion(folder, out, outSize); });
}

KX7FW_API int KX7FW_CALL NeedRecovery(const char* serial, const char* folder) {
  return Guarded(kx7::result::kRecoveryNotNeeded,
                 [&](kx7::Library& l) { return l.NeedRecovery(serial, folder); });
}

KX7FW_API int KX7FW_CALL Detect_HID(const char* pattern) {
  return Guarded(kx7::result::kOk, [&](kx7::Library& l) { return l.Detect_HID(pattern); });
}

KX7FW_API int KX7FW_CALL DoNormalUpdate(const char* serial, const char* folder) {
  return Guarded(kx7::result::kNormalSwitchFailed,
                 [&](kx7::Library& l) { return l.DoNormalUpdate(serial, folder); });
}

KX7FW_API int KX7FW_CALL DoRecoveryUpdate(const char* serial, const char* folder) {
  return Guarded(kx7::result::kRecoveryDownloadFailed,
                 [&](kx7::Library& l) { return l.DoRecoveryUpdate(serial, folder); });
}

KX7FW_API int KX7FW_CALL GetFWLibraryVersion(char* out) {
  return Guarded(kx7::result::kVersionBusy,
                 [&](kx7::Library& l) { return l.GetFWLibraryVersion(out); });
}

KX7FW_API int KX7FW_CALL GetAPIVersion(char* out) {
  return Guarded(kx7::result::kVersionBusy, [&](kx7::Library& l) { return l.GetAPIVersion(out); });
}

KX7FW_API int KX7FW_CALL ChangeUSBMode(void) {
  return Guarded(kx7::result::kBusy, [](kx7::Library& l) { return l.ChangeUSBMode(); });
}

KX7FW_API int KX7FW_CALL ResetChipset(void) {
  return Guarded(kx7::result::kBusy, [](kx7::Library& l) { return l.ResetChipset(); });
}

}  // extern "C"
