// The device server's TANGO classes: `VarnixAxis` (one device per stage, named by the
// last member of its name: x, y or z) and `VarnixScan` (the scan's settings, its start,
// stop and preview, its progress and last record, and the emergency stop). Every value
// comes from the running Varnix at the moment it is read, and every command is the
// operator's own control pressed through the control server, so the program does with a
// TANGO client exactly what it does with a person at its window.
#pragma once

namespace vx::tango_devices {

// Runs the device server: TANGO's own arguments (instance, -nodb, -dlist, -ORBendPoint);
// returns the process's exit status. SIGTERM and SIGINT end it cleanly (status 0).
int run(int argc, char* argv[]);

}  // namespace vx::tango_devices
