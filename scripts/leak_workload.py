"""A short workload for the leak check: every list-, array- and scalar-returning case of
tests/test_leaks.py (refusals included) and a set of device calls, each repeated, so that
anything kept per call shows up in the LeakSanitizer report as a record that grows with
the repetitions (run under full stack unwinding, which the whole suite is too slow for)."""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import _cpp_cuda as cones  # noqa: E402
import test_leaks  # noqa: E402

REPEAT = int(os.environ.get("VELKORA_LEAK_REPEAT", "20"))


def device_calls():
    import _cuemu

    rng = np.random.default_rng(1)
    nonneg, psd, soc = cones.NonnegativeConeCpp(300), cones.PsdConeCpp(3), cones.SecondOrderConeCpp(6)
    x = _cuemu.array(rng.standard_normal(300))
    out = _cuemu.empty(300)
    s_psd, z_psd = (_cuemu.array(test_leaks.svec_of(test_leaks.spd(rng, 3))) for _ in range(2))
    h_psd = _cuemu.empty(36)
    s_soc, z_soc = (_cuemu.array(test_leaks.soc_point(rng, 6)) for _ in range(2))
    h_soc = _cuemu.empty(36)
    indptr = _cuemu.array(np.arange(7, dtype=np.int64))
    indices = _cuemu.array(np.arange(6, dtype=np.int64))
    values = _cuemu.empty(6)
    calls = [
        lambda: nonneg.project_into(x, out),
        lambda: nonneg.violation(x),
        lambda: nonneg.contains(x),
        lambda: psd.nt_scaling_matrix_into(s_psd, z_psd, h_psd),
        lambda: psd.hmatrix_csr_values_into(s_psd, z_psd, indptr, indices, values),
        lambda: soc.nt_scaling_matrix_into(s_soc, z_soc, h_soc),
        lambda: soc.hmatrix_coo_values_into(s_soc, z_soc, indices, indices, values),
    ]
    for call in calls:
        for _ in range(REPEAT):
            call()
    for kernel, call in (("reduce_max_kernel", calls[2]), ("psd_general_w_kernel", calls[3])):
        for _ in range(REPEAT):
            _cuemu.fail_next(kernel, 719)
            try:
                call()
            except RuntimeError:
                pass
            else:
                raise AssertionError(f"the injected failure of {kernel} was not reported")


def main():
    for name, (call, _) in test_leaks.cases(cones).items():
        for _ in range(REPEAT):
            call()
    if cones.has_cuda():
        device_calls()
    print(f"leak workload: {len(test_leaks.cases(cones))} host cases and the device calls, {REPEAT} times each")


if __name__ == "__main__":
    main()
