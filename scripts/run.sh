#!/bin/sh
# Installs what the agent needs, builds it and starts it; offscreen when there is no display.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    exec build/NorvastelleRavidadIrerod -platform offscreen "$@"
fi
exec build/NorvastelleRavidadIrerod "$@"
