#!/usr/bin/env bash
# A long fuzz run of what peers send (received objects, command sets, find
# identifiers) in the sanitizer build; builds the driver alone:
#   scripts/fuzz.sh [inputs] [seed]       (default 300000 inputs, seed 1)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
inputs=${1:-300000}
seed=${2:-1}
build="${BREVANT_BUILD_DIR:-$root/build-asan}"
generator=()
if command -v ninja >/dev/null 2>&1 && [ ! -f "$build/CMakeCache.txt" ]; then generator=(-G Ninja); fi
cmake -S "$root" -B "$build" "${generator[@]}" -DBREVANT_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j "$(nproc)" --target ReceivedObjectFuzz >/dev/null
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
start=$(date +%s)
"$build/bin/ReceivedObjectFuzz" --runs "$inputs" --seed "$seed"
echo "fuzz: $inputs inputs in $(($(date +%s) - start)) s"
