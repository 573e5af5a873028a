#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each for a while.
#
#   fuzz/run.sh [seconds] [target ...]
#
# seconds: per target, default 20. Targets: hessian_reply hessian_call
# be_response attr_list param_line event_msg (default: all).
# Environment: FUZZ_BUILD (build directory, default <repo>/build-fuzz),
# JOBS (build jobs, default 2), FUZZ_MAX_LEN (longest input, default 8192),
# FUZZ_FLAGS (extra libFuzzer flags).
#
# Seeds in fuzz/corpus/<target> are only read; what the fuzzer learns goes to
# $FUZZ_BUILD/fuzz-corpus/<target>, crash inputs to
# $FUZZ_BUILD/fuzz-artifacts/<target>/. Exits non-zero when a target fails.
set -u

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
seconds=${1:-20}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(hessian_reply hessian_call be_response attr_list param_line event_msg)
build=${FUZZ_BUILD:-$repo/build-fuzz}
jobs=${JOBS:-2}
max_len=${FUZZ_MAX_LEN:-8192}

case $seconds in
  '' | *[!0-9]*) echo "run.sh: seconds must be a number, not '$seconds'" >&2; exit 2 ;;
esac

cmake -S "$repo" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DKX_FUZZ=ON -DKX_SANITIZE=ON -DKX_BENCH=OFF -DBUILD_TESTING=OFF >/dev/null || exit 1
build_targets=()
for t in "${targets[@]}"; do build_targets+=(--target "fuzz_$t"); done
cmake --build "$build" -j "$jobs" "${build_targets[@]}" >"$build/fuzz-build.log" 2>&1 ||
  { tail -30 "$build/fuzz-build.log"; exit 1; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

failed=()
for t in "${targets[@]}"; do
  exe=$build/fuzz/fuzz_$t
  seeds=$here/corpus/$t
  work=$build/fuzz-corpus/$t
  artifacts=$build/fuzz-artifacts/$t
  mkdir -p "$work" "$artifacts"
  dict=()
  [ -f "$here/dict/$t.dict" ] && dict=(-dict="$here/dict/$t.dict")
  echo "=== $t: $seconds s"
  # Absolute paths throughout: each target changes into its own temporary
  # directory before it reads the corpus.
  # shellcheck disable=SC2086
  if "$exe" "$work" "$seeds" "${dict[@]}" -max_total_time="$seconds" -timeout=10 -max_len="$max_len" \
       -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
       ${FUZZ_FLAGS:-} >"$build/fuzz-$t.log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|stat::new_units_added|#[0-9]+ *DONE)' \
      "$build/fuzz-$t.log" | tr '\n' ' '
    echo
  else
    echo "!!! $t failed; log: $build/fuzz-$t.log, inputs: $artifacts/"
    grep -E 'ERROR|SUMMARY|^==|#[0-9]+ in ' "$build/fuzz-$t.log" | head -20
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]}"
  exit 1
fi
echo "all ${#targets[@]} targets ran $seconds s without a finding"
