#!/usr/bin/env bash
# Installs what is missing, builds, starts a local demo archive seeded with
# sample mammography studies, and opens the station on it. Closing the
# station stops the archive.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
build="$("$root/scripts/build.sh" | tail -n 1)"
exec "$root/tools/demo.sh" "$build"
