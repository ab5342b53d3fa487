"""The KKT system of the interior-point method: one fixed sparse structure, analysed once,
refactored numerically every iteration after the module writes the cones' H⁻¹ into it.

The system for the directions (u_x, u_y, u_z), with H⁻¹ the block-diagonal inverse NT
scaling, is the symmetric quasi-definite

    K = [[ εI   Aᵀ    Gᵀ  ]
         [ A   −εI    0   ]
         [ G    0   −H⁻¹  ]]

(static regularisation ε on the zero blocks only: H⁻¹ is positive definite already, and ε
there would swamp its small entries, s_i/z_i → 0 on active rows; the effect of ε is
removed by iterative refinement against ε = 0). We store −K, whose cone block is +H⁻¹ as
the module writes it, as the upper triangle in CSR form with the rows ordered x, y, z:
the rows of the cones then hold only their own part of H⁻¹, so the module's in-place fill
(which clears a cone row's stored entries outside its block) touches nothing else, and
those rows are one contiguous tail of the value array.

A large second-order cone would make a dense block; the module writes its H⁻¹ instead as
the sparse expansion [[D, u, v], [uᵀ, −1, 0], [vᵀ, 0, +1]] over two extra rows per cone
(after the cone rows), whose Schur complement on the cone rows is H⁻¹ = D + uuᵀ − vvᵀ. In
−K the v-rows join the positive side ([[D, v], [vᵀ, 1]] is positive definite) and the
u-rows the negative side, so −K stays quasi-definite.

Factorisations (LDLᵀ with a fill-reducing ordering, symbolic analysis once):
- "pardiso": MKL's supernodal solver (PyPI package `mkl`), multithreaded, nested-dissection
  ordering (`KktSettings.pardiso_ordering`), Bunch–Kaufman pivots within supernodes, tiny
  pivots perturbed (by 1e-13·‖K‖).
- "supernodal": the companion module's supernodal LDLᵀ (`_ipm_cones.SparseLdl`), AMD
  ordering, dense kernels from the BLAS, zero or tiny wrongly signed pivots perturbed; the large
  systems' factoriser of "auto" where MKL is not installed.
- "qdldl": the simplicial LDLᵀ of the `qdldl` package with AMD ordering; light, always
  available. "auto" takes it for small systems and for those whose factorisation the
  supernodal analysis predicts to be cheap (little fill), where it is the quicker one.
−K has p + m + (v-rows) positive and n + (u-rows) negative eigenvalues; a factorisation with
another inertia (a pivot that rounding pushed across zero) is retried with ε on the cone
block too. A PARDISO solve that refinement cannot repair is repeated on a refactorisation
with ε growing on the cone block (the analysis kept), and so is one of the supernodal
factoriser; only when every attempt fails does qdldl take over. That policy
(`FactorizationPolicy`) is apart from the system (`KktSystem`: structure, values,
regularisation, products and refined solves); its thresholds are the
`KktSettings`.
"""
from __future__ import annotations

import ctypes
import glob
import os
import sys

import numpy as np
import scipy.sparse as sp

from .settings import KktSettings


class FactorizationError(RuntimeError):
    """The KKT matrix could not be factorised with the right inertia."""


# A backend's factorisation whose inertia it has not read (qdldl: read on demand).
UNCHECKED = "unchecked"

try:   # SciPy's compiled CSR kernel, without the per-call checks of `A @ x`
    from scipy.sparse._sparsetools import csr_matvec as _csr_matvec_kernel
except ImportError:  # pragma: no cover
    _csr_matvec_kernel = None


def csr_matvec(A, x, out=None):
    """A @ x for a CSR matrix A (Csr or SciPy's) and a contiguous float64 vector x; with
    `out` (contiguous, zeroed by the caller) the product is added into it."""
    if out is None:
        out = np.zeros(A.shape[0])
    if _csr_matvec_kernel is None:  # pragma: no cover
        out += sp.csr_matrix((A.data, A.indices, A.indptr), shape=A.shape) @ x
    else:
        _csr_matvec_kernel(A.shape[0], A.shape[1], A.indptr, A.indices, A.data, x, out)
    return out


