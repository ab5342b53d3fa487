"""Which form of H⁻¹ the KKT matrix should carry near the optimum, on the hardest models:
robust LP (1000 second-order cones of dimension 5), Chebyshev centre (400 of dimension 21),
FIR design (918 of dimension 3) and nuclear-norm completion (one PSD cone of order 60).

Forms: "state" H⁻¹ = WᵀW written from the stored NT scaling (inverse=True; dense blocks),
"swapped" _cpp_cuda's NT matrix of the swapped pair (z, s), and, for second-order cones,
"expansion" the module's sparse expansion (diagonal plus two rank-one terms over two extra
rows). For the last iterates of a run (the loaded points of its last scalings) each form is
built from the same (s, z) and measured in extended precision (long double) against

    consistency   max over cones of ‖H⁻¹z − s‖∞ / ‖s‖∞ (H⁻¹z = s exactly for NT scalings)
    small         second-order cones: max relative error of H⁻¹ along its eigenvector of
                  the smallest eigenvalue η²(w₀ − t)², against H⁻¹ evaluated in long double
                  from s and z (the direction that decides the endgame's accuracy)

and the whole run is repeated with each form (iterations, status, final residuals, time).

    python bench/bench_endgame.py [--only robust_lp ...] [--last 3]
"""
import argparse
import os
import sys
import time
import warnings

import numpy as np
import scipy.sparse as sp

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import _cpp_cuda  # noqa: E402
import _ipm_cones  # noqa: E402
from cones_ipm import cones as C  # noqa: E402
from cones_ipm import solve  # noqa: E402
from models import MODELS, conic_data  # noqa: E402

LD = np.longdouble
CASES = [("robust_lp", 1000), ("chebyshev_centre", 400), ("fir_design", 60), ("nuclear_completion", 60)]


def dense_csr(n):
    full = sp.csr_matrix(np.ones((n, n)))
    return full.indptr.astype(np.int64), full.indices.astype(np.int64)


# ---- second-order forms of one cone as operators in long double --------------------------
def soc_reference(s, z):
    """η² and w of the NT scaling in long double (determinants as (x₀ − ‖x̄‖)(x₀ + ‖x̄‖))."""
    s, z = s.astype(LD), z.astype(LD)

    def det(x):
        t = np.sqrt(np.sum(x[1:] * x[1:]))
        return (x[0] - t) * (x[0] + t)

    a, b = np.sqrt(det(s)), np.sqrt(det(z))
    st, zt = s / a, z / b
    jz = zt.copy()
    jz[1:] = -jz[1:]
    gamma = np.sqrt((1 + np.sum(st * zt)) / 2)
    return a / b, (st + jz) / (2 * gamma)


def soc_form(form, s, z):
    """The form's H⁻¹ of one cone, as a long-double operator on its stored double entries."""
    n = s.size
    if form == "swapped":
        block = _cpp_cuda.SecondOrderConeCpp(n).nt_scaling_matrix_array(z, s).astype(LD)
        return lambda d: block @ d
    cone = _ipm_cones.SecondOrderCone(n)
    state, lam = np.empty(cone.scaling_size), np.empty(n)
    cone.nt_scaling_into(s, z, state, lam)
    if form == "state":
        indptr, indices = dense_csr(n)
        vals = np.empty(indices.size)
        cone.hmatrix_csr_values_into(state, indptr, indices, vals, inverse=True)
        block = vals.reshape(n, n).astype(LD)
        return lambda d: block @ d
    rows, cols = cone.expansion_pattern(n)
    T = sp.csr_matrix((np.ones(rows.size), (rows, cols)), shape=(n + 2, n + 2))
    T.sort_indices()
    vals = np.empty(T.nnz)
    cone.expansion_csr_values_into(state, T.indptr.astype(np.int64), T.indices.astype(np.int64), vals, n,
                                   inverse=True)
    T = sp.csr_matrix((vals, T.indices, T.indptr), shape=(n + 2, n + 2)).toarray().astype(LD)
    Dc, U, E = T[:n, :n], T[:n, n:], np.diag(T[n:, n:])
    return lambda d: Dc @ d - U @ ((U.T @ d) / E)


def soc_metrics(form, s, z):
    """(consistency, condition number of H⁻¹) of one cone."""
    apply = soc_form(form, s, z)
    consistency = float(np.max(np.abs(apply(z.astype(LD)) - s)) / np.max(np.abs(s)))
    _, w = soc_reference(s, z)
    t = np.sqrt(np.sum(w[1:] * w[1:]))
    return consistency, float(((w[0] + t) / (w[0] - t)) ** 2)


