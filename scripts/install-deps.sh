#!/bin/sh
# Installs the Debian packages listed in scripts/packages.txt, plus those named in
# NRI_EXTRA_PACKAGES (skips the work when all are there).
set -eu
cd "$(dirname "$0")/.."

packages="$(grep -v '^#' scripts/packages.txt | tr '\n' ' ') ${NRI_EXTRA_PACKAGES:-}"
missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    run_as_root=""
elif command -v sudo >/dev/null 2>&1; then
    run_as_root="sudo"
else
    echo "install-deps: these packages are missing and neither root nor sudo is available:$missing" >&2
    exit 1
fi
echo "install-deps: installing$missing"
$run_as_root apt-get update -qq
DEBIAN_FRONTEND=noninteractive $run_as_root apt-get install -y -qq --no-install-recommends $missing
