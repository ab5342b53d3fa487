"""Scaling sweep: can the solver's verdicts be trusted at any data scale? Every model is
solved with its data scaled by 10^k (k = -8 ... 8) in four modes, and every verdict is
checked independently of the solver's own report, on the scaled data it was computed for.

    python bench/bench_scaling.py                    # small sizes, k = -8 ... 8, all modes
    python bench/bench_scaling.py --quick            # k in {-8, -4, 0, 4, 8}
    python bench/bench_scaling.py --only SDP lp_infeasible --modes c all
    python bench/bench_scaling.py --size large --quick
    python bench/bench_scaling.py --where device     # emulation build on PYTHONPATH

Models: every model of models.MODELS (expected "optimal") and STATUS_MODELS (their
expected status) at the chosen size and seed, converted once with conic_data; and programs
whose data are badly scaled to begin with (group COST): min 1e8·x s.t. x ≥ 1, min -1e9·x s.t.
x ≤ 1, models.transport with its costs times 1e6 (through CVXPY), and random strictly
feasible bounded LP/SOCP/SDP/exp programs (problems.random_feasible) with the cost times 1e7
and 1e8. --only takes model names or the kinds LP, SOCP, SDP, EXP, STATUS (and COST).

Modes, for scale f = 10^k (the meaning is exact; the solution maps as stated):
    c    c' = f c              x, s unchanged; y, z and the objective times f
    bh   (b', h') = f (b, h)   x, s and the objective times f; y, z unchanged
    A    (A', G') = f (A, G)   x, y, z and the objective divided by f; s unchanged
    all  all three times f    x, y, z unchanged; s and the objective times f
(c by α, (b, h) by γ, (A, G) by β: x' = (γ/β) x, s' = γ s, (y', z') = (α/β) (y, z), objective
times αγ/β.) The expected objective at (mode, k) is the unscaled program's optimum times the
mode's objective factor. The unscaled optimum is the k = 0 run's objective (when that run is
optimal and verified), except for the COST programs, whose unscaled data are already badly
scaled: 1e8 and -1e9 exactly for the two one-variable programs, and 1e6 (1e7, 1e8) times
the verified optimum of the well-scaled program (transport, the random program with its
cost unmultiplied) otherwise. The objective error is |objective - expected| / (objective
factor · max(1, |unscaled optimum|)), so an exact solver gives the same error at every k.

Checks (NumPy on the scaled ConicProblem's own c, G, h, A, b; cone distances from
eigenvalues, norms and the exponential cone's boundary; one tolerance TOL, TOL_ALMOST for
the almost_ verdicts):
- primal_infeasible (y, z): dist(z, K*) ≤ TOL‖z‖, ‖Aᵀy + Gᵀz‖ ≤ TOL‖|Aᵀ||y| + |Gᵀ||z|‖,
  -(bᵀy + hᵀz) ≥ TOL (|b|ᵀ|y| + |h|ᵀ|z|);
- dual_infeasible (x, s): dist(s, K) ≤ TOL‖s‖, ‖Ax‖ ≤ TOL‖|A||x|‖,
  ‖Gx + s‖ ≤ TOL‖|G||x| + |s|‖, -cᵀx ≥ TOL |c|ᵀ|x|;
- optimal (x, y, z, s): ‖Ax - b‖ ≤ TOL‖|A||x| + |b|‖, ‖Gx + s - h‖ ≤ TOL‖|G||x| + |s| + |h|‖,
  dist(s, K) ≤ TOL‖|G||x| + |s| + |h|‖, ‖Aᵀy + Gᵀz + c‖ ≤ TOL‖|Aᵀ||y| + |Gᵀ||z| + |c|‖,
  dist(z, K*) ≤ TOL‖z‖, max(|cᵀx + bᵀy + hᵀz|, |sᵀz|) ≤ TOL (|c|ᵀ|x| + |b|ᵀ|y| + |h|ᵀ|z|), and
  the reported objective within TOL |c|ᵀ|x| of cᵀx.
Every measure is invariant under the four scalings, so an exact solver passes or fails
alike at every k. With zero cones the solver returns those rows' multipliers in y (after A's)
and z, s without them; the checker maps them back to the rows of G (full_vectors).

Verdicts: a false certificate is a certificate (exact or almost_) that the model cannot have:
any certificate on a feasible bounded model, a primal_infeasible one on the unbounded
STATUS models (they are primal feasible), a dual_infeasible one on the infeasible STATUS
models (they have a dual feasible point or no ray). A wrong certificate is one that fails
its check; an unverified optimum is an optimal/almost_optimal verdict whose point fails its
check. A status change is any status other than the expected one (almost_ forms, limits,
errors and exceptions included). A solve that raises is recorded as status "exception"
with its text.

Output: one row per (model, mode): one two-character cell per k, the status letter
(o optimal, a almost_optimal, P primal_infeasible, p almost_primal_infeasible,
D dual_infeasible, d almost_dual_infeasible, m max_iterations, n numerical_error,
x exception) and a mark (blank: as expected and verified; '*' another status than the
expected one; '!' a false or wrong certificate or an unverified optimum), the worst
objective error over the optimal and almost_optimal runs, the most iterations and the row's
time; then a summary. Exit status 1 if any status change, false or wrong certificate or
unverified optimum, else 0. Every solve is limited to --max-iter iterations (default 100).
"""
import os
import sys

