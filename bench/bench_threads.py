"""Where the host loops should go parallel, and what a busy machine does to them.

Thresholds: every parallel loop of the module, timed at sizes around its threshold with one
thread and with two (OMP_NUM_THREADS=1 and 2, each in its own child process; the children
alternate, and each keeps the best of many short samples, so that the load of other
processes meets both alike). A loop pays from the size where the two-thread time drops
below the one-thread time; the thresholds in host/*.cpp come from these rows.

Stalls (--stall): the same calls with two threads and with one while background processes
keep every core busy; per-call percentiles of each. With a fork-join team a late worker
holds the caller at the join for a scheduler time slice; the module's loops must not take
more than twice their one-thread time.

    python bench/bench_threads.py            # threshold table
    python bench/bench_threads.py --stall    # stall table (starts its own background load)
"""
import argparse
import json
import multiprocessing
import os
import pathlib
import subprocess
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
SIZES = [2**k for k in range(12, 23, 2)]


def soc_interior(rng, n, batch=1):
    x = rng.standard_normal((batch, n))
    x[:, 0] = np.linalg.norm(x[:, 1:], axis=1) + 1.0
    return x.reshape(-1)


def exp_points(rng, count):
    x = rng.uniform(-2.0, 1.0, count)
    y = rng.uniform(0.5, 2.0, count)
    return np.stack([x, y, y * np.exp(x / y) + 0.5], axis=1).reshape(-1)


