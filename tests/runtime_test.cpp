// The panel run-time core on the virtual clock: timer ticks only in the owner thread's
// event processing, merged when it is busy; the user-event queue; control values across
// threads and their type checks; the thread pool's end callback; binding by name; where
// a bare panel-file name is found.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/clock/clock.h"
#include "platform/runtime/runtime.h"
#include "tests/virtual_time.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::atomic<int> g_ticks{0};
std::thread::id g_tick_thread;
std::mutex g_tick_mu;
std::atomic<int> g_commits{0};
std::thread::id g_commit_thread;

}  // namespace

// Bound by name from the test panel file, through the table below.
extern "C" int TestTickCB(int, int, int event, void*, int, int) {
  if (event == EVENT_TIMER_TICK) {
    std::lock_guard lk(g_tick_mu);
    g_tick_thread = std::this_thread::get_id();
    g_ticks++;
  }
  return 0;
}

extern "C" int TestCommitCB(int, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) {
    std::lock_guard lk(g_tick_mu);
    g_commit_thread = std::this_thread::get_id();
    g_commits++;
  }
  return 0;
}

const CallbackTableEntry kCallbacks[] = {{"TestTickCB", TestTickCB}, {"TestCommitCB", TestCommitCB}};
const ProgramModule kModule = {kCallbacks, 2, nullptr, 0};

namespace {

const char* kPanel = R"(version = 1
[[panel]]
resource = 1
name = "P"
title = "Test"
width = 200
height = 100

[[panel.control]]
id = 2
name = "P_GO"
kind = "command"
label = "Go"

[[panel.control]]
id = 3
name = "P_COUNT"
kind = "numeric-input"
type = "int"
label = "Count"
initial = 5

[[panel.control]]
id = 4
name = "P_LEVEL"
kind = "numeric-display"
type = "double"
label = "Level"
initial = 0.5

[[panel.control]]
id = 5
name = "P_TIMER"
kind = "timer"
label = "Tick"
interval = 0.5
enabled = true
callback = "TestTickCB"
)";

struct RunTime : vxtest::OnVirtualTime {
  vx::rt::Runtime rt;
  vx::rt::RuntimeScope rs{rt};
  std::string dir;

