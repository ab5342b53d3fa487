"""The host loops against the plain NumPy forms a solver would otherwise write, as ratios
reference time / module time (above 1: the module is faster), all measured in this one run.

Every row times its module call and its reference in interleaved rounds (module, reference,
module, ...; the best of each side), so that load from other processes meets both alike. The
main table runs single-threaded (OMP_NUM_THREADS=1, OPENBLAS_NUM_THREADS=1: this script runs
itself again in a child process when started otherwise). Then:

- per-call cost of tiny cones against an empty binding call (a capability function that
  returns a constant), both called from a Python lambda, printed as 3 x empty / call: at
  least 1 when a call costs at most three empty calls;
- two threads against one on the batch of small second-order NT matrices (t1 / t2);
- a busy machine: one process spinning on a core while calls with two threads and with one
  alternate (median per call); t1 / t2 must not fall far below 1: a loop that waits for a
  helper thread on the busy core would cost a scheduler time slice (milliseconds).

    python bench/bench_targets.py [--json FILE] [--rounds R]
    python bench/plot.py FILE          # a PNG of the ratios
"""
import argparse
import json
import multiprocessing
import os
import pathlib
import subprocess
import sys
import time

SINGLE_THREAD = {"OMP_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1"}
HERE = pathlib.Path(__file__).resolve().parent
DEFAULT_JSON = HERE.parent / "build" / "bench" / "targets.json"  # build/ is not tracked


def sample(fn, number):
    start = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - start) / number


def calls_per_sample(fn, seconds=1e-3):
    fn()
    start = time.perf_counter()
    fn()
    once = max(time.perf_counter() - start, 1e-8)
    return max(1, min(200000, int(seconds / once)))


def interleaved(module_fn, reference_fn, rounds):
    """Best seconds per call of each, in `rounds` alternating samples of each."""
    n_mod, n_ref = calls_per_sample(module_fn), calls_per_sample(reference_fn)
    best_mod = best_ref = float("inf")
    for _ in range(rounds):
        best_mod = min(best_mod, sample(module_fn, n_mod))
        best_ref = min(best_ref, sample(reference_fn, n_ref))
    return best_mod, best_ref


# --- the references ---------------------------------------------------------------

def numpy_soc_violation(np, x):
    """Closed form in one pass (the norm of x_bar): the negative parts of the two spectral values."""
    r = np.linalg.norm(x[1:])
    l1, l2 = x[0] + r, x[0] - r
    return np.sqrt((min(l1, 0.0) ** 2 + min(l2, 0.0) ** 2) / 2)


def numpy_soc_nt_batch(np, s, z, n):
    """The same closed form, vectorised over a batch of cones (rows of s and z)."""
    s, z = s.reshape(-1, n), z.reshape(-1, n)
    sign = np.ones(n)
    sign[1:] = -1.0
    js = s * sign
    a = np.sqrt(np.einsum("bi,bi->b", s, js))
    b = np.sqrt(np.einsum("bi,bi->b", z, z * sign))
    gamma = np.sqrt((np.einsum("bi,bi->b", s, z) / (a * b) + 1) / 2)
    jw = (js / a[:, None] + z / b[:, None]) / (2 * gamma[:, None])
    h = 2 * jw[:, :, None] * jw[:, None, :]
    h += np.diag(sign)[None, :, :] * -1.0
    h *= (b / a)[:, None, None]
    return h


def interior(np, rng, n, batch=1):
    x = rng.standard_normal((batch, n))
    x[:, 0] = np.linalg.norm(x[:, 1:], axis=1) + 1.0
    return x.reshape(-1)


# --- the single-threaded table ----------------------------------------------------

