// varnix-session: runs the program headless against an operator script.
//   varnix-session [--realtime] [--trace] [--record DIR] SCRIPT   (SCRIPT "-" reads standard input)
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/session/session.h"

int main(int argc, char** argv) {
  vx::session::Options options;
  const char* path = nullptr;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--realtime") == 0) options.realtime = true;
    else if (std::strcmp(argv[i], "--trace") == 0) options.trace = true;
    else if (std::strcmp(argv[i], "--record") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        std::fprintf(stderr, "varnix-session: --record needs a directory\n");
        return 2;
      }
      options.record_dir = argv[++i];
    }
    else if (!path && (argv[i][0] != '-' || std::strcmp(argv[i], "-") == 0)) path = argv[i];
    else {
      std::fprintf(stderr, "varnix-session: unknown option %s\n", argv[i]);
      path = nullptr;
      break;
    }
  }
  if (!path) {
    std::fprintf(stderr, "usage: varnix-session [--realtime] [--trace] [--record DIR] SCRIPT\n");
    return 2;
  }
  std::stringstream text;
  if (std::strcmp(path, "-") == 0) {
    text << std::cin.rdbuf();
  } else {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "%s: cannot open: %s\n", path, std::strerror(errno));
      return 2;
    }
    text << in.rdbuf();
  }
  if (!options.record_dir.empty()) {
    struct stat st{};
    if (stat(options.record_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      std::fprintf(stderr, "varnix-session: --record %s: not a directory\n", options.record_dir.c_str());
      return 2;
    }
  }
  std::string error;
  auto script = vx::session::parse_script(text.str(), path, error);
  if (!script || !vx::session::check_controls(*script, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  return vx::session::run(*script, options);
}
