#!/usr/bin/env bash
# The local test archive: one Orthanc on the loopback interface, with its
# storage, index, configuration and log under a state folder of its own.
#
#   archive.sh start <statedir> [--station-aet AET] [--station-port PORT] [--dicom-port PORT]
#                               [--keep-first] [--check-called-aet] [--verbose]
#                               [--tls CERTDIR [--tls-name NAME]]
#   archive.sh stop  <statedir>
#   archive.sh seed  <statedir> <folder-or-files...>
#
# start writes <statedir>/archive.env (KEY=VALUE lines) once Orthanc answers.
# The DICOM and HTTP ports are free ports chosen at start; --dicom-port asks
# for a given DICOM port instead (the demo keeps the one the station's saved
# settings name) and fails when it is taken. --keep-first makes the archive
# keep the first copy of an instance it receives again, as Orthanc does by
# default, instead of replacing it. --check-called-aet rejects associations
# that call another AE title than the archive's. --tls makes every DICOM
# association TLS (tools/certs.sh makes CERTDIR): the archive presents
# CERTDIR/NAME.crt (NAME: archive unless --tls-name says), trusts
# CERTDIR/trusted.crt, requires the caller's certificate, and sends its
# C-MOVE sub-operations to the station over TLS.
# --verbose has Orthanc log every association and query (with the calling
# AE title) to <statedir>/orthanc.log.
set -euo pipefail

ORTHANC=${ORTHANC:-/usr/sbin/Orthanc}
HOST=127.0.0.1
ARCHIVE_AET=ORTHANC
START_TIMEOUT=20
STOP_TIMEOUT=10
# The "NOWHERE" modality: a loopback port nobody listens on.
NOWHERE_PORT=1
# shellcheck source=ports.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/ports.sh"

die() {
  echo "archive.sh: $*" >&2
  exit 1
}

usage() {
  cat >&2 <<EOF
usage: $0 start <statedir> [--station-aet AET] [--station-port PORT] [--dicom-port PORT]
                          [--keep-first] [--check-called-aet] [--verbose]
                          [--tls CERTDIR [--tls-name NAME]]
       $0 stop <statedir>
       $0 seed <statedir> <folder-or-files...>
EOF
  exit 2
}

# HTTP against the archive. http GET|POST|DELETE <port> <path> [file]
http() {
  local method=$1 port=$2 path=$3 file=${4:-}
  local url="http://$HOST:$port$path"
  if command -v curl >/dev/null 2>&1; then
    if [ -n "$file" ]; then
      curl -sS -f --noproxy '*' --connect-timeout 5 --max-time 120 -X "$method" \
        -H 'Expect:' --data-binary "@$file" "$url"
    else
      curl -sS -f --noproxy '*' --connect-timeout 5 --max-time 30 -X "$method" "$url"
    fi
  elif command -v python3 >/dev/null 2>&1; then
    python3 - "$method" "$url" "$file" <<'EOF'
import sys, urllib.request
method, url, path = sys.argv[1], sys.argv[2], sys.argv[3]
data = open(path, "rb").read() if path else None
opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
req = urllib.request.Request(url, data=data, method=method)
with opener.open(req, timeout=60) as r:
    sys.stdout.write(r.read().decode("utf-8", "replace"))
EOF
  else
    die "neither curl nor python3 is available for the archive's HTTP API"
  fi
}

read_env() {
  local env="$1/archive.env"
  [ -f "$env" ] || die "no archive.env in $1 (is the archive started?)"
  # shellcheck disable=SC1090
  . "$env"
}

# True when the pid is alive and is an Orthanc process.
is_orthanc() {
  local pid=$1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null &&
    grep -q "Orthanc" "/proc/$pid/cmdline" 2>/dev/null
}

stop_pid() {
  local pid=$1 deadline
  is_orthanc "$pid" || return 0
  kill -TERM "$pid" 2>/dev/null || true
  deadline=$((SECONDS + STOP_TIMEOUT))
  while is_orthanc "$pid" && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
  if is_orthanc "$pid"; then
    echo "archive.sh: Orthanc $pid did not stop in ${STOP_TIMEOUT}s, killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
    deadline=$((SECONDS + 5))
    while is_orthanc "$pid" && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
  fi
}