# Single-threaded: the variables must be set before NumPy (and MKL, OpenMP) start. Run in
# the process of another script that has imported NumPy already (bench/run_all.py), the
# sweep leaves the environment alone (it could no longer take effect here, and would only
# change the later scripts' thread counts), says so, and does not exit that process.
SINGLE_THREADED = "numpy" not in sys.modules
if SINGLE_THREADED:
    for _var in ("OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS"):
        os.environ[_var] = "1"

import argparse  # noqa: E402
import math  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402
from dataclasses import dataclass, field  # noqa: E402

import numpy as np  # noqa: E402
import scipy.sparse as sp  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from cones_ipm import ConicProblem, solve  # noqa: E402
from problems import random_feasible  # noqa: E402

TOL = 1e-6          # checks of exact verdicts (the solver's own tolerances are 1e-8)
TOL_ALMOST = 1e-3   # checks of almost_ verdicts (the solver's reduced tolerances are 1e-4, 5e-5)
MODES = ("c", "bh", "A", "all")
KINDS = ("LP", "SOCP", "SDP", "EXP", "STATUS", "COST")
LETTER = {"optimal": "o", "almost_optimal": "a", "primal_infeasible": "P", "almost_primal_infeasible": "p",
          "dual_infeasible": "D", "almost_dual_infeasible": "d", "max_iterations": "m",
          "numerical_error": "n", "exception": "x"}
PRIMAL_CERTS = ("primal_infeasible", "almost_primal_infeasible")
DUAL_CERTS = ("dual_infeasible", "almost_dual_infeasible")
OPTIMA = ("optimal", "almost_optimal")


# ---- models -------------------------------------------------------------------------------
@dataclass
class Model:
    name: str
    kind: str                   # LP, SOCP, SDP, EXP or STATUS
    expected: str
    problem: ConicProblem
    reference: float | None = None      # the unscaled optimum, when known without the k = 0 run
    reference_note: str = ""
    base: tuple | None = None   # (well-scaled program, factor): reference = factor × its verified optimum


