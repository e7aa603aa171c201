// The operator application's shared globals and procedures: the main panel handle, the
// thread pool, the scan abort flag, the command table and the read-all refresh.
#pragma once

#include <atomic>

#include "platform/runtime/panel_runtime.h"

extern int p1_h;
extern CmtThreadPoolHandle poolHandle;
// The id of the last scan handed to the pool (0 before the first).
extern CmtThreadFunctionID tfID;
// Written by the main thread, read and cleared by the scan thread.
extern std::atomic<int> ctrl_c;

// One row of the command table: a control id and the action it runs.
struct CommandRow {
  int id;
  void (*action)();
};
struct CommandRows {
  const CommandRow* rows;
  int count;
};

// The rows each part of the application adds to the table.
extern const CommandRows statusRows;   // the read-all refresh
extern const CommandRows axisRows;     // the per-axis commands
extern const CommandRows scanRows;     // the start of a scan

// Runs the row of `id`; an id without a row does nothing.
void RunCommand(int id);

void AXS_SetStatus(int nid);
void ReadAll();

extern "C" int TimerCB(int panel, int control, int event, void* callbackData, int eventData1,
                       int eventData2);
// The Stop controls' callback: stops the control's axis at once, whatever the program is
// doing, and asks a running scan to stop.
extern "C" int StopCB(int panel, int control, int event, void* callbackData, int eventData1,
                      int eventData2);

// The program's contract with its panel file (panel/contract.cpp), and the callback
// table and contract handed to the run-time (panel/module.cpp).
extern const PanelContract panelContracts[];
extern const int panelContractCount;
extern const ProgramModule programModule;
