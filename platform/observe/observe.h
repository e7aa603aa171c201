// What the operator is shown of the truth around the program's own displays: the
// stages as the stage library reports them now (position, state in words, why a stage
// cannot move), and what the program is doing (connecting, idle, the command it serves
// with its time so far and its bound, scanning, quitting) with the events queued behind
// it. The window and the session runner both show them from here; the program's own
// displays stay what the program last wrote.
//
// Readings call the stage library on the calling thread; nothing here reads the stages
// unless asked.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock/clock.h"
#include "platform/runtime/runtime.h"

namespace vx::observe {

inline constexpr int kAxes = 3;

// One stage as the library reports it at one reading.
struct AxisLive {
  int axis = 0;                    // 0 X, 1 Y, 2 Z
  int units = 0;                   // position counter
  double position_mm = 0;
  std::uint32_t status = 0;        // the status word
  bool inhibited = false;          // the emergency stop's interlock on this stage
  std::vector<std::string> words;  // idle, moving-forward, ..., as listed in words()
  std::string reason;              // why it cannot move, in plain words; empty if it can
};

using Live = std::array<AxisLive, kAxes>;

// The state words a reading can give, in the order they are listed.
const std::vector<std::string>& all_words();

// Derives the words and the reason from position, status and inhibit.
AxisLive interpret(int axis, int units, std::uint32_t status, bool inhibited);

// Reads the three stages of the axis table now: position, status word, interlock.
Live read_live();
// A stage not yet opened reads like a disabled one at 0: from `axis` on, says instead
// that the stage is not connected yet (the word "not-connected").
void mark_not_connected(Live& live, int axis);

// The shortest plain form of a typed value ("12.5", "3", "0.001"), as the operator's
// names of commands and the log show it.
std::string plain(double v);

// "X", "Y", "Z".
const char* axis_name(int axis);
// "moving-reverse homing".
std::string words_text(const AxisLive& a);

// The operator's name of a command, with the values it will read from the panel now
// ("Go to X: 12.5 mm", "Jog +1 mm Y", "Start scan: 5 × 5 × 1 points"); for a control
// that is no command, its constant's name.
std::string command_text(const rt::Runtime& runtime, int panel, int control);
// The inputs a command reads from the panel as it runs (Go to X: X's target; Start
// scan: the scan's counts, starts, steps and the axes ticked), in the panel's order;
// none for a command that reads no input.
const std::vector<int>& inputs_read(int command);
// Whether a command sets a stage moving (Go to, Jog, Home, Start scan).
bool moves(int command);
// The operator's name of an input, with its axis when its group is one ("X Target
// (mm)", "Y points").
std::string field_name(const rt::Runtime& runtime, int panel, int control);
// The constant's name of a control ("PANEL_READ"), or its id as text.
std::string control_name(const rt::Runtime& runtime, int panel, int control);

// Whether the program's scan runs: its Scanning lamp, the one guard the program itself
// goes by (lit from the start row until the worker has ended).
bool scanning(const rt::Runtime& runtime);

// A command the operator clicked that waits for the program: withdrawable by `commit`
// (rt::Runtime::withdraw) until the program takes it.
struct QueuedCommand {
  std::uint64_t commit = 0;
  int control = 0;
  std::string text;  // its operator name, with the values it will read
  bool operator==(const QueuedCommand&) const = default;
};

struct ActivityView {
  std::string what;                     // "Homing X: 12 s, gives up at 180 s"
  std::string headline;                 // the same without a command's times: "Homing X"
  std::string state;                    // one word: starting, connecting, idle, busy, scanning, quitting
  int connecting = -1;                  // while connecting: the axis being connected (3: not known)
  std::vector<int> queued;              // control ids, in order
  std::vector<std::string> queued_text; // their operator names
  std::vector<std::string> queued_names;  // their constants' names
  // Of those, the operator's clicks; the rest are the program's own requests (the
  // panel timer's refreshes), counted.
  std::vector<QueuedCommand> commands;
  int own_requests = 0;
};

// What the program does now. `live`, when given, says which stage a connection is at.
ActivityView describe_activity(const rt::Runtime& runtime, Time now, const Live* live = nullptr);

}  // namespace vx::observe
