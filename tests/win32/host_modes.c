/*
 * The host program's acceptance modes (docs/windows-acceptance.md): what a
 * person with a Windows machine and a player runs, in order, to see the DLL
 * work there. Each mode says what it found; with no player attached each
 * says "no player" and ends.
 */
#include <windows.h>
#include <winioctl.h>

#include <stdio.h>
#include <string.h>

#include "host_program.h"

/* What the library sends at most in one pass-through request: a 64 KiB
   chunk after its 70-byte header (sense included), and the request's own
   terminating byte. */
#define LIBRARY_TRANSFER 65536UL
#define LIBRARY_REQUEST (LIBRARY_TRANSFER + 71UL)
#define PAGE 4096UL

typedef BOOL(WINAPI* IsWow64ProcessFn)(HANDLE, PBOOL);

static const char* Bits(void) {
  return sizeof(void*) == 8 ? "64-bit" : "32-bit";
}

/* Looked up at run time: IsWow64Process is missing before XP SP2. */
static int UnderWow64(void) {
  BOOL wow64 = FALSE;
  IsWow64ProcessFn isWow64 = (IsWow64ProcessFn)(void (*)(void))GetProcAddress(
      GetModuleHandleA("kernel32.dll"), "IsWow64Process");
  return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

/* 1 elevated, 0 not, -1 the system has no such thing (before Vista). */
static int Elevated(void) {
  HANDLE token = NULL;
  TOKEN_ELEVATION elevation;
  DWORD size = 0;
  int result = -1;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return -1;
  if (GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size))
    result = elevation.TokenIsElevated != 0;
  CloseHandle(token);
  return result;
}

/* The first player's serial (the device list's text after the USB prefix),
   or an empty text. */
static void FirstSerial(const struct Exports* e, char* serial, size_t size) {
  char id[128];
  const char* prefix = "USB\\VID_3F1C&PID_7A52\\";
  memset(id, 0, sizeof id);
  serial[0] = '\0';
  if (e->DeviceSerialNum(id, 0) < 1 || strncmp(id, prefix, strlen(prefix)) != 0) return;
  snprintf(serial, size, "%s", id + strlen(prefix));
}

static HANDLE OpenVolume(char letter, DWORD* error) {
  char path[8];
  HANDLE volume;
  sprintf(path, "\\\\.\\%c:", letter);
  volume = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, 0, NULL);
  *error = volume == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  return volume;
}

static void ModeList(const struct Exports* e) {
  OSVERSIONINFOA version;
  char list[26];
  char id[128];
  int count, i, elevated = Elevated();
  DWORD mask = GetLogicalDrives(), error;
  char letter;

  memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExA(&version);
  Say("list: %s process%s, Windows %lu.%lu build %lu as this process is told, elevated: %s\n",
      Bits(), UnderWow64() ? " under WOW64" : "", version.dwMajorVersion, version.dwMinorVersion,
      version.dwBuildNumber,
      elevated < 0 ? "no UAC"
      : elevated   ? "yes"
                   : "no");
  if (elevated == 0)
    Say("list: WARNING: this process is not elevated. Raw volume and disk access is refused on "
        "Vista and later, so the library sees no player; run it from an elevated prompt (an "
        "updater carries a requireAdministrator manifest).\n");
  count = e->MSCDeviceList(list);
  Say("list: MSCDeviceList %d\n", count);
  for (i = 0; i < 8; ++i) {
    memset(id, 0, sizeof id);
    if (e->DeviceSerialNum(id, i) < 1) break;
    Say("list: DeviceSerialNum %d: %s\n", i, id);
  }
  for (letter = 'B'; letter <= 'Z'; ++letter) {
    char root[4] = {0, ':', '\\', 0};
    HANDLE volume;
    root[0] = letter;
    if (!(mask & (1UL << (letter - 'A'))) || GetDriveTypeA(root) != DRIVE_REMOVABLE) continue;
    volume = OpenVolume(letter, &error);
    Say("list: removable %c: opens for read and write: %s (error %lu)\n", letter,
        volume == INVALID_HANDLE_VALUE ? "no" : "yes", error);
    if (volume != INVALID_HANDLE_VALUE) CloseHandle(volume);
  }
  if (count == 0 && i == 0) Say("list: no player\n");
}

/* GetDeviceInfo of the first player; 0 when there is none in either mode. */
static int Identify(const struct Exports* e, const char* mode, DeviceInfo* info) {
  char serial[64];
  int result;
  FirstSerial(e, serial, sizeof serial);
  memset(info, 0, sizeof *info);
  result = e->GetDeviceInfo(serial[0] ? serial : "none", info);
  if (result != 0) {
    Say("%s: no player (GetDeviceInfo %d)\n", mode, result);
    return 0;
  }
  Say("%s: %s DLL%s: GetDeviceInfo 0: mode %s, model %s, firmware %s, region %s, serial %s, "
      "drive %s\n",
      mode, Bits(), UnderWow64() ? " under WOW64" : "", info->Mode, info->ModelCode,
      info->FirmwareVersion, info->RegionCode, info->Serial, info->DriveLetterText);
  return 1;
}

/* The first player's volume, opened as the library opens it; INVALID_HANDLE_VALUE
   (and said why) when there is none or it does not open. */
static HANDLE OpenPlayerVolume(const struct Exports* e, const char* mode, DeviceInfo* info) {
  HANDLE volume;
  DWORD error = 0;
  if (!Identify(e, mode, info)) return INVALID_HANDLE_VALUE;
  if (strcmp(info->Mode, "MSC") != 0) {
    Say("%s: the player is in ROM recovery mode: it has no volume\n", mode);
    return INVALID_HANDLE_VALUE;
  }
  volume = OpenVolume(info->DriveLetterText[0], &error);
  if (volume == INVALID_HANDLE_VALUE)
    Say("%s: %s: cannot be opened (error %lu)\n", mode, info->DriveLetterText, error);
  return volume;
}

