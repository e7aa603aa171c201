// The operating system's Sleep, on the process clock.
#include "platform/entry/os.h"

#include "platform/clock/clock.h"

void Sleep(unsigned int milliseconds) { vx::clock().sleep_for(vx::from_millis(milliseconds)); }
