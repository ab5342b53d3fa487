#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite on both builds: the production
# module (host paths, no CUDA device here) and the CUDA host emulation (device paths).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
echo "=== production build ==="
.venv/bin/python -m pytest -q tests "$@"
echo "=== CUDA host emulation build ==="
PYTHONPATH="$PWD/build/emu" .venv/bin/python -m pytest -q tests "$@"