def single_threaded_rows(rounds):
    import numpy as np

    import _cpp_cuda as cones
    # The closed forms: projection in two passes (the norm of x_bar, then the scaled copy) and
    # the NT matrix (2 (Jw)(Jw)^T - J) eta^2.
    from bench_second_order import numpy_nt, numpy_project

    rng = np.random.default_rng(17)
    rows = []

    def row(group, label, size, module_fn, reference_fn):
        t_mod, t_ref = interleaved(module_fn, reference_fn, rounds)
        rows.append({"group": group, "label": label, "size": size, "module": t_mod, "reference": t_ref,
                     "ratio": t_ref / t_mod})
        print(f"{label:<52}{size:>10}{t_mod * 1e6:>11.2f}us{t_ref * 1e6:>11.2f}us{t_ref / t_mod:>8.2f}", flush=True)

    print(f"{'operation':<52}{'size':>10}{'module':>13}{'reference':>13}{'ratio':>8}")
    for n in (10**3, 10**4, 10**5, 10**6, 10**7):
        x = rng.standard_normal(n)
        out, ref_out = np.empty(n), np.empty(n)
        zero, nonneg, soc = cones.ZeroConeCpp(n), cones.NonnegativeConeCpp(n), cones.SecondOrderConeCpp(n)
        row("zero violation", "zero violation vs sqrt(x @ x)", n, lambda: zero.violation(x),
            lambda: np.sqrt(x @ x))
        row("nonnegative projection", "nonnegative project_into vs maximum(x, 0, out=)", n,
            lambda: nonneg.project_into(x, out), lambda: np.maximum(x, 0.0, out=ref_out))
        y = x.copy()
        y[0] = 0.3 * np.linalg.norm(y[1:])  # between the cone and its polar: the full formula
        row("second-order projection", "second-order project_into vs two-pass form", n,
            lambda: soc.project_into(y, out), lambda: numpy_project(y, ref_out))
        row("second-order violation", "second-order violation vs one-pass form", n, lambda: soc.violation(y),
            lambda: numpy_soc_violation(np, y))

    for n in (10, 100, 1000):
        cone = cones.SecondOrderConeCpp(n)
        s, z = interior(np, rng, n), interior(np, rng, n)
        out = np.empty(n * n)
        cone.nt_scaling_matrix_into(s, z, out)
        assert np.allclose(out, numpy_nt(s, z).reshape(-1), rtol=1e-10, atol=1e-12)
        row("second-order NT", f"second-order NT into vs closed form, n = {n}", n,
            lambda: cone.nt_scaling_matrix_into(s, z, out), lambda: numpy_nt(s, z))
    batch = 10**4
    cone = cones.SecondOrderConeCpp(3)
    s, z = interior(np, rng, 3, batch), interior(np, rng, 3, batch)
    out = np.empty(9 * batch)
    cone.nt_scaling_matrix_batch_into(s, z, out, batch)
    assert np.allclose(out, numpy_soc_nt_batch(np, s, z, 3).reshape(-1), rtol=1e-10, atol=1e-12)
    row("second-order NT", f"second-order NT batch {batch} x n = 3 vs vectorised form", 3 * batch,
        lambda: cone.nt_scaling_matrix_batch_into(s, z, out, batch), lambda: numpy_soc_nt_batch(np, s, z, 3))

    for n in (10**3, 10**5, 10**6):
        cone = cones.NonnegativeConeCpp(n)
        s, z = rng.uniform(0.5, 2.0, n), rng.uniform(0.5, 2.0, n)
        indptr, indices = np.arange(n + 1, dtype=np.int64), np.arange(n, dtype=np.int64)  # the diagonal
        values, ref_values = np.empty(n), np.empty(n)
        row("nonnegative sparse fill", "nonnegative CSR fill vs divide(z, s, out=values)", n,
            lambda: cone.hmatrix_csr_values_into(s, z, indptr, indices, values),
            lambda: np.divide(z, s, out=ref_values))

    # Tiny cones: the whole call against an empty binding call; the ratio is 3 x empty / call.
    # Both are timed the same way, each call inside a Python lambda.
    empty = lambda: cones.has_host_blas()  # noqa: E731
    x3, out3 = np.array([1.0, -2.0, 0.5]), np.empty(3)
    s3, z3, h3 = np.array([2.0, 0.5, 0.3]), np.array([3.0, -0.2, 1.0]), np.empty(9)
    tiny = [("nonnegative(3) project_into", lambda c=cones.NonnegativeConeCpp(3): c.project_into(x3, out3)),
            ("nonnegative(3) violation", lambda c=cones.NonnegativeConeCpp(3): c.violation(x3)),
            ("zero(3) violation", lambda c=cones.ZeroConeCpp(3): c.violation(x3)),
            ("second-order(3) project_into", lambda c=cones.SecondOrderConeCpp(3): c.project_into(x3, out3)),
            ("second-order(3) violation", lambda c=cones.SecondOrderConeCpp(3): c.violation(x3)),
            ("second-order(3) NT into", lambda c=cones.SecondOrderConeCpp(3): c.nt_scaling_matrix_into(s3, z3, h3))]
    print(f"\n{'tiny call (ratio = 3 x empty call / call)':<52}{'size':>10}{'call':>13}{'empty':>13}{'ratio':>8}")
    for label, fn in tiny:
        t_call, t_empty = interleaved(fn, empty, rounds)
        rows.append({"group": "tiny call", "label": f"{label} vs 3 x empty call", "size": 3, "module": t_call,
                     "reference": 3 * t_empty, "ratio": 3 * t_empty / t_call})
        print(f"{label:<52}{3:>10}{t_call * 1e9:>11.1f}ns{t_empty * 1e9:>11.1f}ns{3 * t_empty / t_call:>8.2f}",
              flush=True)
    return rows


# --- threads ----------------------------------------------------------------------