def build_models(size, seed, only):
    """The sweep's models, filtered by --only, each converted once."""
    import models as cm   # needs CVXPY

    col = 2 if size == "small" else 3

    def wanted(name, kind, cost=False):
        return not only or name in only or kind in only or (cost and "COST" in only)

    out = []
    for name, entry in cm.MODELS.items():
        if wanted(name, entry[0]):
            out.append(Model(name, entry[0], "optimal", cm.conic_data(entry[1](entry[col], seed))[1]))
    for name, entry in cm.STATUS_MODELS.items():
        if wanted(name, "STATUS"):
            out.append(Model(name, "STATUS", entry[3], cm.conic_data(entry[0](entry[col - 1], seed))[1]))

    one = sp.csr_matrix(np.array([[-1.0]]))
    if wanted("cost_min_1e8x", "LP", True):      # min 1e8 x s.t. x ≥ 1: -x + s = -1, s ≥ 0
        out.append(Model("cost_min_1e8x", "LP", "optimal",
                         ConicProblem("cost_min_1e8x", np.array([1e8]), one, np.array([-1.0]), [("nonnegative", 1)]),
                         1e8, "exact (x = 1)"))
    if wanted("cost_min_-1e9x", "LP", True):     # min -1e9 x s.t. x ≤ 1: x + s = 1, s ≥ 0
        out.append(Model("cost_min_-1e9x", "LP", "optimal",
                         ConicProblem("cost_min_-1e9x", np.array([-1e9]), -one, np.array([1.0]),
                                      [("nonnegative", 1)]), -1e9, "exact (x = 1)"))
    if wanted("cost_transport_1e6", "LP", True):
        k = cm.MODELS["transport"][col]
        out.append(Model("cost_transport_1e6", "LP", "optimal", cm.conic_data(_costly_transport(k, seed))[1],
                         base=(cm.conic_data(cm.transport(k, seed))[1], 1e6),
                         reference_note="1e6 × transport's verified optimum"))
    scale = 1 if size == "small" else 10
    families = [("lp", [("nonnegative", 30 * scale)], 12 * scale, 3),
                ("socp", [("nonnegative", 6 * scale)] + [("soc", 6), ("soc", 4), ("soc", 9)] * scale, 10 * scale, 2),
                ("sdp", [("psd", 5 * scale)], 8 * scale, 2),
                ("exp", [("exp", 8 * scale), ("nonnegative", 4 * scale)], 10 * scale, 2)]
    for i, (fam, cones, n, p) in enumerate(families):
        kind = {"lp": "LP", "socp": "SOCP", "sdp": "SDP", "exp": "EXP"}[fam]
        base = random_feasible(f"random_{fam}", cones, n=n, p=p, seed=1000 * seed + i)
        for factor, label in ((1e7, "1e7"), (1e8, "1e8")):
            name = f"cost_random_{fam}_c{label}"
            if wanted(name, kind, True):
                prob = ConicProblem(name, factor * base.c, base.G, base.h, base.cones, base.A, base.b)
                out.append(Model(name, kind, "optimal", prob, base=(base, factor),
                                 reference_note=f"{label} × the unmultiplied program's verified optimum"))
    return out


def _costly_transport(k, seed):
    """models.transport with every unit cost times 1e6 (costs 1e6 ... 1e7): the same draws
    in the same order, so its optimum is exactly 1e6 times transport's."""
    import cvxpy as cp

    rng = np.random.default_rng(seed)
    demand = rng.uniform(1.0, 2.0, k)
    supply = demand.sum() / k * rng.uniform(1.05, 1.3, k)
    C = rng.uniform(1.0, 10.0, (k, k)) * 1e6
    X = cp.Variable((k, k))
    return cp.Problem(cp.Minimize(cp.sum(cp.multiply(C, X))),
                      [X >= 0, cp.sum(X, axis=1) <= supply, cp.sum(X, axis=0) == demand])


def scaled(prob, mode, k):
    """The program with its data scaled by 10^k in `mode`, and the objective's factor."""
    f = 10.0 ** k
    fc = f if mode in ("c", "all") else 1.0
    fbh = f if mode in ("bh", "all") else 1.0
    fm = f if mode in ("A", "all") else 1.0
    out = ConicProblem(f"{prob.name}[{mode},{k}]", fc * prob.c, fm * prob.G, fbh * prob.h, prob.cones,
                       fm * prob.A, fbh * prob.b)
    return out, scaled_factor(mode, k)


def scaled_factor(mode, k):
    """The objective's factor at (mode, k): c by α, (b, h) by γ, (A, G) by β give αγ/β."""
    f = 10.0 ** k
    alpha, gamma, beta = (f if mode in modes else 1.0 for modes in (("c", "all"), ("bh", "all"), ("A", "all")))
    return alpha * gamma / beta


