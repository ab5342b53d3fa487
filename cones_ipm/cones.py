"""The cone product K of a conic program, one batched object per cone family.

Every family holds all cones of its kind in one concatenated vector (the family's rows of
s or z, in the order of the program) and carries out each operation the solver needs for
all of them at once:

    identity()              the identity e of the Jordan algebra (central point for K_exp)
    interior(x, dual)       strict interior test of x (in K, or in K* when dual)
    max_step(x, dx, dual)   largest α ≥ 0 with x + α dx in the cone's closure (inf if none)
    scale(s, z)             Nesterov–Todd scaling of the pair, kept for the calls below:
    lam                     λ = W z = W⁻ᵀ s
    W(v), WT(v), WinvT(v)   W v, Wᵀ v, W⁻ᵀ v            (WᵀW = H⁻¹, H s = z)
    prod(x, y)              Jordan product x∘y
    lam_solve(v)            λ \\ v, the u with λ∘u = v
    fill_inverse_scaling    H⁻¹ of every cone written by the module into the values of the
                            caller's CSR structure (host or device arrays)
    sparse_values()         (second-order cones of SPARSE_SOC_MIN entries or more) H⁻¹ as
                            D + u uᵀ, which the KKT matrix holds through one extra variable
                            per cone instead of a dense block

The NumPy bodies are vectorised over the whole family (second-order cones through an
offsets array and segment sums, PSD cones stacked by order); a compiled implementation
can replace them family by family with one call each. `ConeProduct` gathers and scatters
the families' rows and offers the same operations over the product.
"""
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
# Families. `decls` are (ConeDecl, first row within the family vector) pairs.
# ---------------------------------------------------------------------------------------
class Family:
    symmetric = True

    def __init__(self, decls):
        self.decls = decls
        self.rows = sum(d.rows for d, _ in decls)

    def module_cones(self, dense=False):
        """(module cone object, first row within the family) of the cones whose H the
        module writes into the KKT structure (every cone when `dense`)."""
        return self._cones

    def fill_inverse_scaling(self, s, z, indptr, indices, values, row_offset, arrays, dense=False):
        """H⁻¹ of every cone into the CSR values: the module's scaling of the swapped
        pair (z, s) maps z to s, which is H⁻¹ (the NT point of (z, s) is the inverse of
        that of (s, z); for K_exp the secant block of the swapped pair). `row_offset` is
        the row (and column) of the structure where the family's first row sits."""
        for cone, off in self.module_cones(dense):
            sl = slice(off, off + cone.rows)
            cone.hmatrix_csr_values_into(arrays.to_device(z[sl]), arrays.to_device(s[sl]), indptr, indices,
                                         values, row_offset=row_offset + off)


class NonnegativeFamily(Family):
    """Orthant R^n_+: x∘y = x.*y, e = 1, W = diag(√(s/z)), λ = √(s z)."""

    kind = "nonnegative"

    def __init__(self, decls):
        super().__init__(decls)
        self.degree = self.rows
        self._cones = [(module.NonnegativeConeCpp(d.dim), off) for d, off in decls if d.dim > 0]

    def identity(self):
        return np.ones(self.rows)

    def interior(self, x, dual=False):
        return bool(np.all(x > 0))

    def min_eig(self, x):
        return x.min() if x.size else np.inf

    def max_step(self, x, dx, dual=False):
        neg = dx < 0
        return float(np.min(-x[neg] / dx[neg])) if np.any(neg) else np.inf

    def scale(self, s, z):
        if not (np.all(s > 0) and np.all(z > 0)):
            raise ConeFailure("nonnegative scaling of a non-interior pair")
        self.w = np.sqrt(s / z)
        self.lam = np.sqrt(s * z)

    def W(self, v):
        return self.w * v

    WT = W

    def WinvT(self, v):
        return v / self.w

    def prod(self, x, y):
        return x * y

    def lam_solve(self, v):
        return v / self.lam


# Second-order cones at least this large are kept sparse in the KKT matrix.
SPARSE_SOC_MIN = 3


