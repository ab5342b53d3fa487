"""Repeated calls do not grow memory: Python objects (tracemalloc), native memory
(resident set size), references held on the arguments, and emulated device memory.

Each case is called a few hundred times to reach a steady state, then thousands of
times more. Results are sized so that keeping one of them per call would grow memory by
tens of megabytes (tracemalloc: kilobytes per call; resident set: a capsule buffer or a
host temporary per call), far beyond the allocator's own fluctuation, while a steady
state varies by a few kilobytes: the bounds cannot flake and a leak cannot hide."""
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
WARMUP, CALLS = 300, 3000
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def svec_of(m):
    r, c = np.tril_indices(m.shape[0])
    return m[r, c] * np.where(r == c, 1.0, np.sqrt(2.0))


def spd(rng, n):
    a = rng.standard_normal((n, n))
    return a @ a.T + n * np.eye(n)


def soc_point(rng, n):
    tail = rng.standard_normal(n - 1)
    return np.concatenate([[np.linalg.norm(tail) + 1.0], tail])


def exp_point(rng, blocks):
    x, y = rng.uniform(-1, 1, blocks), rng.uniform(0.5, 1.5, blocks)
    return np.stack([x, y, y * np.exp(x / y) + 0.5], axis=1).reshape(-1)


def refused(call):
    def run():
        try:
            call()
        except RuntimeError:
            return
        raise AssertionError("expected a refusal")
    return run


def cases(cones):
    """(id, callable, arguments whose reference counts must not move). Arrays of 4096
    doubles and up, lists of 784 floats and up."""
    rng = np.random.default_rng(7)
    out = {}
    ones = np.ones(64)
    zero, nonneg = cones.ZeroConeCpp(32), cones.NonnegativeConeCpp(64)
    out["zero.unit_vector"] = (lambda: cones.ZeroConeCpp(1024).unit_vector(3), [])
    out["zero.unit_vector_array"] = (lambda: cones.ZeroConeCpp(4096).unit_vector_array(5), [])
    z32 = np.zeros(32)
    out["zero.nt_scaling_matrix"] = (lambda: zero.nt_scaling_matrix(z32, z32), [z32])
    out["zero.nt_scaling_matrix_array"] = (lambda: zero.nt_scaling_matrix_array(z32, z32), [z32])
    out["nonnegative.unit_vector"] = (lambda: cones.NonnegativeConeCpp(1024).unit_vector(7), [])
    out["nonnegative.unit_vector_array"] = (lambda: cones.NonnegativeConeCpp(4096).unit_vector_array(7), [])
    ones32 = np.ones(32)
    nonneg32 = cones.NonnegativeConeCpp(32)
    out["nonnegative.nt_scaling_matrix"] = (lambda: nonneg32.nt_scaling_matrix(ones32, ones32), [ones32])
    out["nonnegative.nt_scaling_matrix_array"] = (lambda: nonneg.nt_scaling_matrix_array(ones, ones), [ones])
    psd = cones.PsdConeCpp(7)  # rows 28: H has 784 entries
    s_psd, z_psd = svec_of(spd(rng, 7)), svec_of(spd(rng, 7))
    out["psd.unit_vector"] = (lambda: cones.PsdConeCpp(40).unit_vector(3), [])
    out["psd.unit_vector_array"] = (lambda: cones.PsdConeCpp(90).unit_vector_array(3), [])
    out["psd.nt_scaling_matrix"] = (lambda: psd.nt_scaling_matrix(s_psd, z_psd), [s_psd, z_psd])
    out["psd.nt_scaling_matrix_array"] = (lambda: psd.nt_scaling_matrix_array(s_psd, z_psd), [s_psd, z_psd])
    out["psd.nt_scaling_matrix_default_method"] = (lambda: psd.nt_scaling_matrix_default_method(4), [])
    big = svec_of(spd(rng, 40))
    dense = spd(rng, 40).reshape(-1)
    out["psd_smat"] = (lambda: cones.psd_smat(big, 40), [big])
    out["psd_svec"] = (lambda: cones.psd_svec(dense, 40), [dense])
    expo = cones.ExponentialConeCpp(10)
    s_exp, z_exp = exp_point(rng, 10), exp_point(rng, 10)
    out["exponential.unit_vector"] = (lambda: cones.ExponentialConeCpp(300).unit_vector(3), [])
    out["exponential.unit_vector_array"] = (lambda: cones.ExponentialConeCpp(1400).unit_vector_array(3), [])
    out["exponential.nt_scaling_matrix"] = (lambda: expo.nt_scaling_matrix(s_exp, z_exp), [s_exp, z_exp])
    out["exponential.nt_scaling_matrix_array"] = (lambda: expo.nt_scaling_matrix_array(s_exp, z_exp), [s_exp, z_exp])
    soc = cones.SecondOrderConeCpp(40)
    if hasattr(soc, "nt_scaling_matrix"):
        s_soc, z_soc = soc_point(rng, 40), soc_point(rng, 40)
        out["second_order.unit_vector"] = (lambda: cones.SecondOrderConeCpp(1000).unit_vector(3), [])
        out["second_order.unit_vector_array"] = (lambda: cones.SecondOrderConeCpp(4096).unit_vector_array(3), [])
        out["second_order.nt_scaling_matrix"] = (lambda: soc.nt_scaling_matrix(s_soc, z_soc), [s_soc, z_soc])
        out["second_order.nt_scaling_matrix_array"] = (lambda: soc.nt_scaling_matrix_array(s_soc, z_soc),
                                                       [s_soc, z_soc])
        out["second_order.nt_scaling_matrix_default_method"] = (lambda: soc.nt_scaling_matrix_default_method(), [])
    # host temporaries of the into forms and of refusals (messages, partial results)
    out_psd = np.empty(28 * 28)
    out["psd.nt_scaling_matrix_into"] = (lambda: psd.nt_scaling_matrix_into(s_psd, z_psd, out_psd), [s_psd, out_psd])
    x_psd = svec_of(rng.standard_normal((7, 7)) + rng.standard_normal((7, 7)).T)
    out["psd.project_into"] = (lambda: psd.project_into(x_psd, np.empty(28)), [x_psd])
    out["psd.violation"] = (lambda: psd.violation(x_psd), [x_psd])
    bad = -np.ones(64)
    out["nonnegative.nt_scaling_matrix refused"] = (refused(lambda: nonneg.nt_scaling_matrix(bad, ones)), [bad])
    out["psd.nt_scaling_matrix refused"] = (refused(lambda: psd.nt_scaling_matrix(-s_psd, z_psd)), [s_psd])
    short = np.ones(3)
    out["length refused"] = (refused(lambda: nonneg.nt_scaling_matrix_array(short, ones)), [short])
    out["unit index refused"] = (refused(lambda: nonneg.unit_vector_array(64)), [])
    indptr = np.arange(65, dtype=np.int64)
    indices = np.arange(64, dtype=np.int64)
    values = np.zeros(64)
    out["nonnegative.hmatrix_csr_values_into"] = (
        lambda: nonneg.hmatrix_csr_values_into(ones, ones, indptr, indices, values), [indptr, indices, values])
    out["exponential.hmatrix_coo refused"] = (
        refused(lambda: expo.hmatrix_coo_values_into(s_exp, -z_exp, indices[:30], indices[:30], values[:30])), [s_exp])
    return out


