#include "usb_testbed.h"

#include <dlfcn.h>
#include <linux/hidraw.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace kx7::test {

namespace {

constexpr const char* kUsbRoot = "/devices/pci0000:00/0000:00:14.0/usb1";
constexpr unsigned kSdMajor = 8;
constexpr unsigned kSgMajor = 21;
constexpr unsigned kHidrawMajor = 247;
constexpr unsigned kUsbMajor = 189;
constexpr std::uint64_t kPartitionStart512 = 2048;
constexpr unsigned char kDriverSense = 0x08;  // sense data came with the status

std::string Format(const char* format, auto... values) {
  char text[512];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

// One device in umockdev's record format.
struct Record {
  std::string devpath;  // under /sys
  std::vector<std::string> lines;
  Record& property(const std::string& key, const std::string& value) {
    lines.push_back("E: " + key + "=" + value);
    return *this;
  }
  Record& attribute(const std::string& key, const std::string& value) {
    lines.push_back("A: " + key + "=" + value);
    return *this;
  }
  // The device number, as sysfs and the uevent both give it.
  Record& devnum(unsigned major, unsigned minor) {
    property("MAJOR", std::to_string(major));
    property("MINOR", std::to_string(minor));
    return attribute("dev", std::to_string(major) + ":" + std::to_string(minor));
  }
  Record& node(const std::string& name) {
    lines.push_back("N: " + name);
    return property("DEVNAME", "/dev/" + name);
  }
  std::string text() const {
    std::string out = "P: " + devpath + "\n";
    for (const std::string& line : lines) out += line + "\n";
    return out + "\n";
  }
};

// A keyboard's boot-protocol descriptor: 8-byte input report, 1-byte LED
// output report, no report ids.
const std::vector<std::uint8_t> kKeyboardDescriptor = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

// INQUIRY of someone else's flash disk.
void ForeignInquiry(std::uint8_t* data, std::size_t length) {
  std::uint8_t answer[36] = {};
  answer[1] = 0x80;
  answer[4] = 31;
  std::memcpy(&answer[8], "SanDisk Cruzer Blade     1.00", 28);
  std::memcpy(data, answer, std::min(length, sizeof answer));
}

}  // namespace

std::vector<std::uint8_t> UsbTestbed::RomReportDescriptor() {
  return {0x06, 0x00, 0xFF,                                      // usage page: vendor defined
          0x09, 0x01,                                            // usage 1
          0xA1, 0x01,                                            // collection: application
          0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,              // bytes
          0x85, 0x01, 0x96, 0x00, 0x04, 0x09, 0x01, 0x91, 0x02,  // output 1: 1024 bytes
          0x85, 0x02, 0x96, 0x00, 0x04, 0x09, 0x01, 0x91, 0x02,  // output 2: 1024 bytes
          0x85, 0x03, 0x95, 0x0D, 0x09, 0x01, 0x81, 0x02,        // input 3: 13 bytes
          0xC0};
}

bool UsbTestbed::Available() {
  // Loaded already (preloaded), not loaded now.
  void* preload = dlopen("libumockdev-preload.so.0", RTLD_NOW | RTLD_NOLOAD);
  if (preload) dlclose(preload);
  return preload != nullptr;
}

UsbTestbed::UsbTestbed() : testbed_(umockdev_testbed_new()) {
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  root_ = root;
  g_free(root);
}

UsbTestbed::~UsbTestbed() {
  g_object_unref(testbed_);
  for (void* handler : handlers_) g_object_unref(handler);
}

std::string UsbTestbed::testbedPath(const std::string& node) const {
  return root_ + node;
}

void UsbTestbed::attach(const std::string& node, NodeContext context) {
  contexts_.push_back(std::make_unique<NodeContext>(context));
  UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
  g_signal_connect(handler, "handle-ioctl", G_CALLBACK(&UsbTestbed::OnIoctl),
                   contexts_.back().get());
  g_signal_connect(handler, "handle-write", G_CALLBACK(&UsbTestbed::OnWrite),
                   contexts_.back().get());
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed_, node.c_str(), handler, &error)) {
    const std::string message = error ? error->message : "attach failed";
    g_clear_error(&error);
    throw std::runtime_error(message);
  }
  handlers_.push_back(handler);
}

