#!/usr/bin/env bash
# Listing 399 matches: the search window (press "Search" until the grid
# holds every row, drawn) against DCMTK's findscu asking the same archive
# the same query. Prints both median times and their ratio (goal <= 1.0,
# reported met or missed, never failed).
#
#   bench/search/run.sh <builddir> [repeats]
set -euo pipefail

BUILD=${1:?usage: $0 <builddir> [repeats]}
REPEATS=${2:-7}
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BENCH=$BUILD/bin/brevant-bench-search
COUNT=399
PREFIX=BENCH

[ -x "$BENCH" ] || { echo "build the target brevant-bench-search first ($BENCH missing)" >&2; exit 2; }
command -v findscu >/dev/null || { echo "findscu not found" >&2; exit 2; }

WORK=$(mktemp -d)
STATE=$WORK/archive
cleanup() {
  "$ROOT/tools/archive.sh" stop "$STATE" >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT

"$ROOT/tools/archive.sh" start "$STATE" >/dev/null
# shellcheck disable=SC1091
. "$STATE/archive.env"

echo "Seeding $COUNT one-image studies (64x64) ..."
start=$(date +%s%N)
"$BENCH" seed "$WORK/studies" "$COUNT" "$PREFIX"
"$ROOT/tools/archive.sh" seed "$STATE" "$WORK/studies" >/dev/null
echo "  seeded in $(( ($(date +%s%N) - start) / 1000000 )) ms"

echo "Search window, $REPEATS runs:"
QT_QPA_PLATFORM=offscreen "$BENCH" grid "$STATE/archive.env" "$PREFIX*" "$COUNT" "$REPEATS" | tee "$WORK/grid.txt"
GRID_MS=$(awk '/^grid_median_ms/ {print $2}' "$WORK/grid.txt")

# findscu with the identifier the station sends (the eight criteria keys and
# the return keys of the result list).
FIND_KEYS=(-k QueryRetrieveLevel=STUDY -k PatientName= -k "PatientID=$PREFIX*" -k PatientSex=
           -k PatientBirthDate= -k StudyDate= -k StudyDescription= -k AccessionNumber=
           -k StudyInstanceUID= -k StudyTime= -k Modality= -k ModalitiesInStudy=)
FINDSCU=(findscu -S -to 5 -ta 10 -td 30 -aet BENCH -aec "$ARCHIVE_AET" "$ARCHIVE_HOST" "$ARCHIVE_DICOM_PORT"
         "${FIND_KEYS[@]}")
# Once with the responses printed, to check that it sees every match; the
# timed runs are quiet, so that findscu spends no time on printing.
matches=$("${FINDSCU[@]}" 2>&1 | tr -d '\0' | grep -c "Find Response:.*(Pending)" || true)
if [ "$matches" != "$COUNT" ]; then
  echo "findscu returned $matches matches (expected $COUNT)" >&2
  exit 1
fi
echo "findscu, $REPEATS runs:"
times=()
for _ in $(seq 1 "$REPEATS"); do
  t0=$(date +%s%N)
  "${FINDSCU[@]}" -q >"$WORK/findscu.log" 2>&1
  t1=$(date +%s%N)
  ms=$(( (t1 - t0) / 1000000 ))
  echo "findscu_ms $ms"
  times+=("$ms")
done
FIND_MS=$(printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')

echo
echo "Listing $COUNT matches (median of $REPEATS):"
echo "  search window: $GRID_MS ms"
echo "  findscu:       $FIND_MS ms"
awk -v g="$GRID_MS" -v f="$FIND_MS" 'BEGIN {
  if (f == 0) f = 1;
  r = sprintf("%.2f", g / f) + 0
  printf "  ratio window/findscu: %.2f (goal <= 1.0: %s)\n", r, (r <= 1.0 ? "met" : "MISSED") }'
