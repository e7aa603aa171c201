// The axis table and the stage connections: open the three stages in axis order at
// start-up (LEDs off, polling every 50 ms), register the message callback, and stop
// polling and close each stage at shutdown.
#include <cstdio>
#include <cstring>

#include "driver/axs.h"
#include "platform/entry/os.h"
#include "platform/stagelib/stage_library.h"

char serialNumbers[3][9] = {"45388004", "45387934", "45388034"};

int AXS_Init(int i) {
  const char* serial = serialNumbers[i];
  int errorReturn = ISC_Open(serial);
  Sleep(1000);
  if (errorReturn == 0) {
    printf("Device %d (serial %s) Connected... \n", i, serial);
    ISC_SetLEDswitches(serial, 0);
    Sleep(100);
    ISC_StartPolling(serial, 50);
    Sleep(1000);
  } else {
    printf("Error connecting device %d (%s)\n", i, serial);
  }
  return errorReturn;
}

int AXS_Open() {
  TLI_DeviceInfo info;
  TLI_BuildDeviceList();
  int err = 0;
  for (int i = 0; i < 3; i++) {
    // A query that fails leaves the record as it was: clear it first, so that the line
    // shows an empty description rather than the previous axis's.
    std::memset(&info, 0, sizeof info);
    TLI_GetDeviceInfo(serialNumbers[i], &info);
    info.description[sizeof info.description - 1] = '\0';
    Sleep(100);
    err = AXS_Init(i);
    printf("%s err=%x\n", info.description, static_cast<unsigned>(err));
    if (err != 0) return err;
  }
  return 0;
}

void AXS_Close(int i) {
  ISC_StopPolling(serialNumbers[i]);
  ISC_Close(serialNumbers[i]);
  printf("Device Disconnected...\n");
}

void AXS_RegisterMessageCallback(int i, void (*functionPointer)()) {
  ISC_RegisterMessageCallback(serialNumbers[i], functionPointer);
}

void MessageCB() {}
