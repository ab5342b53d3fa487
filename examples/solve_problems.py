"""Solves the shipped conic problems with cones_ipm (cone arithmetic from _cpp_cuda) and prints iterations, objective, residuals and time next to CVXOPT's and Clarabel's objectives; then CVXPY models of every LP/SOCP/SDP kind through problem.solve(solver=ConesIpm()), next to Clarabel.

    python examples/solve_problems.py                 # host arrays
    python examples/solve_problems.py --where device  # device arrays (GPU or the emulation build)
    python examples/solve_problems.py --where both
"""
import argparse
import os
import sys
import warnings

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))  # the problems and peers

import _cpp_cuda  # noqa: E402
import problems  # noqa: E402
from cones_ipm import solve  # noqa: E402
from peers import clarabel_objective, cvxopt_objective  # noqa: E402


def cone_summary(prob):
    parts = []
    for cone in prob.cones:
        label = {"zero": "Z", "nonnegative": "R+", "soc": "Q", "psd": "S", "exp": "Kexp"}[cone.kind]
        parts.append(f"{label}{cone.dim}")
    return "x".join(parts)


# One line for every status other than optimal that a table row can show.
STATUS_NOTES = {
    "almost_optimal": "stopped short of the full tolerances; its best iterate meets the reduced ones "
                      "(residuals 1e-4, gap 5e-5)",
    "primal_infeasible": "a certificate proves that no point satisfies the constraints",
    "almost_primal_infeasible": "an infeasibility certificate, at the reduced tolerances",
    "dual_infeasible": "a certificate proves the objective unbounded below",
    "almost_dual_infeasible": "an unboundedness certificate, at the reduced tolerances",
    "max_iterations": "the iteration limit came before the tolerances were met",
    "numerical_error": "the run stopped early (the reason in brackets) and no iterate met even the reduced "
                       "tolerances (residuals 1e-4, gap 5e-5)",
    # CVXPY's names
    "optimal_inaccurate": "CVXPY's name for a solution at the solver's reduced tolerances",
    "infeasible": "the model has no feasible point",
    "unbounded": "the objective is unbounded",
    "infeasible_inaccurate": "infeasible, certified at the solver's reduced tolerances",
    "unbounded_inaccurate": "unbounded, certified at the solver's reduced tolerances",
}


def explain(status, message=""):
    """The line printed under a row whose status is not optimal ("" for optimal)."""
    if status == "optimal":
        return ""
    note = STATUS_NOTES.get(status, "see the solver's message")
    return f"      {status}: {note}" + (f" [{message}]" if message else "")


