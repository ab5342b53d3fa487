"""The companion module _ipm_cones: NT scaling state, scaled point, products with W, Jordan
product and solve, steps, spectral minima and H / H^-1 fills of every family, host and device
(emulated), against NumPy references, exact rational bisection, _cpp_cuda's NT matrices and
refusals, and identities (W z = W^-T s = lambda, W^T W = H^-1, lam o (lam \\ x) = x)."""
import functools
from fractions import Fraction

import numpy as np
import pytest
import scipy.sparse as sp

import _cpp_cuda
from test_psd import assert_nt_accurate, boundary_cases, nt_residuals, ref_operator, smat, spd, svec

_ipm = pytest.importorskip("_ipm_cones")

EPS = np.finfo(float).eps
FAMILIES = ["zero", "nonnegative", "second_order"]
SIZES = [1, 2, 3, 7, 65, 257]
BATCHES = [1, 5]
CLASSES = {"zero": "ZeroCone", "nonnegative": "NonnegativeCone", "second_order": "SecondOrderCone",
           "psd": "PsdCone"}
CPP = {"zero": "ZeroConeCpp", "nonnegative": "NonnegativeConeCpp", "second_order": "SecondOrderConeCpp"}


def cone(family, n):
    return getattr(_ipm, CLASSES[family])(n)


# --- placement of arrays: host NumPy or emulated device ---------------------------------

class Host:
    def put(self, a, dtype=np.float64):
        return np.ascontiguousarray(a, dtype=dtype)

    def out(self, n, fill=np.nan):
        return np.full(n, fill)

    def get(self, a):
        return np.asarray(a)


class Device:
    def __init__(self, dev):
        self.dev = dev

    def put(self, a, dtype=np.float64):
        return self.dev.array(np.ascontiguousarray(a, dtype=dtype))

    def out(self, n, fill=np.nan):
        return self.dev.empty(n, fill=fill)

    def get(self, a):
        return self.dev.to_numpy(a)


@pytest.fixture(params=["host", "device"])
def place(request):
    if request.param == "host":
        return Host()
    return Device(request.getfixturevalue("dev"))


# --- references ---------------------------------------------------------------------------

def lorentz_j(n):
    return np.diag([1.0] + [-1.0] * (n - 1))


def interior_point(family, n, rng, gap=None):
    """A strictly interior point (zero cone: 0); `gap` puts a second-order point at relative
    distance gap from the boundary."""
    if family == "zero":
        return np.zeros(n)
    if family == "nonnegative":
        return rng.uniform(0.1, 3.0, n) if gap is None else rng.uniform(0.1, 3.0, n) * np.where(
            rng.random(n) < 0.5, gap, 1.0)
    x = rng.normal(size=n)
    t = np.linalg.norm(x[1:])
    x[0] = t * (1 + gap) if gap is not None and t > 0 else t + rng.uniform(0.2, 2.0)
    return x


def batch_of(family, n, batch, rng, **kw):
    return np.concatenate([interior_point(family, n, rng, **kw) for _ in range(batch)])


def ref_w(family, s, z):
    """Dense NT scaling W (CVXOPT's convention: W z = W^-T s = lambda, W^T W = H^-1)."""
    n = len(s)
    if family == "zero":
        return np.eye(n)
    if family == "nonnegative":
        return np.diag(np.sqrt(s / z))
    J = lorentz_j(n)
    a, b = np.sqrt(s @ J @ s), np.sqrt(z @ J @ z)
    st, zt = s / a, z / b
    gamma = np.sqrt((1 + st @ zt) / 2)
    w = (st + J @ zt) / (2 * gamma)
    v = (w + np.eye(n)[0]) / np.sqrt(2 * (w[0] + 1))
    return np.sqrt(a / b) * (2 * np.outer(v, v) - J)


def ref_product(family, x, y):
    if family == "zero":
        return np.zeros_like(x)
    if family == "nonnegative":
        return x * y
    return np.concatenate([[x @ y], x[0] * y[1:] + y[0] * x[1:]])


def items(a, n):
    return a.reshape(-1, n) if n else a.reshape(0, 0)


def block_diag(blocks, n, batch):
    out = np.zeros((n * batch, n * batch))
    for b in range(batch):
        out[b * n:(b + 1) * n, b * n:(b + 1) * n] = blocks[b]
    return out


def cpp_h(family, s, z, n, batch):
    """_cpp_cuda's NT matrices H (H s = z) of a batch, as dense blocks."""
    out = np.zeros(n * n * batch)
    getattr(_cpp_cuda, CPP[family])(n).nt_scaling_matrix_batch_into(s, z, out, batch)
    return [out[b * n * n:(b + 1) * n * n].reshape(n, n) for b in range(batch)]


def state(family, c, pl, s, z, batch):
    sc = pl.out(c.scaling_size * batch)
    lam = pl.out(c.rows * batch)
    c.nt_scaling_into(pl.put(s), pl.put(z), sc, lam, batch=batch)
    return sc, lam


# --- surface ------------------------------------------------------------------------------

RO = "ndarray[dtype=float64, shape=(*), order='C', writable=False]"
RW = "ndarray[dtype=float64, shape=(*), order='C']"
IX = "ndarray[dtype=int64, shape=(*), order='C', writable=False]"
METHODS = [
    ("interior", f"(self, x: {RO}, batch: int = 1) -> bool"),
    ("max_step", f"(self, x: {RO}, dx: {RO}, batch: int = 1, alpha_max: float = inf) -> float"),
    ("spectral_min", f"(self, x: {RO}, batch: int = 1) -> float"),
    ("nt_scaling_into", f"(self, s: {RO}, z: {RO}, scaling: {RW}, lam: {RW}, batch: int = 1, stream: int = 0) -> None"),
    ("scale_into", f"(self, scaling: {RO}, x: {RO}, out: {RW}, inverse: bool = False, transpose: bool = False, "
                   f"batch: int = 1, stream: int = 0) -> None"),
    ("jordan_product_into", f"(self, x: {RO}, y: {RO}, out: {RW}, batch: int = 1, stream: int = 0) -> None"),
    ("jordan_solve_into", f"(self, lam: {RO}, x: {RO}, out: {RW}, batch: int = 1, stream: int = 0) -> None"),
    ("hmatrix_csr_values_into", f"(self, scaling: {RO}, indptr: {IX}, indices: {IX}, values: {RW}, batch: int = 1, "
                                f"row_offset: int = 0, inverse: bool = False, stream: int = 0) -> None"),
    ("hmatrix_coo_values_into", f"(self, scaling: {RO}, row_indices: {IX}, col_indices: {IX}, values: {RW}, "
                                f"batch: int = 1, row_offset: int = 0, inverse: bool = False, stream: int = 0) -> None"),
]
SOC_EXTRA = [
    ("expansion_pattern", "(self, extra_offset: int, batch: int = 1, row_offset: int = 0) -> "
                          "tuple[numpy.ndarray[dtype=int64, shape=(*), order='C'], "
                          "numpy.ndarray[dtype=int64, shape=(*), order='C']]"),
    ("expansion_csr_values_into", f"(self, scaling: {RO}, indptr: {IX}, indices: {IX}, values: {RW}, "
                                  f"extra_offset: int, batch: int = 1, row_offset: int = 0, inverse: bool = False, "
                                  f"stream: int = 0) -> None"),
]


