"""Primal–dual interior-point method (homogeneous self-dual embedding, NT scaling from the module, Mehrotra predictor–corrector) for min cᵀx s.t. Gx + s = h, Ax = b, s ∈ K."""
from __future__ import annotations

import time
from dataclasses import dataclass, field

import numpy as np
import scipy.sparse as sp
import scipy.sparse.linalg as spla

from .cones import ConeFailure, ConeProduct, ExponentialBlock, make_arrays
from .problem import ConicProblem

OPTIMAL = "optimal"
PRIMAL_INFEASIBLE = "primal_infeasible"
DUAL_INFEASIBLE = "dual_infeasible"
MAX_ITERATIONS = "max_iterations"
NUMERICAL_ERROR = "numerical_error"


@dataclass
class Settings:
    tol_feas: float = 1e-8      # relative primal and dual residuals
    tol_gap: float = 1e-8       # relative duality gap
    tol_infeas: float = 1e-8    # residual of an infeasibility certificate
    max_iter: int = 100
    step_fraction: float = 0.99  # of the largest step to the boundary
    min_step: float = 1e-10      # a shorter step ends the solve as a numerical error
    regularization: float = 1e-12  # static δ on the zero diagonal blocks of the KKT matrix
    refinement_steps: int = 3
    corrector: bool = True       # Mehrotra's second-order term on symmetric cones
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

    @property
    def objective(self):
        return self.primal_objective


class _Kkt:
    """Solves, for the current H⁻¹ (block diagonal, from the module),
        Aᵀ u_y + Gᵀ u_z = b_x,   A u_x = b_y,   G u_x − H⁻¹ u_z = b_z
    as one symmetric indefinite system [[δI, Aᵀ, Gᵀ], [A, −δI, 0], [G, 0, −H⁻¹]]
    (SciPy sparse LU on the host) with iterative refinement against δ = 0."""

    def __init__(self, G, A, Hinv, settings):
        n, p = G.shape[1], A.shape[0]
        self.n, self.p = n, p
        self.refinement_steps = settings.refinement_steps
        delta = settings.regularization
        self.K0 = sp.bmat([[sp.csr_matrix((n, n)), A.T, G.T],
                           [A, sp.csr_matrix((p, p)), None],
                           [G, None, -Hinv]], format="csc")
        reg = sp.diags(np.concatenate([np.full(n, delta), np.full(p, -delta), np.zeros(G.shape[0])]))
        self.lu = spla.splu((self.K0 + reg).tocsc())

    def solve(self, bx, by, bz):
        rhs = np.concatenate([bx, by, bz])
        u = self.lu.solve(rhs)
        for _ in range(self.refinement_steps):
            r = rhs - self.K0 @ u
            if not np.all(np.isfinite(r)):
                break
            u = u + self.lu.solve(r)
        n, p = self.n, self.p
        return u[:n], u[n:n + p], u[n + p:]


def _norm(v):
    return float(np.linalg.norm(v)) if v.size else 0.0


