#!/usr/bin/env bash
# Configures and builds the station into a build folder (default: build).
# BREVANT_SANITIZE=1 builds with AddressSanitizer and UBSan into build-asan.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ "${BREVANT_SANITIZE:-0}" = "1" ]; then
  build="${BREVANT_BUILD_DIR:-$root/build-asan}"
  extra=(-DBREVANT_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
else
  build="${BREVANT_BUILD_DIR:-$root/build}"
  extra=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi
generator=()
if command -v ninja >/dev/null 2>&1 && [ ! -f "$build/CMakeCache.txt" ]; then generator=(-G Ninja); fi
cmake -S "$root" -B "$build" "${generator[@]}" "${extra[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
echo "$build"
