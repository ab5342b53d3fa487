"""Device runtime layer on the CUDA host emulation: per-thread device selection, error
texts of failing runtime calls and launches, multi-pass reductions, the availability gate."""
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


def test_first_call_on_a_thread_selects_then_repeats_do_not(cones, dev, emu):
    cone = cones.NonnegativeConeCpp(4)
    d = dev.array([1.0, -2.0, 3.0, -4.0])

    def work():
        counts = [emu.set_device_calls()]
        cone.violation(d)
        counts.append(emu.set_device_calls())
        cone.violation(d)
        cone.contains(d)
        counts.append(emu.set_device_calls())
        return counts

    first = run_in_thread(work)
    assert first[1] - first[0] == 1, "the first device call on a fresh thread selects the device, even device 0"
    assert first[2] == first[1], "a repeated call on an unchanged device makes no cudaSetDevice call"
    second = run_in_thread(work)  # another fresh thread: its own record
    assert second[1] - second[0] == 1


def test_device_changed_by_another_library_is_selected_again(cones, dev, emu):
    cone = cones.NonnegativeConeCpp(3)
    d0 = dev.array([1.0, 2.0, 3.0], device=0)
    cone.violation(d0)
    emu.set_device(1)  # someone else in the process switches devices
    before = emu.set_device_calls()
    assert cone.violation(d0) == 0.0
    assert emu.set_device_calls() == before + 1
    assert emu.get_device() == 0
    cone.violation(d0)
    assert emu.set_device_calls() == before + 1


def test_second_ordinal(cones, dev, emu):
    cone = cones.NonnegativeConeCpp(3)
    x = np.array([-1.0, 2.0, -2.0])
    d1 = dev.array(x, device=1)
    out = dev.empty(3, device=1)
    cone.project_into(d1, out)
    assert emu.get_device() == 1
    np.testing.assert_array_equal(dev.to_numpy(out), [0.0, 2.0, 0.0])
    assert cone.violation(d1) == np.sqrt(5.0)
    with pytest.raises(RuntimeError, match="input and output must live on the same device"):
        cone.project_into(d1, dev.empty(3, device=0))


@pytest.mark.parametrize(
    "target, status, call, text",
    [
        ("cudaMalloc", 2, "violation", "cudaMalloc failed: out of memory"),
        ("reduce_sum_sq_kernel", 719, "violation", "reduce_sum_sq_kernel failed: unspecified launch failure"),
        ("cudaMemcpy", 719, "violation", "cudaMemcpy failed: unspecified launch failure"),
        ("nonnegative_contains_kernel", 719, "contains", "nonnegative_contains_kernel failed: unspecified launch failure"),
        ("reduce_max_kernel", 9, "contains", "reduce_max_kernel failed: invalid configuration argument"),
        ("nonnegative4_kernel", 719, "project", "nonnegative4_kernel failed: unspecified launch failure"),
        ("nonnegative_nt_scaling_kernel", 719, "nt", "nonnegative_nt_scaling_kernel failed: unspecified launch failure"),
    ],
)
def test_runtime_failures_name_the_call_and_free_scratch(cones, dev, emu, target, status, call, text):
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
        "nt": lambda: cone.nt_scaling_matrix_into(s, s, h),
    }
    emu.fail_next(target, status)
    with pytest.raises(RuntimeError) as info:
        calls[call]()
    assert str(info.value) == text
    # the layer works again afterwards (the dev fixture also checks no scratch leaked)
    assert cone.violation(x) == pytest.approx(np.linalg.norm(np.minimum(np.linspace(-1.0, 1.0, n), 0.0)))


def test_failed_selection_keeps_the_record(cones, dev, emu):
    cone = cones.NonnegativeConeCpp(2)
    d = dev.array([1.0, 1.0])

    def work():
        emu.fail_next("cudaSetDevice", 101)
        with pytest.raises(RuntimeError) as info:
            cone.violation(d)
        assert str(info.value) == "cudaSetDevice failed: invalid device ordinal"
        before = emu.set_device_calls()
        assert cone.violation(d) == 0.0
        return emu.set_device_calls() - before

    assert run_in_thread(work) == 1, "after a failed selection the next call selects again"


def test_scalar_results_wait_for_queued_work_first(cones, dev, emu):
    """Violation and membership synchronise the device before their first reduction
    launch, so a failure of earlier queued work surfaces before anything is launched."""
    cone = cones.NonnegativeConeCpp(300)
    d = dev.array(np.ones(300))
    for call in (lambda: cone.violation(d), lambda: cone.contains(d)):
        dev.clear_launches()
        emu.fail_next("cudaDeviceSynchronize", 719)
        with pytest.raises(RuntimeError, match="^cudaDeviceSynchronize failed: "):
            call()
        assert dev.launches() == []


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
