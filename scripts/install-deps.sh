#!/usr/bin/env bash
# Installs the Debian packages the station, its tests and the demo archive need.
# Only what is missing is installed; safe to run again.
set -euo pipefail

PKGS=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libdcmtk-dev dcmtk libopenjp2-7-dev libopenjp2-tools zlib1g-dev
  orthanc
  xvfb xauth fonts-wine fonts-dejavu-core
  clang-format curl ca-certificates openssl
)

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "Installing: ${missing[*]}"
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  # Orthanc's package starts a system service on install; policy-rc.d keeps it from doing so.
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  # The tests start their own archive; a packaged service would only hold port 4242.
  if command -v systemctl >/dev/null 2>&1; then $SUDO systemctl stop orthanc 2>/dev/null || true; fi
  if command -v service >/dev/null 2>&1; then $SUDO service orthanc stop 2>/dev/null || true; fi
fi
