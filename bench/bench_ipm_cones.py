"""_ipm_cones on host arrays: per-call cost of the batched forms (one call per group of equal
cones, as cones_ipm makes them) against a loop of one call per cone, for 200 second-order
cones of dimension 10 and 20 of dimension 1500; and
the measurement behind the second-order expansion threshold: factorisation of a KKT matrix
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


def group_rows(label, cone, batch, s, z, dx, x):
    """One batched call against a loop of one call per cone."""
    n = cone.rows
    sc, lam, out = np.empty(cone.scaling_size * batch), np.empty(n * batch), np.empty(n * batch)
    cone.nt_scaling_into(s, z, sc, lam, batch)
    k = cone.scaling_size
    item = lambda v, b, size=n: v[b * size:(b + 1) * size]  # noqa: E731

    def each(call):
        return lambda: [call(b) for b in range(batch)]

    return [
        (f"{label}: nt_scaling_into", n * batch, best_time(lambda: cone.nt_scaling_into(s, z, sc, lam, batch)),
         best_time(each(lambda b: cone.nt_scaling_into(item(s, b), item(z, b), item(sc, b, k), item(lam, b))))),
        (f"{label}: scale_into (W x)", n * batch, best_time(lambda: cone.scale_into(sc, x, out, batch=batch)),
         best_time(each(lambda b: cone.scale_into(item(sc, b, k), item(x, b), item(out, b))))),
        (f"{label}: jordan_product_into", n * batch, best_time(lambda: cone.jordan_product_into(lam, x, out, batch)),
         best_time(each(lambda b: cone.jordan_product_into(item(lam, b), item(x, b), item(out, b))))),
        (f"{label}: jordan_solve_into", n * batch, best_time(lambda: cone.jordan_solve_into(lam, x, out, batch)),
         best_time(each(lambda b: cone.jordan_solve_into(item(lam, b), item(x, b), item(out, b))))),
        (f"{label}: max_step", n * batch, best_time(lambda: cone.max_step(s, dx, batch)),
         best_time(lambda: min(cone.max_step(item(s, b), item(dx, b)) for b in range(batch)))),
    ]


def cone_rows(rng):
    rows = []
    for n, batch in ((10, 200), (1500, 20)):
        cone = ipm.SecondOrderCone(n)
        s, z, x = soc_point(rng, n, batch), soc_point(rng, n, batch), soc_point(rng, n, batch)
        rows += group_rows(f"SOC {batch} x dim {n}", cone, batch, s, z, rng.standard_normal(n * batch), x)
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
    report(cone_rows(rng), "_ipm_cones batched forms (module) vs one call per cone (reference), host arrays")
    report(threshold_rows(rng), "second-order expansion: KKT factorisation, expanded (module) vs dense (reference)")


if __name__ == "__main__":
    main()
