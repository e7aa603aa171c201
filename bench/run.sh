#!/usr/bin/env bash
# The benchmarks, one after the other, each printing its table, after a description of
# the machine: scan pacing against the preview (real time, about a minute), the
# preview's speed, idle cost (headless and, when
# built, windowed, with and without remote clients: about two minutes), the run-time core (Google Benchmark,
# about twenty seconds) and virtual-time speed (a few seconds). `make bench` builds first;
# BUILD_DIR picks another build tree than build/, SCAN_RUNS repeats the pacing scan.
# None of this is part of the test suite: the figures depend on the machine and its load.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
BIN=$BUILD_DIR/bin
SCAN_RUNS=${SCAN_RUNS:-1}

for b in varnix-session scan_pacing preview_speed idle_cost virtual_speed control_latency control_load; do
  if [ ! -x "$BIN/$b" ]; then
    echo "bench: $BIN/$b is missing; build first (make bench, or BUILD_DIR=...)" >&2
    exit 1
  fi
done

echo "# Varnix benchmarks ($(date -u +%Y-%m-%dT%H:%M:%SZ))"
echo
echo "Machine"
echo "- cores (nproc): $(nproc)"
echo "- CPU: $(grep -m1 'model name' /proc/cpuinfo | sed 's/^[^:]*: *//')"
echo "- memory: $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
echo "- kernel: $(uname -sr)"
echo "- load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "- build: $BUILD_DIR ($(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$BUILD_DIR/CMakeCache.txt" 2>/dev/null || echo '?'))"
echo

echo "## 1. Scan pacing"
echo
"$BIN/scan_pacing" "$BIN/varnix-session" bench/scan_5x5x2.vxs "$SCAN_RUNS"
echo
echo "### Preview speed"
echo
"$BIN/preview_speed"
echo
echo "## 2. Idle cost"
echo
"$BIN/idle_cost" "$BIN" bench
echo
echo "## 3. Run-time core"
echo
# Two threads contend only when both get a core: on a busy machine they take turns and
# the two-thread rows read like the one-thread rows. The load says which it was.
echo "load average now: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
# Google Benchmark says on standard error that its own library is a debug build (the
# distribution's package); that concerns its bookkeeping, not the code measured.
if [ -x "$BIN/runtime_core" ]; then
  "$BIN/runtime_core" 2> >(grep -v "Library was built as DEBUG" >&2)
else
  echo "runtime_core: not built (Google Benchmark was not found at configure time)"
fi
echo
echo "## 4. Virtual-time speed"
echo
"$BIN/virtual_speed" "$BIN/varnix-session" bench/scan_10x10x3.vxs
echo
echo "## 7. The control server"
echo
"$BIN/control_latency" "$BIN/varnix-session"
echo
"$BIN/control_load" "$BIN/varnix-session" 100
echo
echo "## 8. The TANGO device server"
echo
if [ -x "$BIN/varnix-tango" ] && /usr/bin/python3 -c 'import tango' 2>/dev/null; then
  /usr/bin/python3 bench/tango_bench.py "$BIN"
else
  echo "varnix-tango or PyTango (python3-tango) is missing: skipped"
fi
echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
