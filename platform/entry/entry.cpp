// Calls the program's entry point as the process entry does.
#include "platform/entry/entry.h"

#include <cstdio>

#include "platform/entry/os.h"

namespace vx {

int run_program_entry() {
  char cmdline[] = "";
  const int code = WinMain(const_cast<ProgramModule*>(&programModule), nullptr, cmdline, 1);
  std::fflush(stdout);
  return code;
}

}  // namespace vx
