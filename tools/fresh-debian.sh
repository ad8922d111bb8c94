#!/bin/sh
# A maintainer's check that the README's two commands work for a new user of
# a Debian release. In a bare root of that release (minbase, with git and CA
# certificates added), a clone of this checkout's committed HEAD runs the
# README's two commands exactly as the README writes them; then tools/duvak
# must print DUVAK's output alone, and the release is built in that clone and
# in a second one at another path and their bytes compared. Prints a tally;
# the logs, SHA256SUMS and the build record land in build/fresh-debian/RELEASE/.
#
#   tools/fresh-debian.sh RELEASE [--bare ROOT.tar] [--save-bare ROOT.tar]
#
# RELEASE is a Debian code name (bookworm, trixie, sid). --bare starts from a
# saved bare root instead of making one; --save-bare keeps the new bare root,
# before anything is installed into it, for the next run. Needs root,
# bubblewrap and mmdebstrap (installed when missing) and Debian's package
# archive. Exit code 0 when every check passed, 1 when one failed, 2 when the
# check could not run.
#
# Root runs nothing of the checkout: git reads it as the checkout's owner
# (whose own settings may name programs for git to run), and whatever the run
# leaves in it, the owner makes.
set -eu
me=tools/fresh-debian.sh
top=$(cd "$(dirname "$0")/.." && pwd -P)

usage() { echo "usage: $me RELEASE [--bare ROOT.tar | --save-bare ROOT.tar]" >&2; exit 2; }
refuse() { echo "$me: $*" >&2; exit 2; }
# A step that could not be done (no root made, unpacked or cloned): the end
# of its log, and the run could not run.
cannot() { tail -n 20 "$1" >&2; echo "$me: $2" >&2; exit 2; }

[ $# -ge 1 ] || usage
release=$1
shift
# The code name names a folder whose files are replaced: lower-case letters
# only (no "..", no "/", not empty).
case $release in
    '' | *[!a-z]*) refuse "'$release' is not a Debian code name (bookworm, trixie, sid)" ;;
esac
bare="" save=""
while [ $# -gt 0 ]; do
    case $1 in
        --bare) [ $# -ge 2 ] || usage
                bare=$(realpath -e -- "$2" 2>/dev/null) || refuse "no bare root $2"
                shift 2 ;;
        --save-bare) [ $# -ge 2 ] || usage; save=$(realpath -m -- "$2"); shift 2 ;;
        *) usage ;;
    esac
done
[ -z "$bare" ] || [ -z "$save" ] || refuse "--save-bare keeps a root that this run makes; with --bare it makes none"
[ "$(id -u)" -eq 0 ] || refuse "run as root"
case ${TMPDIR:-} in
    *'
'*) refuse "TMPDIR holds a line feed" ;;
esac

missing=""
command -v bwrap >/dev/null || missing=" bubblewrap"
[ -n "$bare" ] || command -v mmdebstrap >/dev/null || missing="$missing mmdebstrap"
if [ -n "$missing" ]; then
    echo "== installing$missing"
    # shellcheck disable=SC2086
    { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing; } \
        >/dev/null || refuse "could not install$missing"
fi
for tool in git tar flock findmnt pkill setpriv; do
    command -v "$tool" >/dev/null || refuse "$tool is missing"
done
# The sandbox of every step: namespaces of its own for mounts, processes,
# IPC and the host name, a new session (so no program in it can type into
# this terminal), and nothing of it outlives this script, even when it is
# killed outright.
sandbox="bwrap --unshare-pid --unshare-ipc --unshare-uts --new-session --die-with-parent"
why=$($sandbox --ro-bind / / true 2>&1) || refuse "bubblewrap cannot make its sandbox here: $why"

# as_owner COMMAND...: runs it as the checkout's owner (often the one who
# ran sudo), with that user's own environment and no capability. git on the
# checkout runs so: as root it would run whatever programs the checkout's
# config names (an fsmonitor, say), and it never takes the index lock, so
# that not even the owner's files change.
owner=$(stat -c %u "$top") group=$(stat -c %g "$top")
as_owner() { setpriv --reuid="$owner" --regid="$group" --clear-groups --reset-env -- "$@"; }
checkout() { as_owner git --no-optional-locks -C "$top" "$@"; }