write_config() {
  local state=$1 dicom_port=$2 http_port=$3 station_aet=$4 station_port=$5 overwrite=$6
  local check_called=$7 tls_dir=$8 tls_name=$9 tls=false tls_keys=""
  # Orthanc reads the TLS files whenever they are named: only with --tls.
  if [ -n "$tls_dir" ]; then
    tls=true
    tls_keys="\"DicomTlsCertificate\" : \"$tls_dir/$tls_name.crt\",
  \"DicomTlsPrivateKey\" : \"$tls_dir/$tls_name.key\",
  \"DicomTlsTrustedCertificates\" : \"$tls_dir/trusted.crt\",
  \"DicomTlsRemoteCertificateRequired\" : true,"
  fi
  cat >"$state/orthanc.json" <<EOF
{
  "Name" : "Brevant test archive",
  "StorageDirectory" : "$state/storage",
  "IndexDirectory" : "$state/storage",
  "StorageCompression" : false,
  "Plugins" : [],
  "ConcurrentJobs" : 2,
  "HttpServerEnabled" : true,
  "OrthancExplorerEnabled" : false,
  "HttpPort" : $http_port,
  "HttpDescribeErrors" : true,
  "HttpCompressionEnabled" : false,
  "WebDavEnabled" : false,
  "RemoteAccessAllowed" : false,
  "AuthenticationEnabled" : false,
  "SslEnabled" : false,
  "DicomServerEnabled" : true,
  "DicomAet" : "$ARCHIVE_AET",
  "DicomCheckCalledAet" : $check_called,
  "DicomTlsEnabled" : $tls,
  $tls_keys
  "DicomPort" : $dicom_port,
  "DefaultEncoding" : "Latin1",
  "UnknownSopClassAccepted" : false,
  "DicomScpTimeout" : 30,
  "DicomScuTimeout" : 10,
  "DicomAlwaysAllowEcho" : true,
  "DicomAlwaysAllowStore" : true,
  "DicomAlwaysAllowFind" : true,
  "DicomAlwaysAllowGet" : true,
  "DicomAlwaysAllowMove" : true,
  "DicomCheckModalityHost" : false,
  "DicomModalitiesInDatabase" : false,
  "DicomModalities" : {
    "BREVANT" : { "AET" : "$station_aet", "Host" : "$HOST", "Port" : $station_port,
                  "UseDicomTls" : $tls },
    "NOWHERE" : { "AET" : "NOWHERE", "Host" : "$HOST", "Port" : $NOWHERE_PORT }
  },
  "DicomAssociationCloseDelay" : 0,
  "SynchronousCMove" : true,
  "StrictAetComparison" : false,
  "LimitFindResults" : 0,
  "LimitFindInstances" : 0,
  "OverwriteInstances" : $overwrite,
  "StableAge" : 60,
  "SaveJobs" : false,
  "SyncStorageArea" : false,
  "MetricsEnabled" : false,
  "ExecuteLuaEnabled" : false,
  "TranscodeDicomProtocol" : true,
  "HttpRequestTimeout" : 60
}
EOF
}

