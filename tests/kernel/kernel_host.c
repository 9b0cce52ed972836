/*
 * kernel_host: a host application on libkx7fw.so, run inside the kernel
 * tests' guest. It calls the query exports as an updater application does
 * and prints what they returned, one "name=value" a line.
 *
 *   kernel_host SERIAL FOLDER
 */
#include <stdio.h>
#include <string.h>

#include "kx7fw/kx7fw.h"

int main(int argc, char** argv) {
  char list[26] = "";
  char id[128] = "";
  char local[16] = "";
  DeviceInfo info;
  int i;
  if (argc != 3) {
    fprintf(stderr, "usage: kernel_host SERIAL FOLDER\n");
    return 2;
  }
  printf("devices=%d\n", MSCDeviceList(list));
  printf("letter=%s\n", list);
  for (i = 0; DeviceSerialNum(id, i) == 1; ++i) printf("instance%d=%s\n", i, id);
  memset(&info, 0, sizeof info);
  printf("info=%d\n", GetDeviceInfo(argv[1], &info));
  printf("mode=%s\nfirmware=%s\nregion=%s\nserial=%s\ndrive=%s\nmodel=%s\n", info.Mode,
         info.FirmwareVersion, info.RegionCode, info.Serial, info.DriveLetterText,
         info.FullModelCode);
  printf("local=%d %s\n", GetLocalVersion(argv[2], local, (int)sizeof local), local);
  printf("need-recovery=%d\n", NeedRecovery(argv[1], argv[2]));
  return 0;
}