static void ModeIdentity(const struct Exports* e) {
  static unsigned char data[LIBRARY_TRANSFER];
  DeviceInfo info;
  HANDLE volume;
  DWORD got = 0, error = 0, i;
  unsigned long sum = 0;
  volume = OpenPlayerVolume(e, "identity", &info);
  if (volume == INVALID_HANDLE_VALUE) return;
  if (!ReadFile(volume, data, sizeof data, &got, NULL)) error = GetLastError();
  CloseHandle(volume);
  for (i = 0; i < got; ++i) sum = sum * 31 + data[i];
  Say("identity: read %lu of %lu bytes at the start of %s: (error %lu), boot signature %s, "
      "checksum %08lx\n",
      got, LIBRARY_TRANSFER, info.DriveLetterText, error,
      got >= 512 && data[510] == 0x55 && data[511] == 0xAA ? "present" : "absent", sum);
}

static void ModeAdapter(const struct Exports* e) {
  DeviceInfo info;
  STORAGE_PROPERTY_QUERY query;
  STORAGE_ADAPTER_DESCRIPTOR adapter;
  HANDLE volume;
  DWORD got = 0;
  const unsigned long offset = sizeof(void*) == 8 ? 80UL : 70UL;
  const unsigned long pages = LIBRARY_TRANSFER / PAGE + 1;
  volume = OpenPlayerVolume(e, "adapter", &info);
  if (volume == INVALID_HANDLE_VALUE) return;
  memset(&query, 0, sizeof query);
  memset(&adapter, 0, sizeof adapter);
  query.PropertyId = StorageAdapterProperty;
  query.QueryType = PropertyStandardQuery;
  if (!DeviceIoControl(volume, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &adapter,
                       sizeof adapter, &got, NULL)) {
    Say("adapter: IOCTL_STORAGE_QUERY_PROPERTY failed (error %lu)\n", GetLastError());
    CloseHandle(volume);
    return;
  }
  CloseHandle(volume);
  Say("adapter: bus type %d, AlignmentMask 0x%lx, MaximumTransferLength %lu, "
      "MaximumPhysicalPages %lu\n",
      (int)adapter.BusType, adapter.AlignmentMask, adapter.MaximumTransferLength,
      adapter.MaximumPhysicalPages);
  Say("adapter: the library moves up to %lu data bytes in one request of %lu bytes\n",
      LIBRARY_TRANSFER, LIBRARY_REQUEST);
  Say("adapter: transfer length: %s\n",
      adapter.MaximumTransferLength >= LIBRARY_TRANSFER ? "fits" : "TOO SMALL");
  Say("adapter: physical pages (%lu for an unaligned 64 KiB): %s\n", pages,
      adapter.MaximumPhysicalPages >= pages ? "fit" : "TOO FEW");
  Say("adapter: data at offset %lu of the request: %s\n", offset,
      (offset & adapter.AlignmentMask) == 0
          ? "aligned for the adapter"
          : "not aligned for the adapter; the buffered pass-through copies it, so this holds");
}

static void ModeUpdate(const struct Exports* e, const char* folder) {
  DeviceInfo info;
  char local[32];
  DWORD start;
  int result;
  if (!Identify(e, "update", &info)) return;
  if (strcmp(info.Mode, "MSC") != 0) {
    Say("update: the player is in ROM recovery mode: run the recover mode\n");
    return;
  }
  memset(local, 0, sizeof local);
  result = e->GetLocalVersion(folder, local, (int)sizeof local);
  Say("update: GetLocalVersion %d (%s)\n", result, local);
  Say("update: NeedRecovery %d\n", e->NeedRecovery(info.Serial, folder));
  start = GetTickCount();
  result = e->DoNormalUpdate(info.Serial, folder);
  Say("update: DoNormalUpdate %d after %lu s\n", result, (GetTickCount() - start) / 1000);
}

static void ModeRecover(const struct Exports* e, const char* folder) {
  DeviceInfo info;
  DWORD start;
  int result;
  if (!Identify(e, "recover", &info)) return;
  if (strcmp(info.Mode, "REC") != 0) {
    Say("recover: no player in ROM recovery mode (this one runs its firmware)\n");
    return;
  }
  start = GetTickCount();
  result = e->DoRecoveryUpdate("", folder);
  Say("recover: DoRecoveryUpdate %d after %lu s\n", result, (GetTickCount() - start) / 1000);
}

int RunModes(const struct Exports* e, int argc, char** argv) {
  int i;
  for (i = 0; i < argc; ++i) {
    const char* mode = argv[i];
    const char* folder = i + 1 < argc ? argv[i + 1] : NULL;
    if (strcmp(mode, "list") == 0) {
      ModeList(e);
    } else if (strcmp(mode, "identity") == 0) {
      ModeIdentity(e);
    } else if (strcmp(mode, "adapter") == 0) {
      ModeAdapter(e);
    } else if ((strcmp(mode, "update") == 0 || strcmp(mode, "recover") == 0) && folder) {
      if (mode[0] == 'u')
        ModeUpdate(e, folder);
      else
        ModeRecover(e, folder);
      ++i;
    } else {
      Say("unknown mode %s (list, identity, adapter, update FOLDER, recover FOLDER)\n", mode);
      return 2;
    }
  }
  return 0;
}
