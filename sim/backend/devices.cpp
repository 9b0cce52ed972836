#include <cstring>

#include "sim/backend/backends.h"
#include "sim/host/text.h"

namespace kx7::sim {

namespace {

bool CopyOut(const std::string& text, std::span<char> buffer) {
  if (text.size() + 1 > buffer.size()) return false;  // ERROR_INSUFFICIENT_BUFFER
  std::memcpy(buffer.data(), text.c_str(), text.size() + 1);
  return true;
}

// A snapshot of the present devices, taken when the set is made.
class SimPresentDeviceSet final : public platform::PresentDeviceSet {
 public:
  explicit SimPresentDeviceSet(std::vector<std::pair<std::string, std::string>> devices)
      : devices_(std::move(devices)) {}
  platform::EnumResult member(std::uint32_t index) override {
    return index < devices_.size() ? platform::EnumResult::Ok : platform::EnumResult::NoMoreItems;
  }
  bool className(std::uint32_t index, std::span<char> buffer) override {
    return index < devices_.size() && CopyOut(devices_[index].first, buffer);
  }
  bool instanceId(std::uint32_t index, std::span<char> buffer) override {
    return index < devices_.size() && CopyOut(devices_[index].second, buffer);
  }

 private:
  std::vector<std::pair<std::string, std::string>> devices_;
};

class SimHidInterfaceSet final : public platform::HidInterfaceSet {
 public:
  SimHidInterfaceSet(std::vector<std::string> paths, const Faults& faults)
      : paths_(std::move(paths)), faults_(faults) {}
  platform::EnumResult interfaceAt(std::uint32_t index) override {
    if (faults_.hidEnumerationFails(index)) return platform::EnumResult::Error;
    return index < paths_.size() ? platform::EnumResult::Ok : platform::EnumResult::NoMoreItems;
  }
  std::optional<std::string> devicePath(std::uint32_t index) override {
    if (index >= paths_.size() || faults_.hidDetailFails(index)) return std::nullopt;
    return paths_[index];
  }

 private:
  std::vector<std::string> paths_;
  const Faults& faults_;
};

}  // namespace

std::unique_ptr<platform::PresentDeviceSet> SimDeviceEnumeration::presentDevices(
    std::uint32_t& lastError) {
  const auto guard = world_.lock();
  if (const auto error = world_.faults().deviceListError()) {
    lastError = *error;
    return nullptr;
  }
  return std::make_unique<SimPresentDeviceSet>(world_.presentDevices());
}

std::unique_ptr<platform::HidInterfaceSet> SimDeviceEnumeration::hidInterfaces() {
  const auto guard = world_.lock();
  if (world_.faults().hidSetFails()) return nullptr;
  std::vector<std::string> paths;
  for (const auto& entry : world_.hidInterfaces()) paths.push_back(entry.path);
  return std::make_unique<SimHidInterfaceSet>(std::move(paths), world_.faults());
}

}  // namespace kx7::sim
