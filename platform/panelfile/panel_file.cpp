// The panel-file reader: turns the TOML text of a panel file into the panel model of
// panel_file.h, or into one message "PATH:LINE:COLUMN: what is wrong". It owns every
// rule a panel file must follow (docs/panel-file.md): which keys exist, which are
// required, which value each takes, which apply to which kind of control, and the
// cross-checks within a panel (unique ids and names, groups that exist). Whatever it
// returns is safe for the run-time and the window to use without checking again.
#include "platform/panelfile/panel_file.h"

// toml++ 3.3 checks some of its parser's expectations with assertions that malformed
// text can break; the code after them reports the error, as the shared library (built
// without assertions) does. But in release builds the header turns them into compiler
// assumptions, where a broken one is undefined behaviour. Included as below, they are
// neither, in every build; the fuzz target checks that what follows them is sound.
#ifdef NDEBUG
#define VARNIX_RESTORE_NDEBUG
#undef NDEBUG
#endif
#ifndef TOML_ASSERT
#define TOML_ASSERT(expr) static_assert(true)
#endif
#include <toml++/toml.h>
#ifdef VARNIX_RESTORE_NDEBUG
#define NDEBUG
#undef VARNIX_RESTORE_NDEBUG
#endif

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "platform/files/files.h"
#include "platform/files/printable.h"

namespace vx::rt {

const char* kind_name(Kind k) {
  switch (k) {
    case Kind::Command: return "command";
    case Kind::Indicator: return "indicator";
    case Kind::NumericInput: return "numeric-input";
    case Kind::NumericDisplay: return "numeric-display";
    case Kind::Toggle: return "toggle";
    case Kind::Timer: return "timer";
  }
  return "?";
}

const char* type_name(DataType t) {
  switch (t) {
    case DataType::None: return "none";
    case DataType::Int: return "int";
    case DataType::Double: return "double";
  }
  return "?";
}

const ControlSpec* find_control(const PanelSpec& panel, int id) {
  for (const ControlSpec& c : panel.controls)
    if (c.id == id) return &c;
  return nullptr;
}

std::string number_text(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];  // the plain form is used below 1e15 and from 1e-4 only: at most 17 digits and "-0.000"
  const double a = std::fabs(v);
  const bool plain = a == 0 || (a >= 1e-4 && a < 1e15);
  const auto r = std::to_chars(buf, buf + sizeof buf, v, plain ? std::chars_format::fixed : std::chars_format::general);
  return std::string(buf, r.ptr);
}

namespace {

// Ids stay far from int overflow; 32767 is more than any panel needs.
constexpr int kMaxId = 32767;
constexpr int kMaxPrecision = 15;
// A tick faster than a millisecond would only flood the event queue; one slower than
// a day is a typo. Both bounds keep the run-time's time arithmetic far from overflow.
constexpr double kMinInterval = 0.001;
constexpr double kMaxInterval = 86400.0;
// A panel file needs three levels of tables; see the pre-scan for why there is a bound.
constexpr int kMaxNesting = 64;

struct Position {
  std::uint32_t line = 1, column = 1;
};

// Thrown inside the reader only; parse_panel_file turns it into the error text.
struct Failure {
  Position at;
  std::string what;
};

[[noreturn]] void fail(Position at, std::string what) { throw Failure{at, std::move(what)}; }

Position position_of(const toml::source_region& region, Position fallback) {
  if (region.begin.line == 0) return fallback;  // a table toml++ made implicitly
  return {region.begin.line, region.begin.column};
}

// ---- the pre-scan ----------------------------------------------------------------------
//
// One linear pass over the text before toml++ parses it, refusing what toml++ 3.3 does
// not survive safely (its fuzzing found each):
// - Nesting. toml++ walks and frees nested tables recursively, so text nested thousands
//   deep (a few kilobytes of dotted keys do it) would exhaust the stack. The scan bounds
//   the depth from above: a [header] is absolute, so its dotted path sets the depth of
//   its section; every dot of a dotted key and every open { or [ adds one level.
// - Characters outside ASCII wherever toml++ tests them for being blanks: outside
//   strings and comments, and after a backslash in a multi-line string. Its test
//   reaches an "unreachable" branch for many of them, which is undefined behaviour.
//   (TOML allows them nowhere else anyway.)
// - A [header] that does not start with a key, which toml++ asserts against.
// To agree with toml++ on where strings are, the scan reads text the way toml++ does:
// a string starts only where a key or a value does, and a value that starts with
// anything else (a number, a date, true, or garbage) runs to the next blank, bracket,
// comma or '#', quotes included, as toml++ scans it. Where the scan is unsure, it errs
// on the strict side, which only ever refuses text that toml++ refuses too.
class Prescan {
 public:
  explicit Prescan(std::string_view text) : s_(text) {}