# ---- the independent checker ----------------------------------------------------------------
SQRT2 = math.sqrt(2.0)
# Ray parameters searched for the exponential cones' distances: beyond r = 40 the rays are
# the face's (0, 0, 1) to rounding; towards -∞ they approach (-1, 0, 0) (K) or (0, 1, 0) (K*)
# only like 1/|r|, hence the logarithmic part.
_GRID = np.concatenate([-np.logspace(12.0, math.log10(60.0), 600, endpoint=False), np.linspace(-60.0, 60.0, 2401)])


def _exp_distances(P, dual):
    """Euclidean distance of each row of P (triples) to the exponential cone K (dual=False:
    y·exp(x/y) ≤ z) or to its dual K* ((u, v, w) with u < 0, -u·exp(v/u) ≤ e·w). The cone is
    generated by the rays t·g(r) (K: g = (r, 1, e^r); K*: g = (-1, -r, e^(r-1))) and one
    quadrant face (K: x ≤ 0, y = 0, z ≥ 0; K*: u = 0, v ≥ 0, w ≥ 0); a point outside is
    nearest to one of them."""
    out = np.zeros(P.shape[0])
    if not P.size:
        return out
    a, b, c = P[:, 0], P[:, 1], P[:, 2]
    with np.errstate(all="ignore"):
        if dual:
            inside = ((a < 0) & (c > 0) & (np.log(-a) + b / a - 1.0 <= np.log(c))) | ((a == 0) & (b >= 0) & (c >= 0))
        else:
            inside = ((b > 0) & (c > 0) & (a <= b * np.log(c / b))) | ((b == 0) & (a <= 0) & (c >= 0))
    rows = np.flatnonzero(~inside)
    for lo in range(0, rows.size, 256):     # bounded memory for the grid search
        out[rows[lo:lo + 256]] = _exp_outside_distances(P[rows[lo:lo + 256]], dual)
    return out


def _exp_outside_distances(Q, dual):
    """_exp_distances for points outside the cone."""
    norms = np.linalg.norm(Q, axis=1)
    Q = Q / norms[:, None]
    if dual:
        face = np.stack([np.zeros(len(Q)), np.maximum(Q[:, 1], 0), np.maximum(Q[:, 2], 0)], axis=1)

        def gen(r):
            return np.stack(np.broadcast_arrays(-1.0, -r, np.exp(r - 1.0)), axis=-1)
    else:
        face = np.stack([np.minimum(Q[:, 0], 0), np.zeros(len(Q)), np.maximum(Q[:, 2], 0)], axis=1)

        def gen(r):
            return np.stack(np.broadcast_arrays(r, 1.0, np.exp(r)), axis=-1)

    def score(r):          # the length of the projection onto the ray g(r), per point
        g = gen(r)
        return np.maximum(np.einsum("...i,...i->...", Q if r.ndim == 1 else Q[:, None, :], g), 0.0) \
            / np.linalg.norm(g, axis=-1)

    best = np.argmax(score(_GRID[None, :].repeat(len(Q), 0)), axis=1)
    lo, hi = _GRID[np.maximum(best - 1, 0)], _GRID[np.minimum(best + 1, _GRID.size - 1)]
    phi = (math.sqrt(5.0) - 1.0) / 2.0             # golden-section refinement between the neighbours
    for _ in range(60):
        m1, m2 = hi - phi * (hi - lo), lo + phi * (hi - lo)
        left = score(m1) >= score(m2)
        hi, lo = np.where(left, m2, hi), np.where(left, lo, m1)
    g = gen(0.5 * (lo + hi))
    t = np.maximum(np.einsum("ij,ij->i", Q, g), 0.0) / np.einsum("ij,ij->i", g, g)
    d_ray = np.linalg.norm(Q - t[:, None] * g, axis=1)
    d_face = np.linalg.norm(Q - face, axis=1)
    return np.minimum(d_ray, d_face) * norms


