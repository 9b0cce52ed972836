// The Windows backend on the system's own services (run under Wine): the
// 64-bit pass-through translation, volumes and files, device and HID
// enumeration, the registry views and the running-object table. The layouts
// of the system's structures are asserted against the headers where the
// backend uses them, at compile time in both builds.
#include <windows.h>

#include <objbase.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "device/commands.h"
#include "firmware/hid_recovery.h"
#include "host/autoplay_reject.h"
#include "host/serial_lookup.h"
#include "platform/win32/backend.h"
#include "platform/win32/pass_through.h"
#include "util/byte_order.h"

namespace kx7::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr bool k64Bit = sizeof(void*) == 8;

Bytes Hex(const char* text) {
  Bytes out;
  for (const char* p = text; p[0] && p[1];) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return out;
}

// --- The 64-bit pass-through request ----------------------------------------------------

// A request exactly as the library builds it.
Bytes RequestOf(CStDdiCmdBase& command) {
  command.BuildRequest();
  const auto bytes = command.RequestBytes();
  return {bytes.begin(), bytes.end()};
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

TEST(PassThroughTranslation, InquiryAndItsAnswerBothWays) {
  CStScsiInquiry inquiry;
  Bytes request = RequestOf(inquiry);
  ASSERT_EQ(request.size(), 167u);
  Bytes native;
  ASSERT_TRUE(platform::win32::ToNativePassThrough(request, native));
  // The 56-byte header: DataBufferOffset 80 (8 bytes), SenseInfoOffset 56;
  // sense at 56, data at 80.
  ASSERT_EQ(native.size(), 80u + 96u);
  EXPECT_EQ(Slice(native, 0, 56),
            Hex("3800 0000 0000 0612 01 000000 60000000 78000000 00000000 5000000000000000"
                "38000000 12000000 60000000 00000000 00000000 00000000"));

  // The system answers: CHECK CONDITION, 14 sense bytes, 36 data bytes.
  native[2] = 0x02;
  native[7] = 14;
  PutLe32(&native[12], 36);
  for (std::size_t i = 0; i < 18; ++i) native[56 + i] = static_cast<std::uint8_t>(0xE0 + i);
  for (std::size_t i = 0; i < 96; ++i) native[80 + i] = static_cast<std::uint8_t>(i + 1);
  platform::win32::FromNativePassThrough(native, request);

  EXPECT_EQ(request[2], 0x02);
  EXPECT_EQ(request[7], 14);
  EXPECT_EQ(GetLe32(&request[12]), 36u);
  EXPECT_EQ(Slice(request, 52, 70), Slice(native, 56, 74));
  EXPECT_EQ(Slice(request, 70, 166), Slice(native, 80, 176));
  // The library's own fields are left as they were.
  EXPECT_EQ(GetLe32(&request[20]), 70u);
  EXPECT_EQ(GetLe32(&request[44]), 167u);
}

TEST(PassThroughTranslation, DataOutGoesOutAndIsNotOverwritten) {
  CStWriteLogicalDriveSector write(2, 0x10, 1, 512, 20);
  Bytes request = RequestOf(write);
  for (std::size_t i = 0; i < 512; ++i) request[70 + i] = static_cast<std::uint8_t>(i * 7);
  const Bytes payload = Slice(request, 70, 582);

  Bytes native;
  ASSERT_TRUE(platform::win32::ToNativePassThrough(request, native));
  EXPECT_EQ(native[8], 0);                                   // data out
  EXPECT_EQ(GetLe32(&native[16]), 20u);                      // the write's own timeout
  EXPECT_EQ(Slice(native, 36, 52), Slice(request, 28, 44));  // the CDB
  EXPECT_EQ(Slice(native, 80, native.size()), payload);
  std::fill(native.begin() + 80, native.end(), 0xEE);
  platform::win32::FromNativePassThrough(native, request);
  EXPECT_EQ(Slice(request, 70, 582), payload);
}

TEST(PassThroughTranslation, RequestsWindowsWouldRefuseAreNotSent) {
  CStScsiInquiry inquiry;
  const Bytes good = RequestOf(inquiry);
  Bytes nativeHeader = good;
  nativeHeader[0] = 56;
  Bytes tooMuchData = good;
  PutLe32(&tooMuchData[12], 98);
  Bytes senseInHeader = good;
  PutLe32(&senseInHeader[24], 40);
  const Bytes shortRequest(43, 0);
  Bytes native;
  for (const Bytes& request : {nativeHeader, tooMuchData, senseInHeader, shortRequest})
    EXPECT_FALSE(platform::win32::ToNativePassThrough(request, native));
}

// --- Volumes and files ---------------------------------------------------------------

class Win32Backend : public ::testing::Test {
 protected:
  // A letter the system has no drive for.
  char UnusedLetter() {
    const std::uint32_t mask = services.volumes.logicalDriveMask();
    for (char letter = 'D'; letter <= 'Y'; ++letter)
      if (!(mask & (1u << (letter - 'A')))) return letter;
    return 0;
  }
  std::string Beside(const char* name) {
    const std::string module = services.files.modulePath();
    return module.substr(0, module.find_last_of('\\') + 1) + name;
  }

  platform::win32::Win32Backend backend;
  platform::Services services = backend.services();
};

TEST_F(Win32Backend, DriveLettersOfThePrefix) {
  const std::uint32_t mask = services.volumes.logicalDriveMask();
  EXPECT_TRUE(mask & (1u << ('C' - 'A')));
  EXPECT_TRUE(mask & (1u << ('K' - 'A')));
  EXPECT_EQ(services.volumes.driveType("C:\\"), platform::DriveType::Fixed);
  EXPECT_FALSE(services.volumes.fileSystemName("C:\\").empty());

  const char unused = UnusedLetter();
  ASSERT_NE(unused, 0);
  const std::string root = std::string(1, unused) + ":\\";
  EXPECT_EQ(services.volumes.driveType(root), platform::DriveType::NoRootDir);
  EXPECT_EQ(services.volumes.fileSystemName(root), "");
  EXPECT_TRUE(services.volumes.openDevice("\\\\.\\" + root.substr(0, 2)).isInvalid());
}

TEST_F(Win32Backend, ModulePathIsTheTestProgramsOwn) {
  const std::string module = services.files.modulePath();
  ASSERT_GT(module.size(), 3u);
  EXPECT_EQ(module.substr(1, 2), ":\\");
  EXPECT_EQ(CharUpperA(module.substr(module.find_last_of('\\') + 1).data()),
            std::string("WIN32_BACKEND_TEST.EXE"));
}

TEST_F(Win32Backend, PositionedReadAndWriteOnAPlainFile) {
  const std::string path = Beside("positioned-io.bin");
  const HANDLE created =
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(created, INVALID_HANDLE_VALUE);
  CloseHandle(created);

  platform::VolumeIo& io = services.volumes;
  const platform::Handle file = io.openDevice(path);
  ASSERT_TRUE(file.isOpen());
  Bytes data(600);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13 + 1);
  EXPECT_TRUE(io.writeAt(file, 0x1234, data));
  EXPECT_TRUE(io.writeAt(file, 2, Hex("a1a2a3")));

  Bytes back(data.size());
  EXPECT_TRUE(io.readAt(file, 0x1234, back));
  EXPECT_EQ(back, data);
  // Each transfer seeks from the start: nothing depends on the last one.
  Bytes around(8);
  EXPECT_TRUE(io.readAt(file, 0x1230, around));
  EXPECT_EQ(around, Bytes({0, 0, 0, 0, data[0], data[1], data[2], data[3]}));
  EXPECT_TRUE(io.readAt(file, 0, around));
  EXPECT_EQ(around, Hex("0000a1a2a3000000"));
  LARGE_INTEGER size{};
  EXPECT_TRUE(GetFileSizeEx(reinterpret_cast<HANDLE>(file.value()), &size));
  EXPECT_EQ(size.QuadPart, 0x1234 + 600);

  io.closeHandle(file);
  DeleteFileA(path.c_str());

  EXPECT_TRUE(io.openDevice(Beside("no-such-file.bin")).isInvalid());
}