@pytest.mark.parametrize("family", FAMILIES + ["psd"])
def test_surface(family):
    """Class names, properties, every method with its signature and a one-line docstring."""
    assert _ipm.__doc__
    assert [k for k in vars(_ipm) if not k.startswith("_")] == list(CLASSES.values())
    c = cone(family, 4)
    expected = {"zero": (4, 0), "nonnegative": (4, 4), "second_order": (4, 8), "psd": (10, 37)}[family]
    assert (c.dim, c.rows, c.scaling_size) == (4, *expected)
    cls = type(c)
    methods = METHODS + (SOC_EXTRA if family == "second_order" else [])
    for name, sig in methods:
        fn = getattr(cls, name)
        assert fn.__doc__.splitlines()[0] == f"{name}{sig}"
        assert len(fn.__doc__.splitlines()) >= 3 and fn.__doc__.splitlines()[2]
    public = {k for k in vars(cls) if not k.startswith("_")}
    extra = {"expansion_recommended"} if family == "second_order" else set()
    assert public == {m for m, _ in methods} | {"dim", "rows", "scaling_size"} | extra
    if family in ("second_order", "psd"):
        msg = {"second_order": "second-order cone dim", "psd": "PSD cone dim"}[family]
        with pytest.raises(RuntimeError, match=f"^{msg} must be positive$"):
            cone(family, 0)
    else:
        assert cone(family, 0).rows == 0


# --- NT scaling state, scaled point, products with W, H fills ------------------------------

def dense_pattern(m):
    full = sp.csr_matrix(np.ones((m, m)))
    return full.indptr.astype(np.int64), full.indices.astype(np.int64)


@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("batch", BATCHES)
def test_nt_identities(family, n, batch, place, rng):
    """lambda against the dense NumPy W; W z = W^-T s = lambda and W^-1 (W x) = x through
    scale_into; W^T W = H^-1 with H from _cpp_cuda; the H fill equals _cpp_cuda's H where the
    arithmetic is shared (second-order: bit for bit) and its inverse fill inverts it."""
    c = cone(family, n)
    s, z = batch_of(family, n, batch, rng), batch_of(family, n, batch, rng)
    sc, lam = state(family, c, pl := place, s, z, batch)
    lam = pl.get(lam)
    x = rng.normal(size=n * batch)
    tol = 64 * n * EPS
    ws = [ref_w(family, si, zi) for si, zi in zip(items(s, n), items(z, n))]
    lam_ref = np.concatenate([w @ zi for w, zi in zip(ws, items(z, n))]) if family != "zero" else np.zeros(n * batch)
    scale = 1 + np.abs(lam_ref).max(initial=0)
    np.testing.assert_allclose(lam, lam_ref, rtol=0, atol=tol * scale)

    def apply(v, **kw):
        out = pl.out(n * batch)
        c.scale_into(sc, pl.put(v), out, batch=batch, **kw)
        return pl.get(out)

    if family != "zero":
        np.testing.assert_allclose(apply(z), lam_ref, rtol=0, atol=tol * scale)
        np.testing.assert_allclose(apply(s, inverse=True, transpose=True), lam_ref, rtol=0, atol=tol * scale)
    wx = apply(x)
    np.testing.assert_allclose(wx, np.concatenate([w @ xi for w, xi in zip(ws, items(x, n))]),
                               rtol=0, atol=tol * (1 + np.abs(wx).max()) * 8)
    np.testing.assert_array_equal(apply(x, transpose=True), wx)  # W^T = W
    np.testing.assert_allclose(apply(wx, inverse=True), x, rtol=0, atol=tol * (1 + np.abs(wx).max()) * 8)

    # H fills from the stored scaling over a dense pattern of the batch's rows.
    m = n * batch
    indptr, indices = dense_pattern(m)
    fills = {}
    for inverse in (False, True):
        vals = pl.out(indices.size)
        c.hmatrix_csr_values_into(sc, pl.put(indptr, np.int64), pl.put(indices, np.int64), vals, batch=batch,
                                  inverse=inverse)
        fills[inverse] = pl.get(vals).reshape(m, m)
    H = block_diag(cpp_h(family, s, z, n, batch), n, batch) if family != "zero" else np.eye(m)
    if family == "second_order":
        np.testing.assert_array_equal(fills[False], H)
    else:
        np.testing.assert_allclose(fills[False], H, rtol=4 * EPS, atol=0)
    wtw = block_diag([w.T @ w for w in ws], n, batch)
    np.testing.assert_allclose(fills[True], wtw, rtol=0, atol=tol * np.abs(wtw).max(initial=1) * 8)
    np.testing.assert_allclose(fills[True] @ H, np.eye(m), rtol=0, atol=tol * np.linalg.cond(H) * 8)


@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("n", [1, 3, 65])
def test_device_equals_host(family, n, dev, rng):
    """Every device form gives the host's bits (the second-order sums run in the same order)."""
    c, batch = cone(family, n), 5
    host, device = Host(), Device(dev)
    s, z = batch_of(family, n, batch, rng), batch_of(family, n, batch, rng)
    x, y = rng.normal(size=n * batch), rng.normal(size=n * batch)
    results = []
    for pl in (host, device):
        sc, lam = state(family, c, pl, s, z, batch)
        outs = [pl.get(sc), pl.get(lam)]
        for name, args, kw in [("scale_into", (sc, pl.put(x)), {}), ("scale_into", (sc, pl.put(x)), {"inverse": True}),
                               ("jordan_product_into", (pl.put(x), pl.put(y)), {}),
                               ("jordan_solve_into", (lam, pl.put(x)), {})]:
            out = pl.out(n * batch)
            getattr(c, name)(*args, out, batch=batch, **kw)
            outs.append(pl.get(out))
        outs.append([c.interior(pl.put(s), batch), c.max_step(pl.put(s), pl.put(x), batch),
                     c.spectral_min(pl.put(s), batch), c.spectral_min(pl.put(x), batch)])
        results.append(outs)
    for h, d in zip(*results):
        np.testing.assert_array_equal(np.asarray(h, dtype=float), np.asarray(d, dtype=float))