def cone_distance(v, cones, dual):
    """Euclidean distance of v to K (dual=False) or K* (dual=True), cone by cone."""
    total, off = 0.0, 0
    for cone in cones:
        w = v[off:off + cone.rows]
        off += cone.rows
        if cone.kind == "zero":
            d = 0.0 if dual else float(np.linalg.norm(w))
        elif cone.kind == "nonnegative":
            d = float(np.linalg.norm(np.minimum(w, 0.0)))
        elif cone.kind == "soc":
            t, u = w[0], float(np.linalg.norm(w[1:]))
            d = 0.0 if u <= t else (math.hypot(t, u) if u <= -t else (u - t) / SQRT2)
        elif cone.kind == "psd":
            n = cone.dim
            i, j = np.tril_indices(n)
            M = np.zeros((n, n))
            M[i, j] = w / np.where(i == j, 1.0, SQRT2)
            M = M + np.tril(M, -1).T
            d = float(np.linalg.norm(np.minimum(np.linalg.eigvalsh(M), 0.0)))
        else:
            d = float(np.linalg.norm(_exp_distances(w.reshape(-1, 3), dual)))
        total += d * d
    return math.sqrt(total)


def _ratio(num, den):
    if not np.isfinite(num) or not np.isfinite(den):
        return math.inf
    return 0.0 if num == 0 else (num / den if den > 0 else math.inf)


def _norm(v):
    return float(np.linalg.norm(v))


def full_vectors(prob, res):
    """(x, y, z, s) as float arrays in the layout of the program's own data: y one entry per
    row of A, z and s one per row of G. The solver moves the rows of zero cones into its
    equality block, so with zero cones its y has p + (zero-cone rows) entries (those rows'
    multipliers after A's) and its z and s only the other rows (in their order); both
    layouts are taken, any other length is an error."""
    x, y, z, s = (np.asarray(v, dtype=float).reshape(-1) for v in (res.x, res.y, res.z, res.s))
    zero = np.zeros(prob.m, dtype=bool)
    for cone, off in prob.offsets():
        if cone.kind == "zero":
            zero[off:off + cone.rows] = True
    nz = int(zero.sum())
    if y.size == prob.p + nz and z.size == s.size == prob.m - nz:
        if nz:
            zf, sf = np.zeros(prob.m), np.zeros(prob.m)
            zf[zero], zf[~zero] = y[prob.p:], z
            sf[~zero] = s
            y, z, s = y[:prob.p], zf, sf
    elif not (y.size == prob.p and z.size == s.size == prob.m):
        raise ValueError(f"result lengths x {x.size}, y {y.size}, z {z.size}, s {s.size} fit neither layout "
                         f"(n {prob.n}, p {prob.p}, m {prob.m}, zero-cone rows {nz})")
    if x.size != prob.n:
        raise ValueError(f"x has {x.size} entries, the program {prob.n} variables")
    return x, y, z, s


