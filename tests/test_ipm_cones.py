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
    public = [k for k in vars(_ipm) if not k.startswith("_")]
    assert public == list(CLASSES.values()) + ["ExponentialCone", "SparseLdl"]
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
    # Sizes never wrap: the largest dims whose state (and, second-order, expansion) sizes fit in
    # 64 bits are taken with exact sizes, the next ones refused.
    top = {"zero": 2**64 - 1, "nonnegative": 2**64 - 1, "second_order": (2**64 - 1) // 5, "psd": None}[family]
    if top is not None:
        assert cone(family, top).scaling_size == {"zero": 0, "nonnegative": top, "second_order": top + 4}[family]
    if family in ("second_order", "psd"):
        with pytest.raises(RuntimeError, match="^expected entry count overflows 64-bit unsigned arithmetic$"):
            cone(family, (top or 2**32) + 1)
    if family == "second_order":  # expansion coordinates are int64: the last row is 2^63 - 1
        c = cone(family, 3)
        rows, cols = c.expansion_pattern(2**63 - 2, 1, row_offset=0)
        assert max(rows.max(), cols.max()) == 2**63 - 1 and min(rows.min(), cols.min()) == 0
        rows, cols = c.expansion_pattern(0, 1, row_offset=2**63 - 3)
        assert max(rows.max(), cols.max()) == 2**63 - 1 and min(rows.min(), cols.min()) == 0
        for extra, offset in ((2**63 - 1, 0), (0, 2**63 - 2), (2**63, 0)):
            with pytest.raises(RuntimeError, match=r"^expansion rows must lie below 2\^63 \(int64 coordinates\)$"):
                c.expansion_pattern(extra, 1, row_offset=offset)


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
    for value in (np.nan, np.inf, -np.inf):  # x + alpha dx is then never finite: never inside
        for at in (0, n - 1):
            bad_dx = dx.copy()
            bad_dx[at] = value
            assert c.max_step(place.put(x), place.put(bad_dx), batch) == 0.0
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
    for value in (np.nan, np.inf):  # no non-finite entry is interior
        x = partner.copy()
        x[0] = value
        assert not c.interior(place.put(x))
        if isinstance(place, Host):  # the host refuses such a pair before writing
            with pytest.raises(RuntimeError):
                c.nt_scaling_into(place.put(x), place.put(partner), place.out(c.scaling_size), place.out(n))


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


# --- exponential cones ------------------------------------------------------------------------
# K = cl{(x, y, z): y > 0, y exp(x/y) <= z}, K* = {(u, v, w): (u - v, -u, w) in K}, barrier
# f(s) = -log(y log(z/y) - x) - log y - log z. The references below are plain NumPy/SciPy
# forms: the gradient, the Hessian as a sum of four positive semidefinite outer products, the
# shadow point s~ = -grad f*(z) through SciPy's Wright omega, and the Tuncel form of the
# primal-dual scaling; exact verdicts come from 60-digit decimal arithmetic.

EXP_STATE = 28
EXP_PD, EXP_CENTRAL, EXP_DUAL_SIDE = 0.0, 1.0, 2.0


def exp_grad(s):
    x, y, z = s
    r = np.log(z / y)
    psi = y * r - x
    return np.array([1 / psi, -(r - 1) / psi - 1 / y, -(y / z) / psi - 1 / z])


def exp_hess(s):
    x, y, z = s
    r = np.log(z / y)
    psi = y * r - x
    c = 1 / np.sqrt(y * psi)
    V = np.array([[-1 / psi, (r - 1) / psi, (y / z) / psi], [0, c, -(y / z) * c], [0, 1 / y, 0], [0, 0, 1 / z]])
    return V.T @ V


def exp_barrier_ref(s):
    x, y, z = s
    return -np.log(y * np.log(z / y) - x) - np.log(y) - np.log(z)


def exp_shadow_ref(zd):
    """s~ with -grad f(s~) = z: e = omega(1 + d) - 1, d = v/a + 1 + log(w/a), a = -u."""
    from scipy.special import wrightomega
    u, v, w = zd
    a = -u
    e = wrightomega(1 + (v / a + 1 + np.log(w / a))).real - 1
    y = 1 / (a * e)
    return np.array([y * (v / a + 1 - 2 * e), y, (1 + e) / (e * w)])


def exp_tuncel(s, zd, st):
    """Tuncel's Z (Z^T S)^-1 Z^T + Ha - Ha S (S^T Ha S)^-1 S^T Ha, Ha = mu hess f(s), S = [s s~], Z = [z z~]."""
    Ha = (s @ zd) / 3 * exp_hess(s)
    S, Z = np.column_stack([s, st]), np.column_stack([zd, -exp_grad(s)])
    G = Z.T @ S
    HS = Ha @ S
    return Z @ np.linalg.solve((G + G.T) / 2, Z.T) + Ha - HS @ np.linalg.solve(S.T @ HS, HS.T)


def exp_points(rng, count, lo, hi, gap, dual=False):
    """Points of int K (int K*) at scales 10^lo..10^hi and relative distance 10^gap from the boundary."""
    a, w = 10.0 ** rng.uniform(lo, hi, (2, count))
    delta = 10.0 ** rng.uniform(*gap, count)
    if dual:
        return np.column_stack([-a, a * (delta - 1 - np.log(w / a)), w])
    return np.column_stack([a * (np.log(w / a) - delta), a, w])


def exp_pairs(kind, rng, count):
    """(s, z) as (count, 3) arrays: independent at moderate scales, over 1e-8..1e8, near both
    boundaries; or z = mu z~(s) (central) and its relative perturbations of 1e-10..1e-2."""
    if kind in ("moderate", "wide", "boundary"):
        lo, hi, gap = {"moderate": (-2, 2, (-3, 1)), "wide": (-8, 8, (-6, 1)), "boundary": (-4, 4, (-12, -6))}[kind]
        return exp_points(rng, count, lo, hi, gap), exp_points(rng, count, lo, hi, gap, dual=True)
    s = exp_points(rng, count, -6, 6, (-6, 1))
    z = -(10.0 ** rng.uniform(-8, 8, (count, 1))) * np.array([exp_grad(v) for v in s])
    if kind == "near_central":
        z = z * (1 + 10.0 ** rng.uniform(-10, -2, (count, 1)) * rng.normal(size=(count, 3)))
        keep = (z[:, 0] < 0) & (z[:, 1] - z[:, 0] - z[:, 0] * np.log(z[:, 2] / -z[:, 0]) > 0)
        s, z = s[keep], z[keep]
    return s, z


def exp_blocks(c, pl, sc, cones, inverse=False):
    """H (or H^-1) of every cone through the CSR fill over a pattern of 3 x 3 diagonal blocks."""
    indptr = np.arange(0, 9 * cones + 1, 3, dtype=np.int64)
    indices = (3 * (np.arange(3 * cones) // 3)[:, None] + np.arange(3)).reshape(-1).astype(np.int64)
    vals = pl.out(indices.size)
    c.hmatrix_csr_values_into(sc, pl.put(indptr, np.int64), pl.put(indices, np.int64), vals, cones // c.blocks,
                              inverse=inverse)
    return pl.get(vals).reshape(cones, 3, 3)


def exp_cone(cones):
    """Cones laid out as batch items of 4 cones where the count allows (cones = blocks * batch)."""
    blocks = 4 if cones % 4 == 0 else 1
    return _ipm.ExponentialCone(blocks), cones // blocks


def exp_call(pl, fn, n, *arrays, **kw):
    """fn(*arrays placed, out of n entries, **kw) -> host copy of out."""
    res = pl.out(n)
    fn(*[pl.put(a) if isinstance(a, np.ndarray) else a for a in arrays], res, **kw)
    return pl.get(res)


EXP_METHODS = [
    ("interior", f"(self, x: {RO}, batch: int = 1) -> bool"),
    ("dual_interior", f"(self, x: {RO}, batch: int = 1) -> bool"),
    ("backtrack_step", f"(self, s: {RO}, ds: {RO}, z: {RO}, dz: {RO}, alpha0: float, factor: float = 0.8, "
                       f"batch: int = 1, alpha_min: float = 0.0) -> float"),
    ("barrier", f"(self, x: {RO}, batch: int = 1) -> float"),
    ("dual_barrier", f"(self, x: {RO}, batch: int = 1) -> float"),
    ("barrier_gradient_into", f"(self, s: {RO}, out: {RW}, batch: int = 1, stream: int = 0) -> None"),
    ("dual_shadow_into", f"(self, z: {RO}, out: {RW}, batch: int = 1, stream: int = 0) -> None"),
    ("scaling_into", f"(self, s: {RO}, z: {RO}, scaling: {RW}, batch: int = 1, stream: int = 0) -> None"),
    ("dual_scaling_into", f"(self, z: {RO}, mu: float, scaling: {RW}, batch: int = 1, stream: int = 0) -> None"),
    ("hmatrix_product_into", f"(self, scaling: {RO}, x: {RO}, out: {RW}, inverse: bool = False, batch: int = 1, "
                             f"stream: int = 0) -> None"),
    ("corrector_into", f"(self, s: {RO}, ds: {RO}, dz: {RO}, out: {RW}, batch: int = 1, stream: int = 0) -> None"),
    ("combined_shift_into", f"(self, scaling: {RO}, s: {RO}, ds: {RO}, dz: {RO}, out: {RW}, sigma_mu: float, "
                            f"correction: float = 1.0, batch: int = 1, stream: int = 0) -> None"),
    METHODS[-2], METHODS[-1],
]


def test_exp_surface():
    c = _ipm.ExponentialCone(5)
    assert (c.dim, c.rows, c.scaling_size, c.blocks) == (3, 15, 5 * EXP_STATE, 5)
    assert _ipm.ExponentialCone().blocks == 1
    assert _ipm.ExponentialCone.__init__.__doc__.splitlines()[0] == "__init__(self, blocks: int = 1) -> None"
    for name, sig in EXP_METHODS:
        doc = getattr(_ipm.ExponentialCone, name).__doc__.splitlines()
        assert doc[0] == f"{name}{sig}" and len(doc) >= 3 and doc[2]
    public = {k for k in vars(_ipm.ExponentialCone) if not k.startswith("_")}
    assert public == {m for m, _ in EXP_METHODS} | {"dim", "rows", "scaling_size", "blocks"}
    with pytest.raises(RuntimeError, match="^exponential cone block count must be positive$"):
        _ipm.ExponentialCone(0)


def exp_decimal_margin(cone_point, dual):
    """The exact sign of y log(z/y) - x (dual: v - u - u log(w/-u)) of the doubles, with its size
    relative to the terms, in 60-digit decimal arithmetic."""
    from decimal import Decimal, getcontext
    getcontext().prec = 60
    a, b, c = (Decimal(float(v)) for v in cone_point)
    if dual:
        term = -a * (c / -a).ln()
        value, scale = (b - a) + term, abs(b) + abs(a) + abs(term)
    else:
        term = b * (c / b).ln()
        value, scale = term - a, abs(term) + abs(a)
    return value, float(abs(value) / scale)


def exp_boundary_sweep(dual):
    """Points across the boundary (relative margins 1e-6, 1e-9, 1e-13) at scales 1e-300..1e300,
    ratios z/y that over- and underflow, and ratios within 2^-30 of 1 (where log(z/y) taken from
    the rounded quotient would misjudge margins below 1e-7)."""
    pts = []
    ratios = [(1e-300, 1e300), (1e300, 1e-300), (1e-150, 3e-150), (7e149, 1e150), (0.7, 0.7 * (1 + 2.0 ** -30)),
             (3.0, 3.0 * (1 - 2.0 ** -31)), (1e-8, 1e8), (2.5, 0.3)]
    for a, w in ratios:  # the boundary value b of x (dual: of v) for y = a, z = w (dual: u = -a, w)
        lr = np.log(w) - np.log(a) if w / a in (0, np.inf) else np.log1p((w - a) / a)
        b = -a * (1 + lr) if dual else a * lr
        for margin in (1e-6, 1e-9, 1e-13):
            for side in (1, -1):  # side 1 inside
                shift = side * margin * max(abs(b), a if dual else 1e-300)
                pts.append(np.array([-a, b + shift, w]) if dual else np.array([b - shift, a, w]))
    return pts


@pytest.mark.parametrize("dual", [False, True])
def test_exp_membership(dual, place):
    """interior / dual_interior against exact decimal verdicts across the boundary at extreme
    scales (every verdict whose margin exceeds 32 eps of the terms); a batch is interior only
    when every cone is; NaN, inf, y = 0 (u = 0) and the other cone's point are refused."""
    c = _ipm.ExponentialCone(1)
    test = c.dual_interior if dual else c.interior
    decided = 0
    for p in exp_boundary_sweep(dual):
        value, margin = exp_decimal_margin(p, dual)
        if margin > 32 * EPS:
            assert test(place.put(p)) == (value > 0), p
            decided += 1
    assert decided >= 40
    good = np.array([-1.0, 2.0, 0.1]) if dual else np.array([0.0, 1.0, 3.0])
    assert test(place.put(good)) and test(place.put(np.tile(good, 5)), 5)
    assert test(place.put(np.zeros(0)), 0)
    other = np.array([0.0, 1.0, 3.0]) if dual else np.array([-1.0, 2.0, 0.1])
    assert not test(place.put(other))  # (-1, 2, 0.1) is in int K* only; (0, 1, 3) in int K only
    for k, bad in [(0, np.nan), (2, np.inf), (0, -np.inf), (1, np.nan), (0 if dual else 1, 0.0)]:
        x = np.tile(good, 5)
        x[9 + k] = bad
        assert not test(place.put(x), 5)


@pytest.mark.parametrize("kind", ["moderate", "wide"])
def test_exp_barrier_and_shadow(kind, place, rng):
    """f and grad f against NumPy (and grad f against finite differences of f), f* against
    finite differences giving -s~ and against -3 - f(s~); s~ against SciPy's Wright omega;
    -grad f(s~) = z and <s~, z> = 3 to the conditioning of d = v/a + 1 + log(w/a); +inf outside."""
    s, z = exp_pairs(kind, rng, 40)
    cones = len(s)
    c, batch = exp_cone(cones)
    S, Z = s.reshape(-1), z.reshape(-1)
    grad = exp_call(place, c.barrier_gradient_into, S.size, S, batch=batch).reshape(-1, 3)
    shadow = exp_call(place, c.dual_shadow_into, Z.size, Z, batch=batch).reshape(-1, 3)
    back = exp_call(place, c.barrier_gradient_into, Z.size, shadow.reshape(-1), batch=batch).reshape(-1, 3)
    f, fstar = c.barrier(place.put(S), batch), c.dual_barrier(place.put(Z), batch)
    ref_f = np.array([exp_barrier_ref(v) for v in s])
    # psi = y log(z/y) - x carries the relative error eps (|y log(z/y)| + |x|)/psi in either form
    yr = s[:, 1] * np.log(s[:, 2] / s[:, 1])
    kpsi = (np.abs(yr) + np.abs(s[:, 0])) / (yr - s[:, 0])
    assert f == pytest.approx(ref_f.sum(), rel=0, abs=64 * EPS * (np.abs(ref_f) + kpsi).sum())
    for k in range(cones):
        np.testing.assert_allclose(grad[k], exp_grad(s[k]), rtol=0, atol=64 * EPS * kpsi[k] * np.abs(grad[k]).max())
        a = -z[k, 0]
        d = z[k, 1] / a + 1 + np.log(z[k, 2] / a)
        cond = 64 * EPS * (1 + abs(z[k, 1] / a) + abs(np.log(z[k, 2] / a))) / d  # relative error of d
        np.testing.assert_allclose(-back[k], z[k], rtol=0, atol=cond * np.abs(z[k]).max())
        assert shadow[k] @ z[k] == pytest.approx(3, rel=cond)
        np.testing.assert_allclose(shadow[k], exp_shadow_ref(z[k]), rtol=0, atol=cond * np.abs(shadow[k]).max())
    one = _ipm.ExponentialCone(1)
    for k in range(min(cones, 8)):
        assert one.dual_barrier(place.put(z[k])) == pytest.approx(-3 - exp_barrier_ref(shadow[k]), rel=1e-9, abs=1e-9)
        if kind == "moderate":
            # central differences with steps of local length 1e-4 (h_i = 1e-4 / sqrt(hess_ii)): the
            # truncation error is then ~1e-8 of the derivative's local scale sqrt(hess_ii)
            for v, fn, deriv, hess in ((s[k], one.barrier, grad[k], exp_hess(s[k])),
                                       (z[k], one.dual_barrier, -shadow[k], np.linalg.inv(exp_hess(shadow[k])))):
                local = np.sqrt(np.diag(hess))
                fd = [(fn(place.put(v + h * e)) - fn(place.put(v - h * e))) / (2 * h)
                      for h, e in zip(1e-4 / local, np.eye(3))]
                np.testing.assert_array_less(np.abs(np.array(fd) - deriv), 1e-6 * local)
    outside = S.copy()
    outside[3 * cones - 2] = -1.0  # the last cone's y
    assert c.barrier(place.put(outside), batch) == np.inf
    assert c.dual_barrier(place.put(-np.abs(Z)), batch) == np.inf
    assert c.barrier(place.put(np.zeros(0)), 0) == 0.0


def exp_omega_exact(d):
    """e > 0 with e + log1p(e) = d, in 60-digit decimal arithmetic (Newton; log1p by its series below 1e-20)."""
    from decimal import Decimal, getcontext
    getcontext().prec = 60
    d = Decimal(float(d))
    e = d / 2 if d < 1 else d - d.ln()
    for _ in range(400):
        l1 = (1 + e).ln() if e > Decimal(10) ** -20 else e - e * e / 2
        nxt = e - (e + l1 - d) / (1 + 1 / (1 + e))
        nxt = nxt if nxt > 0 else e / 2
        if abs(nxt - e) <= Decimal(10) ** -40 * nxt:
            return float(nxt)
        e = nxt
    raise AssertionError("no convergence")


def test_exp_shadow_omega_sweep(place):
    """The shadow point of z = (-1, d - 1, 1) is (x, 1/e, (1 + e)/e) with e + log1p(e) = d: e to a
    few ulps against 60-digit arithmetic for d from 2^-53 to 1e300 (where Lambert W of exp(1 + d)
    would overflow from d = 708 on)."""
    ds = np.concatenate([np.array([1, 3, 1000, 2 ** 20, 2 ** 40]) * 2.0 ** -53, 10.0 ** np.linspace(-10, 300, 80)])
    ds[ds < 1] = np.round(ds[ds < 1] * 2.0 ** 53) * 2.0 ** -53
    v = ds - 1  # exact below 1 (multiples of 2^-53)
    z = np.column_stack([-np.ones(ds.size), v, np.ones(ds.size)]).reshape(-1)
    shadow = exp_call(place, _ipm.ExponentialCone(ds.size).dual_shadow_into, z.size, z).reshape(-1, 3)
    for k in range(ds.size):
        e = exp_omega_exact(v[k] + 1.0)  # the d the module forms: (v/a + 1) + log(w/a), a = w = 1
        assert 1 / shadow[k, 1] == pytest.approx(e, rel=4 * EPS)
        assert shadow[k, 2] == pytest.approx((1 + e) / e, rel=4 * EPS)


def exp_neg_grad_exact(s):
    """-grad f(s) in 60-digit decimal arithmetic, f(s) = -log(y log(z/y) - x) - log y - log z."""
    from decimal import Decimal, getcontext
    getcontext().prec = 60
    x, y, z = (Decimal(float(t)) for t in s)
    lr = (z / y).ln()
    psi = y * lr - x
    return [-1 / psi, (lr - 1) / psi + 1 / y, (y / z) / psi + 1 / z]


def test_exp_shadow_extreme_scales(place):
    """Where v/a, e or e w leave the double range but the shadow point s~ does not, s~ is still
    the conjugate point: -grad f(s~) = z entry by entry to a few ulps in 60-digit arithmetic (and
    <s~, z> = 3); on both sides of the switch to the form in b = a e."""
    z = np.array([(-1.0, 1e300, 1.0), (-1.0, 1e308, 1.0), (-1e-10, 1e299, 1e-5), (-1e-8, 1e300, 1e300),
                  (-1e-300, 1e8, 1e-300), (-1e300, 1e300, 1e300), (-1.0, 2.0 ** 64 * (1 - 2.0 ** -20), 3.0),
                  (-1.0, 2.0 ** 64 * (1 + 2.0 ** -20), 3.0), (-3.0, 1e30, 1e-200), (-1e200, 1e250, 1e-100)])
    shadow = exp_call(place, _ipm.ExponentialCone(len(z)).dual_shadow_into, z.size, z.reshape(-1)).reshape(-1, 3)
    assert np.isfinite(shadow).all()
    from decimal import Decimal
    for sk, zk in zip(shadow, z):
        back = exp_neg_grad_exact(sk)
        for got, want in zip(back, zk):
            assert float(got) == pytest.approx(want, rel=16 * EPS)
        inner = sum(Decimal(float(a)) * Decimal(float(b)) for a, b in zip(sk, zk))
        assert float(inner) == pytest.approx(3, rel=16 * EPS)


@pytest.mark.parametrize("kind", ["moderate", "wide", "boundary", "near_central", "central"])
def test_exp_scaling(kind, place, rng):
    """The scaling state and its fills: H and H^-1 exactly symmetric; H s = z and H^-1 z = s to
    rounding (relative to |H||s|, |H^-1||z|); H s~ = z~ in the primal-dual mode (and to
    O(mu mu~ - 1) in the central-path mode, which is used exactly when mu mu~ - 1 <= 1e-7);
    positive coefficients and independent directions (H positive definite), and at moderate
    scales positive eigenvalues of the diagonally scaled H and H^-1, H H^-1 = I, and agreement
    with Tuncel's form (primal-dual) or mu (hess f - z~ z~^T/3) + z z^T/s.z (central path);
    products from the state equal the fills' products."""
    s, z = exp_pairs(kind, rng, 120)
    cones = len(s)
    c, batch = exp_cone(cones)
    S, Z = s.reshape(-1), z.reshape(-1)
    sc = place.out(EXP_STATE * cones)
    c.scaling_into(place.put(S), place.put(Z), sc, batch)
    state = place.get(sc).reshape(cones, EXP_STATE)
    H, Hi = exp_blocks(c, place, sc, cones), exp_blocks(c, place, sc, cones, inverse=True)
    assert (H == H.transpose(0, 2, 1)).all() and (Hi == Hi.transpose(0, 2, 1)).all()
    shadow = exp_call(place, c.dual_shadow_into, Z.size, Z, batch=batch).reshape(-1, 3)
    ztilde = -exp_call(place, c.barrier_gradient_into, S.size, S, batch=batch).reshape(-1, 3)
    np.testing.assert_array_equal(state[:, 25:], shadow)
    x = rng.normal(size=3 * cones)
    hx = exp_call(place, c.hmatrix_product_into, x.size, sc, x, batch=batch).reshape(-1, 3)
    hix = exp_call(place, c.hmatrix_product_into, x.size, sc, x, inverse=True, batch=batch).reshape(-1, 3)
    same = place.put(x.copy())
    c.hmatrix_product_into(sc, same, same, True, batch)  # out is x
    np.testing.assert_array_equal(place.get(same), hix.reshape(-1))
    modes = state[:, 0]
    assert set(modes) <= {EXP_PD, EXP_CENTRAL}
    hs_tol = 1e-12 if kind in ("moderate", "near_central", "central") else 1e-8
    for k in range(cones):
        sk, zk, st, zt = s[k], z[k], shadow[k], ztilde[k]
        nH, nHi = np.linalg.norm(H[k], 2), np.linalg.norm(Hi[k], 2)
        gap = (sk @ zk / 3) * (st @ zt / 3) - 1
        assert modes[k] == (EXP_PD if gap > 2e-7 else EXP_CENTRAL) or 5e-8 < gap < 2e-7
        # three positive semidefinite terms, each entry a sum of three products: a few dozen eps
        assert np.linalg.norm(H[k] @ sk - zk) <= 64 * EPS * nH * np.linalg.norm(sk)
        assert np.linalg.norm(Hi[k] @ zk - sk) <= 64 * EPS * nHi * np.linalg.norm(zk)
        # primal-dual: H s~ = (<s~, z>/<s, z~>) z~ by construction (the ratio is 1 up to the
        # shadow points' own error); central path: H s~ = z~ + O(mu mu~ - 1)
        ratio = (st @ zk) / (sk @ zt) if modes[k] == EXP_PD else 1.0
        lim = hs_tol if modes[k] == EXP_PD else 16 * max(gap, 0) + 1e-12
        assert np.linalg.norm(H[k] @ st - ratio * zt) <= lim * nH * np.linalg.norm(st)
        h, p = state[k, 1:4], state[k, 4:13].reshape(3, 3)
        g, q = state[k, 13:16], state[k, 16:25].reshape(3, 3)
        assert (h > 0).all() and (g > 0).all()
        unit = lambda m: m / np.linalg.norm(m, axis=1, keepdims=True)  # noqa: E731
        assert abs(np.linalg.det(unit(p))) > 0 and abs(np.linalg.det(unit(q))) > 0
        np.testing.assert_allclose(hx[k], H[k] @ x[3 * k:3 * k + 3], rtol=0, atol=8 * EPS * nH * np.abs(x).max())
        np.testing.assert_allclose(hix[k], Hi[k] @ x[3 * k:3 * k + 3], rtol=0, atol=8 * EPS * nHi * np.abs(x).max())
        if kind in ("moderate", "central"):
            for M in (H[k], Hi[k]):
                d = 1 / np.sqrt(np.diag(M))
                assert np.linalg.eigvalsh(d[:, None] * M * d).min() > 0
            np.testing.assert_allclose(H[k] @ Hi[k], np.eye(3), rtol=0, atol=64 * EPS * np.linalg.cond(H[k]))
            mu = sk @ zk / 3
            ref = (exp_tuncel(sk, zk, st) if modes[k] == EXP_PD else
                   mu * (exp_hess(sk) - np.outer(zt, zt) / 3) + np.outer(zk, zk) / (3 * mu))
            np.testing.assert_allclose(H[k], ref, rtol=0, atol=1e-8 * np.abs(ref).max())
    if kind == "central":
        assert (modes == EXP_CENTRAL).all()
    if kind in ("moderate", "wide"):
        assert (modes == EXP_PD).all()


def test_exp_dual_side_scaling(place, rng):
    """Dual-side state (mode 2): H^-1 = mu hess f(s~)^-1 = mu hess f*(z) against NumPy at moderate
    scales; H^-1 z = mu s~ (hess f*(z) z = s~) and H H^-1 = I over 1e-8..1e8; exactly symmetric."""
    for kind in ("moderate", "wide"):
        _, z = exp_pairs(kind, rng, 60)
        c, batch = exp_cone(len(z))
        Z, mu = z.reshape(-1), 10.0 ** rng.uniform(-6, 6)
        sc = place.out(EXP_STATE * len(z))
        c.dual_scaling_into(place.put(Z), mu, sc, batch)
        assert (place.get(sc)[0::EXP_STATE] == EXP_DUAL_SIDE).all()
        H, Hi = exp_blocks(c, place, sc, len(z)), exp_blocks(c, place, sc, len(z), inverse=True)
        assert (H == H.transpose(0, 2, 1)).all() and (Hi == Hi.transpose(0, 2, 1)).all()
        shadow = exp_call(place, c.dual_shadow_into, Z.size, Z, batch=batch).reshape(-1, 3)
        hiz = exp_call(place, c.hmatrix_product_into, Z.size, sc, Z, inverse=True, batch=batch).reshape(-1, 3)
        for k in range(len(z)):
            # H = R~^T R~/mu, H^-1 = mu R~^-1 R~^-T: each product is accurate to cond(R~) eps
            np.testing.assert_allclose(hiz[k], mu * shadow[k], rtol=0,
                                       atol=64 * EPS * np.linalg.norm(Hi[k], 2) * np.linalg.norm(z[k]))
            D = 1 / np.sqrt(np.diag(H[k]))
            np.testing.assert_allclose((D[:, None] * H[k]) @ (Hi[k] / D[None, :]), np.eye(3), rtol=0,
                                       atol=64 * EPS * np.linalg.cond(D[:, None] * H[k] * D))
            if kind == "moderate":  # the NumPy inverse is accurate to cond(hess) eps
                hess = exp_hess(exp_shadow_ref(z[k]))
                ref = mu * np.linalg.inv(hess)
                np.testing.assert_allclose(Hi[k], ref, rtol=0, atol=64 * EPS * np.linalg.cond(hess) * np.abs(ref).max())


@pytest.mark.parametrize("kind", ["moderate", "wide", "near_central"])
def test_exp_corrector_and_shift(kind, place, rng):
    """eta = 1/2 f'''(s)[ds, hess f(s)^-1 dz]: the logarithmic-homogeneity identity
    f'''(s)[s, .] = -2 hess f(s) gives eta(s, s, dz) = -dz (the sign of Mehrotra's term for the
    orthant); at moderate scales eta against central differences of the NumPy Hessian (in the
    local norms, where self-concordance bounds it by |ds|_s |u|_s). The combined shift: with
    correction 0 exactly s - sigma_mu s~ (directions not read); otherwise H d_s equals the z-space
    right-hand side z + sigma_mu grad f(s) - correction eta (primal-dual mode: H s~ = z~)."""
    s, z = exp_pairs(kind, rng, 60)
    cones = len(s)
    c, batch = exp_cone(cones)
    S, Z = s.reshape(-1), z.reshape(-1)
    dz = rng.normal(size=S.size) * np.abs(Z)
    eta_ss = exp_call(place, c.corrector_into, S.size, S, S, dz, batch=batch).reshape(-1, 3)
    for k in range(cones):  # a solve with hess f(s) and a product with it: forward error cond(hess) eps
        v = dz[3 * k:3 * k + 3]
        assert np.linalg.norm(eta_ss[k] + v) <= 64 * EPS * np.linalg.cond(exp_hess(s[k])) * np.linalg.norm(v)
    ds = rng.normal(size=S.size) * np.abs(S)
    eta = exp_call(place, c.corrector_into, S.size, S, ds, dz, batch=batch).reshape(-1, 3)
    sc = place.out(EXP_STATE * cones)
    c.scaling_into(place.put(S), place.put(Z), sc, batch)
    sigma_mu = 0.3 * (S @ Z) / S.size
    nan = np.full(S.size, np.nan)
    plain = exp_call(place, c.combined_shift_into, S.size, sc, S, nan, nan, sigma_mu=sigma_mu, correction=0.0,
                     batch=batch)
    shadow = place.get(sc).reshape(cones, EXP_STATE)[:, 25:]
    np.testing.assert_array_equal(plain, S - sigma_mu * shadow.reshape(-1))
    corr = 0.7
    shift = exp_call(place, c.combined_shift_into, S.size, sc, S, ds, dz, sigma_mu=sigma_mu, correction=corr,
                     batch=batch).reshape(-1, 3)
    H = exp_blocks(c, place, sc, cones)
    modes = place.get(sc)[0::EXP_STATE]
    ztilde = -exp_call(place, c.barrier_gradient_into, S.size, S, batch=batch).reshape(-1, 3)
    state = place.get(sc).reshape(cones, EXP_STATE)
    for k in range(cones):
        if modes[k] != EXP_PD:
            continue
        st, zt = shadow[k], ztilde[k]
        ratio = (st @ z[k]) / (s[k] @ zt)
        target = z[k] - sigma_mu * ratio * zt - corr * eta[k]
        nH = np.linalg.norm(H[k], 2)
        # forward error: d_s assembled from s, sigma_mu s~ and the rank-one terms of H^-1 eta, then times H
        g, q = state[k, 13:16], state[k, 16:25].reshape(3, 3)
        hieta = sum(g[j] * (q[j] @ q[j]) for j in range(3)) * np.linalg.norm(eta[k])
        tol = 64 * EPS * nH * (np.linalg.norm(s[k]) + sigma_mu * np.linalg.norm(st) + corr * hieta
                               + np.linalg.norm(shift[k]))
        hs_tol = 1e-12 if kind != "wide" else 1e-8
        assert np.linalg.norm(H[k] @ shift[k] - target) <= tol + hs_tol * sigma_mu * nH * np.linalg.norm(st)
    if kind == "moderate":
        # central differences of the NumPy Hessian along a with a local step 1e-4 (truncation ~1e-8),
        # compared in the local norms at well-conditioned points (gaps 0.1..3)
        s = exp_points(rng, 24, -1, 1, (-1, 0.5))
        a, b = rng.normal(size=(2, 24, 3)) * np.abs(s)
        eta = exp_call(place, _ipm.ExponentialCone(24).corrector_into, 72, s.reshape(-1), a.reshape(-1),
                       b.reshape(-1)).reshape(-1, 3)
        for k in range(24):
            hess = exp_hess(s[k])
            u = np.linalg.solve(hess, b[k])
            na, nu = np.sqrt(a[k] @ hess @ a[k]), np.sqrt(u @ hess @ u)
            h = 1e-4 / na
            fd = 0.5 * (exp_hess(s[k] + h * a[k]) - exp_hess(s[k] - h * a[k])) / (2 * h) @ u
            err = eta[k] - fd
            assert np.sqrt(err @ np.linalg.solve(hess, err)) <= 1e-6 * na * nu


@pytest.mark.parametrize("kind", ["moderate", "wide"])
def test_exp_backtrack_step(kind, place, rng):
    """One call gives the backtracking loop's answer bit for bit: the first of alpha0,
    alpha0 factor, ... at which every cone's s + alpha ds is in int K and z + alpha dz in int K*
    (judged by interior / dual_interior on the trial points); alpha_min cuts the sequence, and so
    does its 1024th term, whatever the factor (a factor one ulp below 1 once looped for hours);
    0.0 for non-interior data or NaN directions; zero directions keep alpha0."""
    s, z = exp_pairs(kind, rng, 64)
    c, batch = exp_cone(len(s))
    S, Z = s.reshape(-1), z.reshape(-1)
    one = _ipm.ExponentialCone(len(s))

    def loop(ds, dz, alpha0, factor, alpha_min=0.0, terms=1024):
        alpha = alpha0
        for _ in range(terms):
            if not (alpha >= alpha_min and alpha > 0):
                break
            if one.interior(S + alpha * ds) and one.dual_interior(Z + alpha * dz):
                return alpha
            nxt = alpha * factor
            alpha = nxt if nxt < alpha else 0.0
        return 0.0

    steps = []
    for spread, alpha0, factor in ((1.0, 1.0, 0.8), (30.0, 0.99, 0.5), (1e3, 1.0, 0.9), (1e-9, 0.5, 0.8)):
        ds, dz = rng.normal(size=S.size) * np.abs(S) * spread, rng.normal(size=S.size) * np.abs(Z) * spread
        got = c.backtrack_step(place.put(S), place.put(ds), place.put(Z), place.put(dz), alpha0, factor, batch)
        assert got == loop(ds, dz, alpha0, factor)
        steps.append(got)
        if 0 < got < alpha0:
            assert c.backtrack_step(place.put(S), place.put(ds), place.put(Z), place.put(dz), alpha0, factor, batch,
                                    alpha_min=got * (1 + 1e-12)) == 0.0
            assert c.backtrack_step(place.put(S), place.put(ds), place.put(Z), place.put(dz), alpha0, factor, batch,
                                    alpha_min=got) == got
    assert steps[0] > 0 and steps[-1] == 0.5 and min(steps) < 0.5  # the spreads reach both ends
    zero = np.zeros(S.size)
    assert c.backtrack_step(place.put(S), place.put(zero), place.put(Z), place.put(zero), 0.75, 0.8, batch) == 0.75
    # ds = -s: the trial points (1 - alpha) s are inside exactly for alpha < 1, so from alpha0 = 4
    # the first accepted term is term 693 for factor 0.998 and term 2772 for 0.9995 (cut).
    for factor, accepted in ((0.998, True), (0.9995, False)):
        got = c.backtrack_step(place.put(S), place.put(-S), place.put(Z), place.put(zero), 4.0, factor, batch)
        assert got == loop(-S, zero, 4.0, factor)
        assert (got > 0) == accepted and loop(-S, zero, 4.0, factor, terms=4000) > 0
    nan = zero.copy()
    nan[4] = np.nan
    for factor in (0.8, np.nextafter(1.0, 0.0)):
        assert c.backtrack_step(place.put(S), place.put(nan), place.put(Z), place.put(zero), 1.0, factor, batch) == 0.0
    bad = Z.copy()
    bad[-3] = 1.0  # the last cone's u > 0: z not in int K*
    assert c.backtrack_step(place.put(S), place.put(zero), place.put(bad), place.put(zero), 1.0, 0.8, batch) == 0.0
    for kw, msg in [({"factor": 1.0}, "factor must lie strictly between 0 and 1"),
                    ({"factor": np.nan}, "factor must lie strictly between 0 and 1"),
                    ({"alpha0": np.inf}, "alpha0 must be finite and nonnegative"),
                    ({"alpha0": -1.0}, "alpha0 must be finite and nonnegative"),
                    ({"alpha_min": np.nan}, "alpha_min must be finite and nonnegative")]:
        args = {"alpha0": 1.0, "factor": 0.8, **kw}
        with pytest.raises(RuntimeError, match=f"^{msg}$"):
            c.backtrack_step(place.put(S), place.put(zero), place.put(Z), place.put(zero), batch=batch, **args)


def test_exp_device_equals_host(dev, rng):
    """Every device form against the host's at moderate points: the arithmetic is shared, so
    results agree to the few ulps by which a device's log/log1p may differ, times the points'
    conditioning (psi's cancellation, at most 1e3 here): 1e-12 of each cone's largest entry (bit
    for bit under the emulation); sums over cones to their summation order."""
    s, z = exp_pairs("moderate", rng, 96)
    c, batch = exp_cone(len(s))
    S, Z = s.reshape(-1), z.reshape(-1)
    ds, dz, x = (rng.normal(size=S.size) for _ in range(3))
    m = S.size
    indptr = np.arange(0, 3 * m + 1, 3, dtype=np.int64)
    indices = (3 * (np.arange(m) // 3)[:, None] + np.arange(3)).reshape(-1).astype(np.int64)
    rows = np.repeat(np.arange(m, dtype=np.int64), 3)
    results = []
    for pl in (Host(), Device(dev)):
        sc, dsc = pl.out(EXP_STATE * len(s)), pl.out(EXP_STATE * len(s))
        c.scaling_into(pl.put(S), pl.put(Z), sc, batch)
        c.dual_scaling_into(pl.put(Z), 0.37, dsc, batch)
        out = [pl.get(sc), pl.get(dsc),
               exp_call(pl, c.barrier_gradient_into, m, S, batch=batch),
               exp_call(pl, c.dual_shadow_into, m, Z, batch=batch),
               exp_call(pl, c.corrector_into, m, S, ds, dz, batch=batch),
               exp_call(pl, c.combined_shift_into, m, sc, S, ds, dz, sigma_mu=0.2, batch=batch)]
        for state in (sc, dsc):
            for inverse in (False, True):
                out.append(exp_call(pl, c.hmatrix_product_into, m, state, x, inverse=inverse, batch=batch))
                v = pl.out(indices.size)
                c.hmatrix_csr_values_into(state, pl.put(indptr, np.int64), pl.put(indices, np.int64), v, batch,
                                          inverse=inverse)
                w = pl.out(indices.size)
                c.hmatrix_coo_values_into(state, pl.put(rows, np.int64), pl.put(indices, np.int64), w, batch,
                                          inverse=inverse)
                out += [pl.get(v), pl.get(w)]
        scalars = [c.interior(pl.put(S), batch), c.dual_interior(pl.put(Z), batch), c.interior(pl.put(Z), batch),
                   c.backtrack_step(pl.put(S), pl.put(ds * 30), pl.put(Z), pl.put(dz * 30), 1.0, 0.8, batch)]
        sums = [c.barrier(pl.put(S), batch), c.dual_barrier(pl.put(Z), batch)]
        results.append((out, scalars, sums))
    (ho, hs, hsum), (do, ds_, dsum) = results
    for h, d in zip(ho, do):
        scale = np.abs(h).reshape(len(s), -1).max(1, keepdims=True)
        assert (np.abs(d - h).reshape(len(s), -1) <= 1e-12 * scale).all()
    assert hs == ds_
    for h, d, terms in zip(hsum, dsum, (c.barrier, c.dual_barrier)):
        assert d == pytest.approx(h, rel=64 * EPS * len(s) * 100)


def test_exp_refusals(place, rng):
    """Host arrays: every refusing form tests all cones first (outputs untouched) with its
    message; device arrays: the failing cone's outputs are NaN, the others computed. Lengths,
    devices and the scalars are checked first."""
    s, z = exp_pairs("moderate", rng, 8)
    c, batch = _ipm.ExponentialCone(4), 2
    S, Z = s.reshape(-1), z.reshape(-1)
    badS, badZ = S.copy(), Z.copy()
    badS[-2] = -1.0  # the last cone's y
    badZ[-1] = -1.0  # the last cone's w
    sc_ok = place.out(EXP_STATE * 8)
    c.scaling_into(place.put(S), place.put(Z), sc_ok, batch)
    scaling = "exponential primal-dual scaling requires s strictly inside the cone and z strictly inside the dual cone"
    barrier = "exponential barrier requires strictly interior cone vectors"
    dual = "exponential dual barrier requires z strictly inside the dual cone"
    cases = [
        (lambda o: c.scaling_into(place.put(badS), place.put(Z), o, batch), EXP_STATE, scaling),
        (lambda o: c.scaling_into(place.put(S), place.put(badZ), o, batch), EXP_STATE, scaling),
        (lambda o: c.dual_scaling_into(place.put(badZ), 1.0, o, batch), EXP_STATE, dual),
        (lambda o: c.dual_shadow_into(place.put(badZ), o, batch), 3, dual),
        (lambda o: c.barrier_gradient_into(place.put(badS), o, batch), 3, barrier),
        (lambda o: c.corrector_into(place.put(badS), place.put(S), place.put(Z), o, batch), 3, barrier),
        (lambda o: c.combined_shift_into(sc_ok, place.put(badS), place.put(S), place.put(Z), o, 0.1, batch=batch), 3,
         barrier),
    ]
    for call, per_cone, msg in cases:
        out = place.out(per_cone * 8, 7.0)
        if isinstance(place, Host):
            with pytest.raises(RuntimeError, match=f"^{msg}$"):
                call(out)
            assert (place.get(out) == 7.0).all()
        else:
            call(out)
            got = place.get(out).reshape(8, per_cone)
            assert np.isnan(got[-1]).all() and np.isfinite(got[:-1]).all()
    out = place.out(EXP_STATE * 8, 7.0)
    with pytest.raises(RuntimeError, match="^mu must be positive and finite$"):
        c.dual_scaling_into(place.put(Z), 0.0, out, batch)
    with pytest.raises(RuntimeError, match="^sigma_mu must be finite and nonnegative$"):
        c.combined_shift_into(sc_ok, place.put(S), place.put(S), place.put(Z), place.out(24), -1.0, batch=batch)
    with pytest.raises(RuntimeError, match="^correction must be finite$"):
        c.combined_shift_into(sc_ok, place.put(S), place.put(S), place.put(Z), place.out(24), 0.1, np.inf, batch)
    with pytest.raises(RuntimeError, match="^s expected 24 entries, got 21$"):
        c.scaling_into(place.put(S[:-3]), place.put(Z), out, batch)
    with pytest.raises(RuntimeError, match=f"^scaling expected {EXP_STATE * 8} entries, got {EXP_STATE * 4}$"):
        c.scaling_into(place.put(S), place.put(Z), place.out(EXP_STATE * 4), batch)
    assert (place.get(out) == 7.0).all()


def test_exp_device_placement(dev, rng):
    s, z = exp_pairs("moderate", rng, 2)
    c = _ipm.ExponentialCone(2)
    S, Z = s.reshape(-1), z.reshape(-1)
    with pytest.raises(RuntimeError, match="^input vectors must live on the same device$"):
        c.backtrack_step(S, dev.array(S), Z, Z, 1.0)
    with pytest.raises(RuntimeError, match="^input and output must live on the same device$"):
        c.scaling_into(S, Z, dev.empty(2 * EXP_STATE))


@pytest.mark.parametrize("fmt", ["csr", "coo"])
def test_exp_hmatrix_fill_structure(fmt, place, rng):
    """Cones as consecutive 3 x 3 diagonal blocks from row_offset; stored entries of those rows
    outside the blocks become 0; other rows (and COO entries of other rows) keep their values."""
    s, z = exp_pairs("moderate", rng, 6)
    c, batch, off = _ipm.ExponentialCone(3), 2, 2
    sc = np.empty(EXP_STATE * 6)
    c.scaling_into(s.reshape(-1), z.reshape(-1), sc, batch)
    blocks = exp_blocks(c, Host(), sc, 6)
    m = off + 18 + 2
    ref = np.zeros((m, m))
    for k in range(6):
        ref[off + 3 * k:off + 3 * k + 3, off + 3 * k:off + 3 * k + 3] = blocks[k]
    keep = np.ones((m, m), bool)
    keep[off:off + 18] = False
    A = sp.coo_matrix(np.ones((m, m)))
    out = place.out(A.nnz, 5.0)
    if fmt == "csr":
        A = A.tocsr()
        c.hmatrix_csr_values_into(place.put(sc), place.put(A.indptr, np.int64), place.put(A.indices, np.int64), out,
                                  batch, row_offset=off)
        got = sp.csr_matrix((place.get(out), A.indices, A.indptr), shape=(m, m)).toarray()
    else:
        c.hmatrix_coo_values_into(place.put(sc), place.put(A.row, np.int64), place.put(A.col, np.int64), out, batch,
                                  row_offset=off)
        got = np.zeros((m, m))
        got[A.row, A.col] = place.get(out)
    np.testing.assert_array_equal(got[~keep], ref[~keep])
    assert (got[keep] == 5.0).all()


def test_exp_parallel_paths(rng):
    """Above the OpenMP thresholds (3000 cones) every host form equals the cone-by-cone calls:
    states, shadow points, gradients, corrector, shift and products bit for bit, the step and
    the verdicts exactly, the barrier sums to their summation order."""
    s, z = exp_pairs("moderate", rng, 3000)
    c, one = _ipm.ExponentialCone(1000), _ipm.ExponentialCone(1)
    S, Z = s.reshape(-1), z.reshape(-1)
    ds, dz = rng.normal(size=(2, S.size)) * np.abs(S) * 3
    sc = np.empty(EXP_STATE * 3000)
    c.scaling_into(S, Z, sc, 3)
    whole = [sc, exp_call(Host(), c.dual_shadow_into, S.size, Z, batch=3),
             exp_call(Host(), c.barrier_gradient_into, S.size, S, batch=3),
             exp_call(Host(), c.corrector_into, S.size, S, ds, dz, batch=3),
             exp_call(Host(), c.combined_shift_into, S.size, sc, S, ds, dz, sigma_mu=0.1, batch=3),
             exp_call(Host(), c.hmatrix_product_into, S.size, sc, ds, inverse=True, batch=3)]
    parts = [[] for _ in whole]
    for k in range(3000):
        sk, zk, dsk, dzk = s[k], z[k], ds[3 * k:3 * k + 3], dz[3 * k:3 * k + 3]
        st = np.empty(EXP_STATE)
        one.scaling_into(sk, zk, st)
        parts[0].append(st)
        parts[1].append(exp_call(Host(), one.dual_shadow_into, 3, zk))
        parts[2].append(exp_call(Host(), one.barrier_gradient_into, 3, sk))
        parts[3].append(exp_call(Host(), one.corrector_into, 3, sk, dsk, dzk))
        parts[4].append(exp_call(Host(), one.combined_shift_into, 3, st, sk, dsk, dzk, sigma_mu=0.1))
        parts[5].append(exp_call(Host(), one.hmatrix_product_into, 3, st, dsk, inverse=True))
    for w, p in zip(whole, parts):
        np.testing.assert_array_equal(w, np.concatenate(p))
    steps = [one.backtrack_step(s[k], ds[3 * k:3 * k + 3], z[k], dz[3 * k:3 * k + 3], 1.0) for k in range(3000)]
    assert c.backtrack_step(S, ds, Z, dz, 1.0, batch=3) == min(steps)
    for fn, x in ((c.barrier, S), (c.dual_barrier, Z)):
        single = [getattr(one, fn.__name__)(x[3 * k:3 * k + 3]) for k in range(3000)]
        assert fn(x, 3) == pytest.approx(sum(single), rel=0, abs=3000 * 4 * EPS * sum(abs(v) for v in single))
    assert c.interior(S, 3) and c.dual_interior(Z, 3)
    S[-1] = 0.0  # the last cone's z
    assert not c.interior(S, 3) and c.barrier(S, 3) == np.inf


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
    fill has the bits of _cpp_cuda's NT matrix where both form W the same way (its inline
    factor path; from order 11 a build with host LAPACK computes it by other routines, and
    the two agree to rounding), the H^-1 fill is CVXOPT's r r^T congruence and inverts it."""
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
    if _cpp_cuda.has_host_blas() and n >= 11:
        np.testing.assert_allclose(fills[False], H, rtol=0, atol=tol * np.abs(H).max())
    else:
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
    lam, moderate or of condition 1e6 (a backward-stable solve, as one through LAPACK's
    eigendecomposition: residual within 4 n eps |lam| |u|); out = x in place gives the same
    bits."""
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
    Q = [np.linalg.qr(rng.normal(size=(n, n)))[0] for _ in range(batch)]
    conditioned = np.concatenate([svec((q * np.logspace(-3, 3, n)) @ q.T) for q in Q])
    for lam, atol in ((nt_lam, 8 * EPS), (general, 4 * n * EPS), (conditioned, 4 * n * EPS)):
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
    """Every device form gives the host's bits (one thread per item runs the host's code;
    within rounding when the device math library is an ulp off the host's),
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
        h, d = np.asarray(h, dtype=float), np.asarray(d, dtype=float)
        if dev.exact_math:
            np.testing.assert_array_equal(h, d)
        else:   # a device math library an ulp off the host's: backward-stable forms on
            # well-conditioned pairs agree to a small multiple of eps times their scale
            np.testing.assert_allclose(d, h, rtol=0, atol=1e-12 * max(1.0, np.abs(h[np.isfinite(h)]).max()))
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
