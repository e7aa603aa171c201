// The program's entry point and event loop: start the run-time and the thread pool,
// load and show the main panel, open the stages, serve operator commands one at a time
// until quit, and close the stages on the way out. Also the panel timer's callback.
#include <cstdio>

#include "driver/axs.h"
#include "panel/Varnix_ui.h"
#include "panel/app.h"
#include "platform/entry/os.h"

int p1_h;
CmtThreadPoolHandle poolHandle;
std::atomic<int> ctrl_c{0};

static const CommandRows* const commandTable[] = {&statusRows, &axisRows, &scanRows};

void RunCommand(int id) {
  for (const CommandRows* part : commandTable)
    for (int r = 0; r < part->count; r++)
      if (part->rows[r].id == id) {
        part->rows[r].action();
        return;
      }
}

extern "C" int TimerCB(int panel, int control, int event, void* callbackData, int eventData1,
                       int eventData2) {
  int isrunning = 0;
  if (event == EVENT_TIMER_TICK) {
    GetCtrlVal(p1_h, PANEL_SCANNING, &isrunning);
    if (isrunning == 0) QueueUserEvent(EVENT_COMMIT, p1_h, PANEL_READ);
  }
  return 0;
}

int WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpszCmdLine, int nCmdShow) {
  int evcontrl = 0;
  int evpanel = 0;
  int comled = 0;
  int scanled = 0;

  SetSleepPolicy(SLEEP_MORE);
  if (CmtNewThreadPool(10, &poolHandle) < 0) {
    fprintf(stderr, "Varnix: cannot make the thread pool; no stage was touched\n");
    return 2;
  }
  SetStdioPort(0);
  if (InitCVIRTEEx(hInstance, 0, 0) == 0) return -1;
  p1_h = LoadPanel(0, "Varnix_ui.uir", PANEL);
  if (p1_h < 0) {
    fprintf(stderr,
            "Varnix: cannot load the panel file \"Varnix_ui.uir\" (error %d, the reason is above); "
            "no stage was touched\n",
            p1_h);
    return 1;
  }
  DisplayPanel(p1_h);
  SetActiveCtrl(p1_h, PANEL_RESET_3);

  GetCtrlVal(p1_h, PANEL_CONNECTED, &comled);
  if (comled == 0) {
    AXS_Open();
    SetCtrlVal(p1_h, PANEL_CONNECTED, 1);
    for (int axis = 0; axis < 3; axis++) AXS_RegisterMessageCallback(axis, MessageCB);
  } else {
    printf("The panel shows the stages connected: they are not opened again\n");
  }

  for (;;) {
    GetUserEvent(1, &evpanel, &evcontrl);
    if (evcontrl == PANEL_STOPSCAN) ctrl_c = 1;
    scanled = 0;
    GetCtrlVal(p1_h, PANEL_SCANNING, &scanled);
    if (scanled != 0) continue;
    if (evcontrl == PANEL_QUIT) break;
    RunCommand(evcontrl);
    Delay(0.001);
  }

  // A scan worker may still run when the quit is taken: its Scanning lamp, which the
  // loop goes by, can be put out by other hands than its end callback. Closing the
  // stages under it would leave it commanding closed stages, and a stage in the middle
  // of a move. So it is asked to stop, as the stop command does, and waited for (the
  // move under way and its dwell) before anything is closed.
  ctrl_c = 1;
  if (tfID != 0) CmtWaitForThreadPoolFunctionCompletion(poolHandle, tfID, OPT_TP_PROCESS_EVENTS_WHILE_WAITING);

  comled = 0;
  GetCtrlVal(p1_h, PANEL_CONNECTED, &comled);
  if (comled != 0) {
    AXS_Close(0);
    AXS_Close(1);
    AXS_Close(2);
  }
  return 0;
}
