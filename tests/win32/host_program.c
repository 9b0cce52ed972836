/*
 * A host application as an updater is written: it loads kx7fw.dll with
 * LoadLibraryA and GetProcAddress (or, built with KX7FW_LINKED, through the
 * import library) and calls the exports from a worker thread that joined
 * the multithreaded apartment.
 *
 * Without arguments it calls all twelve exports with no player attached and
 * checks every result code and output buffer; exit code 0 when all hold.
 * With arguments it runs the acceptance modes of docs/windows-acceptance.md
 * on a real player, in the order given, and says what it found:
 *   kx7fw_host [--report FILE] list | identity | adapter |
 *              update FOLDER | recover FOLDER ...
 */
#include <objbase.h>
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "host_program.h"

static int failures = 0;
static FILE* report = NULL;

/* Printed, and copied into the report file when there is one. */
void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  if (report) {
    va_start(args, format);
    vfprintf(report, format, args);
    va_end(args);
  }
}

static void Check(int ok, const char* what) {
  Say("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++failures;
}

/* True when every byte of buffer[from, to) is still `fill`. */
static int Untouched(const char* buffer, size_t from, size_t to, char fill) {
  size_t i;
  for (i = from; i < to; ++i)
    if (buffer[i] != fill) return 0;
  return 1;
}

#ifdef KX7FW_LINKED
static int Bind(struct Exports* e) {
  e->MSCDeviceList = MSCDeviceList;
  e->DeviceSerialNum = DeviceSerialNum;
  e->GetDeviceInfo = GetDeviceInfo;
  e->GetLocalVersion = GetLocalVersion;
  e->NeedRecovery = NeedRecovery;
  e->Detect_HID = Detect_HID;
  e->DoNormalUpdate = DoNormalUpdate;
  e->DoRecoveryUpdate = DoRecoveryUpdate;
  e->GetFWLibraryVersion = GetFWLibraryVersion;
  e->GetAPIVersion = GetAPIVersion;
  e->ChangeUSBMode = ChangeUSBMode;
  e->ResetChipset = ResetChipset;
  return 1;
}
#else
typedef void (*AnyFunction)(void);

/* GetProcAddress's FARPROC through the one function type every function
   pointer converts from without complaint. */
static AnyFunction Find(HMODULE library, const char* name) {
  AnyFunction function = (AnyFunction)GetProcAddress(library, name);
  if (!function) Say("FAIL GetProcAddress(\"%s\")\n", name);
  return function;
}

#define BIND(name, type) ((e->name = (type)Find(library, #name)) != NULL)

static int Bind(struct Exports* e) {
  HMODULE library = LoadLibraryA("kx7fw.dll");
  if (!library) {
    Say("FAIL LoadLibraryA(\"kx7fw.dll\"): error %lu\n", GetLastError());
    return 0;
  }
  return BIND(MSCDeviceList, TextOutFn) & BIND(DeviceSerialNum, SerialAtFn) &
         BIND(GetDeviceInfo, InfoFn) & BIND(GetLocalVersion, LocalVersionFn) &
         BIND(NeedRecovery, TwoTextsFn) & BIND(Detect_HID, OneTextFn) &
         BIND(DoNormalUpdate, TwoTextsFn) & BIND(DoRecoveryUpdate, TwoTextsFn) &
         BIND(GetFWLibraryVersion, TextOutFn) & BIND(GetAPIVersion, TextOutFn) &
         BIND(ChangeUSBMode, NoArgsFn) & BIND(ResetChipset, NoArgsFn);
}
#endif

/* The DLL's VS_VERSION_INFO carries the project version. */
static void CheckVersionResource(void) {
  char path[MAX_PATH];
  DWORD ignored = 0;
  DWORD size;
  static char data[8192];
  VS_FIXEDFILEINFO* fixed = NULL;
  UINT length = 0;
  HMODULE library = GetModuleHandleA("kx7fw.dll");
  if (!library || !GetModuleFileNameA(library, path, sizeof path)) {
    Check(0, "kx7fw.dll is loaded");
    return;
  }
  size = GetFileVersionInfoSizeA(path, &ignored);
  Check(size > 0 && size <= sizeof data && GetFileVersionInfoA(path, 0, sizeof data, data) &&
            VerQueryValueA(data, "\\", (void**)&fixed, &length) && fixed &&
            fixed->dwFileVersionMS == ((DWORD)KX7FW_VERSION_MAJOR << 16 | KX7FW_VERSION_MINOR) &&
            fixed->dwFileVersionLS == ((DWORD)KX7FW_VERSION_PATCH << 16),
        "VS_VERSION_INFO holds the project version");
}

static void SelfCheck(const struct Exports* exports) {
  struct Exports e = *exports;
  char text[64];
  char list[26];
  char serial[128];
  DeviceInfo info;
  const char* folder = "C:\\kx7fw-host\\no-firmware\\";
  const char* serialText = "KX7HOSTPROGRAM01";

  CheckVersionResource();

  memset(text, 'x', sizeof text);
  Check(e.GetFWLibraryVersion(text) == 0 && strcmp(text, "000.000.001.002") == 0 &&
            Untouched(text, 16, sizeof text, 'x'),
        "GetFWLibraryVersion writes its 15 characters and nothing more");
  memset(text, 'x', sizeof text);
  Check(e.GetAPIVersion(text) == 0 && strcmp(text, "000.000.000.006") == 0 &&
            Untouched(text, 16, sizeof text, 'x'),
        "GetAPIVersion writes its 15 characters and nothing more");
  Check(e.ChangeUSBMode() == 1, "ChangeUSBMode returns 1");
  Check(e.ResetChipset() == 0, "ResetChipset returns 0");
  Check(e.Detect_HID("HID#VID_066F&PID_3770") == 0, "Detect_HID returns 0");

  memset(list, 'x', sizeof list);
  Check(e.MSCDeviceList(list) == 0 && list[0] == '\0', "MSCDeviceList finds no player");
  memset(serial, 'x', sizeof serial);
  Check(e.DeviceSerialNum(serial, 0) == 0 && Untouched(serial, 0, sizeof serial, 'x'),
        "DeviceSerialNum finds no player and leaves the buffer alone");

  memset(&info, 'x', sizeof info);
  Check(e.GetDeviceInfo(serialText, &info) == 1 && info.Mode[0] == '\0' &&
            info.DriveLetterText[0] == '\0' && info.Reserved2 == 0,
        "GetDeviceInfo reports no player and clears the record");
  Check(e.GetDeviceInfo("", &info) == 5, "GetDeviceInfo refuses an empty serial");

  memset(text, 'x', sizeof text);
  Check(e.GetLocalVersion(folder, text, (int)sizeof text) == 2,
        "GetLocalVersion reports the missing firmware file");
  Check(e.GetLocalVersion(folder, NULL, 0) == 1, "GetLocalVersion without a buffer returns 1");

  Check(e.NeedRecovery(serialText, folder) == 1, "NeedRecovery: player not reachable");
  Check(e.NeedRecovery("", folder) == 10, "NeedRecovery refuses an empty serial");
  Check(e.NeedRecovery(serialText, "") == 11, "NeedRecovery refuses an empty folder");

  Check(e.DoNormalUpdate(serialText, folder) == 10, "DoNormalUpdate finds no drive letter");
  Check(e.DoNormalUpdate(serialText, "") == 11, "DoNormalUpdate refuses an empty folder");
  Check(e.DoRecoveryUpdate("", folder) == 4, "DoRecoveryUpdate finds no recovery device");
  Check(e.DoRecoveryUpdate("", "") == 13, "DoRecoveryUpdate refuses an empty folder");

  /* Nothing above left the library busy. */
  Check(e.ChangeUSBMode() == 1 && e.ResetChipset() == 0, "the library is idle again");
}

#ifndef KX7FW_LINKED
/* FreeLibrary runs the DLL's detach under the loader lock: it must return,
   and the DLL load and work again afterwards. */
static void CheckUnloadAndReload(void) {
  struct Exports e;
  char text[32];
  HMODULE library = GetModuleHandleA("kx7fw.dll");
  Check(library && FreeLibrary(library) && !GetModuleHandleA("kx7fw.dll"),
        "FreeLibrary unloads the DLL");
  Check(Bind(&e) && e.GetAPIVersion(text) == 0 &&
            e.DoNormalUpdate("KX7HOSTPROGRAM01", "C:\\kx7fw-host\\") == 10,
        "the DLL loads and works again");
  library = GetModuleHandleA("kx7fw.dll");
  Check(library && FreeLibrary(library), "and is let go once more");
}
#endif

struct Work {
  int argc;
  char** argv;
  int status;
};

/* The exports run here: a thread of the multithreaded apartment, so that
   the shell's AutoPlay question reaches the library's handler while an
   update keeps this thread busy for minutes. */
static DWORD WINAPI Worker(LPVOID parameter) {
  struct Work* work = (struct Work*)parameter;
  struct Exports e;
  CoInitializeEx(NULL, COINIT_MULTITHREADED);
  if (!Bind(&e)) {
    work->status = 1;
  } else if (work->argc == 0) {
    SelfCheck(&e);
#ifndef KX7FW_LINKED
    CheckUnloadAndReload();
#endif
    Say("%d failure(s)\n", failures);
    work->status = failures == 0 ? 0 : 1;
  } else {
    work->status = RunModes(&e, work->argc, work->argv);
  }
  CoUninitialize();
  return 0;
}

int main(int argc, char** argv) {
  struct Work work;
  HANDLE thread;
  int first = 1;
  if (argc > 2 && strcmp(argv[1], "--report") == 0) {
    report = fopen(argv[2], "w");
    if (!report) {
      printf("FAIL cannot write the report file %s\n", argv[2]);
      return 2;
    }
    first = 3;
  }
  work.argc = argc - first;
  work.argv = argv + first;
  work.status = 1;
  thread = CreateThread(NULL, 0, Worker, &work, 0, NULL);
  if (!thread) return 1;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  if (report) fclose(report);
  return work.status;
}
