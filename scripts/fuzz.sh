#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while, with
# inputs up to the size of a whole datagram (64 KiB).
#   scripts/fuzz.sh [seconds per target, default 30]
# New inputs that reach new code go to build/fuzz/corpus/<target>; a crash
# leaves its input in build/fuzz/findings/ and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
ctest --preset fuzz
mkdir -p build/fuzz/findings
for target in answers_fuzz settings_args_fuzz settings_ack_fuzz probe_fuzz config_fuzz; do
    corpus=build/fuzz/corpus/$target
    mkdir -p "$corpus"
    echo "== $target, ${seconds} s"
    build/fuzz/fuzz/$target -max_total_time="$seconds" -max_len=65536 -print_final_stats=1 \
        -artifact_prefix=build/fuzz/findings/$target- "$corpus" "fuzz/corpus/$target" 2>&1 |
        grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)|ERROR|SUMMARY' || true
    if ls build/fuzz/findings/$target-* >/dev/null 2>&1; then
        echo "fuzz: $target found a failing input: $(ls build/fuzz/findings/$target-*)"
        exit 1
    fi
done