# --- Jordan product and solve ----------------------------------------------------------------

@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("batch", BATCHES)
def test_jordan(family, n, batch, place, rng):
    """x o y against NumPy; lam o (lam \\ x) = x; in place (out is x) gives the same bits."""
    c = cone(family, n)
    x, y = rng.normal(size=n * batch), rng.normal(size=n * batch)
    lam = batch_of("second_order" if family == "second_order" else "nonnegative", n, batch, rng)
    out = place.out(n * batch)
    c.jordan_product_into(place.put(x), place.put(y), out, batch=batch)
    ref = np.concatenate([ref_product(family, a, b) for a, b in zip(items(x, n), items(y, n))]) if n else x
    np.testing.assert_allclose(place.get(out), ref, rtol=0, atol=4 * n * EPS * (1 + np.abs(ref).max(initial=0)))
    u = place.out(n * batch)
    c.jordan_solve_into(place.put(lam), place.put(x), u, batch=batch)
    back = place.out(n * batch)
    c.jordan_product_into(place.put(lam), u, back, batch=batch)
    if family != "zero":
        np.testing.assert_allclose(place.get(back), x, rtol=0, atol=64 * n * EPS * (1 + np.abs(place.get(u)).max()))
    same = place.put(x)
    c.jordan_solve_into(place.put(lam), same, same, batch=batch)
    np.testing.assert_array_equal(place.get(same), place.get(u))


# --- steps, spectral minima, interior tests --------------------------------------------------

def member_exact(family, y):
    """Closed-cone membership in exact rational arithmetic."""
    if family == "nonnegative":
        return all(v >= 0 for v in y)
    return y[0] >= 0 and y[0] * y[0] >= sum(v * v for v in y[1:])


def bisect_step(family, x, dx):
    """The exact boundary step of one item by bisection on dyadic alphas (None: unbounded)."""
    xs = [Fraction(float(v)) for v in x]
    ds = [Fraction(float(v)) for v in dx]
    inside = lambda a: member_exact(family, [xi + a * di for xi, di in zip(xs, ds)])  # noqa: E731
    hi = Fraction(1, 2 ** 40)
    while inside(hi):
        hi *= 2
        if hi > 2 ** 60:
            return None
    lo = Fraction(0)
    for _ in range(70):
        mid = (lo + hi) / 2
        lo, hi = (mid, hi) if inside(mid) else (lo, mid)
    return float(lo)


@pytest.mark.parametrize("family", ["nonnegative", "second_order"])
@pytest.mark.parametrize("n", [1, 2, 3, 7, 65])
@pytest.mark.parametrize("gap", [None, 1e-6])
def test_max_step_against_exact_bisection(family, n, gap, place, rng):
    """Per item and over a batch, at ordinary and boundary-hugging points (relative gap
    1e-6): the exit step agrees with the exact one to the accuracy of the data's own gap
    (the tail norm's rounding over x_0 - ||x_bar||); the min over items and alpha_max clamp."""
    c, batch = cone(family, n), 5
    x = batch_of(family, n, batch, rng, gap=gap)
    dx = rng.normal(size=n * batch)
    exact = [bisect_step(family, xi, di) for xi, di in zip(items(x, n), items(dx, n))]
    for b, (xi, di) in enumerate(zip(items(x, n), items(dx, n))):
        got = c.max_step(place.put(xi), place.put(di))
        if exact[b] is None:
            assert got == np.inf
            continue
        if family == "second_order":
            t = np.linalg.norm(xi[1:])
            rtol = 16 * n * EPS * (xi[0] + t) / (xi[0] - t)
        else:
            rtol = 2 * EPS
        assert got == pytest.approx(exact[b], rel=rtol, abs=0)
    finite = [e for e in exact if e is not None]
    whole = c.max_step(place.put(x), place.put(dx), batch)
    assert whole == (min(c.max_step(xi, di) for xi, di in zip(items(x, n), items(dx, n))) if finite else np.inf)
    assert c.max_step(place.put(x), place.put(dx), batch, alpha_max=0.25) == min(whole, 0.25)
    assert c.max_step(place.put(x), place.put(np.abs(dx) * 0 + x), batch) == np.inf  # dx = x stays inside
    bad = x.copy()
    bad[-n] = -1.0  # last item not interior
    assert c.max_step(place.put(bad), place.put(dx), batch) == 0.0
    nan = dx.copy()
    nan[0] = np.nan
    assert c.max_step(place.put(x), place.put(nan), batch) == 0.0
    with pytest.raises(RuntimeError, match="^alpha_max must be nonnegative$"):
        c.max_step(place.put(x), place.put(dx), batch, alpha_max=np.nan)


@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("n", SIZES)
def test_spectral_min(family, n, place, rng):
    c, batch = cone(family, n), 5
    x = rng.normal(size=n * batch) * 1e150
    got = c.spectral_min(place.put(x), batch)
    if family == "zero":
        assert got == np.inf
    elif family == "nonnegative":
        assert got == x.min()
    else:
        ref = min(xi[0] - np.linalg.norm(xi[1:]) for xi in items(x, n))
        assert got == pytest.approx(ref, rel=4 * n * EPS)
    if family != "zero":
        x[3] = np.nan
        assert np.isnan(c.spectral_min(place.put(x), batch))
    assert c.spectral_min(place.put(np.zeros(0)), 0) == np.inf


def boundary_sweep(family, n, rng):
    """Points on both sides of the boundary within a few ulps, at several scales."""
    pts = []
    for scale in (2.0 ** -660, 1.0, 2.0 ** 660):  # exact scalings of the same relative position
        for k in range(-3, 4):
            if family == "zero":
                pts.append(np.full(n, 1e-10 / np.sqrt(n)) * (1 + k * EPS))
            elif family == "nonnegative":
                x = rng.uniform(1, 2, n) * scale
                x[rng.integers(n)] = k * 5e-324
                pts.append(x)
            else:
                x = rng.normal(size=n)
                x[0] = np.linalg.norm(x[1:]) * (1 + k * EPS) if n > 1 else k
                pts.append(x * scale)
    return pts


