#!/usr/bin/env bash
# Runs the station against a local demo archive.
#
#   demo.sh <builddir>
#
# Builds nothing: expects <builddir>/bin/brevant and <builddir>/bin/brevant-samples.
# Starts the archive (state under <builddir>/demo-archive), seeds it with
# sample mammography studies (made once, kept in <builddir>/demo-samples),
# writes <builddir>/bin/Settings.ini for the archive when there is none, runs
# the station in the foreground and stops the archive when it exits.
#
# A Settings.ini that already exists is kept: its LocAET and LocPort are
# registered in the archive as the move destination, and its RemotePort is
# used as the archive's DICOM port when that port is free.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
[ $# -ge 1 ] || {
  echo "usage: $0 <builddir>" >&2
  exit 2
}
build="$(cd "$1" && pwd)"
bin="$build/bin"
samples="$build/demo-samples"
state="$build/demo-archive"
settings="$bin/Settings.ini"
archive="$here/archive.sh"

for program in brevant brevant-samples; do
  [ -x "$bin/$program" ] || {
    echo "demo.sh: $bin/$program is missing; build first" >&2
    exit 1
  }
done

# The demo studies: seed (picks the patient), syntax, size, bits, photometric.
# Bump the version when the list changes so the cache is made again.
version=1
studies=(
  "1 explicit 3328 4096 14 MONOCHROME2"
  "2 jpeg-lossless 3328 4096 12 MONOCHROME2"
  "3 jpeg-ls 1914 2294 16 MONOCHROME1"
  "4 rle 1914 2294 12 MONOCHROME2"
  "5 deflated 3328 4096 14 MONOCHROME1"
  "7 implicit 1914 2294 14 MONOCHROME2"
)

make_samples() {
  if [ "$(cat "$samples/complete" 2>/dev/null)" = "$version" ]; then return 0; fi
  echo "demo: generating sample studies in $samples (once)"
  rm -rf "$samples"
  mkdir -p "$samples"
  local entry seed syntax columns rows bits photometric running=0 failed=0
  for entry in "${studies[@]}"; do
    read -r seed syntax columns rows bits photometric <<<"$entry"
    "$bin/brevant-samples" --out "$samples" --seed "$seed" --syntax "$syntax" \
      --columns "$columns" --rows "$rows" --bits "$bits" --photometric "$photometric" &
    running=$((running + 1))
    if [ $running -ge 2 ]; then
      wait -n || failed=1
      running=$((running - 1))
    fi
  done
  while [ $running -gt 0 ]; do
    wait -n || failed=1
    running=$((running - 1))
  done
  [ $failed = 0 ] || {
    echo "demo.sh: generating the samples failed" >&2
    exit 1
  }
  echo "$version" >"$samples/complete"
}

# A value from the [SETTINGS] section of an INI file (CR line ends allowed).
ini_value() {
  sed -n "s/^[[:space:]]*$2[[:space:]]*=[[:space:]]*\\([^\\r]*\\).*/\\1/p" "$1" | head -n 1 |
    sed 's/[[:space:]]*$//'
}

make_samples

start_args=()
station_aet=BREVANT
if [ -f "$settings" ]; then
  station_aet=$(ini_value "$settings" LocAET)
  station_aet=${station_aet:-BREVANT}
  loc_port=$(ini_value "$settings" LocPort)
  remote_port=$(ini_value "$settings" RemotePort)
  remote_ip=$(ini_value "$settings" RemoteIP)
  start_args+=(--station-aet "$station_aet")
  if [[ "$loc_port" =~ ^[0-9]+$ ]] && [ "$loc_port" -gt 0 ]; then
    start_args+=(--station-port "$loc_port")
  fi
  if [[ "$remote_port" =~ ^[0-9]+$ ]] && [ "$remote_port" -gt 0 ] &&
    ! (exec 3<>"/dev/tcp/127.0.0.1/$remote_port") 2>/dev/null; then
    start_args+=(--dicom-port "$remote_port")
  fi
  case "$remote_ip" in
    127.0.0.1 | localhost) ;;
    *) echo "demo: note: Settings.ini names RemoteIP '$remote_ip'; the demo archive is on 127.0.0.1" ;;
  esac
fi

"$archive" start "$state" "${start_args[@]}"
trap '"$archive" stop "$state" >/dev/null || true' EXIT
trap 'exit 130' INT TERM
# shellcheck disable=SC1091
. "$state/archive.env"
"$archive" seed "$state" "$samples"

if [ ! -f "$settings" ]; then
  mkdir -p "$bin"
  cat >"$settings" <<EOF
[SETTINGS]
LocPort=$STATION_PORT
RemoteAET=$ARCHIVE_AET
RemotePort=$ARCHIVE_DICOM_PORT
RemoteIP=$ARCHIVE_HOST
LocAET=$STATION_AET
EOF
  echo "demo: wrote $settings"
elif [ "$(ini_value "$settings" RemotePort)" != "$ARCHIVE_DICOM_PORT" ]; then
  echo "demo: note: Settings.ini names RemotePort $(ini_value "$settings" RemotePort)," \
    "the archive listens on $ARCHIVE_DICOM_PORT; set it in the station's settings"
fi

echo "demo: archive $ARCHIVE_AET at $ARCHIVE_HOST:$ARCHIVE_DICOM_PORT" \
  "(web API http://$ARCHIVE_HOST:$ARCHIVE_HTTP_PORT), station $STATION_AET on port $STATION_PORT"
cd "$bin"
"$bin/brevant"
