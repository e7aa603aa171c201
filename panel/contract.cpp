// The program's contract with the main panel of "Varnix_ui.uir": every control id the
// program addresses, with the kind and data type it must have there, the callbacks it
// must name, the indicators that must read off when it is loaded, and the inputs the
// stages' targets are computed from, whose ranges must keep every target one the driver
// can convert to device units. The run-time checks a panel file against it before the
// program sees the panel.
#include "driver/axs.h"
#include "panel/Varnix_ui.h"
#include "panel/app.h"

#define COMMAND(id) {id, #id, CTRL_KIND_COMMAND, VAL_NO_TYPE, 0, 0}
#define CONTROL(id, kind, type) {id, #id, kind, type, 0, 0}

static const ContractControl mainPanelControls[] = {
    COMMAND(PANEL_QUIT),
    COMMAND(PANEL_DISABLE_Z),
    COMMAND(PANEL_ENABLE_Z),
    COMMAND(PANEL_DISABLE_Y),
    COMMAND(PANEL_ENABLE_Y),
    // The stops act at once, also while a command waits: through their callback.
    {PANEL_STOP_Z, "PANEL_STOP_Z", CTRL_KIND_COMMAND, VAL_NO_TYPE, "StopCB", 0},
    {PANEL_STOP_Y, "PANEL_STOP_Y", CTRL_KIND_COMMAND, VAL_NO_TYPE, "StopCB", 0},
    {PANEL_STOP_X, "PANEL_STOP_X", CTRL_KIND_COMMAND, VAL_NO_TYPE, "StopCB", 0},
    COMMAND(PANEL_DISABLE_X),
    COMMAND(PANEL_ENABLE_X),
    COMMAND(PANEL_HOME_Z),
    COMMAND(PANEL_HOME_Y),
    COMMAND(PANEL_HOME_X),
    COMMAND(PANEL_RESET_1),
    COMMAND(PANEL_RESET_2),
    COMMAND(PANEL_RESET_3),
    CONTROL(PANEL_STATUS_Z, CTRL_KIND_NUMERIC_DISPLAY, VAL_INTEGER),
    CONTROL(PANEL_STATUS_Y, CTRL_KIND_NUMERIC_DISPLAY, VAL_INTEGER),
    CONTROL(PANEL_STATUS_X, CTRL_KIND_NUMERIC_DISPLAY, VAL_INTEGER),
    COMMAND(PANEL_JOG_Z_PLUS),
    COMMAND(PANEL_JOG_Y_MINUS),
    COMMAND(PANEL_JOG_Z_MINUS),
    COMMAND(PANEL_JOG_X_PLUS),
    COMMAND(PANEL_JOG_Y_PLUS),
    COMMAND(PANEL_JOG_X_MINUS),
    CONTROL(PANEL_TARGET_X, CTRL_KIND_NUMERIC_INPUT, VAL_DOUBLE),
    CONTROL(PANEL_TARGET_Z, CTRL_KIND_NUMERIC_INPUT, VAL_DOUBLE),
    CONTROL(PANEL_POS_Z, CTRL_KIND_NUMERIC_DISPLAY, VAL_DOUBLE),
    CONTROL(PANEL_TARGET_Y, CTRL_KIND_NUMERIC_INPUT, VAL_DOUBLE),
    CONTROL(PANEL_POS_X, CTRL_KIND_NUMERIC_DISPLAY, VAL_DOUBLE),
    CONTROL(PANEL_POS_Y, CTRL_KIND_NUMERIC_DISPLAY, VAL_DOUBLE),
    COMMAND(PANEL_GOTO_Z),
    COMMAND(PANEL_GOTO_Y),
    COMMAND(PANEL_GOTO_X),
    COMMAND(PANEL_GOTO_ALL),
    // The scan guard: lit at load, every command would be dropped for ever.
    {PANEL_SCANNING, "PANEL_SCANNING", CTRL_KIND_INDICATOR, VAL_INTEGER, 0, 1},
    CONTROL(PANEL_MOVING, CTRL_KIND_INDICATOR, VAL_INTEGER),
    CONTROL(PANEL_CONNECTED, CTRL_KIND_INDICATOR, VAL_INTEGER),
    COMMAND(PANEL_READ),
    COMMAND(PANEL_STOPSCAN),
    COMMAND(PANEL_STARTSCAN),
    CONTROL(PANEL_IZ, CTRL_KIND_NUMERIC_DISPLAY, VAL_INTEGER),
    CONTROL(PANEL_IY, CTRL_KIND_NUMERIC_DISPLAY, VAL_INTEGER),
    CONTROL(PANEL_IX, CTRL_KIND_NUMERIC_DISPLAY, VAL_INTEGER),
    CONTROL(PANEL_NZ, CTRL_KIND_NUMERIC_INPUT, VAL_INTEGER),
    CONTROL(PANEL_NY, CTRL_KIND_NUMERIC_INPUT, VAL_INTEGER),
    CONTROL(PANEL_NX, CTRL_KIND_NUMERIC_INPUT, VAL_INTEGER),
    CONTROL(PANEL_Z0, CTRL_KIND_NUMERIC_INPUT, VAL_DOUBLE),
    CONTROL(PANEL_Y0, CTRL_KIND_NUMERIC_INPUT, VAL_DOUBLE),
    CONTROL(PANEL_X0, CTRL_KIND_NUMERIC_INPUT, VAL_DOUBLE),
    CONTROL(PANEL_DZ, CTRL_KIND_NUMERIC_INPUT, VAL_DOUBLE),
    CONTROL(PANEL_DY, CTRL_KIND_NUMERIC_INPUT, VAL_DOUBLE),
    CONTROL(PANEL_DX, CTRL_KIND_NUMERIC_INPUT, VAL_DOUBLE),
    CONTROL(PANEL_SCAN_Z, CTRL_KIND_TOGGLE, VAL_INTEGER),
    CONTROL(PANEL_SCAN_Y, CTRL_KIND_TOGGLE, VAL_INTEGER),
    CONTROL(PANEL_SCAN_X, CTRL_KIND_TOGGLE, VAL_INTEGER),
    CONTROL(PANEL_PROGRESS, CTRL_KIND_NUMERIC_DISPLAY, VAL_DOUBLE),
    // The timer's id is the panel file's; it must call TimerCB.
    {0, 0, CTRL_KIND_TIMER, VAL_NO_TYPE, "TimerCB", 0},
};

// The Go to targets, and the scan's: start + index * step along each axis.
static const ContractTarget mainPanelTargets[] = {
    {PANEL_TARGET_X, 0, 0},
    {PANEL_TARGET_Y, 0, 0},
    {PANEL_TARGET_Z, 0, 0},
    {PANEL_X0, PANEL_DX, PANEL_NX},
    {PANEL_Y0, PANEL_DY, PANEL_NY},
    {PANEL_Z0, PANEL_DZ, PANEL_NZ},
};

const PanelContract panelContracts[] = {
    {PANEL, mainPanelControls, sizeof mainPanelControls / sizeof mainPanelControls[0], &lid[0][0], 3 * 14,
     mainPanelTargets, sizeof mainPanelTargets / sizeof mainPanelTargets[0], AXS_MmToDeviceUnits},
};

const int panelContractCount = sizeof panelContracts / sizeof panelContracts[0];
