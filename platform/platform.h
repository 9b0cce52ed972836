#pragma once

// The seam between the library and the operating system: one interface per
// OS service. A backend (Windows, Linux, the simulator) implements all of
// them; the library above this line never includes an OS header.

#include "platform/com.h"
#include "platform/device_enumeration.h"
#include "platform/files.h"
#include "platform/handle.h"
#include "platform/hid.h"
#include "platform/registry.h"
#include "platform/shell.h"
#include "platform/system.h"
#include "platform/volume_io.h"

namespace kx7::platform {

struct Services {
  VolumeIo& volumes;
  DeviceEnumeration& devices;
  HidTransport& hid;
  Registry& registry;
  Shell& shell;
  ComServices& com;
  FileSystem& files;
  SystemInfo& system;
  Clock& clock;
};

}  // namespace kx7::platform
