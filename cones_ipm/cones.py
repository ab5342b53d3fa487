"""The cone product K of a conic program: one object per cone family, each doing its cone
arithmetic as batched calls of the companion module `_ipm_cones`.

The solver lists the cones by kind (orthants, second-order, PSD, exponential) and, within a
kind, by dimension, so the cones of one (family, dimension) group are one contiguous run of
rows and every operation is one module call per group on a view of the product's vectors.
Zero cones do not reach this file: their rows are equalities of the KKT system (A x = b).

One class per family (`FAMILIES`: orthant, second-order, PSD, exponential, in the order the
solver lists them), each knowing its `kind`, its module class, whether its cones are listed by
dimension (`by_dimension`), which of a cone's rows share one equilibration row scale
(`scale_rows`), and built by `build(decls, arrays, expansion_min, exp_cone)`. Every family has the same
methods; they act on the product's exchange vectors, which live where the family's module
calls run (`resident`: device arrays in device mode, else host):

    identity()        e of the Jordan algebra (the central point for exponential cones), host
    degree            barrier degree ν
    pattern(first, extra)  stored upper-triangle entries of the family's KKT rows (CSR order),
                      `extra` the number of the first extra row free for it
    interior()        loaded point: s ∈ int K and z ∈ int K*
    max_step(alpha)   min(alpha, largest α with s + α ds ∈ K and z + α dz ∈ K*) (exponential
                      cones: a backtracked step from alpha strictly inside K and K*)
    spectral_min()    smallest spectral value of the direction's s part (starting points)
    scale()           NT scaling state and λ = W z = W⁻ᵀ s of the loaded point, kept
    fill()            H⁻¹ (= WᵀW) from the kept scaling into the family's KKT rows, and the
                      centring term c_K (below)
    correction()      r_K (below) from the loaded direction (the affine one)

The linearised complementarity of every family is written in s-space as
    ds + H⁻¹ dz = −s + σμ c_K − r_K   (affine direction: −s),
with the exact shift −s (H⁻¹ z = s) and, on symmetric cones, c_K = Wᵀ(λ \\ e) = z⁻¹ and
r_K = Wᵀ(λ \\ ((W⁻ᵀ ds_a) ∘ (W dz_a))) (Mehrotra's second-order term). A family whose Newton
row needs other terms (the exponential cone's shadow point s̃ for c_K and its third-order
term H⁻¹η for r_K) supplies them through `fill` and `correction`; the solver only combines.

The exponential family is host-resident: in device mode it reads the host copies of the
exchange vectors and writes its KKT rows after the device rows are copied back.
"""
from __future__ import annotations

import functools

import numpy as np

import _cpp_cuda
import _ipm_cones

from .settings import ExpConeSettings


class ConeFailure(RuntimeError):
    """A cone operation could not be carried out (point not interior, non-finite scaling)."""


# ---------------------------------------------------------------------------------------
# Array placement: where the module's cone work runs. `mirror(host)` gives the array the
# module works on for a host exchange vector (the vector itself on the host), `send` and
# `fetch` copy between them (no-ops on the host) and count the copies.
# ---------------------------------------------------------------------------------------
class HostArrays:
    """Cone work on NumPy host arrays."""

    name = "host"

    def __init__(self):
        self.h2d = self.d2h = 0

    def empty(self, n):
        return np.zeros(n)

    def index(self, a):
        return np.ascontiguousarray(a, dtype=np.int64)

    def put(self, a):
        return np.array(a, dtype=np.float64)

    @staticmethod
    def view(a, start, count):
        return a[start:start + count]

    def mirror(self, host):
        return host

    def send(self, host, resident):
        if resident is not host:
            np.copyto(resident, host)

    def fetch(self, resident, host):
        if resident is not host:
            np.copyto(host, resident)