# ---- PSD forms ----------------------------------------------------------------------------
def psd_metrics(form, s, z, order):
    if form == "swapped":
        block = _cpp_cuda.PsdConeCpp(order).nt_scaling_matrix_array(z, s)
    else:
        cone = _ipm_cones.PsdCone(order)
        state, lam = np.empty(cone.scaling_size), np.empty(s.size)
        cone.nt_scaling_into(s, z, state, lam)
        indptr, indices = dense_csr(s.size)
        vals = np.empty(indices.size)
        cone.hmatrix_csr_values_into(state, indptr, indices, vals, inverse=True)
        block = vals.reshape(s.size, s.size)
    got = block.astype(LD) @ z.astype(LD)
    lam = np.linalg.eigvalsh(block)
    return float(np.max(np.abs(got - s)) / np.max(np.abs(s))), float(lam[-1] / lam[0])


# ---- runs ---------------------------------------------------------------------------------
def capture(prob, **settings):
    """Solve, recording the point of every scaling; (result, points, family order)."""
    points = []
    original = C.ConeProduct.scale_and_fill

    def recording(self):
        points.append((self.s.copy(), self.z.copy()))
        return original(self)

    C.ConeProduct.scale_and_fill = recording
    try:
        res = solve(prob, **settings)
    finally:
        C.ConeProduct.scale_and_fill = original
    return res, points


def swapped_fill(self):
    """SymmetricFamily.fill with the blocks of second-order and PSD groups written by
    _cpp_cuda's NT matrix of the swapped pair (host arrays only)."""
    for g in self.groups:
        if self.kind == "nonnegative" or g.expanded:
            _plain_fill_group(self, g)
            continue
        n, cls = g.cone.rows, (_cpp_cuda.SecondOrderConeCpp if self.kind == "soc" else _cpp_cuda.PsdConeCpp)
        cpp = cls(g.cone.dim)
        for b in range(g.batch):
            sl = slice(b * n, (b + 1) * n)
            cpp.hmatrix_csr_values_into(np.ascontiguousarray(g.z[sl]), np.ascontiguousarray(g.s[sl]), self.indptr,
                                        self.indices, self.values, row_offset=self.first + g.start + b * n)
        g.cone.jordan_solve_into(g.lam, g.e, g.w1, g.batch)
        g.cone.scale_into(g.state, g.w1, g.cen, False, True, g.batch)


def _plain_fill_group(fam, g):
    groups = fam.groups
    fam.groups = [g]
    try:
        _plain_fill(fam)
    finally:
        fam.groups = groups


_plain_fill = C.SymmetricFamily.fill


def run(prob, form, kind):
    settings = {}
    if kind == "soc":
        settings["soc_expansion_min"] = 3 if form == "expansion" else 10**9
    if form == "swapped":
        C.SymmetricFamily.fill = swapped_fill
    try:
        start = time.perf_counter()
        res, points = capture(prob, **settings)
        seconds = time.perf_counter() - start
    finally:
        C.SymmetricFamily.fill = _plain_fill
    return res, points, seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", nargs="*", default=None)
    parser.add_argument("--last", type=int, default=3, help="iterates measured at the end of the run")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    for name, size in CASES:
        if args.only and name not in args.only:
            continue
        _, prob = conic_data(MODELS[name][1](size, 1))
        kind = "psd" if any(c.kind == "psd" for c in prob.cones) else "soc"
        forms = ["state", "swapped"] + (["expansion"] if kind == "soc" else [])
        print(f"\n== {name} (size {size}: n {prob.n}, m {prob.m}, "
              f"{sum(c.kind == kind for c in prob.cones)} {kind} cones)")
        base, points, _ = run(prob, "state", kind)
        # The cones in the solver's order and their rows in its vectors.
        from cones_ipm.solver import _Data
        cones = _Data(prob).cones
        offsets = np.cumsum([0] + [c.rows for c in cones])
        print(f"  last {args.last} scalings of the 'state' run: worst cone's ‖H⁻¹z − s‖∞/‖s‖∞ per form; "
              f"largest condition number of H⁻¹")
        for k, (s, z) in enumerate(points[-args.last:]):
            row, cond = [], 0.0
            for form in forms:
                worst = 0.0
                for c, a, b in zip(cones, offsets[:-1], offsets[1:]):
                    if c.kind != kind:
                        continue
                    err, kappa = (soc_metrics(form, s[a:b], z[a:b]) if kind == "soc"
                                  else psd_metrics(form, s[a:b], z[a:b], c.dim))
                    worst, cond = max(worst, err), max(cond, kappa)
                row.append(f"{form} {worst:8.1e}")
            print(f"  scaling {len(points) - args.last + k:3d}: " + " | ".join(row) + f" | cond {cond:8.1e}")
        print("  whole runs:")
        for form in forms:
            res, _, seconds = run(prob, form, kind)
            print(f"    {form:10s} {res.status:16s} it {res.iterations:3d} pres {res.primal_residual:8.1e} "
                  f"dres {res.dual_residual:8.1e} gap {res.gap:8.1e} obj {res.objective:.12g} {seconds:7.2f} s "
                  f"{res.linear_solver} {res.message}", flush=True)


if __name__ == "__main__":
    main()
