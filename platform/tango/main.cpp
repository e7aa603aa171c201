// varnix-tango: the TANGO device server for a running Varnix (docs/tango.md).
#include <cstring>
#include <iostream>

#include "platform/tango/devices.h"
#include "platform/version/version.h"

int main(int argc, char* argv[]) {
  if (argc >= 2 && (std::strcmp(argv[1], "--version") == 0)) {
    std::cout << "varnix-tango " << vx::version() << "\n";
    return 0;
  }
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::cout << "usage: varnix-tango INSTANCE [-nodb -dlist CLASS::DEVICE,...] [-ORBendPoint giop:tcp:HOST:PORT]\n"
                 "The TANGO devices of a running Varnix (classes VarnixAxis and VarnixScan).\n"
                 "The Varnix: VARNIX_ADDRESS (unix:PATH or tcp:[HOST:]PORT), or each device's property Address.\n"
                 "See docs/tango.md.\n";
    return 0;
  }
  return vx::tango_devices::run(argc, argv);
}
