// The outcome a fuzzing seed names for itself, in its last line: "# expect: accepted",
// or "# expect: " and the refusal without its file name ("LINE:COLUMN: message" for a
// panel file, "LINE: message" for a script). A comment in both languages, so a seed
// reads the same with it; the suite's corpus replays hold each seed to it.
#pragma once

#include <optional>
#include <string>

namespace vxtest {

inline const std::string kExpect = "# expect: ";

inline std::string expectation_line(const std::optional<std::string>& refusal) {
  return kExpect + (refusal ? *refusal : "accepted") + "\n";
}

// The outcome `text` names, or nothing when it names none.
inline std::optional<std::string> expectation_of(const std::string& text) {
  std::size_t at = text.rfind("\n" + kExpect);
  if (at != std::string::npos) at += 1;
  else if (text.rfind(kExpect, 0) == 0) at = 0;
  else return std::nullopt;
  const std::size_t from = at + kExpect.size();
  const std::size_t end = text.find('\n', from);
  return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

}  // namespace vxtest
