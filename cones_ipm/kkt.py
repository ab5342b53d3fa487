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

A second-order cone of many entries would make a dense block; its H⁻¹ = D + u uᵀ
(diagonal plus rank one) is stored instead as its diagonal and a column to one extra
variable whose diagonal is −1: the Schur complement of that extra variable is H⁻¹.

Factorisations (LDLᵀ with a fill-reducing ordering, symbolic analysis once):
- "pardiso": MKL's supernodal solver (PyPI package `mkl`), multithreaded, nested-dissection
  ordering, Bunch–Kaufman pivots within supernodes, tiny pivots perturbed (by 1e-13·‖K‖).
- "qdldl": the simplicial LDLᵀ of the `qdldl` package with AMD ordering; light, always
  available. "auto" takes it for small systems and for those whose factorisation PARDISO's
  analysis predicts to be cheap (little fill), where it is the quicker one.
−K has p + m positive and n + (extra variables) negative eigenvalues; a factorisation with
another inertia (a pivot that rounding pushed across zero) is retried with ε on the cone
block too. A solve that refinement cannot repair ends PARDISO's part in the run: qdldl
takes over.
"""
from __future__ import annotations

import ctypes
import glob
import os
import sys

import numpy as np
import scipy.sparse as sp


# Relative residual of a refined solve above which the factorisation is deemed ruined.
FAILED_SOLVE = 1e-3


class FactorizationError(RuntimeError):
    """The KKT matrix could not be factorised with the right inertia."""


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

    def __init__(self, indptr, indices, n_pos):
        self.lib = _mkl()
        self.n = indptr.size - 1
        self.n_pos = n_pos
        self.ia = np.ascontiguousarray(indptr, dtype=np.int32)
        self.ja = np.ascontiguousarray(indices, dtype=np.int32)
        self.pt = np.zeros(64, dtype=np.int64)
        self.iparm = np.zeros(64, dtype=np.int32)
        ip = self.iparm
        ip[0] = 1      # our settings below
        ip[1] = 2      # nested-dissection ordering
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


class QdldlBackend:
    """qdldl's simplicial LDLᵀ (AMD ordering chosen once, numeric refactorisation per
    iteration). It takes the upper triangle in CSC form, i.e. our entries reordered by
    column; `perm` maps them once."""

    name = "qdldl"

    def __init__(self, indptr, indices, n_pos):
        import qdldl
        self.qdldl = qdldl
        n = indptr.size - 1
        self.n, self.n_pos = n, n_pos
        order = sp.csr_matrix((np.arange(indices.size, dtype=np.float64) + 1.0, indices, indptr), shape=(n, n)).tocsc()
        order.sort_indices()
        self.perm = (order.data - 1.0).astype(np.int64)
        self.csc = sp.csc_matrix((np.zeros(indices.size), order.indices, order.indptr), shape=(n, n))
        self.solver = None
        self.factor_nnz = None

    def factor(self, values):
        self.csc.data[:] = values[self.perm]
        try:
            if self.solver is None:
                self.solver = self.qdldl.Solver(self.csc, upper=True)
            else:
                self.solver.update(self.csc, upper=True)
        except RuntimeError:   # a zero pivot
            self.solver = None
            return None
        L, D, P = self.solver.factors()
        self.factor_nnz = L.nnz + self.n
        if not (np.all(np.isfinite(D)) and np.all(D != 0)):
            return None
        return int(np.count_nonzero(D > 0)) == self.n_pos

    def solve(self, b):
        return self.solver.solve(np.ascontiguousarray(b, dtype=np.float64))


BACKENDS = {"pardiso": PardisoBackend, "qdldl": QdldlBackend}


# PARDISO's fixed costs (threads, supernode set-up) outweigh its speed below this many
# stored entries of −K, or when its analysis predicts a factorisation below this many
# Mflop (little fill): qdldl is then the quicker one.
PARDISO_MIN_ENTRIES = 20_000
PARDISO_MIN_MFLOP = 20


# ---------------------------------------------------------------------------------------
# The KKT system of one problem.
# ---------------------------------------------------------------------------------------
class KktSystem:
    """Structure, values and factorisation of −K for fixed A (p × n), G (m × n) and the
    cone blocks given by `block_rows`, `block_cols` (upper-triangle positions of the
    scaling blocks, rows/cols within 0 … m − 1, and m … m + extras − 1 for the extra
    variables of sparse second-order blocks, which follow the cone rows)."""

    def __init__(self, A, G, block_rows, block_cols, extras=0, backend="auto", eps=1e-8, refinement_steps=10,
                 refinement_tol=1e-14):
        p, n = A.shape
        m = G.shape[0]
        self.n, self.p, self.m, self.extras = n, p, m, extras
        N = n + p + m + extras
        # Entries of −K's upper triangle: x diagonal, −Aᵀ, −Gᵀ, y diagonal, cone blocks.
        At, Gt = sp.coo_matrix(A.T), sp.coo_matrix(G.T)
        rows = [np.arange(n), At.row, Gt.row, n + np.arange(p), n + p + block_rows,
                n + p + np.arange(m + extras)]
        cols = [np.arange(n), n + At.col, n + p + Gt.col, n + np.arange(p), n + p + block_cols,
                n + p + np.arange(m + extras)]
        vals = [np.zeros(n), -At.data, -Gt.data, np.zeros(p), np.zeros(block_rows.size), np.zeros(m + extras)]
        upper = sp.csr_matrix((np.concatenate(vals), (np.concatenate(rows), np.concatenate(cols))), shape=(N, N))
        upper.sum_duplicates()
        upper.sort_indices()
        self.upper = upper
        # Its transpose as a CSC matrix over the same arrays (values shared, kept in step).
        self.upper_t = sp.csc_matrix((upper.data, upper.indices, upper.indptr), shape=(N, N))
        self.indptr = upper.indptr.astype(np.int64)
        self.indices = upper.indices.astype(np.int64)
        self.base = upper.data.copy()            # the fixed entries (cone blocks zero)
        self.values = upper.data                 # the values factorised (upper shares them)
        self.diag_pos = self._diag_positions()
        # The cone rows: one contiguous tail of the values, with its own CSR arrays (rows
        # and columns counted from the first cone row).
        self.tail = int(self.indptr[n + p])
        self.tail_indptr = self.indptr[n + p:] - self.tail
        self.tail_indices = self.indices[self.tail:] - (n + p)
        self.eps = eps
        # −K's regularisation: −ε on x, +ε on y; the cone block H⁻¹ is positive definite
        # already, and ε there would swamp its small entries (s_i/z_i → 0 on active rows).
        self.reg_sign = np.concatenate([-np.ones(n), np.ones(p), np.zeros(m + extras)])
        self.refinement_steps = refinement_steps
        self.refinement_tol = refinement_tol
        if backend == "auto":
            name = "pardiso" if self.indices.size >= PARDISO_MIN_ENTRIES and pardiso_available() else "qdldl"
        elif backend in BACKENDS:
            name = backend
        else:
            raise ValueError(f"unknown KKT backend {backend!r}; expected one of {sorted(BACKENDS)} or 'auto'")
        self.backend = BACKENDS[name](self.indptr, self.indices, p + m)
        if backend == "auto" and name == "pardiso" and self.backend.factor_mflop < PARDISO_MIN_MFLOP:
            self.backend = QdldlBackend(self.indptr, self.indices, p + m)
        # Extra variables (sparse second-order blocks) have −1 on the diagonal.
        self.extra_diag = self.diag_pos[n + p + m:]
        self.factorizations = 0
        self.wrong_inertia = 0
        self.fallbacks = 0

    def _diag_positions(self):
        N = self.indptr.size - 1
        rows = np.repeat(np.arange(N), np.diff(self.indptr))
        on_diag = np.flatnonzero(rows == self.indices)
        pos = np.full(N, -1, dtype=np.int64)
        pos[rows[on_diag]] = on_diag
        if np.any(pos < 0):
            raise AssertionError("every diagonal entry of the KKT structure is stored")
        return pos

    @property
    def cone_values(self):
        """The contiguous tail of the values holding the cone rows (a view)."""
        return self.values[self.tail:]

    def set_identity_blocks(self):
        """H⁻¹ = I in every cone block (the starting point's system; the extra variables
        of sparse blocks then decouple)."""
        self.cone_values[:] = 0.0
        self.values[self.diag_pos[self.n + self.p:self.n + self.p + self.m]] = 1.0
        self.values[self.extra_diag] = -1.0

    def factor(self):
        """Add the static regularisation and factorise. A wrong inertia (a pivot that
        rounding pushed across zero) is retried once with ε on the cone block's diagonal
        too; if the signs still disagree, that factorisation is kept (refinement against
        the true matrix corrects its solves) unless it is not finite, in which case ε grows
        by 100 per attempt."""
        fixed = self.values.copy()
        cone = np.concatenate([np.zeros(self.n + self.p), np.ones(self.m), np.zeros(self.extras)])
        for attempt in range(5):
            reg = self.eps * self.reg_sign if attempt == 0 else \
                self.eps * 100.0 ** (attempt - 1) * (self.reg_sign + cone)
            self.values[:] = fixed
            self.values[self.diag_pos] += reg
            if not np.all(np.isfinite(self.values)):
                raise FactorizationError("KKT matrix is not finite")
            inertia = self.backend.factor(self.values)
            self.factorizations += 1
            if inertia is None:        # zero or non-finite pivots
                continue
            if inertia or attempt >= 1:
                self.reg = reg
                self.wrong_inertia += not inertia
                return
        raise FactorizationError("KKT factorisation failed (zero or non-finite pivots) even with regularisation "
                                 f"{self.eps * 100.0 ** 3:.1e}")

    def matvec_unregularized(self, u):
        """(−K) u for ε = 0, from the stored upper triangle."""
        return self.upper @ u + self.upper_t @ u - (self.values[self.diag_pos] + self.reg) * u

    def reset_cone_block(self):
        """The fixed entries back in place before the module fills the cone blocks."""
        self.values[:self.tail] = self.base[:self.tail]

    def _refined(self, rhs):
        u = self.backend.solve(rhs)
        norm = np.linalg.norm(rhs, np.inf)
        r = rhs - self.matvec_unregularized(u)
        rn = np.linalg.norm(r, np.inf)
        for _ in range(self.refinement_steps):
            if not np.isfinite(rn) or rn <= self.refinement_tol * (1.0 + norm):
                break
            u_new = u + self.backend.solve(r)
            r_new = rhs - self.matvec_unregularized(u_new)
            rn_new = np.linalg.norm(r_new, np.inf)
            if not rn_new < rn:
                break
            u, r, rn = u_new, r_new, rn_new
        return u, rn / (1.0 + norm)

    def solve(self, bx, by, bz):
        """(u_x, u_y, u_z) with K u = (bx, by, bz), refined against ε = 0. A solve that
        refinement cannot bring below 1e-3 (relative) means a factorisation ruined by
        tiny pivots: PARDISO then hands over to qdldl for the rest of the run."""
        rhs = -np.concatenate([bx, by, bz, np.zeros(self.extras)])
        u, rel = self._refined(rhs)
        if not rel <= FAILED_SOLVE and self.backend.name == "pardiso":
            self.backend = QdldlBackend(self.indptr, self.indices, self.p + self.m)
            if self.backend.factor(self.values) is None:
                raise FactorizationError("KKT factorisation failed (zero or non-finite pivots)")
            self.fallbacks += 1
            u, rel = self._refined(rhs)
        if not np.all(np.isfinite(u)):
            raise FactorizationError("KKT solve is not finite")
        n, p = self.n, self.p
        return u[:n], u[n:n + p], u[n + p:n + p + self.m]