UsbTestbed::Appearance UsbTestbed::addMassStorage(
    const std::string& vendorId, const std::string& productId, const std::string& serial,
    const std::string& scsiVendor, const std::string& scsiModel, const std::string& scsiRevision,
    std::uint64_t sizeBytes, bool partitioned) {
  Appearance a;
  const unsigned port = nextUsbPort_++;
  const unsigned host = nextScsiHost_++;
  const unsigned disk = nextDisk_++;
  const unsigned sg = nextSg_++;
  const std::string usb = Format("%s/1-%u", kUsbRoot, port);
  const std::string intf = usb + Format("/1-%u:1.0", port);
  const std::string scsi = intf + Format("/host%u/target%u:0:0/%u:0:0:0", host, host, host);
  const std::string name = Format("sd%c", 'b' + disk);
  const unsigned minor = 16 * (disk + 1);

  std::vector<Record> records;
  records.push_back(Record{usb}
                        .property("SUBSYSTEM", "usb")
                        .property("DEVTYPE", "usb_device")
                        .node(Format("bus/usb/001/%03u", port + 1))
                        .attribute("idVendor", vendorId)
                        .attribute("idProduct", productId)
                        .attribute("busnum", "1")
                        .attribute("devnum", std::to_string(port + 1))
                        .devnum(kUsbMajor, port));
  if (!serial.empty()) records.back().attribute("serial", serial);
  records.push_back(Record{intf}
                        .property("SUBSYSTEM", "usb")
                        .property("DEVTYPE", "usb_interface")
                        .attribute("bInterfaceClass", "08"));
  records.push_back(Record{intf + Format("/host%u", host)}
                        .property("SUBSYSTEM", "scsi")
                        .property("DEVTYPE", "scsi_host"));
  records.push_back(Record{intf + Format("/host%u/target%u:0:0", host, host)}
                        .property("SUBSYSTEM", "scsi")
                        .property("DEVTYPE", "scsi_target"));
  records.push_back(Record{scsi}
                        .property("SUBSYSTEM", "scsi")
                        .property("DEVTYPE", "scsi_device")
                        .attribute("vendor", scsiVendor)
                        .attribute("model", scsiModel)
                        .attribute("rev", scsiRevision));
  records.push_back(Record{scsi + "/block/" + name}
                        .property("SUBSYSTEM", "block")
                        .property("DEVTYPE", "disk")
                        .node(name)
                        .devnum(kSdMajor, minor)
                        .attribute("size", std::to_string(sizeBytes / 512))
                        .attribute("removable", "1")
                        .attribute("diskseq", std::to_string(nextDiskseq_++)));
  a.blockNode = "/dev/" + name;
  a.disk = makedev(kSdMajor, minor);
  if (partitioned) {
    records.push_back(Record{scsi + "/block/" + name + "/" + name + "1"}
                          .property("SUBSYSTEM", "block")
                          .property("DEVTYPE", "partition")
                          .node(name + "1")
                          .devnum(kSdMajor, minor + 1)
                          .attribute("partition", "1")
                          .attribute("start", std::to_string(kPartitionStart512))
                          .attribute("size", std::to_string(sizeBytes / 512 - kPartitionStart512)));
    a.partition = makedev(kSdMajor, minor + 1);
  }
  records.push_back(Record{scsi + Format("/scsi_generic/sg%u", sg)}
                        .property("SUBSYSTEM", "scsi_generic")
                        .node(Format("sg%u", sg))
                        .devnum(kSgMajor, sg));
  a.sgNode = Format("/dev/sg%u", sg);

  std::string text;
  for (const Record& r : records) {
    text += r.text();
    a.syspaths.push_back("/sys" + r.devpath);
  }
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, text.c_str(), &error)) {
    const std::string message = error ? error->message : "add failed";
    g_clear_error(&error);
    throw std::runtime_error(message);
  }
  return a;
}

