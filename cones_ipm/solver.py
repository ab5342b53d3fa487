"""Primal–dual interior-point method (homogeneous self-dual embedding, NT scaling on symmetric cones and a primal–dual scaling on exponential cones, Mehrotra predictor–corrector) for min cᵀx s.t. Gx + s = h, Ax = b, s ∈ K, whose cone blocks come from the module."""
from __future__ import annotations

import dataclasses
import math
import time
from dataclasses import dataclass, field

import numpy as np
import scipy.sparse as sp

from .cones import ConeFailure, ConeProduct, family_order, make_arrays
from .kkt import Csr, FactorizationError, KktSystem, column_order, csr_matvec
from .problem import ConicProblem

OPTIMAL = "optimal"
ALMOST_OPTIMAL = "almost_optimal"
PRIMAL_INFEASIBLE = "primal_infeasible"
ALMOST_PRIMAL_INFEASIBLE = "almost_primal_infeasible"
DUAL_INFEASIBLE = "dual_infeasible"
ALMOST_DUAL_INFEASIBLE = "almost_dual_infeasible"
MAX_ITERATIONS = "max_iterations"
NUMERICAL_ERROR = "numerical_error"


@dataclass
class Settings:
    tol_feas: float = 1e-8      # primal and dual ∞-norm residuals relative to the data and the terms of their sums
    tol_gap: float = 1e-8       # max(|primal − dual objective|, s'z / 10) relative to max(floor, |objective|)
    # An infeasibility certificate's own residual relative to its separation (both measured
    # on the certificate's own terms, so independent of the scale of c, b, h and the matrix).
    tol_infeas: float = 1e-8
    # An iteration that cannot go on (step collapse, refused scaling, failed factorisation,
    # no progress) ends at the best iterate so far, "almost" solved if it meets these.
    reduced_tol_feas: float = 1e-4
    reduced_tol_gap: float = 5e-5
    reduced_tol_infeas: float = 5e-5
    max_iter: int = 200
    stall_iterations: int = 10   # iterations without halving the best merit end the run
    step_fraction: float = 0.99  # of the largest step to the boundary
    min_step: float = 1e-8       # a shorter step ends the run (at the best iterate)
    regularization: float = 1e-8  # static ε on the KKT diagonal (relative to unit scaling)
    refinement_steps: int = 10    # iterative refinement of each KKT solve against ε = 0, until
    refinement_reltol: float = 1e-14   # ‖residual‖∞ ≤ reltol ‖rhs‖∞ + abstol or no more decrease
    refinement_abstol: float = 1e-14   # (1e-13 and 1e-12 cost lovasz_theta 2 iterations)
    equilibrate: bool = True      # Ruiz equilibration of the constraint matrix
    equilibrate_iterations: int = 15
    equilibrate_bounds: tuple = (1e-4, 1e4)
    linear_solver: str = "auto"   # "pardiso" (MKL, if installed), "qdldl", "splu" (SuperLU), or "auto"
    corrector: bool = True        # Mehrotra's second-order term (third-order on exponential cones)
    # A combined step shorter than this is retried without the second-order terms (same
    # centring); the longer of the two steps is taken.
    retry_step: float = 0.1
    # Second-order cones of this dimension or more carry H⁻¹ as the module's sparse
    # expansion (two extra KKT rows per cone), smaller ones as dense blocks; None takes the
    # module's recommendation (SecondOrderCone.expansion_recommended, measured on a KKT
    # matrix whose cone rows each meet one variable). 8 is measured on the SOCP models
    # (bench/bench_solver.py --soc-expansion-min, bench/bench_endgame.py): dense
    # blocks of dimension 3 and 5 factor faster, from dimension 10 on the expansion does
    # (a dense block of 21 rows gave 15 times the fill and no convergence to 1e-8).
    soc_expansion_min: int | None = 8
    verbose: bool = False

    def __post_init__(self):
        self.validate()

    def validate(self):
        """ValueError naming the first setting outside its range (TypeError for a value
        of the wrong type)."""
        for name, check, allowed in _SETTING_RULES:
            value = getattr(self, name)
            ok = check(value)
            if ok is None:
                raise TypeError(f"setting {name} must be {allowed}, got {value!r}")
            if not ok:
                raise ValueError(f"setting {name} must be {allowed}, got {value!r}")


def _real(lo, hi, lo_open=True, hi_open=False):
    """Check of a finite real in an interval; None for a non-number."""
    def check(v):
        if isinstance(v, (bool, np.bool_)) or not isinstance(v, (int, float, np.integer, np.floating)):
            return None
        v = float(v)
        return (math.isfinite(v) and (v > lo if lo_open else v >= lo) and (v < hi if hi_open else v <= hi))
    return check


def _integer(lo, optional=False):
    def check(v):
        if v is None and optional:
            return True
        if isinstance(v, (bool, np.bool_)) or not isinstance(v, (int, np.integer)):
            return None
        return int(v) >= lo
    return check


def _flag(v):
    return True if isinstance(v, (bool, np.bool_)) else None


def _bounds(v):
    if not (isinstance(v, (tuple, list)) and len(v) == 2):
        return None
    lo, hi = v
    return bool(_real(0.0, 1.0)(lo)) and bool(_real(1.0, math.inf, lo_open=False, hi_open=True)(hi))