  void check() {
    if (s_.substr(0, 3) == "\xEF\xBB\xBF") i_ = 3;  // a byte-order mark, which toml++ skips
    while (i_ < s_.size()) {
      switch (state_) {
        case State::Normal: normal(); break;
        case State::Bare: bare(); break;
        case State::Comment: comment(); break;
        case State::Basic: basic(); break;
        case State::Literal: literal(); break;
        case State::MultiBasic: multi(true); break;
        case State::MultiLiteral: multi(false); break;
      }
    }
  }

 private:
  enum class State { Normal, Bare, Comment, Basic, Literal, MultiBasic, MultiLiteral };
  enum class HeaderKey { No, AfterFirstBracket, Expected };
  struct Open {
    int depth;
    bool array;
  };

  static bool ascii(char c) { return static_cast<unsigned char>(c) < 0x80; }
  static bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
  static bool blank_or_newline(char c) { return blank(c) || c == '\n'; }
  static bool digit(char c) { return c >= '0' && c <= '9'; }
  static bool bare_key_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || digit(c) || c == '_' || c == '-';
  }
  static bool ends_bare_value(char c) {
    return blank_or_newline(c) || c == ']' || c == '}' || c == ',' || c == '#';
  }

  void advance() {
    const auto c = static_cast<unsigned char>(s_[i_++]);
    if (c == '\n') {
      ++pos_.line;
      pos_.column = 1;
    } else if ((c & 0xC0) != 0x80) {  // columns count characters, as toml++'s do
      ++pos_.column;
    }
  }

  std::size_t quote_run(char q) const {
    std::size_t n = 0;
    while (i_ + n < s_.size() && s_[i_ + n] == q) ++n;
    return n;
  }

  void deeper_than_allowed(int depth) const {
    if (depth > kMaxNesting)
      fail(pos_, "tables or arrays nested deeper than " + std::to_string(kMaxNesting) +
                     " levels; a panel file needs three");
  }

  int base() const { return section_ + (open_.empty() ? 0 : open_.back().depth); }
  bool in_array() const { return !open_.empty() && open_.back().array; }

  void normal() {
    const char c = s_[i_];
    if (!ascii(c)) fail(pos_, "characters outside ASCII belong in strings and comments only");
    if (header_key_ != HeaderKey::No) {
      const bool second_bracket = c == '[' && header_key_ == HeaderKey::AfterFirstBracket;
      if (!second_bracket && !blank(c) && !bare_key_char(c) && c != '"' && c != '\'' && c != ']')
        fail(pos_, "a [table] header must start with a key");
      header_key_ = second_bracket || blank(c) ? HeaderKey::Expected : HeaderKey::No;
      if (second_bracket || blank(c)) {
        advance();
        return;
      }
    }
    if (value_next_ && !blank_or_newline(c) && c != '#') {
      value_next_ = false;
      if (c != '"' && c != '\'' && c != '[' && c != '{') {
        state_ = State::Bare;
        bare_length_ = 0;
        return;
      }
    }
    switch (c) {
      case '\n':
        chain_ = key_chain_ = 0;
        header_ = false;
        header_key_ = HeaderKey::No;
        if (open_.empty()) after_equals_ = false;
        break;
      case '#': state_ = State::Comment; break;
      case '"':
      case '\'': {
        if (!string_may_start_) fail(pos_, "a string must start a key or a value");
        const std::size_t run = quote_run(c);
        if (run >= 3) {
          for (int k = 0; k < 3; ++k) advance();
          state_ = c == '"' ? State::MultiBasic : State::MultiLiteral;
        } else if (run == 2) {  // an empty string
          advance();
          advance();
        } else {
          advance();
          state_ = c == '"' ? State::Basic : State::Literal;
        }
        string_may_start_ = false;
        return;
      }
      case '.':
        ++chain_;
        deeper_than_allowed(base() + chain_);
        break;
      case '=':
        key_chain_ = chain_;
        chain_ = 0;
        value_next_ = true;
        if (open_.empty()) after_equals_ = true;
        break;
      case '[':
        if (open_.empty() && !after_equals_) {
          section_ = 0;  // a header's path starts from the root
          header_ = true;
          header_key_ = HeaderKey::AfterFirstBracket;
          chain_ = 0;
          break;
        }
        [[fallthrough]];
      case '{':
        open_.push_back({(open_.empty() ? 0 : open_.back().depth) + key_chain_ + 1, c == '['});
        deeper_than_allowed(base());
        chain_ = key_chain_ = 0;
        value_next_ = c == '[';
        break;
      case ']':
        if (header_) {
          header_ = false;
          section_ = chain_ + 1;
          chain_ = 0;
          break;
        }
        [[fallthrough]];
      case '}':
        if (!open_.empty()) open_.pop_back();
        chain_ = key_chain_ = 0;
        break;
      case ',':
        chain_ = key_chain_ = 0;
        value_next_ = in_array();
        break;
      default: break;  // part of a key, or a blank
    }
    // Where toml++ could start a string: a key (after a line break, '{', ',' or a dot
    // of a dotted key), a value (after '=', '[' or ','), or a header's key.
    if (!blank(c)) string_may_start_ = c == '\n' || c == '=' || c == '[' || c == '{' || c == ',' || c == '.';
    advance();
  }

