#include "tools/usb-player/redir_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kx7::usbplayer {

namespace {

// Endpoint address -> the index usbredir's endpoint tables use.
int EndpointIndex(std::uint8_t address) {
  return ((address & 0x80) >> 3) | (address & 0x0F);
}

bool OnTheBus(sim::PlayerMode mode) {
  return mode == sim::PlayerMode::Normal || mode == sim::PlayerMode::Updater ||
         mode == sim::PlayerMode::RomRecovery;
}

// Packets the player never expects from the guest: accepted and dropped.
void IgnoreStartIso(void*, uint64_t, usb_redir_start_iso_stream_header*) {}
void IgnoreStopIso(void*, uint64_t, usb_redir_stop_iso_stream_header*) {}
void IgnoreAllocStreams(void*, uint64_t, usb_redir_alloc_bulk_streams_header*) {}
void IgnoreFreeStreams(void*, uint64_t, usb_redir_free_bulk_streams_header*) {}
void IgnoreFilterReject(void*) {}
void IgnoreFilter(void*, usbredirfilter_rule* rules, int) {
  free(rules);
}
void IgnoreStartBulkReceiving(void*, uint64_t, usb_redir_start_bulk_receiving_header*) {}
void IgnoreStopBulkReceiving(void*, uint64_t, usb_redir_stop_bulk_receiving_header*) {}
void IgnoreIso(void* priv, uint64_t, usb_redir_iso_packet_header*, uint8_t* data, int) {
  if (data) usbredirparser_free_packet_data(static_cast<RedirPort*>(priv)->parser(), data);
}

constexpr std::uint8_t kRequestGetStatus = 0x00;
constexpr std::uint8_t kRequestClearFeature = 0x01;
constexpr std::uint8_t kRequestSetFeature = 0x03;
constexpr std::uint8_t kRequestGetDescriptor = 0x06;
constexpr std::uint8_t kRequestMassStorageReset = 0xFF;
constexpr std::uint8_t kRequestGetMaxLun = 0xFE;
constexpr std::uint8_t kRequestHidGetReport = 0x01;
constexpr std::uint8_t kRequestHidSetReport = 0x09;
constexpr std::uint8_t kRequestHidSetIdle = 0x0A;
constexpr std::uint8_t kRequestHidSetProtocol = 0x0B;

}  // namespace

RedirPort::RedirPort(sim::Player& player, std::string socketPath, double delayScale)
    : player_(player),
      path_(std::move(socketPath)),
      delayScale_(delayScale),
      scsi_(player),
      bot_(scsi_) {
  identity_ = IdentityFor(player_, player_.mode);
  scsi_.log = stderr;
}

RedirPort::~RedirPort() {
  closeConnection();
  if (listenFd_ >= 0) {
    close(listenFd_);
    unlink(path_.c_str());
  }
}

