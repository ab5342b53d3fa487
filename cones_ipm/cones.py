"""The cone product K of a conic program, built from the module's cone classes: scaling matrices, membership, step lengths and the Jordan algebra the solver needs."""
from __future__ import annotations

import numpy as np
import scipy.optimize
import scipy.sparse as sp

import _cpp_cuda as module


class ConeFailure(RuntimeError):
    """A cone operation could not be carried out (point not interior, non-finite scaling)."""


# ---------------------------------------------------------------------------------------
# Array placement: where the module's cone work runs.
# ---------------------------------------------------------------------------------------
class HostArrays:
    """Cone work on NumPy host arrays."""

    name = "host"

    def to_device(self, a):
        return np.ascontiguousarray(a, dtype=a.dtype if a.dtype == np.int64 else np.float64)

    def to_host(self, a):
        return a

    def empty(self, n):
        return np.empty(n)


class DeviceArrays:
    """Cone work on CUDA device arrays: CuPy on a GPU, or the emulated device of the
    CUDA host emulation build. Vectors are copied to the device before each module call
    and results copied back; the linear algebra stays on the host."""

    name = "device"

    def __init__(self):
        if not module.has_cuda():
            raise RuntimeError("device arrays need a build of _cpp_cuda with a CUDA device (or its emulation)")
        try:
            import _cuemu
        except ImportError:
            _cuemu = None
        if _cuemu is not None:
            self._to_device = lambda a: _cuemu.array(a)
            self._to_host = lambda d: np.asarray(_cuemu.to_numpy(d))
            self._empty = lambda n: _cuemu.empty(n)
            self.kind = "emulated"
        else:
            import cupy
            self._to_device = cupy.asarray
            self._to_host = cupy.asnumpy
            self._empty = lambda n: cupy.empty(n, dtype=cupy.float64)
            self.kind = "cuda"

    def to_device(self, a):
        a = np.ascontiguousarray(a)
        if a.dtype != np.int64:
            a = a.astype(np.float64, copy=False)
        return self._to_device(a)

    def to_host(self, d):
        return self._to_host(d)

    def empty(self, n):
        return self._empty(n)


def make_arrays(where: str):
    """'host' or 'device' array placement."""
    if where == "host":
        return HostArrays()
    if where == "device":
        return DeviceArrays()
    raise ValueError(f"unknown array placement {where!r}")


# ---------------------------------------------------------------------------------------
# One block of the product per cone. Symmetric cones carry the Jordan algebra used for
# the Nesterov–Todd scaled variables; all vectors here are host NumPy arrays.
# ---------------------------------------------------------------------------------------
class NtScaling:
    """Nesterov–Todd scaling of one symmetric block: λ = W z = W⁻ᵀ s and the maps
    v ↦ W v, v ↦ Wᵀ v, v ↦ W⁻ᵀ v (WᵀW = H⁻¹, W an automorphism of the cone)."""

    def __init__(self, lam, W, WT, WinvT):
        self.lam, self.W, self.WT, self.WinvT = lam, W, WT, WinvT


class Block:
    symmetric = True
    device_membership = True  # the module's membership test accepts device arrays

    def __init__(self, decl, offset, cone):
        self.decl, self.offset, self.cone = decl, offset, cone
        self.rows = decl.rows
        self.sl = slice(offset, offset + self.rows)

    def dense_h_pattern(self):
        """Column index lists of the stored entries of each local row of H (block-local)."""
        full = list(range(self.rows))
        return [full] * self.rows