  void SetUp() override {
    char tmpl[] = "/tmp/vxrtXXXXXX";
    dir = mkdtemp(tmpl);
    g_ticks = 0;
    g_commits = 0;
    ASSERT_EQ(InitCVIRTEEx(const_cast<ProgramModule*>(&kModule), 0, 0), 1);
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string write(const std::string& text) {
    std::ofstream(dir + "/panel.uir") << text;
    return dir + "/panel.uir";
  }
  int load() { return LoadPanel(0, write(kPanel).c_str(), 1); }
};

TEST_F(RunTime, TicksComeOnlyInTheOwnersEventProcessingAndMergeWhenBusy) {
  const int p = load();
  ASSERT_GT(p, 0);
  clk.sleep_for(2200ms);  // busy: four ticks fell due
  EXPECT_EQ(g_ticks.load(), 0);
  ProcessSystemEvents();  // delivers one, returns
  EXPECT_EQ(g_ticks.load(), 1);
  ProcessSystemEvents();
  EXPECT_EQ(g_ticks.load(), 1);
  clk.sleep_for(300ms);  // the next falls at 2.5 s, on the interval's grid
  ProcessSystemEvents();
  EXPECT_EQ(g_ticks.load(), 2);

  // Another thread's event processing never runs them.
  std::thread other = spawn("other", [&] {
    clk.sleep_for(1s);
    ProcessSystemEvents();
  });
  clk.sleep_for(1s);
  other.join();
  EXPECT_EQ(g_ticks.load(), 2);
  ProcessSystemEvents();
  EXPECT_EQ(g_ticks.load(), 3);
  EXPECT_EQ(g_tick_thread, std::this_thread::get_id());
}

TEST_F(RunTime, GetUserEventTakesEventsInOrderAndRunsTicksWhileWaiting) {
  const int p = load();
  QueueUserEvent(EVENT_COMMIT, p, 3);
  rt.commit(p, 2);
  int panel = 0, control = 0;
  EXPECT_EQ(GetUserEvent(1, &panel, &control), EVENT_COMMIT);
  EXPECT_EQ(control, 3);
  EXPECT_EQ(GetUserEvent(1, &panel, &control), EVENT_COMMIT);
  EXPECT_EQ(control, 2);
  EXPECT_EQ(panel, p);
  EXPECT_EQ(GetUserEvent(0, &panel, &control), 0);  // nothing there, no wait

  std::thread op = spawn("operator", [&] {
    clk.sleep_for(1200ms);
    rt.commit(p, 2);
  });
  EXPECT_EQ(GetUserEvent(1, &panel, &control), EVENT_COMMIT);
  EXPECT_EQ(clk.now(), vx::Time(1200ms));
  EXPECT_EQ(g_ticks.load(), 2);  // at 0.5 and 1.0 s, while it waited
  op.join();
}

TEST_F(RunTime, ValuesCrossThreadsAndMismatchesLeaveTheVariableAlone) {
  const int p = load();
  std::thread writer = spawn("writer", [&] {
    for (int i = 0; i < 1000; i++) SetCtrlVal(p, 3, i);
    SetCtrlVal(p, 4, 2.25);
  });
  int seen = 0;
  for (int i = 0; i < 1000; i++) GetCtrlVal(p, 3, &seen);
  writer.join();
  GetCtrlVal(p, 3, &seen);
  EXPECT_EQ(seen, 999);
  double level = 0;
  EXPECT_EQ(GetCtrlVal(p, 4, &level), 0);
  EXPECT_EQ(level, 2.25);

  testing::internal::CaptureStderr();
  double d = -7;
  int n = -7;
  EXPECT_EQ(GetCtrlVal(p, 3, &d), UIETypeMismatch);
  EXPECT_EQ(GetCtrlVal(p, 3, &d), UIETypeMismatch);  // reported once
  EXPECT_EQ(SetCtrlVal(p, 4, 1), UIETypeMismatch);
  EXPECT_EQ(GetCtrlVal(p, 2, &n), UIETypeMismatch);    // a command holds nothing
  EXPECT_EQ(GetCtrlVal(p, 99, &n), UIEInvalidControl);
  EXPECT_EQ(GetCtrlVal(p + 50, 3, &n), UIEInvalidPanel);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(d, -7);
  EXPECT_EQ(n, -7);
  EXPECT_EQ(rt.value(p, 4)->d, 2.25);
  EXPECT_NE(err.find("P_COUNT (id 3) of panel.uir holds int, but was read as double"), std::string::npos) << err;
  EXPECT_EQ(err.find("P_COUNT"), err.rfind("P_COUNT")) << err;
  EXPECT_NE(err.find("has no control 99"), std::string::npos) << err;
}

std::atomic<int> g_order{0};
std::thread::id g_fn_thread, g_cb_thread;
int g_fn_at = 0, g_cb_at = 0, g_cb_value = 0;
unsigned g_cb_event = 0;

int PoolFn(void*) {
  g_fn_thread = std::this_thread::get_id();
  g_fn_at = ++g_order;
  vx::clock().sleep_for(5s);
  return 42;
}
void PoolEnd(CmtThreadPoolHandle, CmtThreadFunctionID, unsigned event, int value, void*) {
  g_cb_thread = std::this_thread::get_id();
  g_cb_at = ++g_order;
  g_cb_event = event;
  g_cb_value = value;
}

TEST_F(RunTime, PoolRunsTheFunctionThenItsEndCallbackOnTheSameThread) {
  CmtThreadPoolHandle pool = 0;
  ASSERT_EQ(CmtNewThreadPool(2, &pool), 0);
  CmtThreadFunctionID id = 0;
  ASSERT_EQ(CmtScheduleThreadPoolFunctionAdv(pool, PoolFn, nullptr, DEFAULT_THREAD_PRIORITY, PoolEnd,
                                             EVENT_TP_THREAD_FUNCTION_END, nullptr, 0, &id),
            0);
  EXPECT_GT(id, 0);
  EXPECT_EQ(clk.now(), vx::Time(0));  // returned at once
  clk.sleep_for(6s);
  EXPECT_EQ(g_fn_at, 1);
  EXPECT_EQ(g_cb_at, 2);
  EXPECT_EQ(g_cb_event, static_cast<unsigned>(EVENT_TP_THREAD_FUNCTION_END));
  EXPECT_EQ(g_cb_value, 42);
  EXPECT_EQ(g_fn_thread, g_cb_thread);
  EXPECT_NE(g_fn_thread, std::this_thread::get_id());
}

std::atomic<bool> g_long_done{false};
int LongFn(void*) {
  Delay(30);
  g_long_done = true;
  return 0;
}

// The joiner is enrolled with the clock: joining outside it would hold virtual time still
// under a function that waits for time to pass, for ever.
TEST_F(RunTime, EndingThePoolWaitsOnTheClockForAFunctionStillRunning) {
  CmtThreadPoolHandle pool = 0;
  ASSERT_EQ(CmtNewThreadPool(2, &pool), 0);
  ASSERT_EQ(CmtScheduleThreadPoolFunctionAdv(pool, LongFn, nullptr, DEFAULT_THREAD_PRIORITY, nullptr, 0, nullptr, 0,
                                             nullptr),
            0);
  clk.sleep_for(1s);
  EXPECT_FALSE(rt.join_pool(clk.now() + 5s));  // still running: reported, not waited out
  EXPECT_FALSE(g_long_done);
  EXPECT_TRUE(rt.join_pool(vx::kForever));
  EXPECT_TRUE(g_long_done);
  EXPECT_EQ(clk.now(), vx::Time(30s));
  // A pool that has ended takes nothing more.
  EXPECT_LT(CmtScheduleThreadPoolFunctionAdv(pool, LongFn, nullptr, DEFAULT_THREAD_PRIORITY, nullptr, 0, nullptr, 0,
                                             nullptr),
            0);
}

int WaitedFn(void*) {
  Delay(5.2);
  return 0;
}

// The wait for a scheduled function returns once its end callback has returned,
// running the waiting thread's timer ticks meanwhile; at once for a function that has
// ended or an id never given out.
TEST_F(RunTime, WaitingForAFunctionEndsAfterItsEndCallbackAndServesTicks) {
  ASSERT_GT(load(), 0);
  CmtThreadPoolHandle pool = 0;
  ASSERT_EQ(CmtNewThreadPool(2, &pool), 0);
  CmtThreadFunctionID id = 0;
  g_order = 0;
  ASSERT_EQ(CmtScheduleThreadPoolFunctionAdv(pool, WaitedFn, nullptr, DEFAULT_THREAD_PRIORITY, PoolEnd,
                                             EVENT_TP_THREAD_FUNCTION_END, nullptr, 0, &id),
            0);
  EXPECT_EQ(rt.unfinished_functions(), 1);
  EXPECT_EQ(CmtWaitForThreadPoolFunctionCompletion(pool, id, OPT_TP_PROCESS_EVENTS_WHILE_WAITING), 0);
  EXPECT_EQ(clk.now(), vx::Time(5200ms));
  EXPECT_EQ(g_cb_at, 1);  // the end callback had run
  EXPECT_EQ(rt.unfinished_functions(), 0);
  EXPECT_EQ(g_ticks, 10);  // the panel's 0.5 s timer, served while waiting
  EXPECT_EQ(CmtWaitForThreadPoolFunctionCompletion(pool, id, OPT_TP_DO_NOT_PROCESS_EVENTS), 0);
  EXPECT_EQ(CmtWaitForThreadPoolFunctionCompletion(pool, id + 100, OPT_TP_DO_NOT_PROCESS_EVENTS), 0);
  EXPECT_LT(CmtWaitForThreadPoolFunctionCompletion(pool + 1, id, OPT_TP_DO_NOT_PROCESS_EVENTS), 0);
  EXPECT_EQ(clk.now(), vx::Time(5200ms));
}

// The event guard withholds what it refuses, tells the host why, and hands the program
// the events behind it.
TEST_F(RunTime, TheEventGuardWithholdsWhatItRefusesAndTellsTheHost) {
  struct Told : vx::rt::Host {
    std::vector<std::string> refusals;
    void refused(int, int control, const std::string& reason) override {
      refusals.push_back(std::to_string(control) + ": " + reason);
    }
  } host;
  vx::rt::Runtime guarded(&host);
  vx::rt::RuntimeScope scope(guarded);
  guarded.set_event_guard([](int, int control) -> std::optional<std::string> {
    if (control == 3) return "not now";
    return std::nullopt;
  });
  QueueUserEvent(EVENT_COMMIT, 1, 3);
  QueueUserEvent(EVENT_COMMIT, 1, 2);
  int panel = 0, control = 0;
  EXPECT_EQ(GetUserEvent(VAL_NO_WAIT, &panel, &control), EVENT_COMMIT);
  EXPECT_EQ(control, 2);
  EXPECT_EQ(host.refusals, std::vector<std::string>{"3: not now"});
  guarded.set_event_guard({});
  QueueUserEvent(EVENT_COMMIT, 1, 3);
  EXPECT_EQ(GetUserEvent(VAL_NO_WAIT, &panel, &control), EVENT_COMMIT);
  EXPECT_EQ(control, 3);
}

TEST_F(RunTime, TimersMadeByProgramCodeStartOneIntervalAfterEnabling) {
  const int p = NewPanel(0, "Hidden", 0, 0, 200, 200);
  const int t = NewCtrl(p, CTRL_TIMER, "T", 0, 0);
  SetCtrlAttribute(p, t, ATTR_CALLBACK_FUNCTION_POINTER, TestTickCB);
  SetCtrlAttribute(p, t, ATTR_ENABLED, 0);
  SetCtrlAttribute(p, t, ATTR_INTERVAL, 10.0);
  clk.sleep_for(3s);
  SetCtrlAttribute(p, t, ATTR_ENABLED, 1);
  clk.sleep_for(9999ms);
  ProcessSystemEvents();
  EXPECT_EQ(g_ticks.load(), 0);
  clk.sleep_for(1ms);
  ProcessSystemEvents();
  EXPECT_EQ(g_ticks.load(), 1);
  SetCtrlAttribute(p, t, ATTR_ENABLED, 0);
  clk.sleep_for(30s);
  ProcessSystemEvents();
  EXPECT_EQ(g_ticks.load(), 1);
  EXPECT_FALSE(rt.displayed(p));
}

// Names are bound from the program's table only: a function of the process that the
// table does not list ("exit") is as unknown as a name nobody defines.
TEST_F(RunTime, ACallbackOutsideTheProgramsTableIsALoadErrorNamingIt) {
  for (const char* name : {"NoSuchCB", "exit", "abort"}) {
    SCOPED_TRACE(name);
    std::string text = kPanel;
    text.replace(text.find("TestTickCB"), 10, name);
    testing::internal::CaptureStderr();
    EXPECT_EQ(LoadPanel(0, write(text).c_str(), 1), UIECallbackNotFound);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(std::string("'") + name + "'"), std::string::npos) << err;
    EXPECT_NE(err.find("panel.uir:31:1:"), std::string::npos) << err;
    EXPECT_NE(err.find("TestTickCB, TestCommitCB"), std::string::npos) << err;
  }
}