def check(prob, res):
    """Independent check of a verdict on the data it was computed for: (passed, measures,
    tolerance). Verdicts other than optima and certificates are not checked (None)."""
    status = res.status
    tol = TOL_ALMOST if status.startswith("almost_") else TOL
    if status not in PRIMAL_CERTS + DUAL_CERTS + OPTIMA:
        return None, {}, tol
    A, G, b, h, c = prob.A, prob.G, prob.b, prob.h, prob.c
    aA, aG = abs(A), abs(G)
    x, y, z, s = full_vectors(prob, res)
    with np.errstate(all="ignore"):
        if status in PRIMAL_CERTS:
            if not (np.all(np.isfinite(y)) and np.all(np.isfinite(z))):
                return False, {"finite": math.inf}, tol
            meas = {"cone": _ratio(cone_distance(z, prob.cones, dual=True), _norm(z)),
                    "residual": _ratio(_norm(A.T @ y + G.T @ z), _norm(aA.T @ np.abs(y) + aG.T @ np.abs(z))),
                    "separation": _ratio(-(b @ y + h @ z), np.abs(b) @ np.abs(y) + np.abs(h) @ np.abs(z))}
            ok = meas["cone"] <= tol and meas["residual"] <= tol and meas["separation"] >= tol
            return ok, meas, tol
        if status in DUAL_CERTS:
            if not (np.all(np.isfinite(x)) and np.all(np.isfinite(s))):
                return False, {"finite": math.inf}, tol
            meas = {"cone": _ratio(cone_distance(s, prob.cones, dual=False), _norm(s)),
                    "residual": max(_ratio(_norm(A @ x), _norm(aA @ np.abs(x))),
                                    _ratio(_norm(G @ x + s), _norm(aG @ np.abs(x) + np.abs(s)))),
                    "separation": _ratio(-(c @ x), np.abs(c) @ np.abs(x))}
            ok = meas["cone"] <= tol and meas["residual"] <= tol and meas["separation"] >= tol
            return ok, meas, tol
        # an optimal or almost_optimal verdict
        if not all(np.all(np.isfinite(v)) for v in (x, y, z, s)) or not np.isfinite(res.primal_objective):
            return False, {"finite": math.inf}, tol
        g_scale = _norm(aG @ np.abs(x) + np.abs(s) + np.abs(h))
        obj_scale = np.abs(c) @ np.abs(x) + np.abs(b) @ np.abs(y) + np.abs(h) @ np.abs(z)
        meas = {"primal": max(_ratio(_norm(A @ x - b), _norm(aA @ np.abs(x) + np.abs(b))),
                              _ratio(_norm(G @ x + s - h), g_scale)),
                "s_cone": _ratio(cone_distance(s, prob.cones, dual=False), g_scale),
                "dual": _ratio(_norm(A.T @ y + G.T @ z + c),
                               _norm(aA.T @ np.abs(y) + aG.T @ np.abs(z) + np.abs(c))),
                "z_cone": _ratio(cone_distance(z, prob.cones, dual=True), _norm(z)),
                "gap": _ratio(max(abs(c @ x + b @ y + h @ z), abs(s @ z)), obj_scale),
                "objective": _ratio(abs(res.primal_objective - c @ x), np.abs(c) @ np.abs(x))}
        return all(v <= tol for v in meas.values()), meas, tol


# ---- the sweep ------------------------------------------------------------------------------
@dataclass
class Run:
    model: str
    mode: str
    k: int
    status: str
    iterations: int = 0
    seconds: float = 0.0
    objective: float = math.nan
    obj_error: float = math.nan
    verified: bool | None = None
    measures: dict = field(default_factory=dict)
    tol: float = TOL
    false_cert: bool = False
    message: str = ""

    @property
    def cert(self):
        return self.status in PRIMAL_CERTS + DUAL_CERTS


def run_one(model, prob, mode, k, args):
    start = time.perf_counter()
    try:
        res = solve(prob, where=args.where, max_iter=args.max_iter)
    except Exception as err:   # recorded, never fatal
        return Run(model.name, mode, k, "exception", seconds=time.perf_counter() - start,
                   message=f"{type(err).__name__}: {err}".replace("\n", " "))
    seconds = time.perf_counter() - start
    run = Run(model.name, mode, k, res.status, res.iterations, seconds, message=res.message)
    if res.status in OPTIMA:
        run.objective = float(res.primal_objective)
    try:
        run.verified, run.measures, run.tol = check(prob, res)
    except Exception as err:   # a checker failure is reported, not hidden
        run.verified, run.message = False, f"checker raised {type(err).__name__}: {err}"
    if run.cert:
        impossible = PRIMAL_CERTS + DUAL_CERTS if model.expected == "optimal" else \
            (DUAL_CERTS if model.expected == "primal_infeasible" else PRIMAL_CERTS)
        run.false_cert = run.status in impossible
    return run


def reference(model, base_run, args):
    """The unscaled program's optimum and where it comes from (None when unknown)."""
    if model.reference is not None:
        return model.reference, model.reference_note
    if model.base is not None:
        base, factor = model.base
        try:
            res = solve(base, where=args.where, max_iter=args.max_iter)
            ok = res.status == "optimal" and check(base, res)[0]
        except Exception:
            ok = False
        return (factor * float(res.primal_objective), model.reference_note) if ok else \
            (None, "the well-scaled program's run is not a verified optimum")
    if model.expected != "optimal":
        return None, ""
    if base_run.status == "optimal" and base_run.verified:
        return base_run.objective, "the verified k = 0 run"
    return None, f"the k = 0 run is {base_run.status}{'' if base_run.verified else ' (unverified)'}"


