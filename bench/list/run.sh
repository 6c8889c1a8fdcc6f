#!/usr/bin/env bash
# A day's list: 10 studies of one patient, 4 images of 3328x4096 16-bit
# each, found by one search and worked as an operator would (a fixed look at
# each study, one image relabelled, the update, "Next Study"), over a link
# of 100 Mbit/s in each direction that the benchmark puts between the
# station and the archive (two relays of its own on loopback sharing it).
# Each repeat runs the list with the next study fetched ahead and without.
#
#   wait       "Next Study" pressed until the next study's tiles are drawn,
#              per study; median with the fetch ahead: goal <= 0.1 s
#   list       the double-click on the first row until the last study,
#              looked at and relabelled, is updated; with / without: goal <= 0.6
#   peak mem   the station's VmHWM with the fetch ahead, against one study's
#              pixel bytes: goal <= 2.5
#
# Missed goals are reported, never failed.
#
#   bench/list/run.sh <builddir> [repeats]
#
# BENCH_MBIT (default 100; 0: no link, the station on the archive directly),
# BENCH_LOOK_MS (default 3000), BENCH_RELABEL (images relabelled per study,
# default 1), BENCH_SYNTAX (the archive's transfer syntax, default explicit),
# BENCH_STUDIES (default 10).
set -euo pipefail

BUILD=${1:?usage: $0 <builddir> [repeats]}
REPEATS=${2:-1}
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BENCH=$BUILD/bin/brevant-bench-list
SAMPLES=$BUILD/bin/brevant-samples
STUDIES=${BENCH_STUDIES:-10}
VIEWS=4
ROWS=4096
COLUMNS=3328
MBIT=${BENCH_MBIT:-100}
LOOK_MS=${BENCH_LOOK_MS:-3000}
RELABEL=${BENCH_RELABEL:-1}
SYNTAX=${BENCH_SYNTAX:-explicit}
PATIENT=LISTBENCH

[ -x "$BENCH" ] || { echo "build the target brevant-bench-list first ($BENCH missing)" >&2; exit 2; }
[ -x "$SAMPLES" ] || { echo "build the target brevant-samples first ($SAMPLES missing)" >&2; exit 2; }

WORK=$(mktemp -d)
STATE=$WORK/archive
cleanup() {
  "$ROOT/tools/archive.sh" stop "$STATE" >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT

median() {
  printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'
}

"$ROOT/tools/archive.sh" start "$STATE" >/dev/null
"$SAMPLES" --out "$WORK/samples" --studies "$STUDIES" --images $VIEWS --rows $ROWS --columns $COLUMNS \
  --bits 16 --syntax "$SYNTAX" --patient-id "$PATIENT" >/dev/null
"$ROOT/tools/archive.sh" seed "$STATE" "$WORK/samples" >/dev/null
STUDY_BYTES=$(( $(du -sb "$WORK/samples" | cut -f1) / STUDIES ))
PIXEL_BYTES=$((VIEWS * ROWS * COLUMNS * 2))
echo "seeded $STUDIES studies of $VIEWS x ${COLUMNS}x${ROWS} 16-bit ($SYNTAX, about $((STUDY_BYTES / 1048576)) MiB each);" \
  "link ${MBIT} Mbit/s each way; look ${LOOK_MS} ms, $RELABEL image(s) relabelled per study"
echo "load average before the runs: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs"

declare -a W_AHEAD=() W_PLAIN=() L_AHEAD=() L_PLAIN=() P_AHEAD=() P_PLAIN=()
station() {  # station <mode> <out>
  local extra=()
  [ "$1" = ahead ] || extra=(--no-ahead)
  QT_QPA_PLATFORM=offscreen "$BENCH" "$STATE/archive.env" "$PATIENT" "$STUDIES" $VIEWS \
    --mbit "$MBIT" --look-ms "$LOOK_MS" --relabel "$RELABEL" "${extra[@]}" >"$2"
}
for run in $(seq 1 "$REPEATS"); do
  for mode in plain ahead; do
    out=$WORK/$mode-$run.txt
    station "$mode" "$out"
    waits=$(awk '$1 == "wait_ms" {printf "%s ", $3}' "$out")
    list=$(awk '$1 == "list_ms" {print $2}' "$out")
    peak=$(awk '$1 == "peak_kib" {print $2}' "$out")
    first=$(awk '$1 == "first_ms" {print $2}' "$out")
    updates=$(awk '$1 == "update_ms" {printf "%s ", $3}' "$out")
    printf '%-5s run %d: first %d ms; waits (ms) %s; updates (ms) %s; list %d ms; peak %d MiB\n' \
      "$mode" "$run" "$first" "$waits" "$updates" "$list" $((peak / 1024))
    # shellcheck disable=SC2206
    if [ "$mode" = ahead ]; then W_AHEAD+=($waits) L_AHEAD+=("$list") P_AHEAD+=("$peak")
    else W_PLAIN+=($waits) L_PLAIN+=("$list") P_PLAIN+=("$peak"); fi
  done
done

MISSED=0
VERDICT=""
judge() {  # judge <value> <goal>: VERDICT met when value <= goal
  if awk -v v="$1" -v g="$2" 'BEGIN { exit !(v + 0 <= g + 0) }'; then VERDICT=met; else
    MISSED=$((MISSED + 1)) VERDICT=MISSED; fi
}
wa=$(median "${W_AHEAD[@]}") wp=$(median "${W_PLAIN[@]}")
la=$(median "${L_AHEAD[@]}") lp=$(median "${L_PLAIN[@]}")
pa=$(median "${P_AHEAD[@]}") pp=$(median "${P_PLAIN[@]}")
ratio=$(awk -v a="$la" -v b="$lp" 'BEGIN { printf "%.2f", a / b }')
mem=$(awk -v a="$pa" -v b="$PIXEL_BYTES" 'BEGIN { printf "%.2f", a * 1024 / b }')
memp=$(awk -v a="$pp" -v b="$PIXEL_BYTES" 'BEGIN { printf "%.2f", a * 1024 / b }')
echo
echo "medians over $REPEATS run(s), waits over every study after the first:"
printf '%-28s %10s %10s %8s %s\n' measure "fetch ahead" without "goal" ""
judge "$wa" 100
printf '%-28s %8d ms %7d ms %8s %s\n' "wait, Next Study to tiles" "$wa" "$wp" "<= 100" "$VERDICT"
judge "$ratio" 0.6
printf '%-28s %8d ms %7d ms %8s %s (ratio %s)\n' "whole list" "$la" "$lp" "<= 0.6x" "$VERDICT" "$ratio"
judge "$mem" 2.5
printf '%-28s %7d MiB %6d MiB %8s %s (%sx / %sx one study'"'"'s pixel bytes, %d MiB)\n' "peak memory" \
  $((pa / 1024)) $((pp / 1024)) "<= 2.5x" "$VERDICT" "$mem" "$memp" $((PIXEL_BYTES / 1048576))
echo "goals missed: $MISSED (reported, not failed)"
echo "load average after the runs: $(cut -d' ' -f1-3 /proc/loadavg)"
