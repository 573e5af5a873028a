#!/usr/bin/env bash
# Runs one libFuzzer target for a while; the fuzz label of CTest runs each
# target through this script, and so does fuzz/run.sh.
#
#   run_one.sh <executable> <name> <seed dir> <dictionary or ""> <work root>
#
# Environment: KX_FUZZ_SECONDS (default 60), FUZZ_MAX_LEN (longest input,
# default 8192), FUZZ_FLAGS (extra libFuzzer flags), ASAN_OPTIONS and
# UBSAN_OPTIONS (defaults: abort on the first report, leaks included).
#
# Seeds are only read; what the fuzzer learns goes to <work root>/fuzz-corpus/
# <name>, an input that fails to <work root>/fuzz-artifacts/<name>/, the log
# to <work root>/fuzz-<name>.log. Exits non-zero when the target fails.
set -u
exe=$1 name=$2 seeds=$3 dict=$4 root=$5
seconds=${KX_FUZZ_SECONDS:-60}
max_len=${FUZZ_MAX_LEN:-8192}
case $seconds in
  '' | *[!0-9]*) echo "run_one.sh: KX_FUZZ_SECONDS must be a number, not '$seconds'" >&2; exit 2 ;;
esac

work=$root/fuzz-corpus/$name
artifacts=$root/fuzz-artifacts/$name
log=$root/fuzz-$name.log
mkdir -p "$work" "$artifacts"
dict_flag=()
[ -n "$dict" ] && [ -f "$dict" ] && dict_flag=(-dict="$dict")
seed_dirs=()
[ -d "$seeds" ] && seed_dirs=("$seeds")

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

# Absolute paths throughout: each target changes into its own temporary
# directory before it reads the corpus.
# shellcheck disable=SC2086
"$exe" "$work" "${seed_dirs[@]}" "${dict_flag[@]}" -max_total_time="$seconds" -timeout=10 \
  -max_len="$max_len" -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$artifacts/" ${FUZZ_FLAGS:-} >"$log" 2>&1
rc=$?
if [ $rc -eq 0 ]; then
  echo "$name: $(grep -E '^stat::number_of_executed_units' "$log" | tr -d ' ') in $seconds s," \
       "$(grep -E '^stat::new_units_added' "$log" | tr -d ' ')"
else
  echo "!!! $name failed (exit $rc); log: $log, inputs: $artifacts/"
  grep -E 'ERROR|SUMMARY|^==|#[0-9]+ in ' "$log" | head -20
  tail -5 "$log"
fi
exit $rc
