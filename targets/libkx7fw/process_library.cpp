// The process-wide Library of libkx7fw.so: the twelve exports on the Linux
// backend. Loading builds the two objects and opens nothing.
#include "api/library.h"
#include "platform/linux/linux_backend.h"

namespace {
kx7::linux_backend::LinuxBackend g_backend;
kx7::Library g_library(g_backend.services());
}  // namespace

kx7::Library& kx7::ProcessLibrary() {
  return g_library;
}

// A Linux thread has nothing to set up for a call.
kx7::ExportCall::ExportCall() noexcept = default;
kx7::ExportCall::~ExportCall() = default;
