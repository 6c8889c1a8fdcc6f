#!/usr/bin/env bash
# The station against DCMTK's tools, on a four-view study of 3328x4096 16-bit
# images per transfer syntax (explicit little endian, JPEG-LS and JPEG 2000
# lossless; JPEG lossless on demand), and on a combo study: the four views
# plus two tomosynthesis objects of 50 frames (explicit, about 1 GB).
#
#   retrieve     the station, from the double-click on the search result
#                until the tiled study is drawn, against movescu moving the
#                study to storescp (writing to disk) until all files are
#                there. "retrieve" is a later retrieval of a running station,
#                as storescp is a running receiver (goal <= 0.9); "first
#                retr" is the first retrieval of a freshly started station,
#                whose memory is all new to it (goal <= 1.0). JPEG 2000:
#                the later retrieval <= 1.0. Combo: the later retrieval <= 1.0.
#                JPEG-LS and JPEG, whose tiles the station draws from the
#                full decode: the first retrieval against the move and the
#                decodes two at a time (goal <= 1.0), the later one in the
#                rows below;
#   retr+decode  compressed syntaxes: the same retrieval against movescu +
#                storescp and then DCMTK's decoder on each received file one
#                after another (dcmdjpls, dcmdjpeg; for JPEG 2000
#                opj_decompress at full resolution on the codestream taken
#                out of the file untimed). Goal <= 0.6, JPEG 2000 <= 0.2.
#                "retr+dec 2x" runs the decodes two at a time, as the station
#                decodes on 2 cores (shown, no goal);
#   update       "Update Study" with all four images labelled: the stores,
#                then the read-back from the archive that confirms the
#                labels, against storescu sending the four files in one run
#                (goal <= 1.5). "upd check" is the read-back alone (the same
#                check again right after the update), "upd store" the total
#                less the check;
#   closer look  a double-click on tile 1 until the image is drawn alone,
#                against dcm2pnm +on writing that image as a PNG (for
#                JPEG-LS and JPEG its builds dcml2pnm and dcmj2pnm; JPEG
#                2000, which DCMTK cannot decode: opj_decompress writing the
#                codestream as a PNG). Goal <= 1.0;
#   peak mem     the station's peak resident memory, against the study's
#                pixel bytes (explicit: goal <= 1.5) or, for the combo, the
#                study's bytes (goal <= 1.1).
#
# The explicit study is also measured over TLS ("explicit+tls" rows), on an
# archive of its own that speaks only TLS, requires the caller's
# certificate and moves to the station over TLS (tools/certs.sh,
# tools/archive.sh --tls), the station run with TlsEnabled=1:
#   retrieve / first retr  against the station's own plain retrieval of the
#                same study in the same round (goal <= 1.3);
#   retr/push    the later retrieval against the archive pushing the study to
#                storescp +tls (its REST store to a modality with TLS) until
#                all files are on disk (goal <= 1.2; "first/push" shown);
#   update       stores and read-back against storescu +tls sending the four
#                files in one run (goal <= 1.5; "upd store", "upd check"
#                shown). BENCH_TLS=0 leaves these out.
#
# Prints per-run figures and a table of medians. Missed goals are reported,
# never failed: the exit status is non-zero only when something broke.
#
#   bench/station/run.sh <builddir> [repeats]
#
# BENCH_STATION_LOG=<file> keeps there every figure the station printed.
# BENCH_ON_DISK=1 keeps the archives' storage on the disk (see WORK below).
# BENCH_SYNTAXES picks the studies, e.g. "explicit" or "jpeg-lossless combo"
# (default: explicit jpeg-ls jpeg2000-lossless combo).
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
VIEWS=4
TOMO_OBJECTS=2
TOMO_FRAMES=50
read -r -a STUDIES <<<"${BENCH_SYNTAXES:-explicit jpeg-ls jpeg2000-lossless combo}"
# BENCH_DETAIL=1 adds a last station run per study that splits the
# retrieval's CPU time by thread and times each image's decoding and each
# image's store on its own.
DETAIL=${BENCH_DETAIL:-0}
# STATION_GLIBC_TUNABLES, when set, is given to the station process only
# (GLIBC_TUNABLES), to try allocator settings without touching the baseline.
STATION_TUNABLES=${STATION_GLIBC_TUNABLES:-}

