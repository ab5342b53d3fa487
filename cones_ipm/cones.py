"""The cone product K of a conic program: one object per cone family, each doing its cone
arithmetic as batched calls of the companion module `_ipm_cones`.

The solver lists the cones by kind (orthants, second-order, PSD, exponential) and, within a
kind, by dimension, so the cones of one (family, dimension) group are one contiguous run of
rows and every operation is one module call per group on a view of the product's vectors.
Zero cones do not reach this file: their rows are equalities of the KKT system (A x = b).

Every family has the same methods; they act on the product's exchange vectors, which live
where the family's module calls run (`resident`: device arrays in device mode, else host):

    identity()        e of the Jordan algebra (the central point for exponential cones), host
    degree            barrier degree ν
    pattern(first, extra)  stored upper-triangle entries of the family's KKT rows (CSR order),
                      `extra` the number of the first extra row free for it
    interior()        loaded point: s ∈ int K and z ∈ int K*
    max_step(alpha)   min(alpha, largest α with s + α ds ∈ K and z + α dz ∈ K*)
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

The exponential family keeps a NumPy body over `_cpp_cuda`'s secant block. It is
host-resident: in device mode it reads the host copies of the exchange vectors and writes its
KKT rows after the device rows are copied back.
"""
from __future__ import annotations

import functools

import numpy as np
import scipy.optimize

import _cpp_cuda
import _ipm_cones


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
    row order (equal dimensions adjacent)."""

    symmetric = True

    def __init__(self, kind, decls, cone_class, arrays, resident, expansion_min=None):
        self.kind = kind
        self.arrays = arrays if resident == "device" else HostArrays()
        self.resident = resident
        self.rows = sum(d.rows for d in decls)
        self.groups = []
        if kind == "nonnegative":
            self.degree = self.rows
            if self.rows:
                self.groups.append(_Group(cone_class(self.rows), 1, 0))
        else:
            self.degree = sum(d.dim for d in decls) if kind == "psd" else \
                sum(1 if d.dim == 1 else 2 for d in decls)
            start, k = 0, 0
            while k < len(decls):
                dim = decls[k].dim
                count = 1
                while k + count < len(decls) and decls[k + count].dim == dim:
                    count += 1
                if any(d.dim < dim for d in decls[k + count:]):
                    raise ValueError(f"{kind} cones must be listed by dimension")
                cone = cone_class(dim)
                expanded = kind == "soc" and (cone.expansion_recommended if expansion_min is None
                                              else dim >= expansion_min)
                self.groups.append(_Group(cone, count, start, expanded))
                start += cone.rows * count
                k += count

    # -- structure ------------------------------------------------------------------------
    def identity(self):
        e = np.zeros(self.rows)
        for g in self.groups:
            if self.kind == "nonnegative":
                e[:] = 1.0
            elif self.kind == "soc":
                e[g.start:g.start + g.rows:g.cone.rows] = 1.0
            else:
                n = g.cone.dim
                i, j = np.tril_indices(n)
                e[g.start:g.start + g.rows] = np.tile((i == j).astype(float), g.batch)
        return e

    def pattern(self, first, extra):
        """(rows, cols) of the stored upper triangle of the family's KKT rows, tail-local,
        in CSR order: cone rows (from `first`) then the extra rows of expanded groups (from
        `extra`), returned separately: (cone_rows, cone_cols, extra_rows, extra_cols,
        extra_diagonal)."""
        rows, cols, xrows, xcols, xdiag = [], [], [], [], []
        for g in self.groups:
            base = first + g.start
            n = g.cone.rows
            if self.kind == "nonnegative":
                r = base + np.arange(g.rows)
                rows.append(r)
                cols.append(r)
            elif g.expanded:
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
                i, j = _triu(n)
                starts = base + n * np.arange(g.batch)
                rows.append((starts[:, None] + i[None, :]).reshape(-1))
                cols.append((starts[:, None] + j[None, :]).reshape(-1))
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


# ---------------------------------------------------------------------------------------
# Exponential cones: NumPy body over _cpp_cuda's secant block, host-resident.
# ---------------------------------------------------------------------------------------
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


class ExponentialFamily:
    """Exponential cones {(x, y, z): y e^{x/y} ≤ z}, three rows each. Not self-dual and
    without a Jordan algebra: the module's block is a secant scaling of the swapped pair
    (H⁻¹ z = s, symmetric), the centring term is c_K = H⁻¹(−∇F(s)), there is no correction
    term, and step lengths come from the module's membership test. Host-resident."""

    kind = "exp"
    symmetric = False
    resident = "host"

    def __init__(self, decls):
        self.rows = sum(d.rows for d in decls)
        self.blocks = self.rows // 3
        self.degree = self.rows
        self.cone = _cpp_cuda.ExponentialConeCpp(self.blocks)
        self.single = _cpp_cuda.ExponentialConeCpp(1)   # batched over the blocks

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

    def dual_map(self, z):
        """Image of a dual vector in the primal cone (see _EXP_DUAL_MAP)."""
        return (z.reshape(-1, 3) @ _EXP_DUAL_MAP.T).reshape(-1)

    def _inside(self, x, dual=False):
        v = self.dual_map(x) if dual else x
        # Strict interior: y > 0 plus the module's (closed) membership test with atol 0.
        return bool(np.all(v[1::3] > 0)) and self.cone.contains(np.ascontiguousarray(v), atol=0.0)

    def interior(self):
        return self._inside(self.s) and self._inside(self.z, dual=True)

    def _step(self, x, dx, dual):
        """Largest α (to about 1e-10 relative) keeping every block inside, by bisection on
        the membership test of the whole family (each block's admissible α form an
        interval from 0, so their intersection does too)."""
        if self._inside(x + 1e6 * dx, dual):
            return np.inf
        lo, hi = 0.0, 1.0
        while self._inside(x + hi * dx, dual):
            lo, hi = hi, 2.0 * hi
        for _ in range(40):
            mid = 0.5 * (lo + hi)
            lo, hi = (mid, hi) if self._inside(x + mid * dx, dual) else (lo, mid)
        return lo

    def max_step(self, alpha):
        return min(alpha, self._step(self.s, self.ds, False), self._step(self.z, self.dz, True))

    def spectral_min(self):
        return np.inf

    def scale(self):
        """The module's secant block H⁻¹ (of the swapped pair) per block."""
        hinv = np.empty(9 * self.blocks)
        self.single.nt_scaling_matrix_batch_into(np.ascontiguousarray(self.z), np.ascontiguousarray(self.s), hinv,
                                                 self.blocks)
        if not np.all(np.isfinite(hinv)):
            raise ConeFailure("exponential scaling is not finite")
        self.hinv_blocks = hinv.reshape(self.blocks, 3, 3)

    def fill(self):
        self.cone.hmatrix_csr_values_into(np.ascontiguousarray(self.z), np.ascontiguousarray(self.s), self.indptr,
                                          self.indices, self.values, row_offset=self.first)
        g = _exp_barrier_gradient(self.s).reshape(-1, 3)
        self.cen[:] = np.einsum("bij,bj->bi", self.hinv_blocks, g).reshape(-1)

    def correction(self):
        self.cor[:] = 0.0


