// A scan record (CSV, RFC 4180) read back as a test reads it: its comment lines, its
// header and its rows, each cell found by its column's name.
#pragma once

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace vxtest {

struct Record {
  std::vector<std::string> comments;
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;
  bool well_formed = true;  // every line ends in CRLF, every row has the header's width
  // The cell of row `i` in the column the header names `name`.
  const std::string& at(std::size_t i, const std::string& name) const {
    const auto c = std::find(header.begin(), header.end(), name);
    if (c == header.end()) throw std::out_of_range("no column " + name);
    return rows.at(i).at(static_cast<std::size_t>(c - header.begin()));
  }
  double num(std::size_t i, const std::string& name) const { return std::stod(at(i, name)); }
};

// A line's fields: split at commas outside quotes, a quoted field unquoted ("" is a
// quote); an empty last field counts.
inline std::vector<std::string> split_fields(const std::string& line) {
  std::vector<std::string> out(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); i++) {
    const char c = line[i];
    if (c == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"') {
      out.back() += c;
      i++;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

inline Record parse_record(const std::string& text) {
  Record r;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      r.well_formed = false;
      break;
    }
    const std::string line = text.substr(at, end - at);
    at = end + 2;
    if (line.rfind("#", 0) == 0) r.comments.push_back(line);
    else if (r.header.empty()) r.header = split_fields(line);
    else r.rows.push_back(split_fields(line));
  }
  for (const auto& row : r.rows) r.well_formed = r.well_formed && row.size() == r.header.size();
  return r;
}

}  // namespace vxtest