def _backend(v):
    return None if not isinstance(v, str) else v in ("auto", "qdldl", "pardiso", "splu")


_UNIT = "a finite number in (0, 1)"
_SETTING_RULES = (
    ("tol_feas", _real(0.0, 1.0, hi_open=True), _UNIT),
    ("tol_gap", _real(0.0, 1.0, hi_open=True), _UNIT),
    ("tol_infeas", _real(0.0, 1.0, hi_open=True), _UNIT),
    ("reduced_tol_feas", _real(0.0, 1.0, hi_open=True), _UNIT),
    ("reduced_tol_gap", _real(0.0, 1.0, hi_open=True), _UNIT),
    ("reduced_tol_infeas", _real(0.0, 1.0, hi_open=True), _UNIT),
    ("max_iter", _integer(0), "an integer >= 0"),
    ("stall_iterations", _integer(1), "an integer >= 1"),
    ("step_fraction", _real(0.0, 1.0), "a number in (0, 1]"),
    ("min_step", _real(0.0, 1.0, hi_open=True), _UNIT),
    ("regularization", _real(0.0, 1.0, lo_open=False, hi_open=True), "a finite number in [0, 1)"),
    ("refinement_steps", _integer(0), "an integer >= 0"),
    ("refinement_reltol", _real(0.0, 1.0, lo_open=False, hi_open=True), "a finite number in [0, 1)"),
    ("refinement_abstol", _real(0.0, 1.0, lo_open=False, hi_open=True), "a finite number in [0, 1)"),
    ("equilibrate", _flag, "True or False"),
    ("equilibrate_iterations", _integer(0), "an integer >= 0"),
    ("equilibrate_bounds", _bounds, "a pair (lo, hi) with 0 < lo <= 1 <= hi < inf"),
    ("linear_solver", _backend, "one of 'auto', 'qdldl', 'pardiso', 'splu'"),
    ("corrector", _flag, "True or False"),
    ("retry_step", _real(0.0, 1.0, lo_open=False), "a number in [0, 1]"),
    ("soc_expansion_min", _integer(1, optional=True), "None or an integer >= 1"),
    ("verbose", _flag, "True or False"),
)


@dataclass
class Result:
    status: str
    x: np.ndarray
    y: np.ndarray
    z: np.ndarray
    s: np.ndarray
    iterations: int
    primal_objective: float
    dual_objective: float
    primal_residual: float
    dual_residual: float
    gap: float
    solve_time: float
    message: str = ""
    history: list = field(default_factory=list)
    linear_solver: str = ""
    setup_time: float = 0.0
    device_copies: tuple = (0, 0)   # (host → device, device → host) vector copies of the run

    @property
    def objective(self):
        return self.primal_objective


# BLAS takes a dot product of more than 10⁴ entries to its threads, whose start-up costs
# more than the product (and far more on a loaded machine); longer products go in pieces.
_DOT_PIECE = 8192


def _dot(a, b):
    n = a.size
    if n <= _DOT_PIECE:
        return float(a @ b)
    return float(sum(a[k:k + _DOT_PIECE] @ b[k:k + _DOT_PIECE] for k in range(0, n, _DOT_PIECE)))


def _norm(v):
    return math.sqrt(_dot(v, v))


def _inf_norm(v):
    return float(np.abs(v).max()) if v.size else 0.0


def _stack_rows(parts):
    """Csr arrays (indptr, indices, data) of the rows `rows` of each (Csr, rows) in `parts`,
    stacked in order."""
    ptrs, idx, vals, total = [np.zeros(1, dtype=np.int64)], [], [], 0
    for mat, rows in parts:
        if not rows.size:
            continue
        ip = mat.indptr
        counts = ip[rows + 1] - ip[rows]
        ends = np.cumsum(counts)
        pos = np.repeat(ip[rows] - (ends - counts), counts) + np.arange(int(ends[-1]))
        ptrs.append(total + ends)
        idx.append(mat.indices[pos])
        vals.append(mat.data[pos])
        total += int(ends[-1])
    if not idx:
        return np.concatenate(ptrs), np.zeros(0, dtype=np.int64), np.zeros(0)
    return np.concatenate(ptrs), np.concatenate(idx).astype(np.int64), np.concatenate(vals).astype(np.float64)


def _row_blocks(cones):
    """Starts of the row groups that must share one row scale: every orthant row alone,
    every second-order and PSD cone as a whole and every exponential cone's three rows (a
    positive multiple keeps each of those cones invariant; different factors within one
    would map it onto another cone)."""
    starts, off = [], 0
    for cone in cones:
        if cone.kind == "nonnegative":
            starts.extend(range(off, off + cone.rows))
        elif cone.kind == "exp":
            starts.extend(range(off, off + cone.rows, 3))
        else:
            starts.append(off)
        off += cone.rows
    return np.asarray(starts, dtype=np.int64)


