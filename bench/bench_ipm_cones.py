"""_ipm_cones on host arrays: per-call cost of the batched forms against the NumPy cone
blocks of cones_ipm (one call per group against a loop over the group's cones), for 200
second-order cones of dimension 10, one of dimension 1500 and 10^4 nonnegative entries; the
exponential cones' forms (10^4 cones) against vectorised NumPy versions of the same formulas;
and the measurement behind the second-order expansion threshold: factorisation of a KKT matrix
[[I, I], [I, -H^-1]] with one cone of dimension n, H^-1 as its dense block or as the sparse
expansion (two extra rows), with qdldl and SciPy's sparse LU."""
import numpy as np
import scipy.sparse as sp
import scipy.sparse.linalg as spla

import _ipm_cones as ipm
from common import best_time, report

try:
    import qdldl
except ImportError:  # optional peer
    qdldl = None


def soc_point(rng, n, batch):
    x = rng.standard_normal((batch, n))
    x[:, 0] = np.linalg.norm(x[:, 1:], axis=1) + rng.uniform(0.5, 1.5, batch)
    return x.reshape(-1)


def group_rows(label, cone, blocks, s, z, dx, x):
    """Module (one batched call) against the NumPy blocks (a loop over the group's cones)."""
    n, batch = cone.rows, len(blocks)
    parts = lambda v: [v[b * n:(b + 1) * n] for b in range(batch)]  # noqa: E731
    sp_, zp, dxp, xp = parts(s), parts(z), parts(dx), parts(x)
    sc, lam, out = np.empty(cone.scaling_size * batch), np.empty(n * batch), np.empty(n * batch)
    cone.nt_scaling_into(s, z, sc, lam, batch)
    scalings = [blk.nt_scaling(a, b) for blk, a, b in zip(blocks, sp_, zp)]
    lams = [t.lam for t in scalings]
    rows = [
        (f"{label}: nt_scaling_into", n * batch, best_time(lambda: cone.nt_scaling_into(s, z, sc, lam, batch)),
         best_time(lambda: [blk.nt_scaling(a, b) for blk, a, b in zip(blocks, sp_, zp)])),
        (f"{label}: scale_into (W x)", n * batch, best_time(lambda: cone.scale_into(sc, x, out, batch=batch)),
         best_time(lambda: [t.W(v) for t, v in zip(scalings, xp)])),
        (f"{label}: jordan_product_into", n * batch, best_time(lambda: cone.jordan_product_into(lam, x, out, batch)),
         best_time(lambda: [blk.prod(a, v) for blk, a, v in zip(blocks, lams, xp)])),
        (f"{label}: jordan_solve_into", n * batch, best_time(lambda: cone.jordan_solve_into(lam, x, out, batch)),
         best_time(lambda: [blk.solve(a, v) for blk, a, v in zip(blocks, lams, xp)])),
        (f"{label}: max_step", n * batch, best_time(lambda: cone.max_step(s, dx, batch)),
         best_time(lambda: min(blk.max_step(a, d) for blk, a, d in zip(blocks, sp_, dxp)))),
    ]
    return rows


def cone_rows(rng):
    from cones_ipm.cones import NonnegativeBlock, SecondOrderBlock
    from cones_ipm.problem import ConeDecl
    rows = []
    for n, batch in ((10, 200), (1500, 1)):
        cone = ipm.SecondOrderCone(n)
        blocks = [SecondOrderBlock(ConeDecl("soc", n), 0) for _ in range(batch)]
        s, z, x = soc_point(rng, n, batch), soc_point(rng, n, batch), soc_point(rng, n, batch)
        dx = rng.standard_normal(n * batch)
        rows += group_rows(f"SOC {batch} x dim {n}", cone, blocks, s, z, dx, x)
    n = 10**4
    cone = ipm.NonnegativeCone(n)
    blocks = [NonnegativeBlock(ConeDecl("nonnegative", n), 0)]
    s, z, x = (rng.uniform(0.5, 2.0, n) for _ in range(3))
    rows += group_rows("nonnegative 10^4", cone, blocks, s, z, rng.standard_normal(n), x)
    return rows


# --- exponential cones: vectorised NumPy forms of the module's formulas (arrays of shape (n, 3)) ---

