// The panel run-time's interface as the program calls it: run-time initialisation,
// panels and controls, the user-event queue, timer controls, event processing, popups,
// pauses, the console and the thread pool. Values pass as int or double; a call with
// any other value type does not compile.
//
// The implementation (runtime.cpp) is headless; a window front end attaches to it
// through the host interface `vx::rt::Host` of runtime.h.
#pragma once

// ---- constants ------------------------------------------------------------------------

enum {
  EVENT_NONE = 0,
  EVENT_COMMIT = 1,
  EVENT_TIMER_TICK = 15,
};

enum {
  CTRL_TIMER = 490,
};

enum {
  ATTR_CALLBACK_FUNCTION_POINTER = 513,
  ATTR_VISIBLE = 620,
  ATTR_INTERVAL = 1270,
  ATTR_ENABLED = 1271,
};

enum {
  VAL_WAIT = 1,  // GetUserEvent: block until an event is there
  VAL_NO_WAIT = 0,
};

enum {
  SLEEP_MORE = 3,  // SetSleepPolicy: sleep while waiting for events
};

// Thread pool.
enum {
  DEFAULT_THREAD_PRIORITY = -99,
  EVENT_TP_THREAD_FUNCTION_BEGIN = 1,
  EVENT_TP_THREAD_FUNCTION_END = 2,
  OPT_TP_PROCESS_EVENTS_WHILE_WAITING = 0,
  OPT_TP_DO_NOT_PROCESS_EVENTS = 1,
};

// Negative results.
enum {
  UIEInvalidPanel = -42,
  UIEInvalidControl = -45,
  UIETypeMismatch = -47,
  UIEFileNotFound = -12,
  UIEBadFile = -13,
  UIECallbackNotFound = -14,
  UIEOutOfMemory = -15,
  UIENotInitialized = -16,
  UIEContractBroken = -17,
};

typedef int CmtThreadPoolHandle;
typedef int CmtThreadFunctionID;
typedef int (*ThreadFunctionPtr)(void* functionData);
typedef void (*ThreadFunctionCallbackPtr)(CmtThreadPoolHandle poolHandle, CmtThreadFunctionID functionID,
                                          unsigned int event, int value, void* callbackData);
typedef int (*CtrlCallbackPtr)(int panel, int control, int event, void* callbackData, int eventData1,
                               int eventData2);

// ---- the program's module ---------------------------------------------------------------
// What the program hands InitCVIRTEEx as its instance: the functions a panel file may
// name as callbacks, each name with its entry point, and the program's contract with
// each panel resource it loads. LoadPanel binds callback names from this table only,
// and refuses a panel that breaks its contract before the program sees it.

enum {
  CTRL_KIND_COMMAND = 1,
  CTRL_KIND_INDICATOR,
  CTRL_KIND_NUMERIC_INPUT,
  CTRL_KIND_NUMERIC_DISPLAY,
  CTRL_KIND_TOGGLE,
  CTRL_KIND_TIMER,
};

enum {
  VAL_NO_TYPE = 0,
  VAL_INTEGER = 1,
  VAL_DOUBLE = 2,
};

typedef struct CallbackTableEntry {
  const char* name;
  CtrlCallbackPtr function;
} CallbackTableEntry;

// One control the program addresses. id 0: the panel file chooses the id (the timer),
// and the contract asks for one control of this kind. name 0: any name. callback 0: the
// control names no callback (its commits reach the event loop); else it must name this
// one. startsOff: an int control whose initial value must be 0.
typedef struct ContractControl {
  int id;
  const char* name;
  int kind;
  int type;
  const char* callback;
  int startsOff;
} ContractControl;

// A position the program sends a stage to, computed from numeric inputs as
// start + index * step for index 0 to count - 1 (the double arithmetic of a scan). step
// and count 0: the start alone is the target. Each input must have a range ('min' and
// 'max'), and every target those ranges allow must pass the contract's targetConverts.
typedef struct ContractTarget {
  int start;  // a double input, in mm
  int step;   // a double input, in mm, or 0
  int count;  // an int input, or 0
} ContractTarget;

typedef struct PanelContract {
  int resource;
  const ContractControl* controls;
  int controlCount;
  // Further int indicators the program writes, known by id only (the status LEDs).
  const int* indicators;
  int indicatorCount;
  const ContractTarget* targets;
  int targetCount;
  // The program's own test of a target in mm: non-zero when it converts to what the
  // stages take (storing the result in *converted). The targets that pass form one
  // interval, so the check tries the extremes of each target's ranges only.
  int (*targetConverts)(double mm, int* converted);
} PanelContract;

typedef struct ProgramModule {
  const CallbackTableEntry* callbacks;
  int callbackCount;
  const PanelContract* panels;
  int panelCount;
} ProgramModule;

// ---- operations -----------------------------------------------------------------------

// hInstance is the program's ProgramModule (or 0: no callback can be bound and no
// contract is checked).
int InitCVIRTEEx(void* hInstance, char** argv, void* reserved);
int SetSleepPolicy(int policy);
int SetStdioPort(int port);

int CmtNewThreadPool(int maximumNumberOfThreads, CmtThreadPoolHandle* poolHandle);
int CmtScheduleThreadPoolFunctionAdv(CmtThreadPoolHandle poolHandle, ThreadFunctionPtr threadFunction,
                                     void* threadFunctionData, int threadFunctionPriority,
                                     ThreadFunctionCallbackPtr threadFunctionCallback, int eventMask,
                                     void* callbackData, int callbackThreadID,
                                     CmtThreadFunctionID* threadFunctionID);
// Blocks until the scheduled function and its end callback have returned (at once for
// one that has, or an id never given out); OPT_TP_PROCESS_EVENTS_WHILE_WAITING runs the
// calling thread's callbacks and timer ticks meanwhile. 0, or negative for an unknown
// pool.
int CmtWaitForThreadPoolFunctionCompletion(CmtThreadPoolHandle poolHandle, CmtThreadFunctionID threadFunctionID,
                                           int options);

int LoadPanel(int parentPanelHandle, const char* filename, int panelResourceID);
int DisplayPanel(int panelHandle);
int SetActiveCtrl(int panelHandle, int controlID);

int GetUserEvent(int waitMode, int* panel, int* control);
int QueueUserEvent(int eventNumber, int panel, int control);
int ProcessSystemEvents(void);

int GetCtrlVal(int panelHandle, int controlID, int* value);
int GetCtrlVal(int panelHandle, int controlID, double* value);
int SetCtrlVal(int panelHandle, int controlID, int value);
int SetCtrlVal(int panelHandle, int controlID, double value);
template <class T> int GetCtrlVal(int, int, T*) = delete;
template <class T> int SetCtrlVal(int, int, T) = delete;

int NewPanel(int parentPanelHandle, const char* title, int top, int left, int height, int width);
int NewCtrl(int panelHandle, int controlStyle, const char* label, int top, int left);
int SetCtrlAttribute(int panelHandle, int controlID, int attribute, int value);
int SetCtrlAttribute(int panelHandle, int controlID, int attribute, double value);
int SetCtrlAttribute(int panelHandle, int controlID, int attribute, CtrlCallbackPtr value);
template <class T> int SetCtrlAttribute(int, int, int, T) = delete;

int MessagePopup(const char* title, const char* message);
int Delay(double seconds);