# ---------------------------------------------------------------------------------------
# CSR matrices as plain arrays: the solver's own, without SciPy's per-object checks (a
# SciPy matrix costs tens of microseconds to build, which counts for small programs).
# ---------------------------------------------------------------------------------------
def column_order(indices, ncols):
    """The stable order of CSR entries by column (rows stay increasing within a column):
    a radix sort for narrow matrices, SciPy's compiled transpose for large ones."""
    indices = np.asarray(indices)
    if ncols < 32768 and indices.size < 200_000:
        return np.argsort(indices.astype(np.int16), kind="stable")
    rows = indices.size
    ptr = np.zeros(2, dtype=np.int64)
    ptr[1] = rows
    # One row holding every entry: its CSC form lists them by column, stably.
    t = sp.csr_matrix((np.arange(1.0, rows + 1.0), indices, ptr), shape=(1, ncols)).tocsc()
    return (t.data - 1.0).astype(np.int64)


class Csr:
    """A CSR matrix (indptr, indices, data, shape) as plain arrays."""

    __slots__ = ("indptr", "indices", "data", "shape")

    def __init__(self, indptr, indices, data, shape):
        self.indptr, self.indices, self.data, self.shape = indptr, indices, data, shape

    @classmethod
    def of(cls, A):
        if isinstance(A, cls):
            return A
        if not (sp.issparse(A) and A.format == "csr"):
            A = sp.csr_matrix(A)
        if not A.has_canonical_format:
            A = A.copy()
            A.sum_duplicates()
        return cls(A.indptr.astype(np.int64), A.indices.astype(np.int64), A.data.astype(np.float64), A.shape)

    def row_of_entries(self):
        return np.repeat(np.arange(self.shape[0], dtype=np.int64), np.diff(self.indptr))

    def transpose(self, order=None):
        """The transpose (column indices increasing within its rows); `order` the column
        order of the entries if known."""
        if order is None:
            order = column_order(self.indices, self.shape[1])
        ptr = np.zeros(self.shape[1] + 1, dtype=np.int64)
        np.cumsum(np.bincount(self.indices, minlength=self.shape[1]), out=ptr[1:])
        return Csr(ptr, self.row_of_entries()[order], self.data[order], (self.shape[1], self.shape[0]))

    def rows(self, start, stop):
        a, b = self.indptr[start], self.indptr[stop]
        return Csr(self.indptr[start:stop + 1] - a, self.indices[a:b], self.data[a:b], (stop - start, self.shape[1]))


# ---------------------------------------------------------------------------------------
# Backends: analyse(upper CSR structure) once; factor(values); solve(rhs).
# ---------------------------------------------------------------------------------------
def _find_mkl():
    for root in {sys.prefix, sys.base_prefix, os.path.dirname(os.path.dirname(sys.executable))}:
        for path in sorted(glob.glob(os.path.join(root, "lib", "libmkl_rt.so*")), key=len):
            try:
                return ctypes.CDLL(path)
            except OSError:
                continue
    return None


_MKL = None


def _mkl():
    global _MKL
    if _MKL is None:
        lib = _find_mkl()
        if lib is None:
            raise ImportError("MKL runtime (libmkl_rt) not found: pip install mkl")
        # The GNU OpenMP threading layer: the module and NumPy's neighbours use libgomp.
        try:
            lib.MKL_Set_Threading_Layer(ctypes.c_int(1))
        except AttributeError:
            pass
        i32p, dp = ctypes.POINTER(ctypes.c_int32), ctypes.POINTER(ctypes.c_double)
        lib.pardiso.argtypes = [ctypes.POINTER(ctypes.c_int64), i32p, i32p, i32p, i32p, i32p, dp, i32p, i32p,
                                i32p, i32p, i32p, i32p, dp, dp, i32p]
        lib.pardiso.restype = None
        _MKL = lib
    return _MKL


def pardiso_available():
    try:
        _mkl()
        return True
    except ImportError:
        return False