TEST_F(Win32Backend, PassThroughOnAVolumeWithoutScsiFailsCleanly) {
  const platform::Handle volume = services.volumes.openDevice("\\\\.\\C:");
  ASSERT_TRUE(volume.isOpen());
  CStScsiInquiry inquiry;
  Bytes request = RequestOf(inquiry);
  const Bytes sent = request;
  EXPECT_FALSE(services.volumes.scsiPassThrough(volume, request));
  // Nothing is copied back from a request the system did not carry out.
  if (k64Bit) {
    EXPECT_EQ(request, sent);
  }
  services.volumes.closeHandle(volume);
}

// --- Devices -----------------------------------------------------------------------

TEST_F(Win32Backend, PresentDevicesHoldNoPlayer) {
  std::uint32_t lastError = 0;
  const auto set = services.devices.presentDevices(lastError);
  ASSERT_TRUE(set);
  std::uint32_t count = 0;
  while (count < 10000 && set->member(count) != platform::EnumResult::NoMoreItems) ++count;
  EXPECT_GT(count, 0u);
  EXPECT_LT(count, 10000u);
  char name[kInstanceIdBufferSize] = {};
  EXPECT_TRUE(set->instanceId(0, name));
  EXPECT_NE(name[0], '\0');

  char data[kInstanceIdBufferSize];
  std::memset(data, 'x', sizeof data);
  EXPECT_EQ(DeviceSerialNum(services.devices, data, 0), 0);
  EXPECT_EQ(data[0], 'x');
}

