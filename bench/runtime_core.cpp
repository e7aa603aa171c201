// The panel run-time's core under load, on the real clock: SetCtrlVal and GetCtrlVal
// per second from one thread and from two at once (the scan worker writes displays
// while the main thread reads PANEL_SCANNING), and the cost of one read-all refresh
// (ReadAll: three positions and three status words from the simulated stages, 48
// control writes) with the three stages open and polling every 50 ms, as after
// start-up. The run-time has the program's panel loaded from Varnix_ui.uir and no host,
// so the figures are the core's own; a host (window, session runner) adds its work to
// every write.
// Each benchmark runs five times (unless told otherwise); the table shows the median
// and the spread of the five, as wall time per operation and operations per second of
// all threads together.
//   runtime_core [Google Benchmark options]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver/axs.h"
#include "panel/Varnix_ui.h"
#include "panel/app.h"
#include "platform/runtime/runtime.h"
#include "platform/stagelib/stage_library.h"
#include "platform/stagesim/simulator.h"

namespace {

vx::sim::Simulator* g_sim = nullptr;

// Two threads write different displays, as the worker and a refresh would; one thread
// alone writes the first.
int display_of(const benchmark::State& st) { return st.thread_index() == 0 ? PANEL_IX : PANEL_IY; }

void BM_SetCtrlVal_int(benchmark::State& st) {
  const int control = display_of(st);
  int v = 0;
  for (auto _ : st) benchmark::DoNotOptimize(SetCtrlVal(p1_h, control, v++));
  st.SetItemsProcessed(st.iterations());
  st.SetLabel("one int write (PANEL_IX, PANEL_IY)");
}
BENCHMARK(BM_SetCtrlVal_int)->Threads(1)->Threads(2)->UseRealTime();

void BM_SetCtrlVal_double(benchmark::State& st) {
  const int control = st.thread_index() == 0 ? PANEL_POS_X : PANEL_POS_Y;
  double v = 0;
  for (auto _ : st) benchmark::DoNotOptimize(SetCtrlVal(p1_h, control, v += 0.5));
  st.SetItemsProcessed(st.iterations());
  st.SetLabel("one double write (PANEL_POS_X, _Y)");
}
BENCHMARK(BM_SetCtrlVal_double)->Threads(1)->Threads(2)->UseRealTime();

void BM_GetCtrlVal_int(benchmark::State& st) {
  int v = 0;
  for (auto _ : st) benchmark::DoNotOptimize(GetCtrlVal(p1_h, PANEL_SCANNING, &v));
  st.SetItemsProcessed(st.iterations());
  st.SetLabel("one int read (PANEL_SCANNING)");
}
BENCHMARK(BM_GetCtrlVal_int)->Threads(1)->Threads(2)->UseRealTime();

void BM_GetCtrlVal_double(benchmark::State& st) {
  double v = 0;
  for (auto _ : st) benchmark::DoNotOptimize(GetCtrlVal(p1_h, PANEL_DX, &v));
  st.SetItemsProcessed(st.iterations());
  st.SetLabel("one double read (PANEL_DX)");
}
BENCHMARK(BM_GetCtrlVal_double)->Threads(1)->Threads(2)->UseRealTime();

// One thread writes a display while the other reads the scanning LED: the scan's pair.
void BM_SetAndGet(benchmark::State& st) {
  int v = 0;
  if (st.thread_index() == 0)
    for (auto _ : st) benchmark::DoNotOptimize(SetCtrlVal(p1_h, PANEL_IX, v++));
  else
    for (auto _ : st) benchmark::DoNotOptimize(GetCtrlVal(p1_h, PANEL_SCANNING, &v));
  st.SetItemsProcessed(st.iterations());
  st.SetLabel("a write on one thread, a read on the other");
}
BENCHMARK(BM_SetAndGet)->Threads(2)->UseRealTime();

void BM_ReadAll(benchmark::State& st) {
  int n = 0;
  for (auto _ : st) {
    ReadAll();
    // The simulator keeps a trace of every library call: empty it now and then, outside
    // the timing, so that the figure does not include an ever-growing vector.
    if (++n % 4096 == 0) {
      st.PauseTiming();
      g_sim->clear_trace();
      st.ResumeTiming();
    }
  }
  st.SetItemsProcessed(st.iterations());
  st.SetLabel("one refresh: 6 library calls, 48 writes");
}
BENCHMARK(BM_ReadAll)->UseRealTime();

// Prints one table row per benchmark from its repetitions. The wall time per operation
// is the time one thread spent divided by the operations of all threads, so that for two
// threads it is the inverse of their joint throughput.
class TableReporter final : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context&) override { return true; }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred || r.iterations == 0) continue;
      const std::string name = r.run_name.function_name;
      if (!rows_.count({name, r.threads})) order_.push_back({name, r.threads});
      rows_[{name, r.threads}].push_back(r.real_accumulated_time / static_cast<double>(r.iterations));
      labels_[name] = r.report_label;
    }
  }
  void Finalize() override {
    std::printf("| %-22s | %7s | %10s | %15s | %19s | %-42s |\n", "operation", "threads", "ns per op",
                "ops per second", "spread ns (min-max)", "what one op is");
    std::printf("|------------------------|---------|------------|-----------------|---------------------|"
                "--------------------------------------------|\n");
    for (const auto& key : order_) {
      std::vector<double> t = rows_[key];
      std::sort(t.begin(), t.end());
      const double median = t[t.size() / 2];
      std::printf("| %-22s | %7lld | %10.1f | %15.0f | %8.1f - %8.1f | %-42s |\n", key.first.c_str() + 3,
                  static_cast<long long>(key.second), median * 1e9, 1 / median, t.front() * 1e9,
                  t.back() * 1e9, labels_[key.first].c_str());
    }
  }

 private:
  std::vector<std::pair<std::string, int64_t>> order_;
  std::map<std::pair<std::string, int64_t>, std::vector<double>> rows_;
  std::map<std::string, std::string> labels_;
};

}  // namespace

