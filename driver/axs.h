// The stage driver: the three stages by serial number, their connections, the
// millimetre-to-device-unit rule, readouts, motion commands and the completion waits
// with their time-out timer. Every per-axis operation takes the axis index first
// (0 X, 1 Y, 2 Z).
#pragma once

#include <atomic>

extern char serialNumbers[3][9];
extern int StepsPerMm;

// Connections.
int AXS_Open();
int AXS_Init(int i);
void AXS_Close(int i);
void AXS_RegisterMessageCallback(int i, void (*functionPointer)());
void MessageCB();

// Units and readouts. AXS_MmToDeviceUnits is the driver's own conversion: it returns 1
// and stores the device units when the value converts, and 0 (leaving *deviceUnits
// alone) when the value is not finite or its device units do not fit an int.
int AXS_MmToDeviceUnits(double mm, int* deviceUnits);
double AXS_GetPosition(int i);
unsigned int AXS_GetStatus(int i);
int AXS_GetNumberPositions(int i);
void AXS_GetRealValueFromDeviceUnit(int i, int device_unit, double* real_unit, int unitType);
void AXS_GetDeviceUnitFromRealValue(int i, double real_unit, int* device_unit, int unitType);

// Motion commands. wait 0 returns once the command is issued; otherwise it blocks until
// the completion message or until wait milliseconds have passed.
void AXS_Home(int i, int wait);
void AXS_MoveAbsolute(int i, double position, int wait);
void AXS_MoveRelative(int i, double distance, int wait);
void AXS_StopProfiled(int i);
int AXS_Enable(int i);
int AXS_Disable(int i);

// Completion waits and their time-out timer. The waits return 1 when the completion
// message came and 0 when the stage stopped (the stopped message) or the time-out ended
// them.
extern std::atomic<int> AXSTimerOut;
// The timeout panel and its timer control belong to the thread that made them, and the
// run-time delivers a panel's ticks only in its own thread; each waiting thread
// therefore makes (once) and arms its own.
extern thread_local int pth;
extern thread_local int tctrl;
void AXS_Tmlnk(int tout);
void AXS_Tmulk();
int AXS_Timeout(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
int AXS_waitHome(int i, int tout);
int AXS_waitMove(int i, int tout);
