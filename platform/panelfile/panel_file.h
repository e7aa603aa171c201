// The description of panels as a panel file gives them: panels, their controls and the
// group boxes that arrange them. The panel-file reader produces it; the run-time builds
// live panels from it and a window front end draws them from it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vx::rt {

enum class Kind { Command, Indicator, NumericInput, NumericDisplay, Toggle, Timer };
enum class DataType { None, Int, Double };

const char* kind_name(Kind k);        // "command", "indicator", ...
const char* type_name(DataType t);    // "none", "int", "double"

// How a numeric shows its value.
enum class Format { Decimal, Hex, Fixed };

struct ControlSpec {
  int id = 0;
  std::string name;        // the constant the program knows it by, e.g. "PANEL_QUIT"
  Kind kind = Kind::Command;
  DataType type = DataType::None;
  std::string label;
  int top = 0, left = 0, width = 0, height = 0;
  double initial = 0;      // int controls hold a whole number
  Format format = Format::Decimal;
  int precision = 3;       // digits after the point, for Fixed
  std::optional<double> min, max;  // numeric inputs
  double interval = 1.0;   // timer, seconds
  bool enabled = true;     // timer
  std::string callback;    // name bound at load time; empty: none
  std::string group;       // name of the group box it sits in; empty: none
  std::string tooltip;     // what the control shows or does, for the operator
  int axis = -1;           // status LEDs: the axis (0 X, 1 Y, 2 Z) whose status bit it shows
  int bit = -1;            // status LEDs: the bit of the status word it shows
  int line = 0, column = 0;  // where the file defines it
};

struct GroupSpec {
  std::string name;
  std::string label;
  int top = 0, left = 0, width = 0, height = 0;
};

struct PanelSpec {
  int resource = 0;
  std::string name;        // constant prefix, e.g. "PANEL"
  std::string title;
  int width = 0, height = 0;
  std::vector<GroupSpec> groups;
  std::vector<ControlSpec> controls;
  int line = 0, column = 0;  // where the file defines it
};

// The control of `panel` with id `id`, or nullptr.
const ControlSpec* find_control(const PanelSpec& panel, int id);

struct PanelFile {
  std::string path;
  std::vector<PanelSpec> panels;
};

// What a panel file may hold at most. The window draws every control and group as a
// widget (a control with a label as two) and paints sibling widgets recursively: tens of
// thousands of them exhaust its stack. A panel needs about a hundred of each kind.
inline constexpr int kMaxControls = 1000;  // per panel
inline constexpr int kMaxGroups = 100;     // per panel
inline constexpr long kMaxFileBytes = 1 << 20;  // the shipped file has 25 KB
// A panel's size, and every position and size on it, in pixels: as much as the largest
// screens show (7680 x 4320). A window made for a bigger panel would not fit on any
// screen, its emergency stop out of sight, and would cost gigabytes to draw.
inline constexpr int kMaxPixels = 8192;

// A number as a message shows it: as short as reads back the same, in plain digits
// where that reads well ("2.5", "-2147483649", "1e+308", "inf", "nan").
std::string number_text(double v);

// Reads a panel file's text. On failure returns nothing and sets `error` to
// "PATH:LINE:COLUMN: what is wrong", with the control characters of the path and of what
// it quotes escaped (files::printable), as in every message of the reader.
std::optional<PanelFile> parse_panel_file(std::string_view text, const std::string& path,
                                          std::string& error);
// Reads the file at `path`: a regular file of at most kMaxFileBytes. Anything else (a
// directory, a FIFO, a device such as /dev/zero, through a link or not) is refused
// without being read: "PATH: cannot open: reason" or "PATH: cannot read: reason".
std::optional<PanelFile> load_panel_file(const std::string& path, std::string& error);

}  // namespace vx::rt