def rel(a, b):
    return abs(a - b) / max(1.0, abs(b)) if np.isfinite(a) and np.isfinite(b) else np.nan


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--where", choices=["host", "device", "both"], default="host")
    args = parser.parse_args()
    places = ["host", "device"] if args.where == "both" else [args.where]
    if "device" in places and not _cpp_cuda.has_cuda():
        sys.exit("device arrays need a build with a CUDA device or the CUDA host emulation build "
                 "(PYTHONPATH=build/emu)")
    warnings.simplefilter("ignore")

    header = (f"{'problem':16s} {'cones':22s} {'n':>4s} {'m':>4s} {'p':>3s} {'arrays':6s} {'status':10s} "
              f"{'it':>3s} {'objective':>17s} {'CVXOPT':>17s} {'Clarabel':>17s} {'rel.diff':>8s} "
              f"{'pres':>8s} {'dres':>8s} {'gap':>8s} {'time':>7s}")
    print("n, m, p: variables, cone rows, equality rows; it: iterations; rel.diff: largest relative objective "
          "difference to CVXOPT and Clarabel;\npres, dres, gap: final relative primal and dual residuals and "
          "duality gap; time: cones_ipm's solve time; a status other than optimal is explained below its row\n")
    print(header)
    print("-" * len(header))
    worst = 0.0
    for prob in problems.shipped_problems():
        cv_status, cv_obj, _ = cvxopt_objective(prob)
        cl_status, cl_obj, _ = clarabel_objective(prob)
        for where in places:
            res = solve(prob, where=where)
            diff = max(rel(res.objective, cv_obj), rel(res.objective, cl_obj))
            worst = max(worst, diff)
            print(f"{prob.name:16s} {cone_summary(prob):22s} {prob.n:4d} {prob.m:4d} {prob.p:3d} {where:6s} "
                  f"{res.status:10s} {res.iterations:3d} {res.objective:17.10f} {cv_obj:17.10f} {cl_obj:17.10f} "
                  f"{diff:8.1e} {res.primal_residual:8.1e} {res.dual_residual:8.1e} {res.gap:8.1e} "
                  f"{res.solve_time * 1e3:5.1f}ms")
            if res.status != "optimal":
                print(explain(res.status, res.message))
    print(f"largest relative objective difference to the peers: {worst:.1e}")

    print("\ninfeasibility detection:")
    for prob in (problems.infeasible_lp(), problems.unbounded_lp(), problems.wrong_signed_norm_bound()):
        for where in places:
            res = solve(prob, where=where)
            print(f"  {prob.name:16s} {where:6s} {res.status:18s} after {res.iterations:2d} iterations"
                  f"{f' ({res.message})' if res.message else ''}; Clarabel: {clarabel_objective(prob)[0]}")
            if res.status != "optimal":
                print(explain(res.status))

    cvxpy_models(places)

    print("\nexponential cones (primal-dual scaling), maximum entropy and log-sum-exp:")
    for prob, where in [(p, w) for p in (problems.entropy(), problems.log_sum_exp()) for w in places]:
        cl_status, cl_obj, _ = clarabel_objective(prob)
        res = solve(prob, where=where)
        print(f"  {prob.name:16s} {where:6s} {res.status:16s} after {res.iterations:2d} iterations, "
              f"objective {res.objective:.10f} (Clarabel {cl_obj:.10f}, rel.diff {rel(res.objective, cl_obj):.1e}), "
              f"pres {res.primal_residual:.1e} dres {res.dual_residual:.1e} gap {res.gap:.1e} {res.message}")
        if res.status != "optimal":
            print(explain(res.status, res.message))


def cvxpy_models(places):
    """The small instance of every model kind, solved through CVXPY with our solver and
    with Clarabel (CVXPY's compile time included in both)."""
    try:
        import cvxpy as cp
        from cones_ipm.cvxpy_interface import ConesIpm
        from models import MODELS, STATUS_MODELS
    except ImportError:
        print("\n(CVXPY is not installed: the CVXPY models are skipped; pip install .[cvxpy])")
        return
    print("\nCVXPY models, problem.solve(solver=ConesIpm(where=...)) next to CVXPY's Clarabel:")
    print(f"  {'model':20s} {'kind':5s} {'arrays':6s} {'status':18s} {'it':>3s} {'value':>16s} {'Clarabel':>16s} "
          f"{'rel.diff':>8s} {'time':>8s}")
    entries = [(name, kind, build, size) for name, (kind, build, size, _) in MODELS.items()]
    entries += [(name, "stat", build, size) for name, (build, size, _, _) in STATUS_MODELS.items()]
    for name, kind, build, size in entries:
        problem = build(size, 1)
        ref = problem.solve(solver=cp.CLARABEL)
        ref_status = problem.status
        for where in places:
            value = problem.solve(solver=ConesIpm(where=where))
            stats = problem.solver_stats
            diff = rel(value, ref) if ref_status == cp.OPTIMAL else np.nan
            print(f"  {name:20s} {kind:5s} {where:6s} {problem.status:18s} {stats.num_iters:3d} {value:16.9f} "
                  f"{ref:16.9f} {diff:8.1e} {stats.solve_time * 1e3:6.1f}ms")
            if problem.status != cp.OPTIMAL:
                print(explain(problem.status) + (" (this model is built to be so)" if kind == "stat" else ""))


if __name__ == "__main__":
    main()
