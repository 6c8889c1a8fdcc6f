#!/usr/bin/env bash
# A second kind of test archive: DCMTK's dcmqrscp on the loopback
# interface, with its configuration, index and storage under a state folder
# of its own. It writes the same archive.env as archive.sh (no web API:
# ARCHIVE_HTTP_PORT=0, ARCHIVE_KIND=dcmqrscp, ARCHIVE_STORAGE=<folder>).
# --dicom-port asks for a given DICOM port (a restart on the same port)
# instead of a free one.
#
#   qrscp.sh start <statedir> [--station-aet AET] [--station-port PORT] [--dicom-port PORT]
#   qrscp.sh stop  <statedir>
#   qrscp.sh seed  <statedir> <folder-or-files...>
set -euo pipefail

HOST=127.0.0.1
ARCHIVE_AET=QRSCP
START_TIMEOUT=20
# shellcheck source=ports.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/ports.sh"

die() {
  echo "qrscp.sh: $*" >&2
  exit 1
}

usage() {
  echo "usage: $0 start <statedir> [--station-aet AET] [--station-port PORT] [--dicom-port PORT] | stop <statedir> | seed <statedir> <files...>" >&2
  exit 2
}

stop_group() {
  local pid=$1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid" 2>/dev/null || true
}

cmd_start() {
  [ $# -ge 1 ] || usage
  local state=$1
  shift
  local station_aet=BREVANT station_port="" dicom_port=""
  while [ $# -gt 0 ]; do
    case $1 in
      --station-aet) station_aet=${2:?}; shift 2 ;;
      --station-port) station_port=${2:?}; shift 2 ;;
      --dicom-port) dicom_port=${2:?}; shift 2 ;;
      *) usage ;;
    esac
  done
  command -v dcmqrscp >/dev/null || die "dcmqrscp not found"
  mkdir -p "$state"
  state=$(cd "$state" && pwd)
  if [ -f "$state/archive.env" ]; then
    stop_group "$(sed -n 's/^ARCHIVE_PID=//p' "$state/archive.env")"
    rm -f "$state/archive.env"
  fi
  rm -rf "$state/storage"
  mkdir -p "$state/storage"
  [ -n "$station_port" ] || station_port=$(free_port)
  if [ -n "$dicom_port" ]; then
    port_open "$dicom_port" && die "DICOM port $dicom_port is in use"
  else
    dicom_port=$(free_port)
    while [ "$dicom_port" = "$station_port" ]; do dicom_port=$(free_port); done
  fi
  cat >"$state/dcmqrscp.cfg" <<CFG
NetworkTCPPort  = $dicom_port
MaxPDUSize      = 65536
MaxAssociations = 16

HostTable BEGIN
station = ($station_aet, $HOST, $station_port)
HostTable END

VendorTable BEGIN
VendorTable END

AETable BEGIN
$ARCHIVE_AET $state/storage RW (1000, 4096mb) ANY
AETable END
CFG
  # Its own process group, so that stop ends the children it forks too.
  setsid dcmqrscp --config "$state/dcmqrscp.cfg" --disable-host-lookup \
    </dev/null >"$state/dcmqrscp.log" 2>&1 &
  local pid=$! deadline=$((SECONDS + START_TIMEOUT))
  until port_open "$dicom_port"; do
    kill -0 "$pid" 2>/dev/null || die "dcmqrscp did not start, see $state/dcmqrscp.log"
    [ $SECONDS -lt $deadline ] || die "dcmqrscp did not listen within ${START_TIMEOUT}s"
    sleep 0.1
  done
  cat >"$state/archive.env.tmp" <<ENV
ARCHIVE_KIND=dcmqrscp
ARCHIVE_AET=$ARCHIVE_AET
ARCHIVE_HOST=$HOST
ARCHIVE_DICOM_PORT=$dicom_port
ARCHIVE_HTTP_PORT=0
ARCHIVE_STORAGE=$state/storage
STATION_AET=$station_aet
STATION_PORT=$station_port
ARCHIVE_PID=$pid
ENV
  mv "$state/archive.env.tmp" "$state/archive.env"
  echo "archive: dcmqrscp $ARCHIVE_AET at $HOST:$dicom_port (pid $pid), station $station_aet at port $station_port"
}

cmd_stop() {
  [ $# -eq 1 ] || usage
  local state=$1
  [ -d "$state" ] || return 0
  if [ -f "$state/archive.env" ]; then
    stop_group "$(sed -n 's/^ARCHIVE_PID=//p' "$state/archive.env")"
    rm -f "$state/archive.env"
  fi
  rm -rf "$state/storage"
  echo "archive: stopped"
}

cmd_seed() {
  [ $# -ge 2 ] || usage
  local state=$1
  shift
  # shellcheck disable=SC1091
  . "$state/archive.env"
  storescu --scan-directories --recurse -aet SEEDER -aec "$ARCHIVE_AET" "$ARCHIVE_HOST" \
    "$ARCHIVE_DICOM_PORT" "$@" || die "seeding failed"
  echo "archive: seeded"
}

[ $# -ge 1 ] || usage
command=$1
shift
case $command in
  start) cmd_start "$@" ;;
  stop) cmd_stop "$@" ;;
  seed) cmd_seed "$@" ;;
  *) usage ;;
esac
