#include "cli/real_backend.h"

namespace kx7::cli {

std::unique_ptr<RealBackend> OpenRealBackend() {
  return nullptr;
}

std::string UdevRules() {
  return "";
}

std::string UdevRulesInstallPath() {
  return "";
}

}  // namespace kx7::cli
