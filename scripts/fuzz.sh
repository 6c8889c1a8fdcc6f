#!/usr/bin/env bash
# A long fuzz run of the received-object path in the sanitizer build:
#   scripts/fuzz.sh [inputs] [seed]       (default 300000 inputs, seed 1)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
inputs=${1:-300000}
seed=${2:-1}
build="$(BREVANT_SANITIZE=1 "$root/scripts/build.sh" | tail -n 1)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
start=$(date +%s)
"$build/bin/ReceivedObjectFuzz" --runs "$inputs" --seed "$seed"
echo "fuzz: $inputs inputs in $(($(date +%s) - start)) s"