bool RedirPort::listen(std::string& error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path) {
    error = path_ + ": socket path too long";
    return false;
  }
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  unlink(path_.c_str());
  listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0 ||
      bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 1) != 0) {
    error = path_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::vector<RedirPort::Poll> RedirPort::pollSet() const {
  std::vector<Poll> set;
  if (fd_ < 0) {
    set.push_back({listenFd_, POLLIN});
  } else {
    short events = POLLIN;
    if (parser_ && usbredirparser_has_data_to_write(parser_)) events |= POLLOUT;
    set.push_back({fd_, events});
  }
  return set;
}

void RedirPort::handle(int fd, short revents) {
  if (fd == listenFd_ && (revents & POLLIN)) {
    accept();
  } else if (fd == fd_) {
    if (revents & (POLLIN | POLLHUP | POLLERR)) readSocket();
    if (fd_ >= 0 && (revents & POLLOUT)) flush();
  }
}

void RedirPort::accept() {
  const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  fd_ = fd;
  parser_ = usbredirparser_create();
  parser_->priv = this;
  parser_->log_func = &RedirPort::Log;
  parser_->read_func = &RedirPort::Read;
  parser_->write_func = &RedirPort::Write;
  parser_->hello_func = &RedirPort::Hello;
  parser_->reset_func = &RedirPort::Reset;
  parser_->set_configuration_func = &RedirPort::SetConfiguration;
  parser_->get_configuration_func = &RedirPort::GetConfiguration;
  parser_->set_alt_setting_func = &RedirPort::SetAltSetting;
  parser_->get_alt_setting_func = &RedirPort::GetAltSetting;
  parser_->start_interrupt_receiving_func = &RedirPort::StartInterruptReceiving;
  parser_->stop_interrupt_receiving_func = &RedirPort::StopInterruptReceiving;
  parser_->cancel_data_packet_func = &RedirPort::CancelDataPacket;
  parser_->device_disconnect_ack_func = &RedirPort::DisconnectAck;
  parser_->control_packet_func = &RedirPort::ControlPacket;
  parser_->bulk_packet_func = &RedirPort::BulkPacket;
  parser_->interrupt_packet_func = &RedirPort::InterruptPacket;
  parser_->start_iso_stream_func = &IgnoreStartIso;
  parser_->stop_iso_stream_func = &IgnoreStopIso;
  parser_->alloc_bulk_streams_func = &IgnoreAllocStreams;
  parser_->free_bulk_streams_func = &IgnoreFreeStreams;
  parser_->filter_reject_func = &IgnoreFilterReject;
  parser_->filter_filter_func = &IgnoreFilter;
  parser_->start_bulk_receiving_func = &IgnoreStartBulkReceiving;
  parser_->stop_bulk_receiving_func = &IgnoreStopBulkReceiving;
  parser_->iso_packet_func = &IgnoreIso;
  std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_device_disconnect_ack);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
  usbredirparser_init(parser_, "kx7fw-usb-player", caps, USB_REDIR_CAPS_SIZE,
                      usbredirparser_fl_usb_host);
  flush();
}

void RedirPort::closeConnection() {
  if (parser_) usbredirparser_destroy(parser_);
  parser_ = nullptr;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  helloSeen_ = onBus_ = awaitingAck_ = closing_ = false;
  pendingIns_.clear();
}

void RedirPort::readSocket() {
  const int result = usbredirparser_do_read(parser_);
  if (closing_ || result == usbredirparser_read_io_error) {
    closeConnection();
    return;
  }
  flush();
}

void RedirPort::flush() {
  while (parser_ && usbredirparser_has_data_to_write(parser_)) {
    const std::uint64_t before = usbredirparser_get_bufferered_output_size(parser_);
    if (usbredirparser_do_write(parser_) < 0 || closing_) {
      closeConnection();
      return;
    }
    // The socket is full: poll says when it drains.
    if (usbredirparser_get_bufferered_output_size(parser_) == before) return;
  }
}

int RedirPort::Read(void* priv, std::uint8_t* data, int count) {
  auto& self = *static_cast<RedirPort*>(priv);
  const ssize_t n = read(self.fd_, data, static_cast<std::size_t>(count));
  if (n > 0) return static_cast<int>(n);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  self.closing_ = true;  // the guest's side went away
  return -1;
}

int RedirPort::Write(void* priv, std::uint8_t* data, int count) {
  auto& self = *static_cast<RedirPort*>(priv);
  const ssize_t n = send(self.fd_, data, static_cast<std::size_t>(count), MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EINTR) return 0;
  self.closing_ = true;
  return -1;
}

void RedirPort::Log(void* priv, int level, const char* message) {
  if (level <= usbredirparser_warning)
    std::fprintf(stderr, "kx7fw-usb-player: %s: %s\n",
                 static_cast<RedirPort*>(priv)->player_.config.serial.c_str(), message);
}

// --- On and off the bus ----------------------------------------------------------

