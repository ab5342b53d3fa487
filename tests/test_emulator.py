"""Tests of the CUDA host emulation layer itself (libcuemu), driven through the _cuemu helper module."""

import concurrent.futures
import gc
import itertools
import math
import os
import resource
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

cuemu = pytest.importorskip("_cuemu")

# Status codes of the real runtime.
SUCCESS = 0
INVALID_VALUE = 1
OUT_OF_MEMORY = 2
INVALID_CONFIGURATION = 9
INVALID_MEMCPY_DIRECTION = 21
INSUFFICIENT_DRIVER = 35
NO_DEVICE = 100
INVALID_DEVICE = 101
INVALID_HANDLE = 400
ILLEGAL_ADDRESS = 700
LAUNCH_TIMEOUT = 702
LAUNCH_FAILURE = 719
NOT_SUPPORTED = 801
CAPTURE_UNSUPPORTED = 900
CAPTURE_INVALIDATED = 901
CAPTURE_IMPLICIT = 906

H2H, H2D, D2H, D2D, DEFAULT_KIND = 0, 1, 2, 3, 4
KIB = 1024


@pytest.fixture(autouse=True)
def clean_runtime():
    """Each test starts and ends with default devices, empty counters and device 0 on this thread."""

    modes = cuemu.modes()

    def restore():
        cuemu.set_modes(**modes)
        cuemu.reset()
        if cuemu.get_device() != 0:
            cuemu.set_device(0)
        cuemu.reset()

    restore()
    # The emulator's own tests start from the plain emulation whatever the environment says;
    # tests of a mode turn it on themselves.
    cuemu.set_modes(deferred=False, random_order=False, races=False, perturb_math=False, gil_probe=False)
    yield
    restore()


@pytest.fixture
def plain():
    """The plain emulation: in-order blocks and threads, streams run at once, exact math."""
    cuemu.set_modes(deferred=False, random_order=False, races=False, perturb_math=False, gil_probe=False)


@pytest.fixture
def hooks():
    """Tests of the memory-access hooks need a build whose device code reaches them."""
    if not cuemu.instrumented():
        pytest.skip("the sanitizer build has no memory-access hooks")


