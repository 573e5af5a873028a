#!/usr/bin/env bash
# An operator's first steps, from the Debian package alone: install it with
# apt-get, lay out an agent working directory with the installed kxhost in a
# fresh directory (a clean environment: nothing of the build tree on any
# path), run a COMMAND job through the installed library and container to
# its end, then upgrade to a rebuilt package while a job runs and check that
# the job and its output survive, that an operator's edit of the
# configuration template survives, and that the replaced container gives way
# to the new program at the next request. Last, the package is purged and
# nothing of it may be left.
#
#   scripts/package-test.sh [BUILD]     (as root: it installs the package)
#
# BUILD holds the package already (make package); it is made again there for
# the upgrade, so on a shared machine run the whole under the build lock.
set -euo pipefail
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$top/$build" && pwd)
pkg=be-hadoop
prefix=/opt/be_hadoop
conf=/etc/opt/be_hadoop/kx_container_conf.xml

if [ "$(id -u)" -ne 0 ]; then
  echo "package-test: installs a package, so it runs as root only; not run" >&2
  exit 0
fi
if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed'; then
  echo "package-test: $pkg is installed on this machine already; remove it first (apt-get purge $pkg)" >&2
  exit 1
fi

fail() { echo "package-test: FAILED: $*" >&2; exit 1; }
step() { printf '\n==== %s\n' "$*"; }
t0=$SECONDS

work=$(mktemp -d /tmp/be_hadoop-pkg-XXXXXX)
agent="$work/agent"
installed=0
cleanup() {
  set +e
  if [ -f "$agent/container/state/kxcontainer.pid" ] && [ -e "$agent/container/zrtHadoop_container" ]; then
    "$agent/container/zrtHadoop_container" stop >/dev/null 2>&1
  fi
  # A job that was left waiting ends at once (its supervisor ends with it).
  touch "$work/go" 2>/dev/null
  if [ "$installed" = 1 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "$pkg" >/dev/null 2>&1
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Every step as the operator runs it: a clean environment, in the working
# directory, with the installed programs only.
op() {
  (cd "${here:-$work}" && env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
     HOME="$work" LANG=C.UTF-8 ${WEXAGENT:+WEXAGENT=$WEXAGENT} "$@")
}
# The value of an output attribute in kxhost's raw output.
attr() { sed -n "s/^    $1 = '\\(.*\\)'\$/\\1/p"; }
track() {
  op "$prefix/bin/kxhost" job TRACK ORDERNO="$1" RUNNO=1 --out JOBID:160 --out STATUS:32 --out EXITCODE:16 |
    attr STATUS
}
# Tracks a job until it has ended (at most 60 s), and prints its state.
wait_end() {
  local s=
  for _ in $(seq 300); do
    s=$(track "$1")
    case $s in ENDED_*|KILLED|FAILED_TO_START) echo "$s"; return;; esac
    sleep 0.2
  done
  fail "job $1 has not ended in 60 s (state '$s')"
}
container_pid() { cat "$agent/container/state/kxcontainer.pid" 2>/dev/null; }
# Until the container of the working directory is down (it unlocks its pid
# file at its end), at most 20 s.
wait_down() {
  for _ in $(seq 200); do
    flock -n "$agent/container/state/kxcontainer.pid" true && return
    sleep 0.1
  done
  fail "the container did not stop"
}

# The project's one version number, as the build has it.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb="$build/${pkg}_${version}_$(dpkg --print-architecture).deb"
step "the package $deb"
[ -f "$deb" ] || fail "no $deb (make package)"
dpkg-deb -f "$deb" Package Version Depends
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package's version is not $version"
dpkg-deb -f "$deb" Depends | grep -q libcurl || fail "the package does not declare the libraries it links"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx "$conf" || fail "$conf is not a conffile"

step "install it as an operator does"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
installed=1
dpkg -L "$pkg" | grep -v '^/\.$' | grep -vE "^(/opt|/etc|/etc/opt)$"

step "one version everywhere: $version"
v_host=$(op "$prefix/bin/kxhost" --version)
v_cont=$(op "$prefix/container/kxcontainer" --version)
echo "$v_host"; echo "$v_cont"
[ "$v_host" = "kxhost $version" ] || fail "kxhost says '$v_host'"
[ "$v_cont" = "kxcontainer $version" ] || fail "kxcontainer says '$v_cont'"
for f in "$prefix/lib/libbe_hadoop.so" "$prefix/bin/kxhost" "$prefix/container/kxcontainer"; do
  if ldd "$f" | grep -E "not found|$top"; then fail "$f needs something not installed"; fi
done

step "a working directory, laid out by the installed kxhost in a fresh directory"
op "$prefix/bin/kxhost" init "$agent"
[ "$(readlink "$agent/container/kxcontainer")" = "$prefix/container/kxcontainer" ] ||
  fail "the working directory does not link to the installed container"
for f in Latin1.cp UTF-8.cp; do
  cmp -s "$agent/exe/locale/$f" "$prefix/share/be_hadoop/locale/$f" || fail "exe/locale/$f is not the installed one"
done
export WEXAGENT="$agent"
here="$agent"
v_lib=$(op "$prefix/bin/kxhost" version)
echo "$v_lib"
case $v_lib in *" $version - folders "*) ;; *) fail "the library says '$v_lib'";; esac

