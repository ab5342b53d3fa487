"""Problem data for the conic solver: cone descriptions and the conic program min cᵀx s.t. Gx + s = h, Ax = b, s ∈ K."""
from __future__ import annotations

import numbers
from dataclasses import dataclass, field

import numpy as np
import scipy.sparse as sp

KINDS = ("zero", "nonnegative", "soc", "psd", "exp")

# The scale of the off-diagonal entries in svec rows (PSD cones).
SQRT2 = np.sqrt(2.0)


@dataclass(frozen=True)
class ConeDecl:
    """One factor of the cone product K.

    kind: "zero", "nonnegative", "soc" (one Lorentz cone of dimension `dim`),
    "psd" (one PSD cone of matrix order `dim`, svec rows: lower triangle row by row,
    off-diagonal entries times √2) or "exp" (`dim` exponential cones, three rows each,
    (x, y, z) with y·exp(x/y) ≤ z)."""

    kind: str
    dim: int

    def __post_init__(self):
        if not isinstance(self.kind, str):
            raise TypeError(f"cone kind must be a str, one of {KINDS}; got {type(self.kind).__name__} {self.kind!r}")
        if self.kind not in KINDS:
            raise ValueError(f"unknown cone kind {self.kind!r}; expected one of {KINDS}")
        object.__setattr__(self, "kind", str(self.kind))   # a plain str for NumPy strings too
        # Python and NumPy integers; bools are integers to Python but never a dimension.
        if isinstance(self.dim, (bool, np.bool_)) or not isinstance(self.dim, (int, np.integer)):
            raise TypeError(f"{self.kind} cone dim must be an int, got {type(self.dim).__name__} {self.dim!r}")
        if self.dim < (0 if self.kind in ("zero", "nonnegative") else 1):
            need = "a nonnegative" if self.kind in ("zero", "nonnegative") else "a positive"
            raise ValueError(f"{self.kind} cone needs {need} dim, got {self.dim!r}")
        object.__setattr__(self, "dim", int(self.dim))   # one type for NumPy integers too

    @property
    def rows(self) -> int:
        """Number of rows of G (entries of s) that the cone occupies."""
        if self.kind == "psd":
            return self.dim * (self.dim + 1) // 2
        if self.kind == "exp":
            return 3 * self.dim
        return self.dim


