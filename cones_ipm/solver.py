"""Primal–dual interior-point method (homogeneous self-dual embedding, NT scaling on symmetric cones and a primal–dual scaling on exponential cones, Mehrotra predictor–corrector) for min cᵀx s.t. Gx + s = h, Ax = b, s ∈ K, whose cone blocks come from the module.

Reading order: the statuses and the records a run passes around (measures of an iterate,
the iterate, a Newton direction), the program as the iteration sees it and its
equilibration, then `solve` and the run it drives (`InteriorPointRun`), whose methods are
the stages of the iteration in the order they happen."""
from __future__ import annotations

import dataclasses
import enum
import math
import time
from dataclasses import dataclass, field
from typing import NamedTuple

import numpy as np

from .cones import ConeFailure, ConeProduct, family_of, family_order, make_arrays
from .kkt import Csr, FactorizationError, KktSystem, column_order, csr_matvec
from .problem import ConicProblem
from .settings import Settings

__all__ = ["Status", "Settings", "Result", "solve", "OPTIMAL", "ALMOST_OPTIMAL", "PRIMAL_INFEASIBLE",
           "ALMOST_PRIMAL_INFEASIBLE", "DUAL_INFEASIBLE", "ALMOST_DUAL_INFEASIBLE", "MAX_ITERATIONS",
           "NUMERICAL_ERROR"]


class Status(enum.StrEnum):
    """How a run ended (a str: compares and prints as its value)."""
    OPTIMAL = "optimal"
    ALMOST_OPTIMAL = "almost_optimal"
    PRIMAL_INFEASIBLE = "primal_infeasible"
    ALMOST_PRIMAL_INFEASIBLE = "almost_primal_infeasible"
    DUAL_INFEASIBLE = "dual_infeasible"
    ALMOST_DUAL_INFEASIBLE = "almost_dual_infeasible"
    MAX_ITERATIONS = "max_iterations"
    NUMERICAL_ERROR = "numerical_error"


OPTIMAL = Status.OPTIMAL
ALMOST_OPTIMAL = Status.ALMOST_OPTIMAL
PRIMAL_INFEASIBLE = Status.PRIMAL_INFEASIBLE
ALMOST_PRIMAL_INFEASIBLE = Status.ALMOST_PRIMAL_INFEASIBLE
DUAL_INFEASIBLE = Status.DUAL_INFEASIBLE
ALMOST_DUAL_INFEASIBLE = Status.ALMOST_DUAL_INFEASIBLE
MAX_ITERATIONS = Status.MAX_ITERATIONS
NUMERICAL_ERROR = Status.NUMERICAL_ERROR


@dataclass
class Result:
    status: Status
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


class Iterate(NamedTuple):
    """A point of the embedding: v = (x, y, z), the slack s, τ and κ (equilibrated units)."""
    v: np.ndarray
    s: np.ndarray
    tau: float
    kappa: float


class Direction(NamedTuple):
    """A Newton direction (du over all KKT rows but the extra ones, ds, dτ, dκ)."""
    du: np.ndarray
    ds: np.ndarray
    dtau: float
    dkappa: float


@dataclass(slots=True)
class Measures:
    """What the iteration knows of an iterate (`InteriorPointRun.measures`): the residuals
    r = (rx, ry, rz) and rt (equilibrated units), the relative primal and dual residuals, the
    objectives and the relative gap in the user's units, the measures of the two
    infeasibility certificates (∞ where there is no ray) and μ."""
    r: np.ndarray
    rt: float
    pres: float
    dres: float
    pobj: float
    dobj: float
    gap: float
    pinf: float
    dinf: float
    mu: float


# BLAS takes a dot product of more than 10⁴ entries to its threads, whose start-up costs
# more than the product (and far more on a loaded machine); longer products go in pieces.
_DOT_PIECE = 8192


def _dot(a, b):
    n = a.size
    if n <= _DOT_PIECE:
        return float(a @ b)
    return float(sum(a[k:k + _DOT_PIECE] @ b[k:k + _DOT_PIECE] for k in range(0, n, _DOT_PIECE)))


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