@pytest.fixture
def other_thread():
    """One extra OS thread, reused for every call within a test (like a persistent worker)."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as pool:
        yield lambda fn, *args: pool.submit(fn, *args).result(timeout=60)


def dims3(d):
    return tuple(d) + (1,) * (3 - len(d))


def block_chunks(x, threads):
    return [x[i : i + threads] for i in range(0, len(x), threads)]


# ---------------------------------------------------------------------------------------------
# Launch rules
# ---------------------------------------------------------------------------------------------
LAUNCH_RULES = [
    # grid, block, dynamic shared bytes, expected status
    pytest.param((1,), (1,), 0, SUCCESS, id="minimal"),
    pytest.param((0,), (1,), 0, INVALID_CONFIGURATION, id="grid-x-zero"),
    pytest.param((1, 0), (1,), 0, INVALID_CONFIGURATION, id="grid-y-zero"),
    pytest.param((1, 1, 0), (1,), 0, INVALID_CONFIGURATION, id="grid-z-zero"),
    pytest.param((1,), (0,), 0, INVALID_CONFIGURATION, id="block-x-zero"),
    pytest.param((1,), (1, 0), 0, INVALID_CONFIGURATION, id="block-y-zero"),
    pytest.param((1,), (1, 1, 0), 0, INVALID_CONFIGURATION, id="block-z-zero"),
    pytest.param((2,), (1024,), 0, SUCCESS, id="block-x-1024"),
    pytest.param((1,), (1025,), 0, INVALID_CONFIGURATION, id="block-x-1025"),
    pytest.param((1,), (1, 1024), 0, SUCCESS, id="block-y-1024"),
    pytest.param((1,), (1, 1025), 0, INVALID_CONFIGURATION, id="block-y-1025"),
    pytest.param((1,), (1, 1, 64), 0, SUCCESS, id="block-z-64"),
    pytest.param((1,), (1, 1, 65), 0, INVALID_CONFIGURATION, id="block-z-65"),
    pytest.param((1,), (32, 32), 0, SUCCESS, id="1024-threads-2d"),
    pytest.param((1,), (32, 33), 0, INVALID_CONFIGURATION, id="1056-threads-2d"),
    pytest.param((1,), (16, 16, 8), 0, INVALID_CONFIGURATION, id="2048-threads-3d"),
    pytest.param((2**31,), (1,), 0, INVALID_CONFIGURATION, id="grid-x-2^31"),
    pytest.param((1, 65535), (1,), 0, SUCCESS, id="grid-y-65535"),
    pytest.param((1, 65536), (1,), 0, INVALID_CONFIGURATION, id="grid-y-65536"),
    pytest.param((1, 1, 65535), (1,), 0, SUCCESS, id="grid-z-65535"),
    pytest.param((1, 1, 65536), (1,), 0, INVALID_CONFIGURATION, id="grid-z-65536"),
    pytest.param((3,), (32,), 48 * KIB, SUCCESS, id="shared-48KiB"),
    pytest.param((1,), (32,), 48 * KIB + 1, INVALID_VALUE, id="shared-48KiB+1"),
    pytest.param((0,), (32,), 64 * KIB, INVALID_CONFIGURATION, id="configuration-checked-first"),
]


@pytest.mark.parametrize("grid, block, shared, expected", LAUNCH_RULES)
def test_launch_rules(grid, block, shared, expected):
    status, ran = cuemu.kernel_count(grid, block, shared=shared, stream=0, name="rules")
    assert status == expected
    threads = int(np.prod(dims3(grid), dtype=np.int64) * np.prod(dims3(block), dtype=np.int64))
    assert ran == (threads if expected == SUCCESS else 0)
    assert cuemu.launches() == [("rules", dims3(grid), dims3(block), shared, 0)]
    assert cuemu.launch_statuses() == [expected]
    assert cuemu.get_last_error() == SUCCESS  # the helper already consumed the launch error


def test_launch_log_records_every_attempt_in_order():
    stream = cuemu.stream_create()
    cuemu.kernel_count((2, 3), (4,), shared=16, stream=stream, name="first")
    cuemu.kernel_count((1,), (2000,), name="refused")
    cuemu.fail_next("injected", OUT_OF_MEMORY)
    cuemu.kernel_count((5,), (1,), name="injected")
    cuemu.kernel_count((1,), (1,), stream=12345, name="unknown stream")
    assert cuemu.launches() == [
        ("first", (2, 3, 1), (4, 1, 1), 16, stream),
        ("refused", (1, 1, 1), (2000, 1, 1), 0, 0),
        ("injected", (5, 1, 1), (1, 1, 1), 0, 0),
        ("unknown stream", (1, 1, 1), (1, 1, 1), 0, 12345),
    ]
    assert cuemu.launch_statuses() == [SUCCESS, INVALID_CONFIGURATION, OUT_OF_MEMORY, INVALID_HANDLE]
    assert cuemu.stream_destroy(stream) == SUCCESS
    cuemu.clear_launches()
    assert cuemu.launches() == []


def test_many_threads_without_barriers_all_run():
    status, ran = cuemu.kernel_count((4096,), (256,))
    assert (status, ran) == (SUCCESS, 4096 * 256)


# ---------------------------------------------------------------------------------------------
# Thread and block coordinates
# ---------------------------------------------------------------------------------------------
@pytest.mark.parametrize(
    "grid, block",
    [((5,), (7,)), ((3, 2), (4, 2)), ((2, 3), (1, 1, 8)), ((2, 3, 2), (2, 2, 3)), ((1, 4), (1, 16))],
)
def test_coordinates_across_grid(grid, block):
    g, b = dims3(grid), dims3(block)
    expected = [
        [bx, by, bz, tx, ty, tz, *b, *g]
        for bz, by, bx in itertools.product(range(g[2]), range(g[1]), range(g[0]))
        for tz, ty, tx in itertools.product(range(b[2]), range(b[1]), range(b[0]))
    ]
    out = cuemu.empty(len(expected) * 12, dtype="int64")
    assert cuemu.kernel_coords(out, grid, block) == SUCCESS
    np.testing.assert_array_equal(cuemu.to_numpy(out).reshape(-1, 12), np.array(expected))


# ---------------------------------------------------------------------------------------------
# Barriers and shared memory
# ---------------------------------------------------------------------------------------------
@pytest.mark.parametrize("threads", [1, 2, 32, 256])
@pytest.mark.parametrize("n", [1, 255, 256, 1000, 4097])
def test_tree_sum_matches_block_sums(n, threads):
    rng = np.random.default_rng(n * 1000 + threads)
    x = rng.integers(-1000, 1000, n).astype(np.float64)  # integers: every summation order is exact
    blocks = -(-n // threads)
    out = cuemu.empty(blocks)
    assert cuemu.kernel_tree_sum(cuemu.array(x), out, threads) == SUCCESS
    np.testing.assert_array_equal(cuemu.to_numpy(out), [c.sum() for c in block_chunks(x, threads)])


def test_tree_sum_of_real_values():
    x = np.random.default_rng(3).standard_normal(3000)
    out = cuemu.empty(12)
    assert cuemu.kernel_tree_sum(cuemu.array(x), out, 256) == SUCCESS
    np.testing.assert_allclose(cuemu.to_numpy(out), [c.sum() for c in block_chunks(x, 256)], rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("threads", [1, 7, 64, 1024])
def test_no_thread_passes_a_barrier_before_all_arrive(threads):
    blocks, rounds = 3, 4
    order = cuemu.empty(blocks * rounds * threads, dtype="int64")
    assert cuemu.kernel_phases(order, blocks, threads, rounds) == SUCCESS
    tickets = cuemu.to_numpy(order).reshape(blocks, rounds, threads)
    for b, r in itertools.product(range(blocks), range(rounds)):
        # Round r's tickets are exactly the r-th group of `threads`: all of round r-1 came first.
        np.testing.assert_array_equal(np.sort(tickets[b, r]), np.arange(r * threads, (r + 1) * threads))


@pytest.mark.parametrize("threads, rounds", [(2, 1), (33, 3), (256, 5), (1024, 2), (16, 17)])
def test_shared_memory_rotation_through_barriers(threads, rounds):
    x = np.arange(3 * threads, dtype=np.float64) * 1.5
    out = cuemu.empty(x.size)
    assert cuemu.kernel_rotate(cuemu.array(x), out, threads, rounds) == SUCCESS
    expected = np.concatenate([np.roll(c, -rounds) for c in block_chunks(x, threads)])
    np.testing.assert_array_equal(cuemu.to_numpy(out), expected)


# Mode -> words expected in the failure description.
DIVERGENT_MODES = {
    1: "exited while",
    2: "different barriers",
    3: "exited while",
    4: "exited while",
    5: "exited while",
}


@pytest.mark.parametrize("threads", [8, 1024])
@pytest.mark.parametrize("mode", sorted(DIVERGENT_MODES))
def test_divergent_barrier_is_an_execution_fault(plain, mode, threads):
    marks = cuemu.empty(3, fill=0.0)
    assert cuemu.kernel_divergent(mode, marks, 3, threads) == SUCCESS  # the launch itself is fine
    assert cuemu.synchronize() == LAUNCH_FAILURE
    # The launch is abandoned in block 0: later blocks never start.
    np.testing.assert_array_equal(cuemu.to_numpy(marks), [1.0, 0.0, 0.0])
    failure = cuemu.last_failure()
    assert DIVERGENT_MODES[mode] in failure and "selftest_kernels.cpp" in failure
    assert cuemu.device_fault(0) == (LAUNCH_FAILURE, failure)
    assert cuemu.launch_statuses() == [SUCCESS]

    # Parked fibers were recycled: after a device reset a barrier-heavy launch works.
    cuemu.reset()
    order = cuemu.empty(2 * 3 * threads, dtype="int64")
    assert cuemu.kernel_phases(order, 2, threads, 3) == SUCCESS
    tickets = cuemu.to_numpy(order).reshape(2, 3, threads)
    np.testing.assert_array_equal(np.sort(tickets[1, 2]), np.arange(2 * threads, 3 * threads))


@pytest.mark.parametrize("threads", [1, 8, 1024])
def test_uniform_barrier_is_fine(threads):
    marks = cuemu.empty(3, fill=0.0)
    assert cuemu.kernel_divergent(0, marks, 3, threads) == SUCCESS
    np.testing.assert_array_equal(cuemu.to_numpy(marks), [1.0, 1.0, 1.0])
    assert cuemu.last_failure() == ""


@pytest.mark.parametrize("random_order", [False, True])
@pytest.mark.parametrize("threads, width", [(32, 32), (64, 4), (48, 16), (96, 8)])
def test_warp_shuffles_exchange_within_teams(random_order, threads, width):
    """Teams of `width` lanes (a partial last warp included): an xor butterfly of shuffles
    gives every lane of a team the same sum, an indexed shuffle after __syncwarp the team's
    last x; in random thread order too."""
    cuemu.set_modes(random_order=random_order, seed=5)
    x = np.random.default_rng(threads + width).standard_normal(2 * threads)
    out = cuemu.empty(2 * x.size)
    assert cuemu.kernel_warp(0, cuemu.array(x), out, threads, width) == SUCCESS
    sums, last = cuemu.to_numpy(out).reshape(-1, 2).T
    teams = x.reshape(-1, width)
    np.testing.assert_allclose(sums, np.repeat(teams.sum(axis=1), width), rtol=0, atol=1e-14 * width)
    assert np.all(sums.reshape(-1, width) == sums.reshape(-1, width)[:, :1])  # bit for bit within a team
    np.testing.assert_array_equal(last, np.repeat(teams[:, -1], width))


# Mode -> words expected in the failure description.
WARP_MISUSE = {1: "does not name the calling lane", 2: "of its mask has exited", 3: "never arrive there",
               4: "reads lane 16, which its mask does not name"}


@pytest.mark.parametrize("mode", sorted(WARP_MISUSE))
def test_warp_misuse_is_an_execution_fault(plain, mode):
    out = cuemu.empty(128)
    assert cuemu.kernel_warp(mode, cuemu.array(np.ones(64)), out, 64) == SUCCESS
    assert cuemu.synchronize() == LAUNCH_FAILURE
    failure = cuemu.last_failure()
    assert WARP_MISUSE[mode] in failure and "selftest_kernels.cpp" in failure


@pytest.mark.parametrize("fault", ["divergent", ILLEGAL_ADDRESS, LAUNCH_FAILURE])
def test_execution_fault_surfaces_at_the_next_synchronising_call_and_stays(plain, other_thread, fault):
    """As on a GPU: the launch succeeds, the fault comes with the next synchronising call,
    and from then on every call on the device repeats it; cudaGetLastError never clears it.
    Another device is unaffected; only a device reset (the helper's reset) clears it."""
    if fault == "divergent":
        cuemu.kernel_divergent(1, cuemu.empty(1, fill=0.0), 1, 4, read_error=False)
        status = LAUNCH_FAILURE
    else:
        cuemu.fail_next("victim", fault)
        assert cuemu.kernel_count((2,), (3,), name="victim") == (SUCCESS, 0)  # it never ran
        status = fault
    assert cuemu.peek_last_error() == SUCCESS
    assert cuemu.get_last_error() == SUCCESS
    status_p = cuemu.malloc(8)
    assert status_p[0] == SUCCESS  # not a synchronising call: nothing reported yet
    assert cuemu.stream_synchronize(0) == status
    for _ in range(2):
        assert cuemu.synchronize() == status
        assert cuemu.get_last_error() == status
    assert cuemu.malloc(8) == (status, 0)
    assert cuemu.kernel_count((1,), (1,)) == (status, 0)
    assert other_thread(cuemu.synchronize) == status  # the whole process sees the device's fault
    assert cuemu.set_device(1) == SUCCESS and cuemu.synchronize() == SUCCESS
    assert cuemu.set_device(0) == SUCCESS
    assert cuemu.free(status_p[1]) == status  # still freed: the device is gone anyway
    cuemu.reset()
    assert cuemu.synchronize() == SUCCESS and cuemu.kernel_count((1,), (1,)) == (SUCCESS, 1)


@pytest.mark.parametrize("threads", [1, 64])
def test_big_stack_kernel(threads):
    n = 2 * threads
    x = np.random.default_rng(threads).integers(-50, 50, n).astype(np.float64)
    out = cuemu.empty(n)
    assert cuemu.kernel_big_stack(cuemu.array(x), out, threads) == SUCCESS
    locals_ = 11264
    gid = np.arange(n)[:, None]
    i = np.arange(locals_)[None, :]
    expected = (x[(i + gid) % n] * (i % 7 + 1)).sum(axis=1)
    np.testing.assert_array_equal(cuemu.to_numpy(out), expected)


@pytest.mark.parametrize("threads", [1, 16, 256, 1024])
@pytest.mark.parametrize("shared", [None, 48 * KIB])
def test_dynamic_shared_memory_is_per_block_and_starts_undefined(threads, shared):
    x = np.arange(3 * threads, dtype=np.float64) + 0.25
    out, first = cuemu.empty(x.size), cuemu.empty(x.size, fill=0.0)
    assert cuemu.kernel_dyn_reverse(cuemu.array(x), out, first, threads, shared) == SUCCESS
    expected = np.concatenate([c[::-1] for c in block_chunks(x, threads)])
    np.testing.assert_array_equal(cuemu.to_numpy(out), expected)
    # Nothing carries over from the previous block: every block first sees the poison pattern.
    assert np.isnan(cuemu.to_numpy(first)).all()


def test_dynamic_shared_memory_over_limit_is_refused():
    x = np.ones(32)
    out = cuemu.empty(32, fill=-3.0)
    first = cuemu.empty(32, fill=-3.0)
    status = cuemu.kernel_dyn_reverse(cuemu.array(x), out, first, 32, 48 * KIB + 8)
    assert status == INVALID_VALUE
    np.testing.assert_array_equal(cuemu.to_numpy(out), np.full(32, -3.0))


def test_kernels_run_on_the_selected_device():
    x = np.arange(300, dtype=np.float64)
    arr, out = cuemu.array(x, device=1), cuemu.empty(2, device=1)
    assert cuemu.set_device(1) == SUCCESS
    assert cuemu.kernel_count((2,), (3,)) == (SUCCESS, 6)
    assert cuemu.kernel_tree_sum(arr, out, 256) == SUCCESS
    np.testing.assert_array_equal(cuemu.to_numpy(out), [c.sum() for c in block_chunks(x, 256)])


def test_launch_on_a_device_beyond_the_configured_count_is_refused():
    assert cuemu.set_device(1) == SUCCESS
    cuemu.configure(1)
    assert cuemu.kernel_count((1,), (1,)) == (INVALID_DEVICE, 0)


def test_launches_from_another_thread_use_their_own_fibers(other_thread):
    x = np.arange(512, dtype=np.float64)
    out = cuemu.empty(2)
    assert other_thread(cuemu.kernel_tree_sum, cuemu.array(x), out, 256) == SUCCESS
    np.testing.assert_array_equal(cuemu.to_numpy(out), [c.sum() for c in block_chunks(x, 256)])


# ---------------------------------------------------------------------------------------------
# Devices and set-device counting
# ---------------------------------------------------------------------------------------------
def test_set_device_calls_are_counted_per_thread(other_thread):
    assert cuemu.set_device_calls() == 0
    for _ in range(3):
        assert cuemu.get_device() == 0  # querying is not selecting
    assert cuemu.set_device_calls() == 0
    assert cuemu.set_device(1) == SUCCESS
    assert (cuemu.get_device(), cuemu.set_device_calls()) == (1, 1)
    assert cuemu.set_device(1) == SUCCESS  # the emulator counts every call, repeated or not
    assert cuemu.set_device_calls() == 2

    # A new thread starts on device 0 with its own zero count.
    assert other_thread(cuemu.set_device_calls) == 0
    assert other_thread(cuemu.get_device) == 0
    assert other_thread(cuemu.set_device, 1) == SUCCESS
    assert other_thread(cuemu.set_device_calls) == 1
    assert cuemu.set_device_calls() == 2

    # reset() zeroes the counters of every thread.
    cuemu.reset()
    assert other_thread(cuemu.set_device_calls) == 0
    assert cuemu.set_device_calls() == 0


@pytest.mark.parametrize("ordinal", [-1, 2, 64])
def test_set_device_refuses_bad_ordinals(ordinal):
    assert cuemu.set_device(1) == SUCCESS
    assert cuemu.set_device(ordinal) == INVALID_DEVICE
    assert cuemu.get_device() == 1
    assert cuemu.set_device_calls() == 2
    assert cuemu.get_last_error() == INVALID_DEVICE


@pytest.mark.parametrize(
    "count, status, reported",
    [
        (2, SUCCESS, (SUCCESS, 2)),
        (1, SUCCESS, (SUCCESS, 1)),
        (5, SUCCESS, (SUCCESS, 5)),
        (0, NO_DEVICE, (NO_DEVICE, None)),
        (2, INSUFFICIENT_DRIVER, (INSUFFICIENT_DRIVER, None)),
    ],
)
def test_device_count_configurations(count, status, reported):
    cuemu.configure(count, status)
    assert cuemu.device_count() == reported
    assert cuemu.get_last_error() == status
    top = count - 1
    if status == SUCCESS:
        assert cuemu.set_device(top) == SUCCESS and cuemu.get_device() == top
        assert cuemu.set_device(count) == INVALID_DEVICE
    else:
        # Without a driver or device, selecting, allocating and launching all fail the same way.
        assert cuemu.set_device(0) == status
        assert cuemu.malloc(8) == (status, 0)
        assert cuemu.kernel_count((1,), (1,)) == (status, 0)
        assert cuemu.synchronize() == status


@pytest.mark.parametrize("count", [-1, 65])
def test_configure_rejects_impossible_counts(count):
    with pytest.raises(ValueError):
        cuemu.configure(count)


def test_device_count_default_after_reset():
    cuemu.configure(0, NO_DEVICE)
    cuemu.reset()
    assert cuemu.device_count() == (SUCCESS, 2)


# ---------------------------------------------------------------------------------------------
# Device memory and allocation tracking
# ---------------------------------------------------------------------------------------------
@pytest.mark.parametrize("device", [0, 1])
@pytest.mark.parametrize("offset", [0, 8, 16, 24])
@pytest.mark.parametrize("dtype", [np.float64, np.int64])
def test_arrays_round_trip_with_requested_alignment(dtype, offset, device):
    host = (np.arange(37) * 3 - 20).astype(dtype)
    arr = cuemu.array(host, device=device, offset=offset)
    assert cuemu.pointer(arr) % 256 == offset
    assert cuemu.pointer_device(cuemu.pointer(arr)) == device
    assert arr.__dlpack_device__() == (2, device)
    back = cuemu.to_numpy(arr)
    assert back.dtype == dtype
    np.testing.assert_array_equal(back, host)


def test_array_lifetime_is_tracked():
    start, start_bytes = cuemu.live_allocations(), cuemu.live_bytes()
    arrays = [cuemu.array(np.ones(10)), cuemu.empty(5, dtype="int64", offset=8), cuemu.array(np.ones(3), device=1)]
    assert cuemu.live_allocations() == start + 3
    assert cuemu.live_bytes() == start_bytes + 80 + (8 + 40) + 24
    views = [cuemu.to_numpy(a) for a in arrays]
    del arrays
    gc.collect()
    assert (cuemu.live_allocations(), cuemu.live_bytes()) == (start, start_bytes)
    assert [v.size for v in views] == [10, 5, 3]  # host copies outlive the device memory
    assert cuemu.faults() == 0


@pytest.mark.parametrize("dtype, fill, expected", [("float64", None, np.nan), ("float64", 2.5, 2.5), ("int64", None, -1), ("int64", 7.0, 7)])
def test_empty_fill(dtype, fill, expected):
    arr = cuemu.empty(6, dtype=dtype) if fill is None else cuemu.empty(6, dtype=dtype, fill=fill)
    np.testing.assert_array_equal(cuemu.to_numpy(arr), np.full(6, expected, dtype=dtype))


def test_array_argument_checks():
    with pytest.raises(TypeError):
        cuemu.array(np.ones(3, dtype=np.float32))
    with pytest.raises(ValueError):
        cuemu.array(np.ones(3), device=2)
    with pytest.raises(ValueError):
        cuemu.empty(3, dtype="float32")
    with pytest.raises(ValueError):
        cuemu.empty(3, dtype="int64", fill=1e30)


def test_readonly_arrays_are_refused_for_writing_but_readable():
    arr = cuemu.array(np.arange(4.0), readonly=True)
    with pytest.raises(TypeError):
        cuemu.kernel_poke(arr, 0, 1.0)
    np.testing.assert_array_equal(cuemu.to_numpy(arr), np.arange(4.0))


def test_pinned_arrays_are_host_memory_tagged_cuda_host():
    host = np.arange(5, dtype=np.int64)
    pinned = cuemu.pinned(host)
    assert pinned.__dlpack_device__() == (3, 0)
    assert cuemu.pointer_device(cuemu.pointer(pinned)) == -1
    with pytest.raises(TypeError):
        cuemu.to_numpy(pinned)  # not CUDA device memory
    with pytest.raises(TypeError):
        cuemu.kernel_poke(pinned, 0, 1.0)


def test_malloc_free_and_bad_frees():
    start = cuemu.live_allocations()
    status, p = cuemu.malloc(100)
    assert status == SUCCESS and p % 256 == 0 and cuemu.pointer_device(p) == 0
    assert cuemu.live_allocations() == start + 1
    assert cuemu.free(p + 8) == INVALID_VALUE  # interior pointer
    assert cuemu.faults() == 1
    assert cuemu.free(p) == SUCCESS
    assert cuemu.live_allocations() == start
    assert cuemu.free(p) == INVALID_VALUE  # double free
    assert cuemu.faults() == 2
    assert cuemu.free(0) == SUCCESS
    assert cuemu.faults() == 2
    assert cuemu.malloc(0) == (SUCCESS, 0)  # like the real runtime: a null pointer, no allocation
    assert cuemu.live_allocations() == start


@pytest.mark.parametrize("use_async", [False, True])
def test_allocation_records_the_current_device(use_async):
    assert cuemu.set_device(1) == SUCCESS
    status, p = cuemu.malloc(64, use_async=use_async, stream=0)
    assert status == SUCCESS and cuemu.pointer_device(p) == 1
    assert cuemu.free(p, use_async=use_async) == SUCCESS
    assert cuemu.pointer_device(p) == -1


def test_fresh_device_memory_is_poisoned():
    status, p = cuemu.malloc(24)
    host = np.zeros(24, dtype=np.uint8)
    assert cuemu.memcpy(host.ctypes.data, p, 24, D2H) == SUCCESS
    assert (host == 0xFF).all()
    cuemu.free(p)


@pytest.fixture
def device_buffer():
    status, p = cuemu.malloc(64)
    assert status == SUCCESS
    yield p
    cuemu.free(p)


# (dst is device?, dst offset, src is device?, src offset, bytes, kind, expected status)
COPIES = [
    pytest.param(True, 0, False, 0, 64, H2D, SUCCESS, id="h2d-whole"),
    pytest.param(True, 8, False, 0, 56, H2D, SUCCESS, id="h2d-tail"),
    pytest.param(True, 8, False, 0, 57, H2D, INVALID_VALUE, id="h2d-past-end"),
    pytest.param(True, 0, False, 0, 65, H2D, INVALID_VALUE, id="h2d-too-long"),
    pytest.param(False, 0, True, 0, 64, D2H, SUCCESS, id="d2h-whole"),
    pytest.param(False, 0, True, 32, 33, D2H, INVALID_VALUE, id="d2h-past-end"),
    pytest.param(True, 32, True, 0, 32, D2D, SUCCESS, id="d2d-within"),
    pytest.param(True, 0, False, 0, 64, DEFAULT_KIND, SUCCESS, id="default-infers-h2d"),
    pytest.param(False, 0, True, 0, 64, DEFAULT_KIND, SUCCESS, id="default-infers-d2h"),
    pytest.param(False, 0, False, 0, 64, H2D, INVALID_VALUE, id="h2d-with-host-destination"),
    pytest.param(True, 0, True, 0, 64, H2D, INVALID_VALUE, id="h2d-with-device-source"),
    pytest.param(True, 0, False, 0, 64, D2H, INVALID_VALUE, id="d2h-into-device"),
    pytest.param(True, 0, False, 0, 64, H2H, INVALID_VALUE, id="h2h-touching-device"),
    pytest.param(True, 0, False, 0, 0, H2D, SUCCESS, id="zero-bytes"),
]


@pytest.mark.parametrize("dst_dev, dst_off, src_dev, src_off, nbytes, kind, expected", COPIES)
@pytest.mark.parametrize("use_async", [False, True])
def test_copy_range_checks(device_buffer, dst_dev, dst_off, src_dev, src_off, nbytes, kind, expected, use_async):
    host_src = np.arange(64, dtype=np.uint8) + 1
    host_dst = np.zeros(64, dtype=np.uint8)
    # Known device contents: bytes 101..164.
    assert cuemu.memcpy(device_buffer, (np.arange(64, dtype=np.uint8) + 101).ctypes.data, 64, H2D) == SUCCESS
    dst = (device_buffer if dst_dev else host_dst.ctypes.data) + dst_off
    src = (device_buffer if src_dev else host_src.ctypes.data) + src_off
    status = cuemu.memcpy(dst, src, nbytes, kind, use_async)
    assert status == expected
    assert cuemu.faults() == (0 if expected == SUCCESS else 1)

    device_after = np.zeros(64, dtype=np.uint8)
    assert cuemu.memcpy(device_after.ctypes.data, device_buffer, 64, D2H) == SUCCESS
    device_before = np.arange(64, dtype=np.uint8) + 101
    source = (device_before if src_dev else host_src)[src_off : src_off + nbytes]
    if expected == SUCCESS and dst_dev:
        want = device_before.copy()
        want[dst_off : dst_off + nbytes] = source
        np.testing.assert_array_equal(device_after, want)
    else:
        np.testing.assert_array_equal(device_after, device_before)
    if expected == SUCCESS and not dst_dev:
        np.testing.assert_array_equal(host_dst[dst_off : dst_off + nbytes], source)


def test_invalid_copy_kind(device_buffer):
    host = np.zeros(8)
    assert cuemu.memcpy(device_buffer, host.ctypes.data, 8, 7) == INVALID_MEMCPY_DIRECTION
    assert cuemu.faults() == 0


@pytest.mark.parametrize("use_async", [False, True])
@pytest.mark.parametrize("offset, nbytes, expected", [(0, 64, SUCCESS), (60, 4, SUCCESS), (60, 5, INVALID_VALUE)])
def test_memset_range_checks(device_buffer, use_async, offset, nbytes, expected):
    assert cuemu.memset(device_buffer, 0, 64) == SUCCESS
    assert cuemu.memset(device_buffer + offset, 0x5A, nbytes, use_async) == expected
    host = np.zeros(64, dtype=np.uint8)
    cuemu.memcpy(host.ctypes.data, device_buffer, 64, D2H)
    want = np.zeros(64, dtype=np.uint8)
    if expected == SUCCESS:
        want[offset : offset + nbytes] = 0x5A
    np.testing.assert_array_equal(host, want)
    assert cuemu.faults() == (0 if expected == SUCCESS else 1)


# ---------------------------------------------------------------------------------------------
# Error state and failure injection
# ---------------------------------------------------------------------------------------------
ERROR_TEXTS = {
    SUCCESS: ("cudaSuccess", "no error"),
    INVALID_VALUE: ("cudaErrorInvalidValue", "invalid argument"),
    OUT_OF_MEMORY: ("cudaErrorMemoryAllocation", "out of memory"),
    INVALID_CONFIGURATION: ("cudaErrorInvalidConfiguration", "invalid configuration argument"),
    INSUFFICIENT_DRIVER: (
        "cudaErrorInsufficientDriver",
        "CUDA driver version is insufficient for CUDA runtime version",
    ),
    NO_DEVICE: ("cudaErrorNoDevice", "no CUDA-capable device is detected"),
    INVALID_DEVICE: ("cudaErrorInvalidDevice", "invalid device ordinal"),
    LAUNCH_FAILURE: ("cudaErrorLaunchFailure", "unspecified launch failure"),
}


@pytest.mark.parametrize("code", sorted(ERROR_TEXTS))
def test_error_names_and_strings(code):
    assert (cuemu.error_name(code), cuemu.error_string(code)) == ERROR_TEXTS[code]


def test_last_error_is_sticky_until_read():
    cuemu.fail_next("cudaMalloc", OUT_OF_MEMORY)
    assert cuemu.malloc(8) == (OUT_OF_MEMORY, 0)
    status, p = cuemu.malloc(8)  # a later success does not clear it
    assert status == SUCCESS
    assert cuemu.peek_last_error() == OUT_OF_MEMORY
    assert cuemu.peek_last_error() == OUT_OF_MEMORY
    assert cuemu.get_last_error() == OUT_OF_MEMORY
    assert cuemu.get_last_error() == SUCCESS
    cuemu.free(p)


def test_last_error_is_per_thread(other_thread):
    cuemu.fail_next("cudaMalloc", OUT_OF_MEMORY)
    assert other_thread(cuemu.malloc, 8) == (OUT_OF_MEMORY, 0)
    assert cuemu.peek_last_error() == SUCCESS
    assert other_thread(cuemu.get_last_error) == OUT_OF_MEMORY


def _call_malloc():
    return cuemu.malloc(8)[0]


def _call_malloc_async():
    return cuemu.malloc(8, use_async=True)[0]


def _call_set_device():
    return cuemu.set_device(1)


def _call_synchronize():
    return cuemu.synchronize()


def _call_stream_synchronize():
    return cuemu.stream_synchronize(0)


def _call_kernel():
    return cuemu.kernel_count((2,), (3,), name="victim")[0]


# name, call, injected status, whether the status is still pending as last error afterwards
# (the kernel helper returns cudaGetLastError(), which reads and clears it)
INJECTABLE = [
    pytest.param("cudaMalloc", _call_malloc, OUT_OF_MEMORY, True, id="cudaMalloc"),
    pytest.param("cudaMallocAsync", _call_malloc_async, OUT_OF_MEMORY, True, id="cudaMallocAsync"),
    pytest.param("cudaSetDevice", _call_set_device, INVALID_DEVICE, True, id="cudaSetDevice"),
    pytest.param("cudaDeviceSynchronize", _call_synchronize, INVALID_VALUE, True, id="cudaDeviceSynchronize"),
    pytest.param("cudaStreamSynchronize", _call_stream_synchronize, INVALID_VALUE, True, id="cudaStreamSynchronize"),
    pytest.param("victim", _call_kernel, INSUFFICIENT_DRIVER, False, id="kernel"),
]


@pytest.mark.parametrize("name, call, status, pending", INJECTABLE)
def test_injection_fails_the_next_call_once(plain, name, call, status, pending):
    cuemu.fail_next(name, status)
    assert cuemu.pending_injections() == 1
    assert call() == status
    assert cuemu.get_last_error() == (status if pending else SUCCESS)
    assert cuemu.pending_injections() == 0
    assert call() == SUCCESS
    assert cuemu.faults() == 0


def test_injected_kernel_does_not_run_and_other_kernels_are_unaffected():
    cuemu.fail_next("victim", OUT_OF_MEMORY)
    assert cuemu.kernel_count((2,), (3,), name="bystander") == (SUCCESS, 6)
    assert cuemu.kernel_count((2,), (3,), name="victim") == (OUT_OF_MEMORY, 0)
    assert cuemu.kernel_count((2,), (3,), name="victim") == (SUCCESS, 6)


def test_injected_set_device_is_counted_and_changes_nothing():
    cuemu.fail_next("cudaSetDevice", INVALID_DEVICE)
    assert cuemu.set_device(1) == INVALID_DEVICE
    assert (cuemu.get_device(), cuemu.set_device_calls()) == (0, 1)


@pytest.mark.parametrize("use_async", [False, True])
def test_injected_free_keeps_the_allocation(use_async):
    status, p = cuemu.malloc(32)
    live = cuemu.live_allocations()
    cuemu.fail_next("cudaFreeAsync" if use_async else "cudaFree", INVALID_VALUE)
    assert cuemu.free(p, use_async=use_async) == INVALID_VALUE
    assert cuemu.live_allocations() == live and cuemu.pointer_device(p) == 0
    assert cuemu.faults() == 0  # an injected failure is not a misuse
    assert cuemu.free(p, use_async=use_async) == SUCCESS
    assert cuemu.live_allocations() == live - 1


@pytest.mark.parametrize("name, use_async", [("cudaMemcpy", False), ("cudaMemcpyAsync", True)])
def test_injected_copy_copies_nothing(device_buffer, name, use_async):
    host = np.full(8, 3.0)
    cuemu.memset(device_buffer, 0, 64)
    cuemu.fail_next(name, INVALID_VALUE)
    assert cuemu.memcpy(device_buffer, host.ctypes.data, 64, H2D, use_async) == INVALID_VALUE
    back = np.ones(8)
    cuemu.memcpy(back.ctypes.data, device_buffer, 64, D2H)
    np.testing.assert_array_equal(back, np.zeros(8))


@pytest.mark.parametrize("name, use_async", [("cudaMemset", False), ("cudaMemsetAsync", True)])
def test_injected_memset_sets_nothing(device_buffer, name, use_async):
    cuemu.memset(device_buffer, 0, 64)
    cuemu.fail_next(name, INVALID_VALUE)
    assert cuemu.memset(device_buffer, 0x7F, 64, use_async) == INVALID_VALUE
    assert cuemu.memset(device_buffer, 0x11, 8, not use_async) == SUCCESS  # the other variant is unaffected
    back = np.ones(64, dtype=np.uint8)
    cuemu.memcpy(back.ctypes.data, device_buffer, 64, D2H)
    np.testing.assert_array_equal(back, np.r_[np.full(8, 0x11), np.zeros(56)].astype(np.uint8))


def test_injections_queue_in_order_and_reset_clears_them():
    cuemu.fail_next("cudaMalloc", OUT_OF_MEMORY)
    cuemu.fail_next("cudaMalloc", INVALID_VALUE)
    assert cuemu.malloc(8)[0] == OUT_OF_MEMORY
    assert cuemu.malloc(8)[0] == INVALID_VALUE
    cuemu.fail_next("cudaMalloc", OUT_OF_MEMORY)
    cuemu.reset()
    assert cuemu.pending_injections() == 0
    status, p = cuemu.malloc(8)
    assert status == SUCCESS
    cuemu.free(p)


# ---------------------------------------------------------------------------------------------
# Host access to device memory crashes (checked in a child process)
# ---------------------------------------------------------------------------------------------
def run_child(body):
    """Runs the (indented) snippet in a fresh interpreter, then prints 'survived'."""
    code = "import ctypes\nimport numpy as np\nimport _cuemu as cuemu\n" + textwrap.dedent(body) + "print('survived')\n"
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(cuemu.__file__))
    env["PYTHONPATH"] = os.pathsep.join([module_dir] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    env.pop("PYTHONFAULTHANDLER", None)
    for name in [k for k in env if k.startswith("CUEMU_")]:
        del env[name]  # the child runs the plain emulation
    return subprocess.run(
        [sys.executable, "-c", code],
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0)),  # expected crashes leave no core
    )


