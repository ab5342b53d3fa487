"""Runs every benchmark script of this folder in turn."""
import pathlib
import runpy
import sys

here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here))
for script in sorted(here.glob("bench_*.py")):
    print(f"\n##### {script.name}")
    runpy.run_path(str(script), run_name="__main__")