// A commit of a control that names a callback runs the callback in the panel owner's
// event processing, at once, and never reaches the event queue; other commits queue.
TEST_F(RunTime, ACommitOfACallbackControlRunsItInTheOwnersEventProcessing) {
  std::string text = kPanel;
  text += "\n[[panel.control]]\nid = 6\nname = \"P_STOP\"\nkind = \"command\"\nlabel = \"Stop\"\n"
          "callback = \"TestCommitCB\"\n";
  const int p = LoadPanel(0, write(text).c_str(), 1);
  ASSERT_GT(p, 0);
  std::thread other([&] { rt.commit(p, 6); });
  other.join();
  EXPECT_EQ(g_commits.load(), 0);  // not in the committing thread
  ProcessSystemEvents();
  EXPECT_EQ(g_commits.load(), 1);
  EXPECT_EQ(g_commit_thread, std::this_thread::get_id());
  rt.commit(p, 2);
  rt.commit(p, 6);
  int panel = 0, control = 0;
  GetUserEvent(1, &panel, &control);  // runs the callback on its way to the queued event
  EXPECT_EQ(control, 2);
  EXPECT_EQ(g_commits.load(), 2);
  EXPECT_EQ(GetUserEvent(0, &panel, &control), 0) << "the callback's commit was queued too";
}

