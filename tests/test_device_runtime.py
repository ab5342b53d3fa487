"""Device runtime layer on the CUDA host emulation: per-thread device selection, error
texts of failing runtime calls and launches, multi-pass reductions, the availability gate."""
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

from dlpack_tags import KDL_CUDA, TaggedArray


def run_in_thread(fn):
    result = {}

    def target():
        try:
            result["value"] = fn()
        except BaseException as exc:  # reported to the test thread
            result["error"] = exc

    t = threading.Thread(target=target)
    t.start()
    t.join()
    if "error" in result:
        raise result["error"]
    return result["value"]


def test_device_is_current_for_the_call_only(cones, dev, emu):
    """A call on the thread's current device makes no cudaSetDevice call; a call on another
    device makes it current for the call and then restores the caller's (two calls): the
    current device is shared with every library of the process, whose next allocation must
    not land on our device."""
    cone = cones.NonnegativeConeCpp(4)
    x = [1.0, -2.0, 3.0, -4.0]
    d0, d1, out1 = dev.array(x), dev.array(x, device=1), dev.empty(4, device=1)

    def work():
        steps = []
        for call in (lambda: cone.violation(d0), lambda: cone.violation(d1), lambda: cone.project_into(d1, out1),
                     lambda: emu.set_device(1), lambda: cone.contains(d1), lambda: cone.contains(d0)):
            before = emu.set_device_calls()
            call()
            steps.append((emu.set_device_calls() - before, emu.get_device()))
        return steps

    assert run_in_thread(work) == [(0, 0), (2, 0), (2, 0), (1, 1), (0, 1), (2, 1)]
    np.testing.assert_array_equal(dev.to_numpy(out1), [1.0, 0.0, 3.0, 0.0])


def test_second_ordinal(cones, dev, emu):
    cone = cones.NonnegativeConeCpp(3)
    x = np.array([-1.0, 2.0, -2.0])
    d1 = dev.array(x, device=1)
    out = dev.empty(3, device=1)
    cone.project_into(d1, out)
    assert emu.get_device() == 0
    np.testing.assert_array_equal(dev.to_numpy(out), [0.0, 2.0, 0.0])
    assert cone.violation(d1) == np.sqrt(5.0)
    with pytest.raises(RuntimeError, match="input and output must live on the same device"):
        cone.project_into(d1, dev.empty(3, device=0))


@pytest.mark.parametrize(
    "target, status, call, text",
    [
        ("cudaMallocAsync", 2, "violation", "cudaMallocAsync failed: out of memory"),
        ("reduce_sum_sq_kernel", 9, "violation", "reduce_sum_sq_kernel failed: invalid configuration argument"),
        ("cudaMemcpyAsync", 1, "violation", "cudaMemcpyAsync failed: invalid argument"),
        ("cudaFreeAsync", 1, "violation", "cudaFreeAsync failed: invalid argument"),
        ("cudaStreamSynchronize", 1, "violation", "cudaStreamSynchronize failed: invalid argument"),
        ("nonnegative_contains_kernel", 701, "contains",
         "nonnegative_contains_kernel failed: too many resources requested for launch"),
        ("reduce_max_kernel", 9, "contains", "reduce_max_kernel failed: invalid configuration argument"),
        ("nonnegative4_kernel", 9, "project", "nonnegative4_kernel failed: invalid configuration argument"),
        ("nonnegative_nt_scaling_kernel", 701, "nt",
         "nonnegative_nt_scaling_kernel failed: too many resources requested for launch"),
        ("cudaSetDevice", 101, "project1", "cudaSetDevice failed: invalid device ordinal"),
    ],
)
def test_runtime_failures_name_the_call_and_free_scratch(cones, dev, emu, target, status, call, text):
    """Failures of a call or of a launch's configuration are reported at once under that
    call's or kernel's name; they are not sticky, and the caller's current device is back."""
    n = 1024
    cone = cones.NonnegativeConeCpp(n)
    x = dev.array(np.linspace(-1.0, 1.0, n))
    out = dev.empty(n)
    s = dev.array(np.ones(n))
    h = dev.empty(n * n)
    calls = {
        "violation": lambda: cone.violation(x),
        "contains": lambda: cone.contains(x),
        "project": lambda: cone.project_into(x, out),
        "project1": lambda: cone.project_into(dev.array(np.ones(n), device=1), dev.empty(n, device=1)),
        "nt": lambda: cone.nt_scaling_matrix_into(s, s, h),
    }
    emu.fail_next(target, status)
    with pytest.raises(RuntimeError) as info:
        calls[call]()
    assert str(info.value) == text
    assert emu.get_device() == 0
    # the layer works again afterwards (the dev fixture also checks no scratch leaked)
    assert cone.violation(x) == pytest.approx(np.linalg.norm(np.minimum(np.linspace(-1.0, 1.0, n), 0.0)))