UsbTestbed::Appearance UsbTestbed::addHidDevice(const std::string& vendorId,
                                                const std::string& productId) {
  Appearance a;
  const unsigned port = nextUsbPort_++;
  const unsigned hidraw = nextHidraw_++;
  const std::string usb = Format("%s/1-%u", kUsbRoot, port);
  const std::string intf = usb + Format("/1-%u:1.0", port);
  std::string upperVendor = vendorId, upperProduct = productId;
  for (char& c : upperVendor) c = static_cast<char>(std::toupper(c));
  for (char& c : upperProduct) c = static_cast<char>(std::toupper(c));
  const std::string hid =
      intf + Format("/0003:%s:%s.%04X", upperVendor.c_str(), upperProduct.c_str(), hidraw + 1);
  const std::string name = Format("hidraw%u", hidraw);

  const Record records[] = {
      Record{usb}
          .property("SUBSYSTEM", "usb")
          .property("DEVTYPE", "usb_device")
          .node(Format("bus/usb/001/%03u", port + 1))
          .attribute("idVendor", vendorId)
          .attribute("idProduct", productId)
          .devnum(kUsbMajor, port),
      Record{intf}
          .property("SUBSYSTEM", "usb")
          .property("DEVTYPE", "usb_interface")
          .attribute("bInterfaceClass", "03"),
      Record{hid}
          .property("SUBSYSTEM", "hid")
          .property("HID_ID", "0003:0000" + upperVendor + ":0000" + upperProduct),
      Record{hid + "/hidraw/" + name}
          .property("SUBSYSTEM", "hidraw")
          .node(name)
          .devnum(kHidrawMajor, hidraw),
  };
  std::string text;
  for (const Record& r : records) {
    text += r.text();
    a.syspaths.push_back("/sys" + r.devpath);
  }
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, text.c_str(), &error)) {
    const std::string message = error ? error->message : "add failed";
    g_clear_error(&error);
    throw std::runtime_error(message);
  }
  a.hidrawNode = "/dev/" + name;
  return a;
}

void UsbTestbed::removeAppearance(Appearance& appearance) {
  for (auto it = appearance.syspaths.rbegin(); it != appearance.syspaths.rend(); ++it)
    umockdev_testbed_remove_device(testbed_, it->c_str());
  appearance = {};
}

std::size_t UsbTestbed::addPlayer(sim::PlayerConfig config, std::vector<sim::SimDrive> drives) {
  auto slot = std::make_unique<PlayerSlot>();
  const sim::PlayerMode mode = config.initialMode;
  slot->model = std::make_unique<sim::Player>(std::move(config));
  slot->model->drives = std::move(drives);
  players_.push_back(std::move(slot));
  {
    std::lock_guard lock(mutex_);
    players_.back()->model->enter(mode);
  }
  show(players_.size() - 1);
  return players_.size() - 1;
}

void UsbTestbed::show(std::size_t index) {
  PlayerSlot& slot = *players_[index];
  removeAppearance(slot.appearance);
  const sim::Player& player = *slot.model;
  const sim::PlayerConfig& config = player.config;
  const sim::SimDrive* data = player.dataDrive();
  const std::uint64_t size = data ? data->sizeBytes : 64 << 20;
  const NodeContext context{this, NodeKind::PlayerScsi, index, player.generation};
  switch (player.mode) {
    case sim::PlayerMode::Normal:
      slot.appearance = addMassStorage("3f1c", "7a52", config.serial, "Korvane", "Tessio Mirl",
                                       "0102", size, true);
      attach(slot.appearance.sgNode, context);
      break;
    case sim::PlayerMode::Updater:
      slot.appearance = addMassStorage("066f", "a000", config.serial, "_Generic", "MSC Recovery",
                                       "0001", size, true);
      attach(slot.appearance.sgNode, context);
      break;
    case sim::PlayerMode::RomRecovery:
      slot.appearance = addHidDevice("066f", "3770");
      attach(slot.appearance.hidrawNode, {this, NodeKind::PlayerHid, index, player.generation});
      break;
    default:
      break;
  }
}

void UsbTestbed::leave(std::size_t index, sim::Leaving why) {
  departures_.push_back({index, players_[index]->model->leave(why)});
}

void UsbTestbed::addForeignDisk(const std::string& serial) {
  others_.push_back(addMassStorage("0781", "5567", serial, "SanDisk", "Cruzer Blade", "1.00",
                                   std::uint64_t{8} << 30, true));
  attach(others_.back().sgNode, {this, NodeKind::ForeignScsi, 0, 0});
}

void UsbTestbed::addKeyboard() {
  others_.push_back(addHidDevice("046d", "c31c"));
  attach(others_.back().hidrawNode, {this, NodeKind::KeyboardHid, 0, 0});
}

