"""PSD cone on host arrays against NumPy references built on numpy.linalg.eigh: the
projection of one svec vector and the dense NT scaling operator H of one pair, for
matrix orders 2 to 100."""
import numpy as np

import _cpp_cuda as cones
from common import best_time, report

SQ2 = 1.4142135623730951
ORDERS = (2, 3, 5, 10, 20, 32, 64, 100)


class SvecIndex:
    """Precomputed index arrays of the svec order (lower triangle row by row)."""

    def __init__(self, n):
        rows, cols = [], []
        for i in range(n):
            for j in range(i + 1):
                rows.append(i)
                cols.append(j)
        self.n = n
        self.i = np.array(rows)
        self.j = np.array(cols)
        self.scale = np.where(self.i == self.j, 1.0, SQ2)

    def svec(self, M):
        return M[self.i, self.j] * self.scale

    def smat(self, v):
        M = np.empty((self.n, self.n))
        e = v / self.scale
        M[self.i, self.j] = e
        M[self.j, self.i] = e
        return M


def numpy_project(idx, v):
    lam, Q = np.linalg.eigh(idx.smat(v))
    return idx.svec((Q * np.maximum(lam, 0.0)) @ Q.T)


def numpy_nt(idx, s, z):
    """W = S^-1/2 (S^1/2 Z S^1/2)^1/2 S^-1/2 by two eigh calls, then the svec operator of
    X -> W X W in one vectorised pass."""
    lam, Q = np.linalg.eigh(idx.smat(s))
    r = np.sqrt(lam)
    Sh = (Q * r) @ Q.T
    Si = (Q / r) @ Q.T
    mu, P = np.linalg.eigh(Sh @ idx.smat(z) @ Sh)
    W = Si @ ((P * np.sqrt(mu)) @ P.T) @ Si
    a, b, c, d = idx.i[:, None], idx.j[:, None], idx.i[None, :], idx.j[None, :]
    t1 = W[a, c] * W[b, d]
    x = np.where(c == d, t1, (t1 + W[a, d] * W[b, c]) / SQ2)
    return x * np.where(a == b, 1.0, SQ2)


def spd_svec(idx, rng):
    A = rng.standard_normal((idx.n, idx.n))
    return idx.svec(A @ A.T / idx.n + np.eye(idx.n))


def main():
    rng = np.random.default_rng(1)
    proj_rows, nt_rows = [], []
    for n in ORDERS:
        cone = cones.PsdConeCpp(n)
        idx = SvecIndex(n)
        A = rng.standard_normal((n, n))
        x = idx.svec(A + A.T)
        out = np.empty(cone.rows)
        cone.project_into(x, out)
        assert np.allclose(out, numpy_project(idx, x), atol=1e-9 * (1 + np.abs(x).max()))
        repeat = 7 if n < 64 else 3
        proj_rows.append(("project_into vs eigh", n, best_time(lambda: cone.project_into(x, out), repeat),
                          best_time(lambda: numpy_project(idx, x), repeat)))

        s, z = spd_svec(idx, rng), spd_svec(idx, rng)
        H = np.empty(cone.rows * cone.rows)
        cone.nt_scaling_matrix_into(s, z, H)
        ref = numpy_nt(idx, s, z)
        assert np.allclose(H.reshape(ref.shape), ref, atol=1e-9 * np.abs(ref).max())
        nt_rows.append(("nt_scaling_matrix_into vs eigh", n,
                        best_time(lambda: cone.nt_scaling_matrix_into(s, z, H), repeat, 0.01),
                        best_time(lambda: numpy_nt(idx, s, z), repeat, 0.01)))
    report(proj_rows, "PSD projection, one svec vector, host arrays")
    report(nt_rows, "PSD NT scaling operator H, one pair, host arrays")


if __name__ == "__main__":
    main()
