"""PSD cone on host arrays: the projection of one svec vector and the dense NT scaling
operator H of one pair against NumPy references built on numpy.linalg.eigh (matrix orders
2 to 100); the NT scaling routine against the module built from an earlier commit
(default 1449b00, the eigen-decomposition of S^1/2 Z S^1/2), timed in subprocesses, and its
scaling point against CVXOPT's compute_scaling.

The earlier module is built once into build/baseline (git archive of the commit, CMake
production build) and reused while its stamp names the same commit."""
import argparse
import glob
import io
import json
import os
import pathlib
import subprocess
import sys
import tarfile

import numpy as np

from common import best_time, report

SQ2 = 1.4142135623730951
ORDERS = (2, 3, 5, 10, 20, 32, 64, 100)
BASELINE_ORDERS = (2, 3, 5, 10, 20, 32)
BASELINE_COMMIT = "1449b00"
ROOT = pathlib.Path(__file__).resolve().parent.parent


class SvecIndex:
    """Precomputed index arrays of the svec order (lower triangle row by row)."""

    def __init__(self, n):
        rows, cols = [], []
        for i in range(n):
            for j in range(i + 1):
                rows.append(i)
                cols.append(j)
        self.n = n
        self.i = np.array(rows)
        self.j = np.array(cols)
        self.scale = np.where(self.i == self.j, 1.0, SQ2)

    def svec(self, M):
        return M[self.i, self.j] * self.scale

    def smat(self, v):
        M = np.empty((self.n, self.n))
        e = v / self.scale
        M[self.i, self.j] = e
        M[self.j, self.i] = e
        return M


def numpy_project(idx, v):
    lam, Q = np.linalg.eigh(idx.smat(v))
    return idx.svec((Q * np.maximum(lam, 0.0)) @ Q.T)


def numpy_nt(idx, s, z):
    """W = S^-1/2 (S^1/2 Z S^1/2)^1/2 S^-1/2 by two eigh calls, then the svec operator of
    X -> W X W in one vectorised pass."""
    lam, Q = np.linalg.eigh(idx.smat(s))
    r = np.sqrt(lam)
    Sh = (Q * r) @ Q.T
    Si = (Q / r) @ Q.T
    mu, P = np.linalg.eigh(Sh @ idx.smat(z) @ Sh)
    W = Si @ ((P * np.sqrt(mu)) @ P.T) @ Si
    a, b, c, d = idx.i[:, None], idx.j[:, None], idx.i[None, :], idx.j[None, :]
    t1 = W[a, c] * W[b, d]
    x = np.where(c == d, t1, (t1 + W[a, d] * W[b, c]) / SQ2)
    return x * np.where(a == b, 1.0, SQ2)


def spd_svec(idx, rng):
    A = rng.standard_normal((idx.n, idx.n))
    return idx.svec(A @ A.T / idx.n + np.eye(idx.n))


def nt_pairs(n, count, seed=7):
    idx = SvecIndex(n)
    rng = np.random.default_rng(seed + n)
    s = np.concatenate([spd_svec(idx, rng) for _ in range(count)])
    z = np.concatenate([spd_svec(idx, rng) for _ in range(count)])
    return s, z


def batch_size(n):
    return max(4, 20000 // n ** 3)


def time_nt_worker():
    """Runs in a subprocess with one module on its path: per-pair seconds of the NT
    routine, as {order: [H of a batch, per item; W alone, through a one-entry sparse fill]}."""
    import _cpp_cuda
    out = {}
    for n in BASELINE_ORDERS:
        cone = _cpp_cuda.PsdConeCpp(n)
        m = cone.rows
        batch = batch_size(n)
        s, z = nt_pairs(n, batch)
        H = np.empty(batch * m * m)
        t_h = best_time(lambda: cone.nt_scaling_matrix_batch_into(s, z, H, batch), 7, 0.05) / batch
        indptr = np.concatenate([[0], np.ones(m, dtype=np.int64)]).astype(np.int64)
        indices = np.zeros(1, dtype=np.int64)
        values = np.empty(1)
        s1, z1 = s[:m].copy(), z[:m].copy()
        t_w = best_time(lambda: cone.hmatrix_csr_values_into(s1, z1, indptr, indices, values), 7, 0.05)
        out[n] = [t_h, t_w]
    print(json.dumps(out))


def build_baseline(commit):
    """The module of `commit`, built once into build/baseline (production build)."""
    base = ROOT / "build" / "baseline"
    stamp = base / "COMMIT"
    full = subprocess.run(["git", "-C", str(ROOT), "rev-parse", commit], check=True, capture_output=True,
                          text=True).stdout.strip()
    found = glob.glob(str(base / "build" / "_cpp_cuda*.so"))
    if found and stamp.exists() and stamp.read_text().strip() == full:
        return base / "build"
    print(f"building the baseline module of {commit} into {base} (once)", flush=True)
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", "--format=tar", full], check=True,
                             capture_output=True).stdout
    src = base / "src"
    if src.exists():
        subprocess.run(["rm", "-rf", str(src)], check=True)
    src.mkdir(parents=True)
    with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
        tar.extractall(src, filter="data")
    nb = subprocess.run([sys.executable, "-m", "nanobind", "--cmake_dir"], check=True, capture_output=True,
                        text=True).stdout.strip()
    subprocess.run(["cmake", "-S", str(src), "-B", str(base / "build"), "-DCMAKE_BUILD_TYPE=Release",
                    f"-DPython_EXECUTABLE={sys.executable}", f"-Dnanobind_DIR={nb}"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(base / "build"), "-j2"], check=True, stdout=subprocess.DEVNULL)
    stamp.write_text(full + "\n")
    return base / "build"