int main(int argc, char** argv) {
  // Our defaults go first, so that options given on the command line win.
  std::vector<char*> args{argv[0]};
  char reps[] = "--benchmark_repetitions=5";
  char min_time[] = "--benchmark_min_time=0.2";
  args.push_back(reps);
  args.push_back(min_time);
  for (int k = 1; k < argc; k++) args.push_back(argv[k]);
  int n = static_cast<int>(args.size());
  args.push_back(nullptr);
  argc = n;
  argv = args.data();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

  // The run-time binds TimerCB from the program's table, as it does in the program.
  vx::rt::Runtime runtime;  // on the process's real clock
  vx::rt::RuntimeScope runtime_scope(runtime);
  InitCVIRTEEx(const_cast<ProgramModule*>(&programModule), nullptr, nullptr);
  p1_h = LoadPanel(0, "Varnix_ui.uir", PANEL);
  if (p1_h < 0) {
    std::fprintf(stderr, "runtime_core: cannot load Varnix_ui.uir (%d)\n", p1_h);
    return 1;
  }

  // The stages as start-up leaves them, without its fixed pauses.
  vx::sim::Simulator sim;
  vx::sim::SimulatorScope sim_scope(sim);
  g_sim = &sim;
  TLI_BuildDeviceList();
  for (const char* serial : serialNumbers) {
    ISC_Open(serial);
    ISC_StartPolling(serial, 50);
  }

  std::printf("Run-time core: the program's panel loaded, no host, real clock; the stages open and\n"
              "polling every 50 ms. Median of the repetitions; ops per second of all threads.\n\n");
  std::fflush(stdout);
  TableReporter table;
  benchmark::RunSpecifiedBenchmarks(&table);
  benchmark::Shutdown();

  for (const char* serial : serialNumbers) {
    ISC_StopPolling(serial);
    ISC_Close(serial);
  }
  return 0;
}
