// Tests of the panel-file reader and of the shipped panel file: the file must give the
// program every control it addresses, with the kind and value type it reads or writes,
// and the per-axis id tables must point at the right controls; malformed files, and
// each mutation of the shipped file, must be refused with the line and column of the
// mistake; every seed of the fuzz corpus must get the outcome it names.
#include "panel/Varnix_ui.h"
#include "panel/app.h"
#include "platform/runtime/runtime.h"
#include "platform/panelfile/panel_file.h"
#include "tests/panel_cases.h"
#include "tests/seed_expectation.h"
#include "tests/session_harness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using vx::rt::ControlSpec;
using vx::rt::DataType;
using vx::rt::Format;
using vx::rt::GroupSpec;
using vx::rt::Kind;
using vx::rt::PanelSpec;

const std::string kShipped = VARNIX_SOURCE_DIR "/panel/Varnix_ui.uir";

// The main panel of the shipped file, read once; a test that uses it fails with the
// reader's message if the file does not load.
const PanelSpec& main_panel() {
  static const PanelSpec panel = [] {
    std::string error;
    const auto file = vx::rt::load_panel_file(kShipped, error);
    if (!file) throw std::runtime_error(error);
    for (const PanelSpec& p : file->panels)
      if (p.resource == PANEL) return p;
    throw std::runtime_error(kShipped + ": no panel resource 1");
  }();
  return panel;
}

const ControlSpec* control(int id) {
  const auto& cs = main_panel().controls;
  auto it = std::find_if(cs.begin(), cs.end(), [&](const ControlSpec& c) { return c.id == id; });
  return it == cs.end() ? nullptr : &*it;
}

TEST(ShippedPanel, KeepsTheProgramsContractAndAddsNoUnaddressedId) {
  const PanelSpec& p = main_panel();
  EXPECT_EQ(p.name, "PANEL");
  EXPECT_EQ(p.title, "Varnix");
  ASSERT_EQ(programModule.panelCount, 1);
  const PanelContract& contract = programModule.panels[0];
  EXPECT_EQ(contract.resource, PANEL);
  EXPECT_EQ(vx::rt::contract_violation(p, contract, kShipped), std::nullopt);
  for (int id : {1, 82, 83, 84, 85, 86, 88, 106}) EXPECT_EQ(control(id), nullptr) << "id " << id;

  // The contract, the LEDs and nothing else: an extra control would be one the program
  // never reads, a sign that an id slipped.
  EXPECT_EQ(p.controls.size(), static_cast<size_t>(contract.controlCount + contract.indicatorCount));
}

TEST(ShippedPanel, AxisTablesPointAtTheirDisplaysAndLeds) {
  const char* const groups[3] = {"AXIS_X", "AXIS_Y", "AXIS_Z"};
  const std::map<int, std::string> labels = {
      {0, "Fwd limit"}, {1, "Rev limit"}, {4, "Moving fwd"}, {5, "Moving rev"},
      {9, "Homing"},    {10, "Homed"},    {11, "Interlock"}, {29, "Busy"}, {31, "Enabled"}};
  for (int a = 0; a < 3; ++a) {
    SCOPED_TRACE("axis " + std::to_string(a));
    const ControlSpec* pos = control(dpos[a]);
    ASSERT_NE(pos, nullptr);
    EXPECT_EQ(pos->kind, Kind::NumericDisplay);
    EXPECT_EQ(pos->type, DataType::Double);
    EXPECT_EQ(pos->group, groups[a]);

    const ControlSpec* stat = control(dstat[a]);
    ASSERT_NE(stat, nullptr);
    EXPECT_EQ(stat->kind, Kind::NumericDisplay);
    EXPECT_EQ(stat->type, DataType::Int);
    EXPECT_EQ(stat->format, Format::Hex);
    EXPECT_EQ(stat->group, groups[a]);

    for (int col = 0; col < 14; ++col) {
      const int bit = col < 12 ? col : col == 12 ? 29 : 31;
      SCOPED_TRACE("bit " + std::to_string(bit));
      const ControlSpec* led = control(lid[a][col]);
      ASSERT_NE(led, nullptr);
      EXPECT_EQ(led->kind, Kind::Indicator);
      EXPECT_EQ(led->type, DataType::Int);
      EXPECT_EQ(led->axis, a);
      EXPECT_EQ(led->bit, bit);
      EXPECT_EQ(led->group, groups[a]);
      const auto known = labels.find(bit);
      EXPECT_EQ(led->label, known != labels.end() ? known->second : "Unused (bit " + std::to_string(bit) + ")");
    }
  }
}