@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("n", [1, 2, 7, 65])
def test_interior_agrees_with_cpp_refusal(family, n, place, rng):
    """interior() and nt_scaling_into's refusal give exactly _cpp_cuda's NT verdict on sweeps
    across the boundary (host NT forms of _cpp_cuda as the judge); NaN is never interior."""
    c = cone(family, n)
    ref = getattr(_cpp_cuda, CPP[family])(n)
    partner = interior_point(family, n, rng)
    for x in boundary_sweep(family, n, rng):
        try:
            ref.nt_scaling_matrix(x, partner)
            accepted = True
        except RuntimeError:
            accepted = False
        assert c.interior(place.put(x)) == accepted
        assert c.interior(place.put(np.concatenate([partner, x, partner])), 3) == accepted
    if family != "zero" or n:
        x = partner.copy()
        x[0] = np.nan
        assert not c.interior(place.put(x))


# --- refusals ------------------------------------------------------------------------------

@pytest.mark.parametrize("family", FAMILIES)
def test_refusals_leave_outputs_untouched(family, rng):
    n, batch = 3, 4
    c = cone(family, n)
    s, z = batch_of(family, n, batch, rng), batch_of(family, n, batch, rng)
    bad = s.copy()
    bad[-n:] = 1.0 if family == "zero" else -1.0  # the last item only
    msg = {"zero": "zero-cone NT scaling requires zero primal and dual vectors",
           "nonnegative": "nonnegative NT scaling requires strictly positive interior inputs",
           "second_order": "SOC NT scaling requires strictly interior cone vectors"}[family]
    sc, lam = np.full(c.scaling_size * batch, 7.0), np.full(n * batch, 7.0)
    with pytest.raises(RuntimeError, match=f"^{msg}$"):
        c.nt_scaling_into(bad, z, sc, lam, batch)
    with pytest.raises(RuntimeError, match=f"^{msg}$"):
        c.nt_scaling_into(s, bad, sc, lam, batch)
    assert (sc == 7).all() and (lam == 7).all()
    if family != "zero":
        out = np.full(n * batch, 7.0)
        what = "a strictly positive lam" if family == "nonnegative" else "a strictly interior lam"
        with pytest.raises(RuntimeError, match=f"Jordan solve requires {what}$"):
            c.jordan_solve_into(bad, z, out, batch)
        assert (out == 7).all()
    with pytest.raises(RuntimeError, match=f"^x expected {n * batch} entries, got {n * batch - 1}$"):
        c.interior(s[:-1], batch)
    with pytest.raises(RuntimeError, match=f"^lam expected {n * batch} entries, got {n}$"):
        c.nt_scaling_into(s, z, sc, lam[:n], batch)
    sc, _ = state(family, c, Host(), batch_of(family, n, batch, rng), batch_of(family, n, batch, rng), batch)
    indptr, indices = dense_pattern(n * batch)
    broken = indptr.copy()
    broken[-2] = broken[-1] + 1  # the last row points past the values
    vals = np.full(indices.size, 7.0)
    with pytest.raises(RuntimeError, match="^CSR indptr entries must be monotone and within values length$"):
        c.hmatrix_csr_values_into(sc, broken, indices, vals, batch)
    with pytest.raises(RuntimeError, match="^CSR indptr is too short for the requested cone row range$"):
        c.hmatrix_csr_values_into(sc, indptr[:-1], indices, vals, batch)
    assert (vals == 7).all()


def test_device_refusals(dev, rng):
    c = cone("second_order", 3)
    s = interior_point("second_order", 3, rng)
    sc, lam = np.zeros(c.scaling_size), np.zeros(3)
    with pytest.raises(RuntimeError, match="^input vectors must live on the same device$"):
        c.nt_scaling_into(s, dev.array(s), sc, lam)
    with pytest.raises(RuntimeError, match="^input and output must live on the same device$"):
        c.nt_scaling_into(s, s, sc, dev.empty(3))
    bad = dev.array(-s)
    out, lam_d = dev.empty(c.scaling_size), dev.empty(3)
    c.nt_scaling_into(bad, dev.array(s), out, lam_d)  # device items that are not interior get NaN
    assert np.isnan(dev.to_numpy(out)).all() and np.isnan(dev.to_numpy(lam_d)).all()


# --- H fill structure and the sparse expansion ------------------------------------------------

@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("fmt", ["csr", "coo"])
def test_hmatrix_fill_structure(family, fmt, place, rng):
    """Items as consecutive diagonal blocks from row_offset; stored entries of the batch's rows
    outside its blocks become 0, other rows keep their values (and COO entries of other rows)."""
    n, batch, off = 3, 3, 2
    c = cone(family, n)
    sc, _ = state(family, c, Host(), batch_of(family, n, batch, rng), batch_of(family, n, batch, rng), batch)
    m = off + n * batch + 2
    A = sp.coo_matrix(np.ones((m, m)))
    ref = np.zeros((m, m))
    indptr, indices = dense_pattern(n * batch)
    vals = np.zeros(indices.size)
    c.hmatrix_csr_values_into(sc, indptr, indices, vals, batch)
    ref[off:off + n * batch, off:off + n * batch] = vals.reshape(n * batch, n * batch)
    keep = np.ones((m, m), bool)
    keep[off:off + n * batch] = False
    if fmt == "csr":
        A = A.tocsr()
        out = place.out(A.nnz, 5.0)
        c.hmatrix_csr_values_into(place.put(sc), place.put(A.indptr, np.int64), place.put(A.indices, np.int64), out,
                                  batch, row_offset=off)
        got = sp.csr_matrix((place.get(out), A.indices, A.indptr), shape=(m, m)).toarray()
    else:
        out = place.out(A.nnz, 5.0)
        c.hmatrix_coo_values_into(place.put(sc), place.put(A.row, np.int64), place.put(A.col, np.int64), out, batch,
                                  row_offset=off)
        got = np.zeros((m, m))
        got[A.row, A.col] = place.get(out)
    np.testing.assert_array_equal(got[~keep], ref[~keep])
    assert (got[keep] == 5.0).all()


