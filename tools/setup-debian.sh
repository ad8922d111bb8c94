#!/bin/sh
# Installs what building and testing DUVAK needs on Debian, when it is missing:
# the native toolchain and test libraries, the MinGW-w64 cross compiler, Wine,
# clang for the fuzzer, tmux for the console tests, and FUSE for the read-error
# tests. Run as root.
set -eu

packages="cmake make g++ python3 googletest libgtest-dev libbenchmark-dev
g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 clang libclang-rt-14-dev tmux
fuse3 libfuse3-dev pkg-config"

missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
        missing="$missing $package"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    # shellcheck disable=SC2086
    apt-get install -y -q $missing
fi
