#!/usr/bin/env bash
# Sanitizer runs of CI:
#  1. the whole test suite built with the address and undefined-behaviour sanitizers;
#  2. the tests labelled "threaded" (streams, worker threads, cancellation, scanner lock,
#     platform waits) built with the thread sanitizer; only their targets are built.
# Any sanitizer report fails the test that triggered it, and so this script.
#
# Usage: scripts/ci-sanitizers.sh [ASAN_BUILD_DIR [TSAN_BUILD_DIR]]
#   defaults: build-asan and build-tsan beside this script's folder; JOBS (default 2) builds and
#   tests in parallel; SKIP_ASAN=1 or SKIP_TSAN=1 leave a half out.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
asan_dir=${1:-$root/build-asan}
tsan_dir=${2:-$root/build-tsan}
jobs=${JOBS:-2}

# Targets whose tests carry the "threaded" label, and what they load at run time.
tsan_targets=(
  cavix_platform_tests cavix_platform_testserver
  cavix_log_tests
  cavix_image_tests
  cavix_device_tests cavix_device_flow_tests
  driver_unit_tests
)

# halt_on_error: the first report ends the test program with a failure.
# intercept_tls_get_addr=0: GCC 12's runtime takes a malloc'd dynamic TLS block (the discovery
# library loaded with dlopen has thread-local data) for an old glibc header when it happens to sit
# 16 bytes into a page, reads two words before it, and the leak checker's tracer then dies at
# exit with "Tracer caught signal 11" after the test passed. Static TLS is still scanned.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=0:intercept_tls_get_addr=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:report_signal_unsafe=0}

# Sanitizer builds compile at -O1 with line tables only: much quicker to build than the
# optimised build with full debug information, and stack traces still name file and line.
build_type=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1" "-DCMAKE_C_FLAGS_DEBUG=-O1 -g1")

started=$(date +%s)
phase() { echo "== $(date +%H:%M:%S) (+$(($(date +%s) - started)) s) $*"; }

# The thread sanitizer maps its shadow at fixed addresses; kernels with a high mmap
# randomisation make it abort at start. Running without address randomisation avoids that.
tsan_run=()
if command -v setarch >/dev/null 2>&1 && setarch "$(uname -m)" -R true 2>/dev/null; then
  tsan_run=(setarch "$(uname -m)" -R)
fi

status=0
if [ "${SKIP_ASAN:-0}" != 1 ]; then
  phase "address sanitizer: configure $asan_dir"
  cmake -S "$root" -B "$asan_dir" -DCAVIX_SANITIZE=address -DCAVIX_BUILD_BENCH=OFF "${build_type[@]}" >/dev/null
  phase "address sanitizer: build"
  cmake --build "$asan_dir" -j "$jobs"
  phase "address sanitizer: whole test suite"
  if ! (cd "$asan_dir" && ctest --output-on-failure -j "$jobs" --timeout 900); then
    status=1
  fi
fi

if [ "${SKIP_TSAN:-0}" != 1 ]; then
  phase "thread sanitizer: configure $tsan_dir"
  cmake -S "$root" -B "$tsan_dir" -DCAVIX_SANITIZE=thread -DCAVIX_BUILD_BENCH=OFF "${build_type[@]}" >/dev/null
  # Only the targets that exist in this configuration (some depend on optional parts).
  known=$(cmake --build "$tsan_dir" --target help | sed -n 's/^\.\.\. \([^ ]*\).*/\1/p')
  targets=()
  for t in "${tsan_targets[@]}"; do
    if grep -qx "$t" <<<"$known"; then targets+=("$t"); fi
  done
  phase "thread sanitizer: build ${targets[*]}"
  cmake --build "$tsan_dir" -j "$jobs" --target "${targets[@]}"
  phase "thread sanitizer: tests labelled threaded"
  if ! (cd "$tsan_dir" && "${tsan_run[@]}" ctest --output-on-failure -j "$jobs" --timeout 900 -L threaded); then
    status=1
  fi
fi

phase "done, status $status"
exit $status