def cell(run, expected):
    mark = "!" if (run.false_cert or run.verified is False) else ("*" if run.status != expected else " ")
    return LETTER.get(run.status, "?") + mark


def fmt_err(e):
    return "       -" if not np.isfinite(e) else f"{e:8.1e}"


def verbose_line(model, run):
    meas = " ".join(f"{key} {val:.1e}" for key, val in run.measures.items())
    verdict = {True: "verified", False: "FAILS CHECK", None: ""}[run.verified]
    print(f"    {model.name:24s} {run.mode:3s} k={run.k:+3d} {run.status:24s} it {run.iterations:3d} "
          f"{run.seconds:7.3f}s obj {run.objective: .6e} err {fmt_err(run.obj_error)} {verdict} {meas} "
          f"{'FALSE CERTIFICATE ' if run.false_cert else ''}{run.message}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", choices=["small", "large"], default="small")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--only", nargs="*", default=None, help="model names, or kinds " + ", ".join(KINDS))
    parser.add_argument("--modes", nargs="*", choices=MODES, default=list(MODES))
    parser.add_argument("--k-range", nargs=2, type=int, default=[-8, 8], metavar=("KMIN", "KMAX"))
    parser.add_argument("--quick", action="store_true", help="k in {-8, -4, 0, 4, 8} only")
    parser.add_argument("--where", choices=["host", "device"], default="host")
    parser.add_argument("--max-iter", type=int, default=100, help="the solver's iteration limit (default 100)")
    parser.add_argument("--verbose", action="store_true", help="one line per run with the check's measures")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    ks = [k for k in range(args.k_range[0], args.k_range[1] + 1) if not args.quick or k in (-8, -4, 0, 4, 8)]
    if not ks:
        parser.error("no k in the range")
    start = time.perf_counter()
    models = build_models(args.size, args.seed, args.only)
    if not models:
        parser.error("no model matches --only")
    print(f"scaling sweep: {len(models)} models ({args.size} sizes, seed {args.seed}), modes {' '.join(args.modes)}, "
          f"k = {ks[0]} ... {ks[-1]}{' (quick)' if args.quick else ''}, where={args.where}, "
          f"max_iter {args.max_iter}; setup {time.perf_counter() - start:.1f}s; "
          + ("single-threaded" if SINGLE_THREADED else "threads as the calling process has them"))
    print("cells, one per k: o optimal, a almost_optimal, P/p primal_infeasible (exact/almost), D/d dual_infeasible "
          "(exact/almost), m max_iterations, n numerical_error, x exception; mark: '*' not the expected status, "
          "'!' false or wrong certificate or unverified optimum")
    print("obj.err = |objective - expected| / (objective factor * max(1, |unscaled optimum|)), worst over the "
          "optimal/almost_optimal runs, at k; exp = expected status")
    header = "".join(f"{k:<2d}"[-2:] if k % 4 == 0 else ". " for k in ks)
    print(f"\n{'model':26s} {'kind':6s} {'exp':4s} {'mode':4s} {header} {'obj.err':>8s} {'at k':>4s} "
          f"{'maxit':>5s} {'time':>7s}")

    runs, notes = [], []
    solver_seconds = 0.0     # every solve once (the k = 0 run is shared by the modes)
    for model in models:
        base_run = run_one(model, model.problem, "-", 0, args)
        solver_seconds += base_run.seconds
        ref, note = reference(model, base_run, args)
        if model.expected == "optimal":
            notes.append(f"{model.name}: expected objective from {note}"
                         + (f" = {ref:.10g}" if ref is not None else ""))
        exp_letter = LETTER[model.expected]
        for row_number, mode in enumerate(args.modes):
            row_start = time.perf_counter()
            row = []
            for k in ks:
                if k == 0:
                    run = Run(**{**base_run.__dict__, "mode": mode})    # the same program in every mode
                else:
                    prob, _ = scaled(model.problem, mode, k)
                    run = run_one(model, prob, mode, k, args)
                    solver_seconds += run.seconds
                if run.status in OPTIMA and ref is not None:
                    factor = scaled_factor(mode, k)
                    run.obj_error = abs(run.objective - factor * ref) / (factor * max(1.0, abs(ref)))
                row.append(run)
                if args.verbose:
                    verbose_line(model, run)
            runs.extend(row)
            errs = [(r.obj_error, r.k) for r in row if np.isfinite(r.obj_error)]
            worst = max(errs) if errs else (math.nan, None)
            # The shared k = 0 run's time goes to the first mode's row.
            row_time = time.perf_counter() - row_start + (base_run.seconds if row_number == 0 else 0.0)
            print(f"{model.name:26s} {model.kind:6s} {exp_letter:4s} {mode:4s} "
                  f"{''.join(cell(r, model.expected) for r in row)} {fmt_err(worst[0])} "
                  f"{'' if worst[1] is None else worst[1]:>4} {max(r.iterations for r in row):5d} {row_time:6.1f}s",
                  flush=True)
    elapsed = time.perf_counter() - start
    expected = {m.name: m.expected for m in models}
    return summary(runs, expected, notes, elapsed, solver_seconds, args)


