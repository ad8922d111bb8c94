#!/bin/sh
# A maintainer's check that the README's two commands work for a new user of
# a Debian release: in a bare root of that release (minbase, with git and CA
# certificates), a clone of this checkout's HEAD runs them exactly as the
# README writes them; tools/duvak must print DUVAK's output alone, and the
# release built in two clones must give the same bytes. Prints a tally; the
# logs are in build/fresh-debian/RELEASE/. Exit code 0 when every check
# passed, 1 when one failed, 2 when the check could not run.
#
#   tools/fresh-debian.sh RELEASE [--bare ROOT.tar | --save-bare ROOT.tar]
#
# --bare starts from a saved bare root; --save-bare keeps the new one. Run it
# as yourself, without sudo, in your own checkout: every step runs in user
# namespaces with your subordinate IDs (/etc/subuid), and none holds a
# capability of the machine's. Root runs it only in a checkout of its own;
# in another user's it stops at once (root running this script there already
# runs their file).
set -u
me=tools/fresh-debian.sh

# The one place that decides the exit code: every way out passes here, and
# one that decided none is one where the check could not run.
status="" work="" running="" partial=""
finish() {
    code=${status:-2}
    trap '' INT TERM HUP
    # With the namespace's first process the kernel ends every other one, and
    # unshare returns once none is left.
    [ -z "$running" ] || { pkill -KILL -P "$running"; wait "$running"; }
    [ -z "$partial" ] || rm -f -- "$partial"
    if [ -n "$work" ]; then
        # The root's files belong to the namespace's users: removed in there
        # (root's own namespace cannot remove the folder itself from TMPDIR).
        $ns rm -rf --one-file-system -- "$work" >/dev/null 2>&1
        rm -rf --one-file-system -- "$work" 2>/dev/null
        [ ! -e "$work" ] || { echo "$me: could not remove $work" >&2; [ "$code" -ne 0 ] || code=2; }
    fi
    exit "$code"
}
trap finish EXIT
trap 'status=130; exit' INT
trap 'status=143; exit' TERM
trap 'status=129; exit' HUP
refuse() { echo "$me: $*" >&2; status=2; exit; }
usage() { refuse "usage: $me RELEASE [--bare ROOT.tar | --save-bare ROOT.tar]"; }
# Text from the root reaches the terminal without its control characters.
clean() { LC_ALL=C tr -d '\000-\010\013-\037\177'; }
cannot() { tail -n 20 "$1" | clean >&2; refuse "$2"; }  # a step failed: its log's end
exec </dev/null  # no step is handed the terminal

