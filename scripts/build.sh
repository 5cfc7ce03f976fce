#!/usr/bin/env bash
# Sets up the machine (missing Debian packages only), then configures and builds into build/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh"
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
if [ ! -f "$root/build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$root/build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$root/build" --parallel "$(nproc)"
