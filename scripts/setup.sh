#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, only those that are missing.
# Safe to run again: with everything present it does nothing but check. Package names given as
# arguments are installed the same way (the fuzz and Windows scripts name what only they need).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libssl-dev libgtest-dev libgmock-dev
  qt6-base-dev libgl-dev qt6-translations-l10n
  xdelta3 libarchive-dev libarchive-tools
  fuse fusefat dosfstools strace
  xvfb xdotool dbus at-spi2-core python3-pyatspi
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
# sudo resets the environment: the variable goes through env, which works as root too.
as_root=(env DEBIAN_FRONTEND=noninteractive)
if [ "$(id -u)" -ne 0 ]; then as_root=(sudo "${as_root[@]}"); fi
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
