#!/usr/bin/env bash
# Every pause and time reading goes through the clock (platform/clock): a stray one
# would run in real time under the virtual clock and make tests slow or flaky.
set -u
cd "${1:-$(dirname "$0")/..}"
pattern='this_thread::sleep_(for|until)|steady_clock::now|system_clock::now|high_resolution_clock::now|\busleep\s*\(|\bnanosleep\s*\(|clock_gettime\s*\(|gettimeofday\s*\(|\btime\s*\(\s*(NULL|nullptr|0)\s*\)'
hits=$(grep -rnE "$pattern" --include='*.cpp' --include='*.h' --include='*.hpp' \
         driver panel scan platform tests bench 2>/dev/null | grep -v '^platform/clock/' \
         | grep -v '^bench/' )
if [ -n "$hits" ]; then
  echo "Time read or sleep outside the clock:"
  echo "$hits"
  exit 1
fi
echo "no stray time sources"
