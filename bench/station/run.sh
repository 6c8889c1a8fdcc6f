#!/usr/bin/env bash
# The station against DCMTK's tools on one four-view study of 3328x4096
# 16-bit images (explicit little endian, and the same size in JPEG-LS):
#
#   retrieval  the station, from the double-click on the search result until
#              the tiled study is drawn, against movescu moving the study to
#              storescp (writing to disk) until all four files are there
#              (goal: ratio <= 1.0). "retrieve" is a retrieval of a running
#              station, as storescp is a running receiver; "first retr" is
#              the first retrieval of a freshly started station, whose memory
#              is all new to it;
#   memory     the station's peak resident memory with the study on screen,
#              against 2 x the study's pixel bytes + 150 MiB;
#   update     the station's "Update Study" with all four images labelled,
#              against storescu sending the four files in one run
#              (goal: ratio <= 1.1).
#
# Prints per-run figures and a table of medians. Missed goals are reported,
# never failed: the exit status is non-zero only when something broke.
#
#   bench/station/run.sh <builddir> [repeats]
set -euo pipefail

BUILD=${1:?usage: $0 <builddir> [repeats]}
REPEATS=${2:-3}
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
# shellcheck source=../../tools/ports.sh
. "$ROOT/tools/ports.sh"
BENCH=$BUILD/bin/brevant-bench-station
SAMPLES=$BUILD/bin/brevant-samples
ROWS=4096
COLUMNS=3328
IMAGES=4
SYNTAXES=(${BENCH_SYNTAXES:-explicit jpeg-ls})
# BENCH_DETAIL=1 adds a last station run per syntax that splits the
# retrieval's CPU time by thread and times each image's decoding and each
# image's store on its own.
DETAIL=${BENCH_DETAIL:-0}
# STATION_GLIBC_TUNABLES, when set, is given to the station process only
# (GLIBC_TUNABLES), to try allocator settings without touching the baseline.
STATION_TUNABLES=${STATION_GLIBC_TUNABLES:-}

[ -x "$BENCH" ] || { echo "build the target brevant-bench-station first ($BENCH missing)" >&2; exit 2; }
[ -x "$SAMPLES" ] || { echo "build the target brevant-samples first ($SAMPLES missing)" >&2; exit 2; }
for tool in storescp movescu storescu dcmdump curl; do
  command -v "$tool" >/dev/null || { echo "$tool not found" >&2; exit 2; }
done

