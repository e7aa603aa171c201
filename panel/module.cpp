// What the program hands the panel run-time at initialisation: its callback names with
// their entry points, and its panel contract (panel/contract.cpp). The run-time binds a
// panel file's callbacks from this table only and refuses a panel file that breaks the
// contract before any stage is touched.
#include "panel/app.h"

static const CallbackTableEntry callbackTable[] = {
    {"TimerCB", TimerCB},
    {"StopCB", StopCB},
};

const ProgramModule programModule = {
    callbackTable, sizeof callbackTable / sizeof callbackTable[0], panelContracts, panelContractCount,
};
