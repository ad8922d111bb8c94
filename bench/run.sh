#!/bin/sh
# The benchmarks in one command: the word comparison loop (native), then
# DUVAK.exe and the platform floor under Wine beside GNU cmp on files in the
# page cache. Builds what it needs, makes the data in a temporary folder under
# build/ and removes it afterwards.
#
#   bench/run.sh [runs]        runs per case, 7 by default (median reported)
set -eu
# Everything runs without address-space randomisation where that is allowed,
# as the tests start Wine (see tools/duvak): the setting is inherited by every
# Wine process started below, the server included. It is read from this
# process's own personality (ADDR_NO_RANDOMIZE), never from a variable that
# a caller could pass on.
unrandomised() { [ $(( 0x$1 & 0x0040000 )) -ne 0 ]; }
if ! unrandomised "$(cat /proc/$$/personality)" &&
    unrandomised "$(setarch -R cat /proc/self/personality 2>/dev/null || echo 0)"; then
    exec setarch -R sh "$0" "$@"
fi
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
runs=${1:-7}
# The CPU everything measured runs on, the wineserver included: see
# bench/measure.py for why.
cpu=$(( $(nproc) - 1 ))

loader=/usr/lib/wine/wine64
[ -x "$loader" ] || loader=$(command -v wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
for tool in "$loader" "$wineserver" /usr/bin/time python3 cmp taskset; do
    command -v "$tool" >/dev/null || {
        echo "bench/run.sh: $tool is missing (Debian: wine64, time, python3, diffutils, util-linux)" >&2
        exit 2
    }
done

echo "== building"
cmake --preset windows >/dev/null
cmake --build --preset windows --target DUVAK map_floor >/dev/null
# A tree of its own, optimised, so the test build of build/host is untouched.
cmake -S . -B build/bench-host -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench-host --target word_compare_bench >/dev/null

echo "== machine"
echo "cores: $(nproc); $(lscpu | sed -n 's/^Model name: *//p')"
echo "memory: $(free -h | awk '/^Mem:/ {print $2}'); kernel $(uname -r); $("$loader" --version)"
randomisation="on (setarch -R is refused here)"
! unrandomised "$(cat /proc/$$/personality)" || randomisation=off
echo "address-space randomisation: $randomisation"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"

echo
echo "== word comparison (64 KiB per call; GB/s count both buffers)"
taskset -c "$cpu" build/bench-host/bench/word_compare_bench --benchmark_color=false \
    --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

# Room for 4 GiB of pairs and 1 GiB of small files, with some to spare.
need_kib=$((6 * 1024 * 1024))
free_kib=$(df -Pk build | awk 'NR == 2 {print $4}')
if [ "$free_kib" -lt "$need_kib" ]; then
    echo "bench/run.sh: need 6 GiB free under build/, have $((free_kib / 1024)) MiB" >&2
    exit 2
fi

# A Wine prefix of the benchmarks' own, with its server kept running so that
# no run pays for starting it; Wine without TMPDIR, where Debian 13's aborts
# (see tools/duvak).
unset TMPDIR
export WINEPREFIX="$top/build/bench-wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winewayland.drv=d"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    "$loader" wineboot -i >/dev/null 2>&1 || true
fi
# A server left from making the prefix or from an interrupted run would make
# -p fail, so any server of this prefix is ended first.
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -w
taskset -c "$cpu" "$wineserver" -p </dev/null >/dev/null 2>&1

data=$(mktemp -d "$top/build/bench-data.XXXXXX")
mkdir "$data/out"
cleanup() {
    status=$?
    rm -rf "$data"
    "$wineserver" -k 2>/dev/null || true
    [ "$status" -eq 0 ] || echo "bench/run.sh: stopped with exit code $status" >&2
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo
echo "== making the data in $data"
(
    cd "$data"
    head -c 1G /dev/urandom >a
    cp a b
    # c differs from a in its last byte only; d is one byte shorter than a.
    cp a c
    last=$(tail -c 1 a | od -An -tu1 | tr -d ' ')
    next=$(( (last + 1) % 256 ))
    printf "\\$(printf %03o "$next")" |
        dd of=c bs=1 seek=$(( (1 << 30) - 1 )) conv=notrunc status=none
    cp a d
    truncate -s -1 d
    head -c 128M /dev/urandom >m1
    for i in 2 3 4 5 6 7 8; do cp m1 "m$i"; done
    echo tiny >t1
    echo tiny >t2
    # The first program of a Wine session starts its services, which then
    # live as long as the server: they are started here, away from any
    # measured run and from any output a caller may be waiting on.
    taskset -c "$cpu" "$loader" "$top/build/windows/map_floor.exe" t1 t2 </dev/null >/dev/null 2>&1
    cmp -s a b && [ "$(cmp -l a c | wc -l)" -eq 1 ] && [ "$(stat -c %s d)" -eq $(( (1 << 30) - 1 )) ]
    # Into the page cache, twice over, so no case reads the disk.
    cat a b c d m? t? >/dev/null
    cat a b c d m? t? >/dev/null
)

echo
echo "== files in the page cache, $runs runs per case"
python3 bench/measure.py --data "$data" --scratch "$data/out" --runs "$runs" --cpu "$cpu" \
    --wine "$loader" \
    --duvak "$top/build/windows/DUVAK.exe" --floor "$top/build/windows/map_floor.exe"
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