TEST_F(RunTime, MissingOrMalformedFilesFailWithAMessage) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(LoadPanel(0, (dir + "/absent.uir").c_str(), 1), UIEFileNotFound);
  EXPECT_EQ(LoadPanel(0, write("version = 1\n[[panel]\n").c_str(), 1), UIEBadFile);
  EXPECT_LT(LoadPanel(0, write(kPanel).c_str(), 7), 0);  // no such resource
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("absent.uir"), std::string::npos) << err;
  EXPECT_NE(err.find("panel.uir:2:"), std::string::npos) << err;
  EXPECT_NE(err.find("resource id 7"), std::string::npos) << err;
}

// The working directory, then beside the executable, then the installed data folder
// (relative to the executable, as an installation lays it out); a name found nowhere,
// or one with a folder, is left as it is.
TEST(PanelPath, WorkingDirectoryThenBesideTheExecutableThenTheDataFolder) {
  const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
  const fs::path data = (bin / VARNIX_DATA_FROM_BIN).lexically_normal();
  const std::string name = "resolve_" + std::to_string(::getpid()) + ".uir";
  fs::create_directories(data);
  auto make = [&](const fs::path& p) { std::ofstream(p) << "version = 1\n"; };
  auto remove = [&] {
    fs::remove(data / name);
    fs::remove(bin / name);
    fs::remove(fs::current_path() / name);
  };
  remove();

  EXPECT_EQ(vx::rt::resolve_panel_path(name), name);
  make(data / name);
  EXPECT_EQ(vx::rt::resolve_panel_path(name), (data / name).string());
  make(bin / name);
  EXPECT_EQ(vx::rt::resolve_panel_path(name), (bin / name).string());
  make(fs::current_path() / name);
  EXPECT_EQ(vx::rt::resolve_panel_path(name), name);
  EXPECT_EQ(vx::rt::resolve_panel_path("sub/" + name), "sub/" + name);
  remove();
}

}  // namespace
