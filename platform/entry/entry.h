// The process entry's call of the program: WinMain with the four start-up arguments,
// of which only the instance handle carries anything — the executable's own symbol
// table, in which the run-time looks up the callbacks a panel file names.
#pragma once

namespace vx {

// Runs the program's entry point on the calling thread and returns its result, with
// standard output flushed.
int run_program_entry();

}  // namespace vx
