#!/bin/sh
# Builds the libFuzzer targets with clang (into build-fuzz/) and runs each for a while on the
# corpus in fuzz/corpus (a copy, so runs do not grow the committed seeds).
# Usage: scripts/fuzz.sh [seconds per target, default 30]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-30}
NRI_EXTRA_PACKAGES="clang libclang-rt-14-dev" scripts/install-deps.sh
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DNRI_BUILD_FUZZERS=ON -DNRI_BUILD_TESTS=OFF
targets="responsedocument settingsimport requestframe base64 udptxstreamsconfig"
set --
for target in $targets; do set -- "$@" "fuzz_$target"; done
cmake --build build-fuzz --parallel "$(nproc)" --target "$@"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in $targets; do
    mkdir -p "$work/$target"
    cp fuzz/corpus/"$target"/* "$work/$target/"
    echo "fuzz_$target: ${seconds} s"
    ASAN_OPTIONS=detect_leaks=0 QT_QPA_PLATFORM=offscreen \
        build-fuzz/fuzz/"fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="build-fuzz/fuzz_${target}-" "$work/$target" 2>&1 |
        grep -E '^(stat::number_of_executed_units|stat::new_units_added)|ERROR|SUMMARY' || true
    if ls build-fuzz/fuzz_"$target"-* >/dev/null 2>&1; then
        echo "fuzz_$target found a crash: see build-fuzz/fuzz_$target-*" >&2
        exit 1
    fi
done
echo "fuzzing: all targets ran clean"
