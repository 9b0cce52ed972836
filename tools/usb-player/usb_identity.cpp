#include "tools/usb-player/usb_identity.h"

#include "util/byte_order.h"

namespace kx7::usbplayer {

namespace {

constexpr std::uint8_t kDescriptorDevice = 1;
constexpr std::uint8_t kDescriptorConfiguration = 2;
constexpr std::uint8_t kDescriptorString = 3;
constexpr std::uint8_t kDescriptorInterface = 4;
constexpr std::uint8_t kDescriptorEndpoint = 5;
constexpr std::uint8_t kDescriptorHid = 0x21;
constexpr std::uint8_t kDescriptorReport = 0x22;

constexpr std::uint8_t kStringManufacturer = 1;
constexpr std::uint8_t kStringProduct = 2;
constexpr std::uint8_t kStringSerial = 3;

void Append16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  std::uint8_t bytes[2];
  PutLe16(bytes, value);
  out.insert(out.end(), bytes, bytes + 2);
}

void Endpoint(std::vector<std::uint8_t>& out, std::uint8_t address, std::uint8_t attributes,
              std::uint16_t packetSize, std::uint8_t interval) {
  out.insert(out.end(), {7, kDescriptorEndpoint, address, attributes});
  Append16(out, packetSize);
  out.push_back(interval);
}

}  // namespace

std::vector<std::uint8_t> UsbIdentity::deviceDescriptor() const {
  std::vector<std::uint8_t> d = {18, kDescriptorDevice};
  Append16(d, 0x0200);               // USB 2.0
  d.insert(d.end(), {0, 0, 0, 64});  // class per interface; 64-byte control packets
  Append16(d, vendorId);
  Append16(d, productId);
  Append16(d, deviceRelease);
  d.push_back(manufacturer.empty() ? 0 : kStringManufacturer);
  d.push_back(product.empty() ? 0 : kStringProduct);
  d.push_back(serial.empty() ? 0 : kStringSerial);
  d.push_back(1);  // one configuration
  return d;
}

std::vector<std::uint8_t> UsbIdentity::hidDescriptor() const {
  std::vector<std::uint8_t> d = {9, kDescriptorHid};
  Append16(d, 0x0111);
  d.insert(d.end(), {0, 1, kDescriptorReport});
  Append16(d, static_cast<std::uint16_t>(reportDescriptor.size()));
  return d;
}

std::vector<std::uint8_t> UsbIdentity::configurationDescriptor() const {
  std::vector<std::uint8_t> d = {9, kDescriptorConfiguration, 0, 0, 1, 1, 0, 0x80, 250};
  d.insert(d.end(), {9, kDescriptorInterface, 0, 0, 2, interfaceClass, interfaceSubClass,
                     interfaceProtocol, 0});
  if (hid) {
    const auto h = hidDescriptor();
    d.insert(d.end(), h.begin(), h.end());
    Endpoint(d, kInterruptIn, 0x03, kInterruptPacketSize, 1);
    Endpoint(d, kInterruptOut, 0x03, kInterruptPacketSize, 1);
  } else {
    Endpoint(d, kBulkIn, 0x02, kBulkPacketSize, 0);
    Endpoint(d, kBulkOut, 0x02, kBulkPacketSize, 0);
  }
  PutLe16(&d[2], static_cast<std::uint16_t>(d.size()));
  return d;
}

std::vector<std::uint8_t> UsbIdentity::stringDescriptor(std::uint8_t index) const {
  if (index == 0) return {4, kDescriptorString, 0x09, 0x04};  // English (US)
  const std::string* text = index == kStringManufacturer ? &manufacturer
                            : index == kStringProduct    ? &product
                            : index == kStringSerial     ? &serial
                                                         : nullptr;
  if (!text || text->empty()) return {};
  std::vector<std::uint8_t> d = {0, kDescriptorString};
  for (char c : *text) Append16(d, static_cast<std::uint8_t>(c));
  d[0] = static_cast<std::uint8_t>(std::min<std::size_t>(d.size(), 254));
  d.resize(d[0]);
  return d;
}

std::vector<std::uint8_t> RomReportDescriptor(std::uint16_t outputReportLength,
                                              std::uint16_t inputReportLength) {
  // Lengths count the report id byte; the descriptor gives the bytes after it.
  const std::uint16_t out = outputReportLength > 1 ? outputReportLength - 1 : 1;
  const std::uint16_t in = inputReportLength > 1 ? inputReportLength - 1 : 1;
  std::vector<std::uint8_t> d = {0x06, 0x00, 0xFF,  // usage page: vendor defined
                                 0x09, 0x01,        // usage 1
                                 0xA1, 0x01,        // collection: application
                                 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08};  // bytes
  auto report = [&d](std::uint8_t id, std::uint16_t count, std::uint8_t mainItem) {
    d.insert(d.end(), {0x85, id, 0x96});
    Append16(d, count);
    d.insert(d.end(), {0x09, 0x01, mainItem, 0x02});
  };
  report(1, out, 0x91);  // output: the command report
  report(2, out, 0x91);  // output: data reports
  report(3, in, 0x81);   // input: status, never read by the host
  d.push_back(0xC0);
  return d;
}

UsbIdentity IdentityFor(const sim::Player& player, sim::PlayerMode mode) {
  UsbIdentity id;
  switch (mode) {
    case sim::PlayerMode::RomRecovery:
      id.vendorId = 0x066F;
      id.productId = 0x3770;
      id.deviceRelease = 0x0001;
      id.hid = true;
      id.interfaceClass = 0x03;
      id.reportDescriptor = RomReportDescriptor(player.config.hidOutputReportLength,
                                                player.config.hidInputReportLength);
      break;
    case sim::PlayerMode::Updater:
      id.vendorId = 0x066F;
      id.productId = 0xA000;
      id.deviceRelease = 0x0001;
      id.manufacturer = "_Generic";
      id.product = "MSC Recovery";
      id.serial = player.config.serial;
      break;
    default:
      id.vendorId = 0x3F1C;
      id.productId = 0x7A52;
      id.deviceRelease = 0x0102;
      id.manufacturer = "Korvane";
      id.product = "Tessio Mirl";
      id.serial = player.config.serial;
      break;
  }
  if (!id.hid) {
    id.interfaceClass = 0x08;     // mass storage
    id.interfaceSubClass = 0x06;  // SCSI transparent command set
    id.interfaceProtocol = 0x50;  // Bulk-Only Transport
  }
  return id;
}

}  // namespace kx7::usbplayer