FAULT_TEXT = {700: "an illegal memory access was encountered", 719: "unspecified launch failure"}


@pytest.mark.parametrize("kernel, call, status", [("nonnegative4_kernel", "project", 700),
                                                  ("nonnegative_nt_scaling_kernel", "nt", 719),
                                                  ("reduce_sum_sq_kernel", "violation", 719),
                                                  ("nonnegative_contains_kernel", "contains", 700)])
def test_execution_faults_surface_at_the_next_synchronising_call_and_stay(cones, dev, emu, kernel, call, status):
    """A kernel that faults while it runs (an illegal address, a launch failure) is not
    reported by its launch but by the next synchronising call, under that call's name, in
    whatever operation makes it; from then on every call fails (the error is sticky)."""
    n = 1024
    cone = cones.NonnegativeConeCpp(n)
    x = dev.array(np.linspace(-1.0, 1.0, n))
    out = dev.empty(n)
    calls = {
        "violation": lambda: cone.violation(x),
        "contains": lambda: cone.contains(x),
        "project": lambda: cone.project_into(x, out),
        "nt": lambda: cone.nt_scaling_matrix_into(x, x, dev.empty(n * n)),
    }
    text = FAULT_TEXT[status]
    emu.fail_next(kernel, status)
    if call in ("project", "nt"):
        calls[call]()  # asynchronous: nothing to report yet
        call = "violation"
    with pytest.raises(RuntimeError) as info:
        calls[call]()
    assert str(info.value) == f"cudaStreamSynchronize failed: {text}"
    for again in ("violation", "contains", "project", "nt"):
        with pytest.raises(RuntimeError, match=f" failed: {text}$"):
            calls[again]()
    emu.reset()  # a fresh device
    assert cone.contains(x) is False


def test_failed_selection_changes_nothing(cones, dev, emu):
    cone = cones.NonnegativeConeCpp(2)
    d = dev.array([1.0, 1.0], device=1)

    def work():
        emu.fail_next("cudaSetDevice", 101)
        with pytest.raises(RuntimeError) as info:
            cone.violation(d)
        assert str(info.value) == "cudaSetDevice failed: invalid device ordinal"
        assert emu.get_device() == 0
        before = emu.set_device_calls()
        assert cone.violation(d) == 0.0
        return emu.set_device_calls() - before

    assert run_in_thread(work) == 2, "after a failed selection the next call selects again (and restores)"


def test_scalar_results_follow_blocking_streams_and_wait_on_their_own_stream_only(cones, dev, emu):
    """Scalar results run on the legacy default stream: they see what the caller queued on a
    blocking stream (with streams deferred, the projection below runs only because the
    violation's work follows it), and they wait for their own stream, not for the device:
    a non-blocking stream's work stays queued, and no cudaMalloc or device-wide
    synchronisation is made."""
    cone = cones.NonnegativeConeCpp(300)
    x = dev.array(np.full(300, -1.0))
    y, z = dev.empty(300), dev.empty(300)
    emu.set_modes(deferred=True)
    blocking, non_blocking = emu.stream_create(), emu.stream_create(non_blocking=True)
    try:
        cone.project_into(x, y, stream=blocking)
        cone.project_into(x, z, stream=non_blocking)
        for name in ("cudaMalloc", "cudaDeviceSynchronize", "cudaFree", "cudaMemcpy"):
            emu.fail_next(name, 1)
        assert cone.violation(y) == 0.0 and cone.contains(y) is True
        assert emu.pending_injections() == 4
        assert emu.queued_operations() == 1  # the non-blocking stream's projection
    finally:
        emu.clear_injections()
        emu.set_modes(deferred=False)
        emu.drain()
        emu.stream_destroy(blocking)
        emu.stream_destroy(non_blocking)
    np.testing.assert_array_equal(dev.to_numpy(z), np.zeros(300))


