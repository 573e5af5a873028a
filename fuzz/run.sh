#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each for a while,
# two at a time: every CTest test labelled "fuzz", each through run_one.sh.
#
#   fuzz/run.sh [seconds] [target ...]
#
# seconds: per target, default 60. Targets: the names given to
# kx_fuzz_target in fuzz/CMakeLists.txt (default: all, the container's
# included once it registers its own).
# Environment: FUZZ_BUILD (build directory, default <repo>/build-fuzz),
# JOBS (build jobs and targets run at once, default 2), FUZZ_MAX_LEN
# (longest input, default 8192), FUZZ_FLAGS (extra libFuzzer flags).
#
# Seeds in fuzz/corpus/<target> are only read; what the fuzzer learns goes to
# $FUZZ_BUILD/fuzz-corpus/<target>, crash inputs to
# $FUZZ_BUILD/fuzz-artifacts/<target>/, logs to $FUZZ_BUILD/fuzz-<target>.log.
# Exits non-zero when a target fails.
set -u

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
seconds=${1:-60}
[ $# -gt 0 ] && shift
build=${FUZZ_BUILD:-$repo/build-fuzz}
jobs=${JOBS:-2}

case $seconds in
  '' | *[!0-9]*) echo "run.sh: seconds must be a number, not '$seconds'" >&2; exit 2 ;;
esac

cmake -S "$repo" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DKX_FUZZ=ON -DKX_SANITIZE=ON -DKX_BENCH=OFF -DBUILD_TESTING=OFF >/dev/null || exit 1
build_targets=(--target kx_fuzz)
regex=
if [ $# -gt 0 ]; then
  build_targets=()
  for t in "$@"; do build_targets+=(--target "fuzz_$t"); regex+="${regex:+|}$t"; done
fi
echo "building the fuzz targets in $build"
cmake --build "$build" -j "$jobs" "${build_targets[@]}" >"$build/fuzz-build.log" 2>&1 ||
  { tail -30 "$build/fuzz-build.log"; exit 1; }

filter=()
[ -n "$regex" ] && filter=(-R "^fuzz_($regex)\$")
cd "$build" || exit 1
# Only this run's logs are summed up below.
for log in fuzz-*.log; do
  [ -e "$log" ] && [ "$log" != fuzz-build.log ] || continue
  name=${log#fuzz-}
  name=${name%.log}
  if [ -z "$regex" ] || [[ $name =~ ^($regex)$ ]]; then rm -f "$log"; fi
done
KX_FUZZ_SECONDS=$seconds ctest -L fuzz "${filter[@]}" -j "$jobs" --timeout $((seconds + 300)) \
  --output-on-failure
rc=$?
for log in fuzz-*.log; do
  [ -e "$log" ] && [ "$log" != fuzz-build.log ] || continue
  name=${log#fuzz-}
  name=${name%.log}
  [ -n "$regex" ] && ! [[ $name =~ ^($regex)$ ]] && continue
  echo "$name: $(grep -E '^stat::(number_of_executed_units|new_units_added)' "$log" |
                 tr -d ' ' | tr '\n' ' ')"
done
[ $rc -eq 0 ] && echo "every target ran $seconds s without a finding"
exit $rc
