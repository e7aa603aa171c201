// Motion commands: home (always in reverse), absolute and relative moves in
// millimetres, profiled stop, enable and disable. A target whose device units do not fit
// the stage's int is refused before anything reaches the stage.
#include <cstdio>

#include "driver/axs.h"
#include "platform/stagelib/stage_library.h"

void AXS_Home(int i, int wait) {
  const char* serial = serialNumbers[i];
  // Zeroed so that a stage that cannot be read gets defined parameters, not stack noise.
  MOT_HomingParameters homingParams{};
  ISC_GetHomingParamsBlock(serial, &homingParams);
  homingParams.direction = MOT_Reverse;
  ISC_SetHomingParamsBlock(serial, &homingParams);
  ISC_ClearMessageQueue(serial);
  ISC_Home(serial);
  printf("Start Homing...\n");
  int homed = 1;
  if (wait != 0) homed = AXS_waitHome(i, wait);
  // After a time-out the stage is not known to be homed: the time-out line says so.
  if (homed) printf("Homed...\n");
}

// Converts a target, or says on standard output why it cannot be sent.
static int TargetUnits(int i, double mm, int* units) {
  if (AXS_MmToDeviceUnits(mm, units)) return 1;
  printf("Move refused: axis [%d] target %g mm is beyond the device-unit range\n", i, mm);
  return 0;
}

void AXS_MoveAbsolute(int i, double position, int wait) {
  const char* serial = serialNumbers[i];
  int units;
  if (!TargetUnits(i, position, &units)) return;
  ISC_SetMoveAbsolutePosition(serial, units);
  ISC_MoveAbsolute(serial);
  ISC_ClearMessageQueue(serial);
  if (wait != 0) AXS_waitMove(i, wait);
}

void AXS_MoveRelative(int i, double distance, int wait) {
  const char* serial = serialNumbers[i];
  int units;
  if (!TargetUnits(i, distance, &units)) return;
  ISC_SetMoveRelativeDistance(serial, units);
  ISC_MoveRelativeDistance(serial);
  ISC_ClearMessageQueue(serial);
  if (wait != 0) AXS_waitMove(i, wait);
}

void AXS_StopProfiled(int i) { ISC_StopProfiled(serialNumbers[i]); }

int AXS_Enable(int i) { return ISC_EnableChannel(serialNumbers[i]); }

int AXS_Disable(int i) { return ISC_DisableChannel(serialNumbers[i]); }