class DeviceArrays:
    """Cone work on CUDA device arrays: CuPy on a GPU, or the emulated device of the CUDA
    host emulation build. The linear algebra stays on the host; `h2d` and `d2h` count the
    vector copies between the two."""

    name = "device"

    def __init__(self):
        if not _cpp_cuda.has_cuda():
            raise RuntimeError("device arrays need a build of _cpp_cuda with a CUDA device (or its emulation)")
        self.h2d = self.d2h = 0
        try:
            import _cuemu
        except ImportError:
            _cuemu = None
        if _cuemu is not None:
            self.kind = "emulated"
            self._empty = lambda n: _cuemu.empty(n)
            self._array = _cuemu.array
            self._view = _cuemu.view
            self._write = lambda dev, host: _cuemu.write(dev, 0, host)
            self._read = lambda dev, host: np.copyto(host, _cuemu.to_numpy(dev))
        else:
            import cupy
            self.kind = "cuda"
            self._empty = lambda n: cupy.empty(n, dtype=cupy.float64)
            self._array = cupy.asarray
            self._view = lambda a, start, count: a[start:start + count]
            self._write = lambda dev, host: dev.set(host)
            self._read = lambda dev, host: dev.get(out=host)

    def empty(self, n):
        return self._empty(n)

    def index(self, a):
        self.h2d += 1
        return self._array(np.ascontiguousarray(a, dtype=np.int64))

    def put(self, a):
        self.h2d += 1
        return self._array(np.ascontiguousarray(a, dtype=np.float64))

    def view(self, a, start, count):
        return self._view(a, start, count)

    def mirror(self, host):
        return self._empty(host.size)

    def send(self, host, resident):
        self.h2d += 1
        self._write(resident, host)

    def fetch(self, resident, host):
        self.d2h += 1
        self._read(resident, host)


def make_arrays(where: str):
    """'host' or 'device' array placement."""
    if where == "host":
        return HostArrays()
    if where == "device":
        return DeviceArrays()
    raise ValueError(f"unknown array placement {where!r}")


# ---------------------------------------------------------------------------------------
# Families.
# ---------------------------------------------------------------------------------------
@functools.lru_cache(maxsize=64)
def _triu(n):
    """Row-major upper-triangle positions of an n × n block."""
    return np.triu_indices(n)


def _cat(parts, dtype=np.int64):
    if not parts:
        return np.zeros(0, dtype)
    return parts[0].astype(dtype, copy=False) if len(parts) == 1 else np.concatenate(parts).astype(dtype, copy=False)


class _Group:
    """`batch` equal cones of one module class on rows [start, start + rows) of the family;
    `expanded` second-order groups carry H⁻¹ in the sparse expansion, with their two extra
    KKT rows per cone from (tail-local) row `extra`."""

    __slots__ = ("cone", "batch", "start", "rows", "expanded", "extra", "state", "lam", "w1", "w2", "e",
                 "s", "z", "ds", "dz", "cen", "cor")

    def __init__(self, cone, batch, start, expanded=False):
        self.cone, self.batch, self.start = cone, batch, start
        self.rows = cone.rows * batch
        self.expanded = expanded
        self.extra = 0


