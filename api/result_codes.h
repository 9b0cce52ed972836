#pragma once

// Result codes of the exports. Each export returns only the codes listed for
// it in the public header.

namespace kx7::result {

inline constexpr int kOk = 0;
inline constexpr int kBusy = 3;

// Version exports.
inline constexpr int kVersionBusy = 2;

// ChangeUSBMode.
inline constexpr int kUsbModeChanged = 1;

// GetDeviceInfo.
inline constexpr int kInfoNoPlayer = 1;
inline constexpr int kInfoWrongPlayer = 5;

// GetLocalVersion.
inline constexpr int kLocalNullOutput = 1;
inline constexpr int kLocalBadFile = 2;

// NeedRecovery.
inline constexpr int kRecoveryNeeded = 0;
inline constexpr int kRecoveryNotNeeded = 1;
inline constexpr int kNeedEmptySerial = 10;
inline constexpr int kNeedEmptyFolder = 11;

// DoNormalUpdate.
inline constexpr int kNormalSwitchFailed = 2;
inline constexpr int kNormalDownloadFailed = 4;
inline constexpr int kNormalWriteFailed = 6;
inline constexpr int kNormalVerifyFailed = 7;
inline constexpr int kNormalUpdaterGone = 8;
inline constexpr int kNormalBadSerial = 10;
inline constexpr int kNormalEmptyFolder = 11;

// DoRecoveryUpdate.
inline constexpr int kRecoveryDownloadFailed = 4;
inline constexpr int kRecoveryUpdaterNotFound = 5;
inline constexpr int kRecoveryReallocateFailed = 6;
inline constexpr int kRecoveryWriteFailed = 7;
inline constexpr int kRecoveryVerifyFailed = 8;
inline constexpr int kRecoverySettingsDriveFailed = 9;
inline constexpr int kRecoveryFormatFailed = 10;
inline constexpr int kRecoveryUpdaterGone = 11;
inline constexpr int kRecoveryEmptyFolder = 13;

}  // namespace kx7::result