# Per transfer syntax: what storescp prefers and storescu proposes (both
# otherwise fall back to uncompressed, and the archive would transcode), and
# DCMTK's decoder ("" for none).
declare -A STORESCP_SYNTAX=([explicit]=+x= [jpeg-ls]=+xt [jpeg-lossless]=+xs [jpeg2000-lossless]=+xv)
declare -A STORESCU_SYNTAX=([explicit]=-x= [jpeg-ls]=-xt [jpeg-lossless]=-xs [jpeg2000-lossless]=-xv)
declare -A DECODER=([explicit]="" [jpeg-ls]=dcmdjpls [jpeg-lossless]=dcmdjpeg [jpeg2000-lossless]=opj_decompress)
# What writes one image as a PNG: dcm2pnm, in Debian's builds with the JPEG
# and the JPEG-LS decoders under the names dcmj2pnm and dcml2pnm. No DCMTK
# tool decodes JPEG 2000: there opj_decompress writes the codestream as a PNG.
declare -A TO_PNG=([explicit]=dcm2pnm [jpeg-ls]=dcml2pnm [jpeg-lossless]=dcmj2pnm [jpeg2000-lossless]=opj_decompress)
declare -A GOAL_RETRIEVE=([jpeg2000-lossless]=1.0 [combo]=1.0)
# The station draws a JPEG-LS or JPEG study from its full decode, so that its
# retrieval is held against the tools' move and decodes (two at a time), not
# against the move alone; JPEG 2000 tiles come from a reduced level.
declare -A DECODES_FULLY=([jpeg-ls]=1 [jpeg-lossless]=1)
declare -A GOAL_FIRST=()
declare -A GOAL_DECODE=([jpeg-ls]=0.6 [jpeg-lossless]=0.6 [jpeg2000-lossless]=0.2)
# Against the decodes two at a time (the station decodes on the 2 cores).
declare -A GOAL_DECODE2=([jpeg-ls]=0.75)
# Peak memory against the pixel bytes; the combo against its bytes.
declare -A GOAL_PEAK=([explicit]=1.5 [jpeg-ls]=1.5 [jpeg2000-lossless]=1.5)
# The update (stores and read-back) and its stores alone, against storescu.
GOAL_UPDATE=1.1
GOAL_STORES=0.9
# The archives the update is measured on besides the one of the runs above
# (Orthanc replacing what it is sent again), with the explicit study:
# Orthanc keeping its first copy, and dcmqrscp. BENCH_UPDATE_ARCHIVES="" skips them.
read -r -a UPDATE_ARCHIVES <<<"${BENCH_UPDATE_ARCHIVES-keep-first dcmqrscp}"
# The explicit study over TLS besides (BENCH_TLS=0: not).
TLS=0
if [ "${BENCH_TLS:-1}" != 0 ] && [[ " ${STUDIES[*]} " == *" explicit "* ]]; then TLS=1; fi
GOAL_TLS_RETRIEVE=1.3
GOAL_TLS_PUSH=1.2
GOAL_TLS_UPDATE=1.5

syntax_of() { if [ "$1" = combo ]; then echo explicit; else echo "$1"; fi; }
objects_of() { if [ "$1" = combo ]; then echo $((VIEWS + TOMO_OBJECTS)); else echo $VIEWS; fi; }

[ -x "$BENCH" ] || { echo "build the target brevant-bench-station first ($BENCH missing)" >&2; exit 2; }
[ -x "$SAMPLES" ] || { echo "build the target brevant-samples first ($SAMPLES missing)" >&2; exit 2; }
for tool in storescp movescu storescu dcmdump curl $([ $TLS = 0 ] || echo openssl); do
  command -v "$tool" >/dev/null || { echo "$tool not found" >&2; exit 2; }
done
for study in "${STUDIES[@]}"; do
  syntax=$(syntax_of "$study")
  [ -n "${STORESCU_SYNTAX[$syntax]+set}" ] || { echo "unknown study $study" >&2; exit 2; }
  for tool in ${DECODER[$syntax]} ${TO_PNG[$syntax]}; do
    command -v "$tool" >/dev/null || { echo "$tool not found" >&2; exit 2; }
  done
done

# The archives, their seeds and storescp's folders in memory (/dev/shm) when
# it has room: on disk, the machine's writeback and reclaim decided the
# update rows (the station's stores alone took 503 to 951 ms within one run,
# storescu 769 to 1,187 ms). BENCH_ON_DISK=1 keeps them under the temporary
# folder instead.
shm_kib=$(df -Pk /dev/shm 2>/dev/null | awk 'NR == 2 {print $4}')
if [ -z "${BENCH_ON_DISK:-}" ] && [ "${shm_kib:-0}" -gt $((8 * 1024 * 1024)) ]; then
  WORK=$(mktemp -d -p /dev/shm)
else
  WORK=$(mktemp -d)
