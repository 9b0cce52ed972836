#pragma once

// One simulated player on one usbredir connection: the usbredir host side
// (libusbredirparser) on a listening UNIX socket that QEMU's usb-redir
// device connects to. The port shows the player's identity of the moment,
// carries its endpoints (control, bulk-only mass storage or the ROM's HID
// reports) and takes it off the bus and back as the player changes mode.

#include <usbredirparser.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sim/player/player.h"
#include "tools/usb-player/bulk_only.h"
#include "tools/usb-player/scsi_target.h"
#include "tools/usb-player/usb_identity.h"

namespace kx7::usbplayer {

using Clock = std::chrono::steady_clock;

class RedirPort {
 public:
  // `delayScale` multiplies the player's own delays (recovery entry, updater
  // start, reboot).
  RedirPort(sim::Player& player, std::string socketPath, double delayScale);
  ~RedirPort();
  RedirPort(const RedirPort&) = delete;
  RedirPort& operator=(const RedirPort&) = delete;

  // False with `error` set when the socket cannot be made.
  bool listen(std::string& error);

  // The descriptors to poll, and what to do with their events.
  struct Poll {
    int fd;
    short events;
  };
  std::vector<Poll> pollSet() const;
  void handle(int fd, short revents);
  // The next moment something is due (a player coming back), if any.
  std::optional<Clock::time_point> nextDue() const;
  void runDue(Clock::time_point now);

  // --- For the control channel -------------------------------------------
  // The player leaves the bus for `why` now, and comes back as it says.
  void leave(sim::Leaving why);
  // Leaves a little later, as a device does after the command that restarts
  // it has completed.
  void leaveSoon(sim::Leaving why);
  // Pulled out (if it was in) and plugged in; with the recovery button
  // held it comes up in its ROM's recovery mode.
  void plugIn(bool recoveryButtonHeld);
  sim::Player& player() { return player_; }
  ScsiTarget& scsi() { return scsi_; }
  const BulkOnly& transport() const { return bot_; }
  bool guestConnected() const { return parser_ != nullptr; }
  // Shown to the guest now (connect sent).
  bool onBus() const { return onBus_; }
  // The player is pulled out after this many more SCSI commands (0: never).
  void dropAfterCommands(std::uint64_t count);
  const std::string& socketPath() const { return path_; }
  usbredirparser* parser() { return parser_; }

 private:
  struct PendingIn {
    std::uint64_t id;
    std::uint8_t endpoint;
    std::size_t length;
  };

  void accept();
  void closeConnection();
  void readSocket();
  void flush();
  void showDevice();
  void hideDevice();
  void arrive(const sim::Arrival& arrival);
  void serviceBulkIn();
  // True when the bytes completed a download the ROM accepts.
  bool receiveHidBytes(std::span<const std::uint8_t> bytes, bool shortTransfer);
  bool control(const usb_redir_control_packet_header& setup, std::span<const std::uint8_t> out,
               std::vector<std::uint8_t>& in);
  bool standardControl(const usb_redir_control_packet_header& setup, std::vector<std::uint8_t>& in);
  void sendBulk(std::uint64_t id, std::uint8_t endpoint, std::uint8_t status,
                std::span<const std::uint8_t> data, std::size_t length);

  // usbredirparser callbacks.
  static int Read(void* priv, std::uint8_t* data, int count);
  static int Write(void* priv, std::uint8_t* data, int count);
  static void Log(void* priv, int level, const char* message);
  static void Hello(void* priv, struct usb_redir_hello_header* hello);
  static void Reset(void* priv);
  static void SetConfiguration(void* priv, std::uint64_t id,
                               struct usb_redir_set_configuration_header* header);
  static void GetConfiguration(void* priv, std::uint64_t id);
  static void SetAltSetting(void* priv, std::uint64_t id,
                            struct usb_redir_set_alt_setting_header* header);
  static void GetAltSetting(void* priv, std::uint64_t id,
                            struct usb_redir_get_alt_setting_header* header);
  static void StartInterruptReceiving(void* priv, std::uint64_t id,
                                      struct usb_redir_start_interrupt_receiving_header* header);
  static void StopInterruptReceiving(void* priv, std::uint64_t id,
                                     struct usb_redir_stop_interrupt_receiving_header* header);
  static void CancelDataPacket(void* priv, std::uint64_t id);
  static void DisconnectAck(void* priv);
  static void ControlPacket(void* priv, std::uint64_t id, usb_redir_control_packet_header* header,
                            std::uint8_t* data, int length);
  static void BulkPacket(void* priv, std::uint64_t id, usb_redir_bulk_packet_header* header,
                         std::uint8_t* data, int length);
  static void InterruptPacket(void* priv, std::uint64_t id,
                              usb_redir_interrupt_packet_header* header, std::uint8_t* data,
                              int length);

  sim::Player& player_;
  std::string path_;
  double delayScale_;
  ScsiTarget scsi_;
  BulkOnly bot_;
  UsbIdentity identity_;

  int listenFd_ = -1;
  int fd_ = -1;
  usbredirparser* parser_ = nullptr;
  bool helloSeen_ = false;
  bool onBus_ = false;
  bool awaitingAck_ = false;  // disconnect sent, not yet acknowledged
  bool closing_ = false;      // the socket failed inside the parser
  bool downloadedByControl_ = false;
  std::uint8_t configuration_ = 0;
  std::deque<PendingIn> pendingIns_;
  std::vector<std::uint8_t> hidReport_;
  std::optional<std::pair<Clock::time_point, sim::Arrival>> arrival_;
  // A restart the last command began: the device leaves once the host has
  // had time to see that command end.
  std::optional<std::pair<Clock::time_point, sim::Leaving>> departure_;
  std::uint64_t dropAtCommand_ = 0;
};

}  // namespace kx7::usbplayer
