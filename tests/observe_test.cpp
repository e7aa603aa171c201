// What the runner's `live` and `activity` show of the stages and of the program, end to
// end on virtual time: a homing seen live while the program's own display still holds
// the old value, the commands queued behind it, the emergency stop and a stalled stage.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "tests/session_harness.h"

using vxtest::run_session;

namespace {

struct LiveLine {
  std::string axis;
  double position = 0;
  std::vector<std::string> words;
  std::string reason;
  bool has(const std::string& w) const { return std::find(words.begin(), words.end(), w) != words.end(); }
};

// "live X -6.9980 moving-reverse homing "reason"" as the harness hands it (without "@ ").
LiveLine parse_live(const std::string& line) {
  LiveLine l;
  const auto quote = line.find('"');
  std::istringstream in(line.substr(0, quote));
  std::string verb;
  in >> verb >> l.axis >> l.position;
  for (std::string w; in >> w;) l.words.push_back(w);
  if (quote != std::string::npos) l.reason = line.substr(quote + 1, line.rfind('"') - quote - 1);
  return l;
}

std::vector<LiveLine> live_of(const vxtest::SessionResult& r) {
  std::vector<LiveLine> out;
  for (const auto& l : r.at("live ")) out.push_back(parse_live(l));
  return out;
}

TEST(Observe, HomingIsSeenLiveWhileTheDisplayHoldsTheOldValueAndClicksQueueBehindIt) {
  const std::string body =
      "start\npress PANEL_HOME_X\nwait 3\npress PANEL_JOG_Y_PLUS\npress PANEL_DISABLE_Z\n";
  const auto r = run_session(body + "live\nshow PANEL_POS_X\nwait 0.5\nlive\nactivity\nquit\n");
  ASSERT_EQ(r.status, 0) << r.text();
  const auto live = live_of(r);
  ASSERT_EQ(live.size(), 6u) << r.text();
  const LiveLine& x1 = live[0];
  const LiveLine& x2 = live[3];
  EXPECT_EQ(x1.axis, "X");
  for (const LiveLine* x : {&x1, &x2}) {
    EXPECT_TRUE(x->has("moving-reverse") && x->has("homing")) << r.text();
    EXPECT_TRUE(x->reason.empty()) << x->reason;
  }
  EXPECT_LT(x1.position, 0);
  EXPECT_LT(x2.position, x1.position);  // 2 mm/s towards the reverse limit
  EXPECT_EQ(r.count("@ PANEL_POS_X = 0"), 1) << r.text();  // the program has not refreshed

  const auto act = r.at("activity ");
  ASSERT_EQ(act.size(), 1u);
  EXPECT_EQ(act[0].rfind("activity \"Homing X: 3 s, gives up at 180 s\" queued ", 0), 0u) << act[0];
  std::istringstream names(act[0].substr(act[0].find("queued ") + 7));
  int n = 0;
  std::string colon;
  names >> n >> colon;
  std::vector<std::string> queued;
  for (std::string w; names >> w;) queued.push_back(w);
  EXPECT_EQ(static_cast<int>(queued.size()), n);
  const auto jog = std::find(queued.begin(), queued.end(), "PANEL_JOG_Y_PLUS");
  ASSERT_NE(jog, queued.end()) << act[0];
  ASSERT_NE(jog + 1, queued.end());
  EXPECT_EQ(*(jog + 1), "PANEL_DISABLE_Z");
  EXPECT_GE(std::count(queued.begin(), queued.end(), "PANEL_READ"), 6);  // the timer's, twice a second

  // The reads show under "live"; without them the trace is the session's as ever.
  const auto plain = run_session(body + "wait 0.5\nquit\n");
  std::vector<std::string> others, live_reads;
  for (const auto& t : r.trace()) {
    std::istringstream in(t);
    std::string time, thread;
    in >> time >> thread;
    (thread == "live" ? live_reads : others).push_back(t);
  }
  EXPECT_EQ(live_reads.size(), 2u * 3u * 3u);  // two readings of position, status, interlock
  EXPECT_EQ(others, plain.trace());
}

TEST(Observe, TheStatesAStageCannotMoveInAreNamedWithTheirReason) {
  struct Case {
    const char* script;
    const char* axis;
    const char* word;
    const char* reason;
  } cases[] = {
      {"start\nestop\nlive\n", "Z", "estop", "the emergency stop is engaged (Release to move)"},
      {"start\nfault stall Y\npress PANEL_JOG_Y_PLUS\nwait 1\nlive\n", "Y", "stalled", "stalled: busy without motion"},
      {"start\npress PANEL_DISABLE_X\nwait 0.2\nlive\n", "X", "disabled", "disabled (Enable it first)"},
      {"start\nset PANEL_TARGET_Y 40\npress PANEL_GOTO_Y\nwait 8\nlive\n", "Y", "forward-limit",
       "at the forward limit: it moves only in reverse"},
  };
  for (const Case& c : cases) {
    const auto r = run_session(std::string(c.script) + "quit\n", "");
    ASSERT_EQ(r.status, 0) << r.text();
    bool seen = false;
    for (const LiveLine& l : live_of(r))
      if (l.axis == c.axis) {
        seen = true;
        EXPECT_TRUE(l.has(c.word)) << c.script << r.text();
        EXPECT_EQ(l.reason, c.reason) << c.script;
      }
    EXPECT_TRUE(seen) << r.text();
  }
  // Released, the stages are free again.
  const auto r = run_session("start\nestop\nrelease\nlive\nactivity\nquit\n", "");
  for (const LiveLine& l : live_of(r)) EXPECT_EQ(l.words, std::vector<std::string>{"idle"}) << r.text();
  EXPECT_EQ(r.at("activity "), std::vector<std::string>{"activity \"Idle\" queued 0:"});
}

}  // namespace
