#!/usr/bin/env bash
# Drives the freshly built backend once, the way an agent process does, in a
# new agent working directory, and shows what it logged.
set -euo pipefail
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$top/$build" && pwd)
lib="$build/lib/libbe_hadoop.so"
host="$build/bin/kxhost"

work=$(mktemp -d "${TMPDIR:-/tmp}/be_hadoop-run-XXXXXX")
mkdir -p "$work"/{data,proclog,sysout,exe/locale}
cp "$top"/data/locale/* "$work/exe/locale/" 2>/dev/null || true
cat > "$work/data/CONFIG.dat" <<CONF
DBGLVL 4
CONF
export WEXAGENT="$work"
echo "agent working directory: $work"
cd "$work"

"$host" --lib "$lib" lifecycle TRACK

for log in proclog/*.log; do
  echo "---- $log"
  cat "$log"
done