def _equilibrate(M, c, b, h, p, cones, settings):
    """Equilibration of the program: column scales d and row scales e of M = [A; G]
    (CSR) with diag(e) M diag(d) of unit ∞-norm rows and columns (approximately; Ruiz's
    iteration from the power of two nearest 1/max|M|, row scales constant over each block
    of `_row_blocks`, within the bounds around that start), a cost scale σ with ‖σ d c‖∞ = 1
    and a right-hand side scale ρ with ‖e (b, h)‖∞ = ρ. The scaled program (x = ρ D x̃,
    s = ρ E⁻¹ s̃, (y, z) = E (ỹ, z̃) / σ) then looks the same whatever scalar factors the
    cost, the right-hand sides and the matrix carry, and its regularisation and tolerances
    act on unit-sized data. Returns (d, e, σ, ρ, the scaled entries of M)."""
    rows, n = M.shape
    lo, hi = settings.equilibrate_bounds
    if not settings.equilibrate:
        return np.ones(n), np.ones(rows), 1.0, 1.0, M.data.copy()
    data = np.abs(M.data)
    top = data.max(initial=0.0)
    start = math.ldexp(1.0, -math.frexp(top)[1]) if top > 0 else 1.0
    d, e = np.full(n, start), np.ones(rows)
    data *= start
    starts = np.concatenate([np.arange(p), p + _row_blocks(cones)]).astype(np.int64)
    lengths = np.diff(np.append(starts, rows))
    blocks = starts.size < rows
    # |M| entries in row order, their rows and columns, and the column order (for maxima).
    row_of = np.repeat(np.arange(rows), np.diff(M.indptr))
    col_of = M.indices
    by_col = column_order(col_of, n)
    col_count = np.bincount(col_of, minlength=n)
    col_start = np.cumsum(col_count) - col_count
    full_rows = np.flatnonzero(np.diff(M.indptr) > 0)
    full_cols = np.flatnonzero(col_count > 0)
    row_start, col_start = M.indptr[full_rows], col_start[full_cols]
    # The maxima of empty rows and columns stay 1 (their scale factor 1); M holds no
    # explicit zeros, so every other maximum is positive.
    col, row = np.ones(n), np.ones(rows)
    for _ in range(settings.equilibrate_iterations):
        if full_cols.size:
            col[full_cols] = np.maximum.reduceat(data[by_col], col_start)
        if full_rows.size:
            row[full_rows] = np.maximum.reduceat(data, row_start)
        dd = 1.0 / np.sqrt(col)
        ee = 1.0 / np.sqrt(row)
        if blocks:
            ee = np.repeat(np.add.reduceat(ee, starts) / lengths, lengths)
        np.clip(dd, lo * start / d, hi * start / d, out=dd)
        np.clip(ee, lo / e, hi / e, out=ee)
        data *= ee[row_of] * dd[col_of]
        d *= dd
        e *= ee
        if np.abs(col - 1.0).max(initial=0.0) < 0.1 and np.abs(row - 1.0).max(initial=0.0) < 0.1:
            break
    cn = _inf_norm(d * c)
    sigma = 1.0 / cn if cn > 0 else 1.0
    rho = max(_inf_norm(e[:p] * b), _inf_norm(e[p:] * h))
    return d, e, sigma, (rho if rho > 0 else 1.0), M.data * e[row_of] * d[col_of]


class _Data:
    """The program as the iteration sees it: equalities A x = b first (the rows of A, then
    the rows of zero cones), the cone rows of G listed by `family_order`."""

    def __init__(self, prob):
        offs = prob.offsets()
        zero = [np.arange(o, o + c.rows) for c, o in offs if c.kind == "zero"]
        kept = [(c, o) for c, o in offs if c.kind != "zero"]
        order = family_order([c for c, _ in kept])
        self.cones = [kept[k][0] for k in order]
        def cat(ranges):
            return np.concatenate(ranges).astype(np.int64) if ranges else np.zeros(0, dtype=np.int64)

        zero_rows = cat(zero)
        kept_rows = cat([np.arange(o, o + c.rows) for c, o in kept])
        sorted_rows = cat([np.arange(kept[k][1], kept[k][1] + kept[k][0].rows) for k in order])
        # z and s are returned in the order of the kept rows.
        self.perm = None
        if not np.array_equal(kept_rows, sorted_rows):
            where = np.empty(prob.m, dtype=np.int64)
            where[kept_rows] = np.arange(kept_rows.size)
            self.perm = where[sorted_rows]
        self.n, self.p, self.m = prob.n, prob.p + zero_rows.size, sorted_rows.size
        G = Csr.of(prob.G)
        if prob.p == 0 and np.array_equal(np.concatenate([zero_rows, sorted_rows]), np.arange(prob.m)):
            M = G     # the rows already in order
        else:
            M = Csr(*_stack_rows([(Csr.of(prob.A), np.arange(prob.p)), (G, zero_rows), (G, sorted_rows)]),
                    (self.p + self.m, self.n))
        if not M.data.all():   # no explicit zeros
            keep = M.data != 0
            ptr = np.zeros(M.shape[0] + 1, dtype=np.int64)
            np.cumsum(np.bincount(M.row_of_entries()[keep], minlength=M.shape[0]), out=ptr[1:])
            M = Csr(ptr, M.indices[keep], M.data[keep], M.shape)
        self.M = M
        self._Mt = None
        self.c = prob.c
        self.b = np.concatenate([prob.b, prob.h[zero_rows]])
        self.h = prob.h[sorted_rows]

    @property
    def Mt(self):
        """The transpose of M (made on first use: only certificates need it)."""
        if self._Mt is None:
            self._Mt = self.M.transpose()
        return self._Mt


