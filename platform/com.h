#pragma once

#include <cstdint>
#include <string>

namespace kx7::platform {

#if defined(_WIN32) && !defined(_WIN64)
#define KX7_STDCALL __stdcall
#else
#define KX7_STDCALL
#endif

using HResult = std::int32_t;
inline constexpr HResult kSOk = 0;
inline constexpr HResult kSFalse = 1;
inline constexpr HResult kENoInterface = static_cast<HResult>(0x80004002);
inline constexpr HResult kEOutOfMemory = static_cast<HResult>(0x8007000E);
inline constexpr HResult kEFail = static_cast<HResult>(0x80004005);

// GUID, laid out as Windows lays it out.
struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::uint8_t data4[8] = {};
  friend bool operator==(const Guid&, const Guid&) = default;
};
static_assert(sizeof(Guid) == 16);

// The three IUnknown slots, in vtable order, so that an object derived from
// this can be handed to COM as it is. No virtual destructor: slot 0 must be
// QueryInterface; objects delete themselves in Release.
class ComUnknown {
 public:
  virtual HResult KX7_STDCALL QueryInterface(const Guid& iid, void** object) = 0;
  virtual std::uint32_t KX7_STDCALL AddRef() = 0;
  virtual std::uint32_t KX7_STDCALL Release() = 0;

 protected:
  ~ComUnknown() = default;
};

// ole32: class monikers, the Running Object Table, CLSID text.
class ComServices {
 public:
  virtual ~ComServices() = default;
  // CreateClassMoniker(classId), GetRunningObjectTable(0) and
  // IRunningObjectTable::Register(flags, object, moniker, &cookie); moniker
  // and table are released before returning. Returns the first failing
  // HRESULT, or the Register result.
  virtual HResult registerRunningObject(const Guid& classId, ComUnknown& object,
                                        std::uint32_t flags, std::uint32_t& cookie) = 0;
  // GetRunningObjectTable(0) and IRunningObjectTable::Revoke(cookie).
  virtual HResult revokeRunningObject(std::uint32_t cookie) = 0;
  // StringFromCLSID converted to the ANSI code page, e.g.
  // "{66A32FE6-229D-427B-A608-D273F40C034C}".
  virtual std::string classIdText(const Guid& classId) = 0;
  // WideCharToMultiByte(CP_ACP) of a zero-terminated UTF-16 text.
  virtual std::string toAnsi(const char16_t* text) = 0;
};

inline constexpr std::uint32_t kRotFlagsRegistrationKeepsAlive = 1;

inline constexpr Guid kIidIUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr Guid kIidIQueryCancelAutoPlay = {
    0xDDEFE873, 0x6997, 0x4E68, {0xBE, 0x26, 0x39, 0xB6, 0x33, 0xAD, 0xBE, 0x12}};

// The shell's IQueryCancelAutoPlay: asked before AutoPlay runs for a new
// volume; S_FALSE cancels it.
class QueryCancelAutoPlay : public ComUnknown {
 public:
  virtual HResult KX7_STDCALL AllowAutoPlay(const char16_t* path, std::uint32_t contentType,
                                            const char16_t* label, std::uint32_t serialNumber) = 0;

 protected:
  ~QueryCancelAutoPlay() = default;
};

}  // namespace kx7::platform
