// Runs the session runner (the real program on simulated stages, virtual time) on a
// script given as text, and hands back its exit status and output lines.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace vxtest {

struct SessionResult {
  int status = -1;
  std::vector<std::string> lines;   // standard output
  std::string err;                  // standard error

  // The program's own lines (those the runner did not write).
  std::vector<std::string> program() const {
    std::vector<std::string> out;
    for (const auto& l : lines)
      if (l.rfind("@ ", 0) != 0) out.push_back(l);
    return out;
  }
  // The runner's lines that start with `prefix` (after "@ ").
  std::vector<std::string> at(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& l : lines)
      if (l.rfind("@ " + prefix, 0) == 0) out.push_back(l.substr(2));
    return out;
  }
  // Stage-library calls from --trace, as "T THREAD CALL".
  std::vector<std::string> trace() const {
    std::vector<std::string> out;
    for (const auto& l : lines)
      if (l.rfind("@ trace ", 0) == 0) out.push_back(l.substr(8));
    return out;
  }
  // Trace calls whose text starts with `call`, without time and thread.
  std::vector<std::string> calls(const std::string& call) const {
    std::vector<std::string> out;
    for (const auto& t : trace()) {
      const auto a = t.find(' ');
      const auto b = t.find(' ', a + 1);
      const std::string c = t.substr(b + 1);
      if (c.rfind(call, 0) == 0) out.push_back(c);
    }
    return out;
  }
  int count(const std::string& line) const {
    int n = 0;
    for (const auto& l : lines) n += l == line;
    return n;
  }
  std::string text() const {
    std::string s;
    for (const auto& l : lines) s += l + "\n";
    return s + "--- stderr\n" + err;
  }
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs `EXE ARGS SCRIPT` in `cwd`; EXE is the built session runner by default.
inline SessionResult run_session(const std::string& script, const std::string& args = "--trace",
                                 const std::string& cwd = VARNIX_BIN_DIR,
                                 const std::string& exe = VARNIX_BIN_DIR "/varnix-session") {
  char dir[] = "/tmp/vxsessionXXXXXX";
  const std::string tmp = mkdtemp(dir);
  const std::string file = tmp + "/script.vxs";
  std::ofstream(file) << script;
  const std::string cmd = "cd '" + cwd + "' && '" + exe + "' " + args + " '" + file +
                          "' >'" + tmp + "/out' 2>'" + tmp + "/err'";
  SessionResult r;
  const int raw = std::system(cmd.c_str());
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  std::istringstream out(read_file(tmp + "/out"));
  for (std::string l; std::getline(out, l);) r.lines.push_back(l);
  r.err = read_file(tmp + "/err");
  std::system(("rm -rf '" + tmp + "'").c_str());
  return r;
}

}  // namespace vxtest