@pytest.mark.parametrize("n", [1, 2, 3, 7, 65, 257])
@pytest.mark.parametrize("inverse", [True, False])
def test_sparse_expansion(n, inverse, place, rng):
    """Eliminating the two extra rows of each item reproduces H^-1 (or H) of the inverse (or
    plain) fill; the negated block is quasi-definite (u-rows positive, cone and v-rows
    negative definite); 5n stored entries per item; cone and extra rows anywhere."""
    c, batch = cone("second_order", n), 2 if n > 65 else 5
    sc, _ = state("second_order", c, Host(), batch_of("second_order", n, batch, rng),
                  batch_of("second_order", n, batch, rng), batch)
    m, off, extra = n * batch, 2 * batch + 1, 0
    rows, cols = c.expansion_pattern(extra, batch, row_offset=off)
    assert rows.size == 5 * n * batch
    N = off + m
    others = [2 * batch, N]  # stored entries of rows in neither range
    A = sp.csr_matrix((np.ones(rows.size + 2), (np.r_[rows, others], np.r_[cols, others])), shape=(N + 1, N + 1))
    A.sort_indices()
    out = place.out(A.nnz, 3.0)
    c.expansion_csr_values_into(place.put(sc), place.put(A.indptr, np.int64), place.put(A.indices, np.int64), out,
                                extra, batch, row_offset=off, inverse=inverse)
    K = sp.csr_matrix((place.get(out), A.indices, A.indptr), shape=(N + 1, N + 1)).toarray()
    assert K[2 * batch, 2 * batch] == 3.0 and K[N, N] == 3.0  # rows of neither range keep their values
    cone_ix, ext_ix = np.arange(off, N), np.arange(extra, extra + 2 * batch)
    S = K[np.ix_(cone_ix, cone_ix)] - K[np.ix_(cone_ix, ext_ix)] @ np.linalg.solve(
        K[np.ix_(ext_ix, ext_ix)], K[np.ix_(ext_ix, cone_ix)])
    indptr, indices = dense_pattern(m)
    vals = np.zeros(indices.size)
    c.hmatrix_csr_values_into(sc, indptr, indices, vals, batch, inverse=inverse)
    Hb = vals.reshape(m, m)
    np.testing.assert_allclose(S, Hb, rtol=0, atol=64 * n * EPS * np.abs(Hb).max())
    neg = np.concatenate([cone_ix, ext_ix[1::2]])
    assert np.linalg.eigvalsh(K[np.ix_(neg, neg)]).min() > 0  # -block on cone and v-rows: negative definite
    assert (np.diag(K)[ext_ix[0::2]] == -1).all()  # the u-rows: +1 once negated
    assert (c.expansion_recommended) == (n >= 64)


def test_parallel_minima(rng):
    """Above the OpenMP threshold the minima (per-thread chunks) are still exact, NaN still wins."""
    n = 2**18 + 3
    c = cone("nonnegative", n)
    x, dx = rng.uniform(0.5, 2.0, n), rng.normal(size=n)
    assert c.spectral_min(x) == x.min()
    assert c.max_step(x, dx) == np.min(-x[dx < 0] / dx[dx < 0])
    x[n - 2] = np.nan
    assert np.isnan(c.spectral_min(x))
    assert not c.interior(x)


# --- PSD cones ----------------------------------------------------------------------------
# svec vectors of m = n(n+1)/2 entries, every operation an O(n^3) congruence or
# factorisation per item. References: CVXOPT's compute_scaling (r with W X = r^T X r), the
# NT matrix of _cpp_cuda, NumPy, and exact rational positive-definiteness tests.

PSD_ORDERS = [1, 2, 3, 5, 12]
NORM2 = functools.partial(np.linalg.norm, ord=2)


def psd_pairs(n, batch, rng):
    """`batch` pairs of well-conditioned SPD matrices (eigenvalues in [1, 2]) as svec runs."""
    s = np.concatenate([svec(spd(rng, n)) for _ in range(batch)])
    z = np.concatenate([svec(spd(rng, n)) for _ in range(batch)])
    return s, z


def cvxopt_nt(S, Z):
    """CVXOPT's NT scaling of one pair: r (W X = r^T X r, r^T Z r = diag(lam) = r^-1 S r^-T),
    rti = r^-T and lam ('s' blocks as full column-major matrices, lower triangle read)."""
    cvxopt = pytest.importorskip("cvxopt")
    from cvxopt import misc
    n = S.shape[0]
    packed = [cvxopt.matrix(np.asarray(M, dtype=float).T.ravel().copy(), (n * n, 1)) for M in (S, Z)]
    lam = cvxopt.matrix(0.0, (n, 1))
    w = misc.compute_scaling(packed[0], packed[1], lam, {"l": 0, "q": [], "s": [n]})
    return np.array(w["r"][0]), np.array(w["rti"][0]), np.array(lam).ravel()


def psd_apply(c, pl, sc, v, batch, **kw):
    out = pl.out(c.rows * batch)
    c.scale_into(sc, pl.put(v), out, batch=batch, **kw)
    return pl.get(out)


def psd_fill(c, pl, sc, batch, inverse):
    """H (or H^-1) of the batch from the stored state over a dense CSR pattern."""
    rows = c.rows * batch
    indptr, indices = dense_pattern(rows)
    vals = pl.out(indices.size)
    c.hmatrix_csr_values_into(sc, pl.put(indptr, np.int64), pl.put(indices, np.int64), vals, batch=batch,
                              inverse=inverse)
    return pl.get(vals).reshape(rows, rows)


def rel(a, b):
    return np.linalg.norm(a - b) / np.linalg.norm(b)


