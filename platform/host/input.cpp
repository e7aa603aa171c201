// The checking of what an operator gives: a value for a control, a folder for records. No thousands separators and no partial reading:
// the whole text is one number or it is refused, so that 1e9 is 1e9 (and out of range),
// never 19, and 12,5 is 12.5 where the comma is the decimal point and refused elsewhere.
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>

#include <filesystem>

#include "platform/files/files.h"
#include "platform/files/printable.h"
#include "platform/host/host.h"

namespace vx::host {

namespace {

Checked refuse(std::string reason) { return {false, 0, std::move(reason)}; }

}  // namespace

Checked check_value(double v, const rt::ControlSpec& control) {
  if (!std::isfinite(v)) return refuse("not a finite number");
  if (control.type == rt::DataType::Int) {
    if (v != std::trunc(v)) return refuse("a count takes whole numbers only");
    if (v < INT_MIN || v > INT_MAX) return refuse("too large a number");
  }
  if (control.min && v < *control.min) return refuse("below the least allowed, " + observe::plain(*control.min));
  if (control.max && v > *control.max) return refuse("above the most allowed, " + observe::plain(*control.max));
  if (v == 0) v = 0;  // no negative zero
  return {true, v, {}};
}

Checked check_text(std::string_view text, const rt::ControlSpec& control, char decimal_point) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.empty()) return refuse("empty: type a number");
  const char other = decimal_point == ',' ? '.' : ',';
  std::string s(text);
  if (s.find(other) != std::string::npos)
    return refuse(std::string("'") + other + "' is not the decimal point here (it is '" + decimal_point + "')");
  for (char& ch : s)
    if (ch == decimal_point) ch = '.';
  if (!s.empty() && s.front() == '+') s.erase(0, 1);
  double v = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) return refuse("too large a number");
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return refuse("not a number");
  return check_value(v, control);
}

std::optional<std::string> record_folder_problem(const std::string& dir, bool create) {
  if (create) {
    std::error_code ec;  // a folder that cannot be made is reported by the check below
    std::filesystem::create_directories(dir, ec);
  }
  return files::folder_problem(dir);
}

std::string record_folder_refusal(const std::string& dir, const std::string& why) {
  return "--record " + files::printable(dir) + ": " + why;
}

}  // namespace vx::host