class SymmetricFamily:
    """Cones of one symmetric kind over a module class (`cone_class(dim)` with the batch
    methods of `_ipm_cones`), grouped by dimension. `decls` are the family's ConeDecls in
    row order (equal dimensions adjacent). A subclass per kind gives its module class, the
    barrier degree of a cone, the identity of a group and its KKT block pattern."""

    symmetric = True
    kind: str
    cone_class: type
    by_dimension = True       # the family's cones are listed by dimension
    scale_rows = None         # rows of a cone sharing one equilibration row scale (None: all)

    def __init__(self, decls, arrays, resident, expansion_min=None):
        self.arrays = arrays if resident == "device" else HostArrays()
        self.resident = resident
        self.rows = sum(d.rows for d in decls)
        self.degree = sum(self.cone_degree(d) for d in decls)
        self.groups = self.make_groups(decls, expansion_min)

    @classmethod
    def build(cls, decls, arrays, expansion_min=None, exp_cone=None):
        """The family of `decls` on the product's array placement."""
        return cls(decls, arrays, arrays.name, expansion_min)

    def make_groups(self, decls, expansion_min):
        """One group per run of equal dimensions."""
        groups, start, k = [], 0, 0
        while k < len(decls):
            dim = decls[k].dim
            count = 1
            while k + count < len(decls) and decls[k + count].dim == dim:
                count += 1
            if any(d.dim < dim for d in decls[k + count:]):
                raise ValueError(f"{self.kind} cones must be listed by dimension")
            cone = self.cone_class(dim)
            groups.append(_Group(cone, count, start, self.expanded(cone, expansion_min)))
            start += cone.rows * count
            k += count
        return groups

    @staticmethod
    def expanded(cone, expansion_min):
        """Whether a group carries H⁻¹ in the module's sparse expansion."""
        return False

    # -- structure ------------------------------------------------------------------------
    def identity(self):
        e = np.zeros(self.rows)
        for g in self.groups:
            e[g.start:g.start + g.rows] = self.group_identity(g)
        return e

    def block_pattern(self, g, base):
        """(rows, cols) of the stored upper triangle of a group's dense blocks, row-major,
        the group's first row at `base`."""
        i, j = _triu(g.cone.rows)
        starts = base + g.cone.rows * np.arange(g.batch)
        return (starts[:, None] + i[None, :]).reshape(-1), (starts[:, None] + j[None, :]).reshape(-1)

    def pattern(self, first, extra):
        """(rows, cols) of the stored upper triangle of the family's KKT rows, tail-local,
        in CSR order: cone rows (from `first`) then the extra rows of expanded groups (from
        `extra`), returned separately: (cone_rows, cone_cols, extra_rows, extra_cols,
        extra_diagonal)."""
        rows, cols, xrows, xcols, xdiag = [], [], [], [], []
        for g in self.groups:
            base = first + g.start
            if g.expanded:
                g.extra = extra
                pr, pc = g.cone.expansion_pattern(extra, g.batch, base)
                upper = pr <= pc
                pr, pc = pr[upper], pc[upper]
                order = np.lexsort((pc, pr))
                pr, pc = pr[order], pc[order]
                cone = pr < extra
                rows.append(pr[cone])
                cols.append(pc[cone])
                xrows.append(pr[~cone])
                xcols.append(pc[~cone])
                xdiag.append(np.tile([-1.0, 1.0], g.batch))   # u-rows −1, v-rows +1
                extra += 2 * g.batch
            else:
                r, c = self.block_pattern(g, base)
                rows.append(r)
                cols.append(c)
        return _cat(rows), _cat(cols), _cat(xrows), _cat(xcols), _cat(xdiag, np.float64), extra

    def bind(self, product, first):
        """Views of the product's exchange vectors for every group, and the group's own
        scaling state, λ and work vectors, on the family's residence."""
        ar = self.arrays
        ex = product.resident if self.resident == "device" else product.host
        m = product.m
        e = ar.put(self.identity()) if self.rows else None
        for g in self.groups:
            a = first + g.start
            g.s, g.z = ar.view(ex["point"], a, g.rows), ar.view(ex["point"], m + a, g.rows)
            g.ds, g.dz = ar.view(ex["direction"], a, g.rows), ar.view(ex["direction"], m + a, g.rows)
            g.cen = ar.view(ex["centring"], a, g.rows)
            g.cor = ar.view(ex["correction"], a, g.rows)
            g.state = ar.empty(g.cone.scaling_size * g.batch)
            g.lam, g.w1, g.w2 = ar.empty(g.rows), ar.empty(g.rows), ar.empty(g.rows)
            g.e = ar.view(e, g.start, g.rows)
        self.values = ex["values"]
        self.indptr, self.indices = ex["indptr"], ex["indices"]
        self.first = first

    # -- operations on the loaded point and direction ---------------------------------------
    def interior(self):
        for g in self.groups:
            if not (g.cone.interior(g.s, g.batch) and g.cone.interior(g.z, g.batch)):
                return False
        return True

    def max_step(self, alpha):
        for g in self.groups:
            alpha = g.cone.max_step(g.s, g.ds, g.batch, alpha)
            alpha = g.cone.max_step(g.z, g.dz, g.batch, alpha)
        return alpha

    def spectral_min(self):
        return min((g.cone.spectral_min(g.ds, g.batch) for g in self.groups), default=np.inf)

    def scale(self):
        for g in self.groups:
            g.cone.nt_scaling_into(g.s, g.z, g.state, g.lam, g.batch)

    def fill(self):
        """H⁻¹ = WᵀW of every group from its stored scaling into the KKT values, and the
        centring term c_K = Wᵀ(λ \\ e)."""
        for g in self.groups:
            if g.expanded:
                g.cone.expansion_csr_values_into(g.state, self.indptr, self.indices, self.values, g.extra, g.batch,
                                                 self.first + g.start, True)
            else:
                g.cone.hmatrix_csr_values_into(g.state, self.indptr, self.indices, self.values, g.batch,
                                               self.first + g.start, True)
            g.cone.jordan_solve_into(g.lam, g.e, g.w1, g.batch)
            g.cone.scale_into(g.state, g.w1, g.cen, False, True, g.batch)

    def correction(self):
        """r_K = Wᵀ(λ \\ ((W⁻ᵀ ds) ∘ (W dz))) for the loaded (affine) direction."""
        for g in self.groups:
            c = g.cone
            c.scale_into(g.state, g.ds, g.w1, True, True, g.batch)
            c.scale_into(g.state, g.dz, g.w2, False, False, g.batch)
            c.jordan_product_into(g.w1, g.w2, g.w1, g.batch)
            c.jordan_solve_into(g.lam, g.w1, g.w1, g.batch)
            c.scale_into(g.state, g.w1, g.cor, False, True, g.batch)


