#!/usr/bin/env bash
# Sets up, builds and starts the program from the build tree (a complete program folder).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/build.sh"
exec "$root/build/quill-patch-tool" "$@"