def _grouped(runs):
    """'model mode: k=-8 P, k=-7 p, ...' lines, one per (model, mode)."""
    groups = {}
    for r in runs:
        groups.setdefault((r.model, r.mode), []).append(r)
    return [f"    {model:26s} {mode:4s} " + ", ".join(f"k={r.k:+d} {r.status}" for r in rs)
            for (model, mode), rs in groups.items()]


def summary(runs, expected, notes, elapsed, solver_seconds, args):
    changes = [r for r in runs if r.status != expected[r.model]]
    false = [r for r in runs if r.false_cert]
    wrong = [r for r in runs if r.cert and r.verified is False]
    unverified = [r for r in runs if r.status in OPTIMA and r.verified is False]
    exceptions = [r for r in runs if r.status == "exception"]
    print(f"\n{len(runs)} runs in {elapsed:.1f}s ({solver_seconds:.1f}s in the solver; the k = 0 run of each model is "
          f"solved once and shown in every mode)")
    by_status = {}
    for r in changes:
        by_status[r.status] = by_status.get(r.status, 0) + 1
    print(f"status changes: {len(changes)}" + (" (" + ", ".join(f"{n} {s}" for s, n in sorted(by_status.items()))
                                               + ")" if changes else ""))
    print(f"false certificates (a certificate the model cannot have): {len(false)}")
    for line in _grouped(false):
        print(line)
    print(f"wrong certificates (failing the independent check, tolerance {TOL:g}, almost_ {TOL_ALMOST:g}): "
          f"{len(wrong)}")
    for line in _grouped(wrong):
        print(line)
    print(f"unverified optima (optimal/almost_optimal points failing the check): {len(unverified)}")
    for line in _grouped(unverified):
        print(line)
    print(f"exceptions: {len(exceptions)}")
    by_message = {}
    for r in exceptions:
        by_message.setdefault(r.message, []).append(r)
    for message, rs in by_message.items():
        where = ", ".join(f"{r.model} {r.mode} k={r.k:+d}" for r in rs[:6])
        where += f", ... ({len(rs)} runs)" if len(rs) > 6 else ""
        print(f"    {message[:300]}\n        in {where}")
    errs = [r for r in runs if np.isfinite(r.obj_error)]
    if errs:
        w = max(errs, key=lambda r: r.obj_error)
        big = sum(r.obj_error > 1e-6 for r in errs)
        print(f"objective error: worst {w.obj_error:.1e} ({w.model} {w.mode} k={w.k:+d} {w.status}); "
              f"{big} of {len(errs)} optimal runs above 1e-6")
    if args.verbose:
        print("references:")
        for line in notes:
            print(f"    {line}")
    else:
        missing = [n for n in notes if " = " not in n]
        for line in missing:
            print(f"no expected objective: {line}")
    bad = changes or false or wrong or unverified
    print(f"verdict: {'FAIL' if bad else 'ok'} (exit status {1 if bad else 0})")
    return 1 if bad else 0


if __name__ == "__main__":
    status = main()
    # Run in-process by another script (bench/run_all.py, which goes on to the next script),
    # the verdict is printed and the status returned without ending that process.
    if SINGLE_THREADED:
        sys.exit(status)