void RedirPort::showDevice() {
  if (!parser_ || !helloSeen_ || awaitingAck_ || onBus_ || !OnTheBus(player_.mode)) return;
  identity_ = IdentityFor(player_, player_.mode);
  usb_redir_interface_info_header interfaces{};
  interfaces.interface_count = 1;
  interfaces.interface_class[0] = identity_.interfaceClass;
  interfaces.interface_subclass[0] = identity_.interfaceSubClass;
  interfaces.interface_protocol[0] = identity_.interfaceProtocol;
  usbredirparser_send_interface_info(parser_, &interfaces);

  usb_redir_ep_info_header endpoints{};
  std::memset(endpoints.type, usb_redir_type_invalid, sizeof endpoints.type);
  endpoints.type[EndpointIndex(0x00)] = endpoints.type[EndpointIndex(0x80)] =
      usb_redir_type_control;
  endpoints.max_packet_size[EndpointIndex(0x00)] = endpoints.max_packet_size[EndpointIndex(0x80)] =
      64;
  const auto endpoint = [&](std::uint8_t address, std::uint8_t type, std::uint8_t interval,
                            std::uint16_t size) {
    endpoints.type[EndpointIndex(address)] = type;
    endpoints.interval[EndpointIndex(address)] = interval;
    endpoints.max_packet_size[EndpointIndex(address)] = size;
  };
  if (identity_.hid) {
    endpoint(kInterruptIn, usb_redir_type_interrupt, 1, kInterruptPacketSize);
    endpoint(kInterruptOut, usb_redir_type_interrupt, 1, kInterruptPacketSize);
  } else {
    endpoint(kBulkIn, usb_redir_type_bulk, 0, kBulkPacketSize);
    endpoint(kBulkOut, usb_redir_type_bulk, 0, kBulkPacketSize);
  }
  usbredirparser_send_ep_info(parser_, &endpoints);

  usb_redir_device_connect_header connect{};
  connect.speed = usb_redir_speed_high;
  connect.vendor_id = identity_.vendorId;
  connect.product_id = identity_.productId;
  connect.device_version_bcd = identity_.deviceRelease;
  usbredirparser_send_device_connect(parser_, &connect);
  onBus_ = true;
  configuration_ = 0;
  hidReport_.clear();
  pendingIns_.clear();
  scsi_.powerOn();
  bot_.reset();
  flush();
}

void RedirPort::hideDevice() {
  if (!onBus_) return;
  usbredirparser_send_device_disconnect(parser_);
  onBus_ = false;
  awaitingAck_ = usbredirparser_peer_has_cap(parser_, usb_redir_cap_device_disconnect_ack) != 0;
  pendingIns_.clear();
  flush();
}

void RedirPort::leaveSoon(sim::Leaving why) {
  // The host controller reports a completed transfer at its next frames; a
  // disconnect before then would fail the command that caused it.
  constexpr auto kStatusDelivery = std::chrono::milliseconds(100);
  departure_.emplace(Clock::now() + kStatusDelivery, why);
}

void RedirPort::leave(sim::Leaving why) {
  departure_.reset();
  hideDevice();
  arrival_.reset();
  // The player decides how and when it comes back; its delays are scaled
  // here, on this program's clock.
  if (const auto next = player_.leave(why)) {
    const auto delay = std::chrono::duration<double, std::milli>(next->delayMs * delayScale_);
    arrival_.emplace(Clock::now() + std::chrono::duration_cast<Clock::duration>(delay), *next);
  }
}

void RedirPort::plugIn(bool recoveryButtonHeld) {
  leave(sim::Leaving::Unplugged);
  // Back at the next turn of the loop, so that the guest sees it go first.
  const sim::PlayerMode mode =
      recoveryButtonHeld ? sim::PlayerMode::RomRecovery : player_.powerOnMode();
  arrival_.emplace(Clock::now(), sim::Arrival{mode, 0, player_.generation});
}

void RedirPort::arrive(const sim::Arrival& arrival) {
  if (player_.arrive(arrival)) showDevice();
}

std::optional<Clock::time_point> RedirPort::nextDue() const {
  if (departure_) return departure_->first;
  if (!arrival_) return std::nullopt;
  return arrival_->first;
}

void RedirPort::runDue(Clock::time_point now) {
  if (departure_ && now >= departure_->first) leave(departure_->second);
  if (arrival_ && now >= arrival_->first) {
    const sim::Arrival arrival = arrival_->second;
    arrival_.reset();
    arrive(arrival);
  }
}

void RedirPort::dropAfterCommands(std::uint64_t count) {
  dropAtCommand_ = count ? bot_.commandBlocks() + count : 0;
}

