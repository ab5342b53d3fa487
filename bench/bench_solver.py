"""cones_ipm against Clarabel on seeded CVXPY models of the standard LP, SOCP and SDP kinds
(and infeasible/unbounded variants), in one run: both solvers get the same conic data
(CVXPY's compilation is not timed); time ratio = our time / Clarabel's (each including
its own setup), iterations of both, relative objective difference.

    python bench/bench_solver.py                       # large sizes (n + m ≥ 2000 mostly)
    python bench/bench_solver.py --size small          # the small sizes of the tests
    python bench/bench_solver.py --linear-solver qdldl --only lasso robust_lp
    python bench/bench_solver.py --where device --size small   # emulation build on PYTHONPATH

Targets: ratio ≤ 3 when n + m ≥ 2000, ≤ 10 below; objectives within 1e-7 (relative).
"""
import argparse
import os
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from cones_ipm import solve  # noqa: E402
from cones_ipm.cvxpy_interface import clarabel_reference  # noqa: E402
from cones_ipm.models import MODELS, STATUS_MODELS, conic_data  # noqa: E402

CLARABEL_STATUS = {"Solved": "optimal", "AlmostSolved": "almost_optimal", "PrimalInfeasible": "primal_infeasible",
                   "DualInfeasible": "dual_infeasible"}


def row(name, family, size, prob, data, where, linear_solver, seed):
    cl_status, cl_obj, cl_time, cl_it = clarabel_reference(data)
    start = time.perf_counter()
    res = solve(prob, where=where, linear_solver=linear_solver)
    ours = time.perf_counter() - start
    rel = abs(res.objective - cl_obj) / max(1.0, abs(cl_obj)) if np.isfinite(cl_obj) else np.nan
    nm = prob.n + prob.m
    target = 3.0 if nm >= 2000 else 10.0
    ratio = ours / cl_time
    ok = (CLARABEL_STATUS.get(cl_status) == res.status and ratio <= target
          and (not np.isfinite(cl_obj) or rel <= 1e-7))
    print(f"{name:20s} {family:5s} {size:5d} {prob.n:6d} {prob.m:6d} {res.status:18s} {cl_status:17s} "
          f"{res.iterations:4d} {cl_it:4d} {ours:8.3f} {cl_time:8.3f} {ratio:6.2f} {target:4.0f} "
          f"{rel:8.1e} {res.linear_solver:8s} {'ok' if ok else 'MISS'} {res.message}", flush=True)
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", choices=["small", "large", "both"], default="large")
    parser.add_argument("--where", choices=["host", "device"], default="host")
    parser.add_argument("--linear-solver", default="auto")
    parser.add_argument("--only", nargs="*", default=None)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    print("ratio = cones_ipm's time / Clarabel's (each with its own setup): below 1 cones_ipm is faster; "
          "max = the largest ratio the target allows; it, itC = iterations of cones_ipm and Clarabel; "
          "rel.obj = relative objective difference")
    print(f"{'model':20s} {'kind':5s} {'size':>5s} {'n':>6s} {'m':>6s} {'status':18s} {'Clarabel':17s} "
          f"{'it':>4s} {'itC':>4s} {'ours s':>8s} {'Clar. s':>8s} {'ratio':>6s} {'max':>4s} {'rel.obj':>8s} "
          f"{'factor':8s}")
    sizes = {"small": [2], "large": [3], "both": [2, 3]}[args.size]
    results = []
    for name, entry in MODELS.items():
        if args.only and name not in args.only:
            continue
        for k in sizes:
            family, build, size = entry[0], entry[1], entry[k]
            data, prob = conic_data(build(size, args.seed))
            results.append(row(name, family, size, prob, data, args.where, args.linear_solver, args.seed))
    for name, entry in STATUS_MODELS.items():
        if args.only and name not in args.only:
            continue
        for k in sizes:
            build, size = entry[0], entry[k - 1]
            data, prob = conic_data(build(size, args.seed))
            results.append(row(name, "stat", size, prob, data, args.where, args.linear_solver, args.seed))
    print(f"\n{sum(results)} of {len(results)} rows meet the targets")


if __name__ == "__main__":
    main()