class NonnegativeFamily(SymmetricFamily):
    """The nonnegative orthant: one group of all the family's rows, H⁻¹ = diag(s/z)."""

    kind = "nonnegative"
    cone_class = _ipm_cones.NonnegativeCone
    by_dimension = False
    scale_rows = 1            # every orthant row has a scale of its own

    @staticmethod
    def cone_degree(decl):
        return decl.rows

    def make_groups(self, decls, expansion_min):
        return [_Group(self.cone_class(self.rows), 1, 0)] if self.rows else []

    @staticmethod
    def group_identity(g):
        return np.ones(g.rows)

    def block_pattern(self, g, base):
        r = base + np.arange(g.rows)
        return r, r


class SecondOrderFamily(SymmetricFamily):
    """Second-order cones {(t, x): ‖x‖ ≤ t}, dense H⁻¹ blocks or, from the dimension
    `expansion_min` on (None: the module's recommendation), the sparse expansion."""

    kind = "soc"
    cone_class = _ipm_cones.SecondOrderCone

    @staticmethod
    def cone_degree(decl):
        return 1 if decl.dim == 1 else 2

    @staticmethod
    def expanded(cone, expansion_min):
        return cone.expansion_recommended if expansion_min is None else cone.dim >= expansion_min

    @staticmethod
    def group_identity(g):
        e = np.zeros(g.rows)
        e[::g.cone.rows] = 1.0
        return e


class PsdFamily(SymmetricFamily):
    """Positive semidefinite cones, each as the packed lower triangle of its matrix."""

    kind = "psd"
    cone_class = _ipm_cones.PsdCone

    @staticmethod
    def cone_degree(decl):
        return decl.dim

    @staticmethod
    def group_identity(g):
        i, j = np.tril_indices(g.cone.dim)
        return np.tile((i == j).astype(float), g.batch)


