#!/usr/bin/env bash
# Sets everything up (build output in build/setup.log), then runs the demo: every operation
# on sample data with timings against NumPy references, on host arrays with the production
# module and on device arrays; then the interior-point solver built on the module on the
# shipped problems, next to CVXOPT and Clarabel. Without a GPU the device parts run in the
# CUDA host emulation build (build/emu), and the demo says so.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
echo
.venv/bin/python examples/demo.py
echo
if [ "$(.venv/bin/python -c 'import _cpp_cuda; print(_cpp_cuda.has_cuda())')" = False ]; then
    echo "=== Device arrays: no GPU on this machine, so the device parts run in the CUDA host emulation build ==="
else
    echo "=== Device arrays: the device parts run in the CUDA host emulation build (build/emu) ==="
fi
PYTHONPATH="$PWD/build/emu" .venv/bin/python examples/demo.py --device-only
echo
echo "=== The solver cones_ipm on host arrays (production module) ==="
.venv/bin/python examples/solve_problems.py
echo
echo "=== The solver cones_ipm on device arrays (CUDA host emulation build) ==="
PYTHONPATH="$PWD/build/emu" .venv/bin/python examples/solve_problems.py --where device
