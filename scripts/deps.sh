#!/usr/bin/env bash
# Installs Debian packages when missing: the base set for building and
# testing, plus any package names given as arguments. Idempotent: a machine
# that has everything installs nothing.
#   bash scripts/deps.sh                 # the base set
#   bash scripts/deps.sh wine xvfb       # the base set and these
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libinih-dev libglib2.0-dev libcli11-dev nlohmann-json3-dev python3
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
