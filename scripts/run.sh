#!/usr/bin/env bash
# One real job through the library, the way an agent runs it: each step is
# its own agent process (kxhost loads the library with dlopen). kxhost init
# lays out a fresh agent working directory with its container directory; the
# container is down at first, and the library starts it through its own
# recovery path at the first request (the lock, the start script, the wait
# and the probes).
set -euo pipefail
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$top/$build" && pwd)
host="$build/bin/kxhost"

work=$(mktemp -d "${TMPDIR:-/tmp}/be_hadoop-run-XXXXXX")
container="$work/container"
pidfile="$container/state/kxcontainer.pid"
job=(ORDERNO=wc0001 RUNNO=1)

# Whatever happens, no container is left running.
cleanup() {
  if [ -f "$pidfile" ]; then "$container/zrtHadoop_container" stop >/dev/null 2>&1 || true; fi
}
trap cleanup EXIT

step() { printf '\n==== %s\n' "$*"; }
# Prints a command as it could be typed (quoting what needs it), then runs it.
show() {
  local line='$' a
  for a in "$@"; do
    if [[ $a =~ [^A-Za-z0-9_./=:%+-] ]]; then line+=" '${a//\'/\'\\\'\'}'"; else line+=" $a"; fi
  done
  printf '%s\n' "$line"
  "$@"
}

step "a fresh agent working directory and its container directory"
show "$host" init "$work"
cd "$work"
export WEXAGENT="$work"

step "the container is down"
show container/zrtHadoop_container status || true

step "run a COMMAND job: submit (the library starts the container), track it to its end, read its output block by block, its autoedits and statistics"
cp "$top/README.md" input.txt
count='echo "counting the words of $KX_INPUT"; head -n 3 "$KX_INPUT"; '
count+='words=$(wc -w < "$KX_INPUT"); lines=$(wc -l < "$KX_INPUT"); echo "$words words in $lines lines"; '
count+='sleep 1; echo "WORDS=$words" >> "$KX_AUTOEDIT_FILE"; echo "LINES=$lines" >> "$KX_AUTOEDIT_FILE"'
show "$host" run --block-size 64 "${job[@]}" JOBNAME=wordcount INPUT="$work/input.txt" -- "$count"

step "delete the job"
show "$host" job DELETE "${job[@]}" --out STATUS:32

step "stop the container (PEXAPI_Shutdown)"
show "$host" shutdown
# The container holds the lock of its pid file for as long as it runs.
for _ in $(seq 100); do
  flock -n "$pidfile" true && break
  sleep 0.1
done
flock -n "$pidfile" true || { echo "the container did not stop" >&2; exit 1; }
echo "container stopped"

step "how the library started the container ($(ls proclog | wc -l) process logs in $work/proclog)"
grep -h -E "StartContainer|connecting attempt" proclog/*.log || true

step "the container's log: $container/log/kxcontainer.log"
grep -E "^[-0-9]+ [0-9:.]+ [0-9]+ (info|warn|error)" "$container/log/kxcontainer.log" | tail -n 14

echo
echo "agent working directory: $work (remove it with: rm -rf $work)"
