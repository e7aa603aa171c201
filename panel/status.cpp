// The axis status display: one axis's status word as a number and fourteen of its bits
// on LEDs, and the read-all refresh of every axis's position and status.
#include "driver/axs.h"
#include "panel/Varnix_ui.h"
#include "panel/app.h"

void AXS_SetStatus(int nid) {
  int status = static_cast<int>(AXS_GetStatus(nid));
  SetCtrlVal(p1_h, dstat[nid], status);
  SetCtrlVal(p1_h, lid[nid][12], (status & 0x20000000) ? 1 : 0);
  SetCtrlVal(p1_h, lid[nid][13], (status & 0x80000000) ? 1 : 0);
  for (int i = 0; i < 12; i++) {
    SetCtrlVal(p1_h, lid[nid][i], status & 1);
    status >>= 1;
  }
}

void ReadAll() {
  for (int k = 0; k < 3; k++) {
    double position = AXS_GetPosition(k);
    SetCtrlVal(p1_h, dpos[k], position);
    AXS_SetStatus(k);
  }
}

static const CommandRow rows[] = {{PANEL_READ, ReadAll}};
const CommandRows statusRows = {rows, 1};