WORK=$(mktemp -d)
STATE=$WORK/archive
SCP_PID=""
cleanup() {
  if [ -n "$SCP_PID" ]; then
    kill "$SCP_PID" 2>/dev/null || true
    wait "$SCP_PID" 2>/dev/null || true
  fi
  "$ROOT/tools/archive.sh" stop "$STATE" >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT

now_ms() { echo $(($(date +%s%N) / 1000000)); }

median() {
  printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'
}

CLK_TCK=$(getconf CLK_TCK)
cpu_ms() {  # cpu_ms <pid>: user + system CPU time of a running process
  local line rest
  read -r line <"/proc/$1/stat"
  rest=${line##*) }
  # shellcheck disable=SC2086
  set -- $rest
  echo $(((${12} + ${13}) * 1000 / CLK_TCK))
}

station() {
  GLIBC_TUNABLES=$STATION_TUNABLES QT_QPA_PLATFORM=offscreen "$BENCH" "$@"
}

tag() {  # tag <file> <gggg,eeee>: the value of one attribute
  dcmdump -q -s -Un +P "$2" "$1" | sed -n 's/^[^[]*\[\(.*\)\].*$/\1/p' | head -n 1
}

"$ROOT/tools/archive.sh" start "$STATE" >/dev/null
# shellcheck disable=SC1091
. "$STATE/archive.env"

# The baseline receiver: storescp writing to disk, known to the archive as BASELINE.
SCP_PORT=$(free_port)
SCP_DIR=$WORK/storescp
mkdir -p "$SCP_DIR"
storescp -q -dhl -aet BASELINE -od "$SCP_DIR" +xt -ta 10 -td 60 -ts 60 "$SCP_PORT" \
  >"$WORK/storescp.log" 2>&1 &
SCP_PID=$!
deadline=$((SECONDS + 10))
until port_open "$SCP_PORT"; do
  [ $SECONDS -lt $deadline ] || { echo "storescp did not start" >&2; exit 1; }
  kill -0 "$SCP_PID" 2>/dev/null || { echo "storescp ended:" >&2; cat "$WORK/storescp.log" >&2; exit 1; }
  sleep 0.05
done
curl -sS -f --noproxy '*' --connect-timeout 5 --max-time 30 -X PUT \
  "http://$ARCHIVE_HOST:$ARCHIVE_HTTP_PORT/modalities/BASELINE" \
  --data "{\"AET\":\"BASELINE\",\"Host\":\"127.0.0.1\",\"Port\":$SCP_PORT}" >/dev/null

PIXEL_BYTES=$((IMAGES * ROWS * COLUMNS * 2))
GOAL_KIB=$(((2 * PIXEL_BYTES) / 1024 + 150 * 1024))

DCMTK_NET=(-aet BENCH -aec "$ARCHIVE_AET" -to 5 -ta 10 -td 60)
declare -A ACCESSION STUDY_UID FILES
# storescu proposes uncompressed syntaxes unless told otherwise.
declare -A STORESCU_SYNTAX=([explicit]=-x= [jpeg-ls]=-xt)
seed=1
for syntax in "${SYNTAXES[@]}"; do
  out=$WORK/samples-$syntax
  # The generator in a process of its own: its memory is no part of the figures.
  "$SAMPLES" --out "$out" --rows $ROWS --columns $COLUMNS --bits 16 --syntax "$syntax" \
    --images $IMAGES --seed $seed >/dev/null
  files=$(find "$out" -type f | sort | tr '\n' ' ')
  first=${files%% *}
  ACCESSION[$syntax]=$(tag "$first" 0008,0050)
  STUDY_UID[$syntax]=$(tag "$first" 0020,000d)
  FILES[$syntax]=$files
  # shellcheck disable=SC2086
  "$ROOT/tools/archive.sh" seed "$STATE" $files >/dev/null
  echo "seeded $syntax: accession ${ACCESSION[$syntax]}, $(du -cb $files | tail -n 1 | cut -f1) bytes in $IMAGES files"
  seed=$((seed + 1))
done

echo "load average before the runs: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs"
[ -z "$STATION_TUNABLES" ] || echo "station runs with GLIBC_TUNABLES=$STATION_TUNABLES"
declare -A R_ST R_FIRST R_DC U_ST U_DC PEAK BREAK CPU
for syntax in "${SYNTAXES[@]}"; do
  rs=() rf=() rd=() us=() ud=() pk=() mv=() dl=() pt=() sc=() sf=() ac=() dc=() da=()
  # Run 0 warms up the archive, the page cache and storescp and is not
  # counted: the first run after seeding was up to twice as slow for both.
  # Written data is synced before each timed part, so that no part pays for
  # the write-back of the one before.
  for run in $(seq 0 "$REPEATS"); do
    # The station: a fresh process each run, so its peak memory is this study's.
    sync
    station "$STATE/archive.env" "${ACCESSION[$syntax]}" $IMAGES >"$WORK/station.txt"
    val() { awk -v k="$1" '$1 == k {print $2}' "$WORK/station.txt"; }
    rs+=("$(val retrieve_ms)") rf+=("$(val first_retrieve_ms)") us+=("$(val update_ms)")
    pk+=("$(val peak_kib)")
    mv+=("$(val move_ms)") dl+=("$(val deliver_ms)") pt+=("$(val paint_ms)")
    sc+=("$(val retrieve_cpu_ms)") sf+=("$(val retrieve_faults)") ac+=("$(val archive_cpu_ms)")

    # movescu to storescp, until all four files are on disk.
    rm -f "$SCP_DIR"/*
    sync
    scp0=$(cpu_ms "$SCP_PID") arc0=$(cpu_ms "$ARCHIVE_PID")
    t0=$(now_ms)
    movescu -S -aem BASELINE "${DCMTK_NET[@]}" "$ARCHIVE_HOST" "$ARCHIVE_DICOM_PORT" \
      -k QueryRetrieveLevel=STUDY -k "StudyInstanceUID=${STUDY_UID[$syntax]}" \
      >"$WORK/movescu.log" 2>&1 || { cat "$WORK/movescu.log" >&2; exit 1; }
    deadline=$((SECONDS + 30))
    while [ "$(find "$SCP_DIR" -type f | wc -l)" -lt $IMAGES ]; do
      [ $SECONDS -lt $deadline ] || { echo "storescp did not receive $IMAGES files" >&2; exit 1; }
      sleep 0.005
    done
    t1=$(now_ms)
    rd+=($((t1 - t0)))
    dc+=($(($(cpu_ms "$SCP_PID") - scp0))) da+=($(($(cpu_ms "$ARCHIVE_PID") - arc0)))

    # storescu with the four generated files in one association.
    sync
    t0=$(now_ms)
    # shellcheck disable=SC2086
    storescu "${STORESCU_SYNTAX[$syntax]}" "${DCMTK_NET[@]}" "$ARCHIVE_HOST" "$ARCHIVE_DICOM_PORT" ${FILES[$syntax]} \
      >"$WORK/storescu.log" 2>&1 || { cat "$WORK/storescu.log" >&2; exit 1; }
    t1=$(now_ms)
    ud+=($((t1 - t0)))

    printf '%-8s run %d: station first %5d ms, retrieve %5d ms (move %d, deliver %d, paint %d; cpu %d ms, %d faults), update %5d ms, peak %d MiB | movescu %5d ms (storescp cpu %d ms), storescu %5d ms\n' \
      "$syntax" "$run" "${rf[-1]}" "${rs[-1]}" "${mv[-1]}" "${dl[-1]}" "${pt[-1]}" "${sc[-1]}" "${sf[-1]}" \
      "${us[-1]}" $((${pk[-1]} / 1024)) "${rd[-1]}" "${dc[-1]}" "${ud[-1]}"
    if [ "$run" = 0 ]; then
      echo "         (run 0 is the warm-up, not counted)"
      rs=() rf=() rd=() us=() ud=() pk=() mv=() dl=() pt=() sc=() sf=() ac=() dc=() da=()
    fi
  done
  # What storescp got: the transfer syntax it was sent in.
  received=$(find "$SCP_DIR" -type f | head -n 1)
  echo "         storescp received $(tag "$received" 0002,0010) for $syntax"
  R_ST[$syntax]=$(median "${rs[@]}") R_FIRST[$syntax]=$(median "${rf[@]}") R_DC[$syntax]=$(median "${rd[@]}")
  U_ST[$syntax]=$(median "${us[@]}") U_DC[$syntax]=$(median "${ud[@]}")
  PEAK[$syntax]=$(median "${pk[@]}")
  BREAK[$syntax]="move $(median "${mv[@]}") + deliver $(median "${dl[@]}") + paint $(median "${pt[@]}") ms"
  CPU[$syntax]="station $(median "${sc[@]}") ms ($(median "${sf[@]}") page faults), archive $(median "${ac[@]}") ms; storescp $(median "${dc[@]}") ms, archive $(median "${da[@]}") ms"

  if [ "$DETAIL" = 1 ]; then
    station "$STATE/archive.env" "${ACCESSION[$syntax]}" $IMAGES --detail >"$WORK/detail.txt"
    echo "         detail ($syntax):" \
      "$(awk '$1 == "thread_cpu_ms" {t = t " " $2 " " $3}
              $1 == "decode_ms" {d = d " " $3} $1 == "send_ms" {s = s " " $3}
              END {print "retrieval cpu by thread:" t " ms; decode alone" d " ms; store alone" s " ms"}' \
        "$WORK/detail.txt")"
  fi
done

echo
echo "Study: $IMAGES x ${COLUMNS}x${ROWS} 16-bit, pixel bytes $PIXEL_BYTES ($((PIXEL_BYTES / 1048576)) MiB);" \
  "medians of $REPEATS runs"
printf '%-10s %-9s %10s %10s %7s %7s\n' syntax measure station dcmtk ratio goal
for syntax in "${SYNTAXES[@]}"; do
  awk -v s="$syntax" -v a="${R_ST[$syntax]}" -v b="${R_DC[$syntax]}" \
    'BEGIN { printf "%-10s %-9s %7d ms %7d ms %7.2f %7s\n", s, "retrieve", a, b, a / (b ? b : 1), "<= 1.0" }'
  awk -v s="$syntax" -v a="${R_FIRST[$syntax]}" -v b="${R_DC[$syntax]}" \
    'BEGIN { printf "%-10s %-9s %7d ms %7d ms %7.2f %7s\n", s, "first retr", a, b, a / (b ? b : 1), "<= 1.0" }'
  awk -v s="$syntax" -v a="${U_ST[$syntax]}" -v b="${U_DC[$syntax]}" \
    'BEGIN { printf "%-10s %-9s %7d ms %7d ms %7.2f %7s\n", s, "update", a, b, a / (b ? b : 1), "<= 1.1" }'
  awk -v s="$syntax" -v a="${PEAK[$syntax]}" -v g="$GOAL_KIB" \
    'BEGIN { printf "%-10s %-9s %6d MiB %6d MiB %7.2f %7s\n", s, "peak mem", a / 1024, g / 1024, a / g, "<= 1.0" }'
done
echo
echo "Station retrieval (median parts): "
for syntax in "${SYNTAXES[@]}"; do echo "  $syntax: ${BREAK[$syntax]}"; done
echo "CPU time during the retrieval (medians):"
for syntax in "${SYNTAXES[@]}"; do echo "  $syntax: ${CPU[$syntax]}"; done
echo "peak mem: station VmHWM with the study on screen after both retrievals and the update;"
echo "          goal = 2 x pixel bytes + 150 MiB."