TEST_F(Win32Backend, HidInterfacesHoldNoRecoveryDevice) {
  const auto set = services.devices.hidInterfaces();
  ASSERT_TRUE(set);
  std::vector<std::string> paths;
  for (std::uint32_t i = 0; i < 1000 && set->interfaceAt(i) == platform::EnumResult::Ok; ++i) {
    const auto path = set->devicePath(i);
    ASSERT_TRUE(path) << i;
    EXPECT_EQ(path->substr(0, 4), "\\\\?\\") << *path;
    paths.push_back(*path);
  }
  const auto recovery = HidRecoveryDevice::Create(services);
  EXPECT_TRUE(recovery->FindRecoveryHidDevice().isNull());

  // Whatever HID device the system has answers the capability query.
  if (paths.empty()) GTEST_SKIP() << "the system lists no HID interface";
  const platform::Handle device = services.hid.open(paths.front());
  ASSERT_TRUE(device.isOpen()) << paths.front();
  platform::HidCaps caps;
  std::uint32_t status = 0;
  EXPECT_TRUE(services.hid.readCaps(device, caps, status));
  EXPECT_EQ(status, platform::kHidpStatusSuccess);
  EXPECT_GT(caps.inputReportByteLength, 0);
  services.hid.close(device);
}

// A ROM that stops taking reports while it stays attached: a pipe nobody
// reads stands for it. The write gives up at the limit (a short one here),
// and the handle still works once the other end reads again.
TEST(Win32HidWrite, StalledReportFailsAtTheLimit) {
  constexpr const char* kPipe = "\\\\.\\pipe\\kx7fw-stalled-report";
  const HANDLE sink = CreateNamedPipeA(kPipe, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0, 0, nullptr);
  ASSERT_NE(sink, INVALID_HANDLE_VALUE);
  platform::win32::Win32Hid hid(300);
  const platform::Handle device = hid.open(kPipe);
  ASSERT_TRUE(device.isOpen());

  using Clock = std::chrono::steady_clock;
  const std::vector<std::uint8_t> report(65536, 0x02);
  bool stalled = false;
  Clock::duration took{};
  for (int i = 0; i < 256 && !stalled; ++i) {
    const Clock::time_point start = Clock::now();
    stalled = !hid.writeReport(device, report);
    took = Clock::now() - start;
  }
  ASSERT_TRUE(stalled) << "the pipe took every report";
  EXPECT_GE(took, std::chrono::milliseconds(250));  // it waited for the limit ...
  EXPECT_LT(took, std::chrono::seconds(20));        // ... and not for ever

  // The other end reads again: the next report goes through.
  std::thread reader([sink] {
    std::vector<std::uint8_t> buffer(65536);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (;;) {
      DWORD got = 0;
      ResetEvent(overlapped.hEvent);
      if (!ReadFile(sink, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &overlapped) &&
          GetLastError() != ERROR_IO_PENDING)
        break;
      if (!GetOverlappedResult(sink, &overlapped, &got, TRUE)) break;
    }
    CloseHandle(overlapped.hEvent);
  });
  EXPECT_TRUE(hid.writeReport(device, report));
  hid.close(device);
  reader.join();
  CloseHandle(sink);
}

