#include "loop_device.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

namespace kx7::test {

namespace {

void MakeFolders(const std::string& path) {
  for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
    mkdir(path.substr(0, at).c_str(), 0755);
  mkdir(path.c_str(), 0755);
}

std::string Folder(const std::string& file) {
  return file.substr(0, file.rfind('/'));
}

}  // namespace

std::unique_ptr<LoopDevice> LoopDevice::Create(const std::string& image, std::uint64_t size,
                                               std::string& why) {
  MakeFolders(Folder(image));
  const int file = open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const bool made = file >= 0 && ftruncate(file, static_cast<off_t>(size)) == 0;
  if (!made) why = "cannot make the image " + image + ": " + std::strerror(errno);
  if (file >= 0) close(file);
  return made ? Attach(image, why) : nullptr;
}

std::unique_ptr<LoopDevice> LoopDevice::Attach(const std::string& image, std::string& why) {
  const int file = open(image.c_str(), O_RDWR | O_CLOEXEC);
  if (file < 0) {
    why = "cannot open the image " + image + ": " + std::strerror(errno);
    return nullptr;
  }
  const int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  if (control < 0) {
    why = std::string("no loop devices here (/dev/loop-control: ") + std::strerror(errno) + ")";
    close(file);
    return nullptr;
  }
  std::unique_ptr<LoopDevice> device;
  // Another process may take the free device between asking and attaching.
  for (int attempt = 0; attempt < 16 && !device; ++attempt) {
    const int number = ioctl(control, LOOP_CTL_GET_FREE);
    if (number < 0) {
      why = std::string("no free loop device: ") + std::strerror(errno);
      break;
    }
    const std::string name = "loop" + std::to_string(number);
    const int fd = open(("/dev/" + name).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      why = "cannot open /dev/" + name + ": " + std::strerror(errno);
      break;
    }
    loop_config config{};
    config.fd = static_cast<std::uint32_t>(file);
    config.info.lo_flags = LO_FLAGS_PARTSCAN | LO_FLAGS_AUTOCLEAR;
    std::strncpy(reinterpret_cast<char*>(config.info.lo_file_name), image.c_str(),
                 LO_NAME_SIZE - 1);
    if (ioctl(fd, LOOP_CONFIGURE, &config) == 0) {
      device.reset(new LoopDevice(fd, name, image));
      break;
    }
    const int error = errno;
    close(fd);
    if (error != EBUSY) {
      why = "cannot attach /dev/" + name + ": " + std::strerror(error);
      break;
    }
  }
  close(control);
  close(file);
  return device;
}

LoopDevice::~LoopDevice() {
  close(fd_);
}

std::string LoopDevice::partitionNode(unsigned number) const {
  return node_ + "p" + std::to_string(number);
}

bool LoopDevice::KernelReadsMbrTables(const std::string& folder) {
  static std::optional<bool> reads;
  if (reads) return *reads;
  const std::string image = folder + "/mbr-probe-" + std::to_string(getpid()) + ".img";
  {
    // One partition from sector 2048 to the end of 4 MiB.
    MakeFolders(folder);
    const int fd = open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::uint8_t mbr[512] = {};
    const std::uint8_t entry[16] = {0, 0, 0, 0, 0x06, 0, 0, 0, 0x00, 0x08, 0, 0, 0x00, 0x18, 0, 0};
    std::memcpy(&mbr[446], entry, sizeof entry);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    const bool written =
        fd >= 0 && ftruncate(fd, 4 << 20) == 0 && pwrite(fd, mbr, sizeof mbr, 0) == sizeof mbr;
    if (fd >= 0) close(fd);
    if (!written) return false;
  }
  std::string why;
  std::unique_ptr<LoopDevice> probe = Attach(image, why);
  struct stat info {};
  reads = probe &&
          stat(("/sys/block/" + probe->name() + "/" + probe->name() + "p1").c_str(), &info) == 0;
  probe.reset();
  unlink(image.c_str());
  return *reads;
}

}  // namespace kx7::test