CRASHES = [
    pytest.param(
        """
        a = cuemu.array(np.ones(4))
        print(ctypes.c_double.from_address(cuemu.pointer(a)).value)
        """,
        id="host-read",
    ),
    pytest.param(
        """
        a = cuemu.array(np.ones(4))
        ctypes.c_double.from_address(cuemu.pointer(a)).value = 2.0
        """,
        id="host-write",
    ),
    pytest.param(
        """
        a = cuemu.array(np.ones(4))
        cuemu.kernel_poke(a, 0, 5.0)  # device work ends, the memory is closed again
        print(ctypes.c_double.from_address(cuemu.pointer(a)).value)
        """,
        id="host-read-after-launch",
    ),
    pytest.param(
        """
        a = cuemu.array(np.ones(32))  # 256 bytes: the next byte is the guard page
        cuemu.kernel_poke(a, 32, 1.0)
        """,
        id="kernel-overrun",
    ),
    pytest.param(
        """
        a = cuemu.array(np.ones(4), device=1)
        cuemu.kernel_poke(a, 0, 1.0)  # launched on device 0
        """,
        id="kernel-on-other-device",
    ),
]

NO_CRASHES = [
    pytest.param(
        """
        a = cuemu.array(np.ones(32))
        assert cuemu.kernel_poke(a, 31, 9.0) == 0
        assert cuemu.to_numpy(a)[31] == 9.0
        """,
        id="kernel-last-element",
    ),
    pytest.param(
        """
        a = cuemu.array(np.ones(4), device=1)
        assert cuemu.set_device(1) == 0
        assert cuemu.kernel_poke(a, 3, 4.0) == 0
        assert cuemu.to_numpy(a)[3] == 4.0
        """,
        id="kernel-on-same-device",
    ),
]


