#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent: runs apt-get only when a package is missing, and refreshes the
# package lists only then.
set -euo pipefail

packages=(
    cmake ninja-build g++ make ccache
    libgtest-dev libgmock-dev libbenchmark-dev
    libpugixml-dev libcli11-dev nlohmann-json3-dev
    clang libclang-rt-14-dev
    tshark
    g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
    qt6-base-dev fonts-dejavu-core fonts-dejavu-extra
    xvfb xauth x11-apps netpbm
    # The Windows build, its tests under wine and its package.
    googletest wine64 osslsigncode zip
    # Real writers on Linux, and the emulated USB device their tests run against.
    pkg-config libusb-1.0-0-dev umockdev libumockdev-dev
    # A second load beside the suite, to prove it does not depend on a quiet machine.
    stress-ng
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

echo "deps: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
