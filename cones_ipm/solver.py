"""Primal–dual interior-point method (homogeneous self-dual embedding, NT scaling, Mehrotra predictor–corrector) for min cᵀx s.t. Gx + s = h, Ax = b, s ∈ K, whose cone blocks come from the module."""
from __future__ import annotations

import time
from dataclasses import dataclass, field

import numpy as np
import scipy.sparse as sp

from .cones import ConeFailure, ConeProduct, make_arrays
from .kkt import FactorizationError, KktSystem
from .problem import ConicProblem

OPTIMAL = "optimal"
ALMOST_OPTIMAL = "almost_optimal"
PRIMAL_INFEASIBLE = "primal_infeasible"
ALMOST_PRIMAL_INFEASIBLE = "almost_primal_infeasible"
DUAL_INFEASIBLE = "dual_infeasible"
ALMOST_DUAL_INFEASIBLE = "almost_dual_infeasible"
MAX_ITERATIONS = "max_iterations"
NUMERICAL_ERROR = "numerical_error"

_KIND_ORDER = {"nonnegative": 0, "soc": 1, "psd": 2, "exp": 3}


@dataclass
class Settings:
    tol_feas: float = 1e-8      # primal and dual ∞-norm residuals relative to data and iterate terms
    tol_gap: float = 1e-8       # |primal − dual objective| relative to max(1, |objective|)
    tol_infeas: float = 1e-8    # residual of an infeasibility certificate
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
    refinement_steps: int = 10
    equilibrate: bool = True      # Ruiz equilibration of the constraint matrix
    equilibrate_iterations: int = 15
    equilibrate_bounds: tuple = (1e-4, 1e4)
    linear_solver: str = "auto"   # "pardiso" (MKL, if installed), "qdldl", or "auto"
    corrector: bool = True        # Mehrotra's second-order term on symmetric cones
    verbose: bool = False


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

    @property
    def objective(self):
        return self.primal_objective


def _norm(v):
    return float(np.linalg.norm(v)) if v.size else 0.0


def _inf_norm(v):
    return float(np.abs(v).max()) if v.size else 0.0


def _row_blocks(cones):
    """Starts of the row groups that must share one row scale: every orthant row alone,
    every other cone as a whole (a scalar multiple keeps it invariant)."""
    starts, off = [], 0
    for cone in cones:
        if cone.kind == "nonnegative":
            starts.extend(range(off, off + cone.rows))
        else:
            starts.append(off)
        off += cone.rows
    return np.asarray(starts, dtype=np.int64)


def _equilibrate(A, G, c, cones, settings):
    """Ruiz equilibration of M = [A; G]: column scales d and row scales e with
    diag(e) M diag(d) of unit ∞-norm rows and columns (approximately), row scales constant
    over each non-orthant cone, all within the bounds; then a cost scale σ."""
    p, n = A.shape
    m = G.shape[0]
    lo, hi = settings.equilibrate_bounds
    d, e = np.ones(n), np.ones(p + m)
    if not settings.equilibrate:
        return d, e, 1.0
    M = sp.vstack([A, G]).tocsr()
    M.sum_duplicates()
    starts = np.concatenate([np.arange(p), p + _row_blocks(cones)]).astype(np.int64)
    lengths = np.diff(np.append(starts, p + m))
    # |M| entries in row order, their rows and columns, and the column order (for maxima).
    data = np.abs(M.data)
    row_of = np.repeat(np.arange(p + m), np.diff(M.indptr))
    col_of = M.indices
    by_col = np.argsort(col_of, kind="stable")
    col_ptr = np.searchsorted(col_of[by_col], np.arange(n + 1))

    def seg_max(values, ptr):
        out = np.zeros(ptr.size - 1)
        full = np.flatnonzero(np.diff(ptr) > 0)
        if full.size:
            out[full] = np.maximum.reduceat(values, ptr[full])
        return out

    for _ in range(settings.equilibrate_iterations):
        col = seg_max(data[by_col], col_ptr)
        row = seg_max(data, M.indptr)
        dd = np.where(col > 0, 1.0 / np.sqrt(np.maximum(col, 1e-300)), 1.0)
        ee = np.where(row > 0, 1.0 / np.sqrt(np.maximum(row, 1e-300)), 1.0)
        if starts.size:
            ee = np.repeat(np.add.reduceat(ee, starts) / lengths, lengths)
        dd = np.clip(dd, lo / d, hi / d)
        ee = np.clip(ee, lo / e, hi / e)
        data *= ee[row_of] * dd[col_of]
        d *= dd
        e *= ee
        if np.all(np.abs(1 - col[col > 0]) < 0.1) and np.all(np.abs(1 - row[row > 0]) < 0.1):
            break
    cn = np.linalg.norm(d * c, np.inf) if n else 0.0
    sigma = float(np.clip(1.0 / cn, lo, hi)) if cn > 0 else 1.0
    return d, e, sigma