class PardisoBackend:
    """MKL PARDISO, real symmetric indefinite (matrix type −2), upper triangle CSR,
    zero-based indices; analysis (phase 11) once, factorisation (22) per iteration,
    solves (33) per right-hand side."""

    name = "pardiso"

    ORDERINGS = {"minimum_degree": 0, "nested_dissection": 2}

    def __init__(self, indptr, indices, n_pos, ordering="nested_dissection"):
        self.lib = _mkl()
        self.n = indptr.size - 1
        self.n_pos = n_pos
        self.ia = np.ascontiguousarray(indptr, dtype=np.int32)
        self.ja = np.ascontiguousarray(indices, dtype=np.int32)
        self.pt = np.zeros(64, dtype=np.int64)
        self.iparm = np.zeros(64, dtype=np.int32)
        ip = self.iparm
        ip[0] = 1      # our settings below
        ip[1] = self.ORDERINGS[ordering]
        ip[7] = 0      # (PARDISO's own refinement only after perturbed pivots; ours follows)
        ip[9] = 13     # perturb pivots below 1e-13 · ‖K‖ (larger perturbations swamp ε)
        ip[10] = 0     # no scaling and no matching: the analysis depends on the pattern only
        ip[12] = 0
        ip[20] = 1     # Bunch–Kaufman 1×1 and 2×2 pivots within supernodes
        ip[26] = 0
        ip[34] = 1     # zero-based indices
        ip[17] = -1    # report the entries of the factor …
        ip[18] = -1    # … and the factorisation's Mflop
        self.values = np.zeros(self.ja.size)
        self._call(11, np.zeros(self.n), np.zeros(self.n))
        self.factor_nnz, self.factor_mflop = int(ip[17]), int(ip[18])

    def _call(self, phase, b, x, nrhs=1):
        err = ctypes.c_int32(0)
        one = ctypes.c_int32(1)
        i32p, dp = ctypes.POINTER(ctypes.c_int32), ctypes.POINTER(ctypes.c_double)
        self.lib.pardiso(self.pt.ctypes.data_as(ctypes.POINTER(ctypes.c_int64)), ctypes.byref(one),
                         ctypes.byref(one), ctypes.byref(ctypes.c_int32(-2)), ctypes.byref(ctypes.c_int32(phase)),
                         ctypes.byref(ctypes.c_int32(self.n)), self.values.ctypes.data_as(dp),
                         self.ia.ctypes.data_as(i32p), self.ja.ctypes.data_as(i32p), None,
                         ctypes.byref(ctypes.c_int32(nrhs)), self.iparm.ctypes.data_as(i32p),
                         ctypes.byref(ctypes.c_int32(0)), b.ctypes.data_as(dp), x.ctypes.data_as(dp),
                         ctypes.byref(err))
        if err.value != 0:
            raise FactorizationError(f"PARDISO phase {phase} failed with error {err.value}")

    def factor(self, values):
        self.values[:] = values
        self._call(22, np.zeros(self.n), np.zeros(self.n))
        positive, negative = int(self.iparm[21]), int(self.iparm[22])
        if positive + negative < self.n:
            return None
        return positive == self.n_pos

    def solve(self, b):
        b = np.ascontiguousarray(b, dtype=np.float64)
        x = np.zeros_like(b)
        self._call(33, b, x)
        return x

    def __del__(self):
        try:
            self._call(-1, np.zeros(self.n), np.zeros(self.n))
        except Exception:
            pass


class SpluBackend:
    """SciPy's SuperLU on the full symmetric matrix (−K, from the upper triangle through
    `full_map` onto the full pattern `full_ptr`, `full_idx`, which is its own transpose):
    LU with threshold partial pivoting that prefers the diagonal, minimum-degree ordering of
    the symmetric pattern. About twice the work of an LDLᵀ, but stable whatever the pivots:
    the run hands over to it when refinement cannot repair the LDLᵀ backends. It has no
    inertia to read."""

    name = "splu"

    def __init__(self, n_pos, full_ptr, full_idx, full_map):
        n = full_ptr.size - 1
        self.n, self.n_pos = n, n_pos
        self.full_map = full_map
        self.csc = sp.csc_matrix((np.zeros(full_map.size), full_idx, full_ptr), shape=(n, n))
        self.factor_nnz = None
        self.lu = None

    def factor(self, values):
        import scipy.sparse.linalg as sla
        np.take(values, self.full_map, out=self.csc.data)
        try:
            self.lu = sla.splu(self.csc, permc_spec="MMD_AT_PLUS_A", diag_pivot_thresh=0.01,
                               options=dict(SymmetricMode=True))
        except RuntimeError:   # exactly singular
            self.lu = None
            return None
        self.factor_nnz = self.lu.L.nnz + self.lu.U.nnz
        return True

    def inertia_ok(self):
        return True

    def solve(self, b):
        return self.lu.solve(b)


