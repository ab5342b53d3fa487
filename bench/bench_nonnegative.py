"""Nonnegative cone on host arrays against NumPy, sizes 10^3 to 10^7."""
import numpy as np

import _cpp_cuda as cones
from common import best_time, report


def main():
    rng = np.random.default_rng(1)
    rows = []
    for n in (10**3, 10**4, 10**5, 10**6, 10**7):
        cone = cones.NonnegativeConeCpp(n)
        x = rng.standard_normal(n)
        out = np.empty(n)
        np_out = np.empty(n)
        rows.append(("project_into vs np.maximum(out=)", n, best_time(lambda: cone.project_into(x, out)),
                     best_time(lambda: np.maximum(x, 0.0, out=np_out))))
        rows.append(("violation vs norm(minimum)", n, best_time(lambda: cone.violation(x)),
                     best_time(lambda: np.linalg.norm(np.minimum(x, 0.0)))))
        member = np.abs(x)  # a member: the whole vector is scanned
        rows.append(("contains (member) vs (x >= -atol).all()", n, best_time(lambda: cone.contains(member)),
                     best_time(lambda: bool((member >= -1e-8).all()))))
    for n, batch in ((10, 1000), (100, 100), (1000, 1)):
        cone = cones.NonnegativeConeCpp(n)
        s = rng.uniform(0.5, 2.0, n * batch)
        z = rng.uniform(0.5, 2.0, n * batch)
        out = np.empty(n * n * batch)

        def numpy_batch():
            h = np.zeros((batch, n, n))
            idx = np.arange(n)
            h[:, idx, idx] = (z / s).reshape(batch, n)
            return h

        rows.append((f"NT batch into (batch {batch}) vs NumPy", n, best_time(
            lambda: cone.nt_scaling_matrix_batch_into(s, z, out, batch)), best_time(numpy_batch)))
    report(rows, "nonnegative cone, host arrays")


if __name__ == "__main__":
    main()
