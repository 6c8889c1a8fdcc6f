#!/usr/bin/env bash
# Runs the Windows build's tests under Wine: every unit and gui test, on Qt's
# offscreen platform, then the end-to-end test against an Orthanc archive on
# loopback (a Linux one, started by tools/archive.sh), then the installer
# (scripts/installer/test-installer.sh: install, the installed station's
# window against Orthanc, upgrade, uninstall, in a fresh Wine prefix).
#
#   bash scripts/build-windows.sh && bash scripts/test-windows.sh [name-regex]
#
# Ends with "N passed, N failed" counted over the test programs, and exits
# non-zero when one failed.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cache="${BREVANT_WINDOWS_CACHE:-$HOME/.cache/brevant-windows}"
build="${BREVANT_WINDOWS_BUILD_DIR:-$root/build-windows}"
filter="${1:-.}"
WINE=/usr/lib/wine/wine64
TEST_TIMEOUT=${BREVANT_WINDOWS_TEST_TIMEOUT:-600}

[ -x "$WINE" ] || { echo "no $WINE: run scripts/build-windows.sh first" >&2; exit 1; }
[ -d "$build/bin" ] || { echo "no $build/bin: run scripts/build-windows.sh first" >&2; exit 1; }
# The archive and a display for Wine's windowing come from Debian; xdotool
# drives the installed station's window.
bash "$root/scripts/install-deps.sh"
if ! command -v xdotool >/dev/null; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends xdotool >/dev/null
fi

# A Wine prefix of the tests' own, so that a test cannot spoil the build's.
export WINEPREFIX="$cache/wine-tests"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine keeps Unix variables named QT_* from Windows programs; WINEQT_* reach
# them as QT_*. Without a console QtTest would log to the debugger only.
export WINEQT_QPA_PLATFORM=offscreen
export WINEQT_FORCE_STDERR_LOGGING=1
# QtTest 6.4's watchdog (QTEST_FUNCTION_TIMEOUT, 300 s by default) is meant
# to bound each row of a data-driven test function on its own, but its thread
# can miss the end of one row and the start of the next, which come
# microseconds apart: it wakes, finds the next row already begun, and waits
# on for the deadline it took at an earlier row. It then measures several
# rows together and reports whichever row runs at the deadline as timed out
# (with Qt's "QObject: Cannot create children ..." line from its own exit
# path); the "function time" it prints is that of all those rows. Under Wine
# each row of the end-to-end test takes 30 to 90 s (most of it writing and
# uploading the four full-size images), so its seven transfer syntaxes
# together pass 300 s. Its limit is set just under the program's own, which
# bounds each test program as a whole; the tests' own waits bound each step.
export QTEST_FUNCTION_TIMEOUT=$(((TEST_TIMEOUT - 20) * 1000))
# The offscreen platform reads its fonts from one folder: Wine's, with Tahoma.
export WINEQT_QPA_FONTDIR='Z:\usr\share\wine\fonts'
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$WINE" wineboot --init >/dev/null 2>&1 || true
  /usr/lib/wine/wineserver -w || true
fi

# Wine's user32 wants an X display even for offscreen Qt; one Xvfb for the run.
xvfb_pid=""
archive_state=""
cleanup() {
  if [ -n "$archive_state" ]; then "$root/tools/archive.sh" stop "$archive_state" >/dev/null 2>&1 || true; fi
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 90 130); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1600x1200x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$n"
    break
  done
  sleep 1
fi

# A Windows path for a Unix one, for what the programs read themselves.
winpath() {
  echo "Z:$(realpath "$1" | sed 's#/#\\#g')"
}

passed=0
failed=0
failures=()
logs="$build/test-logs"
mkdir -p "$logs"

# run_test NAME: one test program; its log goes to test-logs/NAME.log.
run_test() {
  local name=$1 exe="$build/bin/$1.exe" status=0 start took
  if [ ! -f "$exe" ]; then
    echo "MISSING $name"
    failed=$((failed + 1))
    failures+=("$name (not built)")
    return
  fi
  start=$(date +%s)
  (cd "$build/bin" && timeout -k 10 "$TEST_TIMEOUT" "$WINE" "$exe") >"$logs/$name.log" 2>&1 || status=$?
  took=$(($(date +%s) - start))
  if [ $status -eq 0 ]; then
    passed=$((passed + 1))
    printf 'PASS %-28s %4ds  %s\n' "$name" "$took" "$(grep -m1 '^Totals:' "$logs/$name.log" || true)"
  else
    failed=$((failed + 1))
    failures+=("$name")
    printf 'FAIL %-28s %4ds  exit %d  %s\n' "$name" "$took" "$status" \
      "$(grep -m1 '^Totals:' "$logs/$name.log" || echo 'no totals')"
    grep -E '^(FAIL!|QWARN|QFATAL)|Loc: ' "$logs/$name.log" | head -n 20 | sed 's/^/    /'
  fi
}

# The unit and gui tests as CMake knows them.
mapfile -t tests < <(cd "$build" && ctest -N -L '^(unit|gui)$' | sed -n 's/^ *Test *#[0-9]*: //p')
for t in "${tests[@]}"; do
  [[ "$t" =~ $filter ]] && run_test "$t"
done

# The end-to-end test: the archive runs on Linux, the station under Wine.
if [[ StationEndToEndTest =~ $filter ]]; then
  archive_state="$build/archive-state"
  "$root/tools/archive.sh" stop "$archive_state" >/dev/null 2>&1 || true
  "$root/tools/archive.sh" start "$archive_state"
  # Read by the test itself, so a Windows path; Wine passes the variable on.
  export BREVANT_ARCHIVE_ENV
  BREVANT_ARCHIVE_ENV="$(winpath "$archive_state/archive.env")"
  run_test StationEndToEndTest
fi

# The installer, with its own Wine prefix and archive.
if [[ Installer =~ $filter ]]; then
  start=$(date +%s)
  status=0
  timeout -k 10 "$TEST_TIMEOUT" bash "$root/scripts/installer/test-installer.sh" >"$logs/Installer.log" 2>&1 ||
    status=$?
  took=$(($(date +%s) - start))
  if [ $status -eq 0 ]; then
    passed=$((passed + 1))
    printf 'PASS %-28s %4ds\n' Installer "$took"
  else
    failed=$((failed + 1))
    failures+=(Installer)
    printf 'FAIL %-28s %4ds  exit %d\n' Installer "$took" "$status"
  fi
  grep -E '^(installer:|  ok:|  Linux|FAILED)' "$logs/Installer.log" | sed 's/^ */    /' || true
fi

echo "logs: $logs"
if [ ${#failures[@]} -gt 0 ]; then echo "failed: ${failures[*]}"; fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