class QdldlBackend:
    """qdldl's simplicial LDLᵀ (AMD ordering chosen once, numeric refactorisation per
    iteration). It takes the upper triangle in CSC form, i.e. our entries reordered by
    column; `perm` maps them once."""

    name = "qdldl"

    def __init__(self, indptr, indices, n_pos, order=None):
        import qdldl
        self.qdldl = qdldl
        n = indptr.size - 1
        self.n, self.n_pos = n, n_pos
        # Column order of the entries (rows increasing within a column).
        self.perm = column_order(indices, n) if order is None else order
        rows = np.repeat(np.arange(n, dtype=np.int64), np.diff(indptr))
        col_ptr = np.zeros(n + 1, dtype=np.int64)
        np.cumsum(np.bincount(indices, minlength=n), out=col_ptr[1:])
        self.csc = sp.csc_matrix((np.zeros(indices.size), rows[self.perm], col_ptr), shape=(n, n))
        self.solver = None
        self.factor_nnz = None
        self._probe = np.ones(n)

    def factor(self, values):
        """Numeric factorisation; None on a zero pivot or a non-finite factor (seen in the
        solve of a probe vector). The inertia is left to `inertia_ok`: reading the factor
        back costs more than the factorisation of a small system."""
        self.csc.data[:] = values[self.perm]
        try:
            if self.solver is None:
                self.solver = self.qdldl.Solver(self.csc, upper=True)
            else:
                self.solver.update(self.csc, upper=True)
        except RuntimeError:   # a zero pivot
            self.solver = None
            return None
        if not np.isfinite(self.solver.solve(self._probe)).all():
            return None
        return UNCHECKED

    def inertia_ok(self):
        """True if D has n_pos positive entries, False if not, None if it has zero or
        non-finite entries."""
        L, D, _ = self.solver.factors()
        self.factor_nnz = L.nnz + self.n
        if not (np.all(np.isfinite(D)) and np.all(D != 0)):
            return None
        return int(np.count_nonzero(D > 0)) == self.n_pos

    def solve(self, b):
        return self.solver.solve(b)


class SupernodalBackend:
    """The companion module's supernodal LDLᵀ (`_ipm_cones.SparseLdl`: left-looking over
    relaxed supernodes, dense kernels from the BLAS), analysed once on an approximate
    minimum degree order (SuiteSparse AMD through CVXOPT). AMD sets rows of more than
    10·√N entries aside as dense and orders them last, in their given order; where many
    rows are such (a dense data block), the order without that rule is analysed too and
    taken when it predicts under half the work. Pivots no larger than 1e-13·max|K| become
    ±that with their row's expected sign when they are zero or of the wrong sign (small
    pivots of the right sign, the s/z of active rows, are kept: perturbing them too made
    PILOT4 need 81 iterations and a hand-over instead of 63); the inertia is counted during
    the factorisation."""

    name = "supernodal"
    TINY = 1e-13
    DENSE_ROWS = 10.0   # AMD's own default for its dense-row rule
    # The second order is tried where dense rows are over a quarter of all rows and the
    # first predicts over 1e9 multiply-adds. Measured: a dense lasso at n + m = 10⁴ (half its
    # rows dense) drops from 4.3e10 to 8.8e9 (6.4 to 0.83 s per factorisation); where fewer
    # rows are dense (a robust LP, 8 %) the second order saved under a fifth of the work and
    # factorised slower, and its analysis cost seconds.
    DENSE_SHARE = 0.25
    RETRY_FLOPS = 1e9

    def __init__(self, indptr, indices, n_pos, signs):
        from _ipm_cones import SparseLdl
        n = indptr.size - 1
        self.n, self.n_pos = n, n_pos
        rows = np.repeat(np.arange(n, dtype=np.int32), np.diff(indptr))
        cols = indices.astype(np.int32)
        degree = np.bincount(rows, minlength=n) + np.bincount(cols, minlength=n)
        pattern = self.amd_pattern(n, rows, cols)   # built once: it costs more than AMD itself
        ldl = SparseLdl(indptr, indices, self._amd(pattern, self.DENSE_ROWS), signs)
        dense = np.count_nonzero(degree > max(16.0, self.DENSE_ROWS * np.sqrt(n)))
        if dense > self.DENSE_SHARE * n and ldl.factor_flops > self.RETRY_FLOPS:
            other = SparseLdl(indptr, indices, self._amd(pattern, np.inf), signs)
            if other.factor_flops < 0.5 * ldl.factor_flops:
                ldl = other
        self.ldl = ldl
        self.factor_nnz = ldl.factor_entries
        self.factor_mflop = ldl.factor_flops / 1e6

    @staticmethod
    def amd_pattern(n, rows, cols):
        """The pattern CVXOPT's AMD reads, its lower triangle: the upper-triangle entries
        (rows, cols) transposed."""
        from cvxopt import matrix, spmatrix
        return spmatrix(1.0, matrix(cols), matrix(rows), (n, n))

    @staticmethod
    def _amd(pattern, dense):
        from cvxopt import amd
        saved = amd.options.get("AMD_DENSE")
        amd.options["AMD_DENSE"] = dense if np.isfinite(dense) else -1.0   # negative: no row is dense
        try:
            return np.array(amd.order(pattern), dtype=np.int64).ravel()
        finally:
            if saved is None:
                del amd.options["AMD_DENSE"]
            else:
                amd.options["AMD_DENSE"] = saved

    def factor(self, values):
        tiny = self.TINY * float(np.abs(values).max()) if values.size else 0.0
        if not self.ldl.factor(values, tiny):
            return None
        return self.ldl.positive_pivots == self.n_pos

    def solve(self, b):
        x = np.empty(self.n)
        self.ldl.solve_into(np.ascontiguousarray(b, dtype=np.float64), x)
        return x


