#!/usr/bin/env bash
# Sets everything up from scratch on a fresh machine: a Python 3.12 virtual
# environment in .venv with pinned package ranges, the production build of
# _cpp_cuda (nvcc, installed into .venv) and the CUDA host emulation build in
# build/emu (the same device sources compiled by the host compiler), the same
# emulation build instrumented with AddressSanitizer and UBSan in build/emu-asan, and
# the emulation build without host LAPACK (-DVELKORA_HOST_LAPACK=OFF) in build/nolapack.
set -euo pipefail
cd "$(dirname "$0")/.."

find_python() {
    if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
    local root
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for p in "$root"/versions/3.12*/bin/python3.12 "$(command -v python3.12 || true)"; do
        if [ -x "$p" ]; then echo "$p"; return; fi
    done
    echo "Python 3.12 not found (set PYTHON=/path/to/python3.12)" >&2
    exit 1
}

# Build output goes to build/setup.log; one line per step here (the log's end on failure).
mkdir -p build
LOG=build/setup.log
: >"$LOG"
echo "setup: build output goes to $LOG"
step() {
    local what=$1
    shift
    echo "setup: $what"
    if ! "$@" >>"$LOG" 2>&1; then
        echo "setup: FAILED: $what; the end of $LOG:" >&2
        tail -n 40 "$LOG" >&2
        exit 1
    fi
}

export PATH="/usr/local/cuda/bin:$PATH"
if [ ! -x .venv/bin/python ]; then
    step "Python 3.12 virtual environment in .venv" "$(find_python)" -m venv .venv
fi
PY=.venv/bin/python
step "pip" $PY -m pip install -q --upgrade "pip>=24"
step "packages of requirements.txt" $PY -m pip install -q -r requirements.txt

# Production build: nvcc, sm_75..sm_90, static CUDA runtime.
step "production build (nvcc), installed into .venv" $PY -m pip install -q --no-build-isolation .

# Emulation build: the device sources compiled as C++ against emu/, plus the _cuemu test helper.
step "CUDA host emulation build (build/emu): configure" \
    cmake -S . -B build/emu -DVELKORA_CUDA_EMULATION=ON -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$PWD/$PY" -Dnanobind_DIR="$($PY -m nanobind --cmake_dir)"
step "CUDA host emulation build (build/emu): compile" cmake --build build/emu -j "$(nproc)"

# Sanitizer build: the emulation build with AddressSanitizer + UndefinedBehaviorSanitizer
# (run it through scripts/sanitized.sh, which preloads the runtimes).
step "sanitizer build (build/emu-asan): configure" \
    cmake -S . -B build/emu-asan -DVELKORA_CUDA_EMULATION=ON -DVELKORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$PWD/$PY" -Dnanobind_DIR="$($PY -m nanobind --cmake_dir)"
step "sanitizer build (build/emu-asan): compile" cmake --build build/emu-asan -j "$(nproc)"

# Emulation build without host LAPACK: the PSD cone on its Jacobi and inline factor paths
# at every order, has_host_blas() False.
step "emulation build without host LAPACK (build/nolapack): configure" \
    cmake -S . -B build/nolapack -DVELKORA_CUDA_EMULATION=ON -DVELKORA_HOST_LAPACK=OFF -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$PWD/$PY" -Dnanobind_DIR="$($PY -m nanobind --cmake_dir)"
step "emulation build without host LAPACK (build/nolapack): compile" cmake --build build/nolapack -j "$(nproc)"