@pytest.mark.parametrize("body", CRASHES)
def test_device_memory_outside_device_work_crashes(body):
    result = run_child(body)
    assert result.returncode == -signal.SIGSEGV, result.stdout + result.stderr
    assert "survived" not in result.stdout


@pytest.mark.parametrize("body", NO_CRASHES)
def test_device_memory_inside_device_work_is_accessible(body):
    result = run_child(body)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "survived" in result.stdout


# ---------------------------------------------------------------------------------------------
# Streams: handles, queues, legacy ordering, deferred frees, memory pools, capture
# ---------------------------------------------------------------------------------------------
def test_stream_handles_are_validated(device_buffer):
    """An unknown handle, or a stream of another device, is refused like the real runtime's
    invalid resource handle; 0, cudaStreamLegacy (1) and cudaStreamPerThread (2) are valid."""
    for handle in (0, 1, 2):
        assert cuemu.kernel_count((1,), (1,), stream=handle) == (SUCCESS, 1)
    assert cuemu.kernel_count((1,), (1,), stream=12345) == (INVALID_HANDLE, 0)
    assert cuemu.malloc(8, use_async=True, stream=12345) == (INVALID_HANDLE, 0)
    assert cuemu.stream_synchronize(12345) == INVALID_HANDLE
    assert cuemu.get_last_error() == INVALID_HANDLE and cuemu.get_last_error() == SUCCESS  # not sticky
    assert cuemu.set_device(1) == SUCCESS
    other = cuemu.stream_create()
    assert cuemu.set_device(0) == SUCCESS
    assert cuemu.kernel_count((1,), (1,), stream=other) == (INVALID_HANDLE, 0)  # kernels run on the current device
    assert cuemu.stream_destroy(other) == SUCCESS
    assert cuemu.stream_destroy(other) == INVALID_HANDLE