BACKENDS = ("pardiso", "supernodal", "qdldl", "splu")


# ---------------------------------------------------------------------------------------
# The KKT system of one problem.
# ---------------------------------------------------------------------------------------
class KktSystem:
    """Structure, values, regularisation and refined solves of −K (factorised as its
    `FactorizationPolicy` decides) for the fixed equilibrated data
    M = [A; G] (CSR, (p + m) × n) and the cone rows given by `block_rows`, `block_cols`
    (stored upper-triangle entries of the scaling blocks in row-major order, rows and columns
    counted from the first cone row, extra rows of the sparse expansions from m on) and
    `extra_diagonal` (the expansion's −1 or +1 on each extra row); `Mt` the transpose of M
    if the caller has it. `backend` and `settings` set up its `FactorizationPolicy`."""

    def __init__(self, M, n, p, block_rows, block_cols, extra_diagonal=(), backend="auto", eps=1e-8,
                 refinement_steps=10, refinement_reltol=1e-14, refinement_abstol=1e-14, Mt=None,
                 settings: KktSettings | None = None):
        self.settings = settings = KktSettings() if settings is None else settings
        M = Csr.of(M)
        m = M.shape[0] - p
        extra_diagonal = np.asarray(extra_diagonal, dtype=np.float64)
        extras = extra_diagonal.size
        self.n, self.p, self.m, self.extras = n, p, m, extras
        self.N0 = n + p + m
        N = self.N0 + extras
        self.N = N
        # −K's upper triangle by rows: x rows (diagonal, then −Mᵀ in the y and z columns),
        # y rows (diagonal), the cone rows and extra rows (the families' pattern).
        Mt = M.transpose() if Mt is None else Mt
        x_count = 1 + np.diff(Mt.indptr)
        tail_rows = np.asarray(block_rows, dtype=np.int64)
        tail_cols = np.asarray(block_cols, dtype=np.int64)
        keys = tail_rows * (m + extras) + tail_cols
        if keys.size and not np.all(np.diff(keys) > 0):
            order = np.unique(keys, return_index=True)[1]
            tail_rows, tail_cols = tail_rows[order], tail_cols[order]
        tail_count = np.bincount(tail_rows, minlength=m + extras)
        counts = np.concatenate([x_count, np.ones(p, dtype=np.int64), tail_count])
        indptr = np.zeros(N + 1, dtype=np.int64)
        np.cumsum(counts, out=indptr[1:])
        nnz = int(indptr[-1])
        indices = np.empty(nnz, dtype=np.int64)
        base = np.zeros(nnz)
        head_x = int(indptr[n])
        is_diag = np.zeros(head_x, dtype=bool)
        is_diag[indptr[:n]] = True
        indices[indptr[:n]] = np.arange(n)
        indices[:head_x][~is_diag] = n + Mt.indices
        base[:head_x][~is_diag] = -Mt.data
        indices[head_x:indptr[n + p]] = n + np.arange(p)
        self.tail = int(indptr[n + p])
        indices[self.tail:] = n + p + tail_cols
        self.indptr, self.indices = indptr, indices
        self.values = base                           # the values factorised
        # Every row's first stored entry is its diagonal (an upper triangle by rows).
        self.diag_pos = indptr[:-1]
        if not np.array_equal(indices[self.diag_pos], np.arange(N)):
            raise AssertionError("every row of the KKT structure starts with its diagonal entry")
        rows_of = np.repeat(np.arange(N, dtype=np.int64), counts)
        # The cone rows: one contiguous tail of the values, with its own CSR arrays (rows
        # and columns counted from the first cone row).
        self.tail_indptr = indptr[n + p:] - self.tail
        self.tail_indices = indices[self.tail:] - (n + p)
        # The entries by column: the upper triangle in CSC form (qdldl's input), and the
        # strict lower triangle by rows, which put before each row's upper entries gives the
        # full symmetric matrix (for the residuals of refinement) through `full_map`.
        by_col = column_order(indices, N)
        lower_ptr = np.zeros(N + 1, dtype=np.int64)
        np.cumsum(np.bincount(indices, minlength=N) - 1, out=lower_ptr[1:])
        strict = by_col[rows_of[by_col] != indices[by_col]]
        full_ptr = indptr + lower_ptr
        full_map = np.empty(int(full_ptr[-1]), dtype=np.int64)
        full_idx = np.empty(full_map.size, dtype=np.int64)
        lower_rows = indices[strict]
        at = full_ptr[lower_rows] + (np.arange(strict.size) - lower_ptr[lower_rows])
        full_map[at], full_idx[at] = strict, rows_of[strict]
        at = full_ptr[rows_of] + (lower_ptr[1:] - lower_ptr[:-1])[rows_of] + (np.arange(nnz) - indptr[rows_of])
        full_map[at], full_idx[at] = np.arange(nnz), indices
        self.full_map = full_map
        self.full = Csr(full_ptr, full_idx, np.zeros(full_map.size), (N, N))
        self._by_col = by_col
        self.eps = eps
        # −K's regularisation: −ε/γ on x, +εγ on y, in place in the fixed rows (their
        # unregularised diagonal kept in `_fixed_diagonal`); the cone block H⁻¹ is positive
        # definite already, and ε there would swamp its small entries. γ is the scale of the
        # cone block (`_balance`).
        self._fixed_diagonal = self.values[self.diag_pos[:n + p]].copy()
        self.reg = np.zeros(N)
        self._retry_sign = np.zeros(N)
        self.gamma = 1.0
        self._balance()
        self.extra_diagonal = extra_diagonal
        self.refinement_steps = refinement_steps
        self.refinement_reltol, self.refinement_abstol = refinement_reltol, refinement_abstol
        self.n_pos = p + m + int(np.count_nonzero(extra_diagonal > 0))
        self.policy = FactorizationPolicy(self, backend, settings)

    @property
    def backend(self):
        """The backend that factorises the system now."""
        return self.policy.backend

    @property
    def cone_values(self):
        """The contiguous tail of the values holding the cone rows (a view)."""
        return self.values[self.tail:]

    def set_identity_blocks(self):
        """H⁻¹ = I in every cone block (the starting point's system; the expansions' extra
        rows then decouple)."""
        self.cone_values[:] = 0.0
        self.values[self.diag_pos[self.n + self.p:self.N0]] = 1.0
        self.values[self.diag_pos[self.N0:]] = self.extra_diagonal

    def _balance(self):
        """Regularisation at the scale of the cone block, never above ε. Scaling the primal
        variables by 1/t and the dual ones by t (T K T with T = diag(1/t on x, t on y and z))
        leaves M alone and maps H⁻¹ to H⁻¹/t²: a block of scale γ is a unit-scaled one seen
        through t² = γ, where ε on x and y corresponds to ε/γ on x and εγ on y here. An
        unbalanced iterate (slacks far larger than duals, γ ≫ 1) otherwise meets an ε that
        swamps its x-block Schur complement GᵀHG, and refinement stalls; the larger of the
        two (εγ on y, ε/γ on x for γ < 1) is kept at ε, which measured better."""
        n, p = self.n, self.p
        diag = self.values[self.diag_pos[n + p:self.N0]]
        diag = diag[diag > 0]
        gamma = float(np.exp(np.mean(np.log(diag)))) if diag.size else 1.0
        lo, hi = self.settings.gamma_range
        self.gamma = gamma = min(max(gamma, lo), hi)
        x_scale, y_scale = min(1.0, 1.0 / gamma), min(1.0, gamma)
        self.reg[:n] = -self.eps * x_scale
        self.reg[n:n + p] = self.eps * y_scale
        self.values[self.diag_pos[:n + p]] = self._fixed_diagonal + self.reg[:n + p]
        # The retries' regularisation: on the cone rows' diagonal too (not the extra rows).
        self._retry_sign[:n] = -x_scale
        self._retry_sign[n:self.N0] = y_scale

    def factor(self):
        """Factorise the values (ε on the x and y diagonal at the cone block's scale, see
        `_balance`), with the retries and hand-overs of the `FactorizationPolicy`."""
        self._balance()
        np.take(self.values, self.full_map, out=self.full.data)
        np.negative(self.full.data, out=self.full.data)    # K (the full matrix holds −(−K))
        self.policy.factor()

    def retry_values(self, scale):
        """The values with ε·scale on the cone block's diagonal too (not the extra rows), at
        the balance of the x and y rows, for a factorisation that has to be retried."""
        values = self.values.copy()
        values[self.diag_pos] += self.eps * scale * self._retry_sign - self.reg
        return values

    def make_backend(self, name):
        """A backend of this name, its analysis done on the system's structure."""
        if name == "qdldl":
            return QdldlBackend(self.indptr, self.indices, self.n_pos, self._by_col)
        if name == "pardiso":
            return PardisoBackend(self.indptr, self.indices, self.n_pos, self.settings.pardiso_ordering)
        if name == "supernodal":
            signs = np.concatenate([-np.ones(self.n), np.ones(self.p + self.m), np.sign(self.extra_diagonal)])
            return SupernodalBackend(self.indptr, self.indices, self.n_pos, signs)
        return SpluBackend(self.n_pos, self.full.indptr, self.full.indices, self.full_map)

    def matvec_unregularized(self, u):
        """(−K) u for ε = 0."""
        return -self._residual(np.zeros(self.N), u)

    def _residual(self, rhs, u):
        """rhs − (−K) u for ε = 0 (the full matrix holds K with ε, hence + ε u)."""
        r = self.reg * u
        r += rhs
        if _csr_matvec_kernel is None:  # pragma: no cover
            return r + csr_matvec(self.full, u)
        _csr_matvec_kernel(self.N, self.N, self.full.indptr, self.full.indices, self.full.data, u, r)
        return r

    def _refined(self, rhs):
        solve = self.backend.solve
        u = solve(rhs)
        norm = np.abs(rhs).max()
        r = self._residual(rhs, u)
        rn = np.abs(r).max()
        tol = self.refinement_reltol * norm + self.refinement_abstol
        for _ in range(self.refinement_steps):
            if rn <= tol or not np.isfinite(rn):
                break
            u_new = solve(r)
            u_new += u
            r_new = self._residual(rhs, u_new)
            rn_new = np.abs(r_new).max()
            if not rn_new < rn:
                break
            u, r, rn = u_new, r_new, rn_new
        return u, rn / (1.0 + norm)

    def solve(self, rhs):
        """u with (−K) u = rhs (all N rows; the extra rows' entries are 0 for the Newton
        systems), refined against ε = 0 until ‖rhs − (−K)u‖∞ ≤ reltol ‖rhs‖∞ + abstol or the
        residual stops decreasing (at most refinement_steps steps). A solve the policy
        finds suspect or failed (`FactorizationPolicy.recheck`, `hand_over_after`) is
        repeated on the factorisation that replaces it."""
        u, rel = self._refined(rhs)
        if self.policy.recheck(rel):
            u, rel = self._refined(rhs)
        while self.policy.hand_over_after(rel):
            u, rel = self._refined(rhs)
        if not np.isfinite(u).all():
            raise FactorizationError("KKT solve is not finite")
        return u