[ $# -ge 1 ] || usage
release=$1
shift
# The code name names the logs' folder: lower-case letters only.
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

top=$(cd "$(dirname "$0")/.." && pwd -P) || refuse "cannot find the checkout"
if [ "$(id -u)" -eq 0 ]; then
    for path in "$0" "$top" "$top/.git"; do
        [ -O "$path" ] || refuse "$top is $(stat -c %U "$top")'s checkout: run this check as" \
            "that user, without sudo (as root it would run their files as root)"
    done
fi
for tool in bwrap unshare newuidmap git flock pkill setpriv $([ -n "$bare" ] || echo mmdebstrap); do
    command -v "$tool" >/dev/null ||
        refuse "$tool is missing (as root: apt-get install bubblewrap uidmap mmdebstrap procps)"
done

# Each step: a user namespace with 65,536 IDs of this user's first
# subordinate range, and a PID namespace whose end ends every process in it;
# in a session of its own, so that none has this terminal to control, and
# ended with this script, even one killed outright. A user is the namespace's
# root; root's namespaces map its range alone, so that their root is no ID of
# the machine's (and owns the work folder).
user=$(id -un)
range() {  # range FILE: the start of the user's first range of 65,536 IDs
    awk -F: -v name="$user" -v id="$(id -u)" \
        '($1 == name || $1 == id) && $3 >= 65536 { print $2; exit }' "$1" 2>/dev/null
}
uids=$(range /etc/subuid) gids=$(range /etc/subgid)
if [ -z "$uids" ] || [ -z "$gids" ]; then
    first=$(cat /etc/subuid /etc/subgid 2>/dev/null |
        awk -F: 'BEGIN { end = 100000 } $2 + $3 > end { end = $2 + $3 } END { print end }')
    refuse "$user has no subordinate range of 65,536 IDs; as root, give it one:" \
        "usermod --add-subuids $first-$((first + 65535)) --add-subgids $first-$((first + 65535)) $user"
fi
if [ "$(id -u)" -eq 0 ]; then
    identity="--map-users=$uids,0,65536 --map-groups=$gids,0,65536 --setuid 0 --setgid 0"
else
    identity="--map-root-user --map-users=$uids,1,65535 --map-groups=$gids,1,65535"
fi
ns="setsid setpriv --pdeathsig KILL unshare --user $identity --pid --fork --kill-child --"
why=$($ns true 2>&1) || refuse "no user namespace for $user here: $why"
case ${TMPDIR:-} in
    *'
'*) refuse "TMPDIR holds a line feed" ;;
esac
temporary=${TMPDIR:-/var/tmp}
[ -d "$temporary" ] && [ -w "$temporary" ] || refuse "TMPDIR $temporary is no folder you can write"

# The last run's logs are replaced: one run of a release at a time, locked
# on the logs folder itself.
kept=$top/build/fresh-debian/$release
mkdir -p -- "$kept" 2>/dev/null && exec 9<"$kept" || refuse "cannot make $kept"
flock -n 9 || refuse "another run of $release is under way (logs in $kept); try again when it ends"
names="mmdebstrap.log unpack.log clone.log command1.out command1.err command2.out command2.err
tests.log duvak.codes duvak-first.out duvak-first.err duvak-second.out duvak-second.err
release.log SHA256SUMS BUILDINFO.txt"
# shellcheck disable=SC2086
(cd "$kept" && rm -f -- $names) 2>/dev/null ||
    refuse "cannot remove the last run's logs in $kept: remove them as their owner"

# The work folder by its resolved path (TMPDIR may end in a slash, pass a
# link or hold a space), where programs must run: the root's.
work=$(mktemp -d "$temporary/duvak-fresh-$release.XXXXXX") || refuse "cannot make a folder in $temporary"
work=$(realpath -e -- "$work")
[ "$(id -u)" -ne 0 ] || chown "$uids:$gids" "$work" || refuse "cannot give $work to the namespace"
root=$work/root
$ns mkdir "$root" || refuse "cannot make $root"
printf '#!/bin/sh\n' >"$work/probe" && chmod +x "$work/probe" && "$work/probe" 2>/dev/null ||
    refuse "TMPDIR $temporary runs no programs (mounted noexec?): choose another"
echo "== work folder $work (logs in $kept)"
started=$(date +%s)
elapsed() { echo "$(( $1 / 60 ))m$(( $1 % 60 ))s"; }

# step COMMAND...: in the background, so that a signal reaches the traps at
# once, with the caller's standard input, without the lock.
step() {
    { "$@" <&8 8<&- 9<&- & } 8<&0
    running=$!
    ended=0
    wait "$running" || ended=$?
    running=""
    return "$ended"
}
# Outside the root a step sees the host read-only but the work folder, so
# no link in a tarball leads a write out; bound last, so that the sandbox's
# /dev hides no TMPDIR in /dev/shm.
sandbox="bwrap --unshare-pid --unshare-ipc --unshare-uts --new-session --die-with-parent"
on_host() {
    step $ns $sandbox --ro-bind / / --proc /proc --dev /dev --bind "$work" "$work" \
        --setenv TMPDIR "$work" "$@"
}
if [ -z "$bare" ]; then
    echo "== making a bare $release root"
    bare=$work/bare.tar
    on_host mmdebstrap --mode=unshare --variant=minbase --include=ca-certificates,git \
        "$release" "$bare" >"$kept/mmdebstrap.log" 2>&1 ||
        cannot "$kept/mmdebstrap.log" "mmdebstrap could not make the root"
    if [ -n "$save" ]; then
        partial=$save.part
        cp -- "$bare" "$partial" && mv -- "$partial" "$save" || refuse "could not save $save"
        partial=""
        echo "   saved as $save"
    fi
fi
# Device nodes cannot be made in a user namespace: the sandbox's /dev serves.
echo "== unpacking the bare root"
on_host tar --numeric-owner --anchored --exclude='./dev/*' --exclude='dev/*' -C "$root" \
    -xf "$bare" >"$kept/unpack.log" 2>&1 || cannot "$kept/unpack.log" "could not unpack $bare"
# bwrap mounts /proc and /dev where a link there would lead it.
for folder in proc dev; do
    [ -d "$root/$folder" ] && [ ! -L "$root/$folder" ] ||
        refuse "/$folder in the root is not a plain folder, refused"
done

# in_root COMMAND: in the root as a root login on a new machine (no locale,
# no XDG_RUNTIME_DIR, no display); every path and link is the root's, /proc
# shows the sandbox alone. /dev/fuse is there where the namespace's root may
# open it, else the read-error tests say they are skipped.
fuse=""
! $ns test -r /dev/fuse -a -w /dev/fuse 2>/dev/null || fuse="--dev-bind /dev/fuse /dev/fuse"
in_root() {
    step $ns $sandbox --bind "$root" / --proc /proc --dev /dev $fuse --chdir /root --clearenv \
        --setenv HOME /root --setenv USER root --setenv LOGNAME root --setenv SHELL /bin/sh \
        --setenv PATH /usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /bin/sh -c "$1"
}

# The clones are of HEAD when the run began, carried in by a bundle.
git -C "$top" bundle create -q - HEAD >"$work/duvak.bundle" 2>"$kept/clone.log" ||
    cannot "$kept/clone.log" "git could not bundle $top"
commit=$(git -C "$top" rev-parse HEAD)
[ -z "$(git --no-optional-locks -C "$top" status --porcelain --untracked-files=no)" ] ||
    echo "   note: uncommitted changes in $top are not part of the clone"
first=/root/duvak second="/srv/a second clone/of duvak"
in_root "rm -f /etc/resolv.conf && cat >/etc/resolv.conf" </etc/resolv.conf >>"$kept/clone.log" 2>&1
in_root "cat >/tmp/duvak.bundle && for clone in $first '$second'; do
        mkdir -p \"\$(dirname \"\$clone\")\" &&
        git -c advice.detachedHead=false clone -q /tmp/duvak.bundle \"\$clone\" || exit 1
    done && rm /tmp/duvak.bundle" <"$work/duvak.bundle" >>"$kept/clone.log" 2>&1 ||
    cannot "$kept/clone.log" "could not clone into the root"

# The README's commands: the lines but comments of the sh block after its
# mark (a block above it, such as a download's, is no command).
commands=$(git -C "$top" show "$commit:README.md" | awk '$0 == "<!-- the two commands -->" {marked = 1}
    marked && /^```sh$/ {inside = 1; next} inside && /^```/ {exit} inside && NF && !/^#/ {print}')
[ "$(echo "$commands" | wc -l)" -eq 2 ] ||
    refuse "README.md: expected two commands, found: $commands"

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
    in_root "cd $first && $line" >"$kept/command$1.out" 2>"$kept/command$1.err" || code=$?
    took=$(elapsed $(( $(date +%s) - began )))
    tail -n 3 "$kept/command$1.out" | clean
}

# README.md and CMakeLists.txt differ in size: DUVAK says so, exit 1.
run_readme 1
verdict=$(tail -n 1 "$kept/command1.out")
if [ "$code" -eq 1 ] && [ "$verdict" = "The files have different sizes." ]; then
    result PASSED "command 1 in $took: \"$verdict\", exit 1"
else
    result FAILED "command 1 in $took: exit $code, last line \"$verdict\""
fi

run_readme 2
# Every test's own output, which CTest shows only for a failing one.
in_root "cat $first/build/host/Testing/Temporary/LastTest.log" >"$kept/tests.log" 2>&1
summary=$(grep -E '^[0-9]+% tests passed' "$kept/command2.out" | tail -n 1)
skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$kept/command2.out" |
    sort -u | tr '\n' ' ')