@pytest.mark.parametrize("non_blocking", [False, True])
def test_deferred_streams_run_at_synchronisation_and_event_points(non_blocking):
    """Queued work runs only when a synchronising call or an event point needs it. Work on
    the legacy stream (the helper's read) waits for what a blocking stream queued before it,
    not for a non-blocking stream's work."""
    cuemu.set_modes(deferred=True)
    stream = cuemu.stream_create(non_blocking=non_blocking)
    assert cuemu.kernel_count((2,), (3,), stream=stream) == (SUCCESS, 0 if non_blocking else 6)
    a = cuemu.array(np.zeros(1))
    cuemu.kernel_poke(a, 0, 5.0)  # legacy stream
    assert cuemu.queued_operations() == 1
    event = cuemu.event_create()
    assert cuemu.event_record(event, 0) == SUCCESS
    cuemu.kernel_poke(a, 0, 6.0)
    assert cuemu.event_synchronize(event) == SUCCESS
    assert cuemu.queued_operations() == 1  # up to the event, not beyond
    assert cuemu.to_numpy(a)[0] == 6.0
    assert cuemu.queued_operations() == 0
    assert cuemu.event_destroy(event) == SUCCESS and cuemu.stream_destroy(stream) == SUCCESS


def test_free_async_is_stream_ordered_and_freed_memory_stays_inaccessible():
    cuemu.set_modes(deferred=True)
    stream = cuemu.stream_create(non_blocking=True)
    live = cuemu.live_allocations()
    status, p = cuemu.malloc(64, use_async=True, stream=stream)
    assert status == SUCCESS and cuemu.live_allocations() == live + 1
    assert cuemu.free(p, use_async=True, stream=stream) == SUCCESS
    assert cuemu.pointer_device(p) == 0, "freed before the stream got there"
    assert cuemu.stream_synchronize(stream) == SUCCESS
    assert cuemu.pointer_device(p) == -1 and cuemu.live_allocations() == live
    status, q = cuemu.malloc(64)
    assert q != p  # the freed range is kept inaccessible, not handed out again at once
    cuemu.free(q)
    cuemu.stream_destroy(stream)
    result = run_child(
        """
        status, p = cuemu.malloc(64, use_async=True)
        assert cuemu.free(p, use_async=True) == 0 and cuemu.synchronize() == 0
        a = cuemu.array(np.ones(4))
        print(ctypes.c_double.from_address(p).value)
        """
    )
    assert result.returncode == -signal.SIGSEGV, result.stdout + result.stderr


