"""Several Python threads calling the module at once: every call holds the interpreter
lock (OpenMP teams inside host calls), so results must equal those of the same calls
made one after another; the device selection is per thread and survives the other
threads' selections."""
import sys
import threading

import numpy as np
import pytest

THREADS = 6
ROUNDS = 12


@pytest.fixture
def fast_switching():
    """Interleave the threads as finely as the interpreter allows."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(work, count=THREADS):
    """work(k) in `count` threads started together; returns their results in order and
    re-raises the first failure."""
    results, errors = [None] * count, []
    start = threading.Barrier(count, timeout=120)

    def body(k):
        try:
            start.wait()
            results[k] = work(k)
        except BaseException as e:  # noqa: BLE001 - reported to the main thread
            errors.append(e)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return results


def svec_of(m):
    r, c = np.tril_indices(m.shape[0])
    return m[r, c] * np.where(r == c, 1.0, np.sqrt(2.0))


def host_jobs(cones, rng):
    """Calls large enough for the parallel loops (above 8192 entries, 4096 cones, SOC
    columns from 256), each returning a value or a fresh output array."""
    n = 20000
    x = rng.standard_normal(n)
    nonneg, zero, nonneg3 = cones.NonnegativeConeCpp(n), cones.ZeroConeCpp(n), cones.NonnegativeConeCpp(3)
    soc = cones.SecondOrderConeCpp(n)
    expo = cones.ExponentialConeCpp(5000)
    e = rng.standard_normal(15000)
    soc_small = cones.SecondOrderConeCpp(300)
    tail = rng.standard_normal(299)
    s_soc = np.concatenate([[np.linalg.norm(tail) + 1.0], tail])
    z_soc = np.concatenate([[np.linalg.norm(tail[::-1]) + 2.0], tail[::-1]])
    psd = cones.PsdConeCpp(6)
    a = rng.standard_normal((6, 6))
    s_psd, z_psd = svec_of(a @ a.T + 6 * np.eye(6)), svec_of(a.T @ a + 6 * np.eye(6))
    ones = np.abs(x) + 1.0

    def into(fn, size):
        def call():
            out = np.empty(size)
            fn(out)
            return out
        return call

    return [
        into(lambda out: nonneg.project_into(x, out), n),
        lambda: nonneg.violation(x),
        lambda: nonneg.contains(x, atol=0.5),
        lambda: zero.violation(x),
        into(lambda out: soc.project_into(x, out), n),
        lambda: soc.violation(x),
        into(lambda out: expo.project_into(e, out), 15000),
        lambda: expo.violation(e),
        lambda: soc_small.nt_scaling_matrix_array(s_soc, z_soc),
        into(lambda out: nonneg3.nt_scaling_matrix_batch_into(ones[:9000], ones[9000:18000], out, 3000), 9 * 3000),
        lambda: psd.nt_scaling_matrix_array(s_psd, z_psd),
        into(lambda out: psd.project_into(s_psd - 3.0, out), 21),
        lambda: cones.NonnegativeConeCpp(3000).nt_scaling_matrix_array(ones[:3000], ones[3000:6000]),
    ]


def same(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def test_host_calls_from_threads_equal_serial_calls(cones, rng, fast_switching):
    jobs = host_jobs(cones, rng)
    serial = [job() for job in jobs]

    def work(k):
        order = np.random.default_rng(k).permutation(len(jobs) * ROUNDS) % len(jobs)
        return [(i, jobs[i]()) for i in order]

    for results in run_threads(work):
        for i, value in results:
            assert same(value, serial[i]), f"job {i} gave another result in a thread"


def device_jobs(cones, dev, device, rng):
    n = 3000
    x = rng.standard_normal(n)
    nonneg, soc, expo = cones.NonnegativeConeCpp(n), cones.SecondOrderConeCpp(n), cones.ExponentialConeCpp(n // 3)
    psd = cones.PsdConeCpp(4)
    a = rng.standard_normal((4, 4))
    s_psd, z_psd = svec_of(a @ a.T + 4 * np.eye(4)), svec_of(a.T @ a + 4 * np.eye(4))
    dx = dev.array(x, device=device)
    ds, dz = dev.array(s_psd, device=device), dev.array(z_psd, device=device)
    indptr = dev.array(np.arange(11, dtype=np.int64), device=device)
    indices = dev.array(np.arange(10, dtype=np.int64), device=device)

    def into(fn, size):
        def call():
            out = dev.empty(size, device=device)
            fn(out)
            return dev.to_numpy(out)
        return call

    return [
        into(lambda out: nonneg.project_into(dx, out, stream=device + 1), n),
        lambda: nonneg.violation(dx),
        lambda: nonneg.contains(dx, atol=0.25),
        into(lambda out: soc.project_into(dx, out), n),
        lambda: soc.violation(dx),
        lambda: expo.contains(dx),
        into(lambda out: psd.nt_scaling_matrix_into(ds, dz, out), 100),
        into(lambda out: psd.hmatrix_csr_values_into(ds, dz, indptr, indices, out), 10),
    ]


def test_device_calls_from_threads_equal_serial_calls(cones, dev, emu, rng, fast_switching):
    """Threads alternate between the two devices (arrays of each live on their device);
    every result equals the serial one, no memory leaks (the fixture checks)."""
    jobs = {d: device_jobs(cones, dev, d, np.random.default_rng(11)) for d in (0, 1)}
    serial = {d: [job() for job in jobs[d]] for d in (0, 1)}
    assert all(same(a, b) for a, b in zip(serial[0], serial[1]))  # same inputs on both devices

    def work(k):
        rng = np.random.default_rng(100 + k)
        out = []
        for _ in range(4):
            d = int(rng.integers(0, 2))
            for i in rng.permutation(len(jobs[d])):
                out.append((d, i, jobs[d][i]()))
                assert emu.get_device() == 0  # every call restores the thread's current device
        return out

    for results in run_threads(work):
        for d, i, value in results:
            assert same(value, serial[d][i]), f"device {d} job {i} gave another result in a thread"


def test_device_selection_is_per_thread(cones, dev, emu):
    """A call on device d makes d current for its own duration only: on a thread whose
    current device is d it calls cudaSetDevice not at all, on another thread twice (select,
    restore), and every thread keeps its own current device; no thread's selection leaks
    into another's calls."""
    cone = cones.NonnegativeConeCpp(8)
    arrays = {d: dev.array(np.arange(8.0) - 4.0, device=d) for d in (0, 1)}
    want = cone.violation(np.arange(8.0) - 4.0)
    barrier = threading.Barrier(4, timeout=120)

    def work(k):
        d, own = k % 2, k // 2  # the array's device; the thread's own current device
        assert emu.set_device(own) == 0  # as another library of the process would
        start = emu.set_device_calls()
        calls = []
        barrier.wait()
        for _ in range(5):
            assert cone.violation(arrays[d]) == want
            assert emu.get_device() == own
            calls.append(emu.set_device_calls() - start)
        barrier.wait()
        return calls, d == own

    for calls, same in run_threads(work, count=4):
        assert calls == [(0 if same else 2) * (i + 1) for i in range(5)]


def test_short_lived_threads_release_their_emulated_launch_state(cones, dev):
    """Threads that launch kernels and exit (their fiber stacks go with them) leave
    correct results and no device memory behind, over many thread lifetimes."""
    cone = cones.SecondOrderConeCpp(600)
    x = np.linspace(-1.0, 1.0, 600)
    dx = dev.array(x)
    want = dev.empty(600)
    cone.project_into(dx, want)
    want = dev.to_numpy(want)

    def work(k):
        out = dev.empty(600)
        cone.project_into(dx, out)
        return dev.to_numpy(out)

    for _ in range(5):
        for got in run_threads(work, count=8):
            assert same(got, want)
