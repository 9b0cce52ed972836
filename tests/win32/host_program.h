/* What the host program's two files share: the exports it binds, and its
   output. */
#ifndef KX7FW_HOST_PROGRAM_H
#define KX7FW_HOST_PROGRAM_H

#include "kx7fw/kx7fw.h"

typedef int(KX7FW_CALL* TextOutFn)(char*);
typedef int(KX7FW_CALL* NoArgsFn)(void);
typedef int(KX7FW_CALL* SerialAtFn)(char*, int);
typedef int(KX7FW_CALL* InfoFn)(const char*, DeviceInfo*);
typedef int(KX7FW_CALL* LocalVersionFn)(const char*, char*, int);
typedef int(KX7FW_CALL* TwoTextsFn)(const char*, const char*);
typedef int(KX7FW_CALL* OneTextFn)(const char*);

struct Exports {
  TextOutFn MSCDeviceList;
  SerialAtFn DeviceSerialNum;
  InfoFn GetDeviceInfo;
  LocalVersionFn GetLocalVersion;
  TwoTextsFn NeedRecovery;
  OneTextFn Detect_HID;
  TwoTextsFn DoNormalUpdate;
  TwoTextsFn DoRecoveryUpdate;
  TextOutFn GetFWLibraryVersion;
  TextOutFn GetAPIVersion;
  NoArgsFn ChangeUSBMode;
  NoArgsFn ResetChipset;
};

/* Printed, and copied into the report file when one was asked for. */
void Say(const char* format, ...);

/* The acceptance modes named in argv, in order; 0 when each ran to its end,
   whatever it found. */
int RunModes(const struct Exports* e, int argc, char** argv);

#endif
