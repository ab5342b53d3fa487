"""Refusals that keep the module inside its contract under hostile input: misaligned
buffers, empty batches of cones too large to hold one matrix, and allocations that
cannot succeed. Each refusal is a RuntimeError with the system's text and leaves every
output as it was."""
import os

import numpy as np
import pytest

from dlpack_tags import KDL_CPU, TaggedArray


def misaligned(values, writable=True):
    """A float64 (or int64) array whose data starts one byte past an 8-byte boundary."""
    values = np.asarray(values)
    raw = bytearray(values.nbytes + 8)
    base = np.frombuffer(raw, dtype=np.uint8)
    shift = (-base.ctypes.data) % 8 + 1
    out = np.frombuffer(raw, dtype=values.dtype, count=values.size, offset=shift)
    out[...] = values
    assert out.ctypes.data % 8 == 1
    if not writable:
        out.flags.writeable = False
    return out


def interior_pair(cone):
    rows = cone.rows
    name = type(cone).__name__
    if name == "ZeroConeCpp":
        return np.zeros(rows), np.zeros(rows)
    if name == "ExponentialConeCpp":
        block = np.array([0.0, 1.0, 2.0])
        return np.tile(block, rows // 3), np.tile(block * 2.0, rows // 3)
    if name == "PsdConeCpp":
        n = cone.dim
        ident = np.zeros(rows)
        ident[[i * (i + 1) // 2 + i for i in range(n)]] = 1.0
        return ident, 2.0 * ident
    if name == "SecondOrderConeCpp":
        e = np.zeros(rows)
        e[0] = 1.0
        return e, 2.0 * e
    return np.ones(rows), np.full(rows, 2.0)


CONES = [
    ("ZeroConeCpp", 3),
    ("NonnegativeConeCpp", 3),
    ("SecondOrderConeCpp", 3),
    ("PsdConeCpp", 2),
    ("ExponentialConeCpp", 1),
]


def make(cones, name, size):
    cone = getattr(cones, name)(size)
    if not hasattr(cone, "project_into"):
        pytest.skip("family not built yet")
    return cone


# ---------------------------------------------------------------------------------------
# Misaligned buffers: every routine reads doubles and int64s through aligned pointers, so
# a buffer that starts inside an element is refused before it is read.
# ---------------------------------------------------------------------------------------
@pytest.mark.parametrize("name,size", CONES)
def test_misaligned_host_arrays_are_refused(cones, name, size):
    cone = make(cones, name, size)
    n = cone.rows
    s, z = interior_pair(cone)
    out = misaligned(np.full(n, 7.0))
    with pytest.raises(RuntimeError, match="^input must be 8-byte aligned$"):
        cone.project_into(misaligned(s, writable=False), np.zeros(n))
    with pytest.raises(RuntimeError, match="^output must be 8-byte aligned$"):
        cone.project_into(s, out)
    assert np.all(out == 7.0)
    with pytest.raises(RuntimeError, match="^input must be 8-byte aligned$"):
        cone.violation(misaligned(s))
    with pytest.raises(RuntimeError, match="^input must be 8-byte aligned$"):
        cone.contains(misaligned(s))
    with pytest.raises(RuntimeError, match="^output must be 8-byte aligned$"):
        cone.unit_vector_into(0, out)
    assert np.all(out == 7.0)
    with pytest.raises(RuntimeError, match="^z must be 8-byte aligned$"):
        cone.nt_scaling_matrix(s, misaligned(z))
    with pytest.raises(RuntimeError, match="^s must be 8-byte aligned$"):
        cone.nt_scaling_matrix_array(misaligned(s), z)
    big = misaligned(np.full(n * n, 7.0))
    with pytest.raises(RuntimeError, match="^output must be 8-byte aligned$"):
        cone.nt_scaling_matrix_into(s, z, big)
    with pytest.raises(RuntimeError, match="^output must be 8-byte aligned$"):
        cone.nt_scaling_matrix_batch_into(s, z, big, 1)
    assert np.all(big == 7.0)


@pytest.mark.parametrize("name,size", CONES)
def test_misaligned_sparse_structure_is_refused(cones, name, size):
    cone = make(cones, name, size)
    if not hasattr(cone, "hmatrix_csr_values_into"):
        pytest.skip("sparse fill of this family not built yet")
    n = cone.rows
    s, z = interior_pair(cone)
    indptr = np.arange(n + 1, dtype=np.int64)
    indices = np.arange(n, dtype=np.int64)
    values = np.full(n, 7.0)
    with pytest.raises(RuntimeError, match="^indptr must be 8-byte aligned$"):
        cone.hmatrix_csr_values_into(s, z, misaligned(indptr), indices, values)
    with pytest.raises(RuntimeError, match="^col_indices must be 8-byte aligned$"):
        cone.hmatrix_coo_values_into(s, z, indices, misaligned(indices), values)
    mis_values = misaligned(values)
    with pytest.raises(RuntimeError, match="^values must be 8-byte aligned$"):
        cone.hmatrix_csr_values_into(s, z, indptr, indices, mis_values)
    assert np.all(values == 7.0) and np.all(mis_values == 7.0)


def test_misaligned_psd_conversions_are_refused(cones):
    with pytest.raises(RuntimeError, match="^svec must be 8-byte aligned$"):
        cones.psd_smat(misaligned(np.ones(3)), 2)
    with pytest.raises(RuntimeError, match="^matrix must be 8-byte aligned$"):
        cones.psd_svec(misaligned(np.ones(4)), 2)
    out = misaligned(np.full(4, 7.0))
    with pytest.raises(RuntimeError, match="^output must be 8-byte aligned$"):
        cones.psd_smat_into(np.ones(3), out, 2)
    assert np.all(out == 7.0)


def test_misaligned_device_arrays_are_refused(cones, dev):
    """On a GPU a misaligned double load faults asynchronously; the view refuses first."""
    cone = cones.NonnegativeConeCpp(4)
    x = np.array([1.0, -2.0, 3.0, -4.0])
    out = dev.array(np.full(4, 7.0))
    with pytest.raises(RuntimeError, match="^input must be 8-byte aligned$"):
        cone.project_into(dev.array(x, offset=4), out)
    with pytest.raises(RuntimeError, match="^input must be 8-byte aligned$"):
        cone.violation(dev.array(x, offset=1))
    mis_out = dev.array(np.full(4, 7.0), offset=2)
    with pytest.raises(RuntimeError, match="^output must be 8-byte aligned$"):
        cone.project_into(dev.array(x), mis_out)
    np.testing.assert_array_equal(dev.to_numpy(out), 7.0)
    np.testing.assert_array_equal(dev.to_numpy(mis_out), 7.0)
    assert "nonnegative_kernel" not in dev.launches()


# ---------------------------------------------------------------------------------------
# An empty batch needs no entries, however large the cone: n*n*0 is 0, not an overflow.
# ---------------------------------------------------------------------------------------
LARGE = [
    ("ZeroConeCpp", 2**32),
    ("NonnegativeConeCpp", 2**33),
    ("SecondOrderConeCpp", 2**32 + 5),
    ("PsdConeCpp", 2**17),  # rows = 2**16 * (2**17 + 1): rows * rows exceeds 64 bits
    ("ExponentialConeCpp", 2**31),
]


@pytest.mark.parametrize("name,size", LARGE)
def test_empty_batch_of_a_large_cone(cones, name, size):
    cone = make(cones, name, size)
    assert cone.rows**2 >= 2**64
    empty = np.empty(0)
    cone.nt_scaling_matrix_batch_into(empty, empty, empty, 0)
    if hasattr(cone, "nt_scaling_matrix_batch_custom_into"):
        cone.nt_scaling_matrix_batch_custom_into(empty, empty, empty, 0)
    # one item of such a cone has no representable matrix size (s and z claim their
    # length by shape only: the output's count is refused before anything is read)
    claimed = TaggedArray(cone.rows, KDL_CPU)
    with pytest.raises(RuntimeError, match="^expected entry count overflows 64-bit unsigned arithmetic$"):
        cone.nt_scaling_matrix_batch_into(claimed, claimed, empty, 1)


@pytest.mark.parametrize("name,size", [n for n in LARGE if n[0] != "PsdConeCpp"])
def test_empty_batch_of_a_large_cone_on_the_device(cones, dev, name, size):
    cone = make(cones, name, size)
    empty = dev.array(np.empty(0))
    cone.nt_scaling_matrix_batch_into(empty, empty, empty, 0)
    assert dev.launches() == []


# ---------------------------------------------------------------------------------------
# Results that cannot be allocated: a RuntimeError naming the result, never the binding
# layer's MemoryError or ValueError. The sizes ask for 2**47 bytes or more, which no
# allocator of this machine grants, so nothing large is ever committed.
# ---------------------------------------------------------------------------------------
# AddressSanitizer's operator new reports an impossible request and aborts instead of
# throwing (its calloc returns null as usual), so the throwing-new cases run only in the
# uninstrumented builds; vector lengths beyond max_size() are refused before any request.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
throwing_new = pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer aborts on an impossible operator new")


@pytest.mark.parametrize("name,size", [
    ("ZeroConeCpp", 2**62),  # beyond max_size()
    pytest.param("ZeroConeCpp", 2**44, marks=throwing_new),
    pytest.param("NonnegativeConeCpp", 2**45, marks=throwing_new),
    ("PsdConeCpp", 2**31),
    pytest.param("ExponentialConeCpp", 2**44, marks=throwing_new),
])
@pytest.mark.parametrize("form", ["unit_vector", "unit_vector_array"])
def test_unit_vector_too_large_to_allocate(cones, name, size, form):
    cone = getattr(cones, name)(size)
    with pytest.raises(RuntimeError, match="^unit vector allocation failed$"):
        getattr(cone, form)(0)
    with pytest.raises(RuntimeError, match="^unit vector index out of range$"):
        getattr(cone, form)(cone.rows)


@pytest.mark.parametrize("name,size,fill,label", [
    ("ZeroConeCpp", 2**22, 0.0, "identity matrix"),
    ("NonnegativeConeCpp", 2**22, 1.0, "nonnegative NT scaling"),
    ("ExponentialConeCpp", 2**21, 0.0, "exponential scaling"),  # the matrix is allocated before the blocks are tested
])
@pytest.mark.parametrize("form", ["nt_scaling_matrix", "nt_scaling_matrix_array"])
def test_dense_nt_matrix_too_large_to_allocate(cones, name, size, fill, label, form):
    if UNDER_ASAN and (form == "nt_scaling_matrix" or name == "ExponentialConeCpp"):
        pytest.skip("the result is a vector: AddressSanitizer aborts on an impossible operator new")
    cone = getattr(cones, name)(size)
    s = np.full(cone.rows, fill)
    assert cone.rows**2 * 8 >= 2**47
    with pytest.raises(RuntimeError, match=f"^{label} allocation failed$"):
        getattr(cone, form)(s, s)


# ---------------------------------------------------------------------------------------
# PSD scaling at the ends of the double range. H(s, z) does not change when s and z are
# scaled together, and the projection scales with its input; with the scale a power of
# four the module's arithmetic runs on the same unit-scale numbers, so the results are
# bit-for-bit those of the unscaled pair (scaled back for the projection).
# ---------------------------------------------------------------------------------------
def psd_pair(n, seed=5):
    rng = np.random.default_rng(seed)

    def spd():
        a = rng.standard_normal((n, n))
        m = a @ a.T + n * np.eye(n)
        r, c = np.tril_indices(n)
        return m[r, c] * np.where(r == c, 1.0, np.sqrt(2.0))

    return spd(), spd()


EXTREME = [-1000, -700, -520, -300, 300, 520, 700, 1000]


@pytest.mark.parametrize("n", [1, 2, 3, 5, 11])
@pytest.mark.parametrize("e", EXTREME)
def test_psd_nt_scaling_is_unchanged_by_a_common_scale(cones, n, e):
    cone = cones.PsdConeCpp(n)
    s, z = psd_pair(n)
    m = cone.rows
    S, Z = np.ldexp(s, e), np.ldexp(z, e)
    want = cone.nt_scaling_matrix_array(s, z)
    assert np.array_equal(cone.nt_scaling_matrix_array(S, Z), want)
    assert np.array_equal(np.array(cone.nt_scaling_matrix(S, Z)).reshape(m, m), want)
    want_into = np.empty(m * m)
    cone.nt_scaling_matrix_into(s, z, want_into)
    # the closed forms of orders 1 and 2 against the general factor path: rounding apart
    np.testing.assert_allclose(want_into.reshape(m, m), want, rtol=0, atol=8 * np.finfo(float).eps * np.abs(want).max())
    got = np.empty(2 * m * m)
    cone.nt_scaling_matrix_batch_into(np.concatenate([S, s]), np.concatenate([Z, z]), got, 2)
    assert np.array_equal(got[:m * m], want_into) and np.array_equal(got[m * m:], want_into)


@pytest.mark.parametrize("n", [1, 2, 3])
@pytest.mark.parametrize("e", [-700, 520, 1000])
def test_psd_nt_scaling_on_the_device_at_extreme_scales(cones, dev, n, e):
    cone = cones.PsdConeCpp(n)
    s, z = psd_pair(n)
    m = cone.rows
    want = np.empty(m * m)
    cone.nt_scaling_matrix_into(s, z, want)
    out = dev.empty(m * m)
    cone.nt_scaling_matrix_into(dev.array(np.ldexp(s, e)), dev.array(np.ldexp(z, e)), out)
    np.testing.assert_allclose(dev.to_numpy(out), want, rtol=0, atol=8 * np.finfo(float).eps * np.abs(want).max())


@pytest.mark.parametrize("e", EXTREME)
def test_psd_sparse_fill_at_extreme_scales(cones, e):
    cone = cones.PsdConeCpp(3)
    s, z = psd_pair(3)
    indptr = np.arange(0, 6 * 6 + 1, 6, dtype=np.int64)
    indices = np.tile(np.arange(6, dtype=np.int64), 6)
    want, got = np.zeros(36), np.zeros(36)
    cone.hmatrix_csr_values_into(s, z, indptr, indices, want)
    cone.hmatrix_csr_values_into(np.ldexp(s, e), np.ldexp(z, e), indptr, indices, got)
    assert np.array_equal(got, want)


@pytest.mark.parametrize("n", [2, 3, 5, 9])
@pytest.mark.parametrize("e", EXTREME)
def test_psd_projection_scales_with_its_input(cones, n, e):
    """The host projection, violation and membership decompose the matrix at unit scale:
    scaled by 2**e they scale with it (bit for bit, but for the one rounding of entries
    that fall below the normal range), and an indefinite matrix stays outside the cone."""
    cone = cones.PsdConeCpp(n)
    rng = np.random.default_rng(11)
    for _ in range(3):
        a = rng.standard_normal((n, n))
        r, c = np.tril_indices(n)
        x = (a + a.T)[r, c] * np.where(r == c, 1.0, np.sqrt(2.0))
        base, scaled = np.empty(cone.rows), np.empty(cone.rows)
        cone.project_into(x, base)
        cone.project_into(np.ldexp(x, e), scaled)
        assert np.all(np.abs(scaled - np.ldexp(base, e)) <= 2.0 ** -1073)
        violation = cone.violation(x)
        assert violation > 0.0
        assert cone.violation(np.ldexp(x, e)) == np.ldexp(violation, e)
        assert not cone.contains(np.ldexp(x, e), atol=0.0)
        assert cone.contains(np.ldexp(x, e), atol=np.ldexp(violation, e))
        assert cone.contains(np.ldexp(base, e), atol=np.ldexp(1e-12 * np.abs(base).max(), e))


@pytest.mark.parametrize("e", EXTREME)
def test_psd_order_two_device_projection_at_extreme_scales(cones, dev, e):
    """The closed-form eigen-split squares the entries: at 1e160 it overflowed (NaN
    projection, infinite violation of a positive definite matrix), near 1e-320 it
    underflowed (an indefinite matrix copied as if it were in the cone)."""
    cone = cones.PsdConeCpp(2)
    for x in ([1.0, 0.5, -2.0], [2.0, 1.0, 1.5], [-1.0, 0.25, -3.0], [1.0, 1.0, 1.0]):
        x = np.array(x)
        base, scaled = dev.empty(3), dev.empty(3)
        cone.project_into(dev.array(x), base)
        cone.project_into(dev.array(np.ldexp(x, e)), scaled)
        assert np.array_equal(dev.to_numpy(scaled), np.ldexp(dev.to_numpy(base), e))
    pd = np.ldexp(np.array([1.0, 0.7 * np.sqrt(2.0), 1.0]), e)  # eigenvalues 1.7 and 0.3, times 2**e
    assert cone.violation(dev.array(pd)) == 0.0
    assert cone.contains(dev.array(pd), atol=0.0)
    indefinite = np.ldexp(np.array([3.0, 1.0, -2.0]), e)
    out = dev.empty(3)
    cone.project_into(dev.array(indefinite), out)
    assert not np.array_equal(dev.to_numpy(out), indefinite)
    assert not cone.contains(dev.array(indefinite), atol=0.0)
    assert not cone.contains(indefinite, atol=0.0)
    # host and device agree at every scale (Jacobi against the closed-form split)
    host = np.empty(3)
    cone.project_into(indefinite, host)
    np.testing.assert_allclose(dev.to_numpy(out), host, rtol=1e-12, atol=2.0 ** -1070)
    assert cone.violation(dev.array(indefinite)) == pytest.approx(cone.violation(indefinite), rel=1e-12)


# ---------------------------------------------------------------------------------------
# Second-order cone at the ends of the double range. Its NT matrix (dense, device, sparse)
# does not change when s and z are scaled together. Its projection and membership square
# the entries in the tail norm: beyond 2**511 an interior point projects to NaN and is
# not contained, below 2**-540 projections lose the tail. That open fault is pinned here
# (strict: the test fails once it is mended, to drop the marker).
# ---------------------------------------------------------------------------------------
soc_scale_fault = pytest.mark.xfail(strict=True, reason="second-order tail norm overflows/underflows at extreme scales")


def soc_points(n, seed=2):
    rng = np.random.default_rng(seed)

    def point():
        t = rng.standard_normal(n - 1)
        return np.concatenate([[np.linalg.norm(t) * 1.5 + 0.5], t])

    return point(), point(), np.array([0.5, 2.0, -1.0, 0.3, 0.7])[:n]


@pytest.mark.parametrize("e", [-1000, -300, 300, 700])
def test_soc_nt_scaling_is_unchanged_by_a_common_scale(cones, dev, e):
    cone = cones.SecondOrderConeCpp(5)
    s, z, _ = soc_points(5)
    S, Z = np.ldexp(s, e), np.ldexp(z, e)
    want = cone.nt_scaling_matrix_array(s, z)
    tol = dict(rtol=1e-12, atol=1e-12 * np.abs(want).max())
    np.testing.assert_allclose(cone.nt_scaling_matrix_array(S, Z), want, **tol)
    out = dev.empty(25)
    cone.nt_scaling_matrix_into(dev.array(S), dev.array(Z), out)
    np.testing.assert_allclose(dev.to_numpy(out).reshape(5, 5), want, **tol)
    indptr = np.arange(0, 26, 5, dtype=np.int64)
    indices = np.tile(np.arange(5, dtype=np.int64), 5)
    values = np.zeros(25)
    cone.hmatrix_csr_values_into(S, Z, indptr, indices, values)
    np.testing.assert_allclose(values.reshape(5, 5), want, **tol)


@soc_scale_fault
@pytest.mark.parametrize("e", [-700, 600])
def test_soc_projection_scales_with_its_input(cones, e):
    cone = cones.SecondOrderConeCpp(5)
    s, _, x = soc_points(5)
    want, got = np.empty(5), np.empty(5)
    cone.project_into(x, want)
    cone.project_into(np.ldexp(x, e), got)
    np.testing.assert_allclose(np.ldexp(got, -e), want, rtol=1e-12, atol=0)
    assert cone.contains(np.ldexp(s, e))