def test_memory_pools_can_be_unsupported():
    assert cuemu.memory_pools_supported(0) == (SUCCESS, 1)
    cuemu.set_modes(memory_pools=False)
    assert cuemu.memory_pools_supported(1) == (SUCCESS, 0)
    assert cuemu.malloc(8, use_async=True) == (NOT_SUPPORTED, 0)
    status, p = cuemu.malloc(8)
    assert status == SUCCESS
    assert cuemu.free(p, use_async=True) == NOT_SUPPORTED
    assert cuemu.free(p) == SUCCESS


@pytest.mark.parametrize("non_blocking", [True, False])
def test_capture_refuses_device_wide_calls(non_blocking):
    """While a stream is captured (global mode) cudaMalloc, cudaFree, blocking copies and
    cudaDeviceSynchronize fail and invalidate the capture; legacy-stream work fails only
    when the captured stream is a blocking one. Work queued on the captured stream is
    recorded, and runs once the capture ends."""
    stream = cuemu.stream_create(non_blocking=non_blocking)
    status, p = cuemu.malloc(16, use_async=True)
    assert cuemu.begin_capture(stream) == SUCCESS
    legacy = cuemu.kernel_count((1,), (1,), stream=0)
    assert legacy == ((SUCCESS, 1) if non_blocking else (CAPTURE_IMPLICIT, 0))
    status2, q = cuemu.malloc(8, use_async=True, stream=stream)
    assert status2 == SUCCESS  # stream-ordered allocation is capturable
    assert cuemu.free(q, use_async=True, stream=stream) == SUCCESS
    assert cuemu.pointer_device(q) == 0  # recorded, not run
    if non_blocking:
        assert cuemu.stream_synchronize(0) == SUCCESS
        assert cuemu.end_capture(stream) == SUCCESS
        assert cuemu.begin_capture(stream) == SUCCESS
    for call in (lambda: cuemu.malloc(8)[0], lambda: cuemu.free(p), cuemu.synchronize,
                 lambda: cuemu.memset(p, 0, 16), lambda: cuemu.stream_synchronize(stream)):
        assert call() == CAPTURE_UNSUPPORTED
    assert cuemu.end_capture(stream) == CAPTURE_INVALIDATED
    assert cuemu.synchronize() == SUCCESS and cuemu.free(p) == SUCCESS
    assert cuemu.stream_destroy(stream) == SUCCESS