class NonnegativeBlock(Block):
    """Nonnegative orthant R^n_+: x∘y = x.*y, e = ones, H = diag(z/s)."""

    def __init__(self, decl, offset):
        super().__init__(decl, offset, module.NonnegativeConeCpp(decl.dim))
        self.degree = decl.dim

    def dense_h_pattern(self):
        return [[i] for i in range(self.rows)]

    def identity(self):
        return np.ones(self.rows)

    def prod(self, x, y):
        return x * y

    def solve(self, lam, v):
        """u with lam∘u = v."""
        return v / lam

    def quad(self, u, x):
        """P(u) x = u² x."""
        return u * u * x

    def power(self, x, p):
        if np.any(x <= 0):
            raise ConeFailure("nonnegative spectral power of a non-interior vector")
        return x ** p

    def min_eig(self, x):
        return x.min() if x.size else np.inf

    def nt_scaling(self, s, z):
        """W = diag(√(s/z)): W z = W⁻ᵀ s = λ = √(s z)."""
        w = np.sqrt(s / z)
        return NtScaling(np.sqrt(s * z), lambda v: w * v, lambda v: w * v, lambda v: v / w)

    def max_step(self, x, dx, dual=False):
        """Largest α ≥ 0 with x + α dx ≥ 0 (inf when dx ≥ 0)."""
        neg = dx < 0
        return np.min(-x[neg] / dx[neg]) if np.any(neg) else np.inf


class SecondOrderBlock(Block):
    """Lorentz cone {x0 ≥ ‖x̄‖}: x∘y = (xᵀy, x0 ȳ + y0 x̄), e = (1, 0, ..., 0), degree 2."""

    def __init__(self, decl, offset):
        super().__init__(decl, offset, module.SecondOrderConeCpp(decl.dim))
        self.degree = 1 if decl.dim == 1 else 2

    def identity(self):
        e = np.zeros(self.rows)
        e[0] = 1.0
        return e

    def prod(self, x, y):
        return np.concatenate([[x @ y], x[0] * y[1:] + y[0] * x[1:]])

    def solve(self, lam, v):
        """u with lam∘u = v (the arrow matrix of lam inverted in closed form)."""
        det = lam[0] ** 2 - lam[1:] @ lam[1:]
        u0 = (lam[0] * v[0] - lam[1:] @ v[1:]) / det
        return np.concatenate([[u0], (v[1:] - u0 * lam[1:]) / lam[0]])

    def quad(self, u, x):
        """P(u) x = 2 (uᵀx) u − det(u) J x, J = diag(1, −1, ..., −1)."""
        det = u[0] ** 2 - u[1:] @ u[1:]
        jx = -x
        jx[0] = x[0]
        return 2.0 * (u @ x) * u - det * jx

    def power(self, x, p):
        """Spectral power: x = λ1 q1 + λ2 q2 ↦ λ1^p q1 + λ2^p q2."""
        r = np.linalg.norm(x[1:])
        l1, l2 = x[0] + r, x[0] - r
        if not (l1 > 0 and l2 > 0):
            raise ConeFailure("second-order spectral power of a non-interior vector")
        f1, f2 = l1 ** p, l2 ** p
        y = np.zeros_like(x)
        y[0] = 0.5 * (f1 + f2)
        if r > 0:
            y[1:] = (0.5 * (f1 - f2) / r) * x[1:]
        return y

    def min_eig(self, x):
        return x[0] - np.linalg.norm(x[1:])

    def _jdet(self, x):
        return (x[0] - np.linalg.norm(x[1:])) * (x[0] + np.linalg.norm(x[1:]))

    def nt_scaling(self, s, z):
        """W = η P(v) = η (2 v vᵀ − J), symmetric, with a = √det s, b = √det z,
        γ = √((1 + sᵀz/(ab))/2), w = (s/a + J z/b)/(2γ) (wᵀJw = 1), v = (w + e)/√(2(w0 + 1))
        (so v∘v = w) and η = √(a/b); W⁻¹ = P(J v)/η. Then WᵀW = η² P(w) = H⁻¹."""
        a, b = np.sqrt(self._jdet(s)), np.sqrt(self._jdet(z))
        if not (a > 0 and b > 0):
            raise ConeFailure("second-order scaling of a non-interior pair")
        gamma = np.sqrt(0.5 * (1.0 + (s @ z) / (a * b)))
        jz = -z / b
        jz[0] = -jz[0]
        w = (s / a + jz) / (2.0 * gamma)
        v = w.copy()
        v[0] += 1.0
        v /= np.sqrt(2.0 * (w[0] + 1.0))
        jv = -v
        jv[0] = v[0]
        eta = np.sqrt(a / b)

        def W(x):
            return eta * self.quad(v, x)

        def Winv(x):
            return self.quad(jv, x) / eta

        return NtScaling(W(z), W, W, Winv)

    def max_step(self, x, dx, dual=False):
        """Largest α ≥ 0 with x + α dx in the cone: the first positive root of
        det(x + α dx) = a α² + 2 b α + c (x interior, so c > 0)."""
        if dx[0] >= np.linalg.norm(dx[1:]):
            return np.inf
        a = dx[0] ** 2 - dx[1:] @ dx[1:]
        b = x[0] * dx[0] - x[1:] @ dx[1:]
        c = max(x[0] ** 2 - x[1:] @ x[1:], 0.0)
        disc = b * b - a * c
        if disc < 0:
            return np.inf
        q = -(b + np.copysign(np.sqrt(disc), b))
        roots = [r for r in ((q / a) if a != 0 else np.inf, (c / q) if q != 0 else np.inf) if r > 0]
        return min(roots) if roots else np.inf