# The logs of the last run of this release are replaced: only the files this
# script writes, in its own folder, reached through no link, and made by the
# owner, so that the checkout stays theirs.
kept=$top/build/fresh-debian/$release
for folder in "$top/build" "$top/build/fresh-debian" "$kept"; do
    [ ! -L "$folder" ] || refuse "$folder is a link, refused"
    [ -d "$folder" ] || as_owner mkdir -- "$folder" || refuse "$folder: its owner cannot make it"
done
# One run of a release at a time: a second one would replace the first one's
# logs while it reads them. The lock is the logs folder's own, opened for
# reading: no file is made, and no link followed to make one.
exec 9<"$kept"
flock -n 9 || refuse "another run of $release is under way (logs in $kept); try again when it ends"
names="mmdebstrap.log unpack.log clone.log command1.out command1.err command2.out command2.err
tests.log duvak.codes duvak-first.out duvak-first.err duvak-second.out duvak-second.err
release.log SHA256SUMS BUILDINFO.txt"
# shellcheck disable=SC2086
(cd "$kept" && as_owner rm -f -- $names)

# step COMMAND...: runs it in the background, so that a signal reaches the
# traps at once, with the caller's standard input and without the lock.
step() {
    { "$@" <&8 8<&- 9>&- & } 8<&0
    running=$!
    ended=0
    wait "$running" || ended=$?
    running=""
    return "$ended"
}

# hand_over: the logs, written by root in the work folder while the run
# goes on, are written into the checkout by its owner.
hand_over() {
    for file in $names; do
        [ -f "$logs/$file" ] || continue
        as_owner sh -c 'cat >"$1"' sh "$kept/$file" <"$logs/$file" ||
            echo "$me: could not write $kept/$file" >&2
    done
}