def _grouped(prob):
    """The program with its cones listed by kind (orthants, second-order, PSD,
    exponential; the order within a kind kept), and the row permutation used."""
    order = sorted(range(len(prob.cones)), key=lambda k: _KIND_ORDER[prob.cones[k].kind])
    if order == list(range(len(prob.cones))):
        return prob, None
    offs = prob.offsets()
    perm = np.concatenate([np.arange(offs[k][1], offs[k][1] + prob.cones[k].rows) for k in order]).astype(np.int64)
    return ConicProblem(prob.name, prob.c, prob.G[perm], prob.h[perm], [prob.cones[k] for k in order], prob.A,
                        prob.b, prob.description, dict(prob.extra)), perm


def solve(problem: ConicProblem, where: str = "host", settings: Settings | None = None, **overrides) -> Result:
    """Solve `problem`; the module's cone work runs on `where` ("host" or "device") arrays.

    Status: "optimal", "primal_infeasible" (then y, z certify it: Aᵀy + Gᵀz = 0,
    bᵀy + hᵀz = −1), "dual_infeasible" (x, s certify it: Ax = 0, Gx + s = 0, cᵀx = −1),
    their "almost_" forms (met at the reduced tolerances when the iteration could not go
    on), "max_iterations" or "numerical_error" (with a message)."""
    settings = settings or Settings()
    for key, value in overrides.items():
        if not hasattr(settings, key):
            raise TypeError(f"unknown solver setting {key!r}")
        setattr(settings, key, value)
    start = time.perf_counter()
    original = problem.without_zero_cones()
    prob, perm = _grouped(original)
    n, m, p = prob.n, prob.m, prob.p

    # Equilibrated data: x = D x̃, s = E⁻¹ s̃, z = E z̃ / σ, y = E_A ỹ / σ.
    d, e, sigma = _equilibrate(prob.A, prob.G, prob.c, prob.cones, settings)
    eA, eG = e[:p], e[p:]
    A = (sp.diags(eA) @ prob.A @ sp.diags(d)).tocsr()
    G = (sp.diags(eG) @ prob.G @ sp.diags(d)).tocsr()
    c, b, h = sigma * d * prob.c, eA * prob.b, eG * prob.h
    At, Gt = A.T.tocsr(), G.T.tocsr()
    bnorm, hnorm, cnorm = max(1.0, _norm(prob.b)), max(1.0, _norm(prob.h)), max(1.0, _norm(prob.c))
    binf, hinf, cinf = _inf_norm(prob.b), _inf_norm(prob.h), _inf_norm(prob.c)

    arrays = make_arrays(where)
    K = ConeProduct(prob.cones, arrays)
    e_K = K.identity()
    sym = K.symmetric_mask()
    nu = K.degree
    kkt = KktSystem(A, G, *K.block_pattern(), backend=settings.linear_solver, eps=settings.regularization,
                    refinement_steps=settings.refinement_steps)
    sparse_positions = K.sparse_positions(kkt.tail_indptr, kkt.tail_indices)
    if arrays.name == "device":
        tail_indptr, tail_indices = arrays.to_device(kkt.tail_indptr), arrays.to_device(kkt.tail_indices)
    else:
        tail_indptr, tail_indices = kkt.tail_indptr, kkt.tail_indices
    setup_time = time.perf_counter() - start
    history = []

    def unscaled(x, y, z, s, tau):
        xs, ss = d * x / tau, s / eG / tau
        ys, zs = eA * y / (sigma * tau), eG * z / (sigma * tau)
        if perm is not None:
            s_out, z_out = np.empty(m), np.empty(m)
            s_out[perm], z_out[perm] = ss, zs
            ss, zs = s_out, z_out
        return xs, ys, zs, ss

    def measures(x, y, z, s, tau, kappa):
        """Residuals, objectives and certificate residuals in the original units."""
        rx = At @ y + Gt @ z + c * tau
        ry = b * tau - A @ x
        rz = h * tau - G @ x - s
        cx, by_hz = (c @ x) / sigma, (b @ y + h @ z) / sigma
        # ∞-norm residuals relative to the data and the iterate's own terms.
        inf = _inf_norm
        pres = max(inf(ry / eA), inf(rz / eG)) / tau / max(
            1.0, max(binf, hinf) + (max(inf((b * tau - ry) / eA), inf((h * tau - rz - s) / eG)) + inf(s / eG)) / tau)
        dres = inf(rx / d) / sigma / tau / max(1.0, cinf + inf((rx - c * tau) / d) / sigma / tau)
        pobj, dobj = cx / tau, -by_hz / tau
        gap = abs(pobj - dobj) / max(1.0, min(abs(pobj), abs(dobj)))
        pinf = _norm((At @ y + Gt @ z) / d) / sigma / cnorm / -by_hz if by_hz < 0 else np.inf
        dinf = max(_norm(A @ x / eA) / bnorm, _norm((G @ x + s) / eG) / hnorm) / -cx if cx < 0 else np.inf
        return dict(rx=rx, ry=ry, rz=rz, rt=-(c @ x) - (b @ y + h @ z) - kappa, pres=pres, dres=dres, pobj=pobj,
                    dobj=dobj, gap=gap, pinf=pinf, dinf=dinf, mu=(s @ z + tau * kappa) / (nu + 1))

    def finish(status, state, it, msg=""):
        x, y, z, s, tau, kappa = state
        meas = measures(*state)
        if status in (PRIMAL_INFEASIBLE, ALMOST_PRIMAL_INFEASIBLE):
            scale = -(b @ y + h @ z) / sigma
            xs, ys, zs, ss = unscaled(x, y, z, s, 1.0)
            xs, ys, zs, ss = xs * np.nan, ys / scale, zs / scale, ss * np.nan
            pobj = dobj = np.inf
            resid = (np.nan, meas["pinf"], np.nan)
        elif status in (DUAL_INFEASIBLE, ALMOST_DUAL_INFEASIBLE):
            scale = -(c @ x) / sigma
            xs, ys, zs, ss = unscaled(x, y, z, s, 1.0)
            xs, ys, zs, ss = xs / scale, ys * np.nan, zs * np.nan, ss / scale
            pobj = dobj = -np.inf
            resid = (meas["dinf"], np.nan, np.nan)
        else:
            xs, ys, zs, ss = unscaled(x, y, z, s, tau)
            pobj, dobj = meas["pobj"], meas["dobj"]
            resid = (meas["pres"], meas["dres"], meas["gap"])
        return Result(status, xs, ys, zs, ss, it, pobj, dobj, resid[0], resid[1], resid[2],
                      time.perf_counter() - start, msg, history, kkt.backend.name, setup_time)

    def verdict(meas, reduced):
        tf, tg, ti = ((settings.reduced_tol_feas, settings.reduced_tol_gap, settings.reduced_tol_infeas) if reduced
                      else (settings.tol_feas, settings.tol_gap, settings.tol_infeas))
        if meas["pres"] <= tf and meas["dres"] <= tf and meas["gap"] <= tg:
            return ALMOST_OPTIMAL if reduced else OPTIMAL
        if meas["pinf"] <= ti:
            return ALMOST_PRIMAL_INFEASIBLE if reduced else PRIMAL_INFEASIBLE
        if meas["dinf"] <= ti:
            return ALMOST_DUAL_INFEASIBLE if reduced else DUAL_INFEASIBLE
        return None

    # Starting point: s = the least-squares slack, z = the least-norm dual point, both
    # shifted into the interior along the identity e.
    x, y, s, z = np.zeros(n), np.zeros(p), e_K.copy(), e_K.copy()
    tau = kappa = 1.0
    it = 0
    good, good_it, good_merit = None, 0, np.inf   # the best iterate so far (rollback target)
    best_merit, best_it = np.inf, 0

    def prepare(s, z):
        """NT scaling of every family at (s, z), H⁻¹ written by the module into the KKT
        values (large second-order cones as diagonal plus rank one, from the scaling
        point), and the factorisation."""
        K.scale(s, z)
        kkt.reset_cone_block()
        if arrays.name == "device":
            vals = arrays.empty(kkt.cone_values.size)
            K.fill_inverse_scaling(s, z, tail_indptr, tail_indices, vals)
            kkt.cone_values[:] = arrays.to_host(vals)
        else:
            K.fill_inverse_scaling(s, z, tail_indptr, tail_indices, kkt.cone_values)
        K.fill_sparse_blocks(sparse_positions, kkt.cone_values)
        if not np.all(np.isfinite(kkt.cone_values)):
            raise ConeFailure("scaling matrix is not finite (iterate left the cone interior)")
        kkt.factor()

    try:
        kkt.reset_cone_block()
        kkt.set_identity_blocks()
        kkt.factor()
        x, _, uz = kkt.solve(np.zeros(n), b, h)
        _, y, z_hat = kkt.solve(-c, np.zeros(p), np.zeros(m))
        s, z = _shift_into_cone(K, -uz, e_K, sym), _shift_into_cone(K, z_hat, e_K, sym)
        prepare(s, z)

        for it in range(settings.max_iter + 1):
            meas = measures(x, y, z, s, tau, kappa)
            history.append({k: meas[k] for k in ("pobj", "dobj", "pres", "dres", "gap", "mu")}
                           | dict(it=it, tau=tau, kappa=kappa))
            if settings.verbose:
                print(f"{it:3d} {meas['pobj']: .8e} {meas['dobj']: .8e} pres {meas['pres']:.1e} "
                      f"dres {meas['dres']:.1e} gap {meas['gap']:.1e} tau {tau:.1e} kappa {kappa:.1e}")
            status = verdict(meas, reduced=False)
            if status is not None:
                return finish(status, (x, y, z, s, tau, kappa), it)
            if not np.isfinite(meas["mu"]):
                raise ConeFailure("iterate is not finite")
            merit = max(meas["pres"], meas["dres"], meas["gap"])
            if good is None or merit <= good_merit:
                good, good_it, good_merit = (x, y, z, s, tau, kappa), it, merit
            if merit < 0.5 * best_merit:
                best_merit, best_it = merit, it
            if it == settings.max_iter:
                return finish(verdict(measures(*good), reduced=True) or MAX_ITERATIONS, good, good_it)
            if it - best_it >= settings.stall_iterations:
                raise ConeFailure(f"no progress in {settings.stall_iterations} iterations")
            rx, ry, rz, rt, mu = meas["rx"], meas["ry"], meas["rz"], meas["rt"], meas["mu"]

            x1, y1, z1 = kkt.solve(-c, b, h)
            q1 = c @ x1 + b @ y1 + h @ z1

            def direction(eta, ds_target, dk_target):
                """Newton step for residual reduction (1 − eta) and the complementarity
                targets ds + H⁻¹dz = ds_target, κ dτ + τ dκ = dk_target."""
                x0, y0, z0 = kkt.solve(-eta * rx, eta * ry, eta * rz - ds_target)
                dtau = (-eta * rt + (c @ x0 + b @ y0 + h @ z0) + dk_target / tau) / (kappa / tau - q1)
                dx, dy, dz = x0 + dtau * x1, y0 + dtau * y1, z0 + dtau * z1
                ds = -(G @ dx) + h * dtau + eta * rz
                dkappa = (dk_target - kappa * dtau) / tau
                return dx, dy, dz, ds, dtau, dkappa

            def max_step(ds, dz, dtau, dkappa):
                alpha = min(K.max_step(s, ds), K.max_step(z, dz, dual=True))
                if dtau < 0:
                    alpha = min(alpha, -tau / dtau)
                if dkappa < 0:
                    alpha = min(alpha, -kappa / dkappa)
                return alpha

            # Predictor (affine scaling): ds + H⁻¹dz = −s, κ dτ + τ dκ = −τκ.
            aff = direction(1.0, -s, -tau * kappa)
            alpha_aff = min(1.0, max_step(aff[3], aff[2], aff[4], aff[5]))
            sigma_c = (1.0 - alpha_aff) ** 3

            # Corrector: ds + H⁻¹dz = −s + Wᵀ(λ \ (σμe − (W⁻ᵀds_a)∘(W dz_a))) on symmetric
            # cones (= −s + σμ z⁻¹ without the second-order term) in the NT scaled
            # variables λ = W z = W⁻ᵀ s, WᵀW = H⁻¹; −s + σμ H⁻¹(−∇F(s)) on exponential
            # cones; κ dτ + τ dκ = −τκ + σμ − dτ_a dκ_a.
            ds_target = _centring_target(K, s, sigma_c * mu, aff if settings.corrector else None)
            dk_target = -tau * kappa + sigma_c * mu - (aff[4] * aff[5] if settings.corrector else 0.0)
            dx, dy, dz, ds, dtau, dkappa = direction(1.0 - sigma_c, ds_target, dk_target)
            alpha = min(1.0, settings.step_fraction * max_step(ds, dz, dtau, dkappa))
            # Shorten the step until the new point is strictly interior (rounding can put
            # a point computed at the boundary's edge just outside) and its scaling and
            # factorisation succeed (the next iteration's work, done here so that a
            # refusal costs a shorter step rather than the run).
            refusal = None
            for _ in range(30):
                if alpha < settings.min_step:
                    raise ConeFailure(f"step length collapsed to {alpha:.1e}" + (f" ({refusal})" if refusal else ""))
                xn, yn, zn, sn = x + alpha * dx, y + alpha * dy, z + alpha * dz, s + alpha * ds
                tn, kn = tau + alpha * dtau, kappa + alpha * dkappa
                if tn > 0 and kn > 0 and K.interior(sn) and K.interior(zn, dual=True):
                    if verdict(measures(xn, yn, zn, sn, tn, kn), reduced=False) is not None:
                        break  # the run ends at this point: no system to prepare
                    try:
                        prepare(sn, zn)
                        break
                    except (ConeFailure, FactorizationError) as err:
                        refusal = f"{type(err).__name__}: {err}"
                alpha *= 0.5
            else:
                raise ConeFailure("no interior point along the step")
            x, y, z, s, tau, kappa = xn, yn, zn, sn, tn, kn
    except (ConeFailure, FactorizationError, np.linalg.LinAlgError, ZeroDivisionError, FloatingPointError) as err:
        # Roll back to the best iterate; it may meet the reduced tolerances.
        message = f"{type(err).__name__}: {err}"
        if good is None:
            return finish(NUMERICAL_ERROR, (x, y, z, s, tau, kappa), it, message)
        return finish(verdict(measures(*good), reduced=True) or NUMERICAL_ERROR, good, good_it, message)


def _shift_into_cone(K, v, e, sym):
    """v if it is comfortably interior (smallest spectral value above √eps relative to
    its largest entry), else v + (1 + max(a, 0)) e with a = −(smallest spectral value);
    exponential cones start at their central point."""
    v = np.where(sym, v, e)
    a = -K.min_eig(v)
    if a >= -np.sqrt(np.finfo(float).eps) * max(1.0, np.abs(v).max(initial=0.0)):
        v = v + (1.0 + max(a, 0.0)) * np.where(sym, e, 0.0)
    return v


def _centring_target(K, s, sigma_mu, aff):
    target = -s.copy()
    v = sigma_mu * K.identity()
    if aff is not None:
        v = v - K.prod(K.WinvT(aff[3]), K.W(aff[2]))
    target += K.WT(K.lam_solve(v))
    for fam in K.families:
        if not fam.symmetric:
            target[fam.idx] += sigma_mu * fam.hinv_mul(fam.barrier_gradient(s[fam.idx]))
    return target