# ---------------------------------------------------------------------------------------
# The factorisation policy of a KKT system.
# ---------------------------------------------------------------------------------------
class FactorizationPolicy:
    """Which backend factorises a `KktSystem`, how a factorisation is retried, and which
    backend takes over when refinement cannot repair its solves ("auto": PARDISO, or the
    supernodal factoriser where MKL is not installed, for systems of `pardiso_min_entries`
    stored entries or more whose analysis predicts `pardiso_min_mflop` or more, else qdldl;
    the thresholds are the `KktSettings`)."""

    def __init__(self, system, backend, settings: KktSettings):
        self.system, self.settings = system, settings
        if backend == "auto":
            large = system.indices.size >= settings.pardiso_min_entries
            name = ("pardiso" if pardiso_available() else "supernodal") if large else "qdldl"
        elif backend in BACKENDS:
            name = backend
        else:
            raise ValueError(f"unknown KKT backend {backend!r}; expected one of {sorted(BACKENDS)} or 'auto'")
        self.backend = system.make_backend(name)
        if backend == "auto" and name != "qdldl" and self.backend.factor_mflop < settings.pardiso_min_mflop:
            self.backend = system.make_backend("qdldl")
        self.factorizations = 0
        self.wrong_inertia = 0
        self.fallbacks = 0
        self.regularized_retries = 0
        self._attempt = 0  # the attempt of the current factorisation
        self._handovers = {self.backend.name}
        self._unchecked = False

    def factor(self, first=0):
        """Factorise the system's values from attempt `first` on. A wrong inertia (a pivot
        that rounding pushed across zero) is retried with ε on the cone block's diagonal
        too; if the signs still disagree, that factorisation is kept (refinement against
        the true matrix corrects its solves) unless it is not finite, in which case ε grows
        by `regularization_growth` per attempt; when no attempt gives finite pivots another
        backend takes over (`hand_over`). qdldl reads its inertia only when a solve turns
        out suspect (`recheck`)."""
        settings, system = self.settings, self.system
        self._unchecked = False
        for attempt in range(first, settings.attempts):
            if attempt == 0:
                values = system.values
            else:
                values = system.retry_values(settings.regularization_growth ** (attempt - 1))
            inertia = self.backend.factor(values)
            self.factorizations += 1
            if inertia is UNCHECKED and attempt >= 1:
                inertia = self.backend.inertia_ok()
            if inertia is None:        # zero or non-finite pivots
                continue
            self._attempt = attempt
            if inertia is UNCHECKED:
                self._unchecked = True
                return
            if inertia or attempt >= 1:
                self.wrong_inertia += not inertia
                return
        if self.hand_over():
            return
        raise FactorizationError("KKT factorisation failed (zero or non-finite pivots) even with regularisation "
                                 f"{system.eps * settings.regularization_growth ** (settings.attempts - 2):.1e}")

    def recheck(self, rel):
        """After a solve of relative residual `rel`: a suspect solve (above `suspect_solve`)
        of a factorisation whose inertia is unread has it read, and zero, non-finite or
        wrongly signed pivots are refactorised with ε on the cone block. True if the system
        was refactorised."""
        if rel <= self.settings.suspect_solve or not self._unchecked:
            return False
        self._unchecked = False
        inertia = self.backend.inertia_ok()
        if inertia:
            return False
        self.wrong_inertia += inertia is False
        self.factor(1)
        return True

    def hand_over_after(self, rel):
        """After a solve of relative residual `rel`: one that refinement could not bring below
        `failed_solve` (PARDISO) or `broken_solve` (qdldl) means a factorisation ruined by
        tiny pivots. PARDISO refactorises with ε on the cone block grown once more (its
        analysis kept), while attempts remain; otherwise the next backend takes over
        (`hand_over`). True if the system was refactorised."""
        perturbs = self.backend.name in ("pardiso", "supernodal")
        limit = self.settings.failed_solve if perturbs else self.settings.broken_solve
        if rel <= limit:
            return False
        if perturbs and self._attempt + 1 < self.settings.attempts:
            self.regularized_retries += 1
            self.factor(self._attempt + 1)
            return True
        return self.hand_over()

    def hand_over(self):
        """Another backend takes over for the rest of the run, each at most once: after a
        factorisation that refinement cannot repair, the other LDLᵀ (qdldl after PARDISO;
        PARDISO, if installed, after qdldl, whose lack of pivoting a tiny pivot with large
        neighbours ruins), then SuperLU. False if there is none left."""
        order = {"qdldl": ["pardiso", "supernodal", "splu"], "pardiso": ["qdldl", "splu"],
                 "supernodal": ["qdldl", "splu"], "splu": []}[self.backend.name]
        for name in order:
            if name not in self._handovers and (name != "pardiso" or pardiso_available()):
                break
        else:
            return False
        self.backend = self.system.make_backend(name)
        self._handovers.add(name)
        self.fallbacks += 1
        self.factor(0)
        return True
