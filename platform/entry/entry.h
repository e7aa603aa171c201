// The process entry's call of the program: WinMain with the four start-up arguments,
// of which only the instance handle carries anything — the program's module, whose
// callback table and panel contract the run-time is handed at initialisation.
#pragma once

namespace vx {

// Runs the program's entry point on the calling thread and returns its result, with
// standard output flushed.
int run_program_entry();

}  // namespace vx