def operations():
    """(label, entries -> callable) of every parallel loop."""
    import _cpp_cuda as cones
    import _ipm_cones as ipm
    rng = np.random.default_rng(11)

    def vec(n):
        return rng.standard_normal(n)

    def project(cone):
        def make(n):
            c, x, out = cone(n), vec(n), np.ones(n)
            return lambda: c.project_into(x, out)
        return make

    def violation(cone):
        def make(n):
            c, x = cone(n), vec(n)
            return lambda: c.violation(x)
        return make

    def nonneg_contains(n):
        c, x = cones.NonnegativeConeCpp(n), np.abs(vec(n))
        return lambda: c.contains(x)

    def soc_project(n):
        c, x, out = cones.SecondOrderConeCpp(n), vec(n), np.ones(n)
        x[0] = 0.3 * np.linalg.norm(x[1:])
        return lambda: c.project_into(x, out)

    def soc_nt(entries):
        n = max(2, int(entries**0.5))
        c, s, z, out = cones.SecondOrderConeCpp(n), soc_interior(rng, n), soc_interior(rng, n), np.ones(n * n)
        return lambda: c.nt_scaling_matrix_into(s, z, out)

    def soc_nt_batch3(entries):
        batch = max(1, entries // 9)
        c = cones.SecondOrderConeCpp(3)
        s, z, out = soc_interior(rng, 3, batch), soc_interior(rng, 3, batch), np.ones(9 * batch)
        return lambda: c.nt_scaling_matrix_batch_into(s, z, out, batch)

    def exp_project(n):
        blocks = max(1, n // 3)
        c, x, out = cones.ExponentialConeCpp(blocks), vec(3 * blocks), np.ones(3 * blocks)
        return lambda: c.project_into(x, out)

    def exp_violation(n):
        blocks = max(1, n // 3)
        c, x = cones.ExponentialConeCpp(blocks), vec(3 * blocks)
        return lambda: c.violation(x)

    def exp_batch(entries):
        batch = max(1, entries // 9)
        c, s, z, out = cones.ExponentialConeCpp(1), exp_points(rng, batch), exp_points(rng, batch), np.ones(9 * batch)
        return lambda: c.nt_scaling_matrix_batch_into(s, z, out, batch)

    def ipm_nonneg(method):
        def make(n):
            c = ipm.NonnegativeCone(n)
            s, z, x = (rng.uniform(0.5, 2.0, n) for _ in range(3))
            sc, lam, out = np.empty(n), np.empty(n), np.empty(n)
            c.nt_scaling_into(s, z, sc, lam)
            calls = {
                "nt_scaling_into": lambda: c.nt_scaling_into(s, z, sc, lam),
                "scale_into": lambda: c.scale_into(sc, x, out),
                "jordan_solve_into": lambda: c.jordan_solve_into(lam, x, out),
                "max_step": lambda: c.max_step(s, x - 1.5),
            }
            return calls[method]
        return make

    def ipm_soc(method, n=10):
        def make(entries):
            batch = max(1, entries // n)
            c = ipm.SecondOrderCone(n)
            s, z, x = soc_interior(rng, n, batch), soc_interior(rng, n, batch), soc_interior(rng, n, batch)
            sc, lam, out = np.empty(c.scaling_size * batch), np.empty(n * batch), np.empty(n * batch)
            c.nt_scaling_into(s, z, sc, lam, batch)
            calls = {
                "nt_scaling_into": lambda: c.nt_scaling_into(s, z, sc, lam, batch),
                "scale_into": lambda: c.scale_into(sc, x, out, batch=batch),
                "jordan_solve_into": lambda: c.jordan_solve_into(lam, x, out, batch),
                "max_step": lambda: c.max_step(s, x - 3.0, batch),
            }
            return calls[method]
        return make

    ops = [("zero project_into", project(cones.ZeroConeCpp)), ("zero violation", violation(cones.ZeroConeCpp)),
           ("nonnegative project_into", project(cones.NonnegativeConeCpp)),
           ("nonnegative violation", violation(cones.NonnegativeConeCpp)),
           ("nonnegative contains", nonneg_contains), ("second-order project_into", soc_project),
           ("second-order violation", violation(cones.SecondOrderConeCpp)), ("second-order NT into (n^2 entries)", soc_nt),
           ("second-order NT batch, n = 3 (9 B entries)", soc_nt_batch3),
           ("exponential project_into", exp_project), ("exponential violation", exp_violation),
           ("exponential NT batch (9 B entries)", exp_batch)]
    for method in ("nt_scaling_into", "scale_into", "jordan_solve_into", "max_step"):
        ops.append((f"ipm nonnegative {method}", ipm_nonneg(method)))
        ops.append((f"ipm second-order n=10 {method}", ipm_soc(method)))
    return ops


def best_of_samples(fn, budget):
    """Best per-call time over samples of about 0.5 ms of calls."""
    start = time.perf_counter()
    fn()
    once = max(time.perf_counter() - start, 1e-7)
    number = max(1, int(5e-4 / once))
    best = float("inf")
    stop = time.perf_counter() + budget
    while time.perf_counter() < stop:
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def worker(budget):
    out = {}
    for label, make in operations():
        for size in SIZES:
            out[f"{label}|{size}"] = best_of_samples(make(size), budget)
    print(json.dumps(out))


def run_worker(threads, budget):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1")
    text = subprocess.run([sys.executable, __file__, "--worker", str(budget)], env=env, check=True,
                          capture_output=True, text=True).stdout
    return json.loads(text)


def thresholds(rounds, budget):
    best = {1: {}, 2: {}}
    for _ in range(rounds):
        for threads in (1, 2):
            for key, t in run_worker(threads, budget).items():
                best[threads][key] = min(t, best[threads].get(key, t))
    print(f"\n== one thread against two (best of samples; size = entries) ==")
    print(f"{'loop':<46}" + "".join(f"{s:>10}" for s in SIZES))
    labels = list(dict.fromkeys(k.split("|")[0] for k in best[1]))
    for label in labels:
        ratios = [best[1][f"{label}|{s}"] / best[2][f"{label}|{s}"] for s in SIZES]
        print(f"{label:<46}" + "".join(f"{r:>10.2f}" for r in ratios))
    print("(t1/t2: above 1, two threads are faster)")


def burn(stop):
    x = 0
    while not stop.is_set():
        x += 1


def stall_worker(calls):
    out = {}
    for label, make in operations():
        for size in (2**14, 2**17, 2**20):
            fn = make(size)
            fn()
            times = []
            for _ in range(calls if size < 2**20 else calls // 10):
                start = time.perf_counter()
                fn()
                times.append(time.perf_counter() - start)
            out[f"{label}|{size}"] = [float(np.percentile(times, q)) for q in (50, 90, 99)]
    print(json.dumps(out))


def stalls(calls):
    stop = multiprocessing.Event()
    burners = [multiprocessing.Process(target=burn, args=(stop,)) for _ in range(os.cpu_count() or 2)]
    for p in burners:
        p.start()
    try:
        result = {}
        for threads in (1, 2):
            env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1")
            text = subprocess.run([sys.executable, __file__, "--stall-worker", str(calls)], env=env, check=True,
                                  capture_output=True, text=True).stdout
            result[threads] = json.loads(text)
    finally:
        stop.set()
        for p in burners:
            p.join()
    print(f"\n== every core busy ({len(burners)} spinning processes): per-call time, two threads vs one ==")
    print(f"{'loop':<46}{'entries':>9}{'median 1/2 (us)':>20}{'p90 1/2 (us)':>20}{'median ratio':>14}")
    for key in result[1]:
        label, size = key.split("|")
        one, two = result[1][key], result[2][key]
        print(f"{label:<46}{size:>9}{one[0] * 1e6:>10.1f}/{two[0] * 1e6:<9.1f}{one[1] * 1e6:>10.1f}/{two[1] * 1e6:<9.1f}"
              f"{two[0] / one[0]:>14.2f}")
    print("(ratio: two-thread median over one-thread median; the loops must stay below 2)")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--stall", action="store_true", help="the stall table under background load")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--budget", type=float, default=0.15, help="seconds of samples per loop and size")
    parser.add_argument("--worker", type=float, help=argparse.SUPPRESS)
    parser.add_argument("--stall-worker", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker is not None:
        worker(args.worker)
    elif args.stall_worker is not None:
        stall_worker(args.stall_worker)
    elif args.stall:
        stalls(2000)
    else:
        thresholds(args.rounds, args.budget)


if __name__ == "__main__":
    main()
