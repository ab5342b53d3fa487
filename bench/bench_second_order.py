"""Second-order cone on host arrays against NumPy: projection and violation (10^3 to 10^6
entries) and the dense NT scaling matrix (n = 10 to 2000), whose cost must grow as n^2; and
the NT matrix against the module of the baseline commit (built once into build/baseline),
both timed in fresh subprocesses of this script."""
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import numpy as np

import _cpp_cuda as cones
from common import best_time, report

BASELINE_COMMIT = "1449b00"  # the NT matrix from spectral powers and quadratic representations
REPO = pathlib.Path(__file__).resolve().parents[1]
BASELINE_BUILD = REPO / "build" / "baseline"
VERSUS_BASELINE_SIZES = (3, 10, 100, 1000)
BATCH = 10_000


def numpy_project(x, out):
    t, r = x[0], np.linalg.norm(x[1:])
    if r <= t:
        out[:] = x
    elif r <= -t:
        out[:] = 0.0
    else:
        a = (t + r) * 0.5
        out[0] = a
        np.multiply(x[1:], a / r, out=out[1:])


def numpy_violation(x):
    r = np.linalg.norm(x[1:])
    l1, l2 = x[0] + r, x[0] - r
    return np.sqrt((min(l1, 0.0) ** 2 + min(l2, 0.0) ** 2) / 2)


def numpy_nt(s, z):
    """Closed form (2 (Jw)(Jw)^T - J) / eta^2 of the NT scaling point w: O(n^2)."""
    js = s.copy()
    js[1:] *= -1
    jz = z.copy()
    jz[1:] *= -1
    a = np.sqrt(s @ js)
    b = np.sqrt(z @ jz)
    gamma = np.sqrt((s @ z / (a * b) + 1) / 2)
    jw = (js / a + z / b) / (2 * gamma)
    h = np.outer(jw, jw)
    h *= 2
    h[0, 0] -= 1
    h.flat[np.arange(1, len(s)) * (len(s) + 1)] += 1
    return h * (b / a)


def interior(rng, n):
    x = rng.standard_normal(n)
    x[0] = np.linalg.norm(x[1:]) + 1.0
    return x


def main():
    rng = np.random.default_rng(1)
    rows = []
    for n in (10**3, 10**4, 10**5, 10**6):
        cone = cones.SecondOrderConeCpp(n)
        x = rng.standard_normal(n)
        x[0] = 0.3 * np.linalg.norm(x[1:])  # between the cone and its polar: the full formula
        out = np.empty(n)
        np_out = np.empty(n)
        rows.append(("project_into vs NumPy closed form", n, best_time(lambda: cone.project_into(x, out)),
                     best_time(lambda: numpy_project(x, np_out))))
        t_violation = best_time(lambda: cone.violation(x))
        rows.append(("violation vs NumPy spectral", n, t_violation, best_time(lambda: numpy_violation(x))))
        rows.append(("violation vs NumPy norm(x - P(x))", n, t_violation,
                     best_time(lambda: (numpy_project(x, np_out), np.linalg.norm(x - np_out)))))
    report(rows, "second-order cone projection and violation, host arrays")

    rows = []
    per_entry = []
    for n in (10, 30, 100, 300, 1000, 2000):
        cone = cones.SecondOrderConeCpp(n)
        s, z = interior(rng, n), interior(rng, n)
        out = np.empty(n * n)
        t_mod = best_time(lambda: cone.nt_scaling_matrix_into(s, z, out), repeat=5)
        rows.append(("NT into vs NumPy closed form", n, t_mod, best_time(lambda: numpy_nt(s, z), repeat=5)))
        per_entry.append((n, t_mod / (n * n)))
    report(rows, "second-order cone NT scaling matrix, host arrays")
    print("\nmodule time per matrix entry (constant for O(n^2), growing as n for O(n^3)):")
    for n, t in per_entry:
        print(f"  n = {n:>5}: {t * 1e9:8.2f} ns per entry")

    # Three alternating rounds, the best of each: load from other processes hits both sides alike.
    new_dir, old_dir = pathlib.Path(cones.__file__).resolve().parent, baseline_module_dir()
    new, old = {}, {}
    for _ in range(3):
        for times, module_dir in ((new, new_dir), (old, old_dir)):
            for label, t in times_in_subprocess(module_dir).items():
                times[label] = min(t, times.get(label, t))
    print(f"\n== NT scaling matrix, this module against commit {BASELINE_COMMIT} (host arrays) ==")
    print("new/old = this module's time / the baseline's: below 1 this module is faster, above 1 slower")
    print(f"{'operation':<34}{'new':>12}{'old':>12}{'new/old':>10}")
    for label in new:
        print(f"{label:<34}{new[label] * 1e6:>10.2f}us{old[label] * 1e6:>10.2f}us{new[label] / old[label]:>10.2f}")


