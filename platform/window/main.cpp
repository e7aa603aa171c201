// varnix: the operator program on its simulated stages, in a window. The Qt event loop
// runs on the process's main thread and the program on a thread of its own, so the
// window stays live while the program sleeps in a poll or waits for a homing; the
// process ends with the program's exit code once the program has returned.
//   varnix [--record DIR | --no-record] [--detector SOURCE] [--listen ADDRESS]... [--token FILE]
//   (scan records by default in ~/.local/share/varnix/scans; the detector by default the
//   one chosen last in the window, else sim on simulated stages)
#include <QApplication>
#include <QDir>
#include <QSettings>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "platform/control/control.h"
#include "platform/detector/detector.h"
#include "platform/files/printable.h"

#include "platform/window/main_window.h"
#include "platform/window/program.h"
#include "platform/signals/signals.h"
#include "platform/window/signal_bridge.h"
#include "platform/version/version.h"

namespace {

constexpr const char* kUsage =
    "usage: varnix [--record DIR | --no-record] [--detector SOURCE] [--listen ADDRESS]... [--token FILE]\n";

// The documented default folder of scan records: $XDG_DATA_HOME/varnix/scans, or
// ~/.local/share/varnix/scans.
std::string default_record_dir() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return std::string(xdg) + "/varnix/scans";
  return QDir::homePath().toStdString() + "/.local/share/varnix/scans";
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before Qt starts, so that they work without a display; any other
  // argument is Qt's.
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf("usage: varnix [--record DIR | --no-record] [--detector SOURCE] [--listen ADDRESS]...\n"
                  "              [--token FILE] [Qt options]\n"
                  "Opens the operator window on the stages; see varnix(1).\n"
                  "  --record DIR  keep a record of every scan in DIR (CSV; default\n"
                  "                $XDG_DATA_HOME/varnix/scans)\n"
                  "  --no-record   keep no scan records\n"
                  "  --detector SOURCE  what scans read at each point: sim, exec:COMMAND,\n"
                  "                lib:PATH or none (default: the last chosen in the window,\n"
                  "                else sim on simulated stages)\n"
                  "  --listen ADDRESS  serve remote clients at unix:PATH or tcp:[HOST:]PORT;\n"
                  "                repeatable (docs/control-protocol.md)\n"
                  "  --token FILE  clients send auth with the token in FILE first (needed to\n"
                  "                listen on an address other than loopback)\n"
                  "  --help        this text\n"
                  "  --version     the version\n"
                  "SIGINT, SIGTERM and SIGHUP stop a scan and quit, closing the stages.\n");
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("varnix %s\n", vx::version().c_str());
      return 0;
    }
  }
  // Standard output that goes away (varnix | head -1) must not end the process before
  // the program has closed the stages; the console pane keeps its lines.
  vx::sig::ignore_lost_output();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Varnix"));
  QApplication::setOrganizationName(QStringLiteral("Varnix"));  // the window's settings: ~/.config/Varnix
  // Only the program ends the program: closing the window asks it to quit.
  QApplication::setQuitOnLastWindowClosed(false);
  vx::win::install_look(app);

  vx::win::RealStages stages;

  // After Qt has taken its own options: --record DIR, --no-record.
  vx::win::WindowOptions options;
  options.record_dir = default_record_dir();
  bool named = false;
  std::optional<std::string> detector_source;
  const char* token_file = nullptr;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--detector") == 0 && i + 1 < argc && argv[i + 1][0] != '\0') {
      detector_source = argv[++i];
    } else if (std::strcmp(argv[i], "--no-record") == 0) {
      options.record_dir.clear();
      named = false;
    } else if (std::strcmp(argv[i], "--record") == 0 && i + 1 < argc && argv[i + 1][0] != '\0') {
      options.record_dir = argv[++i];
      named = true;
    } else if (std::strcmp(argv[i], "--listen") == 0) {
      std::string error;
      const auto a = vx::control::parse_listen(i + 1 < argc ? argv[i + 1] : nullptr, error);
      if (!a) {
        std::fprintf(stderr, "varnix: --listen %s\n", error.c_str());
        return 2;
      }
      options.listen.push_back(*a);
      i++;
    } else if (std::strcmp(argv[i], "--token") == 0 && i + 1 < argc && argv[i + 1][0] != '\0') {
      token_file = argv[++i];
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (token_file) {
    std::string why;
    const auto token = vx::control::read_token(token_file, why);
    if (!token) {
      std::fprintf(stderr, "varnix: %s\n", why.c_str());
      return 2;
    }
    options.token = *token;
  }
  if (const std::string refusal = vx::win::settle_record_folder(options, named); !refusal.empty()) {
    std::fprintf(stderr, "varnix: %s\n", refusal.c_str());
    return 2;
  }
  if (!options.record_problem.empty()) std::fprintf(stderr, "varnix: %s\n", options.record_problem.c_str());

  // The detector: named on the command line (refused when it cannot open), else the one
  // remembered (dropped with a word when it no longer opens), else the default.
  const QString remembered = QSettings().value(QLatin1String(vx::win::kDetectorSetting)).toString();
  std::string source =
      detector_source.value_or(remembered.isEmpty() ? vx::detector::default_source() : remembered.toStdString());
  vx::detector::Choice choice = vx::detector::open(source);
  if (!choice.error.empty() && detector_source) {
    std::fprintf(stderr, "varnix: %s\n", vx::files::printable(choice.error).c_str());
    return 2;
  }
  if (!choice.error.empty()) {
    std::fprintf(stderr, "varnix: the detector chosen last no longer opens (%s); using %s\n",
                 vx::files::printable(choice.error).c_str(), vx::detector::default_source().c_str());
    source = vx::detector::default_source();
    choice = vx::detector::open(source);
  }

  vx::win::WindowedProgram program(stages.clock, options);
  program.core().set_detector(std::move(choice.detector));
  program.host().use_detector_source(source, true);

  vx::win::SignalBridge interrupts;
  QObject::connect(&interrupts, &vx::win::SignalBridge::requested, &program.host(),
                   &vx::win::WindowHost::request_shutdown);
  QObject::connect(&program.host(), &vx::win::WindowHost::ended, &app,
                   [](int code) { QCoreApplication::exit(code); });
  {
    std::string error;
    if (!program.listen(error)) {
      std::fprintf(stderr, "varnix: cannot listen on %s\n", error.c_str());
      return 2;
    }
    for (const std::string& a : program.bound()) std::fprintf(stderr, "listening on %s\n", a.c_str());
    std::fflush(stderr);
  }
  program.start();
  return app.exec();
}