// --- Packets from the guest --------------------------------------------------------

void RedirPort::Hello(void* priv, usb_redir_hello_header*) {
  auto& self = *static_cast<RedirPort*>(priv);
  self.helloSeen_ = true;
  self.showDevice();
}

void RedirPort::DisconnectAck(void* priv) {
  auto& self = *static_cast<RedirPort*>(priv);
  self.awaitingAck_ = false;
  self.showDevice();
}

void RedirPort::Reset(void* priv) {
  // A port reset restarts the device's logic; it stays on the bus.
  auto& self = *static_cast<RedirPort*>(priv);
  self.bot_.reset();
  self.scsi_.reset();
  self.hidReport_.clear();
  for (const PendingIn& in : self.pendingIns_)
    self.sendBulk(in.id, in.endpoint, usb_redir_cancelled, {}, 0);
  self.pendingIns_.clear();
  self.configuration_ = 0;
}

void RedirPort::SetConfiguration(void* priv, std::uint64_t id,
                                 usb_redir_set_configuration_header* header) {
  auto& self = *static_cast<RedirPort*>(priv);
  usb_redir_configuration_status_header status{};
  status.status = header->configuration <= 1 ? usb_redir_success : usb_redir_stall;
  if (header->configuration <= 1) self.configuration_ = header->configuration;
  status.configuration = self.configuration_;
  usbredirparser_send_configuration_status(self.parser_, id, &status);
}

void RedirPort::GetConfiguration(void* priv, std::uint64_t id) {
  auto& self = *static_cast<RedirPort*>(priv);
  usb_redir_configuration_status_header status{};
  status.configuration = self.configuration_;
  usbredirparser_send_configuration_status(self.parser_, id, &status);
}

void RedirPort::SetAltSetting(void* priv, std::uint64_t id,
                              usb_redir_set_alt_setting_header* header) {
  auto& self = *static_cast<RedirPort*>(priv);
  usb_redir_alt_setting_status_header status{};
  status.status = header->interface == 0 && header->alt == 0 ? usb_redir_success : usb_redir_stall;
  status.interface = header->interface;
  usbredirparser_send_alt_setting_status(self.parser_, id, &status);
}

void RedirPort::GetAltSetting(void* priv, std::uint64_t id,
                              usb_redir_get_alt_setting_header* header) {
  auto& self = *static_cast<RedirPort*>(priv);
  usb_redir_alt_setting_status_header status{};
  status.status = header->interface == 0 ? usb_redir_success : usb_redir_inval;
  status.interface = header->interface;
  usbredirparser_send_alt_setting_status(self.parser_, id, &status);
}

void RedirPort::StartInterruptReceiving(void* priv, std::uint64_t id,
                                        usb_redir_start_interrupt_receiving_header* header) {
  // The ROM has nothing to say on its input reports; receiving simply starts.
  auto& self = *static_cast<RedirPort*>(priv);
  usb_redir_interrupt_receiving_status_header status{};
  status.endpoint = header->endpoint;
  status.status =
      self.identity_.hid && header->endpoint == kInterruptIn ? usb_redir_success : usb_redir_inval;
  usbredirparser_send_interrupt_receiving_status(self.parser_, id, &status);
}

void RedirPort::StopInterruptReceiving(void* priv, std::uint64_t id,
                                       usb_redir_stop_interrupt_receiving_header* header) {
  auto& self = *static_cast<RedirPort*>(priv);
  usb_redir_interrupt_receiving_status_header status{};
  status.endpoint = header->endpoint;
  usbredirparser_send_interrupt_receiving_status(self.parser_, id, &status);
}

void RedirPort::CancelDataPacket(void* priv, std::uint64_t id) {
  auto& self = *static_cast<RedirPort*>(priv);
  for (auto it = self.pendingIns_.begin(); it != self.pendingIns_.end(); ++it) {
    if (it->id != id) continue;
    self.sendBulk(id, it->endpoint, usb_redir_cancelled, {}, 0);
    self.pendingIns_.erase(it);
    return;
  }
}