if [ "$code" -eq 0 ] && [ -n "$summary" ]; then
    result PASSED "command 2 in $took: $summary; skipped: ${skipped:-none}"
else
    result FAILED "command 2 in $took: exit $code, ${summary:-no CTest summary}"
fi

# Every build of both commands without a warning (the tests' own output is
# shown only for a failing test, so these lines are the builds').
warned=$(cat "$kept"/command*.out "$kept"/command*.err | grep -E 'warning:|CMake Warning' | sort -u)
if [ -z "$summary" ]; then
    result FAILED "builds: not all ran, so not all were checked for warnings"
elif [ -z "$warned" ]; then
    result PASSED "builds: no warnings"
else
    result FAILED "builds: $(echo "$warned" | wc -l) different warning lines"
    echo "$warned" | head -n 20 | clean
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
    tools/duvak README.md README.md >&5 2>&6; echo second \$? >&7" \
    3>"$kept/duvak-first.out" 4>"$kept/duvak-first.err" 5>"$kept/duvak-second.out" \
    6>"$kept/duvak-second.err" 7>"$kept/duvak.codes" 2>/dev/null
for run in first second; do
    code=$(awk -v run=$run '$1 == run {print $2}' "$kept/duvak.codes")
    out=$(cat "$kept/duvak-$run.out") err=$(cat "$kept/duvak-$run.err")
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
    in_root "cd '$clone' && cmake --workflow --preset release" >>"$kept/release.log" 2>&1 ||
        code=$?
done
took=$(elapsed $(( $(date +%s) - began )))
if [ "$code" -eq 0 ] && in_root "cd '$first/build/release' && cat SHA256SUMS >&3 &&
        cat BUILDINFO.txt >&4 && for file in SHA256SUMS BUILDINFO.txt DUVAK.exe DUVAK-*.zip; do
            cmp \"\$file\" '$second/build/release'/\"\$file\" || exit 1; done" \
        3>"$kept/SHA256SUMS" 4>"$kept/BUILDINFO.txt" >>"$kept/release.log" 2>&1; then
    result PASSED "release in $took: two clones gave the same bytes"
else
    result FAILED "release in $took: exit $code, or the clones' bytes differ" \
        "(see $kept/release.log)"
fi

in_root "cat /etc/debian_version" >"$work/debian_version" 2>&1
echo
echo "== tally: Debian $(clean <"$work/debian_version") ($release), commit $commit"
[ ! -f "$kept/SHA256SUMS" ] || sed 's/^/   /' "$kept/SHA256SUMS" | clean
printf '%s' "$tally" | clean
echo "$passed passed, $failed failed, in $(elapsed $(( $(date +%s) - started )))"
echo "logs: $kept"
if [ "$failed" -eq 0 ]; then status=0; else status=1; fi
