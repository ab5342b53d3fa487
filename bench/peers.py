"""Reference objectives from CVXOPT and Clarabel for a ConicProblem (data converted to each solver's cone conventions), or for CVXPY's conic data."""
from __future__ import annotations

import time

import numpy as np
import scipy.sparse as sp

from cones_ipm.problem import SQRT2


def _cvxopt_rows(prob):
    """Rows of CVXOPT's G for our rows: all orthants, then second-order cones, then PSD
    blocks as full column-major matrices (entry (i, j) of an svec row scaled by 1/√2
    off the diagonal, written at (i, j) and (j, i))."""
    order = {"nonnegative": 0, "soc": 1, "psd": 2}
    pieces = {0: [], 1: [], 2: []}
    dims = {"l": 0, "q": [], "s": []}
    for cone, off in prob.offsets():
        if cone.kind not in order:
            raise ValueError(f"CVXOPT's conelp has no {cone.kind} cone")
        if cone.kind == "psd":
            n = cone.dim
            Gb, hb = prob.G[off:off + cone.rows].toarray(), prob.h[off:off + cone.rows]
            Gf, hf = np.zeros((n * n, prob.n)), np.zeros(n * n)
            k = 0
            for i in range(n):
                for j in range(i + 1):
                    scale = 1.0 if i == j else 1.0 / SQRT2
                    for r in {j * n + i, i * n + j}:
                        Gf[r], hf[r] = Gb[k] * scale, hb[k] * scale
                    k += 1
            pieces[2].append((Gf, hf))
            dims["s"].append(n)
        else:
            pieces[order[cone.kind]].append((prob.G[off:off + cone.rows].toarray(), prob.h[off:off + cone.rows]))
            if cone.kind == "nonnegative":
                dims["l"] += cone.dim
            else:
                dims["q"].append(cone.dim)
    blocks = pieces[0] + pieces[1] + pieces[2]
    G = np.vstack([g for g, _ in blocks])
    h = np.concatenate([hh for _, hh in blocks])
    return G, h, dims


def cvxopt_objective(problem):
    """(status, objective, seconds) from cvxopt.solvers.conelp; objective NaN unless optimal."""
    import cvxopt
    from cvxopt import solvers

    prob = problem.without_zero_cones()
    try:
        G, h, dims = _cvxopt_rows(prob)
    except ValueError:
        return "unsupported", np.nan, 0.0
    args = [cvxopt.matrix(prob.c), cvxopt.matrix(G), cvxopt.matrix(h), dims]
    if prob.p:
        args += [cvxopt.matrix(prob.A.toarray()), cvxopt.matrix(prob.b)]
    start = time.perf_counter()
    # Tight tolerances first; CVXOPT can stop with a domain error in its scaling update
    # when pushed that far, so fall back to looser ones.
    for tol in (1e-10, 1e-9, 1e-8):
        opts = dict(show_progress=False, abstol=tol, reltol=tol, feastol=tol, maxiters=200)
        try:
            sol = solvers.conelp(*args, options=opts)
            break
        except (ValueError, ArithmeticError):
            sol = None
    seconds = time.perf_counter() - start
    if sol is None:
        return "error", np.nan, seconds
    status = sol["status"]
    obj = sol["primal objective"] if status in ("optimal", "unknown") and sol["x"] is not None else np.nan
    return status, float(obj) if obj is not None else np.nan, seconds


def clarabel_solve(problem, **settings):
    """Clarabel on `problem` (its triangle for PSD cones is the upper one column by column,
    which is our svec order; equality rows A x = b become its zero cone). `settings` are
    Clarabel settings (e.g. max_threads=1, tol_gap_abs=1e-10); the others keep Clarabel's
    defaults. Returns (status, objective, seconds, iterations): Clarabel's status name,
    cᵀx (NaN unless Solved or AlmostSolved), the wall time of the solve and its iterations."""
    import clarabel

    prob = problem
    cones = []
    if prob.p:
        cones.append(clarabel.ZeroConeT(prob.p))
    for cone in prob.cones:
        if cone.kind == "zero":
            cones.append(clarabel.ZeroConeT(cone.dim))
        elif cone.kind == "nonnegative":
            cones.append(clarabel.NonnegativeConeT(cone.dim))
        elif cone.kind == "soc":
            cones.append(clarabel.SecondOrderConeT(cone.dim))
        elif cone.kind == "psd":
            cones.append(clarabel.PSDTriangleConeT(cone.dim))
        else:
            cones.extend(clarabel.ExponentialConeT() for _ in range(cone.dim))
    A = sp.vstack([prob.A, prob.G]).tocsc()
    b = np.concatenate([prob.b, prob.h])
    options = clarabel.DefaultSettings()
    options.verbose = False
    for key, value in settings.items():
        if not hasattr(options, key):
            raise TypeError(f"unknown Clarabel setting {key!r}")
        setattr(options, key, value)
    P = sp.csc_matrix((prob.n, prob.n))
    start = time.perf_counter()
    sol = clarabel.DefaultSolver(P, prob.c, A, b, cones, options).solve()
    seconds = time.perf_counter() - start
    status = str(sol.status)
    obj = sol.obj_val if status in ("Solved", "AlmostSolved") else np.nan
    return status, float(obj), seconds, int(sol.iterations)


def clarabel_objective(problem):
    """(status, objective, seconds) from Clarabel at tight tolerances (1e-10)."""
    status, obj, seconds, _ = clarabel_solve(problem, tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)
    return status, obj, seconds


def clarabel_reference(data):
    """Clarabel (default settings) on CVXPY's conic data for our solver (the layout Clarabel
    takes too): (status, objective, seconds, iterations) as from clarabel_solve, its own
    setup included in the time."""
    from cones_ipm.cvxpy_interface import cvxpy_data_to_problem

    return clarabel_solve(cvxpy_data_to_problem(data))
