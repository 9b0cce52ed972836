// Any product name, mounted-devices values, parent-id prefixes and device
// list into the drive-letter and serial lookups: they must end, close every
// key they open, and answer only what can be a letter or a serial.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "fuzz/fuzz_check.h"
#include "host/drive_letters.h"
#include "host/serial_lookup.h"
#include "sim/world.h"

namespace {

using kx7::platform::RegistryRoot;
using kx7::platform::RegistryType;

std::vector<std::uint8_t> Bytes(FuzzedDataProvider& input, std::size_t most) {
  return input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, most));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  kx7::sim::World world;
  world.setOsVersion({input.ConsumeIntegralInRange<std::uint32_t>(4, 10),
                      input.ConsumeIntegralInRange<std::uint32_t>(0, 3)});
  world.set64Bit(input.ConsumeBool());
  world.registry().setValue(RegistryRoot::LocalMachine, kx7::sim::reg_path::kCurrentVersion,
                            "ProductName", RegistryType::String, Bytes(input, 1100));
  // Values for some letters, any bytes in them.
  for (int n = input.ConsumeIntegralInRange<int>(0, 8); n > 0; --n) {
    const char letter = static_cast<char>('A' + input.ConsumeIntegralInRange<int>(0, 25));
    world.registry().setValue(RegistryRoot::LocalMachine, kx7::sim::reg_path::kMountedDevices,
                              std::string("\\DosDevices\\") + letter + ":", RegistryType::Binary,
                              Bytes(input, 1100));
  }
  // Devices in the list, some with the player's prefix, and their USBSTOR keys.
  for (int n = input.ConsumeIntegralInRange<int>(0, 4); n > 0; --n) {
    const std::string serial = input.ConsumeRandomLengthString(48);
    world.addOtherDevice(input.ConsumeBool() ? "USB" : "DiskDrive",
                         std::string(kx7::kPlayerUsbPrefix) + serial);
    if (input.ConsumeBool())
      world.registry().setValue(
          RegistryRoot::LocalMachine,
          std::string(kx7::sim::reg_path::kUsbStorPlayer) + "\\" + serial + "&0", "ParentIdPrefix",
          RegistryType::String, Bytes(input, 1100));
  }
  const std::string serial = input.ConsumeRandomLengthString(300);
  const kx7::platform::Services services = world.services();

  const char letter = kx7::FindDriveLetterForSerial(services, serial);
  KX7_FUZZ_CHECK(letter == 0 || (letter >= 'A' && letter <= 'Y'));
  for (char l = 'A'; l <= 'Z'; ++l) {
    const auto found = kx7::FindSerialForDriveLetter(services, l);
    if (found) KX7_FUZZ_CHECK(found->size() <= 32);
  }
  using kx7::HostOs;
  const HostOs os = kx7::ClassifyHostOs(services);
  KX7_FUZZ_CHECK(os == HostOs::Windows2000 || os == HostOs::WindowsXp || os == HostOs::Server2003 ||
                 os == HostOs::Vista || os == HostOs::Vista64 || os == HostOs::Later);
  char id[128];
  for (int index = 0; index < 6; ++index) {
    const int found = kx7::DeviceSerialNum(services.devices, id, index);
    KX7_FUZZ_CHECK(found == 0 || found == 1);
    if (found == 1) KX7_FUZZ_CHECK(std::char_traits<char>::length(id) < sizeof id);
  }
  KX7_FUZZ_CHECK(world.openRegistryKeyCount() == 0);
  return 0;
}
