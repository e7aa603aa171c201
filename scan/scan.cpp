// The raster scan: the start-scan row of the command table and the worker that moves
// the axes through the grid on a thread-pool thread, z outermost and x innermost,
// refreshing the display, the progress and dwelling after every x point.
#include "driver/axs.h"
#include "panel/Varnix_ui.h"
#include "panel/app.h"

int rID;
CmtThreadFunctionID tfID;

// One scan move, with PANEL_MOVING lit around it. A target the stage cannot be sent to
// (the driver refuses it and says so) asks the scan to stop, as the stop command does:
// with no move to wait for, the rest of the grid would race past unvisited.
static void ScanMove(int axis, double position, int timeout) {
  int units;
  SetCtrlVal(p1_h, PANEL_MOVING, 1);
  AXS_MoveAbsolute(axis, position, timeout);
  SetCtrlVal(p1_h, PANEL_MOVING, 0);
  if (!AXS_MmToDeviceUnits(position, &units)) ctrl_c = 1;
}

int daq(void* functionData) {
  int nx = 0, ny = 0, nz = 0, cbx = 0, cby = 0, cbz = 0;
  double dx = 0, dy = 0, dz = 0, x0 = 0, y0 = 0, z0 = 0;
  int timeout;
  int nstep;
  double totalSteps, ratio;
  double zposition, yposition, xposition;

  ctrl_c = 0;
  SetCtrlVal(p1_h, PANEL_SCANNING, 1);

  // A parameter that cannot be read would send the stages to an arbitrary grid: end
  // the scan instead (the run-time has said which control on standard error).
  int unreadable = 0;
  unreadable |= GetCtrlVal(p1_h, PANEL_NX, &nx) < 0;
  unreadable |= GetCtrlVal(p1_h, PANEL_NY, &ny) < 0;
  unreadable |= GetCtrlVal(p1_h, PANEL_NZ, &nz) < 0;
  unreadable |= GetCtrlVal(p1_h, PANEL_DX, &dx) < 0;
  unreadable |= GetCtrlVal(p1_h, PANEL_DY, &dy) < 0;
  unreadable |= GetCtrlVal(p1_h, PANEL_DZ, &dz) < 0;
  unreadable |= GetCtrlVal(p1_h, PANEL_X0, &x0) < 0;
  unreadable |= GetCtrlVal(p1_h, PANEL_Y0, &y0) < 0;
  unreadable |= GetCtrlVal(p1_h, PANEL_Z0, &z0) < 0;
  timeout = 10000;
  unreadable |= GetCtrlVal(p1_h, PANEL_SCAN_X, &cbx) < 0;
  unreadable |= GetCtrlVal(p1_h, PANEL_SCAN_Y, &cby) < 0;
  unreadable |= GetCtrlVal(p1_h, PANEL_SCAN_Z, &cbz) < 0;
  if (unreadable) return 0;

  if (cbx == 0) nx = 1;
  if (cby == 0) ny = 1;
  if (cbz == 0) nz = 1;

  nstep = 0;
  // In double arithmetic: the product of three int counts can exceed every integer type.
  totalSteps = static_cast<double>(nx) * static_cast<double>(ny) * static_cast<double>(nz);

  for (int iz = 0; iz < nz; iz++) {
    zposition = z0 + iz * dz;
    SetCtrlVal(p1_h, PANEL_IZ, iz);
    ScanMove(2, zposition, timeout);
    for (int iy = 0; iy < ny; iy++) {
      yposition = y0 + iy * dy;
      SetCtrlVal(p1_h, PANEL_IY, iy);
      ScanMove(1, yposition, timeout);
      for (int ix = 0; ix < nx; ix++) {
        xposition = x0 + ix * dx;
        SetCtrlVal(p1_h, PANEL_IX, ix);
        ScanMove(0, xposition, timeout);
        ReadAll();
        nstep = nstep + 1;
        ratio = nstep / totalSteps;
        SetCtrlVal(p1_h, PANEL_PROGRESS, ratio * 100.0);
        Delay(0.1);
        if (ctrl_c) break;
      }
      if (ctrl_c) break;
    }
    if (ctrl_c) break;
  }
  return 0;
}

void EndOfThread(CmtThreadPoolHandle poolhandle, CmtThreadFunctionID functionID, unsigned int event,
                 int value, void* callbackData) {
  SetCtrlVal(p1_h, PANEL_SCANNING, 0);
  ctrl_c = 0;
}

static void StartScan() {
  int enabled = 1;
  const unsigned int AXS_Enabled = 0x80000000u;
  for (int axis = 0; axis < 3; axis++)
    if ((AXS_GetStatus(axis) & AXS_Enabled) == 0) enabled = 0;
  if (enabled == 1) {
    SetCtrlVal(p1_h, PANEL_MOVING, 0);
    // Lit here, before the hand-over, so that the loop serves no command between the
    // hand-over and the worker's start; put out again if no worker was scheduled.
    SetCtrlVal(p1_h, PANEL_SCANNING, 1);
    if (CmtScheduleThreadPoolFunctionAdv(poolHandle, daq, &rID, DEFAULT_THREAD_PRIORITY, EndOfThread,
                                         EVENT_TP_THREAD_FUNCTION_END, 0, 0, &tfID) < 0)
      SetCtrlVal(p1_h, PANEL_SCANNING, 0);
  } else {
    MessagePopup("Error", "Enable AXS Stages First");
  }
}

static const CommandRow rows[] = {{PANEL_STARTSCAN, StartScan}};
const CommandRows scanRows = {rows, 1};