TEST(ShippedPanel, StartsDisconnectedAndIdleWithTheRefreshTimerRunning) {
  ASSERT_NE(control(PANEL_CONNECTED), nullptr);
  ASSERT_NE(control(PANEL_SCANNING), nullptr);
  EXPECT_EQ(control(PANEL_CONNECTED)->initial, 0);
  EXPECT_EQ(control(PANEL_SCANNING)->initial, 0);

  const ControlSpec* timer = control(PANEL_TIMER);
  ASSERT_NE(timer, nullptr);
  EXPECT_EQ(timer->callback, "TimerCB");
  EXPECT_TRUE(timer->enabled);
  EXPECT_GT(timer->interval, 0);
}

// What the operator sees: every control is labelled and explained, lies on the panel and
// inside its group box, and no two controls cover each other.
TEST(ShippedPanel, LayoutIsTidy) {
  const PanelSpec& p = main_panel();
  auto inside = [](const ControlSpec& c, int top, int left, int width, int height) {
    return c.top >= top && c.left >= left && c.top + c.height <= top + height && c.left + c.width <= left + width;
  };
  std::vector<const ControlSpec*> drawn;
  for (const ControlSpec& c : p.controls) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(c.label.empty());
    EXPECT_FALSE(c.tooltip.empty());
    if (c.kind == Kind::Timer) continue;
    EXPECT_GT(c.width, 0);
    EXPECT_GT(c.height, 0);
    EXPECT_TRUE(inside(c, 0, 0, p.width, p.height));
    if (!c.group.empty()) {
      auto g = std::find_if(p.groups.begin(), p.groups.end(), [&](const GroupSpec& g) { return g.name == c.group; });
      ASSERT_NE(g, p.groups.end());
      EXPECT_TRUE(inside(c, g->top, g->left, g->width, g->height)) << "outside group " << g->name;
    }
    drawn.push_back(&c);
  }
  for (std::size_t i = 0; i < drawn.size(); ++i)
    for (std::size_t j = i + 1; j < drawn.size(); ++j) {
      const ControlSpec &a = *drawn[i], &b = *drawn[j];
      const bool apart = a.left + a.width <= b.left || b.left + b.width <= a.left || a.top + a.height <= b.top ||
                         b.top + b.height <= a.top;
      EXPECT_TRUE(apart) << a.name << " overlaps " << b.name;
    }
}

// ---- the reader -------------------------------------------------------------------------

// The small panel that every malformed case below breaks in one place: line numbers in
// the cases refer to its text (the panel header is line 2).
using vxtest::kNumeric;
using vxtest::panel_with;