work="" running="" status="" partial=""
cleanup() {
    status=${status:-$?}
    # A second signal must not cut the cleanup short.
    trap '' INT TERM HUP
    if [ -n "$running" ]; then
        # bwrap's first process in the sandbox: the kernel then ends every
        # other one, and bwrap returns only once none is left.
        pkill -KILL -P "$running" || kill -KILL "$running" 2>/dev/null || true
        wait "$running" || true
    fi
    [ -z "$partial" ] || rm -f -- "$partial"
    if [ -n "$work" ]; then
        hand_over
        mounted=$(findmnt -ln -o TARGET | work=$work awk \
            '$0 == ENVIRON["work"] || index($0, ENVIRON["work"] "/") == 1')
        if [ -n "$mounted" ]; then
            printf '%s: mounted below %s, left in place:\n%s\n' "$me" "$work" "$mounted" >&2
            exit 1
        fi
        rm -rf --one-file-system -- "$work"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'status=130; exit' INT
trap 'status=143; exit' TERM
trap 'status=129; exit' HUP

# The work folder by its resolved path (TMPDIR may end in a slash, pass a
# link or hold a space).
work=$(realpath -e -- "$(mktemp -d "${TMPDIR:-/var/tmp}/duvak-fresh-$release.XXXXXX")")
root=$work/root logs=$work/logs
mkdir "$root" "$logs"
# The logs land in the checkout when the run ends; until then they are here.
echo "== work folder $work (logs in $work/logs)"
started=$(date +%s)
elapsed() { echo "$(( $1 / 60 ))m$(( $1 % 60 ))s"; }

# Outside the root, the steps see the host read-only: only the work folder is
# theirs to write, so no link in a tarball leads a write onto the host. The
# work folder is bound last, so that a TMPDIR under /dev (/dev/shm) is not
# hidden by the sandbox's own /dev. They keep only what making a root and
# unpacking it need: owners and modes (set-group-ID bits too) of files that
# are not theirs, device nodes, apt's change to its own user, and
# mmdebstrap's chroot with /proc and /dev mounted in it. (With fewer, the
# root still comes out, but with modes lost: FSETID, say.)
host_caps="--cap-drop ALL"
for cap in CHOWN DAC_OVERRIDE FOWNER FSETID MKNOD SETGID SETUID SYS_CHROOT SYS_ADMIN; do
    host_caps="$host_caps --cap-add CAP_$cap"
done
on_host() {
    step $sandbox --ro-bind / / --proc /proc --dev /dev --bind "$work" "$work" $host_caps \
        --setenv TMPDIR "$work" "$@"
}
if [ -z "$bare" ]; then
    echo "== making a bare $release root"
    bare=$work/bare.tar
    on_host mmdebstrap --variant=minbase --include=ca-certificates,git "$release" "$bare" \
        >"$logs/mmdebstrap.log" 2>&1 ||
        cannot "$logs/mmdebstrap.log" "mmdebstrap could not make the root"
    if [ -n "$save" ]; then
        partial=$save.part
        cp -- "$bare" "$partial" && mv -- "$partial" "$save"
        partial=""
        echo "   saved as $save"
    fi
fi
echo "== unpacking the bare root"
on_host tar --numeric-owner -C "$root" -xf "$bare" </dev/null >"$logs/unpack.log" 2>&1 ||
    cannot "$logs/unpack.log" "could not unpack $bare"
# bwrap mounts the root's /proc and /dev where a link there would lead it,
# before the root is its /.
for folder in proc dev; do
    [ -d "$root/$folder" ] && [ ! -L "$root/$folder" ] ||
        refuse "/$folder in the root is not a plain folder, refused"
done

# in_root COMMAND: runs it in the root as a root login on a new machine (no
# locale, no XDG_RUNTIME_DIR, no display), with the capabilities that apt,
# FUSE and the tests' own namespaces need. Every path, and every link, is the
# root's own. Not CAP_DAC_READ_SEARCH: with it, open_by_handle_at reaches any
# file on the work folder's file system, which is the host's.
caps="--cap-drop ALL"
for cap in CHOWN DAC_OVERRIDE FOWNER FSETID KILL SETGID SETUID SETPCAP SETFCAP \
        SYS_CHROOT SYS_ADMIN SYS_PTRACE; do
    caps="$caps --cap-add CAP_$cap"
done
in_root() {
    step $sandbox --bind "$root" / --proc /proc --dev /dev --dev-bind-try /dev/fuse /dev/fuse \
        $caps --chdir /root --clearenv --setenv HOME /root --setenv USER root \
        --setenv LOGNAME root --setenv SHELL /bin/sh \
        --setenv PATH /usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /bin/sh -c "$1"
}

# The clones are of one commit, HEAD when the run began, carried in by a
# bundle and made inside the root; uncommitted changes are not tried.
checkout bundle create -q - HEAD >"$work/duvak.bundle" 2>"$logs/clone.log" ||
    cannot "$logs/clone.log" "git could not bundle $top"
# (The bundle's head lines come before its first blank line: read without git,
# which in the checkout would read the checkout's config as root.)
commit=$(awk '/^$/ {exit} $2 == "HEAD" {print $1}' "$work/duvak.bundle")
[ -z "$(checkout status --porcelain --untracked-files=no)" ] ||
    echo "   note: uncommitted changes in $top are not part of the clone"
first=/root/duvak second="/srv/a second clone/of duvak"
in_root "rm -f /etc/resolv.conf && cat >/etc/resolv.conf" </etc/resolv.conf
in_root "cat >/tmp/duvak.bundle && for clone in $first '$second'; do
        mkdir -p \"\$(dirname \"\$clone\")\" &&
        git -c advice.detachedHead=false clone -q /tmp/duvak.bundle \"\$clone\" || exit 1
    done && rm /tmp/duvak.bundle" <"$work/duvak.bundle" >>"$logs/clone.log" 2>&1 ||
    cannot "$logs/clone.log" "could not clone into the root"

# The README's commands: the lines that are not comments of the sh block
# after its mark (a block above it, such as a download's, is no command).
commands=$(checkout show "$commit:README.md" | awk '$0 == "<!-- the two commands -->" {marked = 1}
    marked && /^```sh$/ {inside = 1; next} inside && /^```/ {exit} inside && NF && !/^#/ {print}')
[ "$(echo "$commands" | wc -l)" -eq 2 ] ||
    { printf 'README.md: expected two commands, found:\n%s\n' "$commands" >&2; exit 1; }

tally="" passed=0 failed=0
result() {  # result PASSED|FAILED TEXT...
    if [ "$1" = PASSED ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    mark=$1
    shift
    tally="$tally$mark $*
"
}

# run_readme N: runs README command N in the first clone; sets code and took.
run_readme() {
    line=$(printf '%s\n' "$commands" | sed -n "$1p")
    echo "== command $1: $line"
    began=$(date +%s) code=0
    in_root "cd $first && $line" </dev/null >"$logs/command$1.out" 2>"$logs/command$1.err" ||
        code=$?
    took=$(elapsed $(( $(date +%s) - began )))
    tail -n 3 "$logs/command$1.out"
}

# README.md and CMakeLists.txt differ in size: DUVAK says so, exit 1.
run_readme 1
verdict=$(tail -n 1 "$logs/command1.out")
if [ "$code" -eq 1 ] && [ "$verdict" = "The files have different sizes." ]; then
    result PASSED "command 1 in $took: \"$verdict\", exit 1"
else
    result FAILED "command 1 in $took: exit $code, last line \"$verdict\""
fi

run_readme 2
# Every test's own output, which CTest shows only for a failing one.
in_root "cat $first/build/host/Testing/Temporary/LastTest.log" </dev/null \
    >"$logs/tests.log" 2>&1 || true
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
# server starts and on the next, which finds it running: so both run in one
# sandbox. (Debian 12 and 13 keep the server in /usr/lib/wine, unstable in
# the multiarch folder, with none on PATH.)
in_root "cd $first && export WINEPREFIX=$first/build/wine
    for server in /usr/lib/wine/wineserver /usr/lib/x86_64-linux-gnu/wine/wineserver; do
        if [ -x \$server ]; then \$server -k; \$server -w; fi
    done >/dev/null 2>&1
    tools/duvak README.md README.md >&3 2>&4; echo first \$? >&7
    tools/duvak README.md README.md >&5 2>&6; echo second \$? >&7" </dev/null \
    3>"$logs/duvak-first.out" 4>"$logs/duvak-first.err" 5>"$logs/duvak-second.out" \
    6>"$logs/duvak-second.err" 7>"$logs/duvak.codes" || true
for run in first second; do
    code=$(awk -v run=$run '$1 == run {print $2}' "$logs/duvak.codes")
    out=$(cat "$logs/duvak-$run.out") err=$(cat "$logs/duvak-$run.err")
    if [ "$code" = 0 ] && [ "$out" = "The files have the same data." ] && [ -z "$err" ]; then
        result PASSED "tools/duvak README.md README.md, $run run after the server starts:" \
            "same data, exit 0, nothing on stderr"
    else
        result FAILED "tools/duvak README.md README.md, $run run: exit ${code:-none}," \
            "stdout \"$out\", stderr \"$err\""
    fi
done

echo "== the release, built in two clones"
began=$(date +%s)
code=0
for clone in "$first" "$second"; do
    in_root "cd '$clone' && cmake --workflow --preset release" </dev/null \
        >>"$logs/release.log" 2>&1 || code=$?
done
took=$(elapsed $(( $(date +%s) - began )))
same_release() {
    one="$first/build/release" two="$second/build/release"
    for file in SHA256SUMS BUILDINFO.txt; do
        in_root "cat '$one/$file'" </dev/null >"$logs/$file" || return 1
    done
    in_root "cd '$one' && for file in SHA256SUMS BUILDINFO.txt DUVAK.exe DUVAK-*-windows-x64.zip; do
        cmp \"\$file\" '$two'/\"\$file\" || exit 1; done" </dev/null >>"$logs/release.log" 2>&1
}
if [ "$code" -eq 0 ] && same_release; then
    result PASSED "release in $took: two clones gave the same bytes"
else
    result FAILED "release in $took: exit $code, or the clones' bytes differ" \
        "(see $kept/release.log)"
fi

in_root "cat /etc/debian_version" </dev/null >"$work/debian_version" 2>&1 || true
echo
echo "== tally: Debian $(cat "$work/debian_version") ($release), commit $commit"
[ ! -f "$logs/SHA256SUMS" ] || sed 's/^/   /' "$logs/SHA256SUMS"
printf '%s' "$tally"
echo "$passed passed, $failed failed, in $(elapsed $(( $(date +%s) - started )))"
echo "logs: $kept"
[ "$failed" -eq 0 ]
