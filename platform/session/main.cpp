// varnix-session: runs the program headless against an operator script, and serves
// remote clients with --listen.
//   varnix-session [--realtime] [--trace] [--record DIR] [--detector SOURCE] [--listen ADDRESS]... [--token FILE] [SCRIPT]
//   (SCRIPT "-" reads standard input; without one, --listen starts the program and serves)
//   varnix-session --help | --version
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "platform/control/control.h"
#include "platform/files/files.h"
#include "platform/files/printable.h"
#include "platform/scanwatch/scanwatch.h"
#include "platform/host/host.h"
#include "platform/session/session.h"
#include "platform/version/version.h"

namespace {

constexpr const char* kUsage =
    "usage: varnix-session [--realtime] [--trace] [--record DIR] [--detector SOURCE] SCRIPT\n"
    "       varnix-session [OPTIONS] --listen ADDRESS [--listen ADDRESS]... [--token FILE] [SCRIPT]\n";

// Far more than any script needs; what is longer is not a script (/dev/zero, say).
constexpr std::size_t kMaxScriptBytes = 1 << 20;

// The script's text, or nothing with the reason on standard error. A directory, a
// device that never ends or a file that cannot be read runs nothing.
std::optional<std::string> read_script(const char* path) {
  const bool stdin_script = std::strcmp(path, "-") == 0;
  const std::string shown = vx::files::printable(path);
  const int fd = stdin_script ? STDIN_FILENO : ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "%s: cannot open: %s\n", shown.c_str(), std::strerror(errno));
    return std::nullopt;
  }
  struct stat st {};
  vx::files::BoundedRead read;
  const char* error = nullptr;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    error = "is a directory, not a script";
  } else {
    read = vx::files::read_bounded(fd, kMaxScriptBytes);
    if (read.too_long) error = "longer than 1 MiB, which no session script is";
  }
  const int saved = read.error;
  if (!stdin_script) ::close(fd);
  if (error) {
    std::fprintf(stderr, "%s: cannot read: %s\n", shown.c_str(), error);
    return std::nullopt;
  }
  if (saved) {
    std::fprintf(stderr, "%s: cannot read: %s\n", shown.c_str(), std::strerror(saved));
    return std::nullopt;
  }
  return read.text;
}

}  // namespace

int main(int argc, char** argv) {
  vx::session::Options options;
  const char* path = nullptr;
  std::string detector_source = vx::detector::default_source();
  const char* token_file = nullptr;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf("%s%s", kUsage,
                  "Runs the operator program headless on its stages and plays SCRIPT\n"
                  "(\"-\": standard input) against it; see varnix-session(1).\n"
                  "  --realtime    the real clock instead of virtual time\n"
                  "  --trace       print every stage-library call\n"
                  "  --record DIR  keep a record of every scan in DIR (CSV)\n"
                  "  --detector SOURCE  what scans read at each point: sim, exec:COMMAND,\n"
                  "                lib:PATH or none (default: sim on simulated stages)\n"
                  "  --listen ADDRESS  serve remote clients at unix:PATH or tcp:[HOST:]PORT\n"
                  "                (after SCRIPT; without one the program is started); repeatable\n"
                  "  --token FILE  clients send auth with the token in FILE first (needed to\n"
                  "                listen on an address other than loopback)\n"
                  "  --help        this text\n"
                  "  --version     the version\n"
                  "Statements: start set press wait until expect show watch preview live\n"
                  "activity estop release fault quit; a remote client also control, log, auth\n"
                  "(docs/control-protocol.md).\n"
                  "SIGINT, SIGTERM and SIGHUP stop a scan and quit, closing the stages.\n");
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("varnix-session %s\n", vx::version().c_str());
      return 0;
    }
    if (std::strcmp(argv[i], "--realtime") == 0) options.realtime = true;
    else if (std::strcmp(argv[i], "--trace") == 0) options.trace = true;
    else if (std::strcmp(argv[i], "--record") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        std::fprintf(stderr, "varnix-session: --record needs a directory\n");
        return 2;
      }
      options.record_dir = argv[++i];
    } else if (std::strcmp(argv[i], "--detector") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        std::fprintf(stderr, "varnix-session: --detector needs a source (sim, exec:COMMAND, lib:PATH, none)\n");
        return 2;
      }
      detector_source = argv[++i];
    }
    else if (std::strcmp(argv[i], "--listen") == 0) {
      std::string error;
      const auto a = vx::control::parse_listen(i + 1 < argc ? argv[i + 1] : nullptr, error);
      if (!a) {
        std::fprintf(stderr, "varnix-session: --listen %s\n", error.c_str());
        return 2;
      }
      options.listen.push_back(*a);
      i++;
    } else if (std::strcmp(argv[i], "--token") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        std::fprintf(stderr, "varnix-session: --token needs a file\n");
        return 2;
      }
      token_file = argv[++i];
    }
    else if (!path && (argv[i][0] != '-' || std::strcmp(argv[i], "-") == 0)) path = argv[i];
    else {
      std::fprintf(stderr, "varnix-session: unknown option %s\n", vx::files::printable(argv[i]).c_str());
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (!path && options.listen.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (token_file) {
    std::string why;
    const auto token = vx::control::read_token(token_file, why);
    if (!token) {
      std::fprintf(stderr, "varnix-session: %s\n", why.c_str());
      return 2;
    }
    options.token = *token;
  }
  // Without a script, a server starts the program and serves.
  const auto text = path ? read_script(path) : std::optional<std::string>("start\n");
  if (!text) return 2;
  if (!path) path = "(start)";
  // Said now, once, rather than at every scan of a session that would keep no record.
  if (!options.record_dir.empty()) {
    if (const auto why = vx::host::record_folder_problem(options.record_dir, false)) {
      std::fprintf(stderr, "varnix-session: %s\n", vx::host::record_folder_refusal(options.record_dir, *why).c_str());
      return 2;
    }
  }
  std::string error;
  auto script = vx::session::parse_script(*text, path, error);
  if (!script || !vx::session::check_controls(*script, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  {
    auto choice = vx::detector::open(detector_source);
    if (!choice.error.empty()) {
      std::fprintf(stderr, "varnix-session: %s\n", vx::files::printable(choice.error).c_str());
      return 2;
    }
    options.detector = std::move(choice.detector);
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  options.answer_signals = true;
  const int status = vx::session::run(*script, options);
  if (std::ferror(stdout))
    std::fprintf(stderr, "varnix-session: standard output went away; the session ran on to its end\n");
  return status;
}
