#!/bin/sh
# Installs what the build needs, builds and runs every test suite (offscreen).
# With an argument "asan" or "tsan" the suites run in a sanitizer build of their own.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
case "${1:-}" in
    asan) build_dir=build-asan; options="-DNRI_SANITIZE_ADDRESS=ON" ;;
    tsan) build_dir=build-tsan; options="-DNRI_SANITIZE_THREAD=ON" ;;
    "") build_dir=build; options="" ;;
    *) echo "usage: scripts/test.sh [asan|tsan]" >&2; exit 2 ;;
esac
scripts/build.sh "$build_dir" $options
ctest --test-dir "$build_dir" --output-on-failure --timeout 600
