// Text from outside shown in a message: control characters, the characters that reorder
// or break a line, and bytes that are no UTF-8 come out as escapes; everything else,
// other scripts included, as it is.
#include <gtest/gtest.h>

#include <string>

#include "platform/files/printable.h"

namespace {

TEST(Printable, EscapesWhatActsOnTheScreenAndKeepsTheRest) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"PANEL_QUIT 12.5 #", "PANEL_QUIT 12.5 #"},
      {"\x1b]0;pwned\x07", "\\x1b]0;pwned\\x07"},          // a terminal's title
      {"a\tb\nc\rd", "a\\x09b\\x0ac\\x0dd"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"del\x7f", "del\\x7f"},
      {"\xc2\x9b" "2J", "\\u009b2J"},                       // C1: the one-byte CSI
      {"\xc2\x80 \xc2\x9f \xc2\xa0", "\\u0080 \\u009f \xc2\xa0"},  // C1's ends; no-break space kept
      {"P\xe2\x80\xaeN", "P\\u202eN"},                     // right-to-left override
      {"\xe2\x80\xaa\xe2\x80\xac \xe2\x81\xa6\xe2\x81\xa9", "\\u202a\\u202c \\u2066\\u2069"},
      {"\xd8\x9c \xe2\x80\x8e \xe2\x80\x8f", "\\u061c \\u200e \\u200f"},  // the marks
      {"a\xe2\x80\xa8" "b\xe2\x80\xa9", "a\\u2028b\\u2029"},  // line and paragraph separators
      {"\xc3\xa9t\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80", "\xc3\xa9t\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80"},
      {"\xff\xfe", "\\xff\\xfe"},                            // no UTF-8 at all
      {"\xc3", "\\xc3"},                                      // cut short
      {"\xe2\x80", "\\xe2\\x80"},
      {"\xc0\xaf", "\\xc0\\xaf"},                             // overlong
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},                    // a surrogate
      {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},           // beyond U+10FFFF
      {"\xe2\x28\xa1", "\\xe2(\\xa1"},                        // a broken sequence resumes at once
      {"back\\slash", "back\\slash"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(vx::files::printable(c.in), c.out) << c.in;
    EXPECT_EQ(vx::files::printable(c.out), c.out) << "escaping twice changes nothing: " << c.out;
  }
}

}  // namespace
