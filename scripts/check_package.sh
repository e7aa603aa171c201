#!/usr/bin/env bash
# The Debian package as a user gets it: builds it (make package), installs it with
# apt, runs the installed varnix-session on the installed demo script from another
# folder, runs the installed window under xvfb-run and ends it with SIGTERM (exit 0,
# the three stages closed), then removes the package. Run as root; CI runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
say() { echo "--- package: $*"; }
fail() { echo "FAIL (package): $*" >&2; exit 1; }

say "building the .deb (make package)"
rm -rf build/package
make --no-print-directory package
deb=$(ls build/package/varnix_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || fail "make package made no build/package/varnix_*.deb"
deb=$(realpath "$deb")
depends=$(dpkg-deb -f "$deb" Depends)
say "$(basename "$deb"), Depends: $depends"
for lib in libc6 libstdc++6 libqt6widgets6 qt6-qpa-plugins; do
  grep -q "\b$lib\b" <<<"$depends" || fail "Depends lacks $lib (shlibdeps not computed?)"
done

if dpkg-query -W -f='${Status}' varnix 2>/dev/null | grep -q 'ok installed'; then
  fail "a varnix package is installed already; remove it first (apt-get remove varnix)"
fi
say "installing it with apt"
apt-get install -y -qq "$deb" >/dev/null || fail "apt-get install $deb"
trap 'apt-get remove -y -qq varnix >/dev/null 2>&1 || true' EXIT
for f in /usr/bin/varnix /usr/bin/varnix-session /usr/share/varnix/Varnix_ui.uir \
         /usr/share/man/man1/varnix.1 /usr/share/man/man1/varnix-session.1 \
         /usr/share/applications/varnix.desktop /usr/share/icons/hicolor/scalable/apps/varnix.svg \
         /usr/share/doc/varnix/examples/demo.vxs; do
  [ -e "$f" ] || fail "$f is not installed"
done
say "$(varnix --version), $(varnix-session --version)"

work=$(mktemp -d)
cd "$work"
say "the installed varnix-session on the installed demo, from $work"
out=$(varnix-session /usr/share/doc/varnix/examples/demo.vxs 2>&1) || fail "varnix-session exited $?: $out"
grep -qx '@ exit 0' <<<"$out" || fail "the demo did not end cleanly: $out"

say "the installed window under xvfb-run for 8 s, then SIGTERM"
set +e
xvfb-run -a sh -c 'varnix > window.log 2>&1 & pid=$!; sleep 8; kill -TERM $pid; wait $pid'
code=$?
set -e
closed=$(grep -c '^Device Disconnected\.\.\.$' window.log || true)
[ "$code" -eq 0 ] || { cat window.log; fail "the window exited $code on SIGTERM"; }
[ "$closed" -eq 3 ] || { cat window.log; fail "$closed stages closed, not 3"; }
say "window: exit 0, 3 stages closed"
cd /
rm -rf "$work"

say "removing it"
apt-get remove -y -qq varnix >/dev/null || fail "apt-get remove varnix"
trap - EXIT
[ ! -e /usr/bin/varnix ] || fail "/usr/bin/varnix is still there after the removal"
say "built, installed, ran and removed"
