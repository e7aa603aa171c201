// The replay of the session-script parser's fuzz corpus (tests/fuzz/corpus/script/,
// and the example scripts in examples/, which seed the fuzzer as they are): every seed
// goes through the fuzz target's own checks, so a promise the fuzzer holds the parser
// to is kept in every build, not only in the fuzz build; and every seed gets the
// outcome it names in its last line (tests/seed_expectation.h). A seed named error_*
// must name its refusal; one that names nothing must parse.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>

#include "platform/session/script.h"
#include "tests/seed_expectation.h"
#include "tests/session_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

TEST(ScriptCorpus, EverySeedKeepsTheParsersPromisesAndGetsItsOutcome) {
  int seeds = 0, scripts = 0;
  for (const char* dir : {VARNIX_SOURCE_DIR "/tests/fuzz/corpus/script", VARNIX_SOURCE_DIR "/examples"}) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.path().extension() != ".vxs") continue;
      const std::string name = entry.path().filename().string();
      const std::string text = vxtest::read_file(entry.path().string());
      SCOPED_TRACE(name);
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
      std::string error;
      const auto script = vx::session::parse_script(text, "seed", error);
      const auto expected = vxtest::expectation_of(text);
      if (name.rfind("error_", 0) == 0) {
        EXPECT_TRUE(expected) << "an error_ seed names the refusal it expects";
      }
      if (script) {
        EXPECT_EQ(expected.value_or("accepted"), "accepted");
      } else {
        ASSERT_EQ(error.rfind("seed:", 0), 0u) << error;
        EXPECT_EQ(expected.value_or("accepted"), error.substr(5));
      }
      scripts += script.has_value();
      seeds++;
    }
  }
  // The corpus holds both kinds: scripts that parse and scripts the parser refuses.
  EXPECT_GE(seeds, 20);
  EXPECT_GT(scripts, 5);
  EXPECT_GT(seeds - scripts, 5);
}

}  // namespace
