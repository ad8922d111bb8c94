#!/bin/sh
# A maintainer's check that the README's two commands work for a new user:
# in a bare root of a Debian release (nothing installed but what debootstrap
# gives, with git and CA certificates), a fresh clone of this checkout's
# committed HEAD runs the README's two commands exactly as the README writes
# them, then builds the release in that clone and in a second clone at
# another path and compares their bytes. Prints a tally; the logs, the
# SHA256SUMS and the build record land in build/fresh-debian/RELEASE/.
#
#   tools/fresh-debian.sh RELEASE [--bare ROOT.tar] [--save-bare ROOT.tar]
#
# RELEASE is a Debian code name (bookworm, trixie, sid). --bare unpacks a
# saved bare root instead of bootstrapping one; --save-bare keeps the newly
# bootstrapped root, before anything is installed into it, for the next run.
# Needs root, debootstrap (installed when missing) and Debian's package
# archive; it takes some minutes. Not part of the test command.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
usage() {
    echo "usage: tools/fresh-debian.sh RELEASE [--bare ROOT.tar] [--save-bare ROOT.tar]" >&2
    exit 2
}
[ $# -ge 1 ] || usage
release=$1
shift
bare="" save=""
while [ $# -gt 0 ]; do
    case $1 in
        --bare) [ $# -ge 2 ] || usage; bare=$(realpath "$2"); shift 2 ;;
        --save-bare) [ $# -ge 2 ] || usage; save=$(realpath "$2"); shift 2 ;;
        *) usage ;;
    esac
done
[ "$(id -u)" -eq 0 ] || { echo "tools/fresh-debian.sh: run as root" >&2; exit 2; }

logs="$top/build/fresh-debian/$release"
rm -rf "$logs"
mkdir -p "$logs"
work=$(mktemp -d "${TMPDIR:-/var/tmp}/duvak-fresh-$release.XXXXXX")
root="$work/root"

# The root's mounts hold the host's /dev, /sys and /proc: removing the root
# through them would delete the host's device files. So every process still
# running in the root is ended, every mount below it is undone (the deepest
# first), and the root is removed only when /proc/mounts shows none left,
# and even then without crossing into another file system.
mounts_below() {
    # /proc/mounts escapes a space as \040; the root's own path has none.
    awk -v prefix="$root/" 'index($2, prefix) == 1 {print $2}' /proc/mounts | sort -r
}
cleanup() {
    status=$?
    trap - EXIT INT TERM HUP
    for round in 1 2 3; do
        for process in /proc/[0-9]*; do
            [ "$(readlink "$process/root" 2>/dev/null)" = "$root" ] &&
                kill -KILL "${process#/proc/}" 2>/dev/null || true
        done
        for point in $(mounts_below); do
            umount "$point" 2>/dev/null || umount -l "$point" 2>/dev/null || true
        done
        [ -z "$(mounts_below)" ] && break
        sleep 1
    done
    if [ -n "$(mounts_below)" ]; then
        echo "tools/fresh-debian.sh: still mounted below $root, left in place:" >&2
        mounts_below >&2
        exit 1
    fi
    rm -rf --one-file-system "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

elapsed() { echo "$(( $1 / 60 ))m$(( $1 % 60 ))s"; }
started=$(date +%s)

if [ -n "$bare" ]; then
    echo "== unpacking the bare $release root $bare"
    mkdir "$root"
    tar --numeric-owner -C "$root" -xf "$bare"
else
    command -v debootstrap >/dev/null || { apt-get update -q >/dev/null &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap >/dev/null; }
    echo "== bootstrapping a bare $release root in $root"
    debootstrap --variant=minbase --include=ca-certificates,git "$release" "$root" \
        >"$logs/debootstrap.log" 2>&1 || { tail -n 20 "$logs/debootstrap.log" >&2; exit 1; }
    if [ -n "$save" ]; then
        tar --numeric-owner -C "$root" -cf "$save" .
        echo "   saved as $save"
    fi
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
for tree in sys dev; do
    mount --rbind "/$tree" "$root/$tree"
    mount --make-rslave "$root/$tree"
done

# The clones are of the committed HEAD: uncommitted changes are not tried.
commit=$(git -C "$top" rev-parse HEAD)
git -C "$top" diff --quiet HEAD ||
    echo "   note: uncommitted changes in $top are not part of the clone"
# The README's commands run in the first; the second, at a path with spaces,
# only builds the release again.
first=/root/duvak second="/srv/a second clone/of duvak"
git clone -q "$top" "$root$first"
git clone -q "$top" "$root$second"

# As a root login on a new machine: no locale, no XDG_RUNTIME_DIR, no display.
in_root() {
    chroot "$root" /usr/bin/env -i HOME=/root USER=root LOGNAME=root SHELL=/bin/sh \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin sh -c "$1"
}

# The README's commands: the lines of its first sh block that are not comments.
commands=$(awk '/^```sh$/ {inside = 1; next} inside && /^```/ {exit}
                inside && NF && !/^#/ {print}' "$root$first/README.md")
if [ "$(echo "$commands" | wc -l)" -ne 2 ]; then
    printf 'README.md: expected two commands, found:\n%s\n' "$commands" >&2
    exit 1
fi

tally=""
passed=0 failed=0
result() {  # result PASSED|FAILED TEXT...
    if [ "$1" = PASSED ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    mark=$1
    shift
    tally="$tally$mark $*
"
}

# run_readme N LINE: runs README command N in the first clone; sets code and took.
run_readme() {
    echo "== command $1: $2"
    began=$(date +%s) code=0
    in_root "cd $first && $2" >"$logs/command$1.out" 2>"$logs/command$1.err" || code=$?
    took=$(elapsed $(( $(date +%s) - began )))
    tail -n 3 "$logs/command$1.out"
}

# README.md and CMakeLists.txt differ in size: DUVAK says so, exit 1.
run_readme 1 "$(printf '%s\n' "$commands" | sed -n 1p)"
verdict=$(tail -n 1 "$logs/command1.out")
if [ "$code" -eq 1 ] && [ "$verdict" = "The files have different sizes." ]; then
    result PASSED "command 1 in $took: \"$verdict\", exit 1"
else
    result FAILED "command 1 in $took: exit $code, last line \"$verdict\""
fi

run_readme 2 "$(printf '%s\n' "$commands" | sed -n 2p)"
summary=$(grep -E '^[0-9]+% tests passed' "$logs/command2.out" | tail -n 1)
skipped=$(grep -c '(Skipped)' "$logs/command2.out" || true)
if [ "$code" -eq 0 ] && [ -n "$summary" ]; then
    result PASSED "command 2 in $took: $summary, $skipped skipped"
else
    result FAILED "command 2 in $took: exit $code, ${summary:-no CTest summary}"
fi

# Every build of both commands without a warning (the tests' own output is
# shown only for a failing test, so these lines are the builds').
warned=$(cat "$logs"/command*.out "$logs"/command*.err | grep -E 'warning:|CMake Warning' | sort -u)
if [ -z "$summary" ]; then
    result FAILED "builds: not all ran, so not all were checked for warnings"
elif [ -z "$warned" ]; then
    result PASSED "builds: no warnings"
else
    result FAILED "builds: $(echo "$warned" | wc -l) different warning lines"
    echo "$warned" | head -n 20
fi

# tools/duvak's output is DUVAK's alone, on the first run after its Wine
# server starts and on the next. (Debian 12 and 13 keep the server in
# /usr/lib/wine, unstable in the multiarch folder, with none on PATH.)
for run in first second; do
    [ "$run" = second ] || in_root "export WINEPREFIX=$first/build/wine;
        for server in /usr/lib/wine/wineserver /usr/lib/x86_64-linux-gnu/wine/wineserver; do
            if [ -x \$server ]; then \$server -k; \$server -w; fi; done" >/dev/null 2>&1 || true
    code=0
    in_root "cd $first && tools/duvak README.md README.md" \
        >"$logs/duvak-$run.out" 2>"$logs/duvak-$run.err" || code=$?
    out=$(cat "$logs/duvak-$run.out") err=$(cat "$logs/duvak-$run.err")
    if [ "$code" -eq 0 ] && [ "$out" = "The files have the same data." ] && [ -z "$err" ]; then
        result PASSED "tools/duvak README.md README.md, $run run after the server starts:" \
            "same data, exit 0, nothing on stderr"
    else
        result FAILED "tools/duvak README.md README.md, $run run: exit $code," \
            "stdout \"$out\", stderr \"$err\""
    fi
done

echo "== the release, built in two clones"
began=$(date +%s)
code=0
for clone in "$first" "$second"; do
    in_root "cd '$clone' && cmake --workflow --preset release" >>"$logs/release.log" 2>&1 || code=$?
done
took=$(elapsed $(( $(date +%s) - began )))
same_release() {
    one="$root$first/build/release" two="$root$second/build/release"
    cp "$one/SHA256SUMS" "$one/BUILDINFO.txt" "$logs/" || return 1
    for file in SHA256SUMS BUILDINFO.txt DUVAK.exe "$(basename "$one"/DUVAK-*-windows-x64.zip)"; do
        cmp "$one/$file" "$two/$file" || return 1
    done
}
if [ "$code" -eq 0 ] && same_release; then
    result PASSED "release in $took: two clones gave the same bytes"
else
    result FAILED "release in $took: exit $code, or the clones' bytes differ" \
        "(see $logs/release.log)"
fi

echo
echo "== tally: Debian $(cat "$root/etc/debian_version") ($release), commit $commit"
[ ! -f "$logs/SHA256SUMS" ] || sed 's/^/   /' "$logs/SHA256SUMS"
printf '%s' "$tally"
echo "$passed passed, $failed failed, in $(elapsed $(( $(date +%s) - started )))"
echo "logs: $logs"
[ "$failed" -eq 0 ]
