// Writes the panel-file fuzzing seeds that are derived rather than stored: the shipped
// panel file, every mutation of it (tests/panel_cases.cpp) and the panels too large to store,
// each closed by the line of the outcome it must have, which the suite's corpus replay
// holds it to. The build runs it into the build tree whenever the shipped file or the
// cases change.
//
//   panel_seeds SHIPPED_PANEL_FILE OUTPUT_DIRECTORY
//
// The directory's .uir files are replaced, so that a renamed case leaves no stale seed.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tests/panel_cases.h"
#include "tests/seed_expectation.h"

namespace fs = std::filesystem;

namespace {

void write(const fs::path& dir, const std::string& name, const std::string& text,
           const std::optional<std::string>& refusal) {
  const fs::path path = dir / (name + ".uir");
  std::ofstream out(path, std::ios::binary);
  out << text << (text.empty() || text.back() == '\n' ? "" : "\n") << vxtest::expectation_line(refusal);
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: panel_seeds SHIPPED_PANEL_FILE OUTPUT_DIRECTORY\n");
    return 2;
  }
  try {
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) throw std::runtime_error(std::string("cannot read ") + argv[1]);
    std::stringstream shipped;
    shipped << in.rdbuf();
    const fs::path dir = argv[2];
    fs::create_directories(dir);
    for (const auto& entry : fs::directory_iterator(dir))
      if (entry.path().extension() == ".uir") fs::remove(entry.path());

    write(dir, "shipped", shipped.str(), std::nullopt);
    for (const vxtest::PanelMutation& m : vxtest::panel_mutations()) {
      const std::string text = vxtest::mutated(shipped.str(), m);
      write(dir, std::string("shipped_") + m.name, text, vxtest::expected_refusal(text, m));
    }
    for (const vxtest::GeneratedPanel& g : vxtest::oversized_panels()) write(dir, g.name, g.text, g.refusal);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "panel_seeds: %s\n", e.what());
    return 1;
  }
  return 0;
}