def test_gil_probe_fails_a_wait_that_holds_the_interpreter_lock():
    cuemu.set_modes(gil_probe=True)
    assert cuemu.synchronize() == SUCCESS  # the helper releases the lock
    assert cuemu.synchronize_holding_gil(0) == LAUNCH_TIMEOUT
    assert "interpreter lock" in cuemu.last_failure()
    cuemu.set_modes(gil_probe=False)
    assert cuemu.synchronize_holding_gil(0) == SUCCESS


# ---------------------------------------------------------------------------------------------
# Strict execution: each deliberately wrong kernel passes the plain emulation and fails its mode
# ---------------------------------------------------------------------------------------------
def test_static_shared_memory_starts_undefined_in_every_block():
    out = cuemu.empty(4 * 32, fill=0.0)
    assert cuemu.kernel_shared_first(out, 4, 32) == SUCCESS
    assert np.isnan(cuemu.to_numpy(out)).all()


def test_random_thread_order_finds_a_missing_barrier(plain):
    x = np.arange(1.0, 9.0)
    out = cuemu.empty(8 * 64)
    assert cuemu.kernel_missing_barrier(cuemu.array(x), out, 64) == SUCCESS
    np.testing.assert_array_equal(cuemu.to_numpy(out), np.repeat(x, 64))  # passes in index order
    cuemu.set_modes(random_order=True, seed=7)
    assert cuemu.kernel_missing_barrier(cuemu.array(x), out, 64) == SUCCESS
    got = cuemu.to_numpy(out).reshape(8, 64)
    assert np.isnan(got).any(), "every thread ran after thread 0 in every block"


