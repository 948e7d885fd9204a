#!/usr/bin/env bash
# Thread-safety check of CI: every translation unit of the tree (libraries, tools, SANE backend,
# tests, benchmarks) goes through clang's front end with the thread-safety analysis turned into
# errors (-Wthread-safety -Wthread-safety-beta -Werror=thread-safety), so that a member read or
# written without the lock that guards it (GUARDED_BY), a helper called without the lock it
# needs (REQUIRES), a lock left held, or two locks taken against their order (ACQUIRED_BEFORE,
# which the beta part checks) fails CI. Only the front end runs (-fsyntax-only): the analysis is
# all this tree is for, so nothing is generated, linked or run, which keeps it to a few minutes
# on two cores (and leaves nothing for ccache to keep). The compile commands are CMake's own
# (compile_commands.json of a clang configuration), so every target's flags and include
# directories are the ones a build would use. Other warnings stay warnings.
#
# Usage: scripts/ci-thread-safety.sh [BUILD_DIR]
#   default: build-tsa beside this script's folder; JOBS (default 2) translation units at once.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=${1:-$root/build-tsa}
jobs=${JOBS:-2}

started=$(date +%s)
phase() { echo "== $(date +%H:%M:%S) (+$(($(date +%s) - started)) s) $*"; }

phase "thread-safety analysis: configure $dir with clang"
CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=-Wthread-safety -Wthread-safety-beta -Werror=thread-safety" >/dev/null
# The sources generated at build time (the scan service's serializers) are made first: the
# module's sources include their headers. Being generated, they are not checked themselves.
cmake --build "$dir" --target cavix_service_generated >/dev/null

phase "thread-safety analysis: every translation unit"
status=0
python3 - "$dir" "$jobs" <<'PY' || status=1
import json, os, shlex, subprocess, sys
from concurrent.futures import ThreadPoolExecutor

build, jobs = os.path.realpath(sys.argv[1]), int(sys.argv[2])
with open(os.path.join(build, "compile_commands.json")) as f:
    units = [u for u in json.load(f) if not os.path.realpath(u["file"]).startswith(build + os.sep)]

def check(unit):
    # The unit's own command, without its output: -c -o <object> becomes -fsyntax-only.
    args, out = shlex.split(unit["command"]), []
    skip = False
    for a in args:
        if skip:
            skip = False
        elif a == "-o":
            skip = True
        elif a != "-c":
            out.append(a)
    done = subprocess.run(out + ["-fsyntax-only"], cwd=unit["directory"], capture_output=True, text=True)
    return unit["file"], done.returncode, done.stderr

failed = 0
with ThreadPoolExecutor(jobs) as pool:
    for name, code, text in pool.map(check, units):
        if text.strip():
            sys.stderr.write(text)
        if code != 0:
            failed += 1
            print("failed:", os.path.relpath(name, os.path.dirname(build)))
print(f"{len(units)} translation units checked, {failed} failed")
sys.exit(1 if failed else 0)
PY

phase "done, status $status"
exit $status