def np_log_ratio(num, den):
    q = num / den
    with np.errstate(divide="ignore", invalid="ignore"):
        out = np.log(q)
        near = (q > 0.5) & (q < 2.0)
        out[near] = np.log1p((num[near] - den[near]) / den[near])
    return out


def np_interior(s, dual=False):
    a, b, c = s.T
    with np.errstate(divide="ignore", invalid="ignore"):
        if dual:
            return (a < 0) & (c > 0) & ((b - a) - a * np_log_ratio(c, -a) > 0)
        return (b > 0) & (c > 0) & (b * np_log_ratio(c, b) - a > 0)


def np_step(s, ds, z, dz, alpha0, factor=0.8):
    """The backtracking loop: one batched membership test of every cone per trial alpha."""
    alpha = alpha0
    while not (np_interior(s + alpha * ds).all() and np_interior(z + alpha * dz, dual=True).all()):
        alpha *= factor
    return alpha


def np_barrier_parts(s):
    x, y, z = s.T
    r = np_log_ratio(z, y)
    return x, y, z, r, y * r - x


def np_gradient(s):
    x, y, z, r, psi = np_barrier_parts(s)
    return np.column_stack([1 / psi, -(r - 1) / psi - 1 / y, -(y / z) / psi - 1 / z])


def np_factor(s):
    """Upper triangular R with hess f = R^T R, as (n, 3, 3)."""
    x, y, z, r, psi = np_barrier_parts(s)
    ip, iy = 1 / psi, 1 / y
    R = np.zeros((len(s), 3, 3))
    R[:, 0] = np.column_stack([-ip, (r - 1) * ip, (y / z) * ip])
    R[:, 1, 1] = np.sqrt(ip + iy) / np.sqrt(y)
    R[:, 1, 2] = -(ip / z) / R[:, 1, 1]
    R[:, 2, 2] = np.sqrt(2 * ip + iy) / np.sqrt(y) / (z * R[:, 1, 1])
    return R


def np_shadow(zd):
    """s~ = -grad f*(z): Newton on e + log1p(e) = d for all cones at once."""
    u, v, w = zd.T
    a = -u
    d = v / a + 1 + np_log_ratio(w, a)
    e = np.where(d < 1, 0.5 * d, d - np.log(np.maximum(d, 1.0)))
    e = np.maximum(e, 0.25 * d / (1 + d))
    for _ in range(64):
        nxt = e - (e + np.log1p(e) - d) / (1 + 1 / (1 + e))
        nxt = np.where(nxt <= 0, 0.5 * e, nxt)
        done = np.abs(nxt - e) <= 4 * np.finfo(float).eps * nxt
        e = nxt
        if done.all():
            break
    y = 1 / (a * e)
    return np.column_stack([y * (v / a + 1 - 2 * e), y, (1 + e) / (e * w)])