cmd_start() {
  [ $# -ge 1 ] || usage
  local state=$1
  shift
  local station_aet=BREVANT station_port="" fixed_dicom_port="" overwrite=true verbose=()
  local check_called=false tls_dir="" tls_name=archive
  while [ $# -gt 0 ]; do
    case $1 in
      --station-aet) station_aet=${2:?}; shift 2 ;;
      --station-port) station_port=${2:?}; shift 2 ;;
      --dicom-port) fixed_dicom_port=${2:?}; shift 2 ;;
      --keep-first) overwrite=false; shift ;;
      --check-called-aet) check_called=true; shift ;;
      --tls) tls_dir=$(cd "${2:?}" && pwd); shift 2 ;;
      --tls-name) tls_name=${2:?}; shift 2 ;;
      --verbose) verbose=(--verbose); shift ;;
      *) usage ;;
    esac
  done
  [ -x "$ORTHANC" ] || die "Orthanc not found at $ORTHANC"
  mkdir -p "$state"
  state=$(cd "$state" && pwd)

  # A previous run that was never stopped: end it first.
  if [ -f "$state/archive.env" ]; then
    local old_pid
    old_pid=$(sed -n 's/^ARCHIVE_PID=//p' "$state/archive.env")
    stop_pid "$old_pid"
    rm -f "$state/archive.env"
  fi
  rm -rf "$state/storage"
  mkdir -p "$state/storage"
  [ -n "$station_port" ] || station_port=$(free_port)
  if [ -n "$fixed_dicom_port" ]; then
    port_open "$fixed_dicom_port" && die "DICOM port $fixed_dicom_port is in use"
    [ "$fixed_dicom_port" != "$station_port" ] || die "DICOM port and station port are the same"
  fi

  # One deadline for every attempt together.
  local attempt dicom_port http_port pid up deadline=$((SECONDS + START_TIMEOUT))
  for attempt in 1 2 3 4 5; do
    [ $SECONDS -lt $deadline ] || break
    dicom_port=${fixed_dicom_port:-$(free_port)}
    http_port=$(free_port)
    while [ "$http_port" = "$dicom_port" ] || [ "$http_port" = "$station_port" ]; do
      http_port=$(free_port)
    done
    while [ "$dicom_port" = "$station_port" ]; do dicom_port=$(free_port); done
    write_config "$state" "$dicom_port" "$http_port" "$station_aet" "$station_port" "$overwrite" \
      "$check_called" "$tls_dir" "$tls_name"

    # Detached from the caller's terminal and output, so that a test runner
    # waiting for this script's output does not wait for Orthanc too.
    if command -v setsid >/dev/null 2>&1; then
      setsid "$ORTHANC" --no-jobs "${verbose[@]}" "$state/orthanc.json" </dev/null >"$state/orthanc.log" 2>&1 &
    else
      "$ORTHANC" --no-jobs "${verbose[@]}" "$state/orthanc.json" </dev/null >"$state/orthanc.log" 2>&1 &
    fi
    pid=$!
    up=0
    while [ $SECONDS -lt $deadline ]; do
      if ! kill -0 "$pid" 2>/dev/null; then break; fi
      if http GET "$http_port" /system >/dev/null 2>&1; then
        up=1
        break
      fi
      sleep 0.1
    done
    if [ $up = 1 ]; then break; fi
    stop_pid "$pid"
    echo "archive.sh: Orthanc did not come up (attempt $attempt), see $state/orthanc.log:" >&2
    tail -n 5 "$state/orthanc.log" >&2 || true
    rm -rf "$state/storage"
    mkdir -p "$state/storage"
    # A port that was asked for is not traded for another.
    [ -z "$fixed_dicom_port" ] || break
  done
  [ "${up:-0}" = 1 ] || die "Orthanc could not be started within ${START_TIMEOUT}s"

  cat >"$state/archive.env.tmp" <<EOF
ARCHIVE_AET=$ARCHIVE_AET
ARCHIVE_HOST=$HOST
ARCHIVE_DICOM_PORT=$dicom_port
ARCHIVE_HTTP_PORT=$http_port
STATION_AET=$station_aet
STATION_PORT=$station_port
NOWHERE_AET=NOWHERE
NOWHERE_PORT=$NOWHERE_PORT
ARCHIVE_PID=$pid
EOF
  mv "$state/archive.env.tmp" "$state/archive.env"
  echo "archive: $ARCHIVE_AET at $HOST dicom $dicom_port http $http_port (pid $pid)," \
    "station $station_aet at port $station_port"
}

cmd_stop() {
  [ $# -eq 1 ] || usage
  local state=$1
  [ -d "$state" ] || return 0
  if [ -f "$state/archive.env" ]; then
    local pid
    pid=$(sed -n 's/^ARCHIVE_PID=//p' "$state/archive.env")
    stop_pid "$pid"
    rm -f "$state/archive.env"
  fi
  rm -rf "$state/storage"
  echo "archive: stopped"
}

cmd_seed() {
  [ $# -ge 2 ] || usage
  local state=$1
  shift
  read_env "$state"
  local files=() f count=0
  for f in "$@"; do
    if [ -d "$f" ]; then
      # Only DICOM files (the "DICM" marker after the preamble) from folders.
      while IFS= read -r -d '' g; do
        if [ "$(dd if="$g" bs=1 skip=128 count=4 2>/dev/null)" = DICM ]; then files+=("$g"); fi
      done < <(find "$f" -type f -print0 | sort -z)
    elif [ -f "$f" ]; then
      files+=("$f")
    else
      die "no such file or folder: $f"
    fi
  done
  for f in "${files[@]}"; do
    if ! http POST "$ARCHIVE_HTTP_PORT" /instances "$f" >/dev/null; then
      die "upload failed: $f"
    fi
    count=$((count + 1))
  done
  echo "archive: uploaded $count file(s)"
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
