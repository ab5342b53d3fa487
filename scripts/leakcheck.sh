#!/usr/bin/env bash
# Leak check under LeakSanitizer (the AddressSanitizer build in build/emu-asan, made by
# scripts/setup.sh). Two runs, both with PYTHONMALLOC=malloc so that every Python object
# is a malloc block LeakSanitizer can see and trace:
#   1. the whole test suite (fast stack unwinding: the native allocations of our code
#      carry our frames; the interpreter's do not need to);
#   2. a short workload repeating every result-returning call and a set of device calls,
#      with full unwinding, so that Python objects our bindings create and leak would be
#      attributed to our frames as well.
# scripts/lsan_filter.py sorts the records; the check fails on any record whose
# allocation stack passes through our code, other than the module registrations that
# live as long as the interpreter. Usage: bash scripts/leakcheck.sh [pytest args]
set -euo pipefail
cd "$(dirname "$0")/.."
PY="${PYTHON:-.venv/bin/python}"
logs="$(mktemp -d)"
trap 'rm -rf "$logs"' EXIT
# Leak reports never change a process's exit status (the filter judges them; the
# interpreter's own leftovers would fail every child process of the emulator tests);
# memory errors still abort.
common="detect_leaks=1:exitcode=0:abort_on_error=1:allocator_may_return_null=1:handle_segv=0:malloc_context_size=48"

echo "=== LeakSanitizer: the test suite ==="
mkdir -p "$logs/suite"
ASAN_OPTIONS="$common:log_path=$logs/suite/lsan" PYTHONMALLOC=malloc \
    bash scripts/sanitized.sh "$PY" -m pytest -q -p no:cacheprovider tests "$@"
"$PY" scripts/lsan_filter.py "$logs"/suite/lsan.*

echo "=== LeakSanitizer: repeated calls, full stack unwinding ==="
mkdir -p "$logs/workload"
ASAN_OPTIONS="$common:fast_unwind_on_malloc=0:log_path=$logs/workload/lsan" PYTHONMALLOC=malloc \
    bash scripts/sanitized.sh "$PY" scripts/leak_workload.py
"$PY" scripts/lsan_filter.py "$logs"/workload/lsan.*
