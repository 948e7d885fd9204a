#!/bin/sh
# Runs every built fuzz target for a while on a copy of its seed corpus; builds nothing.
#   fuzz/run-all.sh [SECONDS] [BUILD_DIR]
# SECONDS per target (default 30); BUILD_DIR is the fuzz build (default build-fuzz beside this
# folder's parent). The committed corpora under fuzz/corpus/ are never changed: each run works
# in a fresh temporary directory, where crash inputs and logs stay when a target fails.
# A dictionary fuzz/<target>.dict, when there is one, seeds the mutations with its tokens.
# Exit status 0 when every target ran its time without a crash, 1 otherwise (2: nothing built).
set -u
seconds=${1:-30}
here=$(cd "$(dirname "$0")" && pwd)
build=${2:-$here/../build-fuzz}
bin=$(cd "$build" 2>/dev/null && pwd)/fuzz
work=$(mktemp -d "${TMPDIR:-/tmp}/cavix-fuzz.XXXXXX") || exit 1

targets=$(cd "$here/corpus" && ls -d fuzz_* 2>/dev/null)
ran=0
failed=""
for target in $targets; do
  exe=$bin/$target
  if [ ! -x "$exe" ]; then
    echo "$target: not built in $bin, skipped"
    continue
  fi
  corpus=$work/$target/corpus
  mkdir -p "$corpus" "$work/$target/artifacts"
  cp "$here/corpus/$target"/* "$corpus"/
  log=$work/$target/fuzz.log
  dict=""
  [ -f "$here/$target.dict" ] && dict="-dict=$here/$target.dict"
  # -max_total_time bounds the run; -timeout turns a hang into a failure; rss_limit keeps a
  # runaway allocation from taking the machine.
  (cd "$work/$target" && "$exe" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$work/$target/artifacts/" $dict "$corpus" >"$log" 2>&1)
  status=$?
  ran=$((ran + 1))
  stats=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE|INITED)' "$log" | tail -1)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  if [ $status -ne 0 ] || ls "$work/$target/artifacts"/* >/dev/null 2>&1; then
    echo "$target: FAILED (status $status) after ${execs:-?} runs; log and inputs in $work/$target"
    grep -E 'ERROR|runtime error|fuzz_[a-z_]*: ' "$log" | head -5
    failed="$failed $target"
  else
    echo "$target: ok, ${execs:-?} runs in ${seconds}s; $stats"
  fi
done

if [ $ran -eq 0 ]; then
  echo "no fuzz target built in $bin (configure with CC=clang CXX=clang++ -DCAVIX_FUZZ=ON)"
  exit 2
fi
if [ -n "$failed" ]; then
  echo "failed:$failed"
  exit 1
fi
rm -rf "$work"
echo "all $ran fuzz targets ran ${seconds}s each without a crash"