def test_random_block_order_is_a_seeded_permutation(plain):
    def tickets(seed):
        cuemu.reset()  # the order is fixed by the seed and the launch count since the reset
        cuemu.set_modes(random_order=seed is not None, seed=seed or 1)
        counter, t = cuemu.array(np.zeros(1)), cuemu.empty(64)
        assert cuemu.kernel_block_tickets(counter, t) == SUCCESS
        return cuemu.to_numpy(t)

    np.testing.assert_array_equal(tickets(None), np.arange(64.0))
    first, again, other = tickets(3), tickets(3), tickets(4)
    np.testing.assert_array_equal(np.sort(first), np.arange(64.0))
    assert not np.array_equal(first, np.arange(64.0))
    np.testing.assert_array_equal(first, again)  # the seed fixes the order
    assert not np.array_equal(first, other)


@pytest.mark.parametrize("mode, words", [(1, "writes device memory that another block of the launch writes"),
                                         (2, "device memory that another block of the launch rea")])
def test_race_checks_find_blocks_sharing_written_memory(plain, hooks, mode, words):
    a = cuemu.array(np.zeros(16))
    assert cuemu.kernel_sharing(mode, a) == SUCCESS and cuemu.synchronize() == SUCCESS  # not checked
    cuemu.set_modes(races=True)
    assert cuemu.kernel_sharing(0, a) == SUCCESS and cuemu.synchronize() == SUCCESS  # no sharing
    cuemu.exempt_from_race_checks(True)
    assert cuemu.kernel_sharing(mode, a) == SUCCESS and cuemu.synchronize() == SUCCESS
    cuemu.exempt_from_race_checks(False)
    assert cuemu.kernel_sharing(mode, a) == SUCCESS
    assert cuemu.synchronize() == LAUNCH_FAILURE
    assert words in cuemu.last_failure()


def test_watchdog_stops_a_kernel_that_never_ends(plain, hooks):
    cuemu.set_modes(op_limit=100000)
    out = cuemu.empty(1, fill=0.0)
    assert cuemu.kernel_spin(cuemu.array(np.zeros(1)), out) == SUCCESS
    assert cuemu.synchronize() == LAUNCH_TIMEOUT
    assert "watchdog" in cuemu.last_failure()
    cuemu.reset()
    assert cuemu.kernel_spin(cuemu.array(np.ones(1)), out) == SUCCESS and cuemu.synchronize() == SUCCESS


MATH = [(0, lambda a, b: math.exp(a)), (1, math.pow), (2, math.atan2), (3, lambda a, b: math.sin(a)),
        (4, lambda a, b: math.cos(a)), (5, math.hypot), (6, lambda a, b: math.sin(a) + math.cos(a))]


@pytest.mark.parametrize("f, host", MATH)
def test_perturbed_math_moves_device_results_by_one_or_two_ulp(plain, f, host):
    rng = np.random.default_rng(f)
    x = np.concatenate([rng.uniform(0.1, 3.0, 200), [0.0, np.inf, np.nan]])  # then cases defined exactly
    y = np.concatenate([rng.uniform(-2.0, 2.0, 200), [0.0, 1.0, 1.0]])
    want = np.array([host(a, b) if np.isfinite(a) or f in (2, 5) else np.nan for a, b in zip(x, y)])
    out = cuemu.empty(x.size)
    assert cuemu.kernel_math(f, cuemu.array(x), cuemu.array(y), out) == SUCCESS
    exact = cuemu.to_numpy(out)
    np.testing.assert_array_equal(exact[:200], want[:200])  # the host library, unperturbed
    cuemu.set_modes(perturb_math=True)
    assert cuemu.kernel_math(f, cuemu.array(x), cuemu.array(y), out) == SUCCESS
    got = cuemu.to_numpy(out)
    np.testing.assert_array_equal(got[200:], exact[200:])  # exact special cases stay exact
    steps = np.abs(got[:200].view(np.int64) - exact[:200].view(np.int64))
    if f == 6:  # a sum of two perturbed terms: a few ulp of the larger term
        assert np.all(np.abs(got[:200] - exact[:200]) <= 8 * np.spacing(np.maximum(abs(np.sin(x[:200])), 1.0)))
        assert np.any(steps > 0)
    else:
        assert np.all((steps >= 1) & (steps <= 2)), steps
