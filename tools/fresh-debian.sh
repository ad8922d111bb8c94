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
# Needs root, util-linux's unshare and setpriv, debootstrap (installed when
# missing) and Debian's package archive; it takes some minutes.
#
# Runs as root, so it never touches the host: everything that uses the root
# runs in a mount namespace and a PID namespace of its own. The root's /proc,
# /sys and /dev are new instances mounted only in there, never the host's,
# and they vanish with the namespace however the run ends; every program
# started in the root, a detached Wine server included, ends with it too.
# Only then is the work folder removed, and only if it is still the one this
# run made and the host shows nothing mounted below it.
set -eu
me=tools/fresh-debian.sh
top=$(cd "$(dirname "$0")/.." && pwd -P)
# git on this checkout, which may belong to another user than root: trusted
# for these commands only, the user's settings untouched.
checkout() { git -c safe.directory="$top" -C "$top" "$@"; }

if [ "${1:-}" = --in-namespace ]; then
    # The part that runs inside the namespaces, as their first process.
    [ $$ -eq 1 ] || { echo "$me: --in-namespace is for the script itself" >&2; exit 2; }
    shift
    release=$1 work=$2 logs=$3 bare=$4 save=$5
    root="$work/root"

    elapsed() { echo "$(( $1 / 60 ))m$(( $1 % 60 ))s"; }
    started=$(date +%s)

    # As a root login on a new machine: no locale, no XDG_RUNTIME_DIR, no
    # display. Paths in the root are the root's own: chroot resolves every
    # link inside it.
    in_root() {
        chroot "$root" /usr/bin/env -i HOME=/root USER=root LOGNAME=root SHELL=/bin/sh \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin sh -c "$1"
    }
    # A folder of the root that this side may write into: a real directory,
    # reached through no link (a tarball's link could lead onto the host).
    confined() {
        [ -d "$1" ] && [ "$(realpath -e -- "$1")" = "$1" ] ||
            { echo "$me: ${1#"$root"} in the root is not a plain folder, refused" >&2; exit 1; }
    }

    mkdir "$root"
    if [ -n "$bare" ]; then
        echo "== unpacking the bare $release root $bare"
        tar --numeric-owner -C "$root" -xf "$bare"
    else
        echo "== bootstrapping a bare $release root in $root"
        # debootstrap's scripts break on a target path with a space, so
        # where the root's has one, it builds at a plain path of this
        # namespace's own: a bind of the root on a private /mnt.
        target=$root
        case $root in
            *[[:space:]]*) mount -t tmpfs -o size=1m,mode=0700 plain /mnt
                           mkdir /mnt/root
                           mount --bind "$root" /mnt/root
                           target=/mnt/root ;;
        esac
        debootstrap --variant=minbase --include=ca-certificates,git "$release" "$target" \
            >"$logs/debootstrap.log" 2>&1 || { tail -n 20 "$logs/debootstrap.log" >&2; exit 1; }
        if [ -n "$save" ]; then
            tar --numeric-owner --one-file-system -C "$root" -cf "$save" .
            echo "   saved as $save"
        fi
    fi

    # Written from inside, before anything is mounted in the root, so that a
    # link in its place leads nowhere but into the root.
    in_root 'rm -f /etc/resolv.conf && cat >/etc/resolv.conf' </etc/resolv.conf

    # The clones are of the committed HEAD: uncommitted changes are not tried.
    # The README's commands run in the first; the second, at a path with
    # spaces, only builds the release again. No hard links: nothing in the
    # root shares a file with the checkout.
    commit=$(checkout rev-parse HEAD)
    checkout diff --quiet HEAD ||
        echo "   note: uncommitted changes in $top are not part of the clone"
    first=/root/duvak second="/srv/a second clone/of duvak"
    for clone in "$first" "$second"; do
        parent=$(dirname "$clone")
        confined "$root${parent%/*}"
        [ -e "$root$parent" ] || [ -L "$root$parent" ] || mkdir "$root$parent"
        confined "$root$parent"
        checkout clone -q --no-hardlinks "$top" "$root$clone"
    done

    # The root becomes a mount point of its own, as / is, so that programs
    # in it can make namespaces of their own (unshare changes the
    # propagation of /, which must be a mount). Then new instances of /proc
    # (of this PID namespace), a read-only /sys and a /dev of the few
    # devices the commands use (FUSE for the read-error tests, terminals for
    # tmux): none of them is the host's.
    mount --bind "$root" "$root"
    for point in proc sys dev; do confined "$root/$point"; done
    mount -t proc -o nosuid,nodev,noexec proc "$root/proc"
    mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$root/sys"
    mount -t tmpfs -o nosuid,mode=0755,size=16m dev "$root/dev"
    for device in "null 1 3" "zero 1 5" "full 1 7" "random 1 8" "urandom 1 9" "tty 5 0" \
            "fuse 10 229"; do
        set -- $device
        mknod -m 0666 "$root/dev/$1" c "$2" "$3"
    done
    mkdir "$root/dev/pts" "$root/dev/shm"
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
    mount -t tmpfs -o nosuid,nodev,mode=1777 shm "$root/dev/shm"
    ln -s pts/ptmx "$root/dev/ptmx"
    ln -s /proc/self/fd "$root/dev/fd"
    for stream in stdin:0 stdout:1 stderr:2; do
        ln -s "/proc/self/fd/${stream#*:}" "$root/dev/${stream%:*}"
    done

    # The README's commands: the lines of its first sh block that are not comments.
    commands=$(checkout show HEAD:README.md | awk '/^```sh$/ {inside = 1; next}
        inside && /^```/ {exit} inside && NF && !/^#/ {print}')
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
    # Every test's own output, which CTest shows only for a failing one.
    in_root "cat $first/build/host/Testing/Temporary/LastTest.log" >"$logs/tests.log" 2>&1 || true
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
        in_root "cd '$clone' && cmake --workflow --preset release" >>"$logs/release.log" 2>&1 ||
            code=$?
    done
    took=$(elapsed $(( $(date +%s) - began )))
    # Read and compared inside the root, so that no link in it is followed
    # out onto the host.
    same_release() {
        one="$first/build/release" two="$second/build/release"
        for file in SHA256SUMS BUILDINFO.txt; do
            in_root "cat '$one/$file'" >"$logs/$file" || return 1
        done
        in_root "cd '$one' && for file in SHA256SUMS BUILDINFO.txt DUVAK.exe DUVAK-*-windows-x64.zip; do
            cmp \"\$file\" '$two'/\"\$file\" || exit 1; done"
    }
    if [ "$code" -eq 0 ] && same_release; then
        result PASSED "release in $took: two clones gave the same bytes"
    else
        result FAILED "release in $took: exit $code, or the clones' bytes differ" \
            "(see $logs/release.log)"
    fi

    echo
    echo "== tally: Debian $(in_root 'cat /etc/debian_version') ($release), commit $commit"
    [ ! -f "$logs/SHA256SUMS" ] || sed 's/^/   /' "$logs/SHA256SUMS"
    printf '%s' "$tally"
    echo "$passed passed, $failed failed, in $(elapsed $(( $(date +%s) - started )))"
    echo "logs: $logs"
    [ "$failed" -eq 0 ]
    exit
fi

usage() {
    echo "usage: $me RELEASE [--bare ROOT.tar] [--save-bare ROOT.tar]" >&2
    exit 2
}
[ $# -ge 1 ] || usage
release=$1
shift
# A code name names folders that are emptied and removed: nothing but
# lower-case letters (no "..", no "/", not empty).
case $release in
    '' | *[!a-z]*) echo "$me: '$release' is not a Debian code name (bookworm, trixie, sid)" >&2
                   exit 2 ;;
esac
bare="" save=""
while [ $# -gt 0 ]; do
    case $1 in
        --bare) [ $# -ge 2 ] || usage; bare=$(realpath -e -- "$2"); shift 2 ;;
        --save-bare) [ $# -ge 2 ] || usage; save=$(realpath -m -- "$2"); shift 2 ;;
        *) usage ;;
    esac
done
[ "$(id -u)" -eq 0 ] || { echo "$me: run as root" >&2; exit 2; }
for tool in unshare setpriv chroot git; do
    command -v "$tool" >/dev/null || { echo "$me: $tool is missing" >&2; exit 2; }
done
if [ -z "$bare" ] && ! command -v debootstrap >/dev/null; then
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap >/dev/null
fi

# The logs of the last run for this release are replaced: only the files
# this script writes, in its own folder under build/.
mkdir -p "$top/build/fresh-debian/$release"
logs=$(realpath -e -- "$top/build/fresh-debian/$release")
[ "$logs" = "$(realpath -e -- "$top/build")/fresh-debian/$release" ] ||
    { echo "$me: $logs is reached through a link, refused" >&2; exit 2; }
for file in debootstrap.log command1.out command1.err command2.out command2.err duvak-first.out \
        duvak-first.err duvak-second.out duvak-second.err tests.log release.log SHA256SUMS BUILDINFO.txt; do
    rm -f -- "$logs/$file"
done

# Mounts below the work folder that the host's mount namespace shows, by
# the resolved path as /proc writes it (a space as \040, a tab as \011, a
# backslash as \134). The path goes in through the environment, since awk
# would read escapes in a -v value.
mounted_below_work() {
    escaped=$(printf '%s' "$work" | sed 's/\\/\\134/g; s/ /\\040/g; s/\t/\\011/g') \
        awk '$5 == ENVIRON["escaped"] || index($5, ENVIRON["escaped"] "/") == 1 {print $5}' \
        /proc/self/mountinfo
}
# The run's PID namespace, learnt from unshare as soon as it has made it
# (before that, unshare's children would be in this shell's namespace).
host_namespace=$(readlink /proc/self/ns/pid)
learn_namespace() {
    while [ -z "$pid_namespace" ] && [ -z "$reaped" ]; do
        now=$(readlink "/proc/$child/ns/pid_for_children" 2>/dev/null) || return 0
        [ "$now" = "$host_namespace" ] || pid_namespace=$now
    done
}
# Whether a process of that namespace still lives. A zombie is left out:
# it holds no files, mounts or namespaces any more (the namespace's first
# process, orphaned when unshare is killed, may wait a while to be reaped).
in_namespace() {
    [ -n "$pid_namespace" ] || return 1
    pattern=$(printf '%s' "$pid_namespace" | sed 's/[][*?\\]/\\&/g')
    for link in $(find /proc/[0-9]*/ns -maxdepth 1 -name pid -lname "$pattern" 2>/dev/null); do
        grep -q '^State:[[:space:]]*Z' "${link%/ns/pid}/status" 2>/dev/null || return 0
    done
    return 1
}

work="" made="" child="" reaped="" pid_namespace="" status=""
cleanup() {
    status=${status:-$?}
    # A second signal must not cut the cleanup short.
    trap '' INT TERM HUP
    [ -n "$work" ] || exit "$status"
    # A signal may come between starting unshare and noting its PID.
    child=${child:-${!:-}}
    if [ -n "$child" ] && [ -z "$reaped" ]; then
        learn_namespace
        kill -KILL "$child" 2>/dev/null || true
        wait "$child" 2>/dev/null || true
    fi
    # The namespace's first process dies with unshare, and the kernel then
    # ends every other one. The root is removed only once all are gone.
    waited=0
    while in_namespace && [ "$waited" -lt 600 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    if in_namespace; then
        echo "$me: processes of the run still live after 60 s; $work left in place" >&2
        exit 1
    fi
    if [ -n "$(mounted_below_work)" ]; then
        echo "$me: the host shows mounts below $work, left in place:" >&2
        mounted_below_work >&2
        exit 1
    fi
    # (A signal just after mktemp leaves no identity noted: the folder was
    # resolved a moment ago, so it stands.)
    [ -n "$made" ] || made=$(stat -c %d:%i -- "$work")
    if [ "$(realpath -e -- "$work" 2>/dev/null)" != "$work" ] ||
        [ "$(stat -c %d:%i -- "$work")" != "$made" ]; then
        echo "$me: $work is no longer the folder this run made, left alone" >&2
        exit 1
    fi
    rm -rf --one-file-system -- "$work"
    exit "$status"
}

trap cleanup EXIT
trap 'status=130; exit' INT
trap 'status=143; exit' TERM
trap 'status=129; exit' HUP

base=${TMPDIR:-/var/tmp}
case $base in
    *'
'*) echo "$me: TMPDIR holds a line feed, refused" >&2; exit 2 ;;
esac
# The work folder by its resolved path (TMPDIR may end in a slash, pass a
# link or hold a space), and what it is, so that nothing else is removed.
work=$(realpath -e -- "$(mktemp -d "$base/duvak-fresh-$release.XXXXXX")")
made=$(stat -c %d:%i -- "$work")

echo "== work folder $work"
# unshare ends its child (the namespace's first process) when it dies, and
# setpriv makes unshare die with this script, even by SIGKILL. It runs in the
# background so that a signal reaches this shell's traps at once.
setpriv --pdeathsig KILL -- unshare --mount --propagation private --pid --fork --kill-child \
    -- sh "$top/tools/fresh-debian.sh" --in-namespace "$release" "$work" "$logs" "$bare" "$save" &
child=$!
learn_namespace
wait "$child" || status=$?
reaped=yes
status=${status:-0}