TEST(PanelFileReader, ReadsEveryKeyIntoTheModel) {
  const std::string text = panel_with(kNumeric + "initial = 7.0\nmin = 1\nmax = 9\nlabel = \"Count\"\n"
                                                 "tooltip = \"How many\"\ngroup = \"G\"\n",
                                      "[[panel.group]]\nname = \"G\"\nlabel = \"Box\"\n"
                                      "top = 1\nleft = 2\nwidth = 50\nheight = 60\n") +
                           "[[panel.control]]\nid = 4\nname = \"P_T\"\nkind = \"timer\"\ninterval = 0.25\n"
                           "enabled = false\ncallback = \"Tick\"\n"
                           "[[panel.control]]\nid = 5\nname = \"P_L\"\nkind = \"indicator\"\ntype = \"int\"\n"
                           "top = 40\nleft = 0\nwidth = 8\nheight = 8\naxis = 2\nbit = 29\ninitial = 1\n"
                           "[[panel.control]]\nid = 6\nname = \"P_D\"\nkind = \"numeric-display\"\n"
                           "type = \"double\"\ntop = 60\nleft = 0\nwidth = 8\nheight = 8\nformat = \"fixed\"\n"
                           "precision = 2\ninitial = -1.5\n";
  std::string error;
  const auto file = vx::rt::parse_panel_file(text, "ok.uir", error);
  ASSERT_TRUE(file) << error;
  ASSERT_EQ(file->panels.size(), 1u);
  const PanelSpec& p = file->panels[0];
  EXPECT_EQ(file->path, "ok.uir");
  EXPECT_EQ(p.resource, 1);
  EXPECT_EQ(p.name, "P");
  EXPECT_EQ(p.width, 100);
  ASSERT_EQ(p.groups.size(), 1u);
  EXPECT_EQ(p.groups[0].label, "Box");
  EXPECT_EQ(p.groups[0].height, 60);
  ASSERT_EQ(p.controls.size(), 5u);

  const ControlSpec& n = p.controls[1];
  EXPECT_EQ(n.kind, Kind::NumericInput);
  EXPECT_EQ(n.type, DataType::Int);
  EXPECT_EQ(n.initial, 7);
  EXPECT_EQ(n.min, 1);
  EXPECT_EQ(n.max, 9);
  EXPECT_EQ(n.top, 20);
  EXPECT_EQ(n.group, "G");
  EXPECT_EQ(n.tooltip, "How many");
  EXPECT_EQ(n.line, 23);  // below the seven lines of the group
  EXPECT_EQ(n.column, 1);

  const ControlSpec& t = p.controls[2];
  EXPECT_EQ(t.kind, Kind::Timer);
  EXPECT_EQ(t.type, DataType::None);
  EXPECT_EQ(t.interval, 0.25);
  EXPECT_FALSE(t.enabled);
  EXPECT_EQ(t.callback, "Tick");

  EXPECT_EQ(p.controls[3].axis, 2);
  EXPECT_EQ(p.controls[3].bit, 29);
  EXPECT_EQ(p.controls[3].initial, 1);
  EXPECT_EQ(p.controls[4].format, Format::Fixed);
  EXPECT_EQ(p.controls[4].precision, 2);
  EXPECT_EQ(p.controls[4].initial, -1.5);
}

struct Malformed {
  const char* what;
  std::string text;
  const char* where;    // "LINE:COLUMN"
  const char* message;  // a part of what is wrong
};

