"""Zero cone {0}: host arithmetic against NumPy and hand-computed values, the norm test
of the NT forms, and the device paths (emulated) against the host."""
import math

import numpy as np
import pytest

from dlpack_tags import KDL_CUDA, TaggedArray

SIZES = [0, 1, 7, 256, 257, 8192, 8193, 65537]
NT_MSG = "zero-cone NT scaling requires zero primal and dual vectors"


def messy_vector(rng, n, nan=True):
    x = rng.standard_normal(n) * 10.0 ** rng.integers(-3, 4, n)
    if n >= 5:
        x[rng.choice(n, size=min(n // 5, 50), replace=False)] = -0.0
        if nan:
            x[rng.choice(n, size=min(n // 7, 30), replace=False)] = np.nan
    return x


def exact_norm(x):
    """The Euclidean norm rounded from the exact sum of squares (squares exact to 2^-53)."""
    return math.sqrt(math.fsum(float(v) * float(v) for v in x))


def at_another_address(x):
    """A copy of x whose first entry lies 8 bytes past a 64-byte boundary."""
    buffer = np.empty(x.size + 16)
    start = (-buffer.ctypes.data // 8 + 1) % 8
    y = buffer[start:start + x.size]
    y[:] = x
    return y


def identity_batch(n, batch):
    return np.tile(np.eye(n).reshape(-1), batch)


# --- host: projection, violation, membership ---------------------------------------

@pytest.mark.parametrize("n", SIZES)
def test_projection_clears_every_entry(cones, rng, n):
    x = messy_vector(rng, n)
    out = np.full(n, np.nan)
    cones.ZeroConeCpp(n).project_into(x, out)
    assert np.all(out == 0.0) and not np.any(np.signbit(out))
    in_place = x.copy()
    cones.ZeroConeCpp(n).project_into(in_place, in_place)
    assert np.all(in_place == 0.0) and not np.any(np.signbit(in_place))


@pytest.mark.parametrize("n", SIZES)
def test_violation_is_the_euclidean_norm(cones, rng, ordered_sum, n):
    x = messy_vector(rng, n, nan=False)
    got = cones.ZeroConeCpp(n).violation(x)
    assert got == pytest.approx(exact_norm(x), rel=1e-13, abs=0.0)
    # the promised order of the sum, bit for bit, whatever the instruction set the loader
    # picked, the number of threads or where x lies
    assert got == math.sqrt(ordered_sum(x * x))
    assert cones.ZeroConeCpp(n).violation(at_another_address(x)) == got


@pytest.mark.parametrize(
    "x, expected",
    [([3.0, 4.0], 5.0), ([], 0.0), ([-0.0], 0.0), ([1.0, np.nan], np.nan), ([np.inf, 1.0], np.inf),
     ([-np.inf, np.nan], np.nan), ([1e200, 1e200], np.inf)],
)
def test_violation_values(cones, x, expected):
    x = np.array(x, dtype=np.float64)
    got = cones.ZeroConeCpp(len(x)).violation(x)
    if np.isnan(expected):
        assert np.isnan(got)
    else:
        assert got == expected


@pytest.mark.parametrize(
    "x, atol, expected",
    [([1e-8, -1e-8], 1e-8, True), ([2e-8], 1e-8, False), ([-2e-8], 1e-8, False), ([np.nan, 0.0], 1e-8, False),
     ([np.nan, 1.0], 1e-8, False), ([], 1e-8, True), ([0.0, -0.0], 0.0, True), ([1e-300], 0.0, False),
     ([0.1, -0.1, 0.05], 0.1, True), ([0.1, -0.1000001], 0.1, False), ([0.0], -1.0, False), ([np.inf], 1e300, False),
     ([3.0], np.inf, True)],
)
def test_membership_values(cones, x, atol, expected):
    x = np.array(x, dtype=np.float64)
    assert cones.ZeroConeCpp(len(x)).contains(x, atol) is expected


def test_membership_default_tolerance(cones):
    cone = cones.ZeroConeCpp(2)
    assert cone.contains(np.array([1e-8, -1e-8])) is True
    assert cone.contains(np.array([0.0, np.nextafter(1e-8, 1.0)])) is False


@pytest.mark.parametrize("n", [8192, 8193, 100000])
@pytest.mark.parametrize("where", [0, 4095, -1, None])
def test_membership_scan_over_large_vectors(cones, n, where):
    x = np.full(n, 1e-9)
    x[::3] = -1e-8  # on the tolerance: inside
    if where is not None:
        x[where] = -1e-3
    assert cones.ZeroConeCpp(n).contains(x) is (where is None)


def test_empty_cone(cones):
    cone = cones.ZeroConeCpp(0)
    e = np.zeros(0)
    assert cone.project_into(e, np.zeros(0)) is None
    assert cone.violation(e) == 0.0
    assert cone.contains(e) is True
    assert cone.nt_scaling_matrix(e, e) == []
    arr = cone.nt_scaling_matrix_array(e, e)
    assert arr.shape == (0, 0) and arr.dtype == np.float64
    assert cone.nt_scaling_matrix_into(e, e, np.zeros(0)) is None
    assert cone.nt_scaling_matrix_batch_into(e, e, np.zeros(0), 5) is None


# --- host: NT scaling and its norm test ---------------------------------------------

def test_nt_scaling_small_vectors_give_the_identity(cones):
    cone = cones.ZeroConeCpp(2)
    s, z = np.array([1e-11, 0.0]), np.zeros(2)
    h = cone.nt_scaling_matrix(s, z)
    assert isinstance(h, list) and h == [1.0, 0.0, 0.0, 1.0]
    arr = cone.nt_scaling_matrix_array(s, z)
    assert arr.shape == (2, 2) and arr.flags.c_contiguous and arr.flags.writeable
    np.testing.assert_array_equal(arr, np.eye(2))


NORM_CASES = [
    # (s, z, accepted): the tolerance 1e-10 applies to the Euclidean norm, not to entries
    ([1e-10, 1e-10], [0.0, 0.0], False),  # norm 1.414e-10
    ([0.0, 0.0], [1e-10, -1e-10], False),
    ([1e-10, 0.0], [0.0, 1e-10], True),  # norm exactly 1e-10 is not greater
    ([np.nextafter(1e-10, 1.0), 0.0], [0.0, 0.0], False),
    ([6e-11, 8e-11], [0.0, 0.0], True),  # norm 1e-10 to rounding, 3-4-5
    ([np.nan, 0.0], [0.0, 0.0], False),  # a NaN is in no cone: a NaN norm is refused
    ([0.0, 0.0], [np.inf, 0.0], False),
    ([-0.0, 0.0], [5e-324, -5e-324], True),
]


@pytest.mark.parametrize("s, z, accepted", NORM_CASES)
def test_nt_scaling_norm_test(cones, s, z, accepted):
    s, z = np.array(s), np.array(z)
    if np.all(np.isfinite(s)) and np.all(np.isfinite(z)):  # the hand classification agrees with NumPy
        assert accepted == (np.linalg.norm(s) <= 1e-10 and np.linalg.norm(z) <= 1e-10)
    cone = cones.ZeroConeCpp(2)
    out = np.full(4, 7.0)
    if accepted:
        assert cone.nt_scaling_matrix(s, z) == [1.0, 0.0, 0.0, 1.0]
        np.testing.assert_array_equal(cone.nt_scaling_matrix_array(s, z), np.eye(2))
        cone.nt_scaling_matrix_into(s, z, out)
        np.testing.assert_array_equal(out, np.eye(2).reshape(-1))
        return
    for call in (lambda: cone.nt_scaling_matrix(s, z), lambda: cone.nt_scaling_matrix_array(s, z),
                 lambda: cone.nt_scaling_matrix_into(s, z, out),
                 lambda: cone.nt_scaling_matrix_batch_into(s, z, out, 1)):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == NT_MSG
    assert np.all(out == 7.0)


@pytest.mark.parametrize("count, value, accepted", [(10000, 2e-12, False), (10000, 5e-13, True), (8192, 2e-12, False),
                                                    (8192, 5e-13, True)])
def test_nt_scaling_norm_of_long_vectors(cones, count, value, accepted):
    """Each entry is far below 1e-10; only the norm (parallel above 8192 entries) decides."""
    tiny = np.full(count, value)
    assert accepted == (np.linalg.norm(tiny) <= 1e-10)
    out = np.full(count, 6.0)
    if accepted:
        cones.ZeroConeCpp(1).nt_scaling_matrix_batch_into(tiny, tiny, out, count)
        assert np.all(out == 1.0)
        return
    for s, z in ((tiny, np.zeros(count)), (np.zeros(count), tiny)):
        with pytest.raises(RuntimeError, match=NT_MSG):
            cones.ZeroConeCpp(1).nt_scaling_matrix_batch_into(s, z, out, count)
        with pytest.raises(RuntimeError, match=NT_MSG):  # refused before the n*n result exists
            cones.ZeroConeCpp(count).nt_scaling_matrix_array(s, z)
    assert np.all(out == 6.0)


def test_nt_scaling_batch_norm_covers_the_whole_batch(cones):
    """Every item alone is tiny, but the norm over the batch is 2e-10."""
    s = np.full(100, 2e-11)
    out = np.full(100, 4.0)
    cone = cones.ZeroConeCpp(1)
    assert cone.nt_scaling_matrix(s[:1], s[:1]) == [1.0]
    with pytest.raises(RuntimeError) as info:
        cone.nt_scaling_matrix_batch_into(s, np.zeros(100), out, 100)
    assert str(info.value) == NT_MSG
    with pytest.raises(RuntimeError) as info:
        cone.nt_scaling_matrix_batch_into(np.zeros(100), s, out, 100)
    assert str(info.value) == NT_MSG
    assert np.all(out == 4.0)


@pytest.mark.parametrize("n", [1, 3, 2048, 2049])
def test_nt_scaling_array_is_the_exact_identity(cones, n):
    arr = cones.ZeroConeCpp(n).nt_scaling_matrix_array(np.zeros(n), np.zeros(n))
    assert arr.shape == (n, n)
    np.testing.assert_array_equal(arr, np.eye(n))
    if n <= 64:
        assert cones.ZeroConeCpp(n).nt_scaling_matrix(np.zeros(n), np.zeros(n)) == np.eye(n).reshape(-1).tolist()


@pytest.mark.parametrize("n, batch", [(2, 2), (1, 1), (3, 2730), (3, 2731), (50, 200), (7, 1)])
def test_nt_scaling_batch_into_writes_identities(cones, rng, n, batch):
    s = rng.uniform(-1e-13, 1e-13, n * batch)
    z = rng.uniform(-1e-13, 1e-13, n * batch)
    out = np.full(n * n * batch, np.nan)
    cones.ZeroConeCpp(n).nt_scaling_matrix_batch_into(s, z, out, batch)
    np.testing.assert_array_equal(out, identity_batch(n, batch))
    assert not np.any(np.signbit(out))
    if (n, batch) == (2, 2):
        assert out.tolist() == [1.0, 0.0, 0.0, 1.0, 1.0, 0.0, 0.0, 1.0]


def test_nt_scaling_checks_and_their_order(cones):
    cone = cones.ZeroConeCpp(2)
    big = np.ones(2)
    cases = [
        (lambda: cone.nt_scaling_matrix_into(np.zeros(3), big, np.zeros(4)), "s expected 2 entries, got 3"),
        (lambda: cone.nt_scaling_matrix_into(big, np.zeros(1), np.zeros(4)), "z expected 2 entries, got 1"),
        (lambda: cone.nt_scaling_matrix_into(big, big, np.zeros(3)), "output expected 4 entries, got 3"),
        (lambda: cone.nt_scaling_matrix_batch_into(big, big, np.zeros(8), 2), "s expected 4 entries, got 2"),
        (lambda: cone.nt_scaling_matrix_into(big, TaggedArray(2, KDL_CUDA), np.zeros(4)),
         "input vectors must live on the same device"),
        (lambda: cone.nt_scaling_matrix_into(big, big, TaggedArray(4, KDL_CUDA)),
         "input and output must live on the same device"),
        (lambda: cone.nt_scaling_matrix(TaggedArray(2, KDL_CUDA), big), "s must be a CPU vector for dense NT scaling"),
        (lambda: cone.nt_scaling_matrix_array(big, TaggedArray(2, KDL_CUDA)),
         "z must be a CPU vector for dense NT scaling"),
        (lambda: cone.nt_scaling_matrix(big, big), NT_MSG),
        (lambda: cone.project_into(np.zeros(2), TaggedArray(2, KDL_CUDA)),
         "input and output must live on the same device"),
        (lambda: cone.project_into(np.zeros(2), np.zeros(3)), "output expected 2 entries, got 3"),
    ]
    for call, message in cases:
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == message


# --- device (emulated) ---------------------------------------------------------------

DEVICE_SIZES = [1, 255, 256, 257, 65536, 65537]


@pytest.mark.parametrize("n", [1, 7, 256, 257, 65537])
def test_device_projection_is_a_memset(cones, dev, rng, n):
    x = messy_vector(rng, n)
    d_in, d_out = dev.array(x), dev.empty(n)
    dev.clear_launches()
    cones.ZeroConeCpp(n).project_into(d_in, d_out)
    assert dev.launches() == []  # an asynchronous memset, no kernel
    got = dev.to_numpy(d_out)
    assert np.all(got == 0.0) and not np.any(np.signbit(got))
    np.testing.assert_array_equal(dev.to_numpy(d_in), x)
    cones.ZeroConeCpp(n).project_into(d_in, d_in)
    assert np.all(dev.to_numpy(d_in) == 0.0)


@pytest.mark.parametrize("n", DEVICE_SIZES)
def test_device_violation_matches_host(cones, dev, rng, n):
    x = messy_vector(rng, n, nan=False)
    cone = cones.ZeroConeCpp(n)
    got = cone.violation(dev.array(x))
    assert got == pytest.approx(cone.violation(x), rel=1e-13, abs=0.0)
    assert got == pytest.approx(np.linalg.norm(x), rel=1e-13, abs=0.0)


@pytest.mark.parametrize("special", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("n", [3, 300, 65537])
def test_device_violation_special_values(cones, dev, n, special):
    x = np.ones(n)
    x[n // 2] = special
    host = cones.ZeroConeCpp(n).violation(x)
    got = cones.ZeroConeCpp(n).violation(dev.array(x))
    assert (np.isnan(host) and np.isnan(got)) or got == host


@pytest.mark.parametrize("n", DEVICE_SIZES)
def test_device_membership_matches_host(cones, dev, rng, n):
    cone = cones.ZeroConeCpp(n)
    small = rng.uniform(-1e-9, 1e-9, n)
    cases = [small]
    for where in sorted({0, min(255, n - 1), min(256, n - 1), n - 1}):
        for bad_value in (2e-8, np.nan):
            bad = small.copy()
            bad[where] = bad_value
            cases.append(bad)
    for x in cases:
        d = dev.array(x)
        for atol in (1e-8, 0.0, 1.0, -1.0):
            want = cone.contains(x, atol)
            assert want is bool(np.all(np.abs(x) <= atol))  # independent statement of the test (NaN fails)
            assert cone.contains(d, atol) is want


def test_device_membership_boundary_is_inclusive(cones, dev):
    x = np.array([0.1, -0.1, 0.05])
    cone = cones.ZeroConeCpp(3)
    assert cone.contains(dev.array(x), 0.1) is True
    assert cone.contains(dev.array(x), np.nextafter(0.1, 0.0)) is False


@pytest.mark.parametrize("n, batch", [(2, 2), (1, 1), (5, 3), (17, 4), (300, 1)])
def test_device_nt_scaling_writes_identities(cones, dev, rng, n, batch):
    cone = cones.ZeroConeCpp(n)
    s = np.zeros(n * batch)
    want = np.full(n * n * batch, np.nan)
    cone.nt_scaling_matrix_batch_into(s, s, want, batch)
    # the device path does not test s or z: large values still give identities
    big = rng.standard_normal(n * batch)
    d_out = dev.empty(n * n * batch)
    dev.clear_launches()
    cone.nt_scaling_matrix_batch_into(dev.array(big), dev.array(big), d_out, batch)
    assert dev.launches() == ["zero_nt_scaling_kernel"]
    got = dev.to_numpy(d_out)
    np.testing.assert_array_equal(got, want)
    np.testing.assert_array_equal(got, identity_batch(n, batch))
    if batch == 1:
        d_out = dev.empty(n * n)
        cone.nt_scaling_matrix_into(dev.array(big), dev.array(big), d_out)
        np.testing.assert_array_equal(dev.to_numpy(d_out), np.eye(n).reshape(-1))


def test_device_empty_work_launches_nothing(cones, dev):
    empty = cones.ZeroConeCpp(0)
    dev.clear_launches()
    empty.project_into(dev.empty(0), dev.empty(0))
    assert empty.violation(dev.empty(0)) == 0.0
    assert empty.contains(dev.empty(0)) is True
    empty.nt_scaling_matrix_into(dev.empty(0), dev.empty(0), dev.empty(0))
    empty.nt_scaling_matrix_batch_into(dev.empty(0), dev.empty(0), dev.empty(0), 4)
    cones.ZeroConeCpp(3).nt_scaling_matrix_batch_into(dev.empty(0), dev.empty(0), dev.empty(0), 0)
    assert dev.launches() == []


@pytest.mark.parametrize("n", [5, 65537])
def test_device_runtime_failures_name_the_call(cones, dev, emu, n):
    cone = cones.ZeroConeCpp(n)
    x = dev.array(np.ones(n))
    for call in (lambda: cone.violation(x), lambda: cone.contains(x)):
        emu.fail_next("cudaMallocAsync", 2)
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value).startswith("cudaMallocAsync failed: ")
    # the operations work again once the injected failure is spent
    assert cone.violation(x) == pytest.approx(math.sqrt(n), rel=1e-15)
    assert cone.contains(x) is False


def test_device_streams_and_launch_failures(cones, dev, emu):
    cone = cones.ZeroConeCpp(4)
    x, pair = dev.array(np.ones(4)), dev.array(np.ones(8))
    stream = emu.stream_create()
    emu.clear_launches()
    cone.nt_scaling_matrix_batch_into(pair, pair, dev.empty(32), 2, stream=stream)
    cone.contains(x)
    assert [(e[0], e[4]) for e in emu.launches()] == [("zero_nt_scaling_kernel", stream), ("zero_contains_kernel", 0),
                                                     ("reduce_max_kernel", 0)]
    emu.stream_destroy(stream)
    for name, call in [("cudaMemsetAsync", lambda: cone.project_into(x, dev.empty(4), stream=2)),
                       ("zero_nt_scaling_kernel", lambda: cone.nt_scaling_matrix_into(x, x, dev.empty(16))),
                       ("zero_contains_kernel", lambda: cone.contains(x)),
                       ("reduce_sum_sq_kernel", lambda: cone.violation(x))]:
        emu.fail_next(name, 9 if name.endswith("kernel") else 1)  # refused at launch: named at once
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value).startswith(name + " failed: ")