def solve(problem: ConicProblem, where: str = "host", settings: Settings | None = None, **overrides) -> Result:
    """Solve `problem`; the module's cone work runs on `where` ("host" or "device") arrays.

    Status: "optimal", "primal_infeasible" (then y, z certify it: Aᵀy + Gᵀz = 0,
    bᵀy + hᵀz = −1), "dual_infeasible" (x, s certify it: Ax = 0, Gx + s = 0, cᵀx = −1),
    "max_iterations" or "numerical_error" (with a message)."""
    settings = settings or Settings()
    for key, value in overrides.items():
        if not hasattr(settings, key):
            raise TypeError(f"unknown solver setting {key!r}")
        setattr(settings, key, value)
    start = time.perf_counter()
    prob = problem.without_zero_cones()
    c, G, h, A, b = prob.c, prob.G, prob.h, prob.A, prob.b
    K = ConeProduct(prob.cones, make_arrays(where))
    n, m, p = prob.n, prob.m, prob.p
    e = K.identity()
    nu = K.degree
    cnorm, bnorm, hnorm = max(1.0, _norm(c)), max(1.0, _norm(b)), max(1.0, _norm(h))
    history = []

    def result(status, x, y, z, s, tau, kappa, it, message="", resid=(np.nan, np.nan, np.nan)):
        if status in (OPTIMAL, MAX_ITERATIONS, NUMERICAL_ERROR):
            xs, ys, zs, ss = x / tau, y / tau, z / tau, s / tau
            pobj, dobj = float(c @ xs), float(-(b @ ys) - (h @ zs))
        elif status == PRIMAL_INFEASIBLE:
            scale = -(b @ y + h @ z)
            xs, ys, zs, ss = x * np.nan, y / scale, z / scale, s * np.nan
            pobj, dobj = np.inf, np.inf
        else:
            scale = -(c @ x)
            xs, ys, zs, ss = x / scale, y * np.nan, z * np.nan, s / scale
            pobj, dobj = -np.inf, -np.inf
        return Result(status, xs, ys, zs, ss, it, pobj, dobj, resid[0], resid[1], resid[2],
                      time.perf_counter() - start, message, history)

    # Starting point: s = the least-squares slack, z = the least-norm dual point, both
    # shifted into the interior along the identity e.
    x, y = np.zeros(n), np.zeros(p)
    s, z = e.copy(), e.copy()
    tau = kappa = 1.0
    it = 0
    try:
        kkt = _Kkt(G, A, sp.identity(m, format="csr"), settings)
        x, _, uz = kkt.solve(np.zeros(n), b, h)
        s_hat = -uz
        _, y, z_hat = kkt.solve(-c, np.zeros(p), np.zeros(m))
        s, z = _shift_into_cone(K, s_hat, e), _shift_into_cone(K, z_hat, e)

        for it in range(settings.max_iter + 1):
            # Residuals of the embedding (zero at a solution or a certificate).
            rx = A.T @ y + G.T @ z + c * tau
            ry = b * tau - A @ x
            rz = h * tau - G @ x - s
            cx, by_hz = c @ x, b @ y + h @ z
            rt = -cx - by_hz - kappa
            mu = (s @ z + tau * kappa) / (nu + 1)

            pres = max(_norm(ry) / bnorm, _norm(rz) / hnorm) / tau
            dres = _norm(rx) / cnorm / tau
            pobj, dobj = cx / tau, -by_hz / tau
            gap = (s @ z) / tau ** 2
            relgap = gap / max(1.0, min(abs(pobj), abs(dobj)))
            pinf = _norm(A.T @ y + G.T @ z) / cnorm / -by_hz if by_hz < 0 else np.inf
            dinf = (max(_norm(A @ x) / bnorm, _norm(G @ x + s) / hnorm) / -cx) if cx < 0 else np.inf
            history.append(dict(it=it, pobj=pobj, dobj=dobj, pres=pres, dres=dres, gap=relgap,
                                tau=tau, kappa=kappa, mu=mu))
            if settings.verbose:
                print(f"{it:3d} {pobj: .8e} {dobj: .8e} pres {pres:.1e} dres {dres:.1e} "
                      f"gap {relgap:.1e} tau {tau:.1e} kappa {kappa:.1e}")
            resid = (pres, dres, relgap)
            if pres <= settings.tol_feas and dres <= settings.tol_feas and relgap <= settings.tol_gap:
                return result(OPTIMAL, x, y, z, s, tau, kappa, it, resid=resid)
            if pinf <= settings.tol_infeas:
                return result(PRIMAL_INFEASIBLE, x, y, z, s, tau, kappa, it,
                              f"certificate residual {pinf:.1e}", resid=(np.nan, pinf, np.nan))
            if dinf <= settings.tol_infeas:
                return result(DUAL_INFEASIBLE, x, y, z, s, tau, kappa, it,
                              f"certificate residual {dinf:.1e}", resid=(dinf, np.nan, np.nan))
            if it == settings.max_iter:
                return result(MAX_ITERATIONS, x, y, z, s, tau, kappa, it, resid=resid)

            # Inverse scaling H⁻¹ of every block, from the module.
            Hinv = K.inverse_scaling_matrix(s, z)
            kkt = _Kkt(G, A, Hinv, settings)
            x1, y1, z1 = kkt.solve(-c, b, h)
            q1 = c @ x1 + b @ y1 + h @ z1

            def direction(eta, ds_target, dk_target):
                """Newton step for residual reduction (1 − eta) and the complementarity
                targets ds + H⁻¹dz = ds_target, κ dτ + τ dκ = dk_target."""
                x0, y0, z0 = kkt.solve(-eta * rx, eta * ry, eta * rz - ds_target)
                dtau = (-eta * rt + (c @ x0 + b @ y0 + h @ z0) + dk_target / tau) / (kappa / tau - q1)
                dx, dy, dz = x0 + dtau * x1, y0 + dtau * y1, z0 + dtau * z1
                ds = -G @ dx + h * dtau + eta * rz
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
            sigma = (1.0 - alpha_aff) ** 3

            # Corrector: ds + H⁻¹dz = −s + Wᵀ(λ \ (σμe − (W⁻ᵀds_a)∘(W dz_a))) on symmetric
            # blocks (= −s + σμ z⁻¹ without the second-order term) in the NT scaled
            # variables λ = W z = W⁻ᵀ s, WᵀW = H⁻¹; −s + σμ H⁻¹(−∇F(s)) on exponential
            # blocks; κ dτ + τ dκ = −τκ + σμ − dτ_a dκ_a.
            ds_target = _centring_target(K, Hinv, s, z, sigma * mu, aff if settings.corrector else None)
            dk_target = -tau * kappa + sigma * mu - (aff[4] * aff[5] if settings.corrector else 0.0)
            dx, dy, dz, ds, dtau, dkappa = direction(1.0 - sigma, ds_target, dk_target)
            alpha = min(1.0, settings.step_fraction * max_step(ds, dz, dtau, dkappa))
            if alpha < settings.min_step:
                raise ConeFailure(f"step length collapsed to {alpha:.1e} (direction leaves the cone)")

            x, y, z, s = x + alpha * dx, y + alpha * dy, z + alpha * dz, s + alpha * ds
            tau, kappa = tau + alpha * dtau, kappa + alpha * dkappa
            if not (K.contains(s) and K.contains(z, dual=True) and tau > 0 and kappa > 0):
                raise ConeFailure("iterate left the cone after a damped step")
    except (ConeFailure, np.linalg.LinAlgError, RuntimeError, ValueError, ZeroDivisionError) as err:
        return result(NUMERICAL_ERROR, x, y, z, s, tau, kappa, it, f"{type(err).__name__}: {err}")


def _shift_into_cone(K, v, e):
    """v if it is comfortably interior, else v + (1 + a) e with a = −(smallest spectral
    value); exponential blocks start at the central point."""
    v = v.copy()
    for blk in K.blocks:
        if isinstance(blk, ExponentialBlock):
            v[blk.sl] = blk.identity()
    a = -K.min_eig(v)
    if a >= 0:
        v += (1.0 + a) * np.where(_symmetric_mask(K), e, 0.0)
    return v


def _symmetric_mask(K):
    mask = np.zeros(K.m, dtype=bool)
    for blk in K.blocks:
        mask[blk.sl] = blk.symmetric
    return mask


def _centring_target(K, Hinv, s, z, sigma_mu, aff):
    target = -s.copy()
    for blk in K.blocks:
        sl = blk.sl
        if blk.symmetric:
            nt = blk.nt_scaling(s[sl], z[sl])
            v = sigma_mu * blk.identity()
            if aff is not None:
                v = v - blk.prod(nt.WinvT(aff[3][sl]), nt.W(aff[2][sl]))
            target[sl] += nt.WT(blk.solve(nt.lam, v))
        else:
            target[sl] += sigma_mu * (Hinv[sl, sl] @ blk.barrier_gradient(s[sl]))
    return target