class SecondOrderFamily(Family):
    """Lorentz cones {x0 ≥ ‖x̄‖}: x∘y = (xᵀy, x0 ȳ + y0 x̄), e = (1, 0, …, 0), degree 2 (1 for
    dimension one). All cones in one vector; `off` holds the first row of each cone."""

    kind = "soc"

    def __init__(self, decls):
        super().__init__(decls)
        self.dims = np.array([d.dim for d, _ in decls], dtype=np.int64)
        self.off = np.array([o for _, o in decls], dtype=np.int64)
        self.cone_of_row = np.repeat(np.arange(len(decls)), self.dims)
        self.head = np.zeros(self.rows, dtype=bool)
        self.head[self.off] = True
        self.degree = int(np.sum(np.where(self.dims == 1, 1, 2)))
        # Cones of SPARSE_SOC_MIN entries or more keep their H⁻¹ out of the KKT matrix's
        # dense blocks (see `sparse_values`); the module fills the others.
        self.sparse = self.dims >= SPARSE_SOC_MIN
        self.sparse_rows = self.sparse[self.cone_of_row]
        cache = {}
        self._all = [(cache.setdefault(d.dim, module.SecondOrderConeCpp(d.dim)), off) for d, off in decls]
        self._cones = [cone for cone, sparse in zip(self._all, self.sparse) if not sparse]

    def module_cones(self, dense=False):
        return self._all if dense else self._cones

    def sparse_values(self):
        """For the sparse cones, H⁻¹ = η²(2wwᵀ − J) = D + uuᵀ with D = −η² J (diagonal)
        and u = √2 η w, so that the block [[D, u], [uᵀ, −1]] with one extra variable has
        H⁻¹ as its Schur complement: (D on the cones' rows, u on those rows)."""
        rows = self.sparse_rows
        eta2 = self.eta[rows] ** 2
        D = np.where(self.head[rows], -eta2, eta2)
        return D, np.sqrt(2.0) * self.eta[rows] * self.w[rows]

    # Segment helpers: one value per cone, and back to one per row.
    def _seg(self, v):
        return np.add.reduceat(v, self.off) if v.size else v

    def _rows(self, per_cone):
        return per_cone[self.cone_of_row]

    def _tail_dot(self, x, y):
        return self._seg(x * y) - x[self.off] * y[self.off]

    def _eigs(self, x):
        """The spectral values x0 − ‖x̄‖ and x0 + ‖x̄‖ of every cone."""
        r = np.sqrt(np.maximum(self._tail_dot(x, x), 0.0))
        return x[self.off] - r, x[self.off] + r

    def _det(self, x):
        lo, hi = self._eigs(x)
        return lo * hi

    def identity(self):
        return self.head.astype(float)

    def interior(self, x, dual=False):
        lo, _ = self._eigs(x)
        return bool(np.all(lo > 0))

    def min_eig(self, x):
        return self._eigs(x)[0].min() if self.rows else np.inf

    def max_step(self, x, dx, dual=False):
        """First positive root of det(x + α dx) = a α² + 2 b α + c per cone (x interior,
        c > 0); no root (dx in the cone) gives inf."""
        lo_d, _ = self._eigs(dx)
        a = self._det(dx)
        b = x[self.off] * dx[self.off] - self._tail_dot(x, dx)
        c = np.maximum(self._det(x), 0.0)
        disc = np.maximum(b * b - a * c, 0.0)
        q = -(b + np.copysign(np.sqrt(disc), b))
        with np.errstate(divide="ignore", invalid="ignore"):
            r1 = np.where(a != 0, q / a, np.inf)
            r2 = np.where(q != 0, c / q, np.inf)
        r1 = np.where(r1 > 0, r1, np.inf)
        r2 = np.where(r2 > 0, r2, np.inf)
        alpha = np.minimum(r1, r2)
        alpha = np.where(lo_d >= 0, np.inf, alpha)
        return float(alpha.min()) if alpha.size else np.inf

    def _jmul(self, x):
        out = -x
        out[self.off] = x[self.off]
        return out

    def _quad(self, u, x):
        """P(u) x = 2 (uᵀx) u − det(u) J x for every cone."""
        return 2.0 * self._rows(self._seg(u * x)) * u - self._rows(self._det(u)) * self._jmul(x)

    def scale(self, s, z):
        """W = η P(v) (symmetric) with a = √det s, b = √det z, γ = √((1 + sᵀz/(ab))/2),
        w = (s/a + J z/b)/(2γ) (wᵀJw = 1), v = (w + e)/√(2(w0 + 1)) (v∘v = w), η = √(a/b);
        W⁻¹ = P(J v)/η and WᵀW = η² P(w) = H⁻¹."""
        lo_s, hi_s = self._eigs(s)
        lo_z, hi_z = self._eigs(z)
        if not (np.all(lo_s > 0) and np.all(lo_z > 0)):
            raise ConeFailure("second-order scaling of a non-interior pair")
        a, b = np.sqrt(lo_s * hi_s), np.sqrt(lo_z * hi_z)
        gamma = np.sqrt(0.5 * (1.0 + self._seg(s * z) / (a * b)))
        w = (s / self._rows(a) + self._jmul(z) / self._rows(b)) / self._rows(2.0 * gamma)
        v = w + self.head
        v /= self._rows(np.sqrt(2.0 * (w[self.off] + 1.0)))
        self.w, self.v, self.jv, self.eta = w, v, self._jmul(v), self._rows(np.sqrt(a / b))
        self.lam = self.W(z)
        lo, _ = self._eigs(self.lam)
        if not (np.all(np.isfinite(self.lam)) and np.all(lo > 0)):
            raise ConeFailure("second-order scaling lost the cone interior")

    def W(self, x):
        return self.eta * self._quad(self.v, x)

    WT = W

    def WinvT(self, x):
        return self._quad(self.jv, x) / self.eta

    def prod(self, x, y):
        out = self._rows(x[self.off]) * y + self._rows(y[self.off]) * x
        out[self.off] = self._seg(x * y)
        return out

    def lam_solve(self, v):
        """u with λ∘u = v (the arrow matrix of λ inverted in closed form)."""
        lam = self.lam
        l0 = lam[self.off]
        u0 = (l0 * v[self.off] - self._tail_dot(lam, v)) / self._det(lam)
        u = (v - self._rows(u0) * lam) / self._rows(l0)
        u[self.off] = u0
        return u


