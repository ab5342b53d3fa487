#!/usr/bin/env bash
# Sets everything up, then checks every kernel's resource budget on the production device
# sources (compile only), then builds the wheel and checks it in a fresh virtual
# environment with its type stubs (scripts/wheel.sh), then runs the whole test suite on four builds and modes: the
# production module (host paths, no CUDA device here), the CUDA host emulation
# instrumented with AddressSanitizer + UBSan, the CUDA host emulation (device paths), and
# the same emulation in its strict modes (CUEMU_STRICT=1: deferred streams, random block
# and thread orders, race checks, perturbed device math, the interpreter-lock probe).
# The emulation build without host LAPACK (the only differences: the PSD host paths and
# the supernodal LDLT's dense products) runs the tests of those paths. The last line of the run is pytest's own summary.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
echo "=== kernel resource budgets (production device code, every architecture) ==="
PATH="/usr/local/cuda/bin:$PATH" .venv/bin/python scripts/kernel_budgets.py
echo "=== the wheel: manylinux tag, install into a fresh venv, type stubs against the modules ==="
bash scripts/wheel.sh
echo "=== production build ==="
.venv/bin/python -m pytest -q tests "$@"
echo "=== CUDA host emulation build, AddressSanitizer + UndefinedBehaviorSanitizer ==="
bash scripts/sanitized.sh .venv/bin/python -m pytest -q tests "$@"
echo "=== CUDA host emulation build without host LAPACK: the PSD host paths ==="
PYTHONPATH="$PWD/build/nolapack" .venv/bin/python -m pytest -q tests/test_psd.py tests/test_sparse_fill.py \
    tests/test_robustness.py tests/test_module_surface.py tests/test_ipm_cones.py "$@"
echo "=== the same build: the supernodal LDLT's own loops in place of the BLAS products ==="
PYTHONPATH="$PWD/build/nolapack" .venv/bin/python -m pytest -q tests/test_solver.py -k supernodal_ldl "$@"
echo "=== CUDA host emulation build ==="
PYTHONPATH="$PWD/build/emu" .venv/bin/python -m pytest -q tests "$@"
echo "=== CUDA host emulation build, strict modes ==="
CUEMU_STRICT=1 PYTHONPATH="$PWD/build/emu" .venv/bin/python -m pytest -q tests "$@"
