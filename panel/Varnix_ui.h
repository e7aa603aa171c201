// Control ids of the main panel of "Varnix_ui.uir": the contract between the program
// and its panel file. The program addresses no other id of the main panel.
#pragma once

enum {
  PANEL = 1,  // the main panel's resource id
};

enum {
  PANEL_QUIT = 2,
  PANEL_DISABLE_Z = 3,
  PANEL_ENABLE_Z = 4,
  PANEL_DISABLE_Y = 5,
  PANEL_ENABLE_Y = 6,
  PANEL_STOP_Z = 7,
  PANEL_STOP_Y = 8,
  PANEL_STOP_X = 9,
  PANEL_DISABLE_X = 10,
  PANEL_ENABLE_X = 11,
  PANEL_HOME_Z = 12,
  PANEL_HOME_Y = 13,
  PANEL_HOME_X = 14,
  PANEL_RESET_1 = 15,
  PANEL_RESET_2 = 16,
  PANEL_RESET_3 = 17,
  PANEL_STATUS_Z = 18,
  PANEL_STATUS_Y = 19,
  PANEL_STATUS_X = 20,
  // 21 to 62: the status LEDs, see lid
  PANEL_JOG_Z_PLUS = 63,
  PANEL_JOG_Y_MINUS = 64,
  PANEL_JOG_Z_MINUS = 65,
  PANEL_JOG_X_PLUS = 66,
  PANEL_JOG_Y_PLUS = 67,
  PANEL_JOG_X_MINUS = 68,
  PANEL_TARGET_X = 69,
  PANEL_TARGET_Z = 70,
  PANEL_POS_Z = 71,
  PANEL_TARGET_Y = 72,
  PANEL_POS_X = 73,
  PANEL_POS_Y = 74,
  PANEL_GOTO_Z = 75,
  PANEL_GOTO_Y = 76,
  PANEL_GOTO_X = 77,
  PANEL_GOTO_ALL = 78,
  PANEL_SCANNING = 79,
  PANEL_MOVING = 80,
  PANEL_CONNECTED = 81,
  PANEL_READ = 87,
  PANEL_STOPSCAN = 89,
  PANEL_STARTSCAN = 90,
  PANEL_IZ = 91,
  PANEL_IY = 92,
  PANEL_IX = 93,
  PANEL_NZ = 94,
  PANEL_NY = 95,
  PANEL_NX = 96,
  PANEL_Z0 = 97,
  PANEL_Y0 = 98,
  PANEL_X0 = 99,
  PANEL_DZ = 100,
  PANEL_DY = 101,
  PANEL_DX = 102,
  PANEL_SCAN_Z = 103,
  PANEL_SCAN_Y = 104,
  PANEL_SCAN_X = 105,
  PANEL_PROGRESS = 107,
  PANEL_TIMER = 108,
};

// Per-axis display ids; the row is the axis index (0 X, 1 Y, 2 Z).
extern const int dpos[3];
extern const int dstat[3];
// Status LEDs: columns 0 to 11 show bits 0 to 11, column 12 bit 29, column 13 bit 31.
extern const int lid[3][14];