def run_worker(module_dir):
    env = dict(os.environ, PYTHONPATH=str(module_dir))
    text = subprocess.run([sys.executable, __file__, "--time-nt-worker"], check=True, capture_output=True,
                          text=True, env=env, cwd=str(pathlib.Path(__file__).parent)).stdout
    return {int(k): v for k, v in json.loads(text).items()}


def compare_with_baseline(current_dir, commit):
    baseline_dir = build_baseline(commit)
    new, old = {}, {}
    for _ in range(2):  # alternate, keep the best of each
        for times, where in ((new, current_dir), (old, baseline_dir)):
            for n, t in run_worker(where).items():
                times[n] = [min(a, b) for a, b in zip(times.get(n, t), t)]
    print(f"\n== PSD NT scaling: this module against the module of {commit} (subprocesses) ==")
    print(f"{'routine':<40}{'order':>6}{'new':>12}{'old':>12}{'new/old':>10}")
    for k, label in enumerate(("H, batch (per item)", "W alone (one-entry sparse fill)")):
        for n in BASELINE_ORDERS:
            t_new, t_old = new[n][k], old[n][k]
            print(f"{label:<40}{n:>6}{t_new * 1e6:>10.2f}us{t_old * 1e6:>10.2f}us{t_new / t_old:>10.2f}")


def cvxopt_rows(cones):
    """The scaling point alone (one-entry sparse fill) against cvxopt.misc.compute_scaling
    on the same pair."""
    try:
        from cvxopt import matrix, misc
    except ImportError:
        return []
    rows = []
    for n in BASELINE_ORDERS:
        cone = cones.PsdConeCpp(n)
        m = cone.rows
        idx = SvecIndex(n)
        s, z = nt_pairs(n, 1)
        S, Z = (matrix(idx.smat(v).ravel(), (n * n, 1)) for v in (s, z))
        lam = matrix(0.0, (n, 1))
        dims = {"l": 0, "q": [], "s": [n]}
        indptr = np.concatenate([[0], np.ones(m, dtype=np.int64)]).astype(np.int64)
        indices = np.zeros(1, dtype=np.int64)
        values = np.empty(1)
        rows.append(("W vs CVXOPT compute_scaling", n,
                     best_time(lambda: cone.hmatrix_csr_values_into(s, z, indptr, indices, values), 7, 0.02),
                     best_time(lambda: misc.compute_scaling(S, Z, lam, dims), 7, 0.02)))
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--baseline", default=BASELINE_COMMIT, help="commit of the module to compare with")
    parser.add_argument("--no-baseline", action="store_true", help="skip the comparison with an earlier module")
    parser.add_argument("--time-nt-worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.time_nt_worker:
        time_nt_worker()
        return
    import _cpp_cuda as cones

    rng = np.random.default_rng(1)
    proj_rows, nt_rows = [], []
    for n in ORDERS:
        cone = cones.PsdConeCpp(n)
        idx = SvecIndex(n)
        A = rng.standard_normal((n, n))
        x = idx.svec(A + A.T)
        out = np.empty(cone.rows)
        cone.project_into(x, out)
        assert np.allclose(out, numpy_project(idx, x), atol=1e-9 * (1 + np.abs(x).max()))
        repeat = 7 if n < 64 else 3
        proj_rows.append(("project_into vs eigh", n, best_time(lambda: cone.project_into(x, out), repeat),
                          best_time(lambda: numpy_project(idx, x), repeat)))

        s, z = spd_svec(idx, rng), spd_svec(idx, rng)
        H = np.empty(cone.rows * cone.rows)
        cone.nt_scaling_matrix_into(s, z, H)
        ref = numpy_nt(idx, s, z)
        assert np.allclose(H.reshape(ref.shape), ref, atol=1e-9 * np.abs(ref).max())
        nt_rows.append(("nt_scaling_matrix_into vs eigh", n,
                        best_time(lambda: cone.nt_scaling_matrix_into(s, z, H), repeat, 0.01),
                        best_time(lambda: numpy_nt(idx, s, z), repeat, 0.01)))
    report(proj_rows, "PSD projection, one svec vector, host arrays")
    report(nt_rows, "PSD NT scaling operator H, one pair, host arrays")
    cvx = cvxopt_rows(cones)
    if cvx:
        report(cvx, "PSD NT scaling point W, one pair, host arrays")
    if not args.no_baseline:
        compare_with_baseline(pathlib.Path(cones.__file__).resolve().parent, args.baseline)


if __name__ == "__main__":
    main(sys.argv[1:] if pathlib.Path(sys.argv[0]).name == "bench_psd.py" else [])
