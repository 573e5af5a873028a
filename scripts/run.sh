#!/usr/bin/env bash
# One whole exchange, the way an agent drives the backend: each step is its
# own agent process (kxhost loads the library with dlopen). The container is
# the scripted stand-in from tests/container; nothing starts it here. The
# first request finds its port closed, and the library starts it through its
# own recovery path: the lock, the start script, the wait and the probes.
set -euo pipefail
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$top/$build" && pwd)
lib="$build/lib/libbe_hadoop.so"
host="$build/bin/kxhost"
container_bin="$build/bin/kx_test_container"

work=$(mktemp -d "${TMPDIR:-/tmp}/be_hadoop-run-XXXXXX")
mkdir -p "$work"/{data,proclog,sysout,exe/locale,container,container-run/script,container-run/record}
cp "$top"/data/locale/*.cp "$work/exe/locale/"
port=$("$host" free-port)

# The agent's parameter tables and the container configuration.
printf 'DBGLVL 4\nTRACKER_EVENT_PORT 7001\n' > "$work/data/CONFIG.dat"
printf 'KX_DIR %s\n' "$work/container" > "$work/data/HADOOP.dat"
cat > "$work/data/kx_container_conf.xml" <<CONF
<?xml version="1.0" encoding="UTF-8"?>
<Configuration>
  <ContainerHost>127.0.0.1</ContainerHost>
  <Port>$port</Port>
  <RecoveryMaxRetry>5</RecoveryMaxRetry>
  <RecoveryRetrySleepTime>1000</RecoveryRetrySleepTime>
  <RequestTimeout>30</RequestTimeout>
</Configuration>
CONF

# The start script the library runs, and the answers the container gives,
# one per request in order.
run="$work/container-run"
sed -e "s|@BIN@|$container_bin|" -e "s|@SCRIPT_DIR@|$run/script|" \
    -e "s|@RECORD_DIR@|$run/record|" -e "s|@PID_FILE@|$run/container.pid|" \
    -e "s|@LOG_FILE@|$run/container.log|" -e "s|@CALLS_FILE@|$run/start-calls|" \
    -e "s|@PORT@||" "$top/tests/container/zrtHadoop_container.in" > "$work/container/zrtHadoop_container"
chmod +x "$work/container/zrtHadoop_container"
decl="<?xml version='1.0' encoding='UTF-8'?>"
answer() { printf '%s<TWBKX><BODY>%s</BODY></TWBKX>' "$decl" "$1"; }
block1=$(printf 'Job job_0001 started on the cluster\nmap 100%% reduce 0%%')
block2=$(printf 'map 100%% reduce 100%%\nJob job_0001 completed successfully')
answer "<JOBID>job_0001</JOBID><STATUS>SUBMITTED</STATUS>" > "$run/script/0001"
answer "<STATUS>ENDED_OK</STATUS><EXITCODE>0</EXITCODE><AUTOEDITOUT1>ROWS=42</AUTOEDITOUT1>" \
  > "$run/script/0002"
answer "<SYSOUT_TEXT>$block1</SYSOUT_TEXT><SYSOUT_OFFSET>${#block1}</SYSOUT_OFFSET>" > "$run/script/0003"
answer "<SYSOUT_TEXT>$block2</SYSOUT_TEXT><SYSOUT_OFFSET>-1</SYSOUT_OFFSET>" > "$run/script/0004"
answer "" > "$run/script/0005"

export WEXAGENT="$work"
cd "$work"
echo "agent working directory: $work (container port $port)"
echo
step() { echo "==== $*"; }

step "version"
"$host" --lib "$lib" version
step "submit (the container is down: the library starts it)"
"$host" --lib "$lib" job SUBMIT ORDERNO=0001a RUNNO=1 JOBNAME=wordcount '%%ODATE=20261208' \
  --out JOBID:64 --out STATUS:32
step "track"
"$host" --lib "$lib" job TRACK ORDERNO=0001a RUNNO=1 JOBID=job_0001 --out STATUS:32 --out EXITCODE:8
step "output, block by block"
"$host" --lib "$lib" sysout 0001a RUNNO=1
step "shutdown"
"$host" --lib "$lib" shutdown

for _ in $(seq 50); do
  kill -0 "$(cat "$run/container.pid" 2>/dev/null || echo 0)" 2>/dev/null || break
  sleep 0.1
done
echo
step "start script runs: $(cat "$run/start-calls")"
for doc in "$run"/record/*.doc; do
  step "request received by the container: $(basename "$doc")"
  cat "$doc"; echo
done
for log in proclog/*.log; do
  step "$log"
  head -n 40 "$log"
  echo "... ($(wc -l < "$log") lines in all: $work/$log)"
done