fi
STATE=$WORK/archive
SCP_PID=""
TLS_SCP_PID=""
stop_storescp() {
  if [ -n "$SCP_PID" ]; then
    kill "$SCP_PID" 2>/dev/null || true
    wait "$SCP_PID" 2>/dev/null || true
    SCP_PID=""
  fi
}
cleanup() {
  stop_storescp
  if [ -n "$TLS_SCP_PID" ]; then
    kill "$TLS_SCP_PID" 2>/dev/null || true
    wait "$TLS_SCP_PID" 2>/dev/null || true
  fi
  "$ROOT/tools/archive.sh" stop "$WORK/tls" >/dev/null 2>&1 || true
  "$ROOT/tools/archive.sh" stop "$STATE" >/dev/null 2>&1 || true
  "$ROOT/tools/archive.sh" stop "$WORK/keep-first" >/dev/null 2>&1 || true
  "$ROOT/tools/qrscp.sh" stop "$WORK/dcmqrscp" >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# await_files <dir> <count> <who>: until the receiver has written count files (30 s at most).
await_files() {
  local deadline=$((SECONDS + 30))
  while [ "$(find "$1" -type f | wc -l)" -lt "$2" ]; do
    [ $SECONDS -lt $deadline ] || { echo "$3 did not receive $2 files" >&2; exit 1; }
    sleep 0.005
  done
}

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

# The baseline receiver: storescp writing to disk, known to the archive as
# BASELINE, started per study preferring the study's transfer syntax.
SCP_DIR=$WORK/storescp
mkdir -p "$SCP_DIR"
# spawn_storescp <aet> <folder> <log> <http-port> <tls: true|false> <storescp options...>:
# storescp on a free port, known by its AE title to the archive answering
# HTTP on the port; its pid in SPAWNED.
spawn_storescp() {
  local aet=$1 dir=$2 log=$3 http=$4 tls=$5 port deadline
  shift 5
  port=$(free_port)
  storescp -q -dhl -aet "$aet" -od "$dir" "$@" -ta 10 -td 60 -ts 60 "$port" >"$log" 2>&1 &
  SPAWNED=$!
  deadline=$((SECONDS + 10))
  until port_open "$port"; do
    [ $SECONDS -lt $deadline ] || { echo "storescp did not start" >&2; exit 1; }
    kill -0 "$SPAWNED" 2>/dev/null || { echo "storescp ended:" >&2; cat "$log" >&2; exit 1; }
    sleep 0.05
  done
  curl -sS -f --noproxy '*' --connect-timeout 5 --max-time 30 -X PUT \
    "http://$ARCHIVE_HOST:$http/modalities/$aet" \
    --data "{\"AET\":\"$aet\",\"Host\":\"127.0.0.1\",\"Port\":$port,\"UseDicomTls\":$tls}" >/dev/null
}
start_storescp() {  # start_storescp <preference>
  stop_storescp
  spawn_storescp BASELINE "$SCP_DIR" "$WORK/storescp.log" "$ARCHIVE_HTTP_PORT" false "$1"
  SCP_PID=$SPAWNED
}

# DCMTK's decoder on received file <n> of the storescp folder (JPEG 2000:
# on its codestream, taken out beforehand).
decode_one() {  # decode_one <syntax> <n>
  local in=${RECEIVED[$2]}
  case ${DECODER[$1]} in
    opj_decompress)
      opj_decompress -threads 1 -quiet -i "$WORK/codestream/$2.j2k" -o "$WORK/decoded/$2.raw" >/dev/null ;;
    *) "${DECODER[$1]}" "$in" "$WORK/decoded/$2.dcm" ;;
  esac
}

PIXEL_BYTES=$((VIEWS * ROWS * COLUMNS * 2))

DCMTK_NET=(-aet BENCH -aec "$ARCHIVE_AET" -to 5 -ta 10 -td 60)
declare -A ACCESSION STUDY_UID FILES STUDY_BYTES SOP_FILE
seed=1
for study in "${STUDIES[@]}"; do
  out=$WORK/samples-$study
  extra=()
  [ "$study" != combo ] || extra=(--tomo "$TOMO_OBJECTS" --frames "$TOMO_FRAMES")
  # The generator in a process of its own: its memory is no part of the figures.
  "$SAMPLES" --out "$out" --rows $ROWS --columns $COLUMNS --bits 16 --syntax "$(syntax_of "$study")" \
    --images $VIEWS "${extra[@]}" --seed $seed >/dev/null
  files=$(find "$out" -type f | sort | tr '\n' ' ')
  first=${files%% *}
  ACCESSION[$study]=$(tag "$first" 0008,0050)
  STUDY_UID[$study]=$(tag "$first" 0020,000d)
  FILES[$study]=$files
  for f in $files; do SOP_FILE[$(tag "$f" 0008,0018)]=$f; done
  # shellcheck disable=SC2086
  STUDY_BYTES[$study]=$(du -cb $files | tail -n 1 | cut -f1)
  # shellcheck disable=SC2086
  "$ROOT/tools/archive.sh" seed "$STATE" $files >/dev/null
  echo "seeded $study: accession ${ACCESSION[$study]}, ${STUDY_BYTES[$study]} bytes in $(objects_of "$study") files"
  seed=$((seed + 1))
done

