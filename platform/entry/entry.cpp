// Calls the program's entry point as the process entry does.
#include "platform/entry/entry.h"

#include <dlfcn.h>

#include <cstdio>

#include "platform/entry/os.h"

namespace vx {

int run_program_entry() {
  void* instance = dlopen(nullptr, RTLD_NOW);
  char cmdline[] = "";
  const int code = WinMain(instance, nullptr, cmdline, 1);
  std::fflush(stdout);
  if (instance) dlclose(instance);
  return code;
}

}  // namespace vx
