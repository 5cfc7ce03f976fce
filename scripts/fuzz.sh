#!/usr/bin/env bash
# Builds the fuzz harnesses of fuzz/ with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) into build-fuzz/ and runs each for SECONDS seconds (default 60).
# The corpus of each harness lives in build-fuzz/corpus/<name> and grows from run to run;
# inputs that crash a harness are kept in build-fuzz/artifacts/<name>/. Exit code 1 when any
# harness failed.
#
# usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
build="$root/build-fuzz"

# clang and its runtime libraries (libFuzzer among them) are needed for fuzzing only, so the
# normal setup does not install them.
bash "$root/scripts/setup.sh" clang libclang-rt-14-dev

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQPT_FUZZ=ON -DQPT_BUILD_GUI=OFF -DQPT_BUILD_TESTS=OFF
fi
cmake --build "$build" --target fuzz_all --parallel "$(nproc)"

"$build/fuzz/fuzz_seeds" "$build/corpus"
failed=()
for harness in identify ncsd ncch exefs romfs cia verify sound pack text tracklist ips bps archive; do
  mkdir -p "$build/corpus/$harness" "$build/artifacts/$harness"
  echo "fuzz: $harness for ${seconds} s"
  # No single allocation may pass 64 MiB, the memory bound of the tools whatever an input
  # claims; the whole process, sanitizers included, stays under 2 GiB.
  if ! "$build/fuzz/fuzz_$harness" "$build/corpus/$harness" -max_total_time="$seconds" -malloc_limit_mb=64 -rss_limit_mb=2048 \
      -timeout=30 -artifact_prefix="$build/artifacts/$harness/" -print_final_stats=1 \
      >"$build/artifacts/$harness/log.txt" 2>&1; then
    failed+=("$harness")
    tail -n 40 "$build/artifacts/$harness/log.txt"
  else
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$build/artifacts/$harness/log.txt" | tr '\n' ' '
    echo
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]} (inputs in $build/artifacts/)"
  exit 1
fi
echo "fuzz: every harness ran ${seconds} s without a failure"