std::vector<Malformed> malformed_cases() {
  const std::string two_panels =
      "[[panel]]\nresource = 1\nname = \"A\"\ntitle = \"\"\nwidth = 1\nheight = 1\n"
      "[[panel]]\nresource = 1\nname = \"B\"\ntitle = \"\"\nwidth = 1\nheight = 1\n";
  return {
      {"syntax error", "version = 1\n[[panel]\n", "2:9", "expected ']'"},
      {"unterminated string", "version = 1\nx = \"abc\n", "2:9", ""},
      {"unknown key, a typo", panel_with(kNumeric + "lable = \"Count\"\n"), "25:1", "did you mean 'label'"},
      {"unknown top-level key", "version = 1\npanels = []\n", "2:1", "unknown key 'panels'"},
      {"missing kind", panel_with("id = 3\nname = \"P_N\"\ntop = 0\nleft = 0\nwidth = 1\nheight = 1\n"), "16:1",
       "has no 'kind'"},
      {"missing id", panel_with("name = \"P_N\"\nkind = \"command\"\n"), "16:1", "control 'P_N' has no 'id'"},
      {"id of the wrong type", panel_with("id = \"3\"\nname = \"P_N\"\nkind = \"command\"\n"), "17:6",
       "'id' must be an integer, not a string"},
      {"duplicate id", panel_with("id = 2\nname = \"P_N\"\nkind = \"command\"\ntop = 0\nleft = 0\nwidth = 1\n"
                                  "height = 1\n"),
       "17:6", "control id 2 is already used by P_QUIT at line 9"},
      {"duplicate name", panel_with("id = 3\nname = \"P_QUIT\"\nkind = \"command\"\ntop = 0\nleft = 0\n"
                                    "width = 1\nheight = 1\n"),
       "18:8", "control name 'P_QUIT' is already used by control 2 at line 10"},
      {"command with a data type", panel_with("id = 3\nname = \"P_N\"\nkind = \"command\"\ntype = \"int\"\n"),
       "20:8", "does not apply to a command"},
      {"double indicator", panel_with("id = 3\nname = \"P_N\"\nkind = \"indicator\"\ntype = \"double\"\n"), "20:8",
       "indicator controls carry int 0 or 1, not double"},
      {"numeric without a type", panel_with("id = 3\nname = \"P_N\"\nkind = \"numeric-display\"\n"), "16:1",
       "has no 'type'"},
      {"unknown kind", panel_with("id = 3\nname = \"P_N\"\nkind = \"button\"\n"), "19:8", "unknown kind 'button'"},
      {"int initial not whole", panel_with(kNumeric + "initial = 2.5\n"), "25:11", "whole number"},
      {"int initial out of range", panel_with(kNumeric + "initial = 3000000000\n"), "25:11", "whole number"},
      {"int initial below the range", panel_with(kNumeric + "initial = -2147483649\n"), "25:11", "fits an int"},
      {"initial not a number", panel_with(kNumeric + "initial = nan\n"), "25:11", "finite"},
      {"indicator initial not on or off", panel_with("id = 3\nname = \"P_N\"\nkind = \"toggle\"\ntype = \"int\"\n"
                                                     "top = 0\nleft = 0\nwidth = 1\nheight = 1\ninitial = 2\n"),
       "25:11", "toggle controls start at 0 (off) or 1 (on), not 2"},
      {"negative size", panel_with("id = 3\nname = \"P_N\"\nkind = \"command\"\ntop = 0\nleft = 0\n"
                                   "width = -1\nheight = 1\n"),
       "22:9", "'width' must be from 0 to 8192 pixels, not -1"},
      {"panel larger than a screen", "[[panel]]\nresource = 1\nname = \"P\"\ntitle = \"\"\nwidth = 32767\nheight = 1\n",
       "5:9", "'width' must be from 0 to 8192 pixels, not 32767: no screen shows more"},
      {"control beyond a screen", panel_with("id = 3\nname = \"P_N\"\nkind = \"command\"\ntop = 8193\n"), "20:7",
       "'top' must be from 0 to 8192 pixels, not 8193: no screen shows more"},
      {"group larger than a screen",
       panel_with(kNumeric, "[[panel.group]]\nname = \"G\"\ntop = 0\nleft = 0\nwidth = 1\nheight = 100000\n"),
       "13:10", "'height' must be from 0 to 8192 pixels, not 100000: no screen shows more"},
      {"min above max", panel_with(kNumeric + "min = 5\nmax = 4\n"), "26:7", "'max' 4 is below 'min' 5"},
      {"initial outside the range", panel_with(kNumeric + "min = 5\ninitial = 4\n"), "26:11", "'initial' 4 is below 'min' 5"},
      {"hex of a double", panel_with("id = 3\nname = \"P_N\"\nkind = \"numeric-display\"\ntype = \"double\"\n"
                                     "top = 0\nleft = 0\nwidth = 1\nheight = 1\nformat = \"hex\"\n"),
       "25:10", "hex needs an int"},
      {"unknown format", panel_with(kNumeric + "format = \"octal\"\n"), "25:10", "unknown format 'octal'"},
      {"zero interval", panel_with("id = 3\nname = \"P_N\"\nkind = \"timer\"\ninterval = 0\n"), "20:12",
       "'interval' must be from 0.001"},
      {"infinite interval", panel_with("id = 3\nname = \"P_N\"\nkind = \"timer\"\ninterval = inf\n"), "20:12",
       "finite"},
      {"timer without interval", panel_with("id = 3\nname = \"P_N\"\nkind = \"timer\"\n"), "16:1",
       "has no 'interval'"},
      {"unknown group", panel_with(kNumeric + "group = \"NOPE\"\n"), "25:9", "no group 'NOPE'"},
      {"status LED without bit", panel_with("id = 3\nname = \"P_N\"\nkind = \"indicator\"\ntype = \"int\"\n"
                                            "top = 0\nleft = 0\nwidth = 1\nheight = 1\naxis = 0\n"),
       "25:8", "both 'axis' and 'bit'"},
      {"bad name", panel_with("id = 3\nname = \"2ND\"\nkind = \"command\"\n"), "18:8", "'name' must be a name"},
      {"duplicate panel resource", two_panels, "8:12", "panel resource 1 is already used by panel 'A' at line 2"},
      {"panel written as a table", "[panel]\nresource = 1\n", "1:1", "must be an array of tables"},
      {"no panel", "version = 1\n", "1:1", "defines no panel"},
      {"empty file", "", "1:1", "defines no panel"},
      {"later version", "version = 2\n", "1:11", "version 1 only"},
      {"text outside ASCII outside a string", "version = 1\nx = \xC3\xA9\n", "2:5", "outside ASCII"},
      {"quote inside a broken value", "x = 100\"\xC3\xA9\"\n", "1:9", "outside ASCII"},
      {"header without a key", "[[~panel]]\n", "1:3", "must start with a key"},
      {"nesting too deep", "a" + std::string(100000, '.') + " = 1\n", "1:", "nested deeper than"},
      // What the file says is quoted with its control characters escaped.
      {"a name that reorders the line", panel_with("id = 3\nname = \"P\xE2\x80\xAEN\"\nkind = \"command\"\n"), "18:8",
       "not 'P\\u202eN'"},
      {"a kind with an escape sequence", panel_with("id = 3\nname = \"P_N\"\nkind = \"button\\u001b[2J\\u0007\"\n"),
       "19:8", "unknown kind 'button\\x1b[2J\\x07'"},
  };
}

