// command_cost: run in the kernel tests' guest. Times 64 KiB reads from a
// player two ways: a bare SG_IO READ(10) on its generic node, and the
// library's own command (a logical-drive sector read through the Linux
// backend's pass-through, as a drive verify sends it). Prints the
// microseconds per command of each and their ratio.
//
//   command_cost LETTER SG_NODE COUNT
//   command_cost LETTER SG_NODE COUNT signals
// The second sends only the library's COUNT reads, while a timer interrupts
// the process every 2 ms with a handler installed with SA_RESTART, as many
// programs have; it prints how many it sent, for the player's count to
// match.
#include <fcntl.h>
#include <scsi/sg.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "device/commands.h"
#include "platform/linux/linux_backend.h"

namespace {

constexpr std::uint32_t kSectors = 128;  // 64 KiB of 512-byte sectors

double MicrosecondsSince(std::chrono::steady_clock::time_point start, int count) {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
             .count() /
         count;
}

bool BareRead(int fd, std::vector<std::uint8_t>& buffer) {
  unsigned char cdb[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, kSectors, 0};
  unsigned char sense[32];
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.dxfer_direction = SG_DXFER_FROM_DEV;
  io.cmd_len = sizeof cdb;
  io.cmdp = cdb;
  io.dxfer_len = static_cast<unsigned>(buffer.size());
  io.dxferp = buffer.data();
  io.mx_sb_len = sizeof sense;
  io.sbp = sense;
  io.timeout = 20000;
  return ioctl(fd, SG_IO, &io) == 0 && io.status == 0 && io.host_status == 0;
}

volatile sig_atomic_t ticks = 0;

void OnTick(int) {
  ticks = ticks + 1;
}

// The library's reads alone, interrupted all along.
int ReadsUnderSignals(kx7::platform::VolumeIo& io, kx7::platform::Handle handle, int count) {
  struct sigaction action {};
  action.sa_handler = OnTick;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, nullptr);
  const itimerval every2ms{{0, 2000}, {0, 2000}};
  setitimer(ITIMER_REAL, &every2ms, nullptr);
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    kx7::CStReadLogicalDriveSector read(0, static_cast<std::uint64_t>(i % 64) * kSectors, kSectors,
                                        kSectors * 512);
    if (!read.Send(io, handle)) ++failed;
  }
  const itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  io.closeHandle(handle);
  std::printf("library-commands=%d\nfailed=%d\nsignals=%d\n", count, failed, int(ticks));
  return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && !(argc == 5 && std::string(argv[4]) == "signals")) {
    std::fprintf(stderr, "usage: command_cost LETTER SG_NODE COUNT [signals]\n");
    return 2;
  }
  const char letter = argv[1][0];
  const int count = std::atoi(argv[3]);
  std::vector<std::uint8_t> buffer(kSectors * 512);

  const int fd = open(argv[2], O_RDWR);
  if (fd < 0 || count <= 0 || !BareRead(fd, buffer)) {
    std::fprintf(stderr, "command_cost: cannot read %s\n", argv[2]);
    return 1;
  }
  kx7::linux_backend::LinuxBackend backend;
  kx7::platform::VolumeIo& io = backend.services().volumes;
  const std::string path = std::string("\\\\.\\") + letter + ":";
  const kx7::platform::Handle handle = io.openDevice(path);
  if (!handle.isOpen()) {
    std::fprintf(stderr, "command_cost: the backend cannot open %s\n", path.c_str());
    return 1;
  }
  if (argc == 5) return ReadsUnderSignals(io, handle, count);
  // One of each in turn, so that a change of load meets both alike.
  double bare = 0, library = 0;
  for (int i = 0; i < count; ++i) {
    auto start = std::chrono::steady_clock::now();
    if (!BareRead(fd, buffer)) return 1;
    bare += MicrosecondsSince(start, count);
    start = std::chrono::steady_clock::now();
    kx7::CStReadLogicalDriveSector read(0, static_cast<std::uint64_t>(i % 64) * kSectors, kSectors,
                                        kSectors * 512);
    if (!read.Send(io, handle)) {
      std::fprintf(stderr, "command_cost: the library's read failed\n");
      return 1;
    }
    library += MicrosecondsSince(start, count);
  }
  io.closeHandle(handle);
  close(fd);
  std::printf("bare-us=%.0f\nlibrary-us=%.0f\nratio=%.3f\n", bare, library, library / bare);
  return 0;
}
