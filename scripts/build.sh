#!/bin/sh
# Configures and builds into build/ (or the directory given first); further arguments go to cmake.
set -eu
cd "$(dirname "$0")/.."
build_dir=${1:-build}
[ $# -gt 0 ] && shift
cmake -S . -B "$build_dir" -G Ninja "$@"
cmake --build "$build_dir" --parallel "$(nproc)"