class PsdBlock(Block):
    """PSD cone of order n in svec form: X∘Y = (XY + YX)/2, e = svec(I), degree n."""

    def __init__(self, decl, offset):
        super().__init__(decl, offset, module.PsdConeCpp(decl.dim))
        self.n = decl.dim
        self.degree = decl.dim
        # The module's membership test takes device arrays only for order 2.
        self.device_membership = decl.dim == 2

    def smat(self, v):
        return module.psd_smat(np.ascontiguousarray(v), self.n)

    def svec(self, m):
        return module.psd_svec(np.ascontiguousarray(0.5 * (m + m.T)).reshape(-1), self.n)

    def identity(self):
        return self.svec(np.eye(self.n))

    def prod(self, x, y):
        X, Y = self.smat(x), self.smat(y)
        return self.svec(0.5 * (X @ Y + Y @ X))

    def solve(self, lam, v):
        """U with (ΛU + UΛ)/2 = V: in the eigenbasis of Λ, U'_ij = V'_ij / ((l_i + l_j)/2)."""
        l, Q = np.linalg.eigh(self.smat(lam))
        V = Q.T @ self.smat(v) @ Q
        return self.svec(Q @ (V / (0.5 * (l[:, None] + l[None, :]))) @ Q.T)

    def quad(self, u, x):
        """P(U) X = U X U."""
        U = self.smat(u)
        return self.svec(U @ self.smat(x) @ U)

    def power(self, x, p):
        l, Q = np.linalg.eigh(self.smat(x))
        if not np.all(l > 0):
            raise ConeFailure("PSD spectral power of a non-interior matrix")
        return self.svec((Q * l ** p) @ Q.T)

    def min_eig(self, x):
        return np.linalg.eigvalsh(self.smat(x))[0]

    def nt_scaling(self, s, z):
        """With S = Ls Lsᵀ, Z = Lz Lzᵀ and Lzᵀ Ls = U Σ Vᵀ: R = Ls V Σ^{-1/2} gives
        Rᵀ Z R = R⁻¹ S R⁻ᵀ = Σ, so W X = Rᵀ X R, Wᵀ X = R X Rᵀ, W⁻ᵀ X = R⁻¹ X R⁻ᵀ,
        λ = svec(Σ) and WᵀW X = (R Rᵀ) X (R Rᵀ) = H⁻¹ X."""
        try:
            Ls, Lz = np.linalg.cholesky(self.smat(s)), np.linalg.cholesky(self.smat(z))
        except np.linalg.LinAlgError as err:
            raise ConeFailure("PSD scaling of a non-interior pair") from err
        U, sig, Vt = np.linalg.svd(Lz.T @ Ls)
        R = Ls @ Vt.T / np.sqrt(sig)
        Ri = np.linalg.inv(R)

        def congruence(M):
            return lambda x: self.svec(M.T @ self.smat(x) @ M)

        return NtScaling(self.svec(np.diag(sig)), congruence(R), congruence(R.T), congruence(Ri.T))

    def max_step(self, x, dx, dual=False):
        """Largest α ≥ 0 with X + α D ⪰ 0: with X = L Lᵀ, α = −1/λmin(L⁻¹ D L⁻ᵀ)."""
        try:
            L = np.linalg.cholesky(self.smat(x))
        except np.linalg.LinAlgError:
            return 0.0
        Li = np.linalg.inv(L)
        lmin = np.linalg.eigvalsh(Li @ self.smat(dx) @ Li.T)[0]
        return -1.0 / lmin if lmin < 0 else np.inf