// Each export runs with critical-error boxes off and gives the caller's mode
// back; without SetThreadErrorMode (before Windows 7) the process's mode is
// used instead.
TEST(Win32ErrorMode, CriticalErrorsFailWhileHeldAndTheModeComesBack) {
  using platform::win32::FailCriticalErrors;
  using platform::win32::RestoreErrorMode;
  ASSERT_TRUE(SetThreadErrorMode(SEM_NOGPFAULTERRORBOX, nullptr));
  {
    const auto saved = FailCriticalErrors();
    EXPECT_TRUE(saved.threadMode);
    EXPECT_EQ(GetThreadErrorMode(), UINT{SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX});
    RestoreErrorMode(saved);
    EXPECT_EQ(GetThreadErrorMode(), UINT{SEM_NOGPFAULTERRORBOX});
  }
  SetThreadErrorMode(0, nullptr);
  const UINT process = SetErrorMode(SEM_NOOPENFILEERRORBOX);
  {
    const auto saved = FailCriticalErrors(false);
    EXPECT_FALSE(saved.threadMode);
    EXPECT_EQ(GetErrorMode(), UINT{SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX});
    RestoreErrorMode(saved);
    EXPECT_EQ(GetErrorMode(), UINT{SEM_NOOPENFILEERRORBOX});
  }
  SetErrorMode(process);
}

// --- Registry ------------------------------------------------------------------------

TEST_F(Win32Backend, RegistryValuesOfEveryLength) {
  const auto key = services.registry.createKey(platform::RegistryRoot::CurrentUser,
                                               "Software\\Korvane\\kx7fw-test");
  ASSERT_TRUE(key);
  const Bytes value = Hex("5c003f003f005c00");
  EXPECT_TRUE(
      services.registry.setValue(*key, "\\DosDevices\\E:", platform::RegistryType::Binary, value));
  Bytes buffer(1024, 0xCC);
  std::uint32_t length = 0;
  EXPECT_TRUE(services.registry.queryValue(*key, "\\DosDevices\\E:", buffer, length));
  EXPECT_EQ(length, value.size());
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), value);

  Bytes small(4);
  EXPECT_FALSE(services.registry.queryValue(*key, "\\DosDevices\\E:", small, length));
  EXPECT_FALSE(services.registry.queryValue(*key, "\\DosDevices\\F:", buffer, length));
  // An empty text value, as the cancel handler is listed.
  EXPECT_TRUE(services.registry.setValue(*key, "Empty", platform::RegistryType::String, {}));
  EXPECT_TRUE(services.registry.queryValue(*key, "Empty", buffer, length));
  EXPECT_EQ(length, 0u);
  services.registry.closeKey(*key);
}

TEST_F(Win32Backend, CancelHandlerIsListedInBothRegistryViews) {
  constexpr const char* kKey =
      "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers\\CancelAutoplay\\"
      "CLSID";
  constexpr const char* kName = "66A32FE6-229D-427B-A608-D273F40C034C";
  // Windows has the key in both views; the value is not there yet.
  for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS | view,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegDeleteValueA(key, kName);
    RegCloseKey(key);
  }
  { CAutoPlayReject reject(services); }

  const auto Listed = [&](REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
      return false;
    DWORD type = 0;
    DWORD size = 99;
    const bool found =
        RegQueryValueExA(key, kName, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_SZ && size == 0;
    RegCloseKey(key);
    return found;
  };
  EXPECT_TRUE(Listed(KEY_WOW64_64KEY));
  // A 32-bit process lists it in its own view too.
  if (!k64Bit) {
    EXPECT_TRUE(Listed(KEY_WOW64_32KEY));
  }
}

// --- COM -----------------------------------------------------------------------------

class Win32Com : public Win32Backend {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    GUID clsid;
    std::memcpy(&clsid, &AutoPlayRejectClassId, sizeof clsid);
    ASSERT_EQ(CreateClassMoniker(clsid, &moniker), S_OK);
    ASSERT_EQ(GetRunningObjectTable(0, &table), S_OK);
  }
  void TearDown() override {
    if (table) table->Release();
    if (moniker) moniker->Release();
    CoUninitialize();
  }

  IMoniker* moniker = nullptr;
  IRunningObjectTable* table = nullptr;
};

