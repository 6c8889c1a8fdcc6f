#!/usr/bin/env bash
# The Windows installer under Wine, as a site's IT department uses it:
#
#   1. a silent install (/S) into a fresh Wine prefix: files, the Start-menu
#      entry and the installed-programs entry with name, version, publisher;
#   2. `brevant.exe --version` of the installed station (and the Linux one's,
#      where build/ has it);
#   3. the installed station, started from its Start-menu entry with its own
#      Settings.ini, searches the Linux Orthanc through its real window
#      (xdotool on the X display), which the archive's log confirms;
#   4. a second installer (version VERSION.1, from the same package) refuses
#      to upgrade while the station runs, then upgrades once it is closed:
#      Settings.ini, Logs\ and a file the station wrote are kept, and the
#      upgraded station searches again with the kept settings;
#   5. the silent uninstall that the installed-programs entry names removes
#      every installed file, the entries, and keeps the station's files;
#   6. a silent install into a folder named with /D=, and the uninstall with
#      /REMOVEDATA, which leaves nothing.
#
# Run by scripts/test-windows.sh, which provides the X display (DISPLAY);
# exits non-zero at the first check that fails, naming it.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${BREVANT_WINDOWS_BUILD_DIR:-$root/build-windows}"
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
UNINST_KEY='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Brevant'
STATION_AET=BREVANTWIN
PATIENT_ID=SETUPCHECK
work="$build/installer-test"

fail() {
  echo "FAILED: $*"
  exit 1
}
ok() { echo "  ok: $*"; }

[ -n "${DISPLAY:-}" ] || fail "no X display"
command -v xdotool >/dev/null || fail "no xdotool"
version="$(cat "$build/VERSION")"
setup="$build/brevant-setup-$version.exe"
[ -f "$setup" ] || fail "no $setup: run scripts/build-windows.sh first"
echo "installer: $(basename "$setup") ($(stat -c %s "$setup") bytes, $(du -h "$setup" | cut -f1))"