def _svec_index(n):
    """Row-major lower-triangle positions (i, j) of svec entries and their scale."""
    i, j = np.tril_indices(n)
    return i, j, np.where(i == j, 1.0, np.sqrt(2.0))


class PsdFamily(Family):
    """PSD cones in svec form (lower triangle row by row, off-diagonal entries times √2):
    X∘Y = (XY + YX)/2, e = svec(I), degree n. Cones of one order are stacked and handled
    by batched dense linear algebra."""

    kind = "psd"

    def __init__(self, decls):
        super().__init__(decls)
        self.degree = sum(d.dim for d, _ in decls)
        self.groups = []   # (order, row index array (B, t) into the family vector)
        for n in sorted({d.dim for d, _ in decls}):
            offs = [o for d, o in decls if d.dim == n]
            t = n * (n + 1) // 2
            self.groups.append((n, np.asarray(offs)[:, None] + np.arange(t)[None, :], _svec_index(n)))
        cache = {}
        self._cones = [(cache.setdefault(d.dim, module.PsdConeCpp(d.dim)), off) for d, off in decls]

    @staticmethod
    def _smat(v, n, index):
        i, j, scale = index
        M = np.zeros(v.shape[:-1] + (n, n))
        M[..., i, j] = v / scale
        M[..., j, i] = v / scale
        return M

    @staticmethod
    def _svec(M, index):
        i, j, scale = index
        return 0.5 * (M[..., i, j] + M[..., j, i]) * scale

    def _map(self, fn, *vecs):
        """Apply fn(order, index, group number, *stacked matrices) → stacked matrices, per group."""
        out = np.empty(self.rows)
        for g, (n, rows, index) in enumerate(self.groups):
            out[rows] = self._svec(fn(n, g, *[self._smat(v[rows], n, index) for v in vecs]), index)
        return out

    def identity(self):
        return self._map(lambda n, g, X: np.broadcast_to(np.eye(n), X.shape), np.zeros(self.rows))

    def _chol(self, x):
        """Cholesky factors per group, or None if some matrix is not positive definite."""
        out = []
        for n, rows, index in self.groups:
            X = self._smat(x[rows], n, index)
            if not np.all(np.isfinite(X)):
                return None
            try:
                out.append(np.linalg.cholesky(X))
            except np.linalg.LinAlgError:
                return None
        return out

    def interior(self, x, dual=False):
        return self._chol(x) is not None

    def min_eig(self, x):
        return min((np.linalg.eigvalsh(self._smat(x[rows], n, index))[..., 0].min()
                    for n, rows, index in self.groups), default=np.inf)

    def max_step(self, x, dx, dual=False):
        """With X = L Lᵀ: α = −1/λmin(L⁻¹ D L⁻ᵀ) when that eigenvalue is negative."""
        chol = self._chol(x)
        if chol is None:
            return 0.0
        best = np.inf
        for (n, rows, index), L in zip(self.groups, chol):
            Li = np.linalg.inv(L)
            lmin = np.linalg.eigvalsh(Li @ self._smat(dx[rows], n, index) @ np.swapaxes(Li, -1, -2))[..., 0]
            if np.any(lmin < 0):
                best = min(best, float(np.min(-1.0 / lmin[lmin < 0])))
        return best

    def scale(self, s, z):
        """With S = Ls Lsᵀ, Z = Lz Lzᵀ and Lzᵀ Ls = U Σ Vᵀ: R = Ls V Σ^{-1/2} gives
        Rᵀ Z R = R⁻¹ S R⁻ᵀ = Σ, so W X = Rᵀ X R, Wᵀ X = R X Rᵀ, W⁻ᵀ X = R⁻¹ X R⁻ᵀ,
        λ = svec(Σ) and WᵀW X = (R Rᵀ) X (R Rᵀ) = H⁻¹ X."""
        cs, cz = self._chol(s), self._chol(z)
        if cs is None or cz is None:
            raise ConeFailure("PSD scaling of a non-interior pair")
        self.R, self.Rinv, self.sig = [], [], []
        for Ls, Lz in zip(cs, cz):
            _, sig, Vt = np.linalg.svd(np.swapaxes(Lz, -1, -2) @ Ls)
            if not np.all(sig > 0):
                raise ConeFailure("PSD scaling of a non-interior pair")
            R = Ls @ np.swapaxes(Vt, -1, -2) / np.sqrt(sig)[..., None, :]
            self.R.append(R)
            self.Rinv.append(np.linalg.inv(R))
            self.sig.append(sig)
        self.lam = self._map(lambda n, g, X: self.sig[g][..., :, None] * np.eye(n), np.zeros(self.rows))

    def W(self, v):
        return self._map(lambda n, g, X: np.swapaxes(self.R[g], -1, -2) @ X @ self.R[g], v)

    def WT(self, v):
        return self._map(lambda n, g, X: self.R[g] @ X @ np.swapaxes(self.R[g], -1, -2), v)

    def WinvT(self, v):
        return self._map(lambda n, g, X: self.Rinv[g] @ X @ np.swapaxes(self.Rinv[g], -1, -2), v)

    def prod(self, x, y):
        return self._map(lambda n, g, X, Y: 0.5 * (X @ Y + Y @ X), x, y)

    def lam_solve(self, v):
        """λ = Σ is diagonal: U_ij = V_ij / ((σ_i + σ_j)/2)."""
        return self._map(lambda n, g, V: V / (0.5 * (self.sig[g][..., :, None] + self.sig[g][..., None, :])), v)


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


