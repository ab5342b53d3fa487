"""Nonnegative orthant: host arithmetic against NumPy and hand-computed values, and the
device paths (emulated) against the host."""
import math

import numpy as np
import pytest

SIZES = [0, 1, 7, 256, 257, 8192, 8193, 65537]
INTERIOR_MSG = "nonnegative NT scaling requires strictly positive interior inputs"


def ref_project(x):
    return np.where(x > 0, x, 0.0)


def messy_vector(rng, n):
    x = rng.standard_normal(n) * 10.0 ** rng.integers(-3, 4, n)
    if n >= 5:
        x[rng.choice(n, size=min(n // 5, 50), replace=False)] = -0.0
        x[rng.choice(n, size=min(n // 7, 30), replace=False)] = np.nan
    return x


# --- host -------------------------------------------------------------------------

def test_projection_edge_values(cones):
    x = np.array([-1.0, -0.0, 0.0, 2.5, np.nan])
    out = np.full(5, 7.0)
    cones.NonnegativeConeCpp(5).project_into(x, out)
    assert out.tolist() == [0.0, 0.0, 0.0, 2.5, 0.0]
    assert not np.any(np.signbit(out))


@pytest.mark.parametrize("n", SIZES)
def test_projection_matches_reference(cones, rng, n):
    x = messy_vector(rng, n)
    out = np.empty(n)
    cones.NonnegativeConeCpp(n).project_into(x, out)
    np.testing.assert_array_equal(out, ref_project(x))
    assert not np.any(np.signbit(out))
    in_place = x.copy()
    cones.NonnegativeConeCpp(n).project_into(in_place, in_place)
    np.testing.assert_array_equal(in_place, out)


@pytest.mark.parametrize("n", SIZES)
def test_violation_matches_reference(cones, rng, ordered_sum, n):
    x = messy_vector(rng, n)
    got = cones.NonnegativeConeCpp(n).violation(x)
    want = math.sqrt(math.fsum(float(v) * float(v) for v in x if v < 0))  # exact sum, rounded once
    assert got == pytest.approx(want, rel=1e-13, abs=0.0)
    # the promised order of the sum, bit for bit, whatever the instruction set the loader
    # picked or the number of threads; and wherever x lies
    negative = np.where(x < 0, x, 0.0)
    assert got == math.sqrt(ordered_sum(negative * negative))
    buffer = np.empty(n + 16)
    start = (-buffer.ctypes.data // 8 + 1) % 8
    moved = buffer[start:start + n]
    moved[:] = x
    assert cones.NonnegativeConeCpp(n).violation(moved) == got


def test_violation_values(cones):
    assert cones.NonnegativeConeCpp(3).violation(np.array([3.0, -4.0, -12.0])) == np.sqrt(160.0)
    assert cones.NonnegativeConeCpp(3).violation(np.array([3.0, 0.0, np.nan])) == 0.0
    assert cones.NonnegativeConeCpp(0).violation(np.zeros(0)) == 0.0


@pytest.mark.parametrize(
    "x, atol, expected",
    [([-1e-8], 1e-8, True), ([-1.1e-8], 1e-8, False), ([np.nan], 1e-8, False), ([1.0, -0.5], 0.5, True),
     ([1.0, -0.5], 0.4999, False), ([0.0], -1e-3, False), ([2e-3], -1e-3, True), ([], 1e-8, True)],
)
def test_membership_values(cones, x, atol, expected):
    x = np.array(x, dtype=np.float64)
    assert cones.NonnegativeConeCpp(len(x)).contains(x, atol) is expected


@pytest.mark.parametrize("n", [8192, 8193, 100000])
@pytest.mark.parametrize("where", [0, -1, "none"])
def test_membership_parallel_scan(cones, n, where):
    x = np.ones(n)
    x[::3] = -1e-8  # on the tolerance: inside
    if where != "none":
        x[where] = -1.0
    assert cones.NonnegativeConeCpp(n).contains(x) is (where == "none")


def test_nt_scaling_list_and_array(cones):
    cone = cones.NonnegativeConeCpp(2)
    s, z = np.array([2.0, 4.0]), np.array([1.0, 2.0])
    assert cone.nt_scaling_matrix(s, z) == [0.5, 0.0, 0.0, 0.5]
    arr = cone.nt_scaling_matrix_array(s, z)
    assert arr.shape == (2, 2) and arr.dtype == np.float64 and arr.flags.c_contiguous and arr.flags.writeable
    np.testing.assert_array_equal(arr, [[0.5, 0.0], [0.0, 0.5]])


@pytest.mark.parametrize("n", [1, 5, 2048, 2049])
def test_nt_scaling_identity_hs_equals_z(cones, rng, n):
    s = rng.uniform(0.1, 10.0, n)
    z = rng.uniform(0.1, 10.0, n)
    cone = cones.NonnegativeConeCpp(n)
    arr = cone.nt_scaling_matrix_array(s, z)
    np.testing.assert_array_equal(arr, np.diag(z / s))
    np.testing.assert_allclose(arr @ s, z, rtol=1e-15)
    if n <= 64:
        np.testing.assert_array_equal(np.array(cone.nt_scaling_matrix(s, z)).reshape(n, n), arr)


def test_nt_scaling_empty_cone(cones):
    cone = cones.NonnegativeConeCpp(0)
    assert cone.nt_scaling_matrix(np.zeros(0), np.zeros(0)) == []
    assert cone.nt_scaling_matrix_array(np.zeros(0), np.zeros(0)).shape == (0, 0)
    assert cone.project_into(np.zeros(0), np.zeros(0)) is None
    assert cone.contains(np.zeros(0)) is True


@pytest.mark.parametrize("bad", [(0, "s"), (0, "z"), (1, "s"), (1, "z")])
@pytest.mark.parametrize("value", [0.0, -0.0, -1.0])
def test_nt_scaling_refuses_boundary_and_outside(cones, bad, value):
    index, which = bad
    s, z = np.ones(2), np.ones(2)
    (s if which == "s" else z)[index] = value
    cone = cones.NonnegativeConeCpp(2)
    for call in (lambda: cone.nt_scaling_matrix(s, z), lambda: cone.nt_scaling_matrix_array(s, z)):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == INTERIOR_MSG
    out = np.full(4, 3.0)
    with pytest.raises(RuntimeError) as info:
        cone.nt_scaling_matrix_into(s, z, out)
    assert str(info.value) == INTERIOR_MSG
    assert np.all(out == 3.0)


@pytest.mark.parametrize("n, batch", [(1, 1), (3, 3), (4, 2100), (100, 90)])
def test_nt_scaling_batch_into(cones, rng, n, batch):
    s = rng.uniform(0.5, 2.0, n * batch)
    z = rng.uniform(0.5, 2.0, n * batch)
    out = np.full(n * n * batch, np.nan)
    cones.NonnegativeConeCpp(n).nt_scaling_matrix_batch_into(s, z, out, batch)
    blocks = out.reshape(batch, n, n)
    for b in range(batch):
        np.testing.assert_array_equal(blocks[b], np.diag(z[b * n:(b + 1) * n] / s[b * n:(b + 1) * n]))


def test_nt_scaling_batch_refuses_before_writing(cones):
    n, batch = 3, 4
    s, z = np.ones(n * batch), np.ones(n * batch)
    s[-1] = -2.0  # last item of the batch: nothing written for the earlier ones either
    out = np.full(n * n * batch, 5.0)
    with pytest.raises(RuntimeError, match=INTERIOR_MSG):
        cones.NonnegativeConeCpp(n).nt_scaling_matrix_batch_into(s, z, out, batch)
    assert np.all(out == 5.0)


def test_nt_scaling_batch_zero(cones):
    cone = cones.NonnegativeConeCpp(3)
    assert cone.nt_scaling_matrix_batch_into(np.zeros(0), np.zeros(0), np.zeros(0), 0) is None


def test_owned_arrays_release_their_buffers(cones):
    """New arrays own their buffer: many large results do not accumulate."""
    import resource

    cone = cones.NonnegativeConeCpp(1000)
    s = np.ones(1000)
    for _ in range(3):
        cone.nt_scaling_matrix_array(s, s)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for _ in range(200):  # 8 MB each: 1.6 GB if they leaked
        a = cone.nt_scaling_matrix_array(s, s)
        assert a[999, 999] == 1.0
        del a
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    assert after - before < 200_000  # KiB


# --- device (emulated) -------------------------------------------------------------

@pytest.mark.parametrize(
    "n, offset, kernel",
    [(8, 0, "nonnegative4_kernel"), (6, 16, "nonnegative2_kernel"), (6, 0, "nonnegative2_kernel"),
     (8, 16, "nonnegative2_kernel"), (8, 8, "nonnegative_kernel"), (7, 0, "nonnegative_kernel"),
     (65536, 0, "nonnegative4_kernel"), (65537, 0, "nonnegative_kernel")],
)
def test_device_projection_kernel_choice(cones, dev, rng, n, offset, kernel):
    x = messy_vector(rng, n)
    d_in = dev.array(x, offset=offset)
    d_out = dev.empty(n, offset=offset)
    dev.clear_launches()
    cones.NonnegativeConeCpp(n).project_into(d_in, d_out)
    assert dev.launches() == [kernel]
    got = dev.to_numpy(d_out)
    np.testing.assert_array_equal(got, ref_project(x))
    assert not np.any(np.signbit(got)), "-0.0 and NaN must become +0.0"


def test_device_projection_mixed_alignment_and_in_place(cones, dev, rng):
    x = messy_vector(rng, 64)
    d_in, d_out = dev.array(x, offset=0), dev.empty(64, offset=8)
    dev.clear_launches()
    cones.NonnegativeConeCpp(64).project_into(d_in, d_out)
    assert dev.launches() == ["nonnegative_kernel"]
    np.testing.assert_array_equal(dev.to_numpy(d_out), ref_project(x))
    d = dev.array(x)
    cones.NonnegativeConeCpp(64).project_into(d, d)
    np.testing.assert_array_equal(dev.to_numpy(d), ref_project(x))


@pytest.mark.parametrize("n", [1, 255, 256, 257, 65536, 65537])
def test_device_violation_and_membership_match_host(cones, dev, rng, n):
    x = messy_vector(rng, n)
    cone = cones.NonnegativeConeCpp(n)
    d = dev.array(x)
    assert cone.violation(d) == pytest.approx(cone.violation(x), rel=1e-13)
    for atol in (1e-8, 0.0, 1e3, -1e-3):
        assert cone.contains(d, atol) is cone.contains(x, atol)


def test_device_membership_negative_tolerance(cones, dev):
    x = np.array([1.0, 2.0, 3.0])
    cone = cones.NonnegativeConeCpp(3)
    assert cone.contains(x, -0.5) is True
    assert cone.contains(dev.array(x), -0.5) is True
    assert cone.contains(dev.array(x), -1.0) is True
    assert cone.contains(dev.array(x), -1.5) is False


@pytest.mark.parametrize("n, batch", [(1, 1), (2, 1), (3, 5), (17, 3), (64, 2)])
def test_device_nt_scaling_matches_host(cones, dev, rng, n, batch):
    s = rng.uniform(0.1, 5.0, n * batch)
    z = rng.uniform(0.1, 5.0, n * batch)
    cone = cones.NonnegativeConeCpp(n)
    want = np.empty(n * n * batch)
    cone.nt_scaling_matrix_batch_into(s, z, want, batch)
    d_out = dev.empty(n * n * batch)
    cone.nt_scaling_matrix_batch_into(dev.array(s), dev.array(z), d_out, batch)
    np.testing.assert_array_equal(dev.to_numpy(d_out), want)
    if batch == 1:
        d_out = dev.empty(n * n)
        cone.nt_scaling_matrix_into(dev.array(s), dev.array(z), d_out)
        np.testing.assert_array_equal(dev.to_numpy(d_out), want)


def test_device_nt_scaling_example(cones, dev):
    d_out = dev.empty(4)
    cones.NonnegativeConeCpp(2).nt_scaling_matrix_into(dev.array([1.0, 2.0]), dev.array([3.0, 8.0]), d_out)
    assert dev.to_numpy(d_out).tolist() == [3.0, 0.0, 0.0, 4.0]


def test_device_empty_work_launches_nothing(cones, dev):
    """n = 0 and batch = 0 return like the host does instead of launching an empty grid."""
    empty = cones.NonnegativeConeCpp(0)
    dev.clear_launches()
    empty.project_into(dev.empty(0), dev.empty(0))
    assert empty.violation(dev.empty(0)) == 0.0
    assert empty.contains(dev.empty(0)) is True
    empty.nt_scaling_matrix_into(dev.empty(0), dev.empty(0), dev.empty(0))
    cones.NonnegativeConeCpp(3).nt_scaling_matrix_batch_into(dev.empty(0), dev.empty(0), dev.empty(0), 0)
    assert dev.launches() == []


def test_device_indices_beyond_32_bits(cones, dev, emu):
    """Threads of blocks 2^24 and up handle elements 2^32 and up. Only the last two
    blocks run (the emulator's block window) over lazily mapped 32 GiB arrays: with a
    32-bit index they would write elements 0..511 instead of the last 512."""
    n = 2**32 + 512
    x_tail = np.linspace(-3.0, 3.0, 512)
    d_in = emu.lazy_empty(n, offset=8)  # 8-byte aligned: the scalar kernel
    d_out = emu.lazy_empty(n, offset=8)
    emu.write(d_in, n - 512, x_tail)
    emu.write(d_out, 0, np.full(512, 7.0))
    emu.write(d_out, n - 512, np.full(512, 7.0))
    emu.run_only_blocks(2**24, 2)
    dev.clear_launches()
    cones.NonnegativeConeCpp(n).project_into(d_in, d_out)
    assert dev.launches() == ["nonnegative_kernel"]
    np.testing.assert_array_equal(emu.read(d_out, n - 512, 512), np.maximum(x_tail, 0.0))
    assert np.all(emu.read(d_out, 0, 512) == 7.0)


def test_device_batched_matrices_beyond_32_bits(cones, dev, emu):
    """One-entry matrices, 2^32 + 256 of them: entry i of the output is item i."""
    batch = 2**32 + 256
    s, z, h = emu.lazy_empty(batch), emu.lazy_empty(batch), emu.lazy_empty(batch)
    emu.write(s, batch - 256, np.full(256, 2.0))
    emu.write(z, batch - 256, np.arange(256.0))
    emu.write(h, 0, np.full(256, 7.0))
    emu.run_only_blocks(2**24, 1)
    cones.NonnegativeConeCpp(1).nt_scaling_matrix_batch_into(s, z, h, batch)
    np.testing.assert_array_equal(emu.read(h, batch - 256, 256), np.arange(256.0) / 2.0)
    assert np.all(emu.read(h, 0, 256) == 7.0)
