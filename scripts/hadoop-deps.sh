#!/usr/bin/env bash
# Resolves the Apache Hadoop jars (tools/hadoop/pom.xml) into the local Maven
# repository and writes the classpath files the single-node cluster and the
# edge-node commands run from:
#
#   scripts/hadoop-deps.sh [OUTDIR]
#
# OUTDIR defaults to $KX_HADOOP_OUT, else tools/hadoop/target. It then holds
#   classpath.txt         every jar, the cluster's test-scope ones included
#   client-classpath.txt  what clients and YARN containers run with
#   deps.env              KEY=VALUE lines: version, java, jar paths
# Nothing is done when these are newer than the pom and every jar they name is
# still there, so later runs need neither Maven nor the network. As root it
# installs Maven and a JDK when they are missing.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
pom=$root/tools/hadoop/pom.xml
out=${1:-${KX_HADOOP_OUT:-$root/tools/hadoop/target}}
mkdir -p "$out"
out=$(cd "$out" && pwd)

up_to_date() {
  local f jar
  for f in classpath.txt client-classpath.txt deps.env; do
    [ -s "$out/$f" ] && [ "$out/$f" -nt "$pom" ] || return 1
  done
  # ~/.m2 may have been cleaned since: every jar named must still be there
  while IFS= read -r -d: jar; do
    [ -f "$jar" ] || return 1
  done < <(tr -d '\n' < "$out/classpath.txt"; printf ':')
  return 0
}
up_to_date && exit 0

if ! command -v mvn >/dev/null || ! command -v javac >/dev/null; then
  if [ "$(id -u)" -eq 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq maven default-jdk-headless >/dev/null
  else
    echo "hadoop-deps: Maven and a JDK are needed; run as root:" >&2
    echo "  apt-get install -y maven default-jdk-headless" >&2
    exit 1
  fi
fi

version=$(sed -n 's|.*<hadoop.version>\(.*\)</hadoop.version>.*|\1|p' "$pom")
examples_version=$(sed -n 's|.*<hadoop.examples.version>\(.*\)</hadoop.examples.version>.*|\1|p' "$pom")
mvn_args=(-B -q -f "$pom" -Dkx.out="$out" package)
# Offline first: once the local repository holds everything this needs no
# network; only a first run (or a new version in the pom) goes online.
if ! mvn -o "${mvn_args[@]}" >"$out/mvn-offline.log" 2>&1; then
  echo "hadoop-deps: resolving Hadoop $version from Maven Central (a first run downloads about 150 MB)" >&2
  if ! mvn "${mvn_args[@]}" >"$out/mvn.log" 2>&1; then
    tail -n 30 "$out/mvn.log" >&2
    echo "hadoop-deps: Maven failed; full log in $out/mvn.log" >&2
    exit 1
  fi
fi

# Clients and containers never need the mini clusters (Hadoop's test jars and
# JUnit), and those jars carry a log4j.properties and capacity-scheduler.xml
# of their own.
tr ':' '\n' < "$out/classpath.txt" |
  grep -v -e '-tests\.jar$' -e '/hadoop-minicluster-[^/]*\.jar$' \
          -e '/junit/' -e '/org/junit/' -e '/org/hamcrest/' -e '/org/opentest4j/' -e '/org/apiguardian/' |
  paste -sd: - > "$out/client-classpath.txt.tmp"
mv "$out/client-classpath.txt.tmp" "$out/client-classpath.txt"

jar_named() { tr ':' '\n' < "$out/classpath.txt" | grep -m1 "/$1\$"; }
distcp=$(jar_named 'hadoop-distcp-[^/]*[0-9]\.jar')
# Hadoop's sleep job (org.apache.hadoop.mapreduce.SleepJob) is in here
jobclient_tests=$(jar_named 'hadoop-mapreduce-client-jobclient-[^/]*-tests\.jar')
{
  echo "HADOOP_VERSION=$version"
  echo "EXAMPLES_VERSION=$examples_version"
  echo "CLASSPATH_FILE=$out/classpath.txt"
  echo "CLIENT_CLASSPATH_FILE=$out/client-classpath.txt"
  echo "EXAMPLES_JAR=$(cat "$out/examples-jar.txt")"
  echo "DISTSHELL_JAR=$(cat "$out/distributedshell-jar.txt")"
  echo "DISTCP_JAR=$distcp"
  echo "JOBCLIENT_TESTS_JAR=$jobclient_tests"
} > "$out/deps.env.tmp"
mv "$out/deps.env.tmp" "$out/deps.env"