CASE_IDS = list(cases(__import__("_cpp_cuda")).keys())


@pytest.mark.parametrize("case", CASE_IDS)
def test_repeated_calls_keep_python_memory_and_references_flat(cones, case):
    call, watched = cases(cones)[case]
    before = [sys.getrefcount(a) for a in watched]
    for _ in range(WARMUP):
        call()
    gc.collect()
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(CALLS):
            call()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    # one leaked float per call would be 72 KB; one leaked result, megabytes
    assert grown < 32 * 1024, f"{case}: {grown} bytes of Python objects kept after {CALLS} calls"
    assert [sys.getrefcount(a) for a in watched] == before, f"{case}: references to the arguments leaked"


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer keeps freed blocks in quarantine; its leak check runs instead")
@pytest.mark.parametrize("case", CASE_IDS)
def test_repeated_calls_keep_resident_memory_flat(cones, case):
    call, _ = cases(cones)[case]
    for _ in range(WARMUP):
        call()
    gc.collect()
    start = rss_bytes()
    for _ in range(CALLS):
        call()
    gc.collect()
    grown = rss_bytes() - start
    # the smallest result above is 8 KB: keeping each would add 24 MB
    assert grown < 4 * 1024 * 1024, f"{case}: resident memory grew by {grown} bytes over {CALLS} calls"


def test_repeated_device_calls_free_their_scratch(cones, dev):
    """Scalar device results (reduction partials), NT scratch and sparse gathers release
    their device memory on every call, also when a launch fails half-way."""
    import _cuemu

    rng = np.random.default_rng(3)
    # 5000 entries: reductions of two passes (the first pass's partials freed by the second)
    nonneg, psd, expo = cones.NonnegativeConeCpp(5000), cones.PsdConeCpp(4), cones.ExponentialConeCpp(5)
    x = dev.array(rng.standard_normal(5000))
    s_psd, z_psd = (dev.array(svec_of(spd(rng, 4))) for _ in range(2))
    h_psd = dev.empty(100)
    s_exp, z_exp = dev.array(exp_point(rng, 5)), dev.array(exp_point(rng, 5))
    indptr = dev.array(np.arange(11, dtype=np.int64))
    indices = dev.array(np.arange(10, dtype=np.int64))
    values = dev.empty(10)
    calls = [
        lambda: nonneg.violation(x),
        lambda: nonneg.contains(x),
        lambda: psd.nt_scaling_matrix_into(s_psd, z_psd, h_psd),
        lambda: psd.hmatrix_csr_values_into(s_psd, z_psd, indptr, indices, values),
        lambda: expo.contains(s_exp),
    ]
    for call in calls:
        call()
    _cuemu.drain()  # stream-ordered frees run when the device gets there
    live, live_bytes = _cuemu.live_allocations(), _cuemu.live_bytes()
    start = rss_bytes()
    for _ in range(20):
        for call in calls:
            call()
    _cuemu.drain()
    assert (_cuemu.live_allocations(), _cuemu.live_bytes()) == (live, live_bytes)
    for kernel in ("reduce_max_kernel", "psd_general_w_kernel", "psd_w_csr_gather_kernel"):
        _cuemu.fail_next(kernel, 701)  # refused at launch (too many resources)
        with pytest.raises(RuntimeError, match=f"^{kernel} failed: too many resources requested for launch$"):
            calls[{"reduce_max_kernel": 1, "psd_general_w_kernel": 2, "psd_w_csr_gather_kernel": 3}[kernel]]()
        _cuemu.drain()
        assert (_cuemu.live_allocations(), _cuemu.live_bytes()) == (live, live_bytes), kernel
    if not UNDER_ASAN:
        assert rss_bytes() - start < 4 * 1024 * 1024