def np_scaling(s, z):
    """h (n, 3), p (n, 3, 3), g, q, s~: H = sum h_k p_k p_k^T, H^-1 = sum g_k q_k q_k^T (the primal-dual
    form; the central-path BFGS form where mu mu~ - 1 <= 1e-7)."""
    dot = lambda a, b: np.einsum("ij,ij->i", a, b)  # noqa: E731
    apply = lambda M, v: np.einsum("nij,nj->ni", M, v)  # noqa: E731
    zt, st = -np_gradient(s), np_shadow(z)
    sz = dot(s, z)
    mu = sz / 3
    R = np_factor(s)
    ds = s - (sz / dot(st, z))[:, None] * st
    dz = z - (sz / dot(s, zt))[:, None] * zt
    dsdz = dot(ds, dz)
    a, b = np.cross(s, st), np.cross(z, zt)
    na2 = dot(a, a)
    minors = np.cross(apply(R, s), apply(R, st))
    x, y, zz, r, psi = np_barrier_parts(s)
    det = (2 * y + psi) / (psi ** 3 * y ** 2 * zz ** 2)
    t = mu * det * na2 / dot(minors, minors)
    a /= np.sqrt(na2)[:, None]
    b /= np.linalg.norm(b, axis=1)[:, None]
    h = np.column_stack([1 / sz, 1 / dsdz, t])
    g = np.column_stack([1 / sz, 1 / dsdz, 1 / (t * dot(a, b) ** 2)])
    p, q = np.stack([z, dz, a], 1), np.stack([s, ds, b], 1)
    central = mu * dot(st, zt) / 3 - 1 <= 1e-7
    if central.any():  # the BFGS form on the plane orthogonal to s
        sc, zc, Rc, szc, muc = s[central], z[central], R[central], sz[central], mu[central]
        rho = apply(Rc, sc)
        e1 = np.cross(sc, np.eye(3)[np.argmin(np.abs(sc), axis=1)])
        e1 /= np.linalg.norm(e1, axis=1)[:, None]
        e2 = np.cross(sc, e1)
        e2 /= np.linalg.norm(e2, axis=1)[:, None]
        m1, m2 = (apply(Rc, e) for e in (e1, e2))
        m1 = m1 - rho * (dot(rho, m1) / dot(rho, rho))[:, None]
        m2 = m2 - rho * (dot(rho, m2) / dot(rho, rho))[:, None]
        r11 = np.linalg.norm(m1, axis=1)
        r12 = dot(m1, m2) / r11
        r22 = np.linalg.norm(np.cross(m1, m2), axis=1) / r11
        pe1 = e1 - sc * (dot(zc, e1) / szc)[:, None]
        pe2 = e2 - sc * (dot(zc, e2) / szc)[:, None]
        h[central] = np.column_stack([1 / szc, muc, muc])
        g[central] = np.column_stack([1 / szc, 1 / muc, 1 / muc])
        p[central] = np.stack([zc, r11[:, None] * e1 + r12[:, None] * e2, r22[:, None] * e2], 1)
        q[central] = np.stack([sc, pe1 / r11[:, None], (pe2 - (r12 / r11)[:, None] * pe1) / r22[:, None]], 1)
    return h, p, g, q, st


def np_product(w, v, x):
    return np.einsum("nk,nki,nk->ni", w, v, np.einsum("nki,ni->nk", v, x))


def np_corrector(s, ds, dz):
    """eta = 1/2 f'''(s)[ds, hess f^-1 dz], hess f^-1 dz by two triangular solves with R."""
    x, y, z, r, psi = np_barrier_parts(s)
    R = np_factor(s)
    w = np.linalg.solve(np.transpose(R, (0, 2, 1)), dz[..., None])
    u = np.linalg.solve(R, w)[..., 0]
    a0, a1, a2 = ds.T
    b0, b1, b2 = u.T
    gp1, gp2 = r - 1, y / z
    ga, gb = -a0 + gp1 * a1 + gp2 * a2, -b0 + gp1 * b1 + gp2 * b2
    ha1, ha2 = -a1 / y + a2 / z, a1 / z - (y / z ** 2) * a2
    hb1, hb2 = -b1 / y + b2 / z, b1 / z - (y / z ** 2) * b2
    ahb = a1 * hb1 + a2 * hb2
    t1 = a1 * b1 / y ** 2 - a2 * b2 / z ** 2
    t2 = -(a1 * b2 + a2 * b1) / z ** 2 + 2 * y * a2 * b2 / z ** 3
    cube = 2 * ga * gb / psi ** 3
    out1 = -t1 / psi + (hb1 * ga + ha1 * gb + gp1 * ahb) / psi ** 2 - gp1 * cube - 2 * a1 * b1 / y ** 3
    out2 = -t2 / psi + (hb2 * ga + ha2 * gb + gp2 * ahb) / psi ** 2 - gp2 * cube - 2 * a2 * b2 / z ** 3
    out = np.column_stack([cube - ahb / psi ** 2, out1, out2])
    return 0.5 * out


