"""PSD cone on host arrays, single-threaded on both sides (OpenMP and OpenBLAS limited to one
thread before anything is imported; run in a child process with that setting if NumPy was
imported already), matrix orders 2 to 100:
- projection against NumPy (numpy.linalg.eigh, clipped, V diag(lambda+) V^T);
- violation against NumPy (numpy.linalg.eigvalsh, norm of the negative eigenvalues);
- the NT scaling point W alone (the module's one-entry sparse fill, which computes W and
  reads one entry of H) against NumPy (W = S^-1/2 (S^1/2 Z S^1/2)^1/2 S^-1/2 by two eigh)
  and against CVXOPT's compute_scaling on the same pair;
- the NT scaling operator H (m x m, m = n(n+1)/2: nt_scaling_matrix_into) against NumPy's W
  expanded into the same operator by one vectorised gather;
and the NT routine against the module built from an earlier commit (default 1449b00, the
eigen-decomposition of S^1/2 Z S^1/2), timed in subprocesses.

The earlier module is built once into build/baseline (git archive of the commit, CMake
production build) and reused while its stamp names the same commit."""
import os
import sys

# Thread pools are sized when NumPy, CVXOPT and the module are imported: the setting comes
# first, and a process that imported NumPy already with another one (bench/run_all.py)
# runs this script again in a child process (end of the file).
SINGLE_THREAD = {"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}
SINGLE_THREADED = "numpy" not in sys.modules or all(os.environ.get(k) == v for k, v in SINGLE_THREAD.items())
os.environ.update(SINGLE_THREAD)

import argparse  # noqa: E402
import glob  # noqa: E402
import io  # noqa: E402
import json  # noqa: E402
import pathlib  # noqa: E402
import subprocess  # noqa: E402
import tarfile  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

from common import best_time, report  # noqa: E402

SQ2 = 1.4142135623730951
ORDERS = (2, 3, 5, 8, 10, 12, 16, 20, 32, 50, 64, 100)
BASELINE_ORDERS = (2, 3, 5, 10, 20, 32)
BASELINE_COMMIT = "1449b00"
ROOT = pathlib.Path(__file__).resolve().parent.parent


class SvecIndex:
    """Precomputed index arrays of the svec order (lower triangle row by row), and those of
    the svec operator of X -> W X W: H[(a, b), (c, d)] = (W_ac W_bd + W_ad W_bc) f_ab f_cd / 2
    with f = 1 on the diagonal and sqrt(2) off it."""

    def __init__(self, n):
        self.n = n
        self.i, self.j = np.tril_indices(n)
        self.scale = np.where(self.i == self.j, 1.0, SQ2)
        self.ac = np.ix_(self.i, self.i)
        self.bd = np.ix_(self.j, self.j)
        self.ad = np.ix_(self.i, self.j)
        self.bc = np.ix_(self.j, self.i)
        self.half_outer = None

    def svec(self, M):
        return M[self.i, self.j] * self.scale

    def smat(self, v):
        M = np.empty((self.n, self.n))
        e = v / self.scale
        M[self.i, self.j] = e
        M[self.j, self.i] = e
        return M

    def operator(self, W):
        if self.half_outer is None:
            self.half_outer = np.outer(self.scale, self.scale) * 0.5
        return (W[self.ac] * W[self.bd] + W[self.ad] * W[self.bc]) * self.half_outer


def numpy_project(idx, v):
    lam, Q = np.linalg.eigh(idx.smat(v))
    return idx.svec((Q * np.maximum(lam, 0.0)) @ Q.T)


def numpy_violation(idx, v):
    lam = np.linalg.eigvalsh(idx.smat(v))
    return np.sqrt(np.sum(np.square(lam[lam < 0.0])))


def numpy_w(idx, s, z):
    """W = S^-1/2 (S^1/2 Z S^1/2)^1/2 S^-1/2 by two eigh calls."""
    lam, Q = np.linalg.eigh(idx.smat(s))
    r = np.sqrt(lam)
    Sh = (Q * r) @ Q.T
    Si = (Q / r) @ Q.T
    mu, P = np.linalg.eigh(Sh @ idx.smat(z) @ Sh)
    return Si @ ((P * np.sqrt(mu)) @ P.T) @ Si


def numpy_nt(idx, s, z):
    """The svec operator of X -> W X W for numpy_w's W."""
    return idx.operator(numpy_w(idx, s, z))


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
    print("new/old = this module's time / the baseline's: below 1 this module is faster, above 1 slower")
    print(f"{'routine':<40}{'order':>6}{'new':>12}{'old':>12}{'new/old':>10}")
    for k, label in enumerate(("H, batch (per item)", "W alone (one-entry sparse fill)")):
        for n in BASELINE_ORDERS:
            t_new, t_old = new[n][k], old[n][k]
            print(f"{label:<40}{n:>6}{t_new * 1e6:>10.2f}us{t_old * 1e6:>10.2f}us{t_new / t_old:>10.2f}")


def paired_time(module_fn, reference_fn, budget=0.4):
    """Per-call seconds of both functions: the best of many short samples (blocks of about
    0.2 ms of calls), the samples of the two alternating, so that the load of a shared
    machine, which comes in bursts, meets both alike and the best samples are unloaded."""
    fns = (module_fn, reference_fn)
    once = []
    for fn in fns:
        start = time.perf_counter()
        fn()
        once.append(max(time.perf_counter() - start, 1e-7))
    number = [max(1, int(2e-4 / t)) for t in once]
    samples = max(15, min(2000, int(budget / (sum(once) + 4e-4))))
    best = [float("inf"), float("inf")]
    for _ in range(samples):
        for k, fn in enumerate(fns):
            start = time.perf_counter()
            for _ in range(number[k]):
                fn()
            best[k] = min(best[k], (time.perf_counter() - start) / number[k])
    return best


def one_entry_csr(m):
    """A CSR structure over the cone's m rows storing the single entry (0, 0): the sparse
    fill then computes the scaling point W and reads one entry of H from it."""
    return np.concatenate([[0], np.ones(m, dtype=np.int64)]).astype(np.int64), np.zeros(1, dtype=np.int64)


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
    try:
        from cvxopt import matrix, misc
    except ImportError:
        matrix = misc = None

    print(f"module {cones.__file__}: host BLAS {cones.has_host_blas()} ({cones.host_blas_backend()}); "
          f"single-threaded ({', '.join(f'{k}={v}' for k, v in SINGLE_THREAD.items())})")
    rng = np.random.default_rng(1)
    proj_rows, viol_rows, w_rows, h_rows = [], [], [], []
    for n in ORDERS:
        cone = cones.PsdConeCpp(n)
        m = cone.rows
        idx = SvecIndex(n)
        A = rng.standard_normal((n, n))
        x = idx.svec(A + A.T)
        out = np.empty(m)
        cone.project_into(x, out)
        assert np.allclose(out, numpy_project(idx, x), atol=1e-9 * (1 + np.abs(x).max()))
        assert np.isclose(cone.violation(x), numpy_violation(idx, x), rtol=1e-9)
        proj_rows.append(("project_into vs eigh", n, *paired_time(lambda: cone.project_into(x, out),
                                                                   lambda: numpy_project(idx, x))))
        viol_rows.append(("violation vs eigvalsh", n, *paired_time(lambda: cone.violation(x),
                                                                    lambda: numpy_violation(idx, x))))

        s, z = spd_svec(idx, rng), spd_svec(idx, rng)
        indptr, indices = one_entry_csr(m)
        values = np.empty(1)
        W = numpy_w(idx, s, z)
        cone.hmatrix_csr_values_into(s, z, indptr, indices, values)
        assert np.isclose(values[0], W[0, 0] ** 2, rtol=1e-9)
        w_rows.append(("W vs eigh (W alone)", n, *paired_time(
            lambda: cone.hmatrix_csr_values_into(s, z, indptr, indices, values), lambda: numpy_w(idx, s, z))))
        if misc is not None:
            S, Z = (matrix(idx.smat(v).ravel(), (n * n, 1)) for v in (s, z))
            lam = matrix(0.0, (n, 1))
            dims = {"l": 0, "q": [], "s": [n]}
            w_rows.append(("W vs CVXOPT compute_scaling", n, *paired_time(
                lambda: cone.hmatrix_csr_values_into(s, z, indptr, indices, values),
                lambda: misc.compute_scaling(S, Z, lam, dims))))

        H = np.empty(m * m)
        cone.nt_scaling_matrix_into(s, z, H)
        ref = numpy_nt(idx, s, z)
        assert np.allclose(H.reshape(ref.shape), ref, atol=1e-9 * np.abs(ref).max())
        del ref
        h_rows.append(("H vs eigh W + gather", n, *paired_time(lambda: cone.nt_scaling_matrix_into(s, z, H),
                                                               lambda: numpy_nt(idx, s, z), 2.0 if n >= 50 else 0.4)))
    report(proj_rows, "PSD projection, one svec vector, host arrays")
    report(viol_rows, "PSD violation, one svec vector, host arrays")
    report(w_rows, "PSD NT scaling point W, one pair, host arrays")
    report(h_rows, "PSD NT scaling operator H (m x m), one pair, host arrays")
    if not args.no_baseline:
        compare_with_baseline(pathlib.Path(cones.__file__).resolve().parent, args.baseline)


if __name__ == "__main__":
    args = sys.argv[1:] if pathlib.Path(sys.argv[0]).name == "bench_psd.py" else []
    if SINGLE_THREADED:
        main(args)
    else:
        subprocess.run([sys.executable, __file__, *args], check=True)
