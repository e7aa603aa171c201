// Remote clients driving the program through `varnix-session --listen` on virtual time:
// the protocol (a statement a line, its lines, then ok or error), control taken by one
// client at a time and the estop open to all, bad clients and their bounds, and the
// addresses. Between statements virtual time stands still, so every reply below is the
// same on every run.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <memory>

#include "platform/control/control.h"
#include "tests/control_harness.h"

using vxtest::Client;
using vxtest::Server;
using Lines = std::vector<std::string>;

namespace {

const std::vector<std::string> kUnix{"--listen", "unix:@DIR/s"};

bool has(const Lines& lines, const std::string& prefix) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

TEST(ControlAddress, ParsesUnixAndTcpAndRefusesTheRest) {
  struct Case {
    const char* text;
    const char* shown;  // text() of the address, or the start of the error
    bool loopback;
  } cases[] = {
      {"unix:/tmp/v.sock", "unix:/tmp/v.sock", true},
      {"tcp:5025", "tcp:127.0.0.1:5025", true},
      {"tcp:0", "tcp:127.0.0.1:0", true},
      {"tcp:localhost:7", "tcp:127.0.0.1:7", true},
      {"tcp:127.0.0.2:7", "tcp:127.0.0.2:7", true},
      {"tcp:0.0.0.0:7", "tcp:0.0.0.0:7", false},
      {"tcp:10.1.2.3:65535", "tcp:10.1.2.3:65535", false},
      {"unix:", "unix:: a Unix socket needs a path", false},
      {"tcp:65536", "tcp:65536: the port must be a number from 0 to 65535", false},
      {"tcp:", "tcp:: the port must be", false},
      {"tcp:host.example:80", "tcp:host.example:80: the host must be a dotted IPv4 address", false},
      {"udp:5", "udp:5: an address is unix:PATH or tcp:[HOST:]PORT", false},
      {"tcp:-1", "tcp:-1: the port must be", false},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto a = vx::control::parse_address(c.text, error);
    if (a) {
      EXPECT_EQ(a->text(), c.shown) << c.text;
      EXPECT_EQ(a->loopback(), c.loopback) << c.text;
    } else {
      EXPECT_EQ(error.rfind(c.shown, 0), 0u) << c.text << ": " << error;
    }
  }
  std::string error;
  EXPECT_FALSE(vx::control::parse_address("unix:" + std::string(200, 'a'), error));
}

TEST(ControlAddress, Utf8IsCheckedWhole) {
  struct Case {
    std::string bytes;
    bool ok;
  } cases[] = {
      {"plain", true},         {"\xc3\xa9", true},       {"\xe2\x82\xac", true}, {"\xf0\x9f\x98\x80", true},
      {"\xff", false},         {"\xc3", false},          {"\xc0\xaf", false},    {"\xe0\x80\xaf", false},
      {"\xed\xa0\x80", false}, {"\xf4\x90\x80\x80", false}, {"a\x80", false},  {std::string("a\0b", 3), true},
  };
  for (const Case& c : cases) EXPECT_EQ(vx::control::valid_utf8(c.bytes), c.ok) << c.bytes;
}

// A client homes X, goes to a target and runs a small scan, then quits the program.
TEST(ControlServer, AClientHomesGoesToAndScans) {
  Server s(kUnix);
  ASSERT_EQ(s.addresses().size(), 1u) << s.finish().text();
  struct stat st {};
  ASSERT_EQ(stat((s.dir() + "/s").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  Client c(s.address());
  ASSERT_TRUE(c.connected());
  EXPECT_EQ(c.ask("live"), (Lines{"@ live X 0.0000 idle", "@ live Y 0.0000 idle", "@ live Z 0.0000 idle", "ok"}));
  EXPECT_EQ(c.ask("activity"), (Lines{"@ activity \"Idle\" queued 0:", "ok"}));
  EXPECT_EQ(c.status("control take"), "ok");
  // A homing, then a go-to: each is served once the one before has ended.
  EXPECT_EQ(c.status("press PANEL_HOME_X"), "ok");
  EXPECT_EQ(c.status("wait 30"), "ok");
  EXPECT_EQ(c.status("set PANEL_TARGET_X 12.5"), "ok");
  EXPECT_EQ(c.status("press PANEL_GOTO_X"), "ok");
  EXPECT_EQ(c.status("wait 15"), "ok");
  EXPECT_EQ(c.ask("show PANEL_POS_X"), (Lines{"@ PANEL_POS_X = 12.5", "ok"}));
  for (const char* line : {"set PANEL_NX 2", "set PANEL_NY 2", "set PANEL_NZ 1", "set PANEL_DX 0.5", "set PANEL_DY 0.5",
                           "set PANEL_X0 1", "set PANEL_Y0 2", "set PANEL_Z0 3", "set PANEL_SCAN_X 1",
                           "set PANEL_SCAN_Y 1", "set PANEL_SCAN_Z 0", "watch PANEL_PROGRESS"})
    EXPECT_EQ(c.status(line), "ok") << line;
  EXPECT_TRUE(has(c.ask("preview"), "@ preview ")) ;
  EXPECT_EQ(c.status("press PANEL_STARTSCAN"), "ok");
  EXPECT_EQ(c.ask("expect PANEL_SCANNING == 1"), Lines{"ok"});
  // The watched progress arrives between replies, as it happens.
  const Lines scan = c.ask("until PANEL_SCANNING == 0 within 600");
  EXPECT_EQ(scan.back(), "ok");
  EXPECT_TRUE(has(scan, "@ ") && scan.back() == "ok");
  EXPECT_EQ(c.ask("show PANEL_PROGRESS"), (Lines{"@ PANEL_PROGRESS = 100", "ok"}));
  EXPECT_EQ(c.ask("quit"), (Lines{"@ exit 0", "ok"}));
  EXPECT_TRUE(c.drain().empty());
  const auto r = s.finish();
  EXPECT_EQ(r.status, 0) << r.text();
  EXPECT_EQ(stat((s.dir() + "/s").c_str(), &st), -1) << "the socket file is removed";
}

// One client acts at a time; the others look. The holder gives control back, or loses
// it by disconnecting; an error changes nothing.
TEST(ControlServer, TwoClientsContendForControl) {
  Server s(kUnix);
  Client a(s.address()), b(s.address());
  EXPECT_EQ(a.status("press PANEL_GOTO_X"), "error: take control first (control take)");
  EXPECT_EQ(a.status("control take"), "ok");
  EXPECT_EQ(b.status("control take"), "error: control is held by client 1 (unix)");
  EXPECT_EQ(b.status("set PANEL_TARGET_X 3"), "error: control is held by client 1 (unix)");
  EXPECT_EQ(b.ask("show PANEL_TARGET_X"), (Lines{"@ PANEL_TARGET_X = 0", "ok"}));
  EXPECT_EQ(b.ask("control"), (Lines{"@ control held by client 1 (unix)", "@ remote control on at the window",
                                     "@ you are client 2", "ok"}));
  EXPECT_EQ(a.status("set PANEL_TARGET_X 99"), "error: PANEL_TARGET_X above the most allowed, 50");
  EXPECT_EQ(b.ask("show PANEL_TARGET_X"), (Lines{"@ PANEL_TARGET_X = 0", "ok"}));
  EXPECT_EQ(b.status("control release"), "error: you do not hold control");
  EXPECT_EQ(a.status("control release"), "ok");
  EXPECT_EQ(b.status("control take"), "ok");
  EXPECT_EQ(a.status("quit"), "error: control is held by client 2 (unix)");
  b.close_now();
  EXPECT_EQ(a.status("control take"), "ok");  // the holder's disconnection freed it
  EXPECT_EQ(a.ask("quit").back(), "ok");
  EXPECT_EQ(s.finish().status, 0);
}

// Anyone may stop everything: an observer's estop stops the holder's homing. Virtual
// time stands still between statements, so the homing is caught at the same point on
// every run.
TEST(ControlServer, AnObserverStopsAHoming) {
  Server s(kUnix);
  Client holder(s.address()), observer(s.address());
  EXPECT_EQ(holder.status("control take"), "ok");
  EXPECT_EQ(holder.status("press PANEL_HOME_X"), "ok");
  EXPECT_EQ(holder.status("wait 2"), "ok");
  EXPECT_EQ(observer.ask("live")[0], "@ live X -3.7980 moving-reverse homing");
  EXPECT_EQ(observer.status("press PANEL_STOP_X"), "error: control is held by client 1 (unix)");
  EXPECT_EQ(observer.status("estop"), "ok");
  EXPECT_EQ(holder.status("wait 5"), "ok");
  EXPECT_EQ(observer.ask("live")[0], "@ live X -4.0000 stopped estop \"the emergency stop is engaged (Release to move)\"");
  EXPECT_EQ(observer.status("release"), "error: control is held by client 1 (unix)");
  EXPECT_EQ(holder.status("release"), "ok");
  EXPECT_EQ(holder.status("wait 1"), "ok");
  EXPECT_EQ(observer.ask("live")[0], "@ live X -4.0000 idle");
  EXPECT_EQ(holder.ask("quit").back(), "ok");
  EXPECT_EQ(s.finish().status, 0);
}

// Bad lines are answered with an error and skipped; the connection stays.
TEST(ControlServer, MalformedOversizedAndBinaryLinesAreRefused) {
  Server s(kUnix);
  Client c(s.address());
  struct Case {
    std::string bytes;
    std::string reply;
  } cases[] = {
      {"fly PANEL_QUIT\n", "error: unknown statement 'fly'"},
      {"set PANEL_TARGET_X\n", "error: expected: set CONTROL VALUE"},
      {"show PANEL_NOTHING\n", "error: no control PANEL_NOTHING on the panel"},
      {std::string(70000, 'a') + "\n", "error: a line longer than 65536 bytes, skipped"},
      {std::string(200000, 'x') + "\n", "error: a line longer than 65536 bytes, skipped"},
      {"show PANEL_POS_X \xff\xfe\n", "error: the line is not UTF-8, skipped"},
      {std::string("\0\x01\x02\n", 4), "error: unknown statement '\\x00\\x01\\x02'"},
      {"\033]0;x\007\n", "error: unknown statement '\\x1b]0;x\\x07'"},
      {"\n", "ok"},
      {"   # a comment\r\n", "ok"},
      {"control grab\n", "error: expected: control, control take or control release"},
      {"auth secret\n", "ok"},
      {"wait 1e9\n", "error: expected: wait SECONDS (0 to 86400)"},
  };
  for (const Case& k : cases) {
    c.send_raw(k.bytes);
    EXPECT_EQ(c.reply(), Lines{k.reply}) << k.bytes.substr(0, 40);
  }
  EXPECT_EQ(c.ask("show PANEL_POS_X\r"), (Lines{"@ PANEL_POS_X = 0", "ok"}));
  // Lines sent at once are answered in order.
  c.send_raw("show PANEL_NX\nbad\nshow PANEL_NY\n");
  EXPECT_EQ(c.reply(), (Lines{"@ PANEL_NX = 5", "ok"}));
  EXPECT_EQ(c.reply(), (Lines{"error: unknown statement 'bad'"}));
  EXPECT_EQ(c.reply(), (Lines{"@ PANEL_NY = 5", "ok"}));
  EXPECT_EQ(c.status("control take"), "ok");
  EXPECT_EQ(c.ask("quit").back(), "ok");
  EXPECT_EQ(s.finish().status, 0);
}

// A client that goes away mid-move changes nothing: the move runs on; one that goes away
// during its own wait ends the wait, and control is free again.
TEST(ControlServer, AClientThatDisconnectsMidMoveLeavesTheMoveRunning) {
  Server s(kUnix);
  {
    Client a(s.address());
    EXPECT_EQ(a.status("control take"), "ok");
    EXPECT_EQ(a.status("set PANEL_TARGET_X 20"), "ok");
    EXPECT_EQ(a.status("press PANEL_GOTO_X"), "ok");
    a.send("wait 5000");  // gone before its reply
  }
  Client b(s.address());
  EXPECT_EQ(b.status("until PANEL_POS_X == 20 within 60"), "ok");
  EXPECT_EQ(b.ask("live")[0], "@ live X 20.0000 idle");
  EXPECT_EQ(b.status("control take"), "ok");
  EXPECT_EQ(b.ask("quit").back(), "ok");
  EXPECT_EQ(s.finish().status, 0);
}

// A client that sends but never reads is dropped once its unread replies pass the
// bound, with a line on standard error; the others are served on.
TEST(ControlServer, AClientThatNeverReadsIsDropped) {
  Server s(kUnix);
  Client deaf(s.address()), other(s.address());
  std::string flood;
  for (int k = 0; k < 40000; k++) flood += "live\n";
  deaf.send_raw(flood);
  EXPECT_NE(s.err_until("dropped remote client 1").find("varnix-session: dropped remote client 1 (unix): it read nothing"),
            std::string::npos);
  EXPECT_EQ(other.ask("activity"), (Lines{"@ activity \"Idle\" queued 0:", "ok"}));
  EXPECT_EQ(other.status("control take"), "ok");
  EXPECT_EQ(other.ask("quit").back(), "ok");
  EXPECT_EQ(s.finish().status, 0);
}

// Beyond the bound of clients one more is told so and closed.
TEST(ControlServer, ClientsBeyondTheBoundAreRefused) {
  Server s(kUnix);
  std::vector<std::unique_ptr<Client>> clients;
  for (int k = 0; k < vx::control::kMaxClients; k++) {
    clients.push_back(std::make_unique<Client>(s.address()));
    EXPECT_EQ(clients.back()->status("activity"), "ok") << k;
  }
  Client extra(s.address());
  EXPECT_EQ(extra.drain(), (Lines{"error: too many clients (128); try again later"}));
  clients.pop_back();
  Client now(s.address());
  EXPECT_EQ(now.status("control take"), "ok");
  EXPECT_EQ(now.ask("quit").back(), "ok");
  EXPECT_EQ(s.finish().status, 0);
}

// A second server on an address in use says so and ends; an address other than
// loopback needs a token, and a client with a token must give it first.
TEST(ControlServer, AddressesInUseAndTokens) {
  Server first({"--listen", "unix:@DIR/s", "--listen", "tcp:127.0.0.1:0"});
  ASSERT_EQ(first.addresses().size(), 2u);
  EXPECT_EQ(first.address(1).rfind("tcp:127.0.0.1:", 0), 0u);
  for (const std::string& a : first.addresses()) {
    Server second({"--listen", a});
    const auto r = second.finish();
    EXPECT_EQ(r.status, 2) << a;
    EXPECT_EQ(r.err, "varnix-session: cannot listen on " + a + ": address in use" +
                         (a.rfind("unix:", 0) == 0 ? " (another server listens there)" : "") + "\n");
  }
  Client tcp(first.address(1));
  EXPECT_EQ(tcp.ask("show PANEL_NX"), (Lines{"@ PANEL_NX = 5", "ok"}));
  EXPECT_EQ(tcp.status("control take"), "ok");
  EXPECT_EQ(tcp.ask("quit").back(), "ok");
  EXPECT_EQ(first.finish().status, 0);

  // A path that is something else than a socket is left alone.
  Server file({"--listen", "unix:@DIR"});
  const auto not_socket = file.finish();
  EXPECT_EQ(not_socket.status, 2);
  EXPECT_EQ(not_socket.err, "varnix-session: cannot listen on unix:" + file.dir() + ": exists and is not a socket\n");

  Server open({"--listen", "tcp:0.0.0.0:0"});
  const auto r = open.finish();
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "varnix-session: cannot listen on tcp:0.0.0.0:0: not a loopback address; another machine may "
                   "connect only with --token FILE\n");

  Server guarded({"--listen", "tcp:127.0.0.1:0", "--token", VARNIX_SOURCE_DIR "/tests/control_token.txt"});
  Client g(guarded.address());
  EXPECT_EQ(g.status("live"), "error: send auth TOKEN first");
  EXPECT_EQ(g.status("auth nope"), "error: wrong token");
  EXPECT_EQ(g.status("auth s3cret-token"), "ok");
  EXPECT_EQ(g.status("control take"), "ok");
  EXPECT_EQ(g.ask("quit").back(), "ok");
  EXPECT_EQ(guarded.finish().status, 0);
}

// A signal ends a server through the program's quit path; a stale socket file is reused.
TEST(ControlServer, ASignalEndsTheServer) {
  Server s(kUnix);
  Client c(s.address());
  EXPECT_EQ(c.status("  log on  # the program's output"), "ok");
  EXPECT_EQ(c.status("control take"), "ok");
  const Lines home = c.ask("press PANEL_HOME_X");
  EXPECT_EQ(home, (Lines{"@ log 6.601 Start Homing...", "ok"}));
  s.signal(SIGTERM);
  c.drain();
  const auto r = s.finish();
  EXPECT_EQ(r.status, 0) << r.text();
  EXPECT_EQ(r.count("@ SIGTERM: ending the program"), 1) << r.text();
}

// Runs `/usr/bin/python3 SCRIPT ARG` and hands back its exit status and output.
std::pair<int, std::string> python(const std::string& script, const std::string& arg) {
  const std::string cmd = "/usr/bin/python3 '" + script + "' '" + arg + "' 2>&1";
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return {-1, ""};
  char buf[4096];
  for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int raw = pclose(p);
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, out};
}

// The example in examples/, standard library only, drives a session to its end.
TEST(ControlPython, TheStandardLibraryExampleRuns) {
  if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "/usr/bin/python3 is not installed";
  Server s({"--listen", "tcp:127.0.0.1:0"});
  const auto [status, out] = python(VARNIX_SOURCE_DIR "/examples/remote_client.py", s.address());
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out,
            "X at 12.5 mm\n"
            "X at 3.25 mm\n"
            "refused: set PANEL_TARGET_X 1000: PANEL_TARGET_X above the most allowed, 50\n"
            "live X 3.2500 idle homed\n"
            "live Y 0.0000 idle\n"
            "live Z 0.0000 idle\n"
            "exit 0\n");
  EXPECT_EQ(s.finish().status, 0);
}

// PyVISA, a client no one here wrote, over a raw socket resource.
TEST(ControlPython, PyVisaDrivesASession) {
  if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "/usr/bin/python3 is not installed";
  Server s({"--listen", "tcp:127.0.0.1:0"});
  const std::string port = s.address().substr(s.address().rfind(':') + 1);
  const auto [status, out] = python(VARNIX_SOURCE_DIR "/tests/pyvisa_client.py", port);
  if (status == 77) GTEST_SKIP() << out;
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out, "@ PANEL_POS_Y = 7.5\nok\nerror: unknown statement 'bogus'\n@ exit 0\n");
  EXPECT_EQ(s.finish().status, 0);
}

}  // namespace
