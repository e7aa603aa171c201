#!/usr/bin/env bash
# The stage-library seam (docs/stage-library.md), from both sides:
#  1. the simulator as a separate shared library: the sanitizer build (`make asan`, run
#     before this) links it that way and its suite passed; here the programs must take
#     every stage call from it;
#  2. a stand-in for a lab's library that exports only the C functions, given by path:
#     the programs must build without the simulator, pass the tests that need none,
#     run a real-time session on it, and refuse the simulator's faults and trace.
# CI runs it after `make test` and `make asan`.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
say() { echo "--- stage library: $*"; }
fail() { echo "FAIL (stage library): $*" >&2; exit 1; }
configure() { cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${@:2}" >/dev/null; }
# A tool's whole output is taken before it is searched: `tool | grep -q` under pipefail
# fails at random when grep exits at the first match and the tool then dies of SIGPIPE.

shared=build-asan
say "1. the simulator as a shared library, in $shared/ (make asan)"
grep -q '^VARNIX_STAGE_LIBRARY:.*=varnix_stagesim_shared$' "$shared/CMakeCache.txt" ||
  fail "$shared is not built on the simulator's shared library: run make asan first"
for p in varnix-session varnix; do
  libs=$(ldd "$shared/bin/$p")
  grep -q "libvarnix-stagesim.so => $PWD/$shared/lib/" <<<"$libs" ||
    fail "$p does not load $shared/lib/libvarnix-stagesim.so: $libs"
  defined=$(nm -D --defined-only "$shared/bin/$p")
  if grep -qE ' (TLI|ISC|SL)_' <<<"$defined"; then
    fail "$p defines stage-library functions itself"
  fi
done
say "varnix and varnix-session load libvarnix-stagesim.so"

say "2. a library that exports only the C functions, given by path"
cmake --build build --target varnix_stagelib_standin
lib=$PWD/build/lib/libvarnix-stagelib-standin.so
extra=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -vE '^(TLI|ISC|SL)_' || true)
[ -z "$extra" ] || fail "the stand-in exports more than the C functions: $extra"
other=build-otherlib
configure "$other" -DVARNIX_STAGE_LIBRARY="$lib"
cmake --build "$other" -j "$jobs"
libs=$(ldd "$other/bin/varnix-session")
grep -q "libvarnix-stagelib-standin.so => $lib" <<<"$libs" ||
  fail "varnix-session does not load $lib: $libs"
symbols=$(nm -C "$other/bin/varnix-session" "$other/bin/varnix")
if grep -q 'vx::sim::' <<<"$symbols"; then
  fail "a program built against another library still holds the simulator"
fi
say "the programs are built without the simulator; running the tests that need none"
ctest --test-dir "$other" -j "$jobs" --output-on-failure

say "a real-time session on the stand-in: start-up, readouts, a move, quit"
out=$("$other/bin/varnix-session" - 2>&1 <<'END'
start
expect PANEL_CONNECTED == 1
set PANEL_TARGET_X 0.5
press PANEL_GOTO_X
wait 1.5
press PANEL_READ
wait 0.6
expect PANEL_POS_X == 0.5
quit
END
) || fail "the session exited $?: $out"
grep -qx '@ exit 0' <<<"$out" || fail "no clean exit: $out"
[ "$(grep -c '^Device Disconnected\.\.\.$' <<<"$out")" -eq 3 ] || fail "not three stages closed: $out"

say "the simulator's faults and trace are refused"
set +e
err=$(printf 'fault stall X\nstart\n' | "$other/bin/varnix-session" - 2>&1); code=$?
set -e
[ "$code" -eq 2 ] && grep -q 'needs the simulated stages' <<<"$err" || fail "a fault statement: exit $code: $err"
set +e
err=$(printf 'start\n' | "$other/bin/varnix-session" --trace - 2>&1); code=$?
set -e
[ "$code" -eq 2 ] && grep -q 'needs the simulated stages' <<<"$err" || fail "--trace: exit $code: $err"
say "both sides of the seam hold"