# The TLS archive with the explicit study, and storescp +tls (presenting
# the station's certificate, requiring the archive's) known to it as
# TLSBASE with TLS.
if [ $TLS = 1 ]; then
  CERTS=$WORK/certs
  TLS_STATE=$WORK/tls
  TLS_SCP_DIR=$WORK/storescp-tls
  TLS_KEYS=(+tls "$CERTS/station.key" "$CERTS/station.crt" +cf "$CERTS/trusted.crt" --require-peer-cert)
  mkdir -p "$TLS_SCP_DIR"
  "$ROOT/tools/certs.sh" "$CERTS" >/dev/null
  "$ROOT/tools/archive.sh" start "$TLS_STATE" --tls "$CERTS" >/dev/null
  # shellcheck disable=SC2086
  "$ROOT/tools/archive.sh" seed "$TLS_STATE" ${FILES[explicit]} >/dev/null
  TLS_HTTP=$(sed -n 's/^ARCHIVE_HTTP_PORT=//p' "$TLS_STATE/archive.env")
  TLS_DICOM=$(sed -n 's/^ARCHIVE_DICOM_PORT=//p' "$TLS_STATE/archive.env")
  TLS_STUDY_ID=$(curl -sS -f --noproxy '*' --connect-timeout 5 --max-time 30 -X POST \
    "http://$ARCHIVE_HOST:$TLS_HTTP/tools/lookup" --data "${STUDY_UID[explicit]}" |
    tr -d ' \n' | sed -n 's/.*"ID":"\([^"]*\)".*"Type":"Study".*/\1/p')
  [ -n "$TLS_STUDY_ID" ] || { echo "the TLS archive does not know the explicit study" >&2; exit 1; }
  spawn_storescp TLSBASE "$TLS_SCP_DIR" "$WORK/storescp-tls.log" "$TLS_HTTP" true +x= "${TLS_KEYS[@]}"
  TLS_SCP_PID=$SPAWNED
  echo "TLS archive with the explicit study at $ARCHIVE_HOST:$TLS_DICOM, storescp +tls as TLSBASE"
fi