@pytest.mark.parametrize("n", PSD_ORDERS)
@pytest.mark.parametrize("batch", [1, 3])
def test_psd_nt_identities(n, batch, place, rng):
    """Well-conditioned pairs: lam = svec(diag(sigma)) with CVXOPT's scaled point as sigma;
    W z = W^-T s = lam, W^-1 W = W^-T W^T = I and W^T W = H^-1 through scale_into; the H
    fill has the bits of _cpp_cuda's NT matrix (W formed the same way), the H^-1 fill is
    CVXOPT's r r^T congruence and inverts it."""
    c = cone("psd", n)
    m = c.rows
    s, z = psd_pairs(n, batch, rng)
    sc, lam_d = state("psd", c, place, s, z, batch)
    lam = place.get(lam_d)
    tol = 64 * n * EPS
    refs = [cvxopt_nt(smat(si, n), smat(zi, n)) for si, zi in zip(items(s, m), items(z, m))]
    for lb, (_, _, lc) in zip(items(lam, m), refs):
        L = smat(lb, n)
        assert np.array_equal(L, np.diag(np.diag(L)))  # the scaled point is diagonal
        np.testing.assert_allclose(np.sort(np.diag(L)), np.sort(lc), rtol=tol, atol=0)
    np.testing.assert_allclose(psd_apply(c, place, sc, z, batch), lam, rtol=0, atol=tol * np.abs(lam).max())
    np.testing.assert_allclose(psd_apply(c, place, sc, s, batch, inverse=True, transpose=True), lam, rtol=0,
                               atol=tol * np.abs(lam).max())
    x = rng.normal(size=m * batch)
    wx = psd_apply(c, place, sc, x, batch)
    wtx = psd_apply(c, place, sc, x, batch, transpose=True)
    np.testing.assert_allclose(psd_apply(c, place, sc, wx, batch, inverse=True), x, rtol=0, atol=tol)
    np.testing.assert_allclose(psd_apply(c, place, sc, wtx, batch, inverse=True, transpose=True), x, rtol=0,
                               atol=tol)
    hinv_ref = block_diag([ref_operator(r @ r.T) for r, _, _ in refs], m, batch)
    fills = {inverse: psd_fill(c, place, sc, batch, inverse) for inverse in (False, True)}
    np.testing.assert_allclose(psd_apply(c, place, sc, wx, batch, transpose=True), hinv_ref @ x, rtol=0,
                               atol=tol * np.abs(hinv_ref).max() * 4)
    np.testing.assert_allclose(fills[True], hinv_ref, rtol=0, atol=tol * np.abs(hinv_ref).max())
    cpp = _cpp_cuda.PsdConeCpp(n)
    H = block_diag([cpp.nt_scaling_matrix_array(si, zi) for si, zi in zip(items(s, m), items(z, m))], m, batch)
    np.testing.assert_array_equal(fills[False], H)
    np.testing.assert_allclose(fills[True] @ H, np.eye(m * batch), rtol=0, atol=tol * np.linalg.cond(H))


@pytest.mark.parametrize("n", PSD_ORDERS)
def test_psd_nt_near_the_boundary(n, place):
    """The pairs of _cpp_cuda's boundary test (smallest eigenvalues of S and Z independently
    down to 1e-12, scales 1e-8 .. 1e8, different eigenvectors), all in one batch: each
    identity holds within 10 times the larger of CVXOPT's residual on the same pair and eps
    times its condition number -
      W z = lam:        a relative eps change of z moves R^T Z R by eps |R|^2 |Z|,
                        cond = |R|^2 |Z| / |lam| (2-norms, R = CVXOPT's r);
      W^-T s = lam:     likewise cond = |R^-T|^2 |S| / |lam|;
      H^-1 z = s and H^-1 s^-1 = z^-1 from the inverse fill: the roles of H s = z and
                        H z^-1 = s^-1 swapped (cond 1 + |W^-1|^2 |Z| / |S| and max(cond S,
                        cond Z), W the scaling point);
    and the H fill passes _cpp_cuda's accuracy property of its own NT matrix."""
    c = cone("psd", n)
    m = c.rows
    cases = boundary_cases(n)
    batch = len(cases)
    sc, lam = state("psd", c, place, np.concatenate([k.s for k in cases]), np.concatenate([k.z for k in cases]),
                    batch)
    lam = place.get(lam)
    wz = psd_apply(c, place, sc, np.concatenate([k.z for k in cases]), batch)
    ws = psd_apply(c, place, sc, np.concatenate([k.s for k in cases]), batch, inverse=True, transpose=True)
    fills = {inverse: psd_fill(c, place, sc, batch, inverse) for inverse in (False, True)}
    for t, k in enumerate(cases):
        blk = slice(t * m, (t + 1) * m)
        S, Z = smat(k.s, n), smat(k.z, n)
        r, rti, lc = cvxopt_nt(S, Z)
        lcv = svec(np.diag(lc))
        checks = [
            (rel(wz[blk], lam[blk]), rel(svec(r.T @ Z @ r), lcv), NORM2(r) ** 2 * NORM2(Z) / NORM2(np.diag(lc))),
            (rel(ws[blk], lam[blk]), rel(svec(rti.T @ S @ rti), lcv),
             NORM2(rti) ** 2 * NORM2(S) / NORM2(np.diag(lc))),
        ]
        Hinv = fills[True][blk, blk]
        ours = nt_residuals(Hinv, k.z, k.s, k.z_inv, k.s_inv)
        theirs = nt_residuals(ref_operator(r @ r.T), k.z, k.s, k.z_inv, k.s_inv)
        conds = (1 + NORM2(r @ r.T) ** 2 * NORM2(Z) / NORM2(S), k.cond[1])
        checks += list(zip(ours, theirs, conds))
        for what, (got, ref, cond) in zip(["W z = lam", "W^-T s = lam", "H^-1 z = s", "H^-1 s^-1 = z^-1"], checks):
            assert got <= 10 * max(ref, EPS * cond), f"pair {t}, {what}: {got:.3g}, CVXOPT {ref:.3g}"
        assert_nt_accurate(fills[False][blk, blk], k, f"H from the state, pair {t}")


@pytest.mark.parametrize("n", PSD_ORDERS)
@pytest.mark.parametrize("batch", [1, 3])
def test_psd_jordan(n, batch, place, rng):
    """x o y = svec((XY + YX)/2) against NumPy; lam o (lam \\ x) = x for the diagonal lam of
    the NT scaled point (entrywise quotients: a few ulp) and for general positive definite
    lam (Jacobi eigenvectors, whose 1e-12 stop bounds the residual by 2 n 1e-12 |lam| |u|);
    out = x in place gives the same bits."""
    c = cone("psd", n)
    m = c.rows
    x, y = rng.normal(size=m * batch), rng.normal(size=m * batch)
    out = place.out(m * batch)
    c.jordan_product_into(place.put(x), place.put(y), out, batch=batch)
    ref = np.concatenate([svec((smat(a, n) @ smat(b, n) + smat(b, n) @ smat(a, n)) / 2)
                          for a, b in zip(items(x, m), items(y, m))])
    np.testing.assert_allclose(place.get(out), ref, rtol=0, atol=4 * n * EPS * np.abs(ref).max())
    _, nt_lam = state("psd", c, Host(), *psd_pairs(n, batch, rng), batch)
    general = psd_pairs(n, batch, rng)[0] * np.exp(rng.uniform(-5, 5))
    for lam, atol in ((nt_lam, 8 * EPS), (general, 2 * n * 1e-12 + 64 * n * EPS)):
        u = place.out(m * batch)
        c.jordan_solve_into(place.put(lam), place.put(x), u, batch=batch)
        back = place.out(m * batch)
        c.jordan_product_into(place.put(lam), u, back, batch=batch)
        scale = max(NORM2(smat(lb, n)) * NORM2(smat(ub, n)) for lb, ub in zip(items(lam, m), items(place.get(u), m)))
        np.testing.assert_allclose(place.get(back), x, rtol=0, atol=atol * scale)
        same = place.put(x)
        c.jordan_solve_into(place.put(lam), same, same, batch=batch)
        np.testing.assert_array_equal(place.get(same), place.get(u))


