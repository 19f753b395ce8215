#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need (as root), then
# configures and builds into build/ (and build-asan/ with SENDRAL_ASAN=1).
set -euo pipefail
cd "$(dirname "$0")/.."

# libclang-rt-14-dev: the libFuzzer and sanitizer runtimes of fuzz/run.sh (clang only
# recommends it). dpkg-dev (dpkg-shlibdeps), lintian, desktop-file-utils, appstream and
# x11-utils (xwininfo): making the Debian package and checking it. pybind11-dev and
# python3-dev: the Python module; python3-pytest and python3-smbus2: its tests. ser2net:
# the rfc2217:// tests and bench serve tavro-sim's port through it; libgensio-dev and
# gensio-bin: the library ser2net is built on and its gensiot, for trying a port by hand.
# libyaml-cpp-dev: the register map reader. i2c-tools: the programs the tests of
# tavro-i2c exec run on the simulated bus.
packages=(build-essential cmake pkg-config libgtk2.0-dev libx11-dev libgtest-dev
          xvfb xauth clang libclang-rt-14-dev
          dpkg-dev file lintian desktop-file-utils appstream x11-utils
          pybind11-dev python3-dev python3-pytest python3-smbus2
          ser2net libgensio-dev gensio-bin
          libyaml-cpp-dev i2c-tools)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: missing packages: ${missing[*]} (run as root to install them)" >&2
        exit 1
    fi
    echo "setup: installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSENDRAL_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
if [ "${SENDRAL_ASAN:-0}" = 1 ]; then
    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSENDRAL_SANITIZE=ON -DSENDRAL_TESTS=ON >/dev/null
    cmake --build build-asan -j"$jobs"
fi
