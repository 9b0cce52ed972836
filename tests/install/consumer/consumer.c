/* A host application built against an installed kx7fw: it calls the
   exports the way an updater does and checks what they answer. */
#include <stdio.h>
#include <string.h>

#include <kx7fw/kx7fw.h>

int main(void) {
  char version[30] = {0};
  char list[26] = {0};
  DeviceInfo info;
  int failures = 0;

  if (GetFWLibraryVersion(version) != 0 || strcmp(version, "000.000.001.002") != 0) {
    printf("GetFWLibraryVersion: %s\n", version);
    ++failures;
  }
  if (GetAPIVersion(version) != 0 || strcmp(version, "000.000.000.006") != 0) {
    printf("GetAPIVersion: %s\n", version);
    ++failures;
  }
  if (ChangeUSBMode() != 1 || ResetChipset() != 0 || Detect_HID("HID#VID_066F&PID_3770") != 0) {
    printf("mode exports\n");
    ++failures;
  }
  /* An empty serial and an empty folder are refused before any device work. */
  if (NeedRecovery("", "x") != 10 || DoNormalUpdate("x", "") != 11 ||
      DoRecoveryUpdate("", "") != 13) {
    printf("argument checks\n");
    ++failures;
  }
  printf("players: %d, list \"%s\"\n", MSCDeviceList(list), list);
  memset(&info, 0, sizeof info);
  printf("GetDeviceInfo(\"\"): %d\n", GetDeviceInfo("", &info));
  printf("%s\n", failures ? "FAILED" : "ok");
  return failures ? 1 : 0;
}
