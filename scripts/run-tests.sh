#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (unit, gui, integration).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
build="$("$root/scripts/build.sh" | tail -n 1)"
export QT_QPA_PLATFORM=offscreen
if [ "${BREVANT_SANITIZE:-0}" = "1" ]; then
  export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
fi
cd "$build"
ctest --output-on-failure -j "$(nproc)" "$@"
