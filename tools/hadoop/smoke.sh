#!/usr/bin/env bash
# Smoke test of the single-node cluster and the edge-node commands: starts a
# cluster in a fresh temporary directory, puts a file into HDFS, runs the
# wordcount example with an application tag, checks its output and, found by
# that tag through the ResourceManager's REST API, that YARN reports it
# FINISHED/SUCCEEDED, then stops the cluster. Exit 0 on success.
# KX_HADOOP_SMOKE_KEEP=1 keeps the temporary directory for a look afterwards.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kx-hadoop-smoke.XXXXXX")
cluster=$tmp/cluster
failed=0

cleanup() {
  "$here/kx-hadoop-cluster" stop "$cluster" >/dev/null 2>&1 || true
  if [ -z "${KX_HADOOP_SMOKE_KEEP:-}" ]; then rm -rf "$tmp"; else echo "kept $tmp"; fi
}
trap cleanup EXIT

step() { printf '== %s\n' "$*"; }
fail() { echo "FAILED: $*" >&2; failed=1; }

# The body of GET http://HOST:PORT/PATH, without curl.
http_get() {
  local host=${1%:*} port=${1##*:}
  timeout 10 bash -c '
    exec 3<>"/dev/tcp/$0/$1" || exit 1
    printf "GET %s HTTP/1.0\r\nHost: %s:%s\r\nAccept: application/json\r\n\r\n" "$2" "$0" "$1" >&3
    sed "1,/^\r\{0,1\}$/d" <&3' "$host" "$port" "$2"
}

step "start a cluster in $cluster"
"$here/kx-hadoop-cluster" start "$cluster"
while IFS='=' read -r k v; do
  case $k in RM_WEB_URL|EXAMPLES_JAR|HADOOP_BIN|START_SECONDS) printf -v "$k" '%s' "$v" ;; esac
done < "$cluster/cluster.env"
rm_hostport=${RM_WEB_URL#http://}

step "put a file into HDFS"
printf 'to be or not to be\nthat is the question\n' > "$tmp/words.txt"
"$HADOOP_BIN/hdfs" dfs -mkdir -p /smoke/in
"$HADOOP_BIN/hdfs" dfs -put "$tmp/words.txt" /smoke/in/

tag=kx-smoke-$$
step "wordcount tagged $tag"
t0=$(date +%s)
if ! "$HADOOP_BIN/hadoop" jar "$EXAMPLES_JAR" wordcount -Dmapreduce.job.tags="$tag" \
     /smoke/in /smoke/out > "$tmp/wordcount.log" 2>&1; then
  tail -n 30 "$tmp/wordcount.log" >&2
  fail "wordcount exited non-zero"
fi
echo "wordcount took $(( $(date +%s) - t0 )) s"

step "check the output"
"$HADOOP_BIN/hdfs" dfs -cat '/smoke/out/part-r-*' > "$tmp/counts.txt" || fail "no output"
expected=$(printf 'be\t2\tis\t1\tnot\t1\tor\t1\tquestion\t1\tthat\t1\tthe\t1\tto\t2')
got=$(sort "$tmp/counts.txt" | tr '\n' '\t' | sed 's/\t$//')
[ "$got" = "$expected" ] || fail "counts: '$got', expected '$expected'"

step "find the application by its tag"
# The driver returns when the job is done; the ApplicationMaster lingers a
# few seconds before YARN calls the application FINISHED.
for ((i = 0; i < 60; i++)); do
  apps=$(http_get "$rm_hostport" "/ws/v1/cluster/apps?applicationTags=$tag") || apps=
  echo "$apps" | grep -q '"state":"\(FINISHED\|FAILED\|KILLED\)"' && break
  sleep 0.5
done
[ -n "$apps" ] || fail "RM REST did not answer"
echo "$apps" | grep -o '"id":"application_[0-9_]*"\|"state":"[A-Z_]*"\|"finalStatus":"[A-Z_]*"\|"applicationTags":"[^"]*"' | tr '\n' ' '
echo
n=$(echo "$apps" | grep -o '"id":"application_' | wc -l)
[ "$n" = 1 ] || fail "$n applications carry tag $tag, expected 1"
echo "$apps" | grep -q '"state":"FINISHED"' || fail "state is not FINISHED"
echo "$apps" | grep -q '"finalStatus":"SUCCEEDED"' || fail "finalStatus is not SUCCEEDED"

step "stop the cluster"
"$here/kx-hadoop-cluster" stop "$cluster"
"$here/kx-hadoop-cluster" status "$cluster" >/dev/null && fail "still running after stop"

if [ $failed = 0 ]; then
  echo "hadoop smoke: 1 passed, 0 failed (cluster start ${START_SECONDS}s)"
else
  echo "hadoop smoke: 0 passed, 1 failed"
fi
exit $failed