def nt_times():
    """Seconds per call: nt_scaling_matrix_into for single cones of VERSUS_BASELINE_SIZES, and
    nt_scaling_matrix_batch_into for BATCH cones of dimension 3 (same seeded data every run)."""
    rng = np.random.default_rng(7)
    times = {}
    for n in VERSUS_BASELINE_SIZES:
        cone = cones.SecondOrderConeCpp(n)
        s, z = interior(rng, n), interior(rng, n)
        out = np.empty(n * n)
        times[f"NT into, n = {n}"] = best_time(lambda: cone.nt_scaling_matrix_into(s, z, out))
    cone = cones.SecondOrderConeCpp(3)
    s = np.concatenate([interior(rng, 3) for _ in range(BATCH)])
    z = np.concatenate([interior(rng, 3) for _ in range(BATCH)])
    out = np.empty(9 * BATCH)
    times[f"NT batch into, {BATCH} x n = 3"] = best_time(lambda: cone.nt_scaling_matrix_batch_into(s, z, out, BATCH))
    return times


def times_in_subprocess(module_dir):
    """nt_times() of the module in `module_dir`, measured by a fresh interpreter."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(module_dir), str(pathlib.Path(__file__).parent)]))
    run = subprocess.run([sys.executable, __file__, "--nt-times"], env=env, capture_output=True, text=True, check=True)
    return json.loads(run.stdout)


def baseline_module_dir():
    """Build directory of the module at BASELINE_COMMIT: its sources exported with git archive
    into a temporary directory, a production build (an emulation build when the CUDA compiler
    is missing; the host code is the same) into build/baseline, made once and then reused."""
    if list(BASELINE_BUILD.glob("_cpp_cuda*.so")):
        return BASELINE_BUILD
    print(f"\n(building commit {BASELINE_COMMIT} into {BASELINE_BUILD} once; this takes a few minutes)")
    nanobind_dir = subprocess.run([sys.executable, "-m", "nanobind", "--cmake_dir"], capture_output=True, text=True,
                                  check=True).stdout.strip()
    with tempfile.TemporaryDirectory() as src:
        archive = subprocess.run(["git", "-C", str(REPO), "archive", BASELINE_COMMIT], capture_output=True,
                                 check=True).stdout
        subprocess.run(["tar", "-x", "-C", src], input=archive, check=True)
        for extra in ([], ["-DVELKORA_CUDA_EMULATION=ON"]):
            configure = subprocess.run(["cmake", "-S", src, "-B", str(BASELINE_BUILD), "-DCMAKE_BUILD_TYPE=Release",
                                        f"-DPython_EXECUTABLE={sys.executable}", f"-Dnanobind_DIR={nanobind_dir}",
                                        *extra], capture_output=True, text=True)
            if configure.returncode == 0:
                break
            shutil.rmtree(BASELINE_BUILD, ignore_errors=True)
        else:
            raise RuntimeError(f"cannot configure the baseline build:\n{configure.stderr}")
        subprocess.run(["cmake", "--build", str(BASELINE_BUILD), "-j2"], capture_output=True, check=True)
    return BASELINE_BUILD


if __name__ == "__main__":
    if sys.argv[1:] == ["--nt-times"]:
        print(json.dumps(nt_times()))
    else:
        main()