class ExponentialFamily(Family):
    """Exponential cones {(x, y, z): y e^{x/y} ≤ z}, three rows each. Not self-dual and
    without a Jordan algebra: the module's block is a secant scaling (H s = z, symmetric),
    centring uses the barrier gradient, and step lengths come from the module's
    membership test."""

    kind = "exp"
    symmetric = False

    def __init__(self, decls):
        super().__init__(decls)
        self.degree = self.rows
        self.cone = module.ExponentialConeCpp(self.rows // 3)
        self.single = module.ExponentialConeCpp(1)   # batched over the blocks
        self._cones = [(module.ExponentialConeCpp(d.dim), off) for d, off in decls]

    def identity(self):
        return np.tile(EXP_CENTRAL_POINT, self.rows // 3)

    def min_eig(self, x):
        return np.inf

    def barrier_gradient(self, s):
        return _exp_barrier_gradient(s)

    def dual_map(self, z):
        """Image of a dual vector in the primal cone (see _EXP_DUAL_MAP)."""
        return (z.reshape(-1, 3) @ _EXP_DUAL_MAP.T).reshape(-1)

    def interior(self, x, dual=False):
        v = self.dual_map(x) if dual else x
        # Strict interior: y > 0 plus the module's (closed) membership test with atol 0.
        return bool(np.all(v[1::3] > 0)) and self.cone.contains(np.ascontiguousarray(v), atol=0.0)

    def max_step(self, x, dx, dual=False):
        """Largest α (to about 1e-10 relative) keeping every block inside, by bisection on
        the membership test of the whole family (each block's admissible α form an
        interval from 0, so their intersection does too)."""
        if self.interior(x + 1e6 * dx, dual):
            return np.inf
        lo, hi = 0.0, 1.0
        while self.interior(x + hi * dx, dual):
            lo, hi = hi, 2.0 * hi
        for _ in range(40):
            mid = 0.5 * (lo + hi)
            lo, hi = (mid, hi) if self.interior(x + mid * dx, dual) else (lo, mid)
        return lo

    def scale(self, s, z):
        """The module's secant block H⁻¹ (of the swapped pair) per block, for the
        centring term H⁻¹(−∇F(s))."""
        B = self.rows // 3
        hinv = np.empty(9 * B)
        self.single.nt_scaling_matrix_batch_into(np.ascontiguousarray(z), np.ascontiguousarray(s), hinv, B)
        if not np.all(np.isfinite(hinv)):
            raise ConeFailure("exponential scaling is not finite")
        self.hinv_blocks = hinv.reshape(B, 3, 3)

    def hinv_mul(self, v):
        return np.einsum("bij,bj->bi", self.hinv_blocks, v.reshape(-1, 3)).reshape(-1)


FAMILY_TYPES = {"nonnegative": NonnegativeFamily, "soc": SecondOrderFamily, "psd": PsdFamily,
                "exp": ExponentialFamily}


class ConeProduct:
    """K = K_1 × … × K_r for the rows of G (no zero cones: those become rows of A),
    as one batched family per kind; each family's rows are contiguous (the solver lists
    the cones by kind), so a family works on a slice of the product's vectors."""

    def __init__(self, decls, arrays):
        self.arrays = arrays
        rows_of = {k: [] for k in FAMILY_TYPES}
        decls_of = {k: [] for k in FAMILY_TYPES}
        local = {k: 0 for k in FAMILY_TYPES}
        off = 0
        for decl in decls:
            if decl.kind == "zero":
                raise ValueError("zero cones belong in A x = b")
            decls_of[decl.kind].append((decl, local[decl.kind]))
            rows_of[decl.kind].append((off, decl.rows))
            local[decl.kind] += decl.rows
            off += decl.rows
        self.m = off
        self.families = []
        for kind, cls in FAMILY_TYPES.items():
            if decls_of[kind]:
                fam = cls(decls_of[kind])
                starts = [o for o, _ in rows_of[kind]]
                if any(o + r != nxt for (o, r), nxt in zip(rows_of[kind], starts[1:])):
                    raise ValueError("the rows of each cone family must be contiguous (list cones by kind)")
                fam.idx = slice(starts[0], starts[0] + fam.rows)
                self.families.append(fam)
        self.degree = sum(f.degree for f in self.families)
        self.symmetric = all(f.symmetric for f in self.families)

    # Gather/scatter over the families.
    def _each(self, name, *vecs, symmetric_only=False):
        out = np.zeros(self.m)
        for fam in self.families:
            if symmetric_only and not fam.symmetric:
                continue
            out[fam.idx] = getattr(fam, name)(*[v[fam.idx] for v in vecs])
        return out

    def identity(self):
        return self._each("identity")

    def interior(self, x, dual=False):
        return all(fam.interior(x[fam.idx], dual) for fam in self.families)

    def max_step(self, x, dx, dual=False):
        return min((fam.max_step(x[fam.idx], dx[fam.idx], dual) for fam in self.families), default=np.inf)

    def min_eig(self, x):
        """min over symmetric families of the smallest spectral value of x."""
        return min((fam.min_eig(x[fam.idx]) for fam in self.families if fam.symmetric), default=np.inf)

    def symmetric_mask(self):
        mask = np.zeros(self.m, dtype=bool)
        for fam in self.families:
            mask[fam.idx] = fam.symmetric
        return mask

    def scale(self, s, z):
        try:
            for fam in self.families:
                fam.scale(s[fam.idx], z[fam.idx])
        except RuntimeError as err:  # the module's refusal
            raise ConeFailure(str(err)) from err

    def W(self, v):
        return self._each("W", v, symmetric_only=True)

    def WT(self, v):
        return self._each("WT", v, symmetric_only=True)

    def WinvT(self, v):
        return self._each("WinvT", v, symmetric_only=True)

    def prod(self, x, y):
        return self._each("prod", x, y, symmetric_only=True)

    def lam_solve(self, v):
        return self._each("lam_solve", v, symmetric_only=True)

    def fill_inverse_scaling(self, s, z, indptr, indices, values, row_offset=0, dense=False):
        """H⁻¹ of every cone written by the module into `values` of the CSR structure
        (indptr, indices), whose rows row_offset … row_offset + m − 1 hold the scaling
        block (entries of those rows outside their cone's block are cleared). The
        structure lives where the arrays do (host, or device for device arrays). The rows
        of sparse second-order cones are left to `fill_sparse_blocks` unless `dense`."""
        try:
            for fam in self.families:
                fam.fill_inverse_scaling(s[fam.idx], z[fam.idx], indptr, indices, values, row_offset + fam.idx.start,
                                         self.arrays, dense)
        except RuntimeError as err:
            raise ConeFailure(str(err)) from err

    def sparse_positions(self, indptr, indices):
        """Positions in the values of a host CSR structure built on `block_pattern` (rows
        counted from the first cone row) of the sparse second-order cones' entries:
        (diagonal, extra column, extra diagonal)."""
        soc = self._soc()
        if soc is None or not soc.sparse.any():
            return None
        base = soc.idx.start
        rows = base + np.flatnonzero(soc.sparse_rows)
        extra_of_row = self.m + np.cumsum(soc.sparse)[soc.cone_of_row[soc.sparse_rows]] - 1
        extras = self.m + np.arange(int(soc.sparse.sum()))

        # Entries in CSR order with sorted columns have increasing keys row·width + col.
        indptr, indices = np.asarray(indptr), np.asarray(indices)
        width = int(indices.max()) + 1
        keys = np.repeat(np.arange(indptr.size - 1, dtype=np.int64), np.diff(indptr)) * width + indices

        def position(r, c):
            pos = np.searchsorted(keys, r * width + c)
            if not np.array_equal(keys[np.minimum(pos, keys.size - 1)], r * width + c):
                raise ValueError("the structure lacks entries of the sparse second-order blocks")
            return pos

        return position(rows, rows), position(rows, extra_of_row), position(extras, extras)

    def fill_sparse_blocks(self, positions, values):
        """D, u and −1 of the sparse second-order cones (host values; after `scale`)."""
        if positions is None:
            return
        D, u = self._soc().sparse_values()
        values[positions[0]] = D
        values[positions[1]] = u
        values[positions[2]] = -1.0

    def _soc(self):
        return next((f for f in self.families if f.kind == "soc"), None)

    def block_pattern(self, dense=False):
        """(rows, cols, extras): the stored upper triangle of the block-diagonal scaling
        matrix (the diagonal for orthants, the upper triangle of every other cone's block,
        3×3 blocks for exponential cones), where a sparse second-order cone (unless
        `dense`) stores its diagonal and a column to one extra variable (numbered m,
        m + 1, … in order)."""
        rows, cols = [], []
        extra = self.m
        for fam in self.families:
            base = fam.idx.start
            if fam.kind == "nonnegative":
                r = np.arange(fam.rows)
                rows.append(base + r)
                cols.append(base + r)
                continue
            for k, (decl, off) in enumerate(fam.decls):
                if fam.kind == "soc" and fam.sparse[k] and not dense:
                    r = base + off + np.arange(decl.rows)
                    rows += [r, r, np.array([extra])]
                    cols += [r, np.full(decl.rows, extra), np.array([extra])]
                    extra += 1
                    continue
                size = 3 if fam.kind == "exp" else decl.rows
                count = decl.rows // size
                i, j = np.triu_indices(size)
                starts = base + off + size * np.arange(count)
                rows.append((starts[:, None] + i[None, :]).reshape(-1))
                cols.append((starts[:, None] + j[None, :]).reshape(-1))
        if not rows:
            return np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64), 0
        return np.concatenate(rows).astype(np.int64), np.concatenate(cols).astype(np.int64), extra - self.m

    def scaling_matrix(self, s, z, inverse=False):
        """The block-diagonal H (H s = z), or H⁻¹, as a full (m, m) CSR matrix whose
        blocks the module writes straight into the CSR values."""
        r, c, _ = self.block_pattern(dense=True)
        r, c = np.concatenate([r, c[r != c]]), np.concatenate([c, r[r != c]])
        pattern = sp.csr_matrix((np.ones(r.size), (r, c)), shape=(self.m, self.m))
        pattern.sort_indices()
        indptr, indices = pattern.indptr.astype(np.int64), pattern.indices.astype(np.int64)
        arrays = self.arrays
        values = arrays.empty(indices.size)
        first, second = (s, z) if inverse else (z, s)
        self.fill_inverse_scaling(first, second, arrays.to_device(indptr), arrays.to_device(indices), values,
                                  dense=True)
        values = np.array(arrays.to_host(values), dtype=np.float64)
        if not np.all(np.isfinite(values)):
            raise ConeFailure("scaling matrix is not finite (iterate left the cone interior)")
        return sp.csr_matrix((values, indices, indptr), shape=(self.m, self.m))
