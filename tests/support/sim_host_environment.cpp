// The host-integration cases on the simulated host.
#include "sim/host/text.h"
#include "sim/world.h"
#include "support/host_environment.h"
#include "support/host_players.h"

namespace kx7::test {

namespace {

class SimHostEnvironment final : public HostEnvironment {
 public:
  SimHostEnvironment() : player_(AddNormalPlayer(world_, "0000KX7T4A2C19F0", 'P')) {
    world_.files().addDirectory(kScratch);
  }
  platform::Services services() override { return world_.services(); }
  char playerLetter() const override { return 'P'; }
  void putPlayerFile(std::string_view name, std::span<const std::uint8_t> bytes) override {
    player_.rootFiles[sim::Upper(name)] = {bytes.begin(), bytes.end()};
  }
  void clearPlayer() override { player_.rootFiles.clear(); }
  std::string scratchFolder() const override { return kScratch; }
  void removeValue(platform::RegistryRoot root, std::string_view key,
                   std::string_view name) override {
    world_.registry().removeValue(root, key, name);
  }
  bool strictAsWindows() const override { return true; }

 private:
  static constexpr const char* kScratch = "C:\\Scratch";
  sim::World world_;
  sim::Player& player_;
};

}  // namespace

std::unique_ptr<HostEnvironment> MakeHostEnvironment() {
  return std::make_unique<SimHostEnvironment>();
}

}  // namespace kx7::test