@dataclass
class ConicProblem:
    """min cᵀx  s.t.  G x + s = h,  A x = b,  s ∈ K = cones[0] × cones[1] × ...

    c: (n,), G: sparse (m, n), h: (m,), A: sparse (p, n) (p may be 0), b: (p,).
    Rows of G/h follow the order of `cones`."""

    name: str
    c: np.ndarray
    G: sp.csr_matrix
    h: np.ndarray
    cones: list
    A: sp.csr_matrix | None = None
    b: np.ndarray | None = None
    description: str = ""
    extra: dict = field(default_factory=dict)

    def __post_init__(self):
        self.c = _vector("c", self.c)
        n = self.c.size
        self.G = _matrix("G", self.G)
        self.h = _vector("h", self.h)
        if self.A is None:
            if self.b is not None and np.size(self.b) != 0:
                raise ValueError(f"b is given (shape {np.shape(self.b)}) but A is None; give A with b")
            self.A = sp.csr_matrix((0, n))
            self.b = np.zeros(0)
        elif self.b is None:
            raise ValueError("A is given but b is None; give b with A")
        self.A = _matrix("A", self.A)
        self.b = _vector("b", self.b)
        if isinstance(self.cones, (ConeDecl, str, bytes)) or not hasattr(self.cones, "__iter__"):
            raise TypeError(f"cones must be a list of ConeDecl or (kind, dim) pairs, got {self.cones!r}")
        cones = []
        for k, cone in enumerate(self.cones):
            if not isinstance(cone, ConeDecl):
                if isinstance(cone, (str, bytes)) or not hasattr(cone, "__len__") or len(cone) != 2:
                    raise TypeError(f"cones[{k}] must be a ConeDecl or a (kind, dim) pair, got {cone!r}")
                cone = ConeDecl(*cone)
            cones.append(cone)
        self.cones = cones
        m = sum(c.rows for c in self.cones)
        if self.G.shape != (m, n):
            raise ValueError(f"G has shape {self.G.shape}, expected ({m}, {n}) from c and the cones")
        if self.h.size != m:
            raise ValueError(f"h has {self.h.size} entries, expected {m}")
        if self.A.shape[1] != n or self.A.shape[0] != self.b.size:
            raise ValueError(f"A has shape {self.A.shape}, expected ({self.b.size}, {n})")
        for label, arr in (("c", self.c), ("G", self.G.data), ("h", self.h), ("A", self.A.data), ("b", self.b)):
            if not np.all(np.isfinite(arr)):
                raise ValueError(f"{label} has non-finite entries")

    @property
    def n(self) -> int:
        return self.c.size

    @property
    def m(self) -> int:
        return self.h.size

    @property
    def p(self) -> int:
        return self.b.size

    def offsets(self):
        """(cone, first row) for every cone, in order."""
        out, off = [], 0
        for cone in self.cones:
            out.append((cone, off))
            off += cone.rows
        return out

    def without_zero_cones(self) -> "ConicProblem":
        """The same program with the rows of zero cones moved from (G, h) into (A, b)."""
        if not any(c.kind == "zero" for c in self.cones):
            return self
        keep, eq = [], []
        for cone, off in self.offsets():
            (eq if cone.kind == "zero" else keep).extend(range(off, off + cone.rows))
        A = sp.vstack([self.A, self.G[eq]]).tocsr()
        b = np.concatenate([self.b, self.h[eq]])
        return ConicProblem(self.name, self.c, self.G[keep], self.h[keep],
                            [c for c in self.cones if c.kind != "zero"], A, b,
                            self.description, dict(self.extra))


def _real_array(label, value):
    """`value` as a NumPy array of real numbers (any integer, bool or float type, or objects
    that are all real numbers); strings, complex numbers and other objects are refused."""
    if value is None:
        raise TypeError(f"{label} is required, got None")
    try:
        arr = np.asarray(value)
    except ValueError as err:   # ragged nested lists
        raise ValueError(f"{label} is not a regular array: {err}") from None
    kind = arr.dtype.kind
    if kind == "O" and all(isinstance(v, numbers.Real) for v in arr.flat):
        return arr.astype(np.float64)
    if kind not in "biuf":
        what = "complex" if kind == "c" else "non-numeric"
        raise TypeError(f"{label} must hold real numbers, got {what} data of dtype {arr.dtype}")
    return arr


def _vector(label, value):
    """A 1-D contiguous float64 copy (or view) of `value`."""
    if sp.issparse(value):
        raise TypeError(f"{label} must be a dense 1-D array, got a sparse {value.shape} matrix")
    arr = _real_array(label, value)
    if arr.ndim != 1:
        raise ValueError(f"{label} must be a 1-D array, got shape {arr.shape}")
    return np.ascontiguousarray(arr, dtype=np.float64)


def _matrix(label, value):
    """A float64 CSR matrix from a SciPy sparse matrix or array, or a 2-D dense array."""
    if sp.issparse(value):
        if value.ndim != 2:
            raise ValueError(f"{label} must be 2-D, got shape {value.shape}")
        if value.dtype.kind not in "biuf":
            raise TypeError(f"{label} must hold real numbers, got dtype {value.dtype}")
        return sp.csr_matrix(value, dtype=np.float64)
    arr = _real_array(label, value)
    if arr.ndim != 2:
        raise ValueError(f"{label} must be a 2-D array or sparse matrix, got shape {arr.shape}")
    return sp.csr_matrix(arr.astype(np.float64, copy=False))