void RedirPort::sendBulk(std::uint64_t id, std::uint8_t endpoint, std::uint8_t status,
                         std::span<const std::uint8_t> data, std::size_t length) {
  usb_redir_bulk_packet_header header{};
  header.endpoint = endpoint;
  header.status = status;
  header.length = static_cast<std::uint16_t>(length);
  header.length_high = static_cast<std::uint16_t>(length >> 16);
  usbredirparser_send_bulk_packet(parser_, id, &header, const_cast<std::uint8_t*>(data.data()),
                                  static_cast<int>(data.size()));
}

void RedirPort::BulkPacket(void* priv, std::uint64_t id, usb_redir_bulk_packet_header* header,
                           std::uint8_t* data, int length) {
  auto& self = *static_cast<RedirPort*>(priv);
  const std::uint8_t endpoint = header->endpoint;
  const bool storage = self.onBus_ && !self.identity_.hid;
  if (storage && endpoint == kBulkOut) {
    const bool accepted =
        self.bot_.out(std::span<const std::uint8_t>(data, static_cast<std::size_t>(length)));
    self.sendBulk(id, endpoint, accepted ? usb_redir_success : usb_redir_stall, {},
                  accepted ? static_cast<std::size_t>(length) : 0);
    if (data) usbredirparser_free_packet_data(self.parser_, data);
    if (self.dropAtCommand_ && self.bot_.commandBlocks() >= self.dropAtCommand_) {
      // Pulled out in the middle of the command it just began.
      self.dropAtCommand_ = 0;
      self.flush();
      self.leave(sim::Leaving::Unplugged);
      return;
    }
    self.serviceBulkIn();
    return;
  }
  if (data) usbredirparser_free_packet_data(self.parser_, data);
  if (storage && endpoint == kBulkIn) {
    std::size_t wanted = header->length;
    if (usbredirparser_peer_has_cap(self.parser_, usb_redir_cap_32bits_bulk_length))
      wanted |= std::size_t{header->length_high} << 16;
    self.pendingIns_.push_back({id, endpoint, wanted});
    self.serviceBulkIn();
    return;
  }
  self.sendBulk(id, endpoint, self.onBus_ ? usb_redir_stall : usb_redir_ioerror, {}, 0);
}

void RedirPort::serviceBulkIn() {
  while (!pendingIns_.empty()) {
    const PendingIn next = pendingIns_.front();
    BulkOnly::InAnswer answer = bot_.in(next.length);
    if (answer.kind == BulkOnly::InKind::Wait) return;
    pendingIns_.pop_front();
    sendBulk(next.id, next.endpoint,
             answer.kind == BulkOnly::InKind::Stall ? usb_redir_stall : usb_redir_success,
             answer.bytes, answer.bytes.size());
    // A command that restarts the player: its status reached the host, the
    // device goes away.
    if (const auto why = bot_.takeLeaving()) leaveSoon(*why);
  }
}

void RedirPort::InterruptPacket(void* priv, std::uint64_t id,
                                usb_redir_interrupt_packet_header* header, std::uint8_t* data,
                                int length) {
  auto& self = *static_cast<RedirPort*>(priv);
  const std::size_t size = static_cast<std::size_t>(length);
  bool downloaded = false;
  usb_redir_interrupt_packet_header reply{};
  reply.endpoint = header->endpoint;
  if (self.onBus_ && self.identity_.hid && header->endpoint == kInterruptOut) {
    downloaded = self.receiveHidBytes(std::span<const std::uint8_t>(data, size),
                                      size % kInterruptPacketSize != 0 || size == 0);
    reply.length = static_cast<std::uint16_t>(size);
  } else {
    reply.status = usb_redir_stall;
  }
  if (data) usbredirparser_free_packet_data(self.parser_, data);
  usbredirparser_send_interrupt_packet(self.parser_, id, &reply, nullptr, 0);
  if (downloaded) self.leaveSoon(sim::Leaving::UpdaterDownloaded);
}

