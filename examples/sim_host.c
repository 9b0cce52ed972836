/*
 * sim_host: a host application of the kx7fw library, run on the simulated
 * world of kx7fw-sim. It does what an updater application does - find the
 * player, show it, compare its firmware with the file that ships with the
 * application, pick the update the player needs and look again afterwards -
 * through the same twelve exports it would call with a real player.
 *
 *   sim_host SCENARIO.json [TRANSCRIPT.jsonl]
 *
 * Exit codes: 0 the player runs the shipped firmware, 1 no player,
 * 2 the scenario was refused, 3 the player needs a recovery update first,
 * 4 the update failed, 5 the shipped firmware cannot be read.
 */
#include <stdio.h>
#include <string.h>

#include "kx7fw/kx7fw.h"
#include "kx7fw/kx7sim.h"

/* The serial is the last part of the player's device instance identifier. */
static void SerialFromInstanceId(const char* id, char* serial, size_t size) {
  const char* last = strrchr(id, '\\');
  snprintf(serial, size, "%s", last ? last + 1 : "");
}

static int Finish(int code, const char* transcript) {
  if (transcript && kx7sim_write_transcript(transcript) != 0)
    fprintf(stderr, "cannot write %s\n", transcript);
  return code;
}

int main(int argc, char** argv) {
  char folder[260] = "";
  char local[16] = "";
  char id[128] = "";
  char serial[128] = "";
  DeviceInfo info;
  const char* transcript = argc > 2 ? argv[2] : NULL;
  int result;

  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: sim_host SCENARIO.json [TRANSCRIPT.jsonl]\n");
    return 2;
  }
  if (kx7sim_load_scenario(argv[1]) != 0) {
    char why[1024] = "";
    kx7sim_scenario_error(why, (int)sizeof why);
    fprintf(stderr, "%s\n", why);
    return 2;
  }
  kx7sim_firmware_folder(folder, (int)sizeof folder);
  /* Without the shipped firmware there is nothing to compare or install. */
  result = GetLocalVersion(folder, local, (int)sizeof local);
  if (result != 0) {
    printf("cannot read the shipped firmware in %s (GetLocalVersion: %d)\n", folder, result);
    return Finish(5, transcript);
  }
  printf("shipped firmware: %s\n", local);

  if (DeviceSerialNum(id, 0) == 1) SerialFromInstanceId(id, serial, sizeof serial);
  memset(&info, 0, sizeof info);
  if (GetDeviceInfo(serial, &info) != 0) {
    printf("no player\n");
    return Finish(1, transcript);
  }

  if (strcmp(info.Mode, "REC") == 0) {
    printf("a player waits in recovery mode\n");
    result = DoRecoveryUpdate(serial, folder);
    printf("recovery update: %d\n", result);
    if (result != 0) return Finish(4, transcript);
    /* The recovered player is a new arrival: look it up again. */
    if (DeviceSerialNum(id, 0) == 1) SerialFromInstanceId(id, serial, sizeof serial);
  } else {
    printf("player %s at %s: firmware %s, region %s\n", info.Serial, info.DriveLetterText,
           info.FirmwareVersion, info.RegionCode);
    if (strcmp(info.FirmwareVersion, local) == 0) {
      printf("up to date\n");
      return Finish(0, transcript);
    }
    if (NeedRecovery(serial, folder) == 0) {
      printf("the new firmware does not fit: a recovery update is needed\n");
      return Finish(3, transcript);
    }
    result = DoNormalUpdate(serial, folder);
    printf("normal update: %d\n", result);
    if (result != 0) return Finish(4, transcript);
    /* The player restarts with its new firmware. */
    kx7sim_advance_ms(10000);
  }

  memset(&info, 0, sizeof info);
  if (GetDeviceInfo(serial, &info) != 0) {
    printf("the player did not come back\n");
    return Finish(4, transcript);
  }
  printf("player %s at %s: firmware %s\n", info.Serial, info.DriveLetterText, info.FirmwareVersion);
  return Finish(strcmp(info.FirmwareVersion, local) == 0 ? 0 : 4, transcript);
}
