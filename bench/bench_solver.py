"""cones_ipm against Clarabel on seeded CVXPY models of the standard LP, SOCP, SDP and
exponential-cone kinds (and infeasible/unbounded variants), in one run: both solvers get the
same conic data (CVXPY's compilation is not timed); time ratio = our time / Clarabel's (each
including its own setup), iterations of both and their ratio, relative objective difference.

    python bench/bench_solver.py                       # large sizes (n + m ≥ 2000 mostly)
    python bench/bench_solver.py --size small          # the small sizes of the tests
    python bench/bench_solver.py --linear-solver qdldl --only lasso robust_lp
    python bench/bench_solver.py --only EXP              # the exponential-cone models
    python bench/bench_solver.py --where device --size small   # emulation build on PYTHONPATH
    python bench/bench_solver.py --soc-expansion-min 64        # second-order expansion threshold
    python bench/bench_solver.py --only lasso --model-size 2500 --set kkt.pardiso_ordering=nested_dissection

Each time is the best of --repeat runs (default 7 for the small sizes, 1 for the large ones),
ours and Clarabel's alternating, so that a loaded machine slows both alike.

Targets: ratio ≤ 3 when n + m ≥ 2000, ≤ 10 below; objectives within 1e-7 (relative);
exponential-cone models in at most Clarabel's iterations + 5.
"""
import argparse
import os
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from cones_ipm import solve  # noqa: E402
from cones_ipm.settings import overrides_from_texts  # noqa: E402
from models import MODELS, STATUS_MODELS, conic_data  # noqa: E402
from peers import clarabel_reference  # noqa: E402

CLARABEL_STATUS = {"Solved": "optimal", "AlmostSolved": "almost_optimal", "PrimalInfeasible": "primal_infeasible",
                   "DualInfeasible": "dual_infeasible"}


def row(name, family, size, prob, data, args, repeat):
    options = dict(where=args.where, linear_solver=args.linear_solver, **overrides_from_texts(args.set))
    if args.soc_expansion_min is not None:
        options["soc_expansion_min"] = args.soc_expansion_min
    ours, theirs = [], []
    for _ in range(repeat):
        cl_status, cl_obj, cl_time, cl_it = clarabel_reference(data)
        theirs.append(cl_time)
        start = time.perf_counter()
        res = solve(prob, **options)
        ours.append(time.perf_counter() - start)
    ours, cl_time = min(ours), min(theirs)
    rel = abs(res.objective - cl_obj) / max(1.0, abs(cl_obj)) if np.isfinite(cl_obj) else np.nan
    nm = prob.n + prob.m
    target = 3.0 if nm >= 2000 else 10.0
    ratio = ours / cl_time
    ok = (CLARABEL_STATUS.get(cl_status) == res.status and ratio <= target
          and (not np.isfinite(cl_obj) or rel <= 1e-7) and (family != "EXP" or res.iterations <= cl_it + 5))
    print(f"{name:20s} {family:5s} {size:5d} {prob.n:6d} {prob.m:6d} {res.status:18s} {cl_status:17s} "
          f"{res.iterations:4d} {cl_it:4d} {res.iterations / max(cl_it, 1):5.2f} {ours:8.4f} {cl_time:8.4f} "
          f"{ratio:6.2f} {target:4.0f} "
          f"{rel:8.1e} {res.linear_solver:8s} {'ok' if ok else 'MISS'} {res.message}", flush=True)
    return ok, ratio


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", choices=["small", "large", "both"], default="large")
    parser.add_argument("--where", choices=["host", "device"], default="host")
    parser.add_argument("--linear-solver", default="auto")
    parser.add_argument("--only", nargs="*", default=None, help="model names, or a kind (LP, SOCP, SDP, EXP)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--repeat", type=int, default=None, help="best of this many runs (default 7 small, 1 large)")
    parser.add_argument("--soc-expansion-min", type=int, default=None)
    parser.add_argument("--model-size", type=int, default=None, help="this size for every chosen model")
    parser.add_argument("--set", action="append", default=[], metavar="KEY=VALUE",
                        help="a solver setting, as python -m cones_ipm takes it (e.g. kkt.pardiso_ordering=...)")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    print("ratio = cones_ipm's time / Clarabel's (each with its own setup): below 1 cones_ipm is faster; "
          "max = the largest ratio the target allows; it, itC = iterations of cones_ipm and Clarabel; "
          "rel.obj = relative objective difference")
    print(f"{'model':20s} {'kind':5s} {'size':>5s} {'n':>6s} {'m':>6s} {'status':18s} {'Clarabel':17s} "
          f"{'it':>4s} {'itC':>4s} {'it/C':>5s} {'ours s':>8s} {'Clar. s':>8s} {'ratio':>6s} {'max':>4s} {'rel.obj':>8s} "
          f"{'factor':8s}")
    sizes = {"small": [2], "large": [3], "both": [2, 3]}[args.size]
    results = []
    for k in sizes:
        repeat = args.repeat or (7 if k == 2 else 1)
        for name, entry in MODELS.items():
            if args.only and name not in args.only and entry[0] not in args.only:
                continue
            family, build, size = entry[0], entry[1], args.model_size or entry[k]
            data, prob = conic_data(build(size, args.seed))
            results.append(row(name, family, size, prob, data, args, repeat))
        for name, entry in STATUS_MODELS.items():
            if args.only and name not in args.only:
                continue
            build, size = entry[0], args.model_size or entry[k - 1]
            data, prob = conic_data(build(size, args.seed))
            results.append(row(name, "stat", size, prob, data, args, repeat))
    ratios = np.array([r for _, r in results])
    print(f"\n{sum(ok for ok, _ in results)} of {len(results)} rows meet the targets; time ratio geometric mean "
          f"{np.exp(np.log(ratios).mean()):.2f}, largest {ratios.max():.2f}")


if __name__ == "__main__":
    main()
