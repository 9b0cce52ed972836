#include "cli/results.h"

namespace kx7::cli {

const char* ResultMeaning(Operation operation, int code) {
  if (code == 3) return "the library is busy with another operation";
  switch (operation) {
    case Operation::DeviceInfo:
      switch (code) {
        case 0:
          return "player found";
        case 1:
          return "no player found";
        case 5:
          return "no serial given, or the player is not at that serial's drive letter";
      }
      break;
    case Operation::LocalVersion:
      switch (code) {
        case 0:
          return "version read";
        case 1:
          return "no room for the version text";
        case 2:
          return "firmware.sb is missing or is not a valid SB file";
      }
      break;
    case Operation::NeedRecovery:
      switch (code) {
        case 0:
          return "the new firmware no longer fits the player: recovery needed";
        case 1:
          return "the new firmware fits, or the player is not reachable";
        case 10:
          return "no serial given";
        case 11:
          return "no firmware folder given";
      }
      break;
    case Operation::NormalUpdate:
      switch (code) {
        case 0:
          return "update done";
        case 2:
          return "switching the player to updater mode failed";
        case 4:
          return "downloading the updater failed";
        case 6:
          return "writing a firmware image failed";
        case 7:
          return "verifying a firmware image failed";
        case 8:
          return "the updater went away after the verify";
        case 10:
          return "no player with that serial";
        case 11:
          return "no firmware folder given";
      }
      break;
    case Operation::RecoveryUpdate:
      switch (code) {
        case 0:
          return "recovery done";
        case 4:
          return "downloading the updater failed (is the player in ROM recovery mode?)";
        case 5:
          return "the updater's drive was not found or could not be locked";
        case 6:
          return "re-allocating the player's media failed";
        case 7:
          return "writing a firmware image failed";
        case 8:
          return "verifying a firmware image failed";
        case 9:
          return "resetting the settings drive failed";
        case 10:
          return "formatting the data drive failed";
        case 11:
          return "the updater went away after the bootlet";
        case 13:
          return "no firmware folder given";
      }
      break;
  }
  return "unexpected result";
}

}  // namespace kx7::cli