def _exp_barrier_gradient(v):
    """−∇F(s) per block for F(x, y, z) = −log(y log(z/y) − x) − log y − log z,
    the logarithmically homogeneous barrier (degree 3) of {y e^{x/y} ≤ z}; shape (3B,)."""
    x, y, z = v[0::3], v[1::3], v[2::3]
    psi = y * np.log(z / y) - x
    g = np.empty_like(v)
    g[0::3] = -1.0 / psi
    g[1::3] = (np.log(z / y) - 1.0) / psi + 1.0 / y
    g[2::3] = y / (z * psi) + 1.0 / z
    return g


def _exp_central_point():
    """The point c = −∇F(c) of the exponential cone, interior to the cone and its dual."""
    return scipy.optimize.fsolve(lambda v: v - _exp_barrier_gradient(v), [-1.0, 0.5, 1.25], xtol=1e-12)


EXP_CENTRAL_POINT = _exp_central_point()
# (u, v, w) ∈ K_exp* (u < 0, −u e^{v/u} ≤ e w)  ⇔  T (u, v, w) = (u − v, −u, w) ∈ K_exp.
_EXP_DUAL_MAP = np.array([[1.0, -1.0, 0.0], [-1.0, 0.0, 0.0], [0.0, 0.0, 1.0]])