def thread_calls():
    """label -> call, the same seeded data in every process."""
    import numpy as np

    import _cpp_cuda as cones

    rng = np.random.default_rng(5)
    calls = {}
    for n in (8193, 10**5):
        cone, x, out = cones.NonnegativeConeCpp(n), rng.standard_normal(n), np.empty(n)
        calls[f"nonnegative project_into|{n}"] = lambda cone=cone, x=x, out=out: cone.project_into(x, out)
    n = 10**5
    cone, x = cones.ZeroConeCpp(n), rng.standard_normal(n)
    calls[f"zero violation|{n}"] = lambda cone=cone, x=x: cone.violation(x)
    batch = 10**4
    cone = cones.SecondOrderConeCpp(3)
    s, z, out = interior(np, rng, 3, batch), interior(np, rng, 3, batch), np.empty(9 * batch)
    calls[f"second-order NT batch x n = 3|{3 * batch}"] = (
        lambda cone=cone, s=s, z=z, out=out: cone.nt_scaling_matrix_batch_into(s, z, out, batch))
    return calls


def thread_worker(mode, seconds):
    """Prints JSON label -> seconds: 'best' (best of samples) or 'median' (median of single calls)."""
    out = {}
    for label, fn in thread_calls().items():
        fn()
        if mode == "best":
            number = calls_per_sample(fn, 5e-4)
            best, stop = float("inf"), time.perf_counter() + seconds
            while time.perf_counter() < stop:
                best = min(best, sample(fn, number))
            out[label] = best
        else:
            times, stop = [], time.perf_counter() + seconds
            while time.perf_counter() < stop:
                start = time.perf_counter()
                fn()
                times.append(time.perf_counter() - start)
            times.sort()
            out[label] = times[len(times) // 2]
            out[label + "|p99"] = times[int(len(times) * 0.99)]
    print(json.dumps(out))


def run_threads(threads, mode, seconds):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1")
    text = subprocess.run([sys.executable, __file__, "--thread-worker", mode, str(seconds)], env=env, check=True,
                          capture_output=True, text=True).stdout
    return json.loads(text)


def alternate(mode, seconds, rounds):
    best = {1: {}, 2: {}}
    for _ in range(rounds):
        for threads in (1, 2):
            for key, t in run_threads(threads, mode, seconds).items():
                best[threads][key] = min(t, best[threads].get(key, t))
    return best


def spin(stop):
    x = 0
    while not stop.is_set():
        x += 1


def thread_rows(rounds):
    rows = []
    print(f"\n{'two threads against one (ratio t1 / t2)':<52}{'size':>10}{'1 thread':>13}{'2 threads':>13}{'ratio':>8}")
    quiet = alternate("best", 0.3, rounds)
    for key in quiet[1]:
        label, size = key.split("|")
        if "batch" not in label:
            continue
        t1, t2 = quiet[1][key], quiet[2][key]
        rows.append({"group": "two threads", "label": f"{label}, 2 threads vs 1", "size": int(size), "module": t2,
                     "reference": t1, "ratio": t1 / t2})
        print(f"{label:<52}{size:>10}{t1 * 1e6:>11.2f}us{t2 * 1e6:>11.2f}us{t1 / t2:>8.2f}")

    stop = multiprocessing.Event()
    spinner = multiprocessing.Process(target=spin, args=(stop,))
    spinner.start()
    try:
        busy = alternate("median", 0.5, rounds)
    finally:
        stop.set()
        spinner.join()
    print(f"\n{'one core busy: median per call (ratio t1 / t2)':<52}{'size':>10}{'1 thread':>13}{'2 threads':>13}"
          f"{'ratio':>8}{'p99 1 / 2 (us)':>20}")
    for key in busy[1]:
        if key.endswith("|p99"):
            continue
        label, size = key.split("|")
        t1, t2 = busy[1][key], busy[2][key]
        p1, p2 = busy[1][key + "|p99"], busy[2][key + "|p99"]
        rows.append({"group": "busy core", "label": f"{label}, busy core, 2 threads vs 1", "size": int(size),
                     "module": t2, "reference": t1, "ratio": t1 / t2})
        print(f"{label:<52}{size:>10}{t1 * 1e6:>11.2f}us{t2 * 1e6:>11.2f}us{t1 / t2:>8.2f}"
              f"{p1 * 1e6:>10.1f}/{p2 * 1e6:<9.1f}")
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", type=pathlib.Path, default=DEFAULT_JSON, help="where the rows are written")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--single", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--thread-worker", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.thread_worker:
        thread_worker(args.thread_worker[0], float(args.thread_worker[1]))
        return
    if args.single:
        print(json.dumps(single_threaded_rows(args.rounds)), file=sys.stderr)
        return
    # The single-threaded table in a child process with the settings made before any import.
    env = dict(os.environ, **SINGLE_THREAD)
    child = subprocess.run([sys.executable, __file__, "--single", "--rounds", str(args.rounds)], env=env,
                           check=True, stderr=subprocess.PIPE, text=True)
    rows = json.loads(child.stderr.strip().splitlines()[-1])
    rows += thread_rows(max(2, args.rounds // 2))
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(rows, indent=1))
    print(f"\nrows written to {args.json}")


if __name__ == "__main__":
    main()
