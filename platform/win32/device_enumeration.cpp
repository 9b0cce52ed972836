// SetupAPI: the present devices of all classes, and the present HID
// interfaces.
#include <windows.h>

#include <setupapi.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/win32/backend.h"
#include "platform/win32/native.h"

namespace kx7::platform::win32 {

// SetupAPI packs its structures to one byte in a 32-bit process; cbSize must
// be the size of the caller's own build or the calls are refused.
static_assert(sizeof(SP_DEVINFO_DATA) == (sizeof(void*) == 8 ? 32 : 28));
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == (sizeof(void*) == 8 ? 32 : 28));
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == (sizeof(void*) == 8 ? 8 : 5));

namespace {

// GUID_DEVINTERFACE_HID.
constexpr GUID kHidInterfaceClass = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

EnumResult Outcome(BOOL ok) {
  if (ok) return EnumResult::Ok;
  return GetLastError() == ERROR_NO_MORE_ITEMS ? EnumResult::NoMoreItems : EnumResult::Error;
}

class Win32PresentDeviceSet final : public PresentDeviceSet {
 public:
  explicit Win32PresentDeviceSet(HDEVINFO set) : set_(set) {}
  ~Win32PresentDeviceSet() override { SetupDiDestroyDeviceInfoList(set_); }

  EnumResult member(std::uint32_t index) override {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    const EnumResult result = Outcome(SetupDiEnumDeviceInfo(set_, index, &data));
    if (result == EnumResult::Ok) remember(index, data);
    return result;
  }

  bool className(std::uint32_t index, std::span<char> buffer) override {
    SP_DEVINFO_DATA* data = at(index);
    std::vector<char> name(buffer.size());
    if (!data || buffer.empty() ||
        !SetupDiClassNameFromGuidA(&data->ClassGuid, name.data(), static_cast<DWORD>(name.size()),
                                   nullptr))
      return false;
    std::memcpy(buffer.data(), name.data(), name.size());
    return true;
  }

  bool instanceId(std::uint32_t index, std::span<char> buffer) override {
    SP_DEVINFO_DATA* data = at(index);
    std::vector<char> id(buffer.size());
    if (!data || buffer.empty() ||
        !SetupDiGetDeviceInstanceIdA(set_, data, id.data(), static_cast<DWORD>(id.size()), nullptr))
      return false;
    std::memcpy(buffer.data(), id.data(), id.size());
    return true;
  }

 private:
  void remember(std::uint32_t index, const SP_DEVINFO_DATA& data) {
    index_ = index;
    data_ = data;
    valid_ = true;
  }
  // The member at `index`, enumerated again unless it was the last one.
  SP_DEVINFO_DATA* at(std::uint32_t index) {
    if (valid_ && index_ == index) return &data_;
    return member(index) == EnumResult::Ok ? &data_ : nullptr;
  }

  HDEVINFO set_;
  SP_DEVINFO_DATA data_{};
  std::uint32_t index_ = 0;
  bool valid_ = false;
};

class Win32HidInterfaceSet final : public HidInterfaceSet {
 public:
  explicit Win32HidInterfaceSet(HDEVINFO set) : set_(set) {}
  ~Win32HidInterfaceSet() override { SetupDiDestroyDeviceInfoList(set_); }

  EnumResult interfaceAt(std::uint32_t index) override {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    const EnumResult result =
        Outcome(SetupDiEnumDeviceInterfaces(set_, nullptr, &kHidInterfaceClass, index, &data));
    if (result == EnumResult::Ok) {
      index_ = index;
      data_ = data;
      valid_ = true;
    }
    return result;
  }

  std::optional<std::string> devicePath(std::uint32_t index) override {
    if ((!valid_ || index_ != index) && interfaceAt(index) != EnumResult::Ok) return std::nullopt;
    // First the size, then the detail into a zero-filled buffer of it.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set_, &data_, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return std::nullopt;
    std::vector<char> buffer(required, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set_, &data_, detail, required, nullptr, nullptr))
      return std::nullopt;
    const std::size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    return std::string(detail->DevicePath, strnlen(detail->DevicePath, required - pathOffset));
  }

 private:
  HDEVINFO set_;
  SP_DEVICE_INTERFACE_DATA data_{};
  std::uint32_t index_ = 0;
  bool valid_ = false;
};

}  // namespace

std::unique_ptr<PresentDeviceSet> Win32DeviceEnumeration::presentDevices(std::uint32_t& lastError) {
  const HDEVINFO set =
      SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) {
    lastError = GetLastError();
    return nullptr;
  }
  return std::make_unique<Win32PresentDeviceSet>(set);
}

std::unique_ptr<HidInterfaceSet> Win32DeviceEnumeration::hidInterfaces() {
  const HDEVINFO set = SetupDiGetClassDevsA(&kHidInterfaceClass, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32HidInterfaceSet>(set);
}

}  // namespace kx7::platform::win32
