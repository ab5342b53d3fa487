#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite on four builds: the production
# module (host paths, no CUDA device here), the CUDA host emulation instrumented with
# AddressSanitizer + UBSan, the CUDA host emulation (device paths), and the CUDA host
# emulation without host LAPACK last.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
echo "=== production build ==="
.venv/bin/python -m pytest -q tests "$@"
echo "=== CUDA host emulation build, AddressSanitizer + UndefinedBehaviorSanitizer ==="
bash scripts/sanitized.sh .venv/bin/python -m pytest -q tests "$@"
echo "=== CUDA host emulation build ==="
PYTHONPATH="$PWD/build/emu" .venv/bin/python -m pytest -q tests "$@"
echo "=== CUDA host emulation build without host LAPACK ==="
PYTHONPATH="$PWD/build/nolapack" .venv/bin/python -m pytest -q tests "$@"