TEST(PanelFileReader, RefusesMalformedFilesWithTheirPlace) {
  for (const Malformed& m : malformed_cases()) {
    SCOPED_TRACE(m.what);
    std::string error;
    EXPECT_FALSE(vx::rt::parse_panel_file(m.text, "bad.uir", error));
    EXPECT_EQ(error.rfind(std::string("bad.uir:") + m.where, 0), 0u) << error;
    EXPECT_NE(error.find(m.message), std::string::npos) << error;
    for (const unsigned char c : error) EXPECT_TRUE(c >= 0x20 && c != 0x7f) << error;
  }
  // The path too is the operator's.
  std::string error;
  EXPECT_FALSE(vx::rt::load_panel_file("/nonexistent/\x1b]0;x\x07.uir", error));
  EXPECT_EQ(error, "/nonexistent/\\x1b]0;x\\x07.uir: cannot open: No such file or directory");
}

// More controls or groups than the window draws: the first block over the bound is named.
TEST(PanelFileReader, RefusesMoreThanTheWindowDraws) {
  for (const vxtest::GeneratedPanel& g : vxtest::oversized_panels()) {
    SCOPED_TRACE(g.name);
    std::string error;
    EXPECT_FALSE(vx::rt::parse_panel_file(g.text, "bad.uir", error));
    EXPECT_EQ(error, "bad.uir:" + g.refusal);
  }
}

// What the reader and then the program's contract check say of a panel file's text:
// "accepted", or the first refusal as "LINE:COLUMN: message" (after "PATH:").
std::string outcome(const std::optional<vx::rt::PanelFile>& file, const std::string& error, const std::string& path) {
  auto located = [&](const std::string& message) {
    EXPECT_EQ(message.rfind(path + ":", 0), 0u) << message;
    return message.substr(std::min(message.size(), path.size() + 1));
  };
  if (!file) return located(error);
  for (const PanelSpec& p : file->panels)
    if (const auto violation = vx::rt::contract_violation(p, panelContracts[0], path)) return located(*violation);
  return "accepted";
}

