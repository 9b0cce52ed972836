#include "host/autoplay_reject.h"

#include <algorithm>
#include <new>
#include <string>
#include <string_view>

#include "util/byte_order.h"

namespace kx7 {

namespace {

using platform::HResult;
using platform::RegistryRoot;
namespace access = platform::registry_access;

constexpr const char* kAutoplayHandlersKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers";
constexpr const char* kCancelAutoplayKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers\\CancelAutoplay\\"
    "CLSID";
constexpr const char* kDisableAutoplayValue = "DisableAutoplay";
constexpr std::int32_t kNothingSaved = -1;
constexpr HResult kEPointer = static_cast<HResult>(0x80004003);

// Volumes of these letters get no AutoPlay while an update runs. The floppy
// drives and the system disk are left alone; the test is case-sensitive.
constexpr std::string_view RejectedDriveLetters = "DEFGHIJKLMNOPQRSTUVWXYZ";

// The user's AutoPlay switch exists from Vista on.
bool HasUserAutoplaySetting(platform::SystemInfo& system) {
  return system.osVersion().major >= 6;
}

void WriteDword(platform::Registry& registry, platform::RegistryKey key, std::string_view name,
                std::int32_t value) {
  std::uint8_t data[4];
  PutLe32(data, static_cast<std::uint32_t>(value));
  // Not checked: a switch that cannot be set leaves AutoPlay as the user had it.
  registry.setValue(key, name, platform::RegistryType::Dword, data);
}

}  // namespace

class CAutoPlayReject::CQueryCancelAutoplay final : public platform::QueryCancelAutoPlay {
 public:
  explicit CQueryCancelAutoplay(platform::ComServices& com) : com_(com) {}

  HResult KX7_STDCALL QueryInterface(const platform::Guid& iid, void** object) override {
    if (!object) return kEPointer;
    if (iid == platform::kIidIUnknown) {
      *object = static_cast<platform::ComUnknown*>(this);
    } else if (iid == platform::kIidIQueryCancelAutoPlay) {
      *object = static_cast<platform::QueryCancelAutoPlay*>(this);
    } else {
      *object = nullptr;
      return platform::kENoInterface;
    }
    AddRef();
    return platform::kSOk;
  }

  std::uint32_t KX7_STDCALL AddRef() override {
    return static_cast<std::uint32_t>(references_.fetch_add(1, std::memory_order_relaxed) + 1);
  }

  std::uint32_t KX7_STDCALL Release() override {
    const std::int32_t left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return static_cast<std::uint32_t>(left);
  }

  // Runs on a COM thread of the shell; touches nothing but constant text.
  HResult KX7_STDCALL AllowAutoPlay(const char16_t* path, std::uint32_t, const char16_t*,
                                    std::uint32_t) override {
    const std::string text = com_.toAnsi(path);
    return text.find_first_of(RejectedDriveLetters) != std::string::npos ? platform::kSFalse
                                                                         : platform::kSOk;
  }

 private:
  ~CQueryCancelAutoplay() = default;

  platform::ComServices& com_;
  std::atomic<std::int32_t> references_{1};
};

CAutoPlayReject::CAutoPlayReject(const platform::Services& services) : services_(services) {
  platform::Registry& registry = services_.registry;
  SavedDisableAutoplay = kNothingSaved;
  if (HasUserAutoplaySetting(services_.system)) {
    if (const auto key = registry.openKey(RegistryRoot::CurrentUser, kAutoplayHandlersKey,
                                          access::kQueryValue | access::kSetValue)) {
      // Read over the -1 as over the saved field itself: a missing value
      // leaves nothing saved.
      std::uint8_t data[4];
      PutLe32(data, static_cast<std::uint32_t>(kNothingSaved));
      std::uint32_t length = 0;
      if (registry.queryValue(*key, kDisableAutoplayValue, data, length)) {
        SavedDisableAutoplay = static_cast<std::int32_t>(GetLe32(data));
        if (SavedDisableAutoplay == 0) WriteDword(registry, *key, kDisableAutoplayValue, 1);
      }
      registry.closeKey(*key);
    }
  }
  RotCookie = 0;

  // The shell asks the running objects of every class listed here before it
  // starts AutoPlay. The value's name is the class; it carries no data.
  std::string classText = services_.com.classIdText(AutoPlayRejectClassId);
  std::erase_if(classText, [](char c) { return c == '{' || c == '}'; });
  if (const auto key = registry.createKey(RegistryRoot::LocalMachine, kCancelAutoplayKey)) {
    // Not checked: without the entry AutoPlay may start, and the update runs on.
    registry.setValue(*key, classText, platform::RegistryType::String, {});
    registry.closeKey(*key);
  }
  // Again through the 64-bit view, which a 32-bit process on 64-bit Windows
  // does not reach otherwise.
  if (const auto key = registry.openKey(RegistryRoot::LocalMachine, kCancelAutoplayKey,
                                        access::kWow64_64Key | access::kSetValue)) {
    registry.setValue(*key, classText, platform::RegistryType::String, {});
    registry.closeKey(*key);
  }
}

CAutoPlayReject::~CAutoPlayReject() {
  if (HasUserAutoplaySetting(services_.system) && SavedDisableAutoplay != kNothingSaved) {
    platform::Registry& registry = services_.registry;
    if (const auto key =
            registry.openKey(RegistryRoot::CurrentUser, kAutoplayHandlersKey, access::kSetValue)) {
      WriteDword(registry, *key, kDisableAutoplayValue, SavedDisableAutoplay);
      registry.closeKey(*key);
    }
  }
  if (Registered) {
    // Not checked: there is nothing left to do with a cookie that will not go.
    services_.com.revokeRunningObject(RotCookie);
    Registered = false;
  }
}

HResult CAutoPlayReject::RegisterInRunningObjectTable() {
  auto* object = new (std::nothrow) CQueryCancelAutoplay(services_.com);
  if (!object) return platform::kEOutOfMemory;
  void* unknown = nullptr;
  HResult result = object->QueryInterface(platform::kIidIUnknown, &unknown);
  if (result == platform::kSOk) {
    auto* asUnknown = static_cast<platform::ComUnknown*>(unknown);
    // The table keeps its own reference until the object is revoked.
    result = services_.com.registerRunningObject(
        AutoPlayRejectClassId, *asUnknown, platform::kRotFlagsRegistrationKeepsAlive, RotCookie);
    if (result >= 0) Registered = true;
    asUnknown->Release();
  }
  object->Release();
  return result;
}

}  // namespace kx7