# ---------------------------------------------------------------------------------------
# The product.
# ---------------------------------------------------------------------------------------
KIND_ORDER = {"nonnegative": 0, "soc": 1, "psd": 2, "exp": 3}


def family_order(decls):
    """The order in which the solver lists the cones: by kind, then (second-order and PSD)
    by dimension, the given order kept among equals."""
    return sorted(range(len(decls)), key=lambda k: (KIND_ORDER[decls[k].kind],
                                                     decls[k].dim if decls[k].kind in ("soc", "psd") else 0))


class ConeProduct:
    """K = K_1 × … × K_r for the rows of G (no zero cones), listed in `family_order`, as
    one object per family over one set of exchange vectors:

        point      [s; z]    the loaded point (`load_point`)
        direction  [ds; dz]  the loaded direction (`load_direction`)
        values     the KKT rows of the cones (bound with `bind`)
        centring   c_K of the point's scaling, correction  r_K of the loaded direction

    host arrays always, and their device mirrors when device-resident families exist."""

    def __init__(self, decls, arrays, expansion_min=None):
        decls = list(decls)
        if any(d.kind == "zero" for d in decls):
            raise ValueError("zero cones belong in A x = b")
        if family_order(decls) != list(range(len(decls))):
            raise ValueError("cones must be listed by kind, and by dimension within a kind (family_order)")
        self.arrays = arrays
        self.m = sum(d.rows for d in decls)
        self.families = []
        start = 0
        for kind in KIND_ORDER:
            mine = [d for d in decls if d.kind == kind]
            if not mine:
                continue
            if kind == "nonnegative":
                fam = SymmetricFamily(kind, mine, _ipm_cones.NonnegativeCone, arrays, arrays.name)
            elif kind == "soc":
                fam = SymmetricFamily(kind, mine, _ipm_cones.SecondOrderCone, arrays, arrays.name, expansion_min)
            elif kind == "psd":
                fam = SymmetricFamily(kind, mine, _ipm_cones.PsdCone, arrays, arrays.name)
            else:
                fam = ExponentialFamily(mine)
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
        and direction."""
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
