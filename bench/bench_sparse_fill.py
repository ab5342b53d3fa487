"""Sparse H fill on the host: the module writing a cone's block straight into the values
of a CSR matrix, against SciPy building the same block from the dense H."""
import numpy as np
import scipy.sparse as sp

import _cpp_cuda as cones
from common import best_time, report


def svec(m):
    rows, cols = np.tril_indices(m.shape[0])
    return m[rows, cols] * np.where(rows == cols, 1.0, np.sqrt(2.0))


def soc_point(rng, n):
    tail = rng.standard_normal(n - 1)
    return np.concatenate([[np.linalg.norm(tail) + 1.0], tail])


def exp_point(rng, blocks):
    x = rng.uniform(-2.0, 1.0, blocks)
    y = rng.uniform(0.5, 2.0, blocks)
    return np.stack([x, y, y * np.exp(x / y) + 0.5], axis=1).reshape(-1)


def cases(rng):
    for n in (100, 1000, 10000):
        yield f"nonnegative n={n}", cones.NonnegativeConeCpp(n), rng.uniform(0.5, 2, n), rng.uniform(0.5, 2, n)
    for n in (50, 300, 1000):
        yield f"second-order n={n}", cones.SecondOrderConeCpp(n), soc_point(rng, n), soc_point(rng, n)
    for blocks in (100, 1000):
        yield f"exponential blocks={blocks}", cones.ExponentialConeCpp(blocks), exp_point(rng, blocks), exp_point(
            rng, blocks)
    for order in (5, 10, 20):
        a, b = rng.standard_normal((order, order)), rng.standard_normal((order, order))
        s, z = svec(a @ a.T + order * np.eye(order)), svec(b @ b.T + order * np.eye(order))
        yield f"psd order={order}", cones.PsdConeCpp(order), s, z


def main():
    rng = np.random.default_rng(5)
    rows = []
    for label, cone, s, z in cases(rng):
        r = cone.rows
        # The block's structure as a solver would store it: H's own pattern (dense blocks
        # for second-order and PSD, 3x3 blocks for exponential, the diagonal otherwise).
        pattern = sp.csr_matrix(cone.nt_scaling_matrix_array(s, z) != 0.0)
        pattern.sort_indices()
        indptr, indices = pattern.indptr.astype(np.int64), pattern.indices.astype(np.int64)
        values = np.empty(indices.size)

        def module_fill():
            cone.hmatrix_csr_values_into(s, z, indptr, indices, values)

        def scipy_fill():
            return sp.csr_matrix(cone.nt_scaling_matrix_array(s, z))

        module_fill()
        assert np.allclose(values, cone.nt_scaling_matrix_array(s, z)[pattern.nonzero()], rtol=1e-12, atol=1e-14)
        rows.append((f"CSR fill {label}", indices.size, best_time(module_fill), best_time(scipy_fill)))
    report(rows, "sparse H fill vs SciPy csr_matrix(dense H)  (size = stored entries)")


if __name__ == "__main__":
    main()