rm -rf "$work"
mkdir -p "$work"
# A fresh prefix, and no menu entries on this machine for the shortcuts it makes.
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# The installed station shows its real window on the X display.
unset WINEQT_QPA_PLATFORM WINEQT_QPA_FONTDIR
archive_state="$work/archive"
cleanup() {
  "$WINESERVER" -k 2>/dev/null || true
  "$root/tools/archive.sh" stop "$archive_state" >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'exit 143' TERM INT
"$WINE" wineboot --init >/dev/null 2>&1 || true
"$WINESERVER" -w

# unixpath WINDOWS-PATH
unixpath() { "$WINE" winepath -u "$1" 2>/dev/null | tr -d '\r'; }
# regvalue NAME: one value of the uninstall entry, empty when there is none.
regvalue() {
  "$WINE" reg query "$UNINST_KEY" /v "$1" 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$1 *REG_[A-Z_]* *//p"
}
# Ends every Windows process of the prefix (the station), and waits for it.
stop_station() {
  local i
  for i in 1 2 3; do
    "$WINESERVER" -k 2>/dev/null || true
    if timeout 30 "$WINESERVER" -w; then return 0; fi
  done
  fail "the station's Wine processes did not end"
}
installed_files() { (cd "$build/brevant-windows-x64" && find . -type f | sed 's#^\./##' | sort); }

# --- 1. silent install ----------------------------------------------------------
"$WINE" "$setup" /S || fail "silent install exited $?"
"$WINESERVER" -w
winvar() { "$WINE" cmd /c echo "%$1%" 2>/dev/null | tr -d '\r'; }
win_dir="$(winvar LOCALAPPDATA)\\Programs\\Brevant"
dir="$(unixpath "$win_dir")"
while read -r f; do
  [ -f "$dir/$f" ] || fail "$f not installed in $win_dir"
done < <(installed_files)
[ -f "$dir/uninstall.exe" ] || fail "no uninstall.exe"
ok "installed into $win_dir ($(installed_files | wc -l) files and uninstall.exe)"
for pair in "DisplayName=Brevant" "DisplayVersion=$version" "Publisher=Brevant" \
  "InstallLocation=$win_dir" "QuietUninstallString=\"$win_dir\\uninstall.exe\" /S"; do
  [ "$(regvalue "${pair%%=*}")" = "${pair#*=}" ] ||
    fail "installed-programs entry: ${pair%%=*} is '$(regvalue "${pair%%=*}")', not '${pair#*=}'"
done
ok "installed-programs entry: Brevant $version, publisher Brevant, quiet uninstall"
win_start_menu="$(winvar APPDATA)\\Microsoft\\Windows\\Start Menu\\Programs"
start_menu="$(unixpath "$win_start_menu")"
[ -f "$start_menu/Brevant.lnk" ] || fail "no Start-menu entry Brevant.lnk"
ok "Start-menu entry Brevant.lnk"

# --- 2. the version ---------------------------------------------------------------
win_version="$(cd "$dir" && "$WINE" "$win_dir\\brevant.exe" --version | tr -d '\r')"
[[ "$win_version" =~ ^Brevant\ $version\ \(commit\ [0-9a-z-]+\)$ ]] ||
  fail "brevant.exe --version said '$win_version'"
ok "brevant.exe --version under Wine: $win_version"
# The Linux build of the same tree, where there is one, says the same.
if [ -x "$root/build/bin/brevant" ]; then
  linux_version="$("$root/build/bin/brevant" --version)"
  same="the same version"
  [ "${linux_version%% (*}" = "${win_version%% (*}" ] || same="ANOTHER version (an older build/?)"
  echo "  Linux build/bin/brevant --version: $linux_version: $same"
fi

# --- 3. the installed station against the archive ---------------------------------
station_port="$(bash -c ". '$root/tools/ports.sh'; free_port")"
"$root/tools/archive.sh" start "$archive_state" --verbose \
  --station-aet "$STATION_AET" --station-port "$station_port" >/dev/null
# shellcheck disable=SC1091
. "$archive_state/archive.env"
uid="2.25.$(date +%s%N)"
cat >"$work/study.txt" <<EOF
(0008,0016) UI [1.2.840.10008.5.1.4.1.1.1.2]
(0008,0018) UI [$uid.3]
(0008,0020) DA [20240115]
(0008,0060) CS [MG]
(0010,0010) PN [Setup^Check]
(0010,0020) LO [$PATIENT_ID]
(0020,000d) UI [$uid.1]
(0020,000e) UI [$uid.2]
(0028,0002) US 1
(0028,0004) CS [MONOCHROME2]
(0028,0010) US 2
(0028,0011) US 2
(0028,0100) US 16
(0028,0101) US 12
(0028,0102) US 11
(0028,0103) US 0
(7fe0,0010) OW 0000\0100\0200\0300
EOF
dump2dcm "$work/study.txt" "$work/study.dcm" 2>/dev/null
"$root/tools/archive.sh" seed "$archive_state" "$work/study.dcm" >/dev/null
printf '[SETTINGS]\r\nLocPort=%s\r\nRemoteAET=%s\r\nRemotePort=%s\r\nRemoteIP=%s\r\nLocAET=%s\r\n' \
  "$station_port" "$ARCHIVE_AET" "$ARCHIVE_DICOM_PORT" "$ARCHIVE_HOST" "$STATION_AET" \
  >"$dir/Settings.ini"

# search_through_window WHAT: the station's main window, its "Search Study"
# button, the patient ID typed into the search window and Enter; then the
# archive's log must show a find from the station's AE title matching the
# seeded study.
# find_window NAME SECONDS: the first visible window whose name matches, on
# stdout. xdotool gives up with an X error (BadWindow) when one of Wine's
# windows goes while it looks (a start-up window, a dialog closed): it looks
# again until the time is up.
find_window() {
  local deadline=$((SECONDS + $2)) id
  while [ $SECONDS -lt $deadline ]; do
    id="$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1)" || true
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 1
  done
  return 1
}

search_through_window() {
  local main search before n found=0
  main="$(find_window '^Brevant$' 90)" || fail "$1: no station window"
  sleep 2
  before=$(wc -l <"$archive_state/orthanc.log")
  # The toolbar's second button, "Search Study" (Wine's X window is the
  # client area: these are the window's own coordinates).
  xdotool mousemove --window "$main" 125 30 click 1
  search="$(find_window '^Brevant: Search$' 30)" || fail "$1: the search window did not open"
  timeout 10 xdotool windowfocus --sync "$search" || true
  sleep 1
  xdotool type --delay 50 "$PATIENT_ID"
  xdotool key Return
  for n in $(seq 1 60); do
    if tail -n +"$before" "$archive_state/orthanc.log" |
      grep -A30 "Association Received from AET $STATION_AET" |
      grep -q "Number of matching resources: 1"; then
      found=1
      break
    fi
    sleep 0.5
  done
  import -window root "$work/$2.png" 2>/dev/null || true  # where ImageMagick is installed
  [ $found = 1 ] || fail "$1: the archive logged no find from $STATION_AET that matched the study"
  ok "$1: a search from the station's window found the study in the Linux Orthanc"
}

"$WINE" start "$win_start_menu\\Brevant.lnk" ||
  fail "the Start-menu entry did not start"
search_through_window "installed station (from the Start menu)" search-installed

# --- 4. upgrade -------------------------------------------------------------------
second_version="$version.1"
second="$(bash "$root/scripts/installer/make-installer.sh" "$build/brevant-windows-x64" \
  "$second_version" "$work/brevant-setup-$second_version.exe")"
status=0
"$WINE" "$second" /S || status=$?
[ $status -ne 0 ] || fail "the upgrade went ahead while the station was running"
[ "$(regvalue DisplayVersion)" = "$version" ] || fail "a refused upgrade changed the entry"
ok "the upgrade refused while the station runs (exit $status), nothing changed"

stop_station
# What the station writes beside itself, edited in between.
printf '; edited by the site\r\n' >>"$dir/Settings.ini"
mkdir -p "$dir/Logs"
printf 'an error line\r\n' >>"$dir/Logs/Error.log"
printf 'a journal line\r\n' >>"$dir/Labels.journal"
cp "$dir/Settings.ini" "$work/Settings.ini.before"
"$WINE" "$second" /S || fail "the upgrade exited $?"
"$WINESERVER" -w
[ "$(regvalue DisplayVersion)" = "$second_version" ] ||
  fail "after the upgrade the entry says '$(regvalue DisplayVersion)'"
cmp -s "$dir/Settings.ini" "$work/Settings.ini.before" || fail "the upgrade changed Settings.ini"
grep -q 'an error line' "$dir/Logs/Error.log" || fail "the upgrade lost Logs\\Error.log"
grep -q 'a journal line' "$dir/Labels.journal" || fail "the upgrade lost Labels.journal"
ok "upgraded to $second_version: the edited Settings.ini, Logs\\ and Labels.journal kept"
(cd "$dir" && "$WINE" "$win_dir\\brevant.exe" >/dev/null 2>&1 &)
search_through_window "upgraded station (kept settings)" search-upgraded
stop_station

# --- 5. silent uninstall ----------------------------------------------------------
quiet="$(regvalue QuietUninstallString)"
uninstaller="$(sed -n 's/^"\(.*\)" \/S$/\1/p' <<<"$quiet")"
[ -n "$uninstaller" ] || fail "QuietUninstallString '$quiet' is not '\"...\" /S'"
"$WINE" "$uninstaller" /S || fail "the silent uninstall exited $?"
# The uninstaller finishes from a copy of itself in %TEMP%.
"$WINESERVER" -w
[ -z "$(regvalue DisplayName)" ] || fail "the installed-programs entry is still there"
[ ! -e "$start_menu/Brevant.lnk" ] || fail "the Start-menu entry is still there"
left="$(cd "$dir" && find . -mindepth 1 | sed 's#^\./##' | sort | paste -sd ' ')"
[ "$left" = "Labels.journal Logs Logs/Error.log Settings.ini" ] ||
  fail "after the uninstall the folder holds: $left"
ok "uninstalled silently; left in the folder: $left"

# --- 6. a chosen folder, and removing everything ------------------------------------
# /D= is the last switch and is not quoted, as a deployment tool writes it:
# two arguments here, which Wine joins with a space.
"$WINE" "$setup" /S '/D=C:\Brevant' 'Station' || fail "the install with /D= exited $?"
"$WINESERVER" -w
other="$(unixpath 'C:\Brevant Station')"
[ -f "$other/brevant.exe" ] || fail "/D= did not install into C:\\Brevant Station"
[ "$(regvalue InstallLocation)" = 'C:\Brevant Station' ] || fail "the entry does not name C:\\Brevant Station"
printf '[SETTINGS]\r\n' >"$other/Settings.ini"
"$WINE" 'C:\Brevant Station\uninstall.exe' /S /REMOVEDATA || fail "the uninstall with /REMOVEDATA exited $?"
"$WINESERVER" -w
[ ! -e "$other" ] || fail "/REMOVEDATA left $(ls -A "$other" | tr '\n' ' ')"
ok "installed into C:\\Brevant Station with /D=, removed with its settings by /REMOVEDATA"
echo "installer test passed"
