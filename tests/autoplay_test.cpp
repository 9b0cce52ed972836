// AutoPlay kept off while an update runs: the user's setting saved and put
// back, the cancel handler listed, and the running object the shell asks.
#include <optional>
#include <string>
#include <vector>

#include "host/autoplay_reject.h"
#include "kx7fw/kx7fw.h"
#include "sim/scenario/default_scenario.h"
#include "support/host_players.h"
#include "support/sim_fixture.h"

namespace kx7::test {
namespace {

using platform::RegistryRoot;
using sim::EventKind;
using sim::OsPreset;

constexpr const char* kHandlerValue = "66A32FE6-229D-427B-A608-D273F40C034C";
constexpr std::uint32_t kWow64SetValue = 0x102;

class AutoPlayTest : public SimFixture {
 protected:
  std::optional<std::uint32_t> DisableAutoplay() {
    std::uint32_t value = 0;
    if (!world.registry().dword(RegistryRoot::CurrentUser, sim::reg_path::kAutoplayHandlers,
                                "DisableAutoplay", value))
      return std::nullopt;
    return value;
  }
  void SetDisableAutoplay(std::optional<std::uint32_t> value) {
    if (value)
      world.registry().setDword(RegistryRoot::CurrentUser, sim::reg_path::kAutoplayHandlers,
                                "DisableAutoplay", *value);
    else
      world.registry().removeValue(RegistryRoot::CurrentUser, sim::reg_path::kAutoplayHandlers,
                                   "DisableAutoplay");
  }
  // Values written under HKEY_CURRENT_USER, in order, as DWORDs.
  std::vector<std::uint32_t> UserWrites() {
    std::vector<std::uint32_t> out;
    for (const sim::Event& e : Events(EventKind::RegistryWrite)) {
      if (e.target.rfind("HKCU\\", 0) != 0) continue;
      EXPECT_EQ(e.name, "DisableAutoplay");
      EXPECT_EQ(e.value, static_cast<std::uint64_t>(platform::RegistryType::Dword));
      EXPECT_EQ(e.bytes.size(), 4u);
      if (e.bytes.size() == 4)
        out.push_back(e.bytes[0] | e.bytes[1] << 8 | e.bytes[2] << 16 | e.bytes[3] << 24);
    }
    return out;
  }
  std::vector<sim::Event> HandlerWrites() {
    std::vector<sim::Event> out;
    for (const sim::Event& e : Events(EventKind::RegistryWrite))
      if (e.target == std::string("HKLM\\") + sim::reg_path::kCancelAutoplayClsid) out.push_back(e);
    return out;
  }
  const sim::RegistryStore::Value* Handler() {
    return world.registry().value(RegistryRoot::LocalMachine, sim::reg_path::kCancelAutoplayClsid,
                                  kHandlerValue);
  }
  // The registered object, as the shell finds it in the running-object table.
  platform::QueryCancelAutoPlay* ShellQuery() {
    const auto cookies = world.runningCookies();
    if (cookies.size() != 1) return nullptr;
    void* object = nullptr;
    if (world.runningObject(cookies[0])
            ->QueryInterface(platform::kIidIQueryCancelAutoPlay, &object) != platform::kSOk)
      return nullptr;
    return static_cast<platform::QueryCancelAutoPlay*>(object);
  }
};

// --- The user's AutoPlay setting ----------------------------------------------

class UserSettingTest : public AutoPlayTest, public ::testing::WithParamInterface<OsPreset> {
 protected:
  void SetUp() override { world.setOs(GetParam()); }
};

TEST_P(UserSettingTest, OffDuringTheRunAndBackAfter) {
  SetDisableAutoplay(0);
  {
    CAutoPlayReject reject(world.services());
    EXPECT_EQ(reject.SavedDisableAutoplay, 0);
    EXPECT_EQ(DisableAutoplay(), 1u);
  }
  EXPECT_EQ(DisableAutoplay(), 0u);
  EXPECT_EQ(UserWrites(), (std::vector<std::uint32_t>{1, 0}));
}

TEST_P(UserSettingTest, AnyOtherValueIsWrittenBackUnchanged) {
  for (std::uint32_t value : {1u, 2u}) {
    SetDisableAutoplay(value);
    world.transcript().clear();
    {
      CAutoPlayReject reject(world.services());
      EXPECT_EQ(reject.SavedDisableAutoplay, static_cast<std::int32_t>(value));
      EXPECT_TRUE(UserWrites().empty());
    }
    EXPECT_EQ(DisableAutoplay(), value);
    EXPECT_EQ(UserWrites(), (std::vector<std::uint32_t>{value}));
  }
}

TEST_P(UserSettingTest, MissingSettingIsNotCreated) {
  SetDisableAutoplay(std::nullopt);
  {
    CAutoPlayReject reject(world.services());
    EXPECT_EQ(reject.SavedDisableAutoplay, -1);
  }
  EXPECT_EQ(DisableAutoplay(), std::nullopt);
  EXPECT_TRUE(UserWrites().empty());
}

INSTANTIATE_TEST_SUITE_P(VistaAndLater, UserSettingTest,
                         ::testing::Values(OsPreset::Vista, OsPreset::Windows7,
                                           OsPreset::Windows10),
                         OsPresetName);

TEST_F(AutoPlayTest, XpLeavesTheUserSettingAlone) {
  world.setOs(OsPreset::WindowsXP);
  SetDisableAutoplay(0);
  {
    CAutoPlayReject reject(world.services());
    EXPECT_EQ(reject.SavedDisableAutoplay, -1);
    EXPECT_EQ(reject.RegisterInRunningObjectTable(), platform::kSOk);
    EXPECT_EQ(world.runningCookies().size(), 1u);
  }
  EXPECT_EQ(DisableAutoplay(), 0u);
  EXPECT_TRUE(UserWrites().empty());
  EXPECT_NE(Handler(), nullptr);
  EXPECT_EQ(Events(EventKind::RotRevoke).size(), 1u);
}

// --- The cancel handler ---------------------------------------------------------

TEST_F(AutoPlayTest, CancelHandlerIsListedInBothRegistryViewsAndStays) {
  { CAutoPlayReject reject(world.services()); }
  const auto* handler = Handler();
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(handler->type, platform::RegistryType::String);
  EXPECT_TRUE(handler->data.empty());

  const auto writes = HandlerWrites();
  ASSERT_EQ(writes.size(), 2u);
  for (const sim::Event& e : writes) {
    EXPECT_EQ(e.name, kHandlerValue);
    EXPECT_TRUE(e.bytes.empty());
    EXPECT_TRUE(e.ok);
  }
  EXPECT_NE(writes[0].length, kWow64SetValue);  // through RegCreateKeyA
  EXPECT_EQ(writes[1].length, kWow64SetValue);
}

TEST_F(AutoPlayTest, HandlerFailuresChangeNothingElse) {
  // No rights to HKEY_LOCAL_MACHINE: both writes fail, the rest goes on.
  world.faults().failRegistryWrite("CancelAutoplay");
  SetDisableAutoplay(0);
  {
    CAutoPlayReject reject(world.services());
    EXPECT_EQ(reject.RegisterInRunningObjectTable(), platform::kSOk);
    EXPECT_EQ(DisableAutoplay(), 1u);
  }
  EXPECT_EQ(Handler(), nullptr);
  EXPECT_EQ(DisableAutoplay(), 0u);
  EXPECT_EQ(Events(EventKind::RotRevoke).size(), 1u);

  // The key exists but cannot be created: the 64-bit view is still written.
  sim::World other;
  other.registry().createKey(RegistryRoot::LocalMachine, sim::reg_path::kCancelAutoplayClsid);
  other.faults().failRegistryCreate("CancelAutoplay");
  { CAutoPlayReject reject(other.services()); }
  EXPECT_NE(other.registry().value(RegistryRoot::LocalMachine, sim::reg_path::kCancelAutoplayClsid,
                                   kHandlerValue),
            nullptr);
  EXPECT_EQ(other.openRegistryKeyCount(), 0u);
}

// --- The running object ----------------------------------------------------------

TEST_F(AutoPlayTest, RegistersAndRevokesInTheRunningObjectTable) {
  std::uint32_t cookie = 0;
  {
    CAutoPlayReject reject(world.services());
    EXPECT_TRUE(Events(EventKind::RotRegister).empty());
    EXPECT_EQ(reject.RegisterInRunningObjectTable(), platform::kSOk);
    EXPECT_TRUE(reject.Registered);
    cookie = reject.RotCookie;
    EXPECT_EQ(world.runningCookies(), std::vector<std::uint32_t>{cookie});
    EXPECT_TRUE(Events(EventKind::RotRevoke).empty());
  }
  EXPECT_TRUE(world.runningCookies().empty());
  const auto revokes = Events(EventKind::RotRevoke);
  ASSERT_EQ(revokes.size(), 1u);
  EXPECT_EQ(revokes[0].value, cookie);
  EXPECT_TRUE(revokes[0].ok);
  EXPECT_EQ(world.openRegistryKeyCount(), 0u);
}

TEST_F(AutoPlayTest, NothingRevokedWithoutRegistration) {
  { CAutoPlayReject reject(world.services()); }
  EXPECT_TRUE(Events(EventKind::RotRegister).empty());
  EXPECT_TRUE(Events(EventKind::RotRevoke).empty());
}

TEST_F(AutoPlayTest, ObjectAnswersTheInterfacesItHas) {
  CAutoPlayReject reject(world.services());
  ASSERT_EQ(reject.RegisterInRunningObjectTable(), platform::kSOk);
  platform::ComUnknown* registered = world.runningObject(reject.RotCookie);
  ASSERT_NE(registered, nullptr);

  // Only the table's reference is left after registration.
  EXPECT_EQ(registered->AddRef(), 2u);
  EXPECT_EQ(registered->Release(), 1u);

  void* unknown = nullptr;
  EXPECT_EQ(registered->QueryInterface(platform::kIidIUnknown, &unknown), platform::kSOk);
  EXPECT_EQ(unknown, registered);
  void* query = nullptr;
  EXPECT_EQ(registered->QueryInterface(platform::kIidIQueryCancelAutoPlay, &query), platform::kSOk);
  EXPECT_NE(query, nullptr);
  EXPECT_EQ(registered->Release(), 2u);  // both queries added a reference
  EXPECT_EQ(registered->Release(), 1u);

  const platform::Guid kIidIClassFactory = {
      0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
  void* other = &unknown;
  EXPECT_EQ(registered->QueryInterface(kIidIClassFactory, &other), platform::kENoInterface);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(registered->AddRef(), 2u);  // no reference was added for it
  registered->Release();
}

TEST_F(AutoPlayTest, ShellIsToldToCancelForDrivesDToZ) {
  CAutoPlayReject reject(world.services());
  ASSERT_EQ(reject.RegisterInRunningObjectTable(), platform::kSOk);
  platform::QueryCancelAutoPlay* query = ShellQuery();
  ASSERT_NE(query, nullptr);

  for (char16_t letter = u'A'; letter <= u'Z'; ++letter) {
    const char16_t path[] = {letter, u':', u'\\', 0};
    EXPECT_EQ(query->AllowAutoPlay(path, 0, u"", 0),
              letter >= u'D' ? platform::kSFalse : platform::kSOk)
        << static_cast<char>(letter);
  }
  // Case-sensitive, over the whole path.
  EXPECT_EQ(query->AllowAutoPlay(u"e:\\", 0, u"PLAYER", 0x1234), platform::kSOk);
  EXPECT_EQ(query->AllowAutoPlay(u"c:\\mnt\\", 0, u"", 0), platform::kSOk);
  EXPECT_EQ(query->AllowAutoPlay(u"C:\\Mount\\", 0, u"", 0), platform::kSFalse);
  query->Release();
}

TEST_F(AutoPlayTest, ShellReferenceOutlivesTheRegistration) {
  platform::QueryCancelAutoPlay* query = nullptr;
  {
    CAutoPlayReject reject(world.services());
    ASSERT_EQ(reject.RegisterInRunningObjectTable(), platform::kSOk);
    query = ShellQuery();
    ASSERT_NE(query, nullptr);
  }
  // Revoked, yet still held by the shell: it answers until released.
  EXPECT_TRUE(world.runningCookies().empty());
  EXPECT_EQ(query->AllowAutoPlay(u"F:\\", 0, u"", 0), platform::kSFalse);
  EXPECT_EQ(query->Release(), 0u);
}

// --- The update exports --------------------------------------------------------------

TEST_F(AutoPlayTest, UpdateExportsHoldItToTheirEarlyReturns) {
  SetDisableAutoplay(0);
  std::vector<std::optional<std::uint32_t>> atRegistration;
  world.transcript().setListener([&](const sim::Event& e) {
    if (e.kind == EventKind::RotRegister) atRegistration.push_back(DisableAutoplay());
  });

  EXPECT_EQ(library.DoNormalUpdate("", "C:\\Firmware\\"), 10);
  EXPECT_EQ(library.DoNormalUpdate("0000KX7T4A2C19F0", ""), 11);
  EXPECT_EQ(library.DoRecoveryUpdate("", ""), 13);
  world.transcript().setListener(nullptr);

  EXPECT_EQ(atRegistration, (std::vector<std::optional<std::uint32_t>>(3, 1u)));
  EXPECT_EQ(Events(EventKind::RotRevoke).size(), 3u);
  EXPECT_TRUE(world.runningCookies().empty());
  EXPECT_EQ(DisableAutoplay(), 0u);
  EXPECT_EQ(UserWrites(), (std::vector<std::uint32_t>{1, 0, 1, 0, 1, 0}));
  EXPECT_FALSE(library.Busy());
}

TEST_F(AutoPlayTest, BusyReturnOfAnUpdateStillRestoresAutoPlay) {
  // A second update asked for while another operation holds the library:
  // the call is made at the first transcript event recorded while busy.
  sim::BuildDefaultScenario(world);
  SetDisableAutoplay(0);
  const std::string folder = sim::DefaultScenario::kFirmwareFolder;
  const std::string serial = sim::DefaultScenario::kSerial;

  std::optional<int> nested;
  std::optional<std::uint32_t> settingAfter;
  std::size_t cookiesAfter = 0;
  bool calling = false;
  world.transcript().setListener([&](const sim::Event&) {
    if (calling || nested || !library.Busy()) return;
    calling = true;
    nested = library.DoNormalUpdate(serial.c_str(), folder.c_str());
    settingAfter = DisableAutoplay();
    cookiesAfter = world.runningCookies().size();
    calling = false;
  });
  library.NeedRecovery(serial.c_str(), folder.c_str());
  world.transcript().setListener(nullptr);
  ASSERT_TRUE(nested.has_value());

  EXPECT_EQ(*nested, 3);
  EXPECT_EQ(settingAfter, 0u);
  EXPECT_EQ(cookiesAfter, 0u);
  EXPECT_EQ(Events(EventKind::RotRegister).size(), 1u);
  EXPECT_EQ(Events(EventKind::RotRevoke).size(), 1u);
}

}  // namespace
}  // namespace kx7::test