class ExponentialBlock(Block):
    """`dim` exponential cones {(x, y, z): y e^{x/y} ≤ z}. Not self-dual and without a
    Jordan algebra: the module's block is a secant scaling (H s = z, symmetric), centring
    uses the barrier gradient, and step lengths come from the module's membership test."""

    symmetric = False

    def __init__(self, decl, offset):
        super().__init__(decl, offset, module.ExponentialConeCpp(decl.dim))
        self.degree = 3 * decl.dim

    def dense_h_pattern(self):
        return [[3 * (i // 3) + j for j in range(3)] for i in range(self.rows)]

    def identity(self):
        return np.tile(EXP_CENTRAL_POINT, self.decl.dim)

    def barrier_gradient(self, s):
        return _exp_barrier_gradient(s)

    def dual_map(self, z):
        """Image of a dual vector in the primal cone (see _EXP_DUAL_MAP)."""
        return (z.reshape(-1, 3) @ _EXP_DUAL_MAP.T).reshape(-1)

    def inside(self, x, dual):
        v = self.dual_map(x) if dual else x
        y = v[1::3]
        # Strict interior: y > 0 plus the module's (closed) membership test with atol 0.
        return bool(np.all(y > 0)) and self.cone.contains(np.ascontiguousarray(v), atol=0.0)

    def max_step(self, x, dx, dual=False):
        """Largest α (to about 1e-10 relative) keeping x + α dx inside, by bisection on
        the module's membership test."""
        if self.inside(x + 1e6 * dx, dual):
            return np.inf
        lo, hi = 0.0, 1.0
        while self.inside(x + hi * dx, dual):
            lo, hi = hi, 2.0 * hi
        for _ in range(40):
            mid = 0.5 * (lo + hi)
            lo, hi = (mid, hi) if self.inside(x + mid * dx, dual) else (lo, mid)
        return lo


BLOCK_TYPES = {"nonnegative": NonnegativeBlock, "soc": SecondOrderBlock, "psd": PsdBlock, "exp": ExponentialBlock}


class ConeProduct:
    """K = K_1 × ... × K_r for the rows of G (no zero cones: those become rows of A).

    Holds the block-diagonal sparsity of the scaling matrix H (one dense block per cone,
    the diagonal for orthants, 3×3 blocks for exponential cones) as a CSR structure that
    the module fills with `hmatrix_csr_values_into`, on host or device arrays."""

    def __init__(self, decls, arrays):
        self.arrays = arrays
        self.blocks, off = [], 0
        for decl in decls:
            if decl.kind == "zero":
                raise ValueError("zero cones belong in A x = b")
            self.blocks.append(BLOCK_TYPES[decl.kind](decl, off))
            off += decl.rows
        self.m = off
        self.degree = sum(b.degree for b in self.blocks)
        self.symmetric = all(b.symmetric for b in self.blocks)
        indptr, indices = [0], []
        for blk in self.blocks:
            for cols in blk.dense_h_pattern():
                indices.extend(blk.offset + c for c in cols)
                indptr.append(len(indices))
        self.indptr = np.asarray(indptr, dtype=np.int64)
        self.indices = np.asarray(indices, dtype=np.int64)
        self._indptr_d = arrays.to_device(self.indptr)
        self._indices_d = arrays.to_device(self.indices)

    def identity(self):
        return np.concatenate([b.identity() for b in self.blocks])

    def inverse_scaling_matrix(self, s, z):
        """The block-diagonal H⁻¹ as an (m, m) CSR matrix, every block written by the
        module straight into the CSR values (on the device for device arrays).

        The NT scaling point of the pair (z, s) is the inverse of that of (s, z), so the
        module's scaling of the swapped pair, which maps z to s, is H⁻¹ itself. For the
        exponential cone the swapped pair gives the secant block that maps z to s."""
        return self.scaling_matrix(z, s)

    def scaling_matrix(self, s, z):
        """The block-diagonal H (H s = z) as an (m, m) CSR matrix, every block written by
        the module straight into the CSR values (on the device for device arrays)."""
        arrays = self.arrays
        values = arrays.empty(self.indices.size)
        try:
            for blk in self.blocks:
                blk.cone.hmatrix_csr_values_into(arrays.to_device(s[blk.sl]), arrays.to_device(z[blk.sl]),
                                                 self._indptr_d, self._indices_d, values, row_offset=blk.offset)
        except RuntimeError as err:
            raise ConeFailure(str(err)) from err
        values = np.array(arrays.to_host(values), dtype=np.float64)
        if not np.all(np.isfinite(values)):
            # Device paths do not test interiority; a non-finite block means the same.
            raise ConeFailure("scaling matrix is not finite (iterate left the cone interior)")
        return sp.csr_matrix((values, self.indices, self.indptr), shape=(self.m, self.m))

    def contains(self, v, dual=False):
        """Membership of v in K (or K* for dual vectors) by the module's test, atol 0."""
        arrays = self.arrays
        for blk in self.blocks:
            part = v[blk.sl]
            if isinstance(blk, ExponentialBlock):
                part = blk.dual_map(part) if dual else part
            target = arrays if blk.device_membership else HostArrays()
            if not blk.cone.contains(target.to_device(part), atol=0.0):
                return False
        return True

    def max_step(self, x, dx, dual=False):
        return min((blk.max_step(x[blk.sl], dx[blk.sl], dual) for blk in self.blocks), default=np.inf)

    def min_eig(self, x):
        """min over symmetric blocks of the smallest spectral value of x."""
        return min((blk.min_eig(x[blk.sl]) for blk in self.blocks if blk.symmetric), default=np.inf)