TEST_F(Win32Com, RegisteredObjectAnswersFromTheRunningObjectTable) {
  {
    CAutoPlayReject reject(services);
    ASSERT_EQ(reject.RegisterInRunningObjectTable(), S_OK);
    EXPECT_TRUE(reject.Registered);
    EXPECT_EQ(table->IsRunning(moniker), S_OK);

    IUnknown* object = nullptr;
    ASSERT_EQ(table->GetObject(moniker, &object), S_OK);
    IQueryCancelAutoPlay* cancel = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IQueryCancelAutoPlay, reinterpret_cast<void**>(&cancel)),
              S_OK);
    struct Case {
      const wchar_t* path;
      HRESULT answer;
    };
    for (const Case& c : {Case{L"E:\\", S_FALSE}, Case{L"Z:\\", S_FALSE}, Case{L"C:\\", S_OK},
                          Case{L"A:\\", S_OK}, Case{L"e:\\", S_OK}})
      EXPECT_EQ(cancel->AllowAutoPlay(c.path, 0, L"KX7", 0), c.answer)
          << std::wstring(c.path).size();
    IDispatch* other = reinterpret_cast<IDispatch*>(1);
    EXPECT_EQ(object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&other)),
              E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    cancel->Release();
    object->Release();
  }
  // Revoked with the end of the update.
  EXPECT_EQ(table->IsRunning(moniker), S_FALSE);
}

// An update blocks its thread for minutes. Registered from a thread of the
// multithreaded apartment, the handler still answers the shell's question,
// asked from another apartment, while that thread is busy: such calls are
// carried on the apartment's RPC threads, not on the registrant's own.
TEST_F(Win32Backend, BusyRegistrantInTheMultithreadedApartmentStillAnswers) {
  const HANDLE registered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const HANDLE answered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread update([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
      CAutoPlayReject reject(services);
      if (reject.RegisterInRunningObjectTable() == S_OK) SetEvent(registered);
      WaitForSingleObject(done, 60000);  // busy: no message loop, no COM call
    }
    CoUninitialize();
  });
  ASSERT_EQ(WaitForSingleObject(registered, 20000), WAIT_OBJECT_0);

  HRESULT answer = E_FAIL;
  std::thread shell([&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    GUID clsid;
    std::memcpy(&clsid, &AutoPlayRejectClassId, sizeof clsid);
    IMoniker* moniker = nullptr;
    IRunningObjectTable* table = nullptr;
    IUnknown* object = nullptr;
    IQueryCancelAutoPlay* cancel = nullptr;
    if (CreateClassMoniker(clsid, &moniker) == S_OK && GetRunningObjectTable(0, &table) == S_OK &&
        table->GetObject(moniker, &object) == S_OK &&
        object->QueryInterface(IID_IQueryCancelAutoPlay, reinterpret_cast<void**>(&cancel)) == S_OK)
      answer = cancel->AllowAutoPlay(L"F:\\", 0, L"KX7", 0);
    SetEvent(answered);
    for (IUnknown* held : {static_cast<IUnknown*>(cancel), object, static_cast<IUnknown*>(table),
                           static_cast<IUnknown*>(moniker)})
      if (held) held->Release();
    CoUninitialize();
  });
  const DWORD waited = WaitForSingleObject(answered, 20000);
  SetEvent(done);
  update.join();
  shell.join();
  EXPECT_EQ(waited, WAIT_OBJECT_0);
  EXPECT_EQ(answer, S_FALSE);
  for (const HANDLE event : {registered, done, answered}) CloseHandle(event);
}

TEST_F(Win32Com, ClassIdTextAndAnsiConversion) {
  EXPECT_EQ(services.com.classIdText(AutoPlayRejectClassId),
            "{66A32FE6-229D-427B-A608-D273F40C034C}");
  EXPECT_EQ(services.com.toAnsi(u"F:\\Music"), "F:\\Music");
  EXPECT_EQ(services.com.toAnsi(nullptr), "");
}

}  // namespace
}  // namespace kx7::test