  // A value that is no string, array or table, read as toml++'s value scan reads it: to
  // the next blank, bracket, comma or '#', and across the one blank of "DATE TIME".
  void bare() {
    const char c = s_[i_];
    const bool date_time_blank = c == ' ' && bare_length_ == 10 && i_ + 1 < s_.size() && digit(s_[i_ + 1]);
    if (ends_bare_value(c) && !date_time_blank) {
      state_ = State::Normal;
      string_may_start_ = false;
      return;
    }
    if (!ascii(c)) fail(pos_, "characters outside ASCII belong in strings and comments only");
    if (c != '_') ++bare_length_;
    advance();
  }

  void comment() {
    if (s_[i_] == '\n') {
      state_ = State::Normal;  // the line break itself is handled there
      return;
    }
    advance();
  }

  void basic() {
    const char c = s_[i_];
    advance();
    if (c == '\\' && i_ < s_.size() && s_[i_] != '\n') advance();
    else if (c == '"' || c == '\n') state_ = State::Normal;
  }

  void literal() {
    const char c = s_[i_];
    advance();
    if (c == '\'' || c == '\n') state_ = State::Normal;
  }

  // Inside """ or ''': a run of three or more quotes closes the string (up to two of
  // them may belong to its text), fewer are text.
  void multi(bool escapes) {
    if (const std::size_t run = quote_run(escapes ? '"' : '\''); run > 0) {
      for (std::size_t k = 0; k < run; ++k) advance();
      if (run >= 3) state_ = State::Normal;
      return;
    }
    const char c = s_[i_];
    advance();
    if (!escapes || c != '\\' || i_ >= s_.size()) return;
    if (!blank_or_newline(s_[i_])) {  // an escape such as \n
      if (!ascii(s_[i_])) fail(pos_, "unknown escape; write a character outside ASCII as itself or as \\uXXXX");
      advance();
      return;
    }
    // A line-ending backslash, which swallows the blanks and line breaks after it.
    while (i_ < s_.size() && blank_or_newline(s_[i_])) advance();
    if (i_ < s_.size() && !ascii(s_[i_]))
      fail(pos_, "after a line-ending backslash, write a character outside ASCII as \\uXXXX");
  }

  std::string_view s_;
  std::size_t i_ = 0;
  Position pos_;
  State state_ = State::Normal;
  int section_ = 0;    // depth of the current [header]'s table
  int chain_ = 0;      // dots in the key being read
  int key_chain_ = 0;  // dots in the key whose value is being read
  int bare_length_ = 0;
  bool header_ = false;
  HeaderKey header_key_ = HeaderKey::No;
  bool after_equals_ = false;       // on this line, outside brackets: a value, so '[' opens an array
  bool value_next_ = false;         // the next character that is not a blank starts a value
  bool string_may_start_ = true;
  std::vector<Open> open_;          // each open { or [: the depth inside it
};

// ---- values ---------------------------------------------------------------------------

