#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite on three builds: the production
# module (host paths, no CUDA device here), the CUDA host emulation instrumented with
# AddressSanitizer + UBSan, and the CUDA host emulation (device paths) last.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
echo "=== production build ==="
.venv/bin/python -m pytest -q tests "$@"
echo "=== CUDA host emulation build, AddressSanitizer + UndefinedBehaviorSanitizer ==="
bash scripts/sanitized.sh .venv/bin/python -m pytest -q tests "$@"
echo "=== CUDA host emulation build ==="
PYTHONPATH="$PWD/build/emu" .venv/bin/python -m pytest -q tests "$@"