bool RedirPort::receiveHidBytes(std::span<const std::uint8_t> bytes, bool shortTransfer) {
  // Reports longer than a packet arrive in pieces; each is a whole
  // output report of the length the descriptor gives.
  hidReport_.insert(hidReport_.end(), bytes.begin(), bytes.end());
  const std::size_t length = std::max<std::size_t>(player_.config.hidOutputReportLength, 1);
  bool downloaded = false;
  std::size_t used = 0;
  while (hidReport_.size() - used >= length) {
    downloaded |= player_.receiveHidReport(std::span(hidReport_).subspan(used, length));
    used += length;
  }
  if (shortTransfer && used < hidReport_.size()) {
    downloaded |= player_.receiveHidReport(std::span(hidReport_).subspan(used));
    used = hidReport_.size();
  }
  hidReport_.erase(hidReport_.begin(), hidReport_.begin() + static_cast<std::ptrdiff_t>(used));
  return downloaded;
}

void RedirPort::ControlPacket(void* priv, std::uint64_t id, usb_redir_control_packet_header* header,
                              std::uint8_t* data, int length) {
  auto& self = *static_cast<RedirPort*>(priv);
  std::vector<std::uint8_t> in;
  const bool ok =
      self.onBus_ &&
      self.control(*header, std::span<const std::uint8_t>(data, static_cast<std::size_t>(length)),
                   in);
  if (data) usbredirparser_free_packet_data(self.parser_, data);
  usb_redir_control_packet_header reply = *header;
  reply.status = ok ? usb_redir_success : usb_redir_stall;
  if (header->requesttype & 0x80) {
    if (!ok || in.size() > header->length) in.resize(ok ? header->length : 0);
    reply.length = static_cast<std::uint16_t>(in.size());
    usbredirparser_send_control_packet(self.parser_, id, &reply, in.data(),
                                       static_cast<int>(in.size()));
  } else {
    reply.length = ok ? header->length : 0;
    usbredirparser_send_control_packet(self.parser_, id, &reply, nullptr, 0);
  }
  if (self.downloadedByControl_) {
    self.downloadedByControl_ = false;
    self.leaveSoon(sim::Leaving::UpdaterDownloaded);
  }
}

bool RedirPort::standardControl(const usb_redir_control_packet_header& setup,
                                std::vector<std::uint8_t>& in) {
  const std::uint8_t recipient = setup.requesttype & 0x1F;
  switch (setup.request) {
    case kRequestGetDescriptor: {
      const std::uint8_t type = setup.value >> 8, index = setup.value & 0xFF;
      if (type == 1) in = identity_.deviceDescriptor();
      if (type == 2 && index == 0) in = identity_.configurationDescriptor();
      if (type == 3) in = identity_.stringDescriptor(index);
      if (identity_.hid && recipient == 1 && type == 0x21) in = identity_.hidDescriptor();
      if (identity_.hid && recipient == 1 && type == 0x22) in = identity_.reportDescriptor;
      return !in.empty();
    }
    case kRequestGetStatus:
      in = {0, 0};
      if (recipient == 2) in[0] = bot_.halted(static_cast<std::uint8_t>(setup.index)) ? 1 : 0;
      return true;
    case kRequestClearFeature:
      if (recipient == 2 && setup.value == 0)
        bot_.clearHalt(static_cast<std::uint8_t>(setup.index));
      return true;
    case kRequestSetFeature:
      return true;
    default:
      return false;
  }
}

bool RedirPort::control(const usb_redir_control_packet_header& setup,
                        std::span<const std::uint8_t> out, std::vector<std::uint8_t>& in) {
  switch (setup.requesttype & 0x60) {
    case 0x00:
      return standardControl(setup, in);
    case 0x20:
      break;
    default:
      return false;
  }
  if (!identity_.hid) {
    if (setup.request == kRequestMassStorageReset) {
      bot_.reset();
      return true;
    }
    if (setup.request == kRequestGetMaxLun) {
      in = {0};
      return true;
    }
    return false;
  }
  switch (setup.request) {
    case kRequestHidSetIdle:
    case kRequestHidSetProtocol:
      return true;
    case kRequestHidGetReport:
      in.assign(setup.length, 0);
      return true;
    case kRequestHidSetReport:
      downloadedByControl_ |= receiveHidBytes(out, true);
      return true;
    default:
      return false;
  }
}

}  // namespace kx7::usbplayer
