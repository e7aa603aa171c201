#!/usr/bin/env bash
# The installed layout: `cmake --install` into a fresh prefix lays out the programs,
# the panel file in the data folder, the examples, docs, manual pages and desktop
# entry; and the installed varnix-session, run from another folder, finds its panel
# file there and plays the demo script to a clean exit.
#   check_install.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
prefix=$root/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

fail() { echo "FAIL: $*"; exit 1; }
for f in bin/varnix-session share/varnix/Varnix_ui.uir share/doc/varnix/README.md share/doc/varnix/docs/stage-library.md \
         share/doc/varnix/examples/demo.vxs \
         share/man/man1/varnix.1 share/man/man1/varnix-session.1; do
  [ -e "$prefix/$f" ] || fail "$f is not installed"
done
if grep -q '^VARNIX_WITH_QT:BOOL=ON' "$build/CMakeCache.txt"; then
  for f in bin/varnix share/applications/varnix.desktop share/icons/hicolor/scalable/apps/varnix.svg; do
    [ -e "$prefix/$f" ] || fail "$f is not installed"
  done
  "$prefix/bin/varnix" --version | grep -qx 'varnix [0-9.]* (.*)' || fail "varnix --version"
fi
[ ! -e "$prefix/bin/Varnix_ui.uir" ] || fail "the panel file lies beside the programs"
grep -q '@PROJECT_VERSION@' "$prefix"/share/man/man1/*.1 && fail "a manual page lacks its version"

"$prefix/bin/varnix-session" --version | grep -qx 'varnix-session [0-9.]* (.*)' || fail "varnix-session --version"
help=$("$prefix/bin/varnix-session" --help)
grep -q '^usage: varnix-session' <<<"$help" || fail "varnix-session --help"

mkdir "$root/elsewhere"
cd "$root/elsewhere"
out=$("$prefix/bin/varnix-session" "$prefix/share/doc/varnix/examples/demo.vxs" 2>&1) ||
  fail "the installed varnix-session on the demo exited $?: $out"
grep -qx '@ exit 0' <<<"$out" || fail "no clean exit: $out"
echo "installed layout holds; the installed varnix-session ran the demo from $PWD"