# ---------------------------------------------------------------------------------------
# Exponential cones: the module's primal–dual scaling, host-resident.
# ---------------------------------------------------------------------------------------
# The central point e = −∇f(e) of f(x, y, z) = −log(y log(z/y) − x) − log y − log z: interior to
# the cone and to its dual, ⟨e, e⟩ = 3.
EXP_CENTRAL_POINT = np.array([-0.827838399065679, 0.805102001584795, 1.290927709856958])
# Offset of the shadow point s̃ = −∇f*(z) in a cone's scaling state (see ExponentialCone).
_EXP_SHADOW = 25


class ExponentialFamily:
    """Exponential cones {(x, y, z): y e^{x/y} ≤ z}, three rows each, over the module's
    `ExponentialCone`. Not self-dual and without a Jordan algebra: z lives in the dual cone
    K* = {(u, v, w): (u − v, −u, w) ∈ K}. The scaling is the module's primal–dual H (H s = z,
    H s̃ = z̃ with the shadow points s̃ = −∇f*(z), z̃ = −∇f(s)); the KKT rows hold H⁻¹, the
    centring term is c_K = s̃ (H⁻¹∇f(s) = −s̃, exact by the scaling's identities) and the
    correction term is r_K = −H⁻¹η with η = ½ f‴(s)[ds_a, ∇²f(s)⁻¹dz_a] the third-order term
    of the affine direction. Step lengths backtrack by the factor `backtrack` from the symmetric
    families' step until s + α ds ∈ int K and z + α dz ∈ int K* for every cone.
    Host-resident: in device mode it works on the host copies of the exchange vectors and
    writes its KKT rows after the device rows are copied back."""

    kind = "exp"
    symmetric = False
    resident = "host"
    by_dimension = False
    scale_rows = 3            # a cone's three rows share one scale
    longest_step = 1.0 - np.sqrt(np.finfo(float).eps)

    def __init__(self, decls, settings: ExpConeSettings | None = None):
        settings = ExpConeSettings() if settings is None else settings
        self.backtrack, self.shortest_step = settings.backtrack, settings.shortest_step
        self.rows = sum(d.rows for d in decls)
        self.blocks = self.rows // 3
        self.degree = self.rows
        self.cone = _ipm_cones.ExponentialCone(self.blocks)
        self.state = np.empty(self.cone.scaling_size)
        self.work = np.empty(self.rows)

    @classmethod
    def build(cls, decls, arrays, expansion_min=None, exp_cone=None):
        """The family of `decls` (host-resident whatever the placement)."""
        return cls(decls, exp_cone)

    def identity(self):
        return np.tile(EXP_CENTRAL_POINT, self.blocks)

    def pattern(self, first, extra):
        i, j = _triu(3)
        starts = first + 3 * np.arange(self.blocks)
        empty = np.zeros(0, dtype=np.int64)
        return ((starts[:, None] + i[None, :]).reshape(-1).astype(np.int64),
                (starts[:, None] + j[None, :]).reshape(-1).astype(np.int64), empty, empty, np.zeros(0), extra)

    def bind(self, product, first):
        h, m = product.host, product.m
        sl = slice(first, first + self.rows)
        self.s, self.z = h["point"][sl], h["point"][m + first:m + first + self.rows]
        self.ds, self.dz = h["direction"][sl], h["direction"][m + first:m + first + self.rows]
        self.cen, self.cor = h["centring"][sl], h["correction"][sl]
        self.values, self.indptr, self.indices = h["values"], h["indptr"], h["indices"]
        self.first = first

    def interior(self):
        return self.cone.interior(self.s) and self.cone.dual_interior(self.z)

    def max_step(self, alpha):
        """The first of α₀, b α₀, b² α₀, … (b = `backtrack`, α₀ = min(alpha, 1 − √ε)) keeping
        every cone's s in int K and z in int K*; 0 when that needs a step below
        `shortest_step`."""
        alpha0 = min(alpha, self.longest_step)
        return self.cone.backtrack_step(self.s, self.ds, self.z, self.dz, alpha0, self.backtrack,
                                        alpha_min=min(alpha0, self.shortest_step))

    def spectral_min(self):
        return np.inf

    def scale(self):
        self.cone.scaling_into(self.s, self.z, self.state)

    def fill(self):
        """H⁻¹ into the KKT values and c_K = s̃ from the stored scaling."""
        self.cone.hmatrix_csr_values_into(self.state, self.indptr, self.indices, self.values, row_offset=self.first,
                                          inverse=True)
        states = self.state.reshape(self.blocks, -1)
        self.cen.reshape(self.blocks, 3)[:] = states[:, _EXP_SHADOW:_EXP_SHADOW + 3]

    def correction(self):
        """r_K = −H⁻¹η for the loaded (affine) direction."""
        self.cone.corrector_into(self.s, self.ds, self.dz, self.work)
        self.cone.hmatrix_product_into(self.state, self.work, self.cor, inverse=True)
        np.negative(self.cor, out=self.cor)


