// Completion waits and their time-out timer. A wait polls the stage's message queue
// every 250 ms, letting the run-time process events meanwhile, until the awaited
// completion message or the stopped message is taken, or the timer's tick has raised
// AXSTimerOut.
#include <cstdio>

#include "driver/axs.h"
#include "platform/entry/os.h"
#include "platform/runtime/panel_runtime.h"
#include "platform/stagelib/stage_library.h"

std::atomic<int> AXSTimerOut{0};
thread_local int pth = 0;
thread_local int tctrl = 0;

void AXS_Tmlnk(int tout) {
  if (pth == 0) {
    pth = NewPanel(0, "Timeout pannel", 0, 0, 200, 200);
    tctrl = NewCtrl(pth, CTRL_TIMER, "Timeout", 0, 0);
    SetCtrlAttribute(pth, tctrl, ATTR_CALLBACK_FUNCTION_POINTER, AXS_Timeout);
    SetCtrlAttribute(pth, tctrl, ATTR_ENABLED, 0);
    SetCtrlAttribute(pth, tctrl, ATTR_VISIBLE, 0);
  }
  AXSTimerOut = 0;
  SetCtrlAttribute(pth, tctrl, ATTR_INTERVAL, tout / 1000.0);
  SetCtrlAttribute(pth, tctrl, ATTR_ENABLED, 1);
}

void AXS_Tmulk() {
  SetCtrlAttribute(pth, tctrl, ATTR_ENABLED, 0);
  AXSTimerOut = 0;
}

int AXS_Timeout(int panel, int control, int event, void* callbackData, int eventData1, int eventData2) {
  if (event == EVENT_TIMER_TICK) {
    AXSTimerOut = 1;
    printf("AXS timeout\n");
  }
  return 0;
}

// The one wait procedure; the homing wait ends on id 0 and logs every message it takes,
// the move wait ends on id 1 and logs none.
static int AXS_wait(int i, int tout, WORD awaitedId, bool logMessages) {
  const char* serial = serialNumbers[i];
  WORD messageType = 0;
  WORD messageId = 0;
  DWORD messageData = 0;
  int condition = 0;
  AXS_Tmlnk(tout);
  while (!condition) {
    while (ISC_MessageQueueSize(serial) == 0) {
      Sleep(250);
      ProcessSystemEvents();
      if (AXSTimerOut) break;
    }
    if (AXSTimerOut) {
      printf("Timeout in axis [%d] pos: %f messageType %d, messageId %d\n", i, AXS_GetPosition(i),
             messageType, messageId);
      break;
    }
    ISC_GetNextMessage(serial, &messageType, &messageId, &messageData);
    if (logMessages)
      printf("axis [%d] pos: %f messageType %d, messageId %d\n", i, AXS_GetPosition(i), messageType,
             messageId);
    condition = (messageType == 2 && messageId == awaitedId) ? 1 : 0;
    // A stage that stopped (a stop command, a limit met, the emergency stop) will not
    // complete: waiting on would only leave the program deaf until the time-out.
    if (messageType == 2 && messageId == 2) {
      printf("Stopped in axis [%d] pos: %f messageType %d, messageId %d\n", i, AXS_GetPosition(i),
             messageType, messageId);
      break;
    }
  }
  AXS_Tmulk();
  return condition;
}

int AXS_waitHome(int i, int tout) { return AXS_wait(i, tout, 0, true); }

int AXS_waitMove(int i, int tout) { return AXS_wait(i, tout, 1, false); }
