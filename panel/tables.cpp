// The per-axis id tables of the main panel: position displays, status-word displays and
// the fourteen status LEDs of each axis.
#include "panel/Varnix_ui.h"

const int dpos[3] = {PANEL_POS_X, PANEL_POS_Y, PANEL_POS_Z};
const int dstat[3] = {PANEL_STATUS_X, PANEL_STATUS_Y, PANEL_STATUS_Z};
const int lid[3][14] = {
    {62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49},
    {48, 47, 46, 45, 44, 43, 42, 41, 40, 39, 38, 37, 36, 35},
    {34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21},
};
