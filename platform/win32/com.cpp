// ole32: the Running Object Table, class monikers and CLSID text.
#include <windows.h>

#include <objbase.h>

#include <cstring>

#include "platform/win32/backend.h"

namespace kx7::platform::win32 {

// A library COM object goes to the system as it is: its vtable is IUnknown's.
static_assert(sizeof(Guid) == sizeof(GUID));

namespace {

GUID ToNative(const Guid& id) {
  GUID native;
  std::memcpy(&native, &id, sizeof native);
  return native;
}

std::string Narrow(const wchar_t* text) {
  if (!text) return "";
  const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return "";
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(size) - 1);
  return out;
}

}  // namespace

HResult Win32Com::registerRunningObject(const Guid& classId, ComUnknown& object,
                                        std::uint32_t flags, std::uint32_t& cookie) {
  const GUID clsid = ToNative(classId);
  IMoniker* moniker = nullptr;
  HRESULT result = CreateClassMoniker(clsid, &moniker);
  if (FAILED(result)) return result;
  IRunningObjectTable* table = nullptr;
  result = GetRunningObjectTable(0, &table);
  if (FAILED(result)) {
    moniker->Release();
    return result;
  }
  DWORD registration = 0;
  result = table->Register(flags, reinterpret_cast<IUnknown*>(&object), moniker, &registration);
  if (SUCCEEDED(result)) cookie = registration;
  table->Release();
  moniker->Release();
  return result;
}

HResult Win32Com::revokeRunningObject(std::uint32_t cookie) {
  IRunningObjectTable* table = nullptr;
  HRESULT result = GetRunningObjectTable(0, &table);
  if (FAILED(result)) return result;
  result = table->Revoke(cookie);
  table->Release();
  return result;
}

std::string Win32Com::classIdText(const Guid& classId) {
  LPOLESTR text = nullptr;
  if (FAILED(StringFromCLSID(ToNative(classId), &text))) return "";
  std::string out = Narrow(text);
  CoTaskMemFree(text);
  return out;
}

std::string Win32Com::toAnsi(const char16_t* text) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t));
  return Narrow(reinterpret_cast<const wchar_t*>(text));
}

}  // namespace kx7::platform::win32
