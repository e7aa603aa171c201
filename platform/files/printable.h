// Showing text that came from outside (a script line, a name in a panel file, a path)
// in a message: whatever it holds, the message must not act on the terminal or window
// that shows it. Control characters would (an escape sequence retitles a terminal or
// moves its cursor), and so would the characters that reorder or break a line of text
// (a right-to-left override shows "txt.exe" as "exe.txt"). printable() writes each of
// them as an escape and keeps every other character as it is:
//   - C0 controls and DEL as \xNN ("\x1b", "\x07", "\x0a");
//   - C1 controls (U+0080 to U+009F), the bidirectional marks, embeddings, overrides and
//     isolates (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069) and the line
//     and paragraph separators (U+2028, U+2029) as \uNNNN ("\u202e");
//   - a byte that is no part of well-formed UTF-8 as \xNN ("\xff").
// A backslash stays as it is: the messages are for people, who read "\x1b" as written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vx::files {

inline std::string printable(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  auto byte_escape = [&](unsigned char b) {
    out += "\\x";
    out += kHex[b >> 4];
    out += kHex[b & 15];
  };
  auto point_escape = [&](std::uint32_t cp) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 15];
  };
  auto shown_escaped = [](std::uint32_t cp) {
    return (cp >= 0x80 && cp <= 0x9f) || cp == 0x061c || cp == 0x200e || cp == 0x200f ||
           (cp >= 0x202a && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069) || cp == 0x2028 || cp == 0x2029;
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x20 || b == 0x7f) {
      byte_escape(b);
      i++;
      continue;
    }
    if (b < 0x80) {
      out += static_cast<char>(b);
      i++;
      continue;
    }
    // A multi-byte sequence: its length from the lead byte, then the continuation
    // bytes, the shortest form and the range of code points checked.
    const std::size_t n = b >= 0xc2 && b <= 0xdf ? 2 : b >= 0xe0 && b <= 0xef ? 3 : b >= 0xf0 && b <= 0xf4 ? 4 : 0;
    std::uint32_t cp = n == 2 ? b & 0x1f : n == 3 ? b & 0x0f : b & 0x07;
    bool ok = n != 0 && i + n <= text.size();
    for (std::size_t k = 1; ok && k < n; k++) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      ok = (c & 0xc0) == 0x80;
      cp = (cp << 6) | (c & 0x3f);
    }
    ok = ok && !(n == 3 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) && !(n == 4 && (cp < 0x10000 || cp > 0x10ffff));
    if (!ok) {
      byte_escape(b);
      i++;
      continue;
    }
    if (shown_escaped(cp)) point_escape(cp);
    else out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

}  // namespace vx::files
