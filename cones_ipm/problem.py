"""Problem data for the conic solver: cone descriptions and the conic program min cᵀx s.t. Gx + s = h, Ax = b, s ∈ K."""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
import scipy.sparse as sp

KINDS = ("zero", "nonnegative", "soc", "psd", "exp")


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
        if self.kind not in KINDS:
            raise ValueError(f"unknown cone kind {self.kind!r}; expected one of {KINDS}")
        if self.dim < (0 if self.kind in ("zero", "nonnegative") else 1):
            raise ValueError(f"{self.kind} cone needs a positive dim, got {self.dim}")

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
        self.c = np.ascontiguousarray(self.c, dtype=np.float64).reshape(-1)
        n = self.c.size
        self.G = sp.csr_matrix(self.G, dtype=np.float64)
        self.h = np.ascontiguousarray(self.h, dtype=np.float64).reshape(-1)
        if self.A is None:
            self.A = sp.csr_matrix((0, n))
            self.b = np.zeros(0)
        self.A = sp.csr_matrix(self.A, dtype=np.float64)
        self.b = np.ascontiguousarray(self.b, dtype=np.float64).reshape(-1)
        self.cones = [c if isinstance(c, ConeDecl) else ConeDecl(*c) for c in self.cones]
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
