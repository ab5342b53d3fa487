"""_ipm_cones on host arrays: per-call cost of the batched forms against the NumPy cone
families of cones_ipm (one module call per group against the family's vectorised NumPy body
over the same cones), for 200 second-order cones of dimension 10, one of dimension 1500, 10^4
nonnegative entries and 20 PSD cones of each order 5, 10, 20, 40, 60; and the measurement
behind the second-order expansion threshold: factorisation of a KKT matrix [[I, I], [I, -H^-1]]
with one cone of dimension n, H^-1 as its dense block or as the sparse expansion (two extra
rows), with qdldl and SciPy's sparse LU."""
import numpy as np
import scipy.sparse as sp
import scipy.sparse.linalg as spla

import _ipm_cones as ipm
from common import best_time, report
from cones_ipm.cones import NonnegativeFamily, PsdFamily, SecondOrderFamily
from cones_ipm.problem import ConeDecl

try:
    import qdldl
except ImportError:  # optional peer
    qdldl = None


def soc_point(rng, n, batch):
    x = rng.standard_normal((batch, n))
    x[:, 0] = np.linalg.norm(x[:, 1:], axis=1) + rng.uniform(0.5, 1.5, batch)
    return x.reshape(-1)


def psd_point(rng, n, batch):
    """svec runs of random positive definite matrices (eigenvalues in [0.5, 1.5])."""
    q, _ = np.linalg.qr(rng.standard_normal((batch, n, n)))
    m = (q * rng.uniform(0.5, 1.5, (batch, 1, n))) @ np.swapaxes(q, 1, 2)
    i, j = np.tril_indices(n)
    return (m[:, i, j] * np.where(i == j, 1.0, np.sqrt(2.0))).reshape(-1)


def family_of(kind, n, batch, rows):
    decls = [(ConeDecl(kind, n), b * rows) for b in range(batch)]
    return {"nonnegative": NonnegativeFamily, "soc": SecondOrderFamily, "psd": PsdFamily}[kind](decls)


def group_rows(label, cone, family, batch, s, z, dx, x):
    """Module (one batched call) against the NumPy family over the same cones."""
    size = cone.rows * batch
    sc, lam, out = np.empty(cone.scaling_size * batch), np.empty(size), np.empty(size)
    cone.nt_scaling_into(s, z, sc, lam, batch)
    family.scale(s, z)
    flam = family.lam
    return [
        (f"{label}: nt_scaling_into", size, best_time(lambda: cone.nt_scaling_into(s, z, sc, lam, batch)),
         best_time(lambda: family.scale(s, z))),
        (f"{label}: scale_into (W x)", size, best_time(lambda: cone.scale_into(sc, x, out, batch=batch)),
         best_time(lambda: family.W(x))),
        (f"{label}: jordan_product_into", size, best_time(lambda: cone.jordan_product_into(lam, x, out, batch)),
         best_time(lambda: family.prod(flam, x))),
        (f"{label}: jordan_solve_into", size, best_time(lambda: cone.jordan_solve_into(lam, x, out, batch)),
         best_time(lambda: family.lam_solve(x))),
        (f"{label}: max_step", size, best_time(lambda: cone.max_step(s, dx, batch)),
         best_time(lambda: family.max_step(s, dx))),
    ]


def cone_rows(rng):
    rows = []
    for n, batch in ((10, 200), (1500, 1)):
        cone = ipm.SecondOrderCone(n)
        s, z, x = soc_point(rng, n, batch), soc_point(rng, n, batch), soc_point(rng, n, batch)
        rows += group_rows(f"SOC {batch} x dim {n}", cone, family_of("soc", n, batch, n), batch, s, z,
                           rng.standard_normal(n * batch), x)
    n = 10**4
    cone = ipm.NonnegativeCone(n)
    s, z, x = (rng.uniform(0.5, 2.0, n) for _ in range(3))
    rows += group_rows("nonnegative 10^4", cone, family_of("nonnegative", n, 1, n), 1, s, z,
                       rng.standard_normal(n), x)
    return rows


def psd_rows(rng, batch=20):
    rows = []
    for n in (5, 10, 20, 40, 60):
        cone = ipm.PsdCone(n)
        s, z, x = psd_point(rng, n, batch), psd_point(rng, n, batch), psd_point(rng, n, batch)
        rows += group_rows(f"PSD {batch} x order {n}", cone, family_of("psd", n, batch, cone.rows), batch, s, z,
                           rng.standard_normal(cone.rows * batch), x)
    return rows


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
    report(cone_rows(rng), "_ipm_cones batched forms vs the cones_ipm NumPy families, host arrays")
    report(psd_rows(rng), "_ipm_cones PSD batched forms vs the cones_ipm NumPy PSD family, host arrays")
    report(threshold_rows(rng), "second-order expansion: KKT factorisation, expanded (module) vs dense (reference)")


if __name__ == "__main__":
    main()