def test_scalar_results_and_stream_work_while_a_graph_is_captured(cones, dev, emu, rng):
    """Array libraries capture CUDA graphs on non-blocking streams (global mode): while
    they do, cudaMalloc, cudaFree and device-wide synchronisation are refused and would
    invalidate the capture. Scalar results on the legacy stream still work, and the
    asynchronous operations are capturable (stream-ordered scratch only)."""
    nonneg, soc, psd = cones.NonnegativeConeCpp(300), cones.SecondOrderConeCpp(5), cones.PsdConeCpp(3)
    expo, psd2 = cones.ExponentialConeCpp(4), cones.PsdConeCpp(2)
    x = rng.standard_normal(300)
    v5, e12, p3 = rng.standard_normal(5), rng.standard_normal(12), np.array([2.0, 0.3, -1.0])
    a = rng.standard_normal((3, 3))
    spd = a @ a.T + 3 * np.eye(3)
    r2 = np.sqrt(2.0)
    s6 = np.array([spd[0, 0], spd[1, 0] * r2, spd[1, 1], spd[2, 0] * r2, spd[2, 1] * r2, spd[2, 2]])
    dx, dv, de, dp, ds = dev.array(x), dev.array(v5), dev.array(e12), dev.array(p3), dev.array(s6)
    h = dev.empty(36)
    stream = emu.stream_create(non_blocking=True)
    assert emu.begin_capture(stream) == 0
    try:
        got = [nonneg.violation(dx), nonneg.contains(dx), soc.violation(dv), soc.contains(dv), expo.violation(de),
               expo.contains(de), psd2.violation(dp), psd2.contains(dp)]
        psd.nt_scaling_matrix_batch_into(ds, ds, h, 1, stream=stream)
    finally:
        status = emu.end_capture(stream)
    assert status == 0, "the capture was invalidated"
    want = [nonneg.violation(x), nonneg.contains(x), soc.violation(v5), soc.contains(v5), expo.violation(e12),
            expo.contains(e12), psd2.violation(p3), psd2.contains(p3)]
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=0)
    assert emu.stream_synchronize(stream) == 0
    np.testing.assert_allclose(dev.to_numpy(h), psd.nt_scaling_matrix_array(s6, s6).ravel(), rtol=1e-9, atol=1e-12)
    emu.stream_destroy(stream)


def test_blocking_waits_release_the_interpreter_lock(cones, dev, emu, rng):
    """Every device wait of the module is entered without the interpreter lock: a host
    callback queued on any stream that needs the lock (CuPy's launch_host_func) could never
    run otherwise, and every Python thread would stall for the whole queue. The emulator's
    probe fails any wait entered with the lock held."""
    emu.set_modes(gil_probe=True)
    try:
        d = dev.array(rng.standard_normal(600))
        for cone in (cones.ZeroConeCpp(600), cones.NonnegativeConeCpp(600), cones.SecondOrderConeCpp(600),
                     cones.ExponentialConeCpp(200)):
            cone.violation(d)
            cone.contains(d)
            cone.project_into(d, dev.empty(600))
        cones.PsdConeCpp(2).violation(dev.array([1.0, 0.0, -1.0]))
    finally:
        emu.set_modes(gil_probe=False)