step "a COMMAND job to its end (the library starts the container)"
out=$(op "$prefix/bin/kxhost" run ORDERNO=pk0001 -- 'echo "hello from $KX_JOBID"; echo WORDS=2 >> "$KX_AUTOEDIT_FILE"')
echo "$out"
grep -q "hello from kx-pk0001-1" <<<"$out" || fail "the job's output is not there"
grep -q "WORDS" <<<"$out" || fail "the job's autoedit is not there"

step "stop the container"
op "$agent/container/zrtHadoop_container" stop
wait_down
if op "$agent/container/zrtHadoop_container" status >/dev/null 2>&1; then fail "the container still answers"; fi

step "an operator's edit of the configuration template"
sed -i 's|<RequestTimeout>60</RequestTimeout>|<RequestTimeout>90</RequestTimeout>|' "$conf"
grep -q '<RequestTimeout>90' "$conf" || fail "the template has changed; fix this test's edit"

step "a job that runs across the upgrade (it waits for a file)"
cmd="echo before the upgrade; for i in \$(seq 600); do [ -e $work/go ] && break; sleep 0.1; done; echo after the upgrade"
op "$prefix/bin/kxhost" job SUBMIT ORDERNO=up0001 RUNNO=1 JOB_TYPE=COMMAND CMDLINE="$cmd" \
  --out JOBID:160 --out STATUS:32 | attr STATUS
old_pid=$(container_pid)
[ "$(track up0001)" = EXECUTING ] || fail "the job is not executing"

step "upgrade to a rebuilt package while the job runs"
cmake --build "$build" --target package -j2 >/dev/null
DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" | tail -n 3
grep -q '<RequestTimeout>90' "$conf" || fail "the upgrade overwrote the operator's configuration"
# The old container gives way to the new program by itself; the job goes on
# under its supervisor.
for _ in $(seq 100); do kill -0 "$old_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$old_pid" 2>/dev/null && fail "the replaced container still runs"
grep "was replaced" "$agent/container/log/kxcontainer.log" | tail -n 1

step "the next request starts the new container; the job is still there and ends"
[ "$(track up0001)" = EXECUTING ] || fail "the job did not survive the upgrade"
new_pid=$(container_pid)
echo "container pid $old_pid before, $new_pid after"
[ "$new_pid" != "$old_pid" ] || fail "the container was not restarted"
case $(readlink "/proc/$new_pid/exe") in
  "$prefix/container/kxcontainer") ;;
  *) fail "the new container runs $(readlink "/proc/$new_pid/exe")";;
esac
touch "$work/go"
state=$(wait_end up0001)
echo "job up0001: $state"
[ "$state" = ENDED_OK ] || fail "the job ended $state"
sysout=$(op "$prefix/bin/kxhost" sysout up0001 RUNNO=1)
grep -q "before the upgrade" <<<"$sysout" && grep -q "after the upgrade" <<<"$sysout" ||
  fail "the job's output did not survive: $sysout"
echo "its output: before and after the upgrade"

step "a job after the upgrade"
op "$prefix/bin/kxhost" run --quiet ORDERNO=pk0002 -- 'echo still working' | grep -q "still working" ||
  fail "no job runs after the upgrade"
op "$agent/container/zrtHadoop_container" stop
wait_down

step "purge the package: nothing of it is left"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "$pkg" >/dev/null
installed=0
dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'installed' && fail "$pkg is still installed"
for d in "$prefix" /etc/opt/be_hadoop; do
  [ ! -e "$d" ] || fail "$d is left: $(find "$d" | head)"
done
# The working directory is the operator's: its jobs and spool stay.
[ -s "$agent/container/state/jobs.db" ] || fail "the purge took the working directory's job store"

echo
echo "package-test: passed in $((SECONDS - t0)) s"