def _floor(scale):
    """The floor of a relative measure: 1 in the user's units (an absolute tolerance for
    small quantities), or the data's own scale where that is smaller, so that data scaled
    down by any factor is judged as it was before scaling."""
    return min(1.0, scale) if scale > 0 else 1.0


def _row_blocks(cones):
    """Starts of the row groups that must share one row scale: every orthant row alone,
    every second-order and PSD cone as a whole and every exponential cone's three rows (a
    positive multiple keeps each of those cones invariant; different factors within one
    would map it onto another cone)."""
    starts, off = [], 0
    for cone in cones:
        starts.extend(range(off, off + cone.rows, family_of(cone.kind).scale_rows or cone.rows))
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
        tol = settings.equilibrate_tolerance
        if np.abs(col - 1.0).max(initial=0.0) < tol and np.abs(row - 1.0).max(initial=0.0) < tol:
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
    if data.n + data.p + data.m == 0:   # no variables, equalities or cone rows: nothing to solve, optimal at 0
        empty = np.zeros(0)
        return Result(Status.OPTIMAL, empty, empty, empty, empty, 0, 0.0, 0.0, 0.0, 0.0, 0.0,
                      time.perf_counter() - start, "empty program")
    return InteriorPointRun(data, where, settings, start).run()


class InteriorPointRun:
    """One run of the iteration on one program: the equilibrated data, the cone product and
    the KKT system set up for it, the current iterate and the rollback targets, and the
    stages of an iteration as methods in the order they happen."""

    # -- set-up: equilibration, the cone product, the KKT system --------------------------------
    def __init__(self, data: _Data, where: str, settings: Settings, start: float):
        self.settings, self.start, self.data = settings, start, data
        n, m, p = data.n, data.m, data.p
        N0 = n + p + m
        self.n, self.m, self.p, self.N0 = n, m, p, N0

        # Equilibrated data: x = ρ D x̃, s = ρ E⁻¹ s̃, z = E z̃ / σ, y = E_A ỹ / σ.
        d, e, sigma, rho, scaled = _equilibrate(data.M, data.c, data.b, data.h, p, data.cones, settings)
        self.d, self.e, self.sigma, self.rho = d, e, sigma, rho
        M = self.M = Csr(data.M.indptr, data.M.indices, scaled, data.M.shape)
        Mt = self.Mt = M.transpose()
        self.G = M.rows(p, p + m)
        self.eA, self.eG = e[:p], e[p:]
        self.c, self.b, self.h = sigma * d * data.c, self.eA * data.b / rho, self.eG * data.h / rho
        self.q = q = np.concatenate([self.c, self.b, self.h])          # the τ column of the residuals
        self.bh = q[n:]
        self.sign = np.concatenate([np.ones(n), -np.ones(p + m)])
        inv_d, inv_e = 1.0 / d, 1.0 / e
        self.inv_d, self.inv_e = inv_d, inv_e
        self.inv_eG = inv_e[p:]
        self.bhinf, self.cinf = max(_inf_norm(data.b), _inf_norm(data.h)), _inf_norm(data.c)
        self.abs_M = Csr(M.indptr, M.indices, np.abs(M.data), M.shape)
        self.abs_Mt = Csr(Mt.indptr, Mt.indices, np.abs(Mt.data), Mt.shape)
        # The floors of the relative measures (`_floor`): ‖(b, h)‖∞, ‖c‖∞ and the objective's
        # natural size ρ/σ.
        self.bh_floor, self.c_floor, self.obj_floor = _floor(self.bhinf), _floor(self.cinf), _floor(rho / sigma)

        self.arrays = make_arrays(where)
        K = self.K = ConeProduct(data.cones, self.arrays, settings.soc_expansion_min, settings.exp_cone)
        self.e_K = K.identity
        self.sym = K.symmetric_mask
        self.nu = K.degree
        kkt = self.kkt = KktSystem(M, n, p, *K.pattern(), backend=settings.linear_solver,
                                   eps=settings.regularization, refinement_steps=settings.refinement_steps,
                                   refinement_reltol=settings.refinement_reltol,
                                   refinement_abstol=settings.refinement_abstol, Mt=Mt, settings=settings.kkt)
        K.bind(kkt.tail_indptr, kkt.tail_indices, kkt.cone_values)
        # The orthant's rows come first; H⁻¹ = diag(s/z) is their KKT diagonal.
        self.orthant = K.families[0].rows if K.families and K.families[0].kind == "nonnegative" else 0
        self.orthant_diagonal = kkt.diag_pos[n + p:n + p + self.orthant]
        self.rhs = np.zeros(kkt.N)
        self.rhs_tau = np.zeros(kkt.N)
        self.rhs_tau[:N0] = self.sign * q         # (−K) u = (c, −b, −h): the τ column's system

        # `measures` works in one buffer [r | Qv | s] (r the residuals, Qv = (Aᵀy + Gᵀz, −Ax,
        # −Gx)), whose entries in the original units give the ∞-norms as segment maxima.
        self.unscale = np.concatenate([inv_d, inv_e, inv_d, inv_e, self.inv_eG])
        lengths = np.array([n, p + m, n, p + m, m])
        self.seg_starts = np.concatenate([[0], np.cumsum(lengths)[:-1]])[lengths > 0]
        self.seg_of = np.cumsum(lengths > 0) - 1      # the reduceat entry of each segment
        self.all_segments = bool((lengths > 0).all())
        self.empty_segments = lengths == 0
        self.setup_time = time.perf_counter() - start

        # The run's state: the iterate, its measures, the iteration number, the table of
        # past iterates, and the rollback targets: the best iterate for optimality (by merit)
        # and the best rays for either certificate (by their ratio), each as (iterate,
        # iteration), and the last progress (the best merit or μ falling by `stall_progress`).
        self.point: Iterate | None = None
        self.meas: Measures | None = None
        self.it = 0
        self.history = []
        self.good, self.good_merit = None, np.inf
        self.rays, self.ray_ratio = {"pinf": None, "dinf": None}, {"pinf": np.inf, "dinf": np.inf}
        self.best_merit, self.best_mu, self.best_it = np.inf, np.inf, 0
        self.last_step = self.last_sigma = 0.0     # of the step that led to the iterate (verbose table)

    # -- the iteration ------------------------------------------------------------------------
    def run(self) -> Result:
        """From the starting point: measure the iterate and judge it, then take a
        predictor–corrector step to the next, until a verdict, the iteration limit or a
        failure (which rolls back to the best iterate)."""
        settings = self.settings
        try:
            self.starting_point()
            for it in range(settings.max_iter + 1):
                self.it = it
                if self.meas is None:
                    self.meas = self.measures(self.point)
                meas = self.meas
                self.record(meas)
                status = self.verdict(meas, False, self.point, it)
                if status is not None:
                    return self.finish(status, self.point, meas=meas)
                self.track(meas)
                if it == settings.max_iter:
                    return self.rollback(Status.MAX_ITERATIONS, f"iteration limit {settings.max_iter} reached")
                if it - self.best_it >= settings.stall_iterations:
                    raise ConeFailure(f"no progress in {settings.stall_iterations} iterations")
                self.newton_system(meas)
                affine, alpha_affine = self.predictor()
                sigma = self.centring(alpha_affine)
                step, alpha = self.corrector(affine, sigma, meas.mu)
                self.take_step(step, alpha, sigma)
        except (ConeFailure, FactorizationError, np.linalg.LinAlgError, ZeroDivisionError, FloatingPointError) as err:
            # Roll back to the best iterate; it may meet the reduced tolerances.
            return self.rollback(Status.NUMERICAL_ERROR, f"{type(err).__name__}: {err}")

    # -- starting point -----------------------------------------------------------------------
    def starting_point(self):
        """s = the least-squares slack, z = the least-norm dual point, both shifted into the
        interior along the identity e; τ = κ = 1. The point is loaded and prepared."""
        n, p, N0, kkt, rhs = self.n, self.p, self.N0, self.kkt, self.rhs
        v, s = np.zeros(N0), self.e_K.copy()
        self.point = Iterate(v, s, 1.0, 1.0)
        kkt.set_identity_blocks()
        kkt.factor()
        rhs[:N0] = 0.0
        rhs[n:N0] = -self.bh
        u = kkt.solve(rhs)
        v[:n] = u[:n]
        s = self.shift_into_cone(-u[n + p:N0])
        self.point = Iterate(v, s, 1.0, 1.0)
        rhs[:] = 0.0
        rhs[:n] = self.c
        u = kkt.solve(rhs)
        v[n:n + p] = u[n:n + p]
        v[n + p:] = self.shift_into_cone(u[n + p:N0])
        self.K.load_point(s, v[n + p:])
        self.prepare()

    def shift_into_cone(self, v):
        """v if it is comfortably interior (smallest spectral value above √eps relative to
        its largest entry), else v + (1 + max(a, 0)) e with a = −(smallest spectral value);
        exponential cones start at their central point."""
        sym, e_K = self.sym, self.e_K
        v = np.where(sym, v, e_K)
        a = -self.K.spectral_min(v)
        if a >= -np.sqrt(np.finfo(float).eps) * max(1.0, np.abs(v).max(initial=0.0)):
            v = v + (1.0 + max(a, 0.0)) * np.where(sym, e_K, 0.0)
        return v

    # -- residuals and measures ---------------------------------------------------------------
    def measures(self, point: Iterate) -> Measures:
        """Residuals r = (rx, ry, rz) = (Aᵀy + Gᵀz + cτ, bτ − Ax, hτ − Gx − s), rt,
        objectives and the relative measures in the original units."""
        v, s, tau, kappa = point
        n, p, m, N0 = self.n, self.p, self.m, self.N0
        rho, sigma = self.rho, self.sigma
        buf = np.empty(2 * N0 + m)
        r, Qv = buf[:N0], buf[N0:2 * N0]
        Qv.fill(0.0)
        x, yz = v[:n], v[n:]
        csr_matvec(self.Mt, yz, Qv[:n])
        csr_matvec(self.M, x, Qv[n:])
        Qv[n:] *= -1.0
        np.multiply(self.q, tau, out=r)
        r += Qv
        r[n + p:] -= s
        buf[2 * N0:] = s
        scaled = buf * self.unscale
        np.abs(scaled, out=scaled)
        if self.all_segments:
            inf_rx, inf_r, inf_Qx, inf_Mx, inf_s = np.maximum.reduceat(scaled, self.seg_starts).tolist()
        else:
            mx = np.maximum.reduceat(scaled, self.seg_starts)[self.seg_of] if self.seg_starts.size else np.zeros(5)
            mx[self.empty_segments] = 0.0
            inf_rx, inf_r, inf_Qx, inf_Mx, inf_s = mx.tolist()
        # The residuals are measured against the magnitudes of the terms of their sums,
        # |Aᵀ||y| + |Gᵀ||z| and |A||x|, |G||x| (not the sums themselves): a product whose
        # terms cancel cannot be computed, nor driven to zero, more accurately than its
        # terms allow (hinf2: Gᵀz of size 1 from terms of size 377).
        mag = np.zeros(N0)
        csr_matvec(self.abs_Mt, np.abs(yz), mag[:n])
        csr_matvec(self.abs_M, np.abs(x), mag[n:])
        if n:
            inf_Qx = max(inf_Qx, _inf_norm(mag[:n] * self.inv_d))
        if p + m:
            inf_Mx = max(inf_Mx, _inf_norm(mag[n:] * self.inv_e))
        cx, byhz = _dot(self.c, x), _dot(self.bh, yz)
        bhinf, cinf = self.bhinf, self.cinf
        pres = rho * inf_r / tau / max(self.bh_floor, bhinf + rho * (inf_Mx + inf_s) / tau)
        dres = inf_rx / sigma / tau / max(self.c_floor, cinf + inf_Qx / sigma / tau)
        pobj, dobj = rho * cx / sigma / tau, -rho * byhz / sigma / tau
        sz = _dot(s, v[n + p:])
        # The duality gap of the unscaled iterate: the objective difference, and a tenth of
        # the complementarity s'z it equals at a feasible point. The objectives can agree
        # long before the point is optimal (PILOT4: to 7.5e-10 while 8.7e-6 off the optimum,
        # s'z 1.9e-5 of it), and s'z follows that error closely; a tenth of it lets the
        # last iterations of ill-conditioned programs end (control2: s'z stalls at 1.4e-8 of
        # the objective, which is right to 2e-9).
        gap = max(abs(pobj - dobj), self.settings.gap_complementarity * rho * sz / sigma / (tau * tau)) \
            / max(self.obj_floor, min(abs(pobj), abs(dobj)))
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
        mu = (sz + tau * kappa) / (self.nu + 1)
        return Measures(r=r, rt=-cx - byhz - kappa, pres=pres, dres=dres, pobj=pobj, dobj=dobj, gap=gap, pinf=pinf,
                        dinf=dinf, mu=mu)

    def record(self, meas: Measures):
        """The iterate's line in the history (and in the verbose table)."""
        it, (_, _, tau, kappa) = self.it, self.point
        self.history.append(dict(pobj=meas.pobj, dobj=meas.dobj, pres=meas.pres, dres=meas.dres,
                                 gap=meas.gap, mu=meas.mu, it=it, tau=tau, kappa=kappa))
        if self.settings.verbose:
            if it == 0:
                print(f"{'it':>3s} {'primal obj':>15s} {'dual obj':>15s} {'pres':>7s} {'dres':>7s} {'gap':>7s} "
                      f"{'pinf':>7s} {'dinf':>7s} {'tau':>7s} {'kappa':>7s} {'mu':>7s} {'step':>7s} {'sigma':>7s}")
            print(f"{it:3d} {meas.pobj: .8e} {meas.dobj: .8e} {meas.pres:7.1e} {meas.dres:7.1e} "
                  f"{meas.gap:7.1e} {meas.pinf:7.1e} {meas.dinf:7.1e} {tau:7.1e} {kappa:7.1e} "
                  f"{meas.mu:7.1e} {self.last_step:7.1e} {self.last_sigma:7.1e}")

    # -- termination --------------------------------------------------------------------------
    def verdict(self, meas: Measures, reduced: bool, point: Iterate, it: int) -> Status | None:
        """The status that iterate `point` (number `it`) earns, or None. A certificate is
        never taken from the starting point, and only if it holds on the problem's own
        data too."""
        settings = self.settings
        tf, tg, ti = ((settings.reduced_tol_feas, settings.reduced_tol_gap, settings.reduced_tol_infeas) if reduced
                      else (settings.tol_feas, settings.tol_gap, settings.tol_infeas))
        if meas.pres <= tf and meas.dres <= tf and meas.gap <= tg:
            return Status.ALMOST_OPTIMAL if reduced else Status.OPTIMAL
        if it == 0:
            return None
        for key, exact, almost in (("pinf", Status.PRIMAL_INFEASIBLE, Status.ALMOST_PRIMAL_INFEASIBLE),
                                   ("dinf", Status.DUAL_INFEASIBLE, Status.ALMOST_DUAL_INFEASIBLE)):
            status = almost if reduced else exact
            if getattr(meas, key) <= ti and self.outputs(status, point, meas)[6][0 if key == "dinf" else 1] <= ti:
                return status
        return None

    def track(self, meas: Measures):
        """Note the iterate as a rollback target if it is the best so far for optimality or
        for either certificate, and whether it makes progress."""
        point, it, mu = self.point, self.it, meas.mu
        if not np.isfinite(mu):
            raise ConeFailure("iterate is not finite")
        merit = max(meas.pres, meas.dres, meas.gap)
        if self.good is None or merit <= self.good_merit:
            self.good, self.good_merit = (point, it), merit
        for key in self.rays:
            if it > 0 and getattr(meas, key) < self.ray_ratio[key]:
                self.rays[key], self.ray_ratio[key] = (point, it), getattr(meas, key)
        progress = self.settings.stall_progress
        if merit < progress * self.best_merit or mu < progress * self.best_mu:
            self.best_merit, self.best_mu, self.best_it = min(merit, self.best_merit), min(mu, self.best_mu), it

    def outputs(self, status: Status, point: Iterate, meas: Measures | None):
        """(x, y, z, s, primal objective, dual objective, (residuals)) of an iterate in the
        user's units: a certificate's ray normalised to bᵀy + hᵀz = −1 or cᵀx = −1, with
        the other half NaN, and its ratio on the problem's own data as residual."""
        v, s, tau, kappa = point
        n, rho, sigma = self.n, self.rho, self.sigma
        if status in (Status.PRIMAL_INFEASIBLE, Status.ALMOST_PRIMAL_INFEASIBLE):
            scale = -rho * _dot(self.bh, v[n:]) / sigma
            xs, ys, zs, ss = self.unscaled(v, s, 1.0)
            xs, ys, zs, ss = xs * np.nan, ys / scale, zs / scale, ss * np.nan
            resid, obj = (np.nan, self.ray_recheck(True, xs, ys, zs, ss), np.nan), np.inf
        elif status in (Status.DUAL_INFEASIBLE, Status.ALMOST_DUAL_INFEASIBLE):
            scale = -rho * _dot(self.c, v[:n]) / sigma
            xs, ys, zs, ss = self.unscaled(v, s, 1.0)
            xs, ys, zs, ss = xs / scale, ys * np.nan, zs * np.nan, ss / scale
            resid, obj = (self.ray_recheck(False, xs, ys, zs, ss), np.nan, np.nan), -np.inf
        else:
            xs, ys, zs, ss = self.unscaled(v, s, tau)
            resid, obj = (meas.pres, meas.dres, meas.gap), None
        zs, ss = self.user_order(zs, ss)
        if obj is None:
            return xs, ys, zs, ss, meas.pobj, meas.dobj, resid
        return xs, ys, zs, ss, obj, obj, resid

    def unscaled(self, v, s, tau):
        """(x, y, z, s) in the original units, cone rows in the solver's order."""
        n, p, rho, sigma, d = self.n, self.p, self.rho, self.sigma, self.d
        return rho * d * v[:n] / tau, self.eA * v[n:n + p] / (sigma * tau), self.eG * v[n + p:] / (sigma * tau), \
            rho * s * self.inv_eG / tau

    def user_order(self, z, s):
        perm, m = self.data.perm, self.m
        if perm is None:
            return z, s
        z_out, s_out = np.empty(m), np.empty(m)
        z_out[perm], s_out[perm] = z, s
        return z_out, s_out

    def ray_recheck(self, primal, x, y, z, s):
        """The ray measure of `measures` recomputed from the original data for a ray in the
        original units (cone rows in the solver's order): the residual of its equations
        from the unscaled matrix, then weighed as the equilibrated program weighs it."""
        data = self.data
        if primal:
            yz = np.concatenate([y, z])
            delta = -(_dot(data.b, y) + _dot(data.h, z))
            return self.rho * _inf_norm(self.d * csr_matvec(data.Mt, yz)) / delta if delta > 0 else np.inf
        r = csr_matvec(data.M, x)
        r[self.p:] += s
        delta = -_dot(data.c, x)
        return _inf_norm(self.e * r) / (self.sigma * delta) if delta > 0 else np.inf

    def finish(self, status: Status, point: Iterate, msg: str = "", meas: Measures | None = None) -> Result:
        out = self.outputs(status, point, meas if meas is not None else self.measures(point))
        return Result(status, *out[:4], self.it, out[4], out[5], *out[6], time.perf_counter() - self.start, msg,
                      self.history, self.kkt.backend.name, self.setup_time, (self.arrays.h2d, self.arrays.d2h))

    # -- scaling and the KKT update -----------------------------------------------------------
    def prepare(self):
        """NT scaling of every family at the loaded point, H⁻¹ and the centring terms
        written by the module, and the factorisation."""
        self.K.scale_and_fill()
        self.kkt.factor()

    def newton_system(self, meas: Measures):
        """The iteration's part of every Newton system: the residuals r, rt of the iterate and
        u1 = (−K)⁻¹(c, −b, −h), the solve of the τ column, with q1 = qᵀu1."""
        self.r, self.rt = meas.r, meas.rt
        self.rz = self.r[self.n + self.p:]
        self.u1 = self.kkt.solve(self.rhs_tau)
        self.q1 = _dot(self.q, self.u1[:self.N0])

    def direction(self, eta, ds_target, dk_target) -> Direction:
        """Newton step for residual reduction (1 − eta) and the complementarity
        targets ds + H⁻¹dz = ds_target, κ dτ + τ dκ = dk_target: the bordered system
        (−K) du − dτ (c, −b, −h) = rhs, −qᵀdu + (κ/τ) dτ = −η rt + dk_target/τ, solved
        by eliminating dτ through u1 = (−K)⁻¹(c, −b, −h) and refined against the
        bordered matrix itself. u1 is the least accurate solve of an iteration (its
        right-hand side has a large part along the nearly singular directions of K
        late in a run); refining the pair (du, dτ) keeps its error out of the step."""
        n, p, N0, kkt, settings = self.n, self.p, self.N0, self.kkt, self.settings
        rhs, q, u1 = self.rhs, self.q, self.u1
        _, _, tau, kappa = self.point
        np.multiply(self.sign, self.r, out=rhs[:N0])
        if eta != 1.0:
            rhs[:N0] *= eta
        rhs[n + p:N0] += ds_target
        t_rhs = -eta * self.rt + dk_target / tau
        pivot = kappa / tau - self.q1
        du = kkt.solve(rhs)
        dtau = (t_rhs + _dot(q, du[:N0])) / pivot
        du += dtau * u1
        res_norm, bound = np.inf, settings.refinement_reltol * max(_inf_norm(rhs), abs(t_rhs))
        last = (du, dtau)    # kept when even the first residual is not finite
        for _ in range(settings.refinement_steps):
            r1 = rhs - kkt.matvec_unregularized(du)
            r1 += dtau * self.rhs_tau
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
        ds = self.h * dtau + eta * self.rz - csr_matvec(self.G, du[:n])
        # Orthant rows: the slack step from the linearised complementarity
        # ds = target − (s/z) dz instead (equal in exact arithmetic): it keeps the
        # relative accuracy of a slack on its way to 0 (an active bound, s/z tiny),
        # where G dx carries an absolute error as large as that slack (steps then
        # collapse by the step fraction per iteration). On the other cones the
        # primal form keeps the primal residual exact, which they need.
        orthant = self.orthant
        if orthant:
            ds[:orthant] = ds_target[:orthant] - kkt.values[self.orthant_diagonal] * du[n + p:n + p + orthant]
        dkappa = (dk_target - kappa * dtau) / tau
        return Direction(du, ds, dtau, dkappa)

    # -- predictor, centring, corrector -------------------------------------------------------
    def predictor(self):
        """The affine scaling direction, ds + H⁻¹dz = −s, κ dτ + τ dκ = −τκ, and its
        longest step (at most 1)."""
        _, s, tau, kappa = self.point
        affine = self.direction(1.0, -s, -tau * kappa)
        return affine, min(1.0, self.max_step(affine))

    def centring(self, alpha_affine):
        """Mehrotra's centring σ = (1 − α_affine)^exponent."""
        return (1.0 - alpha_affine) ** self.settings.step.centring_exponent

    def corrector(self, affine: Direction, sigma_c, mu):
        """The combined direction and its step length (the step fraction of the longest).

        Corrector: ds + H⁻¹dz = −s + σμ c_K − r_K per family in s-space (symmetric
        cones: c_K = Wᵀ(λ \\ e), r_K = Wᵀ(λ \\ ((W⁻ᵀds_a)∘(W dz_a))), the NT scaled
        variables λ = W z = W⁻ᵀ s, WᵀW = H⁻¹; exponential cones: c_K = s̃, the shadow
        point, r_K = −H⁻¹η, η the third-order term); κ dτ + τ dκ = −τκ + σμ − dτ_a dκ_a.
        r_K is taken from the loaded direction, the affine one (`max_step` loaded it)."""
        settings, K = self.settings, self.K
        _, s, tau, kappa = self.point
        centred, centred_k = sigma_c * mu * K.centring - s, -tau * kappa + sigma_c * mu
        if not settings.corrector:
            step = self.direction(1.0 - sigma_c, centred, centred_k)
            return step, self.step_length(step)
        step = self.direction(1.0 - sigma_c, centred - K.correction(), centred_k - affine.dtau * affine.dkappa)
        alpha = self.step_length(step)
        if alpha < settings.retry_step:
            # Retry without the second-order terms; keep the longer step.
            plain = self.direction(1.0 - sigma_c, centred, centred_k)
            alpha_plain = self.step_length(plain)
            if alpha_plain > alpha:
                step, alpha = plain, alpha_plain
            if alpha < settings.retry_step:
                # Still blocked (the point has lost the central path, as late
                # iterations of SDPs can): a pure centring step, σ = 1, residuals
                # kept (truss5: 28 iterations instead of a stall at 19).
                centre = self.direction(0.0, mu * K.centring - s, -tau * kappa + mu)
                alpha_centre = self.step_length(centre)
                if alpha_centre > alpha:
                    step, alpha = centre, alpha_centre
        return step, alpha

    # -- step length --------------------------------------------------------------------------
    def max_step(self, step: Direction):
        """Largest step keeping τ, κ positive and the point in K × K* (exact ratios
        on symmetric cones, then backtracking into the exponential cones' interiors
        from that step); the direction is left loaded in the cone product."""
        _, _, tau, kappa = self.point
        alpha = np.inf
        if step.dtau < 0:
            alpha = min(alpha, -tau / step.dtau)
        if step.dkappa < 0:
            alpha = min(alpha, -kappa / step.dkappa)
        self.K.load_direction(step.ds, step.du[self.n + self.p:])
        return self.K.max_step(alpha)

    def step_length(self, step: Direction):
        """The step fraction of the longest step, at most 1."""
        return min(1.0, self.settings.step_fraction * self.max_step(step))

    def take_step(self, step: Direction, alpha, sigma_c):
        """Move to the next iterate. Shorten the step until the new point is strictly
        interior (rounding can put a point computed at the boundary's edge just outside)
        and its scaling and factorisation succeed (the next iteration's work, done here so
        that a refusal costs a shorter step rather than the run)."""
        settings, K, np_ = self.settings, self.K, self.n + self.p
        v, s, tau, kappa = self.point
        du, ds, dtau, dkappa = step
        refusal = None
        for _ in range(settings.step.max_shortenings):
            if alpha < settings.min_step:
                raise ConeFailure(f"step length collapsed to {alpha:.1e}" + (f" ({refusal})" if refusal else ""))
            tn, kn = tau + alpha * dtau, kappa + alpha * dkappa
            if tn > 0 and kn > 0:
                vn, sn = v + alpha * du, s + alpha * ds
                K.load_point(sn, vn[np_:])
                if K.interior():
                    new = Iterate(vn, sn, tn, kn)
                    self.meas = self.measures(new)
                    if self.verdict(self.meas, False, new, self.it + 1) is not None:
                        break  # the run ends at this point: no system to prepare
                    try:
                        self.prepare()
                        break
                    except (ConeFailure, FactorizationError) as err:
                        refusal = f"{type(err).__name__}: {err}"
            alpha *= settings.step.shortening
        else:
            raise ConeFailure("no interior point along the step")
        self.point = new
        self.last_step, self.last_sigma = alpha, sigma_c

    # -- rollback -----------------------------------------------------------------------------
    def rollback(self, fallback: Status, message: str) -> Result:
        """The run ends without a verdict at full accuracy: the best iterate for
        optimality, then the best rays, judged at the reduced tolerances; else `fallback`
        at the best iterate."""
        for cand in (self.good, self.rays["pinf"], self.rays["dinf"]):
            if cand is not None:
                status = self.verdict(self.measures(cand[0]), True, *cand)
                if status is not None:
                    return self.finish(status, cand[0], message)
        return self.finish(fallback, self.good[0] if self.good is not None else self.point, message)
