#!/usr/bin/env bash
# Sets everything up, then runs the demo: every operation on sample data with timings
# against NumPy references, on host arrays and on (emulated) device arrays; then the
# interior-point solver built on the module on the shipped problems, next to CVXOPT
# and Clarabel, on host arrays and on emulated device arrays.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/demo.py
PYTHONPATH="$PWD/build/emu" .venv/bin/python examples/demo.py --device-only
.venv/bin/python examples/solve_problems.py
PYTHONPATH="$PWD/build/emu" .venv/bin/python examples/solve_problems.py --where device
