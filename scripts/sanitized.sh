#!/usr/bin/env bash
# Runs a command (normally the venv's python) against the sanitizer build in
# build/emu-asan: the AddressSanitizer and UBSan runtimes of the compiler that built it
# are preloaded (CPython itself is not instrumented), and the module directory is put
# first on PYTHONPATH. Usage: scripts/sanitized.sh .venv/bin/python -m pytest tests
#
# ASAN_OPTIONS defaults: leak detection off (the interpreter keeps its own objects until
# exit; scripts/leakcheck.sh runs the leak check with our own filter), allocation
# failures returned as null like the system allocator (the module reports them as
# "... allocation failed"), and SIGSEGV left to the process so that the emulator's
# guard-page crash tests see a real segmentation fault.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${VELKORA_ASAN_BUILD:-$root/build/emu-asan}"
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
asan=$("$cxx" -print-file-name=libasan.so)
ubsan=$("$cxx" -print-file-name=libubsan.so)
for lib in "$asan" "$ubsan"; do
    [ -e "$lib" ] || { echo "sanitizer runtime $lib not found" >&2; exit 1; }
done
export LD_PRELOAD="$asan:$ubsan${LD_PRELOAD:+:$LD_PRELOAD}"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0:allocator_may_return_null=1:handle_segv=0:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
exec "$@"