void UsbTestbed::unplug(std::size_t index) {
  {
    std::lock_guard lock(mutex_);
    players_.at(index)->model->leave(sim::Leaving::Unplugged);
  }
  removeAppearance(players_[index]->appearance);
}

void UsbTestbed::failScsiFrom(std::size_t index, sim::PlayerMode mode, unsigned nth) {
  std::lock_guard lock(mutex_);
  players_.at(index)->scsiCommands = 0;
  players_.at(index)->failFrom = nth;
  players_.at(index)->failMode = mode;
}

dev_t UsbTestbed::PartitionDevnumOfDisk(unsigned nth) {
  return makedev(kSdMajor, 16 * (nth + 1) + 1);
}

std::string UsbTestbed::blockNode(std::size_t index) const {
  return players_.at(index)->appearance.blockNode;
}
std::string UsbTestbed::sgNode(std::size_t index) const {
  return players_.at(index)->appearance.sgNode;
}
std::string UsbTestbed::hidrawNode(std::size_t index) const {
  return players_.at(index)->appearance.hidrawNode;
}
dev_t UsbTestbed::partitionDevnum(std::size_t index) const {
  return players_.at(index)->appearance.partition;
}
dev_t UsbTestbed::diskDevnum(std::size_t index) const {
  return players_.at(index)->appearance.disk;
}

// --- Time ---------------------------------------------------------------------

void UsbTestbed::applyChanges() {
  std::vector<Departure> departures;
  {
    std::lock_guard lock(mutex_);
    departures.swap(departures_);
  }
  for (const Departure& d : departures) {
    removeAppearance(players_[d.player]->appearance);
    if (!d.arrival) continue;
    scheduled_.push_back({now_ + d.arrival->delayMs, [this, index = d.player, a = *d.arrival] {
                            bool arrived;
                            {
                              std::lock_guard lock(mutex_);
                              arrived = players_[index]->model->arrive(a);
                            }
                            if (arrived) show(index);
                          }});
  }
}

void UsbTestbed::sleep(std::uint32_t milliseconds) {
  applyChanges();
  const std::uint64_t end = now_ + milliseconds;
  for (;;) {
    auto due = std::min_element(scheduled_.begin(), scheduled_.end(),
                                [](const Scheduled& a, const Scheduled& b) { return a.at < b.at; });
    if (due == scheduled_.end() || due->at > end) break;
    now_ = std::max(now_, due->at);
    auto action = std::move(due->action);
    scheduled_.erase(due);
    action();
    applyChanges();
  }
  now_ = end;
}

// --- The nodes, on umockdev's worker thread -------------------------------------

int UsbTestbed::OnIoctl(void*, void* client, void* context) {
  const auto& node = *static_cast<NodeContext*>(context);
  switch (node.kind) {
    case NodeKind::PlayerScsi:
    case NodeKind::ForeignScsi:
      return node.bed->scsiIoctl(node, client);
    case NodeKind::PlayerHid:
    case NodeKind::KeyboardHid:
      return node.bed->hidIoctl(node, client);
  }
  return FALSE;
}

int UsbTestbed::OnWrite(void*, void* client, void* context) {
  const auto& node = *static_cast<NodeContext*>(context);
  return node.bed->hidWrite(node, client);
}

