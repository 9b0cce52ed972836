// The public header as an application's C++11 compiler (MSVC's default is
// C++14) reads it: compiled with -std=c++11 -pedantic, never run.
#include "kx7fw/kx7fw.h"

int kx7fw_header_cxx11(DeviceInfo* info) {
  return GetDeviceInfo("", info);
}