def positive_definite_exact(A):
    """X > 0 exactly: Gaussian elimination in rational arithmetic, every pivot positive."""
    A = [row[:] for row in A]
    for k in range(len(A)):
        if A[k][k] <= 0:
            return False
        for i in range(k + 1, len(A)):
            f = A[i][k] / A[k][k]
            for j in range(k, len(A)):
                A[i][j] -= f * A[k][j]
    return True


def psd_boundary_point(rng, n, gap):
    """A positive definite matrix with eigenvalues in [0.5, 2], the smallest set to gap."""
    Q, _ = np.linalg.qr(rng.standard_normal((n, n)))
    lam = rng.uniform(0.5, 2.0, n)
    if gap is not None:
        lam[0] = gap
    return svec((Q * lam) @ Q.T)


@pytest.mark.parametrize("n", PSD_ORDERS)
@pytest.mark.parametrize("gap", [None, 1e-6, 1e-12])
def test_psd_max_step_exact(n, gap, place, rng):
    """The exit step of each item is bracketed exactly: X + a D is positive definite in
    rational arithmetic at a = alpha (1 - tol) and not at alpha (1 + tol), with tol = 8 n eps
    (cond(X) + |M| / |lambda_min(M)|), M = L^-1 D L^-T: the Cholesky factor's backward error
    moves the exit by about n eps cond(X) relative to it, and a backward-stable eigenvalue of
    M is off by about n eps |M|. The batch gives the minimum over its items, alpha_max
    clamps, dx = x never leaves, a non-interior item or a NaN direction gives 0."""
    c, batch = cone("psd", n), 3
    m = c.rows
    x = np.concatenate([psd_boundary_point(rng, n, gap) for _ in range(batch)])
    dx = rng.normal(size=m * batch)
    steps = []
    for xi, di in zip(items(x, m), items(dx, m)):
        alpha = c.max_step(place.put(xi), place.put(di))
        steps.append(alpha)
        X, D = smat(xi, n), smat(di, n)
        L = np.linalg.cholesky(X)
        M = np.linalg.solve(L, np.linalg.solve(L, D).T)
        ev = np.linalg.eigvalsh((M + M.T) / 2)
        if ev[0] >= 0:
            assert alpha == np.inf
            continue
        tol = 8 * n * EPS * (np.linalg.cond(X) + np.abs(ev).max() / -ev[0])
        Xq = [[Fraction(float(v)) for v in row] for row in X]
        Dq = [[Fraction(float(v)) for v in row] for row in D]
        at = lambda a: [[Xq[i][j] + a * Dq[i][j] for j in range(n)] for i in range(n)]  # noqa: E731
        assert positive_definite_exact(at(Fraction(alpha) * (1 - Fraction(tol))))
        assert not positive_definite_exact(at(Fraction(alpha) * (1 + Fraction(tol))))
    whole = c.max_step(place.put(x), place.put(dx), batch)
    assert whole == min(steps)
    assert c.max_step(place.put(x), place.put(dx), batch, alpha_max=0.25 * whole) == 0.25 * whole
    assert c.max_step(place.put(x), place.put(x), batch) == np.inf
    bad = x.copy()
    bad[-m:] = -x[-m:]
    assert c.max_step(place.put(bad), place.put(dx), batch) == 0.0
    nan = dx.copy()
    nan[-1] = np.nan
    assert c.max_step(place.put(x), place.put(nan), batch) == 0.0


def psd_boundary_sweep(rng, n):
    """Matrices within a few ulps of singular on either side (smallest eigenvalue k 4 eps, k
    = -3 .. 3, and +-1e-10), at three exactly related scales."""
    Q, _ = np.linalg.qr(rng.standard_normal((n, n)))
    lam = rng.uniform(1.0, 2.0, n)
    pts = []
    for scale in (2.0 ** -660, 1.0, 2.0 ** 660):
        for low in [k * 4 * EPS for k in range(-3, 4)] + [-1e-10, 1e-10]:
            lam[0] = low
            pts.append(svec((Q * lam) @ Q.T) * scale)
    return pts


@pytest.mark.parametrize("n", PSD_ORDERS)
def test_psd_spectral_min_and_interior(n, place, rng):
    """spectral_min against eigvalsh (both backward stable: 8 n eps |X|), NaN propagating, +inf
    for no item; interior() gives exactly _cpp_cuda's NT verdict (x in the role of s) on
    sweeps across the boundary, alone and inside a batch, and NaN is never interior."""
    c = cone("psd", n)
    m = c.rows
    x = rng.normal(size=m * 3) * 1e150
    ref = min(np.linalg.eigvalsh(smat(xi, n))[0] for xi in items(x, m))
    norm = max(NORM2(smat(xi, n)) for xi in items(x, m))
    assert c.spectral_min(place.put(x), 3) == pytest.approx(ref, rel=0, abs=8 * n * EPS * norm)
    x[m + 1 if m > 1 else m] = np.nan
    assert np.isnan(c.spectral_min(place.put(x), 3))
    assert c.spectral_min(place.put(np.zeros(0)), 0) == np.inf
    cpp = _cpp_cuda.PsdConeCpp(n)
    partner = svec(spd(rng, n))
    verdicts = set()
    for p in psd_boundary_sweep(rng, n):
        try:
            cpp.nt_scaling_matrix(p, partner)
            accepted = True
        except RuntimeError:
            accepted = False
        verdicts.add(accepted)
        assert c.interior(place.put(p)) == accepted
        assert c.interior(place.put(np.concatenate([partner, p, partner])), 3) == accepted
    assert verdicts == {True, False}
    p = partner.copy()
    p[-1] = np.nan
    assert not c.interior(place.put(p))


