#include "cli/results.h"

namespace kx7::cli {

const char* ResultMeaning(Operation operation, int code) {
  const char* text = result::MeaningOf(operation, code);
  return text ? text : "unexpected result";
}

}  // namespace kx7::cli