std::string describe(const toml::node& n) {
  switch (n.type()) {
    case toml::node_type::table: return "a table";
    case toml::node_type::array: return "an array";
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a floating-point number";
    case toml::node_type::boolean: return "a boolean";
    case toml::node_type::date: return "a date";
    case toml::node_type::time: return "a time";
    case toml::node_type::date_time: return "a date-time";
    default: return "nothing";
  }
}

// What the file says, quoted for a message: cut short (at a character boundary) so that
// a runaway value does not make a runaway message. Its control characters are escaped
// with the rest of the message (the reader's entry points).
std::string quoted(std::string_view s) {
  constexpr std::size_t kShown = 60;
  std::size_t n = std::min(s.size(), kShown);
  while (n < s.size() && n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  std::string out = "'";
  out += s.substr(0, n);
  out += n < s.size() ? "...'" : "'";
  return out;
}

bool is_identifier(std::string_view s) {
  if (s.empty()) return false;
  auto alpha = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (!alpha(s[0])) return false;
  return std::all_of(s.begin() + 1, s.end(), [&](char c) { return alpha(c) || digit(c); });
}

// Edit distance for "did you mean": keys are short, so the quadratic table is tiny.
std::size_t distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// One table of the file (the file itself, a panel, a group or a control), with the
// typed accessors that fail with a message naming the key and the table.
class Table {
 public:
  Table(const toml::table& t, std::string what, Position fallback)
      : t_(t), what_(std::move(what)), at_(position_of(t.source(), fallback)) {}

  Position at() const { return at_; }

  // Every key must be one of `known`; the first unknown one in the file is reported,
  // with the nearest known key when it looks like a typo.
  void only(std::initializer_list<std::string_view> known) const {
    const toml::key* first = nullptr;
    Position first_at{};
    for (auto&& [k, v] : t_) {
      if (std::find(known.begin(), known.end(), k.str()) != known.end()) continue;
      const Position p = position_of(k.source(), at_);
      if (!first || std::pair(p.line, p.column) < std::pair(first_at.line, first_at.column)) {
        first = &k;
        first_at = p;
      }
    }
    if (!first) return;
    std::string msg = "unknown key " + quoted(first->str()) + " in " + what_;
    if (first->str().size() <= 32) {
      for (std::string_view k : known)
        if (const std::size_t d = distance(first->str(), k); d <= 2 && 2 * d <= first->str().size()) {
          msg += "; did you mean '" + std::string(k) + "'?";
          break;
        }
    }
    fail(first_at, msg);
  }

  const toml::node* find(std::string_view key) const { return t_.get(key); }

  Position at(std::string_view key) const {
    const toml::node* n = find(key);
    return n ? position_of(n->source(), at_) : at_;
  }

  const toml::node& need(std::string_view key) const {
    const toml::node* n = find(key);
    if (!n) fail(at_, what_ + " has no '" + std::string(key) + "'");
    return *n;
  }

  [[noreturn]] void wrong(std::string_view key, const toml::node& n, std::string_view wanted) const {
    fail(position_of(n.source(), at_),
         "'" + std::string(key) + "' must be " + std::string(wanted) + ", not " + describe(n));
  }

  // An integer from lo to hi; `unit` follows the bounds in a message, `above` explains
  // the upper one to a value over it.
  std::int64_t integer(std::string_view key, const toml::node& n, std::int64_t lo, std::int64_t hi,
                       std::string_view unit = "", std::string_view above = "") const {
    const auto* v = n.as_integer();
    if (!v) wrong(key, n, "an integer");
    const std::int64_t x = v->get();
    if (x < lo || x > hi)
      fail(position_of(n.source(), at_), "'" + std::string(key) + "' must be from " + std::to_string(lo) +
                                             " to " + std::to_string(hi) + std::string(unit) + ", not " +
                                             std::to_string(x) + std::string(x > hi ? above : ""));
    return x;
  }
  int integer(std::string_view key, int lo, int hi) const {
    return static_cast<int>(integer(key, need(key), lo, hi));
  }

  // A position or size in pixels, from 0 to what a screen shows; `otherwise` when the
  // key is absent, if given.
  int pixels(std::string_view key, std::optional<int> otherwise = std::nullopt) const {
    const toml::node* n = otherwise ? find(key) : &need(key);
    if (!n) return *otherwise;
    return static_cast<int>(integer(key, *n, 0, kMaxPixels, " pixels", ": no screen shows more"));
  }

  double number(std::string_view key, const toml::node& n) const {
    double x = 0;
    if (const auto* i = n.as_integer()) x = static_cast<double>(i->get());
    else if (const auto* f = n.as_floating_point()) x = f->get();
    else wrong(key, n, "a number");
    if (!std::isfinite(x))
      fail(position_of(n.source(), at_), "'" + std::string(key) + "' must be a finite number, not " + number_text(x));
    return x;
  }

  // A number that an int control can hold.
  double whole(std::string_view key, const toml::node& n) const {
    const double x = number(key, n);
    if (x != std::floor(x) || x < std::numeric_limits<int>::min() || x > std::numeric_limits<int>::max())
      fail(position_of(n.source(), at_), "'" + std::string(key) + "' of an int control must be a whole number that fits an int, not " +
                                             number_text(x));
    return x;
  }

  std::string string(std::string_view key, const toml::node& n) const {
    const auto* v = n.as_string();
    if (!v) wrong(key, n, "a string");
    return v->get();
  }
  std::string string(std::string_view key) const { return string(key, need(key)); }
  std::string string_or(std::string_view key) const {
    const toml::node* n = find(key);
    return n ? string(key, *n) : std::string();
  }

  std::string identifier(std::string_view key, const toml::node& n) const {
    std::string s = string(key, n);
    if (!is_identifier(s))
      fail(position_of(n.source(), at_), "'" + std::string(key) + "' must be a name of letters, digits and '_' " +
                                             "that does not start with a digit, not " + quoted(s));
    return s;
  }
  std::string identifier(std::string_view key) const { return identifier(key, need(key)); }

  bool boolean_or(std::string_view key, bool otherwise) const {
    const toml::node* n = find(key);
    if (!n) return otherwise;
    const auto* v = n->as_boolean();
    if (!v) wrong(key, *n, "true or false");
    return v->get();
  }

  // The tables of an array-of-tables key, e.g. [[panel.control]].
  std::vector<const toml::table*> tables(std::string_view key, std::string_view header) const {
    std::vector<const toml::table*> out;
    const toml::node* n = find(key);
    if (!n) return out;
    const auto* arr = n->as_array();
    if (!arr)
      fail(position_of(n->source(), at_), "'" + std::string(key) + "' must be an array of tables, written as [[" +
                                              std::string(header) + "]] blocks, not " + describe(*n));
    out.reserve(arr->size());
    for (const toml::node& e : *arr) {
      const auto* t = e.as_table();
      if (!t)
        fail(position_of(e.source(), at_), "each entry of '" + std::string(key) + "' must be a table, not " + describe(e));
      out.push_back(t);
    }
    return out;
  }

 private:
  const toml::table& t_;
  std::string what_;
  Position at_;
};

// ---- panels, groups, controls ---------------------------------------------------------

std::optional<Kind> kind_from(std::string_view s) {
  for (Kind k : {Kind::Command, Kind::Indicator, Kind::NumericInput, Kind::NumericDisplay, Kind::Toggle, Kind::Timer})
    if (s == kind_name(k)) return k;
  return std::nullopt;
}

bool has_value(Kind k) { return k != Kind::Command && k != Kind::Timer; }
bool is_numeric(Kind k) { return k == Kind::NumericInput || k == Kind::NumericDisplay; }

// Where a key applies; the reader refuses a key that the control's kind has no use for,
// since it would be silently ignored otherwise.
bool applies(std::string_view key, Kind k) {
  if (key == "type" || key == "initial") return has_value(k);
  if (key == "format" || key == "precision") return is_numeric(k);
  if (key == "min" || key == "max") return k == Kind::NumericInput;
  if (key == "axis" || key == "bit") return k == Kind::Indicator;
  if (key == "interval" || key == "enabled") return k == Kind::Timer;
  return true;
}

// First definitions of names and numbers within one scope, to report a repeat with the
// place and the owner of the original.
template <typename Key>
class Registry {
 public:
  explicit Registry(std::string what) : what_(std::move(what)) {}
  void add(const Key& key, std::string_view shown, Position at, std::string_view owner) {
    auto [it, fresh] = seen_.try_emplace(key, First{at, std::string(owner)});
    if (!fresh)
      fail(at, what_ + " " + std::string(shown) + " is already used by " + it->second.owner + " at line " +
                   std::to_string(it->second.at.line));
  }
  bool contains(const Key& key) const { return seen_.count(key) != 0; }

 private:
  struct First {
    Position at;
    std::string owner;
  };
  std::string what_;
  std::unordered_map<Key, First> seen_;
};

// What messages call a table before its fields are read: by its name when it has one.
std::string called(std::string_view what, const toml::table& t) {
  if (const auto* name = t.get_as<std::string>("name")) return std::string(what) + " " + quoted(name->get());
  return std::string(what);
}

// Groups are drawn and need all four; a control may leave them out (0), since a panel
// that is only run headless, as in tests, has no use for them.
void read_geometry(const Table& t, int& top, int& left, int& width, int& height, bool required) {
  auto get = [&](std::string_view key) { return required ? t.pixels(key) : t.pixels(key, 0); };
  top = get("top");
  left = get("left");
  width = get("width");
  height = get("height");
}

GroupSpec read_group(const toml::table& raw, Position fallback) {
  Table t(raw, called("group", raw), fallback);
  t.only({"name", "label", "top", "left", "width", "height"});
  GroupSpec g;
  g.name = t.identifier("name");
  g.label = t.string_or("label");
  read_geometry(t, g.top, g.left, g.width, g.height, true);
  return g;
}

// A control's kind, and the value type of one that holds a value.
void read_kind(Table& t, ControlSpec& c) {
  const std::string kind = t.string("kind");
  const auto k = kind_from(kind);
  if (!k)
    fail(t.at("kind"), "unknown kind " + quoted(kind) +
                             "; a control is a command, indicator, numeric-input, numeric-display, toggle or timer");
  c.kind = *k;
  for (std::string_view key : {"type", "initial", "format", "precision", "min", "max", "axis", "bit", "interval",
                               "enabled"}) {
    if (t.find(key) && !applies(key, c.kind))
      fail(t.at(key), "'" + std::string(key) + "' does not apply to a " + kind_name(c.kind) + " control");
  }
  if (!has_value(c.kind)) return;
  const toml::node& n = t.need("type");
  const std::string type = t.string("type", n);
  if (type == "int") c.type = DataType::Int;
  else if (type == "double") c.type = DataType::Double;
  else fail(t.at("type"), "unknown type " + quoted(type) + "; a control's value is int or double");
  const bool on_off = c.kind == Kind::Indicator || c.kind == Kind::Toggle;
  if (on_off && c.type != DataType::Int)
    fail(t.at("type"), std::string(kind_name(c.kind)) + " controls carry int 0 or 1, not " + type);
}

void read_format(Table& t, ControlSpec& c) {
  if (const toml::node* n = t.find("format")) {
    const std::string f = t.string("format", *n);
    if (f == "decimal") c.format = Format::Decimal;
    else if (f == "hex") c.format = Format::Hex;
    else if (f == "fixed") c.format = Format::Fixed;
    else fail(t.at("format"), "unknown format " + quoted(f) + "; use decimal, hex or fixed");
    if (c.format == Format::Hex && c.type != DataType::Int)
      fail(t.at("format"), "format hex needs an int control");
    if (c.format == Format::Fixed && c.type != DataType::Double)
      fail(t.at("format"), "format fixed needs a double control");
  }
  if (const toml::node* n = t.find("precision")) {
    if (c.format != Format::Fixed) fail(t.at("precision"), "'precision' needs format = \"fixed\"");
    c.precision = static_cast<int>(t.integer("precision", *n, 0, kMaxPrecision));
  }
}

// The bounds and the initial value: each a value the control can hold, in order.
void read_values(Table& t, ControlSpec& c) {
  auto value = [&](std::string_view key, const toml::node& n) {
    return c.type == DataType::Int ? t.whole(key, n) : t.number(key, n);
  };
  if (const toml::node* n = t.find("min")) c.min = value("min", *n);
  if (const toml::node* n = t.find("max")) c.max = value("max", *n);
  if (c.min && c.max && *c.min > *c.max)
    fail(t.at("max"), "'max' " + number_text(*c.max) + " is below 'min' " + number_text(*c.min));
  if (const toml::node* n = t.find("initial")) {
    c.initial = value("initial", *n);
    if ((c.kind == Kind::Indicator || c.kind == Kind::Toggle) && c.initial != 0 && c.initial != 1)
      fail(t.at("initial"), std::string(kind_name(c.kind)) + " controls start at 0 (off) or 1 (on), not " +
                                number_text(c.initial));
  }
  if (c.min && c.initial < *c.min)
    fail(t.at("initial"), "'initial' " + number_text(c.initial) + " is below 'min' " + number_text(*c.min));
  if (c.max && c.initial > *c.max)
    fail(t.at("initial"), "'initial' " + number_text(c.initial) + " is above 'max' " + number_text(*c.max));
}

// A status LED's axis and bit; a timer's interval.
void read_led_and_timer(Table& t, ControlSpec& c) {
  const bool has_axis = t.find("axis"), has_bit = t.find("bit");
  if (has_axis != has_bit)
    fail(has_axis ? t.at("axis") : t.at("bit"), "a status LED needs both 'axis' and 'bit'");
  if (has_axis) {
    c.axis = t.integer("axis", 0, 2);
    c.bit = t.integer("bit", 0, 31);
  }
  if (c.kind == Kind::Timer) {
    const toml::node& n = t.need("interval");
    c.interval = t.number("interval", n);
    if (c.interval < kMinInterval || c.interval > kMaxInterval)
      fail(t.at("interval"), "'interval' must be from 0.001 to 86400 seconds, not " + number_text(c.interval));
    c.enabled = t.boolean_or("enabled", true);
  }
}

ControlSpec read_control(const toml::table& raw, Position fallback, const Registry<std::string>& groups,
                         const std::string& panel) {
  Table t(raw, called("control", raw), fallback);
  t.only({"id", "name", "kind", "type", "label", "tooltip", "top", "left", "width", "height", "initial", "format",
          "precision", "min", "max", "axis", "bit", "interval", "enabled", "callback", "group"});
  ControlSpec c;
  c.line = static_cast<int>(t.at().line);
  c.column = static_cast<int>(t.at().column);
  c.name = t.identifier("name");
  c.id = t.integer("id", 1, kMaxId);
  read_kind(t, c);
  c.label = t.string_or("label");
  c.tooltip = t.string_or("tooltip");
  read_geometry(t, c.top, c.left, c.width, c.height, false);
  read_format(t, c);
  read_values(t, c);
  read_led_and_timer(t, c);
  if (const toml::node* n = t.find("callback")) c.callback = t.identifier("callback", *n);
  if (const toml::node* n = t.find("group")) {
    c.group = t.string("group", *n);
    if (!groups.contains(c.group)) fail(t.at("group"), "panel " + quoted(panel) + " has no group " + quoted(c.group));
  }
  return c;
}

PanelSpec read_panel(const toml::table& raw, Position fallback) {
  Table t(raw, called("panel", raw), fallback);
  t.only({"resource", "name", "title", "width", "height", "group", "control"});
  PanelSpec p;
  p.line = static_cast<int>(t.at().line);
  p.column = static_cast<int>(t.at().column);
  p.name = t.identifier("name");
  p.resource = t.integer("resource", 1, kMaxId);
  p.title = t.string("title");
  p.width = t.pixels("width");
  p.height = t.pixels("height");

  // Counted before any is read, so that a runaway file is refused at once.
  auto bounded = [&](const std::vector<const toml::table*>& blocks, int most, const char* what) {
    if (static_cast<long>(blocks.size()) > most)
      fail(position_of(blocks[static_cast<std::size_t>(most)]->source(), t.at()),
           "panel " + quoted(p.name) + " has " + std::to_string(blocks.size()) + " " + what + "; the window draws at most " +
               std::to_string(most));
  };
  const auto group_blocks = t.tables("group", "panel.group");
  bounded(group_blocks, kMaxGroups, "groups");
  Registry<std::string> group_names("group name");
  for (const toml::table* g : group_blocks) {
    p.groups.push_back(read_group(*g, t.at()));
    const GroupSpec& added = p.groups.back();
    group_names.add(added.name, quoted(added.name), Table(*g, "", t.at()).at("name"), "the group");
  }

  Registry<int> ids("control id");
  Registry<std::string> names("control name");
  const auto controls = t.tables("control", "panel.control");
  bounded(controls, kMaxControls, "controls");
  p.controls.reserve(controls.size());
  for (const toml::table* raw_control : controls) {
    ControlSpec c = read_control(*raw_control, t.at(), group_names, p.name);
    const Table ct(*raw_control, "", t.at());
    ids.add(c.id, std::to_string(c.id), ct.at("id"), c.name);
    names.add(c.name, quoted(c.name), ct.at("name"), "control " + std::to_string(c.id));
    p.controls.push_back(std::move(c));
  }
  return p;
}

PanelFile read_file(const toml::table& root, const std::string& path) {
  Table t(root, "the panel file", Position{});
  t.only({"version", "panel"});
  if (const toml::node* v = t.find("version")) {
    const auto* i = v->as_integer();
    if (!i || i->get() != 1) fail(t.at("version"), "this reader knows panel-file version 1 only");
  }

  PanelFile file;
  file.path = path;
  const auto panels = t.tables("panel", "panel");
  if (panels.empty()) fail(t.at("panel"), "the file defines no panel; add a [[panel]] block");
  Registry<int> resources("panel resource");
  Registry<std::string> names("panel name");
  for (const toml::table* raw : panels) {
    PanelSpec p = read_panel(*raw, t.at());
    const Table pt(*raw, "", t.at());
    resources.add(p.resource, std::to_string(p.resource), pt.at("resource"), "panel " + quoted(p.name));
    names.add(p.name, quoted(p.name), pt.at("name"), "resource " + std::to_string(p.resource));
    file.panels.push_back(std::move(p));
  }
  return file;
}

std::string located(const std::string& path, Position at, std::string_view what) {
  return path + ":" + std::to_string(at.line) + ":" + std::to_string(at.column) + ": " + std::string(what);
}

std::optional<PanelFile> parse_text(std::string_view text, const std::string& path, std::string& error) {
  error.clear();
  try {
    Prescan(text).check();
#if TOML_EXCEPTIONS
    toml::table root;
    try {
      root = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
      error = located(path, {e.source().begin.line, e.source().begin.column}, e.description());
      return std::nullopt;
    }
#else
    toml::parse_result parsed = toml::parse(text, path);
    if (!parsed) {
      const auto& e = parsed.error();
      error = located(path, {e.source().begin.line, e.source().begin.column}, e.description());
      return std::nullopt;
    }
    const toml::table& root = parsed.table();
#endif
    return read_file(root, path);
  } catch (const Failure& f) {
    error = located(path, f.at, f.what);
  } catch (const std::bad_alloc&) {
    error = path + ": out of memory while reading the panel file";
  } catch (const std::exception& e) {  // nothing else is expected; still no crash
    error = path + ": cannot read the panel file: " + e.what();
  }
  return std::nullopt;
}

std::optional<PanelFile> load_file(const std::string& path, std::string& error) {
  // Non-blocking, so that opening a FIFO does not wait for a writer; only a regular
  // file is read after that.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = path + ": cannot open: " + std::generic_category().message(errno);
    return std::nullopt;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = path + ": cannot read: " + std::generic_category().message(errno);
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    const char* what = S_ISDIR(st.st_mode)    ? "a directory"
                       : S_ISFIFO(st.st_mode) ? "a FIFO"
                       : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                                                                    : "not a file";
    error = path + ": cannot read: it is " + what + "; a panel file is a regular file";
    return std::nullopt;
  }
  const std::string too_big = path + ": cannot read: larger than " + std::to_string(kMaxFileBytes / 1024) +
                              " KiB; a panel file needs far less";
  if (st.st_size > kMaxFileBytes) {
    error = too_big;
    return std::nullopt;
  }
  // The size is read again as it comes: a file may grow after the look.
  const files::BoundedRead read = files::read_bounded(fd, static_cast<std::size_t>(kMaxFileBytes));
  if (read.error) {
    error = path + ": cannot read: " + std::generic_category().message(read.error);
    return std::nullopt;
  }
  if (read.too_long) {
    error = too_big;
    return std::nullopt;
  }
  return parse_text(read.text, path, error);
}

}  // namespace

// A message may quote the file and name its path: both are the operator's, and may hold
// anything.
std::optional<PanelFile> parse_panel_file(std::string_view text, const std::string& path, std::string& error) {
  auto file = parse_text(text, path, error);
  if (!file) error = files::printable(error);
  return file;
}

std::optional<PanelFile> load_panel_file(const std::string& path, std::string& error) {
  auto file = load_file(path, error);
  if (!file) error = files::printable(error);
  return file;
}

}  // namespace vx::rt