# ---------------------------------------------------------------------------------------
# The product.
# ---------------------------------------------------------------------------------------
# The families in the order the solver lists them.
FAMILIES = (NonnegativeFamily, SecondOrderFamily, PsdFamily, ExponentialFamily)
_RANK = {fam.kind: k for k, fam in enumerate(FAMILIES)}


def family_of(kind):
    """The family class of a cone kind (not "zero")."""
    return FAMILIES[_RANK[kind]]


def family_order(decls):
    """The order in which the solver lists the cones: by family, then (second-order and
    PSD) by dimension, the given order kept among equals."""
    def key(k):
        rank = _RANK[decls[k].kind]
        return rank, decls[k].dim if FAMILIES[rank].by_dimension else 0
    return sorted(range(len(decls)), key=key)


class ConeProduct:
    """K = K_1 × … × K_r for the rows of G (no zero cones), listed in `family_order`, as
    one object per family over one set of exchange vectors:

        point      [s; z]    the loaded point (`load_point`)
        direction  [ds; dz]  the loaded direction (`load_direction`)
        values     the KKT rows of the cones (bound with `bind`)
        centring   c_K of the point's scaling, correction  r_K of the loaded direction

    host arrays always, and their device mirrors when device-resident families exist."""

    def __init__(self, decls, arrays, expansion_min=None, exp_cone: ExpConeSettings | None = None):
        decls = list(decls)
        if any(d.kind == "zero" for d in decls):
            raise ValueError("zero cones belong in A x = b")
        if family_order(decls) != list(range(len(decls))):
            raise ValueError("cones must be listed by kind, and by dimension within a kind (family_order)")
        self.arrays = arrays
        self.m = sum(d.rows for d in decls)
        self.families = []
        start = 0
        for cls in FAMILIES:
            mine = [d for d in decls if d.kind == cls.kind]
            if not mine:
                continue
            fam = cls.build(mine, arrays, expansion_min, exp_cone)
            fam.idx = slice(start, start + fam.rows)
            start += fam.rows
            if fam.rows:
                self.families.append(fam)
        self.degree = sum(f.degree for f in self.families)
        self.symmetric = all(f.symmetric for f in self.families)
        self.identity = np.concatenate([f.identity() for f in self.families]) if self.families else np.zeros(0)
        self.symmetric_mask = np.concatenate([np.full(f.rows, f.symmetric) for f in self.families]) \
            if self.families else np.zeros(0, dtype=bool)
        self._device = [f for f in self.families if f.resident == "device"]
        self._host = [f for f in self.families if f.resident != "device"]

    def pattern(self):
        """(rows, cols, extra_diagonal): the stored upper triangle of the cones' KKT rows
        (row-major, rows and columns counted from the first cone row; the extra rows of
        expanded second-order groups numbered from m on), and the diagonal each extra row
        holds in the sparse expansion (−1 on u-rows, +1 on v-rows)."""
        parts, extra = [], self.m
        for fam in self.families:
            *part, extra = fam.pattern(fam.idx.start, extra)
            parts.append(part)
        rows = _cat([p[0] for p in parts] + [p[2] for p in parts if p[2].size])
        cols = _cat([p[1] for p in parts] + [p[3] for p in parts if p[3].size])
        return rows, cols, _cat([p[4] for p in parts], np.float64)

    def bind(self, indptr, indices, values):
        """Attach the cones' KKT rows: `indptr`, `indices` the host CSR arrays of those rows
        (counted from the first cone row), `values` their host values, which the families
        fill in place (device families through a device mirror copied back in one piece)."""
        m, ar = self.m, self.arrays
        self.cone_values = values
        nv = values.size
        # Host exchange vectors; the values and the centring term share one buffer so that
        # the device mirror comes back in one copy.
        self._staging = np.zeros(nv + m)
        host = dict(point=np.zeros(2 * m), direction=np.zeros(2 * m), correction=np.zeros(m),
                    centring=self._staging[nv:], values=values, indptr=indptr, indices=indices)
        self.host = host
        self.s, self.z = host["point"][:m], host["point"][m:]
        self.ds, self.dz = host["direction"][:m], host["direction"][m:]
        self.centring, self.correction_vec = host["centring"], host["correction"]
        if self._device and ar.name == "device":
            staged = ar.empty(nv + m)
            self.resident = dict(point=ar.mirror(host["point"]), direction=ar.mirror(host["direction"]),
                                 correction=ar.mirror(host["correction"]), staged=staged,
                                 values=ar.view(staged, 0, nv), centring=ar.view(staged, nv, m),
                                 indptr=ar.index(indptr), indices=ar.index(indices))
        else:
            self.resident = host
        for fam in self.families:
            fam.bind(self, fam.idx.start)
        self._remote = self.resident is not host

    # -- loading -----------------------------------------------------------------------------
    def load_point(self, s, z):
        np.copyto(self.s, s)
        np.copyto(self.z, z)
        if self._remote:
            self.arrays.send(self.host["point"], self.resident["point"])

    def load_direction(self, ds, dz):
        np.copyto(self.ds, ds)
        np.copyto(self.dz, dz)
        if self._remote:
            self.arrays.send(self.host["direction"], self.resident["direction"])

    # -- the families' operations over the product ------------------------------------------
    def interior(self):
        """The loaded point strictly inside: s ∈ int K, z ∈ int K*."""
        for fam in self.families:
            if not fam.interior():
                return False
        return True

    def max_step(self, alpha=np.inf):
        """min(alpha, largest α with s + α ds ∈ K and z + α dz ∈ K*) for the loaded point
        and direction; the exponential family (listed last) backtracks from the step of
        the others to a step strictly inside its cones."""
        for fam in self.families:
            alpha = fam.max_step(alpha)
        return alpha

    def spectral_min(self, v):
        """Smallest spectral value of v over the symmetric families (uses the direction)."""
        self.load_direction(v, self.dz)
        return min((fam.spectral_min() for fam in self.families if fam.symmetric), default=np.inf)

    def scale_and_fill(self):
        """NT scaling of every family at the loaded point, H⁻¹ into the KKT values and the
        centring term c_K into `centring` (host)."""
        try:
            for fam in self.families:
                fam.scale()
            for fam in self._device:
                fam.fill()
            if self._remote:
                self.arrays.fetch(self.resident["staged"], self._staging)
                self.cone_values[:] = self._staging[:self.cone_values.size]
            for fam in self._host:
                fam.fill()
        except RuntimeError as err:   # the module's refusal
            raise ConeFailure(str(err)) from err
        # Device scalings do not refuse: a pair that is not interior gives NaN.
        if not (np.isfinite(self.cone_values).all() and np.isfinite(self.centring).all()):
            raise ConeFailure("scaling matrix is not finite (iterate left the cone interior)")

    def correction(self):
        """r_K of the loaded direction into `correction_vec` (host)."""
        for fam in self._device:
            fam.correction()
        if self._remote:
            self.arrays.fetch(self.resident["correction"], self.host["correction"])
        for fam in self._host:
            fam.correction()
        return self.correction_vec
