// The panel-file cases shared by the tests and the fuzzing seeds' generator: each
// mutation of the shipped panel file with the refusal it must get, and the generated
// panels too large to store. Positions are found in the mutated text, so a case keeps
// its meaning when the shipped file's layout changes.
#include "tests/panel_cases.h"

#include <stdexcept>

#include "platform/panelfile/panel_file.h"

namespace vxtest {

namespace {

// The message every target-range refusal ends with.
#define NO_UNITS ", too large to convert to device units"
#define NOT_FINITE ", which is not a finite number"
#define NEEDS_RANGE "; the program computes the stages' targets from it, so its range must keep them small enough " \
                    "to convert to device units"

std::size_t edit_at(const std::string& text, const Edit& e) {
  const std::size_t anchor = text.find(e.anchor);
  if (anchor == std::string::npos) return anchor;
  return *e.to ? text.find(e.to, anchor) : anchor;
}

}  // namespace

const std::vector<PanelMutation>& panel_mutations() {
  using P = Place;
  using R = Refuser;
  static const std::vector<PanelMutation> cases = {
      // The controls the program addresses: there, of their kind and type.
      {"no_scanning", {{"", "id = 79\n", "id = 179\n"}}, R::Load, P::Panel, nullptr,
       "panel PANEL has no control 79 (PANEL_SCANNING); the program needs an indicator of type int there"},
      {"scanning_double",
       {{"\"PANEL_SCANNING\"", "kind = \"indicator\"\ntype = \"int\"", "kind = \"numeric-display\"\ntype = \"double\""}},
       R::Load, P::Control, nullptr,
       "PANEL_SCANNING (id 79) is a numeric-display of type double; the program needs an indicator of type int"},
      {"scanning_lit", {{"\"PANEL_SCANNING\"", "initial = 0", "initial = 1"}}, R::Load, P::Control, nullptr,
       "PANEL_SCANNING must read off (0) when the panel is loaded; the program would take it as set"},
      {"no_connected", {{"", "id = 81\n", "id = 181\n"}}, R::Load, P::Panel, nullptr,
       "panel PANEL has no control 81 (PANEL_CONNECTED); the program needs an indicator of type int there"},
      {"connected_double",
       {{"\"PANEL_CONNECTED\"", "kind = \"indicator\"\ntype = \"int\"", "kind = \"numeric-display\"\ntype = \"double\""}},
       R::Load, P::Control, nullptr,
       "PANEL_CONNECTED (id 81) is a numeric-display of type double; the program needs an indicator of type int"},
      {"no_led", {{"", "id = 62\n", "id = 162\n"}}, R::Load, P::Panel, nullptr,
       "panel PANEL has no control 62; the program writes a status LED (an indicator of type int) there"},
      // Callbacks: the timer's, the stops', and none elsewhere.
      {"timer_without_timercb", {{"\"PANEL_TIMER\"", "callback = \"TimerCB\"", "callback = \"StopCB\""}}, R::Load,
       P::Panel, nullptr, "panel PANEL has no timer naming the callback 'TimerCB', which the program needs"},
      {"stop_without_callback", {{"\"PANEL_STOP_X\"", "callback = \"StopCB\"\n", ""}}, R::Load, P::Control,
       nullptr, "PANEL_STOP_X must name the callback 'StopCB'"},
      {"goto_with_callback", {{"\"PANEL_GOTO_X\"", "kind = \"command\"\n", "kind = \"command\"\ncallback = \"StopCB\"\n"}},
       R::Load, P::Control, nullptr,
       "PANEL_GOTO_X names the callback 'StopCB'; the program takes its commits in the event loop"},
      // The ranges the stages' targets are computed from.
      {"target_without_min", {{"\"PANEL_TARGET_X\"", "min = -50\n", ""}}, R::Load, P::Control, nullptr,
       "PANEL_TARGET_X has no 'min'" NEEDS_RANGE},
      {"target_range_huge", {{"\"PANEL_TARGET_Y\"", "max = 50\n", "max = 6000\n"}}, R::Load, P::Control, nullptr,
       "the range of PANEL_TARGET_Y allows the target 6000 mm" NO_UNITS},
      {"start_range_huge", {{"\"PANEL_X0\"", "max = 50\n", "max = 1e10\n"}}, R::Load, P::Control, nullptr,
       "the range of PANEL_X0 allows the target 10000000000 mm" NO_UNITS},
      {"step_without_max", {{"\"PANEL_DX\"", "min = -5\nmax = 5\n", "min = -5\n"}}, R::Load, P::Control, nullptr,
       "PANEL_DX has no 'max'" NEEDS_RANGE},
      {"step_range_huge", {{"\"PANEL_DY\"", "max = 5\n", "max = 1e308\n"}}, R::Load, P::Control, nullptr,
       "the ranges of PANEL_Y0, PANEL_DY and PANEL_NY allow the scan target -50 + 999 * 1e+308 mm "
       "(start + index * step)" NOT_FINITE},
      {"step_range_huge_both_ways", {{"\"PANEL_DZ\"", "min = -5\nmax = 5\n", "min = -1e308\nmax = 1e308\n"}},
       R::Load, P::Control, nullptr,
       "the ranges of PANEL_Z0, PANEL_DZ and PANEL_NZ allow the scan target -50 + 999 * -1e+308 mm "
       "(start + index * step)" NOT_FINITE},
      {"step_range_over", {{"\"PANEL_DX\"", "max = 5\n", "max = 5.2\n"}}, R::Load, P::Control, nullptr,
       "the ranges of PANEL_X0, PANEL_DX and PANEL_NX allow the scan target 50 + 999 * 5.2 = 5244.8 mm "
       "(start + index * step)" NO_UNITS},
      {"step_range_within", {{"\"PANEL_DX\"", "max = 5\n", "max = 5.19\n"}}, R::Load, P::Control, nullptr,
       nullptr},
      {"count_range_huge", {{"\"PANEL_NX\"", "max = 1000\n", "max = 100000\n"}}, R::Load, P::Control, "PANEL_DX",
       "the ranges of PANEL_X0, PANEL_DX and PANEL_NX allow the scan target -50 + 99999 * -5 = -500045 mm "
       "(start + index * step)" NO_UNITS},
      // A step of 1e308 and 30000 points as initial values, within widened ranges.
      {"scan_of_huge_targets",
       {{"\"PANEL_DX\"", "initial = 0.5\n", "initial = 1e308\n"},
        {"\"PANEL_DX\"", "max = 5\n", "max = 1e308\n"},
        {"\"PANEL_NX\"", "initial = 5\nmin = 1\nmax = 1000\n", "initial = 30000\nmin = 1\nmax = 100000\n"}},
       R::Load, P::Control, "PANEL_DX",
       "the ranges of PANEL_X0, PANEL_DX and PANEL_NX allow the scan target -50 + 99999 * -5 = -500045 mm "
       "(start + index * step)" NO_UNITS},
      // Ranges the reader refuses before the contract is looked at.
      {"step_max_inf", {{"\"PANEL_DX\"", "max = 5\n", "max = inf\n"}}, R::Reader, P::Value, nullptr,
       "'max' must be a finite number, not inf"},
      {"step_min_nan", {{"\"PANEL_DY\"", "min = -5\n", "min = nan\n"}}, R::Reader, P::Value, nullptr,
       "'min' must be a finite number, not nan"},
      {"step_initial_above_range", {{"\"PANEL_DZ\"", "initial = 0.5\n", "initial = 1e308\n"}}, R::Reader, P::Value,
       nullptr, "'initial' 1e+308 is above 'max' 5"},
      {"count_max_beyond_int", {{"\"PANEL_NY\"", "max = 1000\n", "max = 1e10\n"}}, R::Reader, P::Value, nullptr,
       "'max' of an int control must be a whole number that fits an int, not 10000000000"},
      // Sizes beyond a screen.
      {"panel_wider_than_a_screen", {{"[[panel]]", "width = 868\n", "width = 32767\n"}}, R::Reader, P::Value,
       nullptr, "'width' must be from 0 to 8192 pixels, not 32767: no screen shows more"},
      {"control_below_a_screen", {{"\"PANEL_GOTO_X\"", "top = 170\n", "top = 9000\n"}}, R::Reader, P::Value, nullptr,
       "'top' must be from 0 to 8192 pixels, not 9000: no screen shows more"},
  };
  return cases;
}

std::string mutated(const std::string& text, const PanelMutation& m) {
  std::string out = text;
  for (const Edit& e : m.edits) {
    const std::size_t anchor = out.find(e.anchor);
    const std::size_t at = anchor == std::string::npos ? anchor : out.find(e.from, anchor);
    if (at == std::string::npos)
      throw std::runtime_error(std::string(m.name) + ": no '" + e.from + "' after '" + e.anchor + "'");
    out.replace(at, std::string(e.from).size(), e.to);
  }
  return out;
}

std::optional<std::string> expected_refusal(const std::string& text, const PanelMutation& m) {
  if (!m.message) return std::nullopt;
  std::size_t at = std::string::npos;
  switch (m.at) {
    case Place::Panel:
      at = text.find("[[panel]]");
      break;
    case Place::Control: {
      const std::size_t inside =
          m.control ? text.find("name = \"" + std::string(m.control) + "\"") : edit_at(text, m.edits.front());
      if (inside != std::string::npos) at = text.rfind("[[panel.control]]", inside);
      break;
    }
    case Place::Value:
      at = edit_at(text, m.edits.front());
      if (at != std::string::npos) at = text.find("= ", at);
      if (at != std::string::npos) at += 2;
      break;
  }
  if (at == std::string::npos) throw std::runtime_error(std::string(m.name) + ": the refusal's place is not in the text");
  std::size_t line = 1, line_start = 0;
  for (std::size_t k = 0; k < at; k++)
    if (text[k] == '\n') {
      line++;
      line_start = k + 1;
    }
  return std::to_string(line) + ":" + std::to_string(at - line_start + 1) + ": " + m.message;
}

// ---- small panels --------------------------------------------------------------------

std::string panel_with(const std::string& control_lines, const std::string& panel_extra) {
  return "version = 1\n"
         "[[panel]]\n"  // line 2
         "resource = 1\n"
         "name = \"P\"\n"
         "title = \"T\"\n"
         "width = 100\n"
         "height = 100\n" +  // line 7
         panel_extra +
         "[[panel.control]]\n"  // line 8 when panel_extra is empty
         "id = 2\n"
         "name = \"P_QUIT\"\n"
         "kind = \"command\"\n"
         "top = 0\nleft = 0\nwidth = 10\nheight = 10\n"  // lines 12-15
         "[[panel.control]]\n"                          // line 16
         + control_lines;
}

const std::string kNumeric =
    "id = 3\nname = \"P_N\"\nkind = \"numeric-input\"\ntype = \"int\"\n"  // lines 17-20
    "top = 20\nleft = 0\nwidth = 10\nheight = 10\n";                      // lines 21-24

std::vector<GeneratedPanel> oversized_panels() {
  auto repeated = [](int count, auto block) {
    std::string out;
    for (int k = 0; k < count; k++) out += block(k);
    return out;
  };
  // Two controls in panel_with, then four lines a control from line 25: the 1001st
  // control starts on line 25 + 4 * 998.
  const int controls = vx::rt::kMaxControls;
  std::string controls_over = panel_with(kNumeric + repeated(controls - 1, [](int k) {
    return "[[panel.control]]\nid = " + std::to_string(k + 10) + "\nname = \"C" + std::to_string(k) +
           "\"\nkind = \"command\"\n";
  }));
  // Six lines a group from line 8: the 101st starts on line 8 + 6 * 100.
  const int groups = vx::rt::kMaxGroups;
  std::string groups_over = panel_with(kNumeric, repeated(groups + 1, [](int k) {
    return "[[panel.group]]\nname = \"G" + std::to_string(k) + "\"\ntop = 0\nleft = 0\nwidth = 1\nheight = 1\n";
  }));
  return {
      {"too_many_controls", std::move(controls_over),
       std::to_string(25 + 4 * (controls - 2)) + ":1: panel 'P' has " + std::to_string(controls + 1) +
           " controls; the window draws at most " + std::to_string(controls)},
      {"too_many_groups", std::move(groups_over),
       std::to_string(8 + 6 * groups) + ":1: panel 'P' has " + std::to_string(groups + 1) +
           " groups; the window draws at most " + std::to_string(groups)},
  };
}

}  // namespace vxtest