def solve(problem: ConicProblem, where: str = "host", settings: Settings | None = None, **overrides) -> Result:
    """Solve `problem`; the module's cone work runs on `where` ("host" or "device") arrays.

    Status: "optimal", "primal_infeasible" (then y, z certify it: Aᵀy + Gᵀz = 0,
    bᵀy + hᵀz = −1, z ∈ K*; x, s are NaN), "dual_infeasible" (x, s certify it: Ax = 0,
    Gx + s = 0, cᵀx = −1, s ∈ K; y, z are NaN), their "almost_" forms (met at the reduced
    tolerances when the iteration could not go on), "max_iterations" or
    "numerical_error" (with a message). A certificate's measure (‖residual‖ over its
    separation in the equilibrated program, rechecked on the original data) is reported
    as its residual. The rows of zero cones are equalities: their multipliers follow A's
    in y, and z, s leave them out. Settings are validated; `overrides` apply to a copy."""
    if settings is None:
        settings = Settings()
    elif not isinstance(settings, Settings):
        raise TypeError(f"settings must be a cones_ipm.Settings, got {type(settings).__name__}")
    for key in overrides:
        if key not in Settings.__dataclass_fields__:
            raise TypeError(f"unknown solver setting {key!r}")
    # A copy with the overrides (the caller's object is never written), validated.
    settings = dataclasses.replace(settings, **overrides)
    start = time.perf_counter()
    data = _Data(problem)
    n, m, p = data.n, data.m, data.p
    N0 = n + p + m
    if N0 == 0:   # no variables, equalities or cone rows: nothing to solve, optimal at 0
        empty = np.zeros(0)
        return Result(OPTIMAL, empty, empty, empty, empty, 0, 0.0, 0.0, 0.0, 0.0, 0.0,
                      time.perf_counter() - start, "empty program")

    # Equilibrated data: x = ρ D x̃, s = ρ E⁻¹ s̃, z = E z̃ / σ, y = E_A ỹ / σ.
    d, e, sigma, rho, scaled = _equilibrate(data.M, data.c, data.b, data.h, p, data.cones, settings)
    M = Csr(data.M.indptr, data.M.indices, scaled, data.M.shape)
    Mt = M.transpose()
    G = M.rows(p, p + m)
    eA, eG = e[:p], e[p:]
    c, b, h = sigma * d * data.c, eA * data.b / rho, eG * data.h / rho
    q = np.concatenate([c, b, h])          # the τ column of the residuals
    bh = q[n:]
    sign = np.concatenate([np.ones(n), -np.ones(p + m)])
    inv_d, inv_e = 1.0 / d, 1.0 / e
    inv_eG = inv_e[p:]
    bhinf, cinf = max(_inf_norm(data.b), _inf_norm(data.h)), _inf_norm(data.c)
    abs_M = Csr(M.indptr, M.indices, np.abs(M.data), M.shape)
    abs_Mt = Csr(Mt.indptr, Mt.indices, np.abs(Mt.data), Mt.shape)
    # The floors of the relative measures: 1 in the user's units (an absolute tolerance for
    # small quantities), or the data's own scale where that is smaller (‖(b, h)‖∞, ‖c‖∞
    # and the objective's natural size ρ/σ), so that data scaled down by any factor is
    # judged as it was before scaling.
    def floor(scale):
        return min(1.0, scale) if scale > 0 else 1.0

    bh_floor, c_floor, obj_floor = floor(bhinf), floor(cinf), floor(rho / sigma)

    arrays = make_arrays(where)
    K = ConeProduct(data.cones, arrays, settings.soc_expansion_min)
    e_K = K.identity
    sym = K.symmetric_mask
    nu = K.degree
    kkt = KktSystem(M, n, p, *K.pattern(), backend=settings.linear_solver, eps=settings.regularization,
                    refinement_steps=settings.refinement_steps, refinement_reltol=settings.refinement_reltol,
                    refinement_abstol=settings.refinement_abstol, Mt=Mt)
    K.bind(kkt.tail_indptr, kkt.tail_indices, kkt.cone_values)
    # The orthant's rows come first; H⁻¹ = diag(s/z) is their KKT diagonal.
    orthant = K.families[0].rows if K.families and K.families[0].kind == "nonnegative" else 0
    orthant_diagonal = kkt.diag_pos[n + p:n + p + orthant]
    N = kkt.N
    rhs = np.zeros(N)
    rhs_tau = np.zeros(N)
    rhs_tau[:N0] = sign * q                # (−K) u = (c, −b, −h): the τ column's system
    setup_time = time.perf_counter() - start
    history = []

    def unscaled(v, s, tau):
        """(x, y, z, s) in the original units, cone rows in the solver's order."""
        return rho * d * v[:n] / tau, eA * v[n:n + p] / (sigma * tau), eG * v[n + p:] / (sigma * tau), \
            rho * s * inv_eG / tau

    def user_order(z, s):
        if data.perm is None:
            return z, s
        z_out, s_out = np.empty(m), np.empty(m)
        z_out[data.perm], s_out[data.perm] = z, s
        return z_out, s_out

    def ray_recheck(primal, x, y, z, s):
        """The ray measure of `measures` recomputed from the original data for a ray in the
        original units (cone rows in the solver's order): the residual of its equations
        from the unscaled matrix, then weighed as the equilibrated program weighs it."""
        if primal:
            yz = np.concatenate([y, z])
            delta = -(_dot(data.b, y) + _dot(data.h, z))
            return rho * _inf_norm(d * csr_matvec(data.Mt, yz)) / delta if delta > 0 else np.inf
        r = csr_matvec(data.M, x)
        r[p:] += s
        delta = -_dot(data.c, x)
        return _inf_norm(e * r) / (sigma * delta) if delta > 0 else np.inf

    # measures() works in one buffer [r | Qv | s] (r the residuals, Qv = (Aᵀy + Gᵀz, −Ax,
    # −Gx)), whose entries in the original units give the ∞-norms as segment maxima.
    unscale = np.concatenate([inv_d, inv_e, inv_d, inv_e, inv_eG])
    lengths = np.array([n, p + m, n, p + m, m])
    seg_starts = np.concatenate([[0], np.cumsum(lengths)[:-1]])[lengths > 0]
    seg_of = np.cumsum(lengths > 0) - 1      # the reduceat entry of each segment
    all_segments = bool((lengths > 0).all())
    empty_segments = lengths == 0

    def measures(v, s, tau, kappa):
        """Residuals r = (rx, ry, rz) = (Aᵀy + Gᵀz + cτ, bτ − Ax, hτ − Gx − s), rt,
        objectives and the relative measures in the original units."""
        buf = np.empty(2 * N0 + m)
        r, Qv = buf[:N0], buf[N0:2 * N0]
        Qv.fill(0.0)
        x, yz = v[:n], v[n:]
        csr_matvec(Mt, yz, Qv[:n])
        csr_matvec(M, x, Qv[n:])
        Qv[n:] *= -1.0
        np.multiply(q, tau, out=r)
        r += Qv
        r[n + p:] -= s
        buf[2 * N0:] = s
        scaled = buf * unscale
        np.abs(scaled, out=scaled)
        if all_segments:
            inf_rx, inf_r, inf_Qx, inf_Mx, inf_s = np.maximum.reduceat(scaled, seg_starts).tolist()
        else:
            mx = np.maximum.reduceat(scaled, seg_starts)[seg_of] if seg_starts.size else np.zeros(5)
            mx[empty_segments] = 0.0
            inf_rx, inf_r, inf_Qx, inf_Mx, inf_s = mx.tolist()
        # The residuals are measured against the magnitudes of the terms of their sums,
        # |Aᵀ||y| + |Gᵀ||z| and |A||x|, |G||x| (not the sums themselves): a product whose
        # terms cancel cannot be computed, nor driven to zero, more accurately than its
        # terms allow (hinf2: Gᵀz of size 1 from terms of size 377).
        mag = np.zeros(N0)
        csr_matvec(abs_Mt, np.abs(yz), mag[:n])
        csr_matvec(abs_M, np.abs(x), mag[n:])
        if n:
            inf_Qx = max(inf_Qx, _inf_norm(mag[:n] * inv_d))
        if p + m:
            inf_Mx = max(inf_Mx, _inf_norm(mag[n:] * inv_e))
        cx, byhz = _dot(c, x), _dot(bh, yz)
        pres = rho * inf_r / tau / max(bh_floor, bhinf + rho * (inf_Mx + inf_s) / tau)
        dres = inf_rx / sigma / tau / max(c_floor, cinf + inf_Qx / sigma / tau)
        pobj, dobj = rho * cx / sigma / tau, -rho * byhz / sigma / tau
        sz = _dot(s, v[n + p:])
        # The duality gap of the unscaled iterate: the objective difference, and a tenth of
        # the complementarity s'z it equals at a feasible point. The objectives can agree
        # long before the point is optimal (PILOT4: to 7.5e-10 while 8.7e-6 off the optimum,
        # s'z 1.9e-5 of it), and s'z follows that error closely; a tenth of it lets the
        # last iterations of ill-conditioned programs end (control2: s'z stalls at 1.4e-8 of
        # the objective, which is right to 2e-9).
        gap = max(abs(pobj - dobj), 0.1 * rho * sz / sigma / (tau * tau)) / max(obj_floor, min(abs(pobj), abs(dobj)))
        # Rays (z ∈ K* and s ∈ K hold at every iterate): (y, z) certifies primal
        # infeasibility when Aᵀy + Gᵀz = 0 and bᵀy + hᵀz < 0, (x, s) dual infeasibility when
        # Ax = 0, Gx + s = 0 and cᵀx < 0. Measured in the equilibrated program (unit rows and
        # columns, ‖c̃‖∞ = ‖(b̃, h̃)‖∞ = 1) as ‖residual‖∞ / separation: a primal ray of measure
        # t shows that no x̃ with ‖x̃‖₁ < 1/t is feasible (rᵀx̃ = bᵀỹ + hᵀz̃ − z̃ᵀs̃ for a
        # feasible x̃), a dual ray that no dual point with ‖(ỹ, z̃)‖₁ < 1/t is, while points of
        # the program's natural size have entries of order 1. Scalar factors on c, (b, h)
        # or the matrix leave it unchanged.
        pinf = dinf = np.inf
        if byhz < 0:
            pinf = _inf_norm(Qv[:n]) / -byhz
        if cx < 0:
            dinf = max(_inf_norm(Qv[n:n + p]), _inf_norm(s - Qv[n + p:])) / -cx
        mu = (sz + tau * kappa) / (nu + 1)
        return dict(r=r, rt=-cx - byhz - kappa, pres=pres, dres=dres, pobj=pobj, dobj=dobj, gap=gap, pinf=pinf,
                    dinf=dinf, mu=mu)

    def outputs(status, state, meas):
        """(x, y, z, s, primal objective, dual objective, (residuals)) of an iterate in the
        user's units: a certificate's ray normalised to bᵀy + hᵀz = −1 or cᵀx = −1, with
        the other half NaN, and its ratio on the problem's own data as residual."""
        v, s, tau, kappa = state
        if status in (PRIMAL_INFEASIBLE, ALMOST_PRIMAL_INFEASIBLE):
            scale = -rho * _dot(bh, v[n:]) / sigma
            xs, ys, zs, ss = unscaled(v, s, 1.0)
            xs, ys, zs, ss = xs * np.nan, ys / scale, zs / scale, ss * np.nan
            resid, obj = (np.nan, ray_recheck(True, xs, ys, zs, ss), np.nan), np.inf
        elif status in (DUAL_INFEASIBLE, ALMOST_DUAL_INFEASIBLE):
            scale = -rho * _dot(c, v[:n]) / sigma
            xs, ys, zs, ss = unscaled(v, s, 1.0)
            xs, ys, zs, ss = xs / scale, ys * np.nan, zs * np.nan, ss / scale
            resid, obj = (ray_recheck(False, xs, ys, zs, ss), np.nan, np.nan), -np.inf
        else:
            xs, ys, zs, ss = unscaled(v, s, tau)
            resid, obj = (meas["pres"], meas["dres"], meas["gap"]), None
        zs, ss = user_order(zs, ss)
        if obj is None:
            return xs, ys, zs, ss, meas["pobj"], meas["dobj"], resid
        return xs, ys, zs, ss, obj, obj, resid

    def finish(status, state, iterations, msg="", meas=None):
        out = outputs(status, state, meas or measures(*state))
        return Result(status, *out[:4], iterations, out[4], out[5], *out[6], time.perf_counter() - start, msg,
                      history, kkt.backend.name, setup_time, (arrays.h2d, arrays.d2h))

    def verdict(meas, reduced, state, it):
        """The status that iterate `state` (number `it`) earns, or None. A certificate is
        never taken from the starting point, and only if it holds on the problem's own
        data too."""
        tf, tg, ti = ((settings.reduced_tol_feas, settings.reduced_tol_gap, settings.reduced_tol_infeas) if reduced
                      else (settings.tol_feas, settings.tol_gap, settings.tol_infeas))
        if meas["pres"] <= tf and meas["dres"] <= tf and meas["gap"] <= tg:
            return ALMOST_OPTIMAL if reduced else OPTIMAL
        if it == 0:
            return None
        for key, exact, almost in (("pinf", PRIMAL_INFEASIBLE, ALMOST_PRIMAL_INFEASIBLE),
                                   ("dinf", DUAL_INFEASIBLE, ALMOST_DUAL_INFEASIBLE)):
            status = almost if reduced else exact
            if meas[key] <= ti and outputs(status, state, meas)[6][0 if key == "dinf" else 1] <= ti:
                return status
        return None

    def prepare():
        """NT scaling of every family at the loaded point, H⁻¹ and the centring terms
        written by the module, and the factorisation."""
        K.scale_and_fill()
        kkt.factor()

    def shift_into_cone(v):
        """v if it is comfortably interior (smallest spectral value above √eps relative to
        its largest entry), else v + (1 + max(a, 0)) e with a = −(smallest spectral value);
        exponential cones start at their central point."""
        v = np.where(sym, v, e_K)
        a = -K.spectral_min(v)
        if a >= -np.sqrt(np.finfo(float).eps) * max(1.0, np.abs(v).max(initial=0.0)):
            v = v + (1.0 + max(a, 0.0)) * np.where(sym, e_K, 0.0)
        return v

    # Starting point: s = the least-squares slack, z = the least-norm dual point, both
    # shifted into the interior along the identity e.
    v, s = np.zeros(N0), e_K.copy()
    tau = kappa = 1.0
    it = 0
    meas = None
    # Rollback targets: the best iterate for optimality (by merit) and the best rays for
    # either certificate (by their ratio), each as (state, iteration).
    good, good_merit = None, np.inf
    rays, ray_ratio = {"pinf": None, "dinf": None}, {"pinf": np.inf, "dinf": np.inf}
    best_merit, best_mu, best_it = np.inf, np.inf, 0
    last_step = last_sigma = 0.0     # of the step that led to the iterate (verbose table)

    def rollback(fallback, message):
        """The run ends without a verdict at full accuracy: the best iterate for
        optimality, then the best rays, judged at the reduced tolerances; else `fallback`
        at the best iterate."""
        for cand in (good, rays["pinf"], rays["dinf"]):
            if cand is not None:
                status = verdict(measures(*cand[0]), True, *cand)
                if status is not None:
                    return finish(status, cand[0], it, message)
        return finish(fallback, good[0] if good is not None else (v, s, tau, kappa), it, message)

    try:
        kkt.set_identity_blocks()
        kkt.factor()
        rhs[:N0] = 0.0
        rhs[n:N0] = -bh
        u = kkt.solve(rhs)
        v[:n] = u[:n]
        s = shift_into_cone(-u[n + p:N0])
        rhs[:] = 0.0
        rhs[:n] = c
        u = kkt.solve(rhs)
        v[n:n + p] = u[n:n + p]
        v[n + p:] = shift_into_cone(u[n + p:N0])
        K.load_point(s, v[n + p:])
        prepare()

        for it in range(settings.max_iter + 1):
            meas = meas or measures(v, s, tau, kappa)
            history.append(dict(pobj=meas["pobj"], dobj=meas["dobj"], pres=meas["pres"], dres=meas["dres"],
                                gap=meas["gap"], mu=meas["mu"], it=it, tau=tau, kappa=kappa))
            if settings.verbose:
                if it == 0:
                    print(f"{'it':>3s} {'primal obj':>15s} {'dual obj':>15s} {'pres':>7s} {'dres':>7s} {'gap':>7s} "
                          f"{'pinf':>7s} {'dinf':>7s} {'tau':>7s} {'kappa':>7s} {'mu':>7s} {'step':>7s} {'sigma':>7s}")
                print(f"{it:3d} {meas['pobj']: .8e} {meas['dobj']: .8e} {meas['pres']:7.1e} {meas['dres']:7.1e} "
                      f"{meas['gap']:7.1e} {meas['pinf']:7.1e} {meas['dinf']:7.1e} {tau:7.1e} {kappa:7.1e} "
                      f"{meas['mu']:7.1e} {last_step:7.1e} {last_sigma:7.1e}")
            status = verdict(meas, False, (v, s, tau, kappa), it)
            if status is not None:
                return finish(status, (v, s, tau, kappa), it, meas=meas)
            mu = meas["mu"]
            if not np.isfinite(mu):
                raise ConeFailure("iterate is not finite")
            merit = max(meas["pres"], meas["dres"], meas["gap"])
            if good is None or merit <= good_merit:
                good, good_merit = ((v, s, tau, kappa), it), merit
            for key in rays:
                if it > 0 and meas[key] < ray_ratio[key]:
                    rays[key], ray_ratio[key] = ((v, s, tau, kappa), it), meas[key]
            if merit < 0.5 * best_merit or mu < 0.5 * best_mu:
                best_merit, best_mu, best_it = min(merit, best_merit), min(mu, best_mu), it
            if it == settings.max_iter:
                return rollback(MAX_ITERATIONS, f"iteration limit {settings.max_iter} reached")
            if it - best_it >= settings.stall_iterations:
                raise ConeFailure(f"no progress in {settings.stall_iterations} iterations")
            r, rt = meas["r"], meas["rt"]
            rz = r[n + p:]

            u1 = kkt.solve(rhs_tau)
            q1 = _dot(q, u1[:N0])

            def direction(eta, ds_target, dk_target):
                """Newton step for residual reduction (1 − eta) and the complementarity
                targets ds + H⁻¹dz = ds_target, κ dτ + τ dκ = dk_target: the bordered system
                (−K) du − dτ (c, −b, −h) = rhs, −qᵀdu + (κ/τ) dτ = −η rt + dk_target/τ, solved
                by eliminating dτ through u1 = (−K)⁻¹(c, −b, −h) and refined against the
                bordered matrix itself. u1 is the least accurate solve of an iteration (its
                right-hand side has a large part along the nearly singular directions of K
                late in a run); refining the pair (du, dτ) keeps its error out of the step."""
                np.multiply(sign, r, out=rhs[:N0])
                if eta != 1.0:
                    rhs[:N0] *= eta
                rhs[n + p:N0] += ds_target
                t_rhs = -eta * rt + dk_target / tau
                pivot = kappa / tau - q1
                du = kkt.solve(rhs)
                dtau = (t_rhs + _dot(q, du[:N0])) / pivot
                du += dtau * u1
                res_norm, bound = np.inf, settings.refinement_reltol * max(_inf_norm(rhs), abs(t_rhs))
                for _ in range(settings.refinement_steps):
                    r1 = rhs - kkt.matvec_unregularized(du)
                    r1 += dtau * rhs_tau
                    r2 = t_rhs + _dot(q, du[:N0]) - kappa / tau * dtau
                    new_norm = max(_inf_norm(r1), abs(r2))
                    if not new_norm < res_norm:
                        du, dtau = last
                        break
                    res_norm, last = new_norm, (du, dtau)
                    if res_norm <= bound:
                        break
                    c0 = kkt.solve(r1)
                    dt = (r2 + _dot(q, c0[:N0])) / pivot
                    du, dtau = du + c0 + dt * u1, dtau + dt
                du = du[:N0]
                ds = h * dtau + eta * rz - csr_matvec(G, du[:n])
                # Orthant rows: the slack step from the linearised complementarity
                # ds = target − (s/z) dz instead (equal in exact arithmetic): it keeps the
                # relative accuracy of a slack on its way to 0 (an active bound, s/z tiny),
                # where G dx carries an absolute error as large as that slack (steps then
                # collapse by the step fraction per iteration). On the other cones the
                # primal form keeps the primal residual exact, which they need.
                if orthant:
                    ds[:orthant] = ds_target[:orthant] - kkt.values[orthant_diagonal] * du[n + p:n + p + orthant]
                dkappa = (dk_target - kappa * dtau) / tau
                return du, ds, dtau, dkappa

            def max_step(du, ds, dtau, dkappa):
                """Largest step keeping τ, κ positive and the point in K × K* (exact ratios
                on symmetric cones, then backtracking into the exponential cones' interiors
                from that step)."""
                alpha = np.inf
                if dtau < 0:
                    alpha = min(alpha, -tau / dtau)
                if dkappa < 0:
                    alpha = min(alpha, -kappa / dkappa)
                K.load_direction(ds, du[n + p:])
                return K.max_step(alpha)

            # Predictor (affine scaling): ds + H⁻¹dz = −s, κ dτ + τ dκ = −τκ.
            aff = direction(1.0, -s, -tau * kappa)
            alpha_aff = min(1.0, max_step(*aff))
            sigma_c = (1.0 - alpha_aff) ** 3

            # Corrector: ds + H⁻¹dz = −s + σμ c_K − r_K per family in s-space (symmetric
            # cones: c_K = Wᵀ(λ \ e), r_K = Wᵀ(λ \ ((W⁻ᵀds_a)∘(W dz_a))), the NT scaled
            # variables λ = W z = W⁻ᵀ s, WᵀW = H⁻¹; exponential cones: c_K = s̃, the shadow
            # point, r_K = −H⁻¹η, η the third-order term); κ dτ + τ dκ = −τκ + σμ − dτ_a dκ_a.
            centred, centred_k = sigma_c * mu * K.centring - s, -tau * kappa + sigma_c * mu
            if settings.corrector:
                step = direction(1.0 - sigma_c, centred - K.correction(), centred_k - aff[2] * aff[3])
                alpha = min(1.0, settings.step_fraction * max_step(*step))
                if alpha < settings.retry_step:
                    # Retry without the second-order terms; keep the longer step.
                    plain = direction(1.0 - sigma_c, centred, centred_k)
                    alpha_plain = min(1.0, settings.step_fraction * max_step(*plain))
                    if alpha_plain > alpha:
                        step, alpha = plain, alpha_plain
                    if alpha < settings.retry_step:
                        # Still blocked (the point has lost the central path, as late
                        # iterations of SDPs can): a pure centring step, σ = 1, residuals
                        # kept (truss5: 28 iterations instead of a stall at 19).
                        centre = direction(0.0, mu * K.centring - s, -tau * kappa + mu)
                        alpha_centre = min(1.0, settings.step_fraction * max_step(*centre))
                        if alpha_centre > alpha:
                            step, alpha = centre, alpha_centre
            else:
                step = direction(1.0 - sigma_c, centred, centred_k)
                alpha = min(1.0, settings.step_fraction * max_step(*step))
            du, ds, dtau, dkappa = step
            # Shorten the step until the new point is strictly interior (rounding can put
            # a point computed at the boundary's edge just outside) and its scaling and
            # factorisation succeed (the next iteration's work, done here so that a
            # refusal costs a shorter step rather than the run).
            refusal = None
            for _ in range(30):
                if alpha < settings.min_step:
                    raise ConeFailure(f"step length collapsed to {alpha:.1e}" + (f" ({refusal})" if refusal else ""))
                tn, kn = tau + alpha * dtau, kappa + alpha * dkappa
                if tn > 0 and kn > 0:
                    vn, sn = v + alpha * du, s + alpha * ds
                    K.load_point(sn, vn[n + p:])
                    if K.interior():
                        meas = measures(vn, sn, tn, kn)
                        if verdict(meas, False, (vn, sn, tn, kn), it + 1) is not None:
                            break  # the run ends at this point: no system to prepare
                        try:
                            prepare()
                            break
                        except (ConeFailure, FactorizationError) as err:
                            refusal = f"{type(err).__name__}: {err}"
                alpha *= 0.5
            else:
                raise ConeFailure("no interior point along the step")
            v, s, tau, kappa = vn, sn, tn, kn
            last_step, last_sigma = alpha, sigma_c
    except (ConeFailure, FactorizationError, np.linalg.LinAlgError, ZeroDivisionError, FloatingPointError) as err:
        # Roll back to the best iterate; it may meet the reduced tolerances.
        return rollback(NUMERICAL_ERROR, f"{type(err).__name__}: {err}")
