// The replay of the session-script parser's fuzz corpus (tests/fuzz/corpus/script/):
// every seed goes through the fuzz target's own checks, so a promise the fuzzer holds
// the parser to is kept in every build, not only in the fuzz build.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/session/script.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

TEST(ScriptCorpus, EverySeedKeepsTheParsersPromises) {
  const std::filesystem::path dir = VARNIX_SOURCE_DIR "/tests/fuzz/corpus/script";
  int seeds = 0, scripts = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    const std::string text = s.str();
    SCOPED_TRACE(entry.path().filename().string());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    std::string error;
    const auto script = vx::session::parse_script(text, "seed", error);
    EXPECT_TRUE(script || error.rfind("seed:", 0) == 0) << error;
    scripts += script.has_value();
    seeds++;
  }
  // The corpus holds both kinds: scripts that parse and scripts the parser refuses.
  EXPECT_GE(seeds, 20);
  EXPECT_GT(scripts, 5);
  EXPECT_GT(seeds - scripts, 5);
}

}  // namespace
