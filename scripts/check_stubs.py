"""Checks the type stubs of _cpp_cuda and _ipm_cones (beside each module, and in an install
also the stub-only packages <module>-stubs) against the modules the running Python
imports: mypy.stubtest (names, classes, properties, module contents), and a stub
regenerated from the module compared line by line with the installed ones (every
signature and docstring). Exit status 1 on any difference."""
import difflib
import importlib
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MODULES = ["_cpp_cuda", "_ipm_cones"]


def main():
    failed = False
    with tempfile.TemporaryDirectory() as tmp:
        for name in MODULES:
            module_dir = Path(importlib.import_module(name).__file__).parent
            fresh = Path(tmp) / f"{name}.regenerated"
            subprocess.run([sys.executable, str(ROOT / "scripts" / "make_stub.py"), name, str(module_dir), str(fresh)],
                           check=True)
            # Beside the module (build trees and installs); an install also has <name>-stubs.
            places = [module_dir / f"{name}.pyi"]
            if (module_dir / f"{name}-stubs").is_dir() or not (module_dir / "CMakeCache.txt").is_file():
                places.append(module_dir / f"{name}-stubs" / "__init__.pyi")
            for installed in places:
                if not installed.is_file():
                    print(f"{name}: no stub {installed}")
                    failed = True
                    continue
                diff = list(difflib.unified_diff(installed.read_text().splitlines(), fresh.read_text().splitlines(),
                                                 str(installed), "regenerated from the module", lineterm=""))
                if diff:
                    print("\n".join(diff))
                    failed = True
            shutil.copy(places[0], Path(tmp) / f"{name}.pyi")
        if failed:
            return 1
        env = dict(os.environ, MYPYPATH=tmp)
        result = subprocess.run([sys.executable, "-m", "mypy.stubtest", *MODULES, "--ignore-disjoint-bases",
                                 "--allowlist", str(ROOT / "extensions" / "stubtest-allowlist.txt")],
                                env=env, cwd=tmp)
        if result.returncode != 0:
            return 1
    print(f"stubs of {', '.join(MODULES)} match the modules")
    return 0


if __name__ == "__main__":
    sys.exit(main())
