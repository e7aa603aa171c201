// libFuzzer target for the panel-file reader and the program's contract check: any
// bytes must give either a panel model or one "PATH:LINE:COLUMN: ..." message, never a
// crash, a hang or undefined behaviour; a model it returns must keep the promises the
// run-time and the window rely on without checking again; and the contract check must
// pass it or name a place in it. Seeds: tests/fuzz/corpus/panel_file/.
#include "panel/app.h"
#include "platform/panelfile/panel_file.h"
#include "platform/runtime/runtime.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace {

void require(bool ok) {
  if (!ok) __builtin_trap();  // libFuzzer reports the input that broke a promise
}

void check_model(const vx::rt::PanelFile& file) {
  using vx::rt::DataType;
  using vx::rt::Kind;
  require(!file.panels.empty());
  std::set<int> resources;
  for (const vx::rt::PanelSpec& p : file.panels) {
    require(resources.insert(p.resource).second && p.resource > 0);
    require(p.width >= 0 && p.height >= 0);
    require(p.controls.size() <= vx::rt::kMaxControls && p.groups.size() <= vx::rt::kMaxGroups);
    std::set<std::string> groups;
    for (const vx::rt::GroupSpec& g : p.groups) require(groups.insert(g.name).second);
    std::set<int> ids;
    std::set<std::string> names;
    for (const vx::rt::ControlSpec& c : p.controls) {
      require(ids.insert(c.id).second && c.id > 0);
      require(names.insert(c.name).second && !c.name.empty());
      require(c.width >= 0 && c.height >= 0 && c.top >= 0 && c.left >= 0);
      const bool valued = c.kind != Kind::Command && c.kind != Kind::Timer;
      require(valued == (c.type != DataType::None));
      require(std::isfinite(c.initial));
      if (c.type == DataType::Int)
        require(c.initial == std::floor(c.initial) && c.initial >= std::numeric_limits<int>::min() &&
                c.initial <= std::numeric_limits<int>::max());
      if (c.min && c.max) require(*c.min <= *c.max);
      if (c.kind == Kind::Timer) require(std::isfinite(c.interval) && c.interval > 0);
      require((c.axis < 0) == (c.bit < 0));
      require(c.line > 0 && c.column > 0);
      require(c.group.empty() || groups.count(c.group));
      require(vx::rt::kind_name(c.kind)[0] != '?' && vx::rt::type_name(c.type)[0] != '?');
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const auto file = vx::rt::parse_panel_file(text, "fuzz.uir", error);
  if (file) {
    require(error.empty());
    check_model(*file);
    for (const vx::rt::PanelSpec& p : file->panels) {
      const auto broken = vx::rt::contract_violation(p, panelContracts[0], "fuzz.uir");
      require(!broken || (broken->rfind("fuzz.uir:", 0) == 0 && broken->size() > 9));
    }
  } else {
    require(error.rfind("fuzz.uir:", 0) == 0 && error.size() > 9);
  }
  return 0;
}
