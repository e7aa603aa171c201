// Panel files made for the tests and the fuzzer, each with the refusal it must get: the
// mutations of the shipped panel file (one table, read by the in-process tests, the
// end-to-end start-up test and the fuzzing seeds' generator), and the small panels the
// reader's tests build, some of them too large to store (the bounds on controls and
// groups). No panel-file text is stored twice: a seed is written from these at build
// time (tests/fuzz/panel_seeds.cpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vxtest {

// One text replacement: the first `from` after the first `anchor` ("" : from the start).
struct Edit {
  const char* anchor;
  const char* from;
  const char* to;
};

// Where a refusal points: the [[panel]] line, the [[panel.control]] line of a control
// (named, or the one the first edit falls in), or the first value the first edit writes.
enum class Place { Panel, Control, Value };

// Who refuses: the reader, or LoadPanel after it (the program's contract check; at the
// program's start-up also the binding of callbacks).
enum class Refuser { Reader, Load };

struct PanelMutation {
  const char* name;  // also the seed's file name
  std::vector<Edit> edits;
  Refuser by;
  Place at;
  const char* control;  // Place::Control: the control's name; nullptr: where the edit is
  const char* message;  // after "PATH:LINE:COLUMN: "; nullptr: the file is accepted
};

const std::vector<PanelMutation>& panel_mutations();

// `text` with the mutation's edits made; throws std::runtime_error when one does not apply.
std::string mutated(const std::string& text, const PanelMutation& m);

// "LINE:COLUMN: message" that the mutated text `text` must be refused with, or nothing
// when it must be accepted.
std::optional<std::string> expected_refusal(const std::string& text, const PanelMutation& m);

// ---- small panels --------------------------------------------------------------------

// A panel with a command control (lines 8-15) and, from line 16, the block of a second
// control whose lines are `control_lines`; `panel_extra` goes in before the controls
// (and moves them down). Line numbers of the reader's cases refer to this text.
std::string panel_with(const std::string& control_lines, const std::string& panel_extra = "");

// The lines of an int numeric input, id 3, name P_N: lines 17 to 24 of panel_with.
extern const std::string kNumeric;

// A generated panel with the refusal the reader gives it.
struct GeneratedPanel {
  const char* name;
  std::string text;
  std::string refusal;  // "LINE:COLUMN: message"
};

// One control, and one group, over what a panel may hold.
std::vector<GeneratedPanel> oversized_panels();

}  // namespace vxtest