// Each mutation of the shipped panel file is refused with its own message at its own
// place, by the reader or by the contract check as the case says (or accepted, when the
// case says so).
TEST(ShippedPanelMutations, EachIsRefusedWithItsMessage) {
  const std::string shipped = vxtest::read_file(kShipped);
  for (const vxtest::PanelMutation& m : vxtest::panel_mutations()) {
    SCOPED_TRACE(m.name);
    const std::string text = vxtest::mutated(shipped, m);
    std::string error;
    const auto file = vx::rt::parse_panel_file(text, "bad.uir", error);
    EXPECT_EQ(file.has_value(), m.by != vxtest::Refuser::Reader) << error;
    const auto refusal = vxtest::expected_refusal(text, m);
    EXPECT_EQ(outcome(file, error, "bad.uir"), refusal ? *refusal : "accepted");
  }
}

TEST(PanelFileReader, NamesAFileThatCannotBeOpened) {
  std::string error;
  EXPECT_FALSE(vx::rt::load_panel_file("/nonexistent/Varnix_ui.uir", error));
  EXPECT_EQ(error, "/nonexistent/Varnix_ui.uir: cannot open: No such file or directory");
}

// Only a regular file of bounded size is read: a directory, a FIFO (which would wait
// for a writer for ever) and a device (a link to /dev/zero would be read until memory
// runs out) are refused by what they are, before any byte is read.
TEST(PanelFileReader, ReadsOnlyARegularFileOfBoundedSize) {
  char tmpl[] = "/tmp/vxpanelXXXXXX";
  const std::string dir = mkdtemp(tmpl);
  ASSERT_EQ(mkfifo((dir + "/fifo.uir").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", dir + "/zero.uir");
  {
    std::ofstream big(dir + "/big.uir");
    big << std::string(vx::rt::kMaxFileBytes, '#') << "\n";
  }
  const struct {
    std::string path;
    const char* reason;
  } cases[] = {
      {dir, "cannot read: it is a directory; a panel file is a regular file"},
      {dir + "/fifo.uir", "cannot read: it is a FIFO; a panel file is a regular file"},
      {dir + "/zero.uir", "cannot read: it is a device; a panel file is a regular file"},
      {dir + "/big.uir", "cannot read: larger than 1024 KiB; a panel file needs far less"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(vx::rt::load_panel_file(c.path, error)) << c.path;
    EXPECT_EQ(error, c.path + ": " + c.reason);
  }
  std::filesystem::remove_all(dir);
}

// Every seed of the fuzz corpus, stored or derived, ends with the outcome it must have
// ("# expect: accepted" or "# expect: LINE:COLUMN: message") and gets exactly that from
// the reader and the contract check.
TEST(PanelFileReader, ReplaysTheFuzzCorpus) {
  int seeds = 0, accepted = 0, derived = 0;
  for (const char* dir : {VARNIX_SOURCE_DIR "/tests/fuzz/corpus/panel_file", VARNIX_PANEL_SEEDS}) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.path().extension() != ".uir") continue;
      const std::string path = entry.path().string();
      SCOPED_TRACE(path);
      const auto expected = vxtest::expectation_of(vxtest::read_file(path));
      ASSERT_TRUE(expected) << "the seed does not say what it expects";
      std::string error;
      const auto file = vx::rt::load_panel_file(path, error);
      EXPECT_NE(file.has_value(), !error.empty()) << error;
      EXPECT_EQ(outcome(file, error, path), *expected);
      ++seeds;
      accepted += *expected == "accepted";
      derived += dir == std::string(VARNIX_PANEL_SEEDS);
    }
  }
  // The shipped file, each of its mutations, each oversized panel.
  EXPECT_EQ(derived, static_cast<int>(1 + vxtest::panel_mutations().size() + vxtest::oversized_panels().size()));
  EXPECT_GT(accepted, 0);
  EXPECT_LT(accepted, seeds);
}

}  // namespace