def exponential_rows(rng, n=10**4):
    """The module's batched forms against the NumPy forms above, 10^4 cones at interior points."""
    def points(dual):
        a, w = 10.0 ** rng.uniform(-1, 1, (2, n))
        delta = 10.0 ** rng.uniform(-1, 0.5, n)
        if dual:
            return np.column_stack([-a, a * (delta - 1 - np.log(w / a)), w])
        return np.column_stack([a * (np.log(w / a) - delta), a, w])

    s, z = points(False), points(True)
    ds, dz = rng.standard_normal((n, 3)) * 0.5 * np.abs(s), rng.standard_normal((n, 3)) * 0.5 * np.abs(z)
    S, Z, DS, DZ = (v.reshape(-1) for v in (s, z, ds, dz))
    cone = ipm.ExponentialCone(n)
    state, out = np.empty(cone.scaling_size), np.empty(3 * n)
    cone.scaling_into(S, Z, state)
    h, p, g, q, st = np_scaling(s, z)
    assert cone.backtrack_step(S, DS, Z, DZ, 1.0) == np_step(s, ds, z, dz, 1.0)
    label = f"exp {n} cones"
    return [
        (f"{label}: interior + dual_interior", n, best_time(lambda: (cone.interior(S), cone.dual_interior(Z))),
         best_time(lambda: (np_interior(s).all(), np_interior(z, dual=True).all()))),
        (f"{label}: backtrack_step", n, best_time(lambda: cone.backtrack_step(S, DS, Z, DZ, 1.0)),
         best_time(lambda: np_step(s, ds, z, dz, 1.0))),
        (f"{label}: dual_shadow_into", n, best_time(lambda: cone.dual_shadow_into(Z, out)),
         best_time(lambda: np_shadow(z))),
        (f"{label}: scaling_into", n, best_time(lambda: cone.scaling_into(S, Z, state)),
         best_time(lambda: np_scaling(s, z))),
        (f"{label}: hmatrix_product_into", n, best_time(lambda: cone.hmatrix_product_into(state, DS, out)),
         best_time(lambda: np_product(h, p, ds))),
        (f"{label}: corrector_into", n, best_time(lambda: cone.corrector_into(S, DS, DZ, out)),
         best_time(lambda: np_corrector(s, ds, dz))),
        (f"{label}: combined_shift_into", n,
         best_time(lambda: cone.combined_shift_into(state, S, DS, DZ, out, 0.1)),
         best_time(lambda: s - 0.1 * st - np_product(g, q, np_corrector(s, ds, dz)))),
    ]


def kkt(n, expanded, rng):
    """[[I, I], [I, -H^-1]] (plus the expansion's two rows), CSC, with its values filled by the
    module from one cone's scaling state."""
    cone = ipm.SecondOrderCone(n)
    sc, lam = np.empty(cone.scaling_size), np.empty(n)
    cone.nt_scaling_into(soc_point(rng, n, 1), soc_point(rng, n, 1), sc, lam)
    eye = sp.identity(n, format="csr")
    if expanded:
        rows, cols = cone.expansion_pattern(n)
        block = sp.csr_matrix((np.ones(rows.size), (rows, cols)), shape=(n + 2, n + 2))
        block.sort_indices()
        cone.expansion_csr_values_into(sc, block.indptr.astype(np.int64), block.indices.astype(np.int64),
                                       block.data, n, inverse=True)
        g = sp.vstack([eye, sp.csr_matrix((2, n))])
    else:
        block = sp.csr_matrix(np.ones((n, n)))
        cone.hmatrix_csr_values_into(sc, block.indptr.astype(np.int64), block.indices.astype(np.int64), block.data,
                                     inverse=True)
        g = eye
    return sp.bmat([[sp.identity(n), g.T], [g, -block]], format="csc")


def threshold_rows(rng):
    rows = []
    for n in (8, 16, 32, 48, 64, 96, 128, 256, 1500):
        dense, expanded = kkt(n, False, rng), kkt(n, True, rng)
        if qdldl is not None:
            rows.append(("KKT LDL^T (qdldl): expanded vs dense", n, best_time(lambda: qdldl.Solver(expanded), repeat=3),
                         best_time(lambda: qdldl.Solver(dense), repeat=3)))
        rows.append(("KKT sparse LU (SciPy): expanded vs dense", n, best_time(lambda: spla.splu(expanded), repeat=3),
                     best_time(lambda: spla.splu(dense), repeat=3)))
    return rows


def main():
    rng = np.random.default_rng(3)
    try:
        report(cone_rows(rng), "_ipm_cones batched forms vs the cones_ipm NumPy blocks, host arrays")
    except ImportError as err:  # the solver's per-cone NumPy blocks are not in this tree
        print(f"\n(cones_ipm NumPy blocks unavailable, rows skipped: {err})")
    report(exponential_rows(rng), "_ipm_cones exponential cones vs vectorised NumPy forms of the same formulas")
    report(threshold_rows(rng), "second-order expansion: KKT factorisation, expanded (module) vs dense (reference)")


if __name__ == "__main__":
    main()
