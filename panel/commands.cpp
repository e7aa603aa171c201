// The per-axis command controls: disable, enable and home of each axis, the three reset
// commands, six jogs and the go-to commands, each a fixed call of the stage driver; and
// the profiled stop of each axis, which acts through its callback.
#include <cstdio>

#include "driver/axs.h"
#include "panel/Varnix_ui.h"
#include "panel/app.h"

static const double SingleMove = 1.0;  // the jog step, mm
static const int GotoWait = 10000;     // ms
static const int HomeWait = 180000;    // ms

// Reads a target just before its move. A target that cannot be read moves nothing: the
// run-time has already said why on standard error.
static void GotoTarget(int axis, int targetControl) {
  double n2 = 0;
  if (GetCtrlVal(p1_h, targetControl, &n2) < 0) return;
  AXS_MoveAbsolute(axis, n2, GotoWait);
}

static void Reset() { printf("RST Not yet implemented\n"); }

// A Stop must act while a go-to or a homing waits, so it is not a row of the command
// table (rows run only after the wait): the run-time calls it inside GetUserEvent and
// inside the wait's ProcessSystemEvents, on the main thread.
extern "C" int StopCB(int panel, int control, int event, void* callbackData, int eventData1,
                      int eventData2) {
  int axis = -1;
  if (control == PANEL_STOP_X) axis = 0;
  if (control == PANEL_STOP_Y) axis = 1;
  if (control == PANEL_STOP_Z) axis = 2;
  if (event != EVENT_COMMIT || axis < 0) return 0;
  AXS_StopProfiled(axis);
  int scanning = 0;
  GetCtrlVal(p1_h, PANEL_SCANNING, &scanning);
  if (scanning) ctrl_c = 1;
  return 0;
}

static const CommandRow rows[] = {
    {PANEL_DISABLE_Z, [] { AXS_Disable(2); }},
    {PANEL_ENABLE_Z, [] { AXS_Enable(2); }},
    {PANEL_DISABLE_Y, [] { AXS_Disable(1); }},
    {PANEL_ENABLE_Y, [] { AXS_Enable(1); }},
    {PANEL_DISABLE_X, [] { AXS_Disable(0); }},
    {PANEL_ENABLE_X, [] { AXS_Enable(0); }},
    {PANEL_HOME_Z, [] { AXS_Home(2, HomeWait); }},
    {PANEL_HOME_Y, [] { AXS_Home(1, HomeWait); }},
    {PANEL_HOME_X, [] { AXS_Home(0, HomeWait); }},
    {PANEL_RESET_1, Reset},
    {PANEL_RESET_2, Reset},
    {PANEL_RESET_3, Reset},
    {PANEL_JOG_Z_PLUS, [] { AXS_MoveRelative(2, +SingleMove, 0); }},
    {PANEL_JOG_Y_MINUS, [] { AXS_MoveRelative(1, -SingleMove, 0); }},
    {PANEL_JOG_Z_MINUS, [] { AXS_MoveRelative(2, -SingleMove, 0); }},
    {PANEL_JOG_X_PLUS, [] { AXS_MoveRelative(0, +SingleMove, 0); }},
    {PANEL_JOG_Y_PLUS, [] { AXS_MoveRelative(1, +SingleMove, 0); }},
    {PANEL_JOG_X_MINUS, [] { AXS_MoveRelative(0, -SingleMove, 0); }},
    {PANEL_GOTO_Z, [] { GotoTarget(2, PANEL_TARGET_Z); }},
    {PANEL_GOTO_Y, [] { GotoTarget(1, PANEL_TARGET_Y); }},
    {PANEL_GOTO_X, [] { GotoTarget(0, PANEL_TARGET_X); }},
    {PANEL_GOTO_ALL,
     [] {
       GotoTarget(0, PANEL_TARGET_X);
       GotoTarget(1, PANEL_TARGET_Y);
       GotoTarget(2, PANEL_TARGET_Z);
     }},
};
const CommandRows axisRows = {rows, sizeof rows / sizeof rows[0]};
