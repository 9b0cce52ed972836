/*
 * kx7fw - firmware-upgrade library of the Korvane Tessio Mirl player (KX7TMB).
 *
 * Twelve plain C functions. Every string is 8-bit and zero-terminated, every
 * output buffer belongs to the caller, and the int result is the only report.
 */
#ifndef KX7FW_KX7FW_H
#define KX7FW_KX7FW_H

#ifdef __cplusplus
#include <cstddef>
#include <cstdint>
#else
#include <stddef.h>
#include <stdint.h>
#endif

#if defined(_WIN32)
#define KX7FW_CALL __cdecl
#else
#define KX7FW_CALL
#endif

#if defined(KX7FW_BUILDING_SHARED)
#if defined(_WIN32)
#define KX7FW_API __declspec(dllexport)
#else
#define KX7FW_API __attribute__((visibility("default")))
#endif
#else
#define KX7FW_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Filled by GetDeviceInfo; 1312 bytes. Text fields are zero-terminated. */
typedef struct DeviceInfo {
  char Mode[4];             /* "REC" (ROM recovery) or "MSC" (mass storage) */
  char ModelCode[256];      /* "KX7TMB" */
  char Reserved1[256];      /* "0" */
  char DisplayName[256];    /* "Korvane Tessio Mirl" */
  char RegionCode[4];       /* "02", "37", "55", "93", "97" or "0" */
  char Serial[256];         /* the serial the caller passed ("0" for REC) */
  char DriveLetterText[2];  /* the player's drive letter ("0" for REC) */
  char FirmwareVersion[16]; /* "%01d.%02d" of the firmware on the player */
  char FullModelCode[256];  /* "KX7TMB09VD/52" */
  int32_t Reserved2;        /* 0 */
} DeviceInfo;

/* Number of players in mass-storage mode; list (26 bytes) receives the
   current drive letter as a one-character string, or "". */
KX7FW_API int KX7FW_CALL MSCDeviceList(char* list);

/* Instance identifier of the index-th attached player into data (128 bytes):
   1 found, 0 no such player, other values a system error code. */
KX7FW_API int KX7FW_CALL DeviceSerialNum(char* data, int index);

/* 0 filled, 1 no player, 3 busy, 5 empty serial or player elsewhere. */
KX7FW_API int KX7FW_CALL GetDeviceInfo(const char* serial, DeviceInfo* info);

/* Version of folder + "firmware.sb": 0 written, 1 out is null, 2 file missing
   or invalid, 3 busy. */
KX7FW_API int KX7FW_CALL GetLocalVersion(const char* folder, char* out, int outSize);

/* 0 the firmware no longer fits the player (recovery needed), 1 it fits or the
   player is not reachable, 3 busy, 10 empty serial, 11 empty folder. */
KX7FW_API int KX7FW_CALL NeedRecovery(const char* serial, const char* folder);

/* Always 0. */
KX7FW_API int KX7FW_CALL Detect_HID(const char* pattern);

/* 0 done, 2 switch to updater failed, 3 busy, 4 updater download failed,
   6 write failed, 7 verify failed, 8 updater gone, 10 bad serial,
   11 empty folder. */
KX7FW_API int KX7FW_CALL DoNormalUpdate(const char* serial, const char* folder);

/* 0 done, 3 busy, 4 updater download failed, 5 updater drive not found,
   6 re-allocation failed, 7 write failed, 8 verify failed, 9 settings drive,
   10 data drive format, 11 updater gone, 13 empty folder. */
KX7FW_API int KX7FW_CALL DoRecoveryUpdate(const char* serial, const char* folder);

/* "000.000.001.002" into out (30 bytes): 0, or 2 while busy. */
KX7FW_API int KX7FW_CALL GetFWLibraryVersion(char* out);

/* "000.000.000.006" into out (30 bytes): 0, or 2 while busy. */
KX7FW_API int KX7FW_CALL GetAPIVersion(char* out);

/* 1, or 3 while busy. */
KX7FW_API int KX7FW_CALL ChangeUSBMode(void);

/* 0, or 3 while busy. */
KX7FW_API int KX7FW_CALL ResetChipset(void);

#ifdef __cplusplus
} /* extern "C" */

/* Messages on every assertion: C++11 and C++14 compilers (MSVC's default)
   need them. */
static_assert(sizeof(DeviceInfo) == 1312, "DeviceInfo is 1312 bytes");
static_assert(offsetof(DeviceInfo, Mode) == 0, "Mode");
static_assert(offsetof(DeviceInfo, ModelCode) == 4, "ModelCode");
static_assert(offsetof(DeviceInfo, Reserved1) == 260, "Reserved1");
static_assert(offsetof(DeviceInfo, DisplayName) == 516, "DisplayName");
static_assert(offsetof(DeviceInfo, RegionCode) == 772, "RegionCode");
static_assert(offsetof(DeviceInfo, Serial) == 776, "Serial");
static_assert(offsetof(DeviceInfo, DriveLetterText) == 1032, "DriveLetterText");
static_assert(offsetof(DeviceInfo, FirmwareVersion) == 1034, "FirmwareVersion");
static_assert(offsetof(DeviceInfo, FullModelCode) == 1050, "FullModelCode");
static_assert(offsetof(DeviceInfo, Reserved2) == 1308, "Reserved2");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(DeviceInfo) == 1312, "DeviceInfo is 1312 bytes");
#endif

#endif /* KX7FW_KX7FW_H */
