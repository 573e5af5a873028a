#!/usr/bin/env bash
# Real jobs through the library, the way an agent runs them: each step is
# its own agent process (kxhost loads the library with dlopen). A
# single-node Hadoop cluster (Hadoop's own MiniCluster, from the Apache
# artifacts on Maven Central) comes up first; kxhost init lays out a fresh
# agent working directory with its container directory; the container is
# down at first, and the library starts it through its own recovery path at
# the first request (the lock, the start script, the wait and the probes).
# Then a COMMAND job, an HDFS job and a MapReduce wordcount on YARN.
set -euo pipefail
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$top/$build" && pwd)
host="$build/bin/kxhost"

work=$(mktemp -d "${TMPDIR:-/tmp}/be_hadoop-run-XXXXXX")
container="$work/container"
pidfile="$container/state/kxcontainer.pid"
job=(ORDERNO=wc0001 RUNNO=1)

hadoop="$work/hadoop"
cluster="$top/tools/hadoop/kx-hadoop-cluster"

# Whatever happens, no container and no cluster is left running.
cleanup() {
  if [ -f "$pidfile" ]; then "$container/zrtHadoop_container" stop >/dev/null 2>&1 || true; fi
  if [ -f "$hadoop/cluster.pid" ]; then "$cluster" stop "$hadoop" >/dev/null 2>&1 || true; fi
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

step "the Hadoop jars (fetched from Maven Central on the first run only)"
show "$top/scripts/hadoop-deps.sh"

step "a single-node Hadoop cluster: HDFS, YARN and the MapReduce JobHistory server"
show "$cluster" start "$hadoop"
cluster_env() { sed -n "s/^$1=//p" "$hadoop/cluster.env"; }

step "a fresh agent working directory and its container directory, pointed at the cluster"
show "$host" init "$work"
cd "$work"
export WEXAGENT="$work"
# The edge node's Hadoop commands and configuration, for the container.
sed -i "s|</Configuration>|  <HadoopBinDir>$(cluster_env HADOOP_BIN)</HadoopBinDir>\n  <HadoopConfDir>$(cluster_env HADOOP_CONF_DIR)</HadoopConfDir>\n</Configuration>|" \
  data/kx_container_conf.xml
grep -E "Port|Hadoop" data/kx_container_conf.xml

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

step "an HDFS job puts the text into HDFS"
show "$host" run --quiet ORDERNO=hd0001 RUNNO=1 JOB_TYPE=HDFS HDFS_COMMAND=mkdir ARGS="-p kx-input"
show "$host" run ORDERNO=hd0002 RUNNO=1 JOB_TYPE=HDFS HDFS_COMMAND=put ARGS="$work/input.txt kx-input/"

step "a MapReduce wordcount on YARN: submitted with its tag, tracked by YARN's word until it has finished, its output, counters and logs read block by block"
show "$host" run --block-size 2047 ORDERNO=mr0001 RUNNO=1 JOB_TYPE=MAPREDUCE JAR="$(cluster_env EXAMPLES_JAR)" \
  PROGRAM=wordcount ARGS="kx-input kx-output" > wordcount.out
echo "($(wc -c < wordcount.out) bytes of report in $work/wordcount.out; its parts:)"
sed -n '/^kxhost: job/p; /^kxhost: YARN/p; /^kxhost: tracking/p' wordcount.out
sed -n '/Counters: /,/Bytes Written=/p' wordcount.out | sed -n '1,40p'
sed -n '/^---- end of output/,$p' wordcount.out

step "the ten most frequent words, read from HDFS by an HDFS job"
show "$host" run --quiet ORDERNO=hd0003 RUNNO=1 JOB_TYPE=HDFS HDFS_COMMAND=cat ARGS="kx-output/part-r-00000" \
  | sort -k2 -n -r | sed -n '1,10p'

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

step "stop the Hadoop cluster"
show "$cluster" stop "$hadoop"

echo
echo "agent working directory: $work (remove it with: rm -rf $work)"