bool UsbTestbed::scsiIoctl(const NodeContext& node, void* opaque) {
  auto* client = static_cast<UMockdevIoctlClient*>(opaque);
  if (umockdev_ioctl_client_get_request(client) != SG_IO) return false;
  std::lock_guard lock(mutex_);
  PlayerSlot* slot = node.kind == NodeKind::PlayerScsi ? players_[node.player].get() : nullptr;
  const bool pulled = slot && slot->failFrom && slot->model->mode == slot->failMode &&
                      ++slot->scsiCommands >= slot->failFrom;
  if (slot && (slot->model->generation != node.generation || pulled)) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return true;
  }

  GError* error = nullptr;
  UMockdevIoctlData* header = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                          sizeof(sg_io_hdr_t), &error);
  const auto* io = reinterpret_cast<sg_io_hdr_t*>(header->data);
  UMockdevIoctlData* cdb =
      umockdev_ioctl_data_resolve(header, offsetof(sg_io_hdr_t, cmdp), io->cmd_len, &error);
  io = reinterpret_cast<sg_io_hdr_t*>(header->data);
  UMockdevIoctlData* data = io->dxfer_len
                                ? umockdev_ioctl_data_resolve(header, offsetof(sg_io_hdr_t, dxferp),
                                                              io->dxfer_len, &error)
                                : nullptr;
  io = reinterpret_cast<sg_io_hdr_t*>(header->data);
  UMockdevIoctlData* sense =
      io->mx_sb_len
          ? umockdev_ioctl_data_resolve(header, offsetof(sg_io_hdr_t, sbp), io->mx_sb_len, &error)
          : nullptr;
  auto* out = reinterpret_cast<sg_io_hdr_t*>(header->data);

  const std::span<const std::uint8_t> command(cdb->data, out->cmd_len);
  const std::span<std::uint8_t> payload =
      data ? std::span<std::uint8_t>(data->data, out->dxfer_len) : std::span<std::uint8_t>();
  bool good = false;
  if (slot) {
    const sim::ScsiResult result =
        slot->model->execute(command, out->dxfer_direction == SG_DXFER_FROM_DEV, payload);
    good = result.good;
    // The player leaves the bus at once; its new self appears later.
    if (result.leaving) leave(node.player, *result.leaving);
  } else if (command[0] == 0x12 && !payload.empty()) {
    ForeignInquiry(payload.data(), payload.size());
    good = true;
  }
  out->status = good ? 0x00 : 0x02;
  out->masked_status = good ? 0x00 : 0x01;
  out->host_status = 0;
  out->driver_status = good ? 0 : kDriverSense;
  out->resid = 0;
  out->sb_len_wr = 0;
  if (!good && sense && out->mx_sb_len >= 14) {
    std::memset(sense->data, 0, out->mx_sb_len);
    sense->data[0] = 0x70;
    sense->data[2] = 0x05;  // ILLEGAL REQUEST
    sense->data[7] = 10;
    sense->data[12] = 0x20;  // invalid command operation code
    out->sb_len_wr = 18;
  }
  umockdev_ioctl_client_complete(client, 0, 0);
  for (UMockdevIoctlData* d : {sense, data, cdb, header})
    if (d) g_object_unref(d);
  return true;
}

bool UsbTestbed::hidIoctl(const NodeContext& node, void* opaque) {
  auto* client = static_cast<UMockdevIoctlClient*>(opaque);
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  const std::vector<std::uint8_t> descriptor =
      node.kind == NodeKind::PlayerHid ? RomReportDescriptor() : kKeyboardDescriptor;
  GError* error = nullptr;
  if (request == HIDIOCGRDESCSIZE) {
    UMockdevIoctlData* size =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(int), &error);
    const int length = static_cast<int>(descriptor.size());
    std::memcpy(size->data, &length, sizeof length);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(size);
    return true;
  }
  if (request == HIDIOCGRDESC) {
    UMockdevIoctlData* out = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                         sizeof(hidraw_report_descriptor), &error);
    auto* report = reinterpret_cast<hidraw_report_descriptor*>(out->data);
    const std::size_t length = std::min<std::size_t>(report->size, descriptor.size());
    std::memcpy(report->value, descriptor.data(), length);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(out);
    return true;
  }
  return false;
}

bool UsbTestbed::hidWrite(const NodeContext& node, void* opaque) {
  auto* client = static_cast<UMockdevIoctlClient*>(opaque);
  UMockdevIoctlData* report = umockdev_ioctl_client_get_arg(client);
  const auto length = static_cast<std::size_t>(report->data_len);
  std::lock_guard lock(mutex_);
  if (node.kind == NodeKind::KeyboardHid) {
    umockdev_ioctl_client_complete(client, static_cast<glong>(length), 0);
    return true;
  }
  sim::Player& player = *players_[node.player]->model;
  if (player.generation != node.generation || player.mode != sim::PlayerMode::RomRecovery) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return true;
  }
  if (player.receiveHidReport(std::span<const std::uint8_t>(report->data, length)))
    leave(node.player, sim::Leaving::UpdaterDownloaded);
  umockdev_ioctl_client_complete(client, static_cast<glong>(length), 0);
  return true;
}

}  // namespace kx7::test