def psd_bad_batch(rng, n=3, batch=4):
    """A batch of pairs and a copy of s whose last item is negative definite."""
    s, z = psd_pairs(n, batch, rng)
    bad = s.copy()
    bad[-(n * (n + 1) // 2):] *= -1.0
    return s, z, bad


def test_psd_refusals_leave_outputs_untouched(rng):
    """Every item is tested before anything is written: NT scaling (s or z), Jordan solve,
    the H fill's structure."""
    n, batch = 3, 4
    c = cone("psd", n)
    m = c.rows
    s, z, bad = psd_bad_batch(rng, n, batch)
    sc, lam = np.full(c.scaling_size * batch, 7.0), np.full(m * batch, 7.0)
    msg = "^PSD NT scaling requires strictly positive definite matrices$"
    for pair in ((bad, z), (s, bad)):
        with pytest.raises(RuntimeError, match=msg):
            c.nt_scaling_into(*pair, sc, lam, batch)
    out = np.full(m * batch, 7.0)
    with pytest.raises(RuntimeError, match="^PSD Jordan solve requires a strictly positive definite lam$"):
        c.jordan_solve_into(bad, z, out, batch)
    assert (sc == 7).all() and (lam == 7).all() and (out == 7).all()
    sc, _ = state("psd", c, Host(), s, z, batch)
    indptr, indices = dense_pattern(m * batch)
    broken = indptr.copy()
    broken[-2] = broken[-1] + 1
    vals = np.full(indices.size, 7.0)
    with pytest.raises(RuntimeError, match="^CSR indptr entries must be monotone and within values length$"):
        c.hmatrix_csr_values_into(sc, broken, indices, vals, batch)
    assert (vals == 7).all()


def test_psd_device_refusals(rng, dev):
    """Device items that are not interior get NaN (no synchronisation, no refusal); orders
    above 32 are refused by every method before any work."""
    n, batch = 3, 4
    c = cone("psd", n)
    m = c.rows
    s, z, bad = psd_bad_batch(rng, n, batch)
    out, lam_d = dev.empty(c.scaling_size * batch), dev.empty(m * batch)
    c.nt_scaling_into(dev.array(bad), dev.array(z), out, lam_d, batch)
    got, got_lam = dev.to_numpy(out).reshape(batch, -1), dev.to_numpy(lam_d).reshape(batch, -1)
    assert np.isnan(got[-1]).all() and np.isnan(got_lam[-1]).all() and not np.isnan(got[:-1]).any()
    u = dev.empty(m * batch)
    c.jordan_solve_into(dev.array(bad), dev.array(z), u, batch)
    got = dev.to_numpy(u).reshape(batch, -1)
    assert np.isnan(got[-1]).all() and not np.isnan(got[:-1]).any()

    big = cone("psd", 33)
    v, w = dev.array(np.ones(big.rows)), dev.empty(big.rows)
    ix = dev.array(np.zeros(1, np.int64))
    calls = {
        "interior test": lambda: big.interior(v),
        "max step": lambda: big.max_step(v, v),
        "spectral minimum": lambda: big.spectral_min(v),
        "NT scaling": lambda: big.nt_scaling_into(v, v, dev.empty(big.scaling_size), w),
        "scaling products": lambda: big.scale_into(dev.empty(big.scaling_size), v, w),
        "Jordan product": lambda: big.jordan_product_into(v, v, w),
        "Jordan solve": lambda: big.jordan_solve_into(v, v, w),
        "H fill": lambda: big.hmatrix_coo_values_into(dev.empty(big.scaling_size), ix, ix, dev.empty(1)),
    }
    for what, call in calls.items():
        with pytest.raises(RuntimeError, match=f"^CUDA PSD {what} currently supports dim <= 32$"):
            call()
    assert np.isnan(dev.to_numpy(w)).all()


@pytest.mark.parametrize("n", [1, 3, 12])
def test_psd_device_equals_host(n, dev, rng):
    """Every device form gives the host's bits (one thread per item runs the host's code),
    including the general Jordan solve and the H fills into CSR and COO structures with the
    batch's blocks at a row offset among other stored entries, whose placement matches the
    dense fill of each item."""
    c, batch, off = cone("psd", n), 3, 2
    m = c.rows
    host, device = Host(), Device(dev)
    s, z = psd_pairs(n, batch, rng)
    x, y = rng.normal(size=m * batch), rng.normal(size=m * batch)
    N = off + m * batch + 1
    A = sp.coo_matrix(np.ones((N, N)))
    A_csr = A.tocsr()
    results = []
    for pl in (host, device):
        sc, lam = state("psd", c, pl, s, z, batch)
        outs = [pl.get(sc), pl.get(lam)]
        calls = [("scale_into", (sc, pl.put(x)), kw) for kw in
                 ({}, {"inverse": True}, {"transpose": True}, {"inverse": True, "transpose": True})]
        calls += [("jordan_product_into", (pl.put(x), pl.put(y)), {}), ("jordan_solve_into", (lam, pl.put(x)), {}),
                  ("jordan_solve_into", (pl.put(s), pl.put(x)), {})]
        for name, args, kw in calls:
            out = pl.out(m * batch)
            getattr(c, name)(*args, out, batch=batch, **kw)
            outs.append(pl.get(out))
        for inverse in (False, True):
            out = pl.out(A_csr.nnz, 5.0)
            c.hmatrix_csr_values_into(sc, pl.put(A_csr.indptr, np.int64), pl.put(A_csr.indices, np.int64), out,
                                      batch, row_offset=off, inverse=inverse)
            outs.append(pl.get(out))
            out = pl.out(A.nnz, 5.0)
            c.hmatrix_coo_values_into(sc, pl.put(A.row, np.int64), pl.put(A.col, np.int64), out, batch,
                                      row_offset=off, inverse=inverse)
            outs.append(pl.get(out))
        outs.append([c.interior(pl.put(s), batch), c.max_step(pl.put(s), pl.put(x), batch),
                     c.spectral_min(pl.put(s), batch), c.spectral_min(pl.put(x), batch)])
        results.append(outs)
    for h, d in zip(*results):
        np.testing.assert_array_equal(np.asarray(h, dtype=float), np.asarray(d, dtype=float))
    sc, _ = state("psd", c, host, s, z, batch)
    dense = psd_fill(c, host, sc, batch, False)
    got = sp.csr_matrix((results[0][-5], A_csr.indices, A_csr.indptr), shape=(N, N)).toarray()
    coo = np.zeros((N, N))
    coo[A.row, A.col] = results[0][-4]
    block = slice(off, off + m * batch)
    for filled in (got, coo):
        np.testing.assert_array_equal(filled[block, block], dense)
        assert (filled[:off] == 5).all() and (filled[block.stop:] == 5).all()
    assert (got[block, :off] == 0).all() and (got[block, block.stop:] == 0).all()
    assert (coo[block, :off] == 0).all() and (coo[block, block.stop:] == 0).all()