POOLLESS_CHILD = """
import numpy as np
import _cpp_cuda as cones
import _cuemu
assert _cuemu.memory_pools_supported(0) == (0, 0)
rng = np.random.default_rng(5)
def spd(n):
    a = rng.standard_normal((n, n))
    return a @ a.T + n * np.eye(n)
def svec(m):
    n = m.shape[0]
    return np.array([m[p, q] * (1.0 if p == q else np.sqrt(2.0)) for p in range(n) for q in range(p + 1)])
live = _cuemu.live_allocations()
for n in (3, 5):
    s, z = svec(spd(n)), svec(spd(n))
    m = n * (n + 1) // 2
    cone = cones.PsdConeCpp(n)
    h = _cuemu.empty(2 * m * m)
    cone.nt_scaling_matrix_batch_into(_cuemu.array(np.tile(s, 2)), _cuemu.array(np.tile(z, 2)), h, 2)
    want = cone.nt_scaling_matrix_array(s, z).ravel()
    np.testing.assert_allclose(_cuemu.to_numpy(h), np.tile(want, 2), rtol=1e-9, atol=1e-12)
    indptr = np.arange(0, m * m + 1, m, dtype=np.int64)
    indices = np.tile(np.arange(m, dtype=np.int64), m)
    values = _cuemu.empty(m * m)
    cone.hmatrix_csr_values_into(_cuemu.array(s), _cuemu.array(z), _cuemu.array(indptr), _cuemu.array(indices),
                                 values)
    np.testing.assert_allclose(_cuemu.to_numpy(values), want, rtol=1e-9, atol=1e-12)
x = rng.standard_normal(70000)
for cone in (cones.NonnegativeConeCpp(70000), cones.SecondOrderConeCpp(70000)):
    assert abs(cone.violation(_cuemu.array(x)) - cone.violation(x)) <= 1e-9 * cone.violation(x)
del h, values
_cuemu.drain()
assert _cuemu.live_allocations() == live
print("pool-less ok")
"""


def test_devices_without_memory_pools_use_plain_allocations(dev):
    """Where cudaDevAttrMemoryPoolsSupported is 0, cudaMallocAsync is not supported: the
    stream-ordered scratch falls back to cudaMalloc, freed after its stream has finished.
    The module asks once per device, so this runs in a fresh process."""
    env = dict(os.environ, CUEMU_MEMORY_POOLS="0")
    result = subprocess.run([sys.executable, "-c", POOLLESS_CHILD], env=env, capture_output=True, text=True,
                            timeout=600)
    assert result.returncode == 0 and "pool-less ok" in result.stdout, result.stdout + result.stderr


@pytest.mark.parametrize("n, passes", [(1, 1), (256, 1), (257, 2), (65536, 2), (65537, 3)])
def test_reduction_passes(cones, dev, n, passes):
    x = np.full(n, -1.0)
    cone = cones.NonnegativeConeCpp(n)
    d = dev.array(x)
    dev.clear_launches()
    assert cone.violation(d) == pytest.approx(np.sqrt(n), rel=1e-14)
    assert dev.launches() == ["reduce_sum_sq_kernel"] * passes
    dev.clear_launches()
    assert cone.contains(d) is False
    blocks = (n + 255) // 256
    max_passes = 1 if blocks <= 256 else 2
    assert dev.launches() == ["nonnegative_contains_kernel"] + ["reduce_max_kernel"] * max_passes


def test_single_violating_entry_found_in_every_position(cones, dev):
    n = 600
    cone = cones.NonnegativeConeCpp(n)
    for pos in (0, 255, 256, 511, 599):
        x = np.ones(n)
        x[pos] = -2.0
        d = dev.array(x)
        assert cone.contains(d) is False
        assert cone.violation(d) == 2.0


@pytest.mark.parametrize("count, status", [(0, 0), (2, 35), (2, 100)])
def test_availability_gate(cones, dev, emu, count, status):
    d = dev.array(np.ones(2))
    emu.configure(count, status)
    try:
        assert cones.has_cuda() is False
        with pytest.raises(RuntimeError) as info:
            cones.NonnegativeConeCpp(2).violation(d)
        assert str(info.value) == "CUDA runtime is required for CUDA cone arrays"
        # length checks still come first
        with pytest.raises(RuntimeError, match="input expected 3 entries, got 2"):
            cones.NonnegativeConeCpp(3).violation(d)
    finally:
        emu.configure(2, 0)
    assert cones.has_cuda() is True
    assert cones.NonnegativeConeCpp(2).violation(d) == 0.0


def test_tagged_cuda_arrays_from_other_producers_are_routed(cones, dev):
    """The device is decided by the DLPack tag alone; a second ordinal tag refuses mixing."""
    with pytest.raises(RuntimeError, match="input and output must live on the same device"):
        cones.NonnegativeConeCpp(2).project_into(dev.array([1.0, 2.0]), TaggedArray(2, KDL_CUDA, 1))
