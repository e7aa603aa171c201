// varnix-session: runs the program headless against an operator script.
//   varnix-session [--realtime] [--trace] SCRIPT   (SCRIPT "-" reads standard input)
//   varnix-session --help | --version
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/session/session.h"

namespace {
constexpr const char* kUsage = "usage: varnix-session [--realtime] [--trace] SCRIPT\n";
}

int main(int argc, char** argv) {
  vx::session::Options options;
  const char* path = nullptr;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf("%s%s", kUsage,
                  "Runs the operator program headless on its stages and plays SCRIPT\n"
                  "(\"-\": standard input) against it; see varnix-session(1).\n"
                  "  --realtime  the real clock instead of virtual time\n"
                  "  --trace     print every stage-library call\n"
                  "  --help      this text\n"
                  "  --version   the version\n");
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("varnix-session %s\n", VARNIX_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--realtime") == 0) options.realtime = true;
    else if (std::strcmp(argv[i], "--trace") == 0) options.trace = true;
    else if (!path && (argv[i][0] != '-' || std::strcmp(argv[i], "-") == 0)) path = argv[i];
    else {
      std::fprintf(stderr, "varnix-session: unknown option %s\n", argv[i]);
      path = nullptr;
      break;
    }
  }
  if (!path) {
    std::fputs(kUsage, stderr);
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
  std::string error;
  auto script = vx::session::parse_script(text.str(), path, error);
  if (!script || !vx::session::check_controls(*script, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  return vx::session::run(*script, options);
}
