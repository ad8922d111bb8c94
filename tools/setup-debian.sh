#!/bin/sh
# Installs what building and testing DUVAK needs on Debian, when it is missing:
# the native toolchain and test libraries, the MinGW-w64 cross compiler, Wine,
# clang for the fuzzer, tmux for the console tests, FUSE for the read-error
# tests, git for the release check's checkouts, bubblewrap, uidmap and
# procps for the check of the fresh-root script (which runs it as a user of
# its own, in user namespaces), and time for the benchmarks' memory figures.
# Every name is one that Debian 12 and Debian 13 both have (clang's runtime
# unversioned: each release's clang is another version).
# Run as root.
set -eu

packages="cmake make g++ python3 googletest libgtest-dev libbenchmark-dev
g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 clang libclang-rt-dev tmux
fuse3 libfuse3-dev pkg-config git bubblewrap uidmap procps time"

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
