// The fixed scale between millimetres and device units, and the per-axis readouts.
#include <cmath>

#include "driver/axs.h"
#include "platform/stagelib/stage_library.h"

int StepsPerMm = 409600;

int AXS_MmToDeviceUnits(double mm, int* deviceUnits) {
  const double product = static_cast<double>(StepsPerMm) * mm;
  // Truncation toward zero keeps any product strictly between -2^31-1 and 2^31 inside
  // the int range; anything else, and NaN or infinity, has no device units.
  if (!std::isfinite(product) || product <= -2147483649.0 || product >= 2147483648.0) return 0;
  *deviceUnits = static_cast<int>(product);
  return 1;
}

double AXS_GetPosition(int i) {
  return static_cast<double>(ISC_GetPosition(serialNumbers[i])) / static_cast<double>(StepsPerMm);
}

unsigned int AXS_GetStatus(int i) { return ISC_GetStatusBits(serialNumbers[i]); }

int AXS_GetNumberPositions(int i) { return ISC_GetNumberPositions(serialNumbers[i]); }

void AXS_GetRealValueFromDeviceUnit(int i, int device_unit, double* real_unit, int unitType) {
  ISC_GetRealValueFromDeviceUnit(serialNumbers[i], device_unit, real_unit, unitType);
}

void AXS_GetDeviceUnitFromRealValue(int i, double real_unit, int* device_unit, int unitType) {
  ISC_GetDeviceUnitFromRealValue(serialNumbers[i], real_unit, device_unit, unitType);
}