echo "load average before the runs: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs"
echo "working folder (archives, seeds, storescp): $WORK"
[ -z "$STATION_TUNABLES" ] || echo "station runs with GLIBC_TUNABLES=$STATION_TUNABLES"
declare -A TLS_FIG
declare -A LABEL R_ST R_FIRST R_DC R_DEC R_DEC2 U_ST U_DC U_CHK U_STORE CL_ST CL_DC PEAK PEAK_ALL BREAK CPU
for study in "${STUDIES[@]}"; do
  syntax=$(syntax_of "$study")
  objects=$(objects_of "$study")
  decoder=${DECODER[$syntax]}
  # The combo study is not sent back on every run: its figures are the
  # retrieval and the memory.
  station_args=()
  [ "$study" != combo ] || station_args=(--no-update)
  start_storescp "${STORESCP_SYNTAX[$syntax]}"
  reset() {
    rs=() rf=() lm=() lp=() rd=() dd=() dp=() us=() ud=() ck=() st=() cs=() cd=() pk=() pa=()
    mv=() dl=() pt=() sc=() sf=() ac=() dc=() da=()
    trs=() trf=() tus=() tst=() tck=() tpk=() tpd=() tud=()
  }
  reset
  # Run 0 warms up the archive, the page cache and storescp and is not
  # counted: the first run after seeding was up to twice as slow for both.
  # Written data is synced before each timed part, so that no part pays for
  # the write-back of the one before.
  for run in $(seq 0 "$REPEATS"); do
    # The station: a fresh process each run, so its peak memory is this study's.
    sync
    station "$STATE/archive.env" "${ACCESSION[$study]}" "$objects" "${station_args[@]}" >"$WORK/station.txt"
    [ -z "${BENCH_STATION_LOG:-}" ] || { echo "== $study run $run"; cat "$WORK/station.txt"; } >>"$BENCH_STATION_LOG"
    val() { awk -v k="$1" '$1 == k {print $2}' "$WORK/station.txt"; }
    rs+=("$(val retrieve_ms)") rf+=("$(val first_retrieve_ms)")
    pk+=("$(val peak_kib)") pa+=("$(val peak_session_kib)")
    mv+=("$(val move_ms)") dl+=("$(val deliver_ms)") pt+=("$(val paint_ms)")
    sc+=("$(val retrieve_cpu_ms)") sf+=("$(val retrieve_faults)") ac+=("$(val archive_cpu_ms)")
    cs+=("$(val closer_ms)")
    station_syntax=$(val received_syntax)
    closer_file=${SOP_FILE[$(val closer_sop_uid)]:-}
    [ -n "$closer_file" ] || { echo "the closer look showed an image of no sample file" >&2; exit 1; }
    if [ "$study" != combo ]; then
      us+=("$(val update_ms)") ck+=("$(val check_ms)") st+=("$(val store_ms)")
      lm+=("$(val label_median_us)") lp+=("$(val label_p95_us)")
    fi

    # movescu to storescp, until all files are on disk.
    rm -f "$SCP_DIR"/*
    sync
    scp0=$(cpu_ms "$SCP_PID") arc0=$(cpu_ms "$ARCHIVE_PID")
    t0=$(now_ms)
    movescu -S -aem BASELINE "${DCMTK_NET[@]}" "$ARCHIVE_HOST" "$ARCHIVE_DICOM_PORT" \
      -k QueryRetrieveLevel=STUDY -k "StudyInstanceUID=${STUDY_UID[$study]}" \
      >"$WORK/movescu.log" 2>&1 || { cat "$WORK/movescu.log" >&2; exit 1; }
    await_files "$SCP_DIR" "$objects" storescp
    t1=$(now_ms)
    rd+=($((t1 - t0)))
    dc+=($(($(cpu_ms "$SCP_PID") - scp0))) da+=($(($(cpu_ms "$ARCHIVE_PID") - arc0)))

    # DCMTK's decoder on each received file: one after another, then two at
    # a time. A JPEG 2000 codestream is taken out of its file untimed.
    if [ -n "$decoder" ]; then
      mapfile -t RECEIVED < <(find "$SCP_DIR" -type f | sort)
      rm -rf "$WORK/codestream"
      mkdir -p "$WORK/codestream"
      if [ "$decoder" = opj_decompress ]; then
        for n in "${!RECEIVED[@]}"; do
          "$BENCH" --extract-codestream "${RECEIVED[$n]}" "$WORK/codestream/$n.j2k"
        done
      fi
      rm -rf "$WORK/decoded" && mkdir -p "$WORK/decoded"
      sync
      t0=$(now_ms)
      for n in "${!RECEIVED[@]}"; do decode_one "$syntax" "$n"; done
      t1=$(now_ms)
      dd+=($((t1 - t0)))
      rm -rf "$WORK/decoded" && mkdir -p "$WORK/decoded"
      sync
      t0=$(now_ms)
      lanes=()
      for lane in 0 1; do
        (for n in "${!RECEIVED[@]}"; do
          [ $((n % 2)) != "$lane" ] || decode_one "$syntax" "$n"
        done) &
        lanes+=($!)
      done
      for pid in "${lanes[@]}"; do wait "$pid"; done
      t1=$(now_ms)
      dp+=($((t1 - t0)))
    fi

    if [ "$study" != combo ]; then
      # storescu with the four generated files in one association.
      sync
      t0=$(now_ms)
      # shellcheck disable=SC2086
      storescu "${STORESCU_SYNTAX[$syntax]}" "${DCMTK_NET[@]}" "$ARCHIVE_HOST" "$ARCHIVE_DICOM_PORT" ${FILES[$study]} \
        >"$WORK/storescu.log" 2>&1 || { cat "$WORK/storescu.log" >&2; exit 1; }
      t1=$(now_ms)
      ud+=($((t1 - t0)))

      # The closer look's image written as a PNG.
      if [ "$syntax" = jpeg2000-lossless ]; then
        "$BENCH" --extract-codestream "$closer_file" "$WORK/closer.j2k"
        sync
        t0=$(now_ms)
        opj_decompress -quiet -i "$WORK/closer.j2k" -o "$WORK/closer.png" >/dev/null
      else
        sync
        t0=$(now_ms)
        "${TO_PNG[$syntax]}" +on "$closer_file" "$WORK/closer.png"
      fi
      t1=$(now_ms)
      cd+=($((t1 - t0)))
    fi

    if [ "$study" = explicit ] && [ $TLS = 1 ]; then
      # The station over TLS, a fresh process as above.
      sync
      station "$TLS_STATE/archive.env" "${ACCESSION[$study]}" "$objects" --tls "$CERTS" >"$WORK/station-tls.txt"
      tval() { awk -v k="$1" '$1 == k {print $2}' "$WORK/station-tls.txt"; }
      trs+=("$(tval retrieve_ms)") trf+=("$(tval first_retrieve_ms)") tus+=("$(tval update_ms)")
      tst+=("$(tval store_ms)") tck+=("$(tval check_ms)") tpk+=("$(tval peak_kib)")
      tbr=$(printf 'move %d, deliver %d, paint %d; cpu %d ms, archive cpu %d ms' "$(tval move_ms)" \
        "$(tval deliver_ms)" "$(tval paint_ms)" "$(tval retrieve_cpu_ms)" "$(tval archive_cpu_ms)")

      # The archive pushing the study to storescp +tls, until all files are on disk.
      rm -f "$TLS_SCP_DIR"/*
      sync
      t0=$(now_ms)
      curl -sS -f --noproxy '*' --connect-timeout 5 --max-time 120 -X POST \
        "http://$ARCHIVE_HOST:$TLS_HTTP/modalities/TLSBASE/store" \
        --data "{\"Resources\":[\"$TLS_STUDY_ID\"],\"Synchronous\":true}" >"$WORK/push.log" 2>&1 ||
        { cat "$WORK/push.log" "$WORK/storescp-tls.log" >&2; exit 1; }
      await_files "$TLS_SCP_DIR" "$objects" "storescp +tls"
      t1=$(now_ms)
      tpd+=($((t1 - t0)))

      # storescu +tls with the four generated files in one association.
      sync
      t0=$(now_ms)
      # shellcheck disable=SC2086
      storescu -x= "${TLS_KEYS[@]}" -aet BENCH -aec "$ARCHIVE_AET" -to 5 -ta 10 -td 60 \
        "$ARCHIVE_HOST" "$TLS_DICOM" ${FILES[$study]} >"$WORK/storescu.log" 2>&1 ||
        { cat "$WORK/storescu.log" >&2; exit 1; }
      t1=$(now_ms)
      tud+=($((t1 - t0)))
    fi

    line=$(printf '%-8s run %d: station first %5d ms, retrieve %5d ms (move %d, deliver %d, paint %d; cpu %d ms, %d faults)' \
      "$study" "$run" "${rf[-1]}" "${rs[-1]}" "${mv[-1]}" "${dl[-1]}" "${pt[-1]}" "${sc[-1]}" "${sf[-1]}")
    [ "$study" = combo ] || line+=$(printf ', update %d ms (stores alone %d, check alone %d), closer look %d ms' "${us[-1]}" "${st[-1]}" "${ck[-1]}" "${cs[-1]}")
    line+=$(printf ', peak %d MiB | movescu %d ms (storescp cpu %d ms)' $((pk[-1] / 1024)) "${rd[-1]}" "${dc[-1]}")
    [ -z "$decoder" ] || line+=$(printf ', %s x%d %d ms (2 at a time %d ms)' "$decoder" "${#RECEIVED[@]}" "${dd[-1]}" "${dp[-1]}")
    [ "$study" = combo ] || line+=$(printf ', storescu %d ms, png %d ms' "${ud[-1]}" "${cd[-1]}")
    echo "$line"
    [ ${#tpd[@]} = 0 ] || printf '%-8s run %d over TLS: station first %5d ms, retrieve %5d ms (%s), update %d ms (stores alone %d, check alone %d), peak %d MiB | push to storescp +tls %d ms, storescu +tls %d ms\n' \
      "$study" "$run" "${trf[-1]}" "${trs[-1]}" "$tbr" "${tus[-1]}" "${tst[-1]}" "${tck[-1]}" $((tpk[-1] / 1024)) "${tpd[-1]}" "${tud[-1]}"
    if [ "$run" = 0 ]; then
      echo "         (run 0 is the warm-up, not counted)"
      reset
    fi
  done
  # What each receiver got: the transfer syntax it was sent in.
  received=$(find "$SCP_DIR" -type f | head -n 1)
  echo "         station received $station_syntax, storescp $(tag "$received" 0002,0010) for $study"
  sums() {  # sums <a...> -- <b...>: the pairwise sums
    local -a a=() b=()
    while [ "$1" != -- ]; do a+=("$1"); shift; done
    shift
    b=("$@")
    for i in "${!a[@]}"; do echo $((a[i] + b[i])); done
  }
  R_ST[$study]=$(median "${rs[@]}") R_FIRST[$study]=$(median "${rf[@]}") R_DC[$study]=$(median "${rd[@]}")
  if [ -n "$decoder" ]; then
    # shellcheck disable=SC2046
    R_DEC[$study]=$(median $(sums "${rd[@]}" -- "${dd[@]}"))
    # shellcheck disable=SC2046
    R_DEC2[$study]=$(median $(sums "${rd[@]}" -- "${dp[@]}"))
  fi
  if [ "$study" != combo ]; then
    LABEL[$study]="median $(median "${lm[@]}") us, 95th percentile $(median "${lp[@]}") us"
    U_ST[$study]=$(median "${us[@]}") U_DC[$study]=$(median "${ud[@]}")
    U_CHK[$study]=$(median "${ck[@]}") U_STORE[$study]=$(median "${st[@]}")
    CL_ST[$study]=$(median "${cs[@]}") CL_DC[$study]=$(median "${cd[@]}")
  fi
  PEAK[$study]=$(median "${pk[@]}") PEAK_ALL[$study]=$(median "${pa[@]}")
  if [ ${#tpd[@]} -gt 0 ]; then
    TLS_FIG[retrieve]=$(median "${trs[@]}") TLS_FIG[first]=$(median "${trf[@]}")
    TLS_FIG[update]=$(median "${tus[@]}") TLS_FIG[store]=$(median "${tst[@]}") TLS_FIG[check]=$(median "${tck[@]}")
    TLS_FIG[peak]=$(median "${tpk[@]}") TLS_FIG[push]=$(median "${tpd[@]}") TLS_FIG[storescu]=$(median "${tud[@]}")
  fi
  BREAK[$study]="move $(median "${mv[@]}") + deliver $(median "${dl[@]}") + paint $(median "${pt[@]}") ms"
  CPU[$study]="station $(median "${sc[@]}") ms ($(median "${sf[@]}") page faults), archive $(median "${ac[@]}") ms; storescp $(median "${dc[@]}") ms, archive $(median "${da[@]}") ms"

  if [ "$DETAIL" = 1 ]; then
    station "$STATE/archive.env" "${ACCESSION[$study]}" "$objects" "${station_args[@]}" --detail >"$WORK/detail.txt"
    echo "         detail ($study):" \
      "$(awk '$1 == "thread_cpu_ms" {t = t " " $2 " " $3}
              $1 == "decode_ms" {d = d " " $3} $1 == "send_ms" {s = s " " $3}
              END {print "retrieval cpu by thread:" t " ms; decode alone" d " ms; store alone" s " ms"}' \
        "$WORK/detail.txt")"
  fi
done

# The update on the other archives: the explicit study seeded there, the
# station (a fresh process each run) and storescu, as above.
declare -A UO_ST UO_STORE UO_DC
if [ -n "${FILES[explicit]:-}" ]; then
  for kind in "${UPDATE_ARCHIVES[@]}"; do
    dir=$WORK/$kind
    kept=()
    case $kind in
      keep-first) "$ROOT/tools/archive.sh" start "$dir" --keep-first >/dev/null; kept=(--kept) ;;
      dcmqrscp) "$ROOT/tools/qrscp.sh" start "$dir" >/dev/null ;;
      *) echo "unknown update archive $kind" >&2; exit 2 ;;
    esac
    # shellcheck disable=SC2086
    if [ "$kind" = dcmqrscp ]; then
      "$ROOT/tools/qrscp.sh" seed "$dir" ${FILES[explicit]} >/dev/null
    else
      "$ROOT/tools/archive.sh" seed "$dir" ${FILES[explicit]} >/dev/null
    fi
    # shellcheck disable=SC1091
    (. "$dir/archive.env"; echo "update on $kind: $ARCHIVE_AET at $ARCHIVE_HOST:$ARCHIVE_DICOM_PORT")
    us=() st=() ud=()
    for run in $(seq 0 "$REPEATS"); do
      sync
      station "$dir/archive.env" "${ACCESSION[explicit]}" $VIEWS "${kept[@]}" >"$WORK/station.txt"
      us+=("$(val update_ms)") st+=("$(val store_ms)")
      sync
      t0=$(now_ms)
      # shellcheck disable=SC2086,SC1091
      (. "$dir/archive.env"
        storescu -x= -aet BENCH -aec "$ARCHIVE_AET" -to 5 -ta 10 -td 60 "$ARCHIVE_HOST" "$ARCHIVE_DICOM_PORT" \
          ${FILES[explicit]}) >"$WORK/storescu.log" 2>&1 || { cat "$WORK/storescu.log" >&2; exit 1; }
      t1=$(now_ms)
      ud+=($((t1 - t0)))
      printf '%-8s run %d: update %d ms (stores alone %d ms) | storescu %d ms%s\n' "$kind" "$run" \
        "${us[-1]}" "${st[-1]}" "${ud[-1]}" "$([ "$run" = 0 ] && echo ' (warm-up, not counted)')"
      [ "$run" != 0 ] || { us=() st=() ud=(); }
    done
    UO_ST[$kind]=$(median "${us[@]}") UO_STORE[$kind]=$(median "${st[@]}") UO_DC[$kind]=$(median "${ud[@]}")
    if [ "$kind" = dcmqrscp ]; then "$ROOT/tools/qrscp.sh" stop "$dir" >/dev/null; else "$ROOT/tools/archive.sh" stop "$dir" >/dev/null; fi
  done
fi

MISSED=0
# row <study> <measure> <station> <baseline> <unit: ms, or MiB for figures in KiB> <goal or "-">
#     [baseline name]; the ratio shown (two decimals) is the one held against the goal.
row() {
  local verdict
  verdict=$(awk -v a="$3" -v b="$4" -v g="$6" \
    'BEGIN { if (g == "-") print ""; else if (b > 0 && sprintf("%.2f", a / b) + 0 <= g + 0) print "met"; else print "MISSED" }')
  [ "$verdict" != MISSED ] || MISSED=$((MISSED + 1))
  awk -v s="$1" -v m="$2" -v a="$3" -v b="$4" -v u="$5" -v g="$6" -v v="$verdict" -v n="${7:-}" \
    'BEGIN {
       if (u == "MiB") { a /= 1024; b /= 1024 }
       bs = "-"; bu = ""; r = "-"; gs = ""
       if (b > 0) { bs = sprintf("%d", b); bu = u; r = sprintf("%.2f", a / b) }
       if (g != "-") gs = "<= " g
       printf "%-17s %-12s %7d %-3s %7s %-3s %6s %7s %-6s  %s\n", s, m, a, u, bs, bu, r, gs, v, n
     }'
}

echo
echo "Four-view study: $VIEWS x ${COLUMNS}x${ROWS} 16-bit, pixel bytes $PIXEL_BYTES ($((PIXEL_BYTES / 1048576)) MiB);" \
  "combo: + $TOMO_OBJECTS x $TOMO_FRAMES-frame tomosynthesis; medians of $REPEATS runs"
printf '%-17s %-12s %11s %11s %6s %7s %-6s  %s\n' study measure station baseline ratio goal "" "baseline"
for study in "${STUDIES[@]}"; do
  syntax=$(syntax_of "$study")
  decoder=${DECODER[$syntax]}
  if [ -n "${DECODES_FULLY[$syntax]:-}" ]; then
    row "$study" "first retr" "${R_FIRST[$study]}" "${R_DEC2[$study]}" ms "${GOAL_FIRST[$syntax]:-1.0}" "movescu+storescp, then $decoder x4 two at a time"
  else
    row "$study" retrieve "${R_ST[$study]}" "${R_DC[$study]}" ms "${GOAL_RETRIEVE[$study]:-${GOAL_RETRIEVE[$syntax]:-0.9}}" "movescu+storescp"
    row "$study" "first retr" "${R_FIRST[$study]}" "${R_DC[$study]}" ms "${GOAL_FIRST[$syntax]:-1.0}" "movescu+storescp"
  fi
  if [ -n "$decoder" ]; then
    row "$study" retr+decode "${R_ST[$study]}" "${R_DEC[$study]}" ms "${GOAL_DECODE[$syntax]}" "movescu+storescp, then $decoder x4 one by one"
    row "$study" "retr+dec 2x" "${R_ST[$study]}" "${R_DEC2[$study]}" ms "${GOAL_DECODE2[$syntax]:--}" "the same, decodes 2 at a time"
  fi
  if [ "$study" != combo ]; then
    row "$study" update "${U_ST[$study]}" "${U_DC[$study]}" ms $GOAL_UPDATE "storescu x4 (station: stores + read-back)"
    row "$study" "upd store" "${U_STORE[$study]}" "${U_DC[$study]}" ms $GOAL_STORES "storescu x4 (the update's stores alone)"
    row "$study" "upd check" "${U_CHK[$study]}" 0 ms - "(read-back of the 4 labels)"
    row "$study" "closer look" "${CL_ST[$study]}" "${CL_DC[$study]}" ms 1.0 "${TO_PNG[$syntax]} to PNG"
    row "$study" "peak mem" "${PEAK[$study]}" $((PIXEL_BYTES / 1024)) MiB \
      "${GOAL_PEAK[$study]:--}" "pixel bytes"
  else
    row "$study" "peak mem" "${PEAK[$study]}" $((STUDY_BYTES[$study] / 1024)) MiB 1.1 "study bytes"
  fi
done
if [ -n "${TLS_FIG[retrieve]:-}" ]; then
  row explicit+tls retrieve "${TLS_FIG[retrieve]}" "${R_ST[explicit]}" ms $GOAL_TLS_RETRIEVE "the station's own later retrieval, plain TCP"
  row explicit+tls "first retr" "${TLS_FIG[first]}" "${R_FIRST[explicit]}" ms $GOAL_TLS_RETRIEVE "the station's own first retrieval, plain TCP"
  row explicit+tls "retr/push" "${TLS_FIG[retrieve]}" "${TLS_FIG[push]}" ms $GOAL_TLS_PUSH "archive's REST store to storescp +tls"
  row explicit+tls "first/push" "${TLS_FIG[first]}" "${TLS_FIG[push]}" ms - "the same"
  row explicit+tls update "${TLS_FIG[update]}" "${TLS_FIG[storescu]}" ms $GOAL_TLS_UPDATE "storescu +tls x4 (station: stores + read-back)"
  row explicit+tls "upd store" "${TLS_FIG[store]}" "${TLS_FIG[storescu]}" ms - "storescu +tls x4 (the update's stores alone)"
  row explicit+tls "upd check" "${TLS_FIG[check]}" 0 ms - "(read-back of the 4 labels)"
  row explicit+tls "peak mem" "${TLS_FIG[peak]}" "${PEAK[explicit]}" MiB - "the station's own, plain TCP"
fi
for kind in "${!UO_ST[@]}"; do
  row "explicit@$kind" update "${UO_ST[$kind]}" "${UO_DC[$kind]}" ms $GOAL_UPDATE "storescu x4 (station: stores + read-back)"
  row "explicit@$kind" "upd store" "${UO_STORE[$kind]}" "${UO_DC[$kind]}" ms $GOAL_STORES "storescu x4 (the update's stores alone)"
done
echo
echo "goals missed: $MISSED (reported, not failed)"
echo "Station retrieval (median parts):"
for study in "${STUDIES[@]}"; do echo "  $study: ${BREAK[$study]}"; done
echo "From a label key to its tile drawn again, the journal synced (200 labels a run, goal: 95th percentile <= 16,000 us):"
for study in "${STUDIES[@]}"; do [ -z "${LABEL[$study]:-}" ] || echo "  $study: ${LABEL[$study]}"; done
echo "CPU time during the retrieval (medians):"
for study in "${STUDIES[@]}"; do echo "  $study: ${CPU[$study]}"; done
echo "peak mem: station VmHWM with the study on screen after both retrievals and the update"
echo "          (with the closer look too:$(for study in "${STUDIES[@]}"; do
  printf ' %s %d MiB' "$study" $((PEAK_ALL[$study] / 1024)); done))."
echo "load average after the runs: $(cut -d' ' -f1-3 /proc/loadavg)"
