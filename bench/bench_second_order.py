"""Second-order cone on host arrays against NumPy: projection and violation (10^3 to 10^6
entries) and the dense NT scaling matrix (n = 10 to 2000), whose cost must grow as n^2."""
import numpy as np

import _cpp_cuda as cones
from common import best_time, report


def numpy_project(x, out):
    t, r = x[0], np.linalg.norm(x[1:])
    if r <= t:
        out[:] = x
    elif r <= -t:
        out[:] = 0.0
    else:
        a = (t + r) * 0.5
        out[0] = a
        np.multiply(x[1:], a / r, out=out[1:])


def numpy_violation(x):
    r = np.linalg.norm(x[1:])
    l1, l2 = x[0] + r, x[0] - r
    return np.sqrt((min(l1, 0.0) ** 2 + min(l2, 0.0) ** 2) / 2)


def numpy_nt(s, z):
    """Closed form (2 (Jw)(Jw)^T - J) / eta^2 of the NT scaling point w: O(n^2)."""
    js = s.copy()
    js[1:] *= -1
    jz = z.copy()
    jz[1:] *= -1
    a = np.sqrt(s @ js)
    b = np.sqrt(z @ jz)
    gamma = np.sqrt((s @ z / (a * b) + 1) / 2)
    jw = (js / a + z / b) / (2 * gamma)
    h = np.outer(jw, jw)
    h *= 2
    h[0, 0] -= 1
    h.flat[np.arange(1, len(s)) * (len(s) + 1)] += 1
    return h * (b / a)


def interior(rng, n):
    x = rng.standard_normal(n)
    x[0] = np.linalg.norm(x[1:]) + 1.0
    return x


def main():
    rng = np.random.default_rng(1)
    rows = []
    for n in (10**3, 10**4, 10**5, 10**6):
        cone = cones.SecondOrderConeCpp(n)
        x = rng.standard_normal(n)
        x[0] = 0.3 * np.linalg.norm(x[1:])  # between the cone and its polar: the full formula
        out = np.empty(n)
        np_out = np.empty(n)
        rows.append(("project_into vs NumPy closed form", n, best_time(lambda: cone.project_into(x, out)),
                     best_time(lambda: numpy_project(x, np_out))))
        t_violation = best_time(lambda: cone.violation(x))
        rows.append(("violation vs NumPy spectral", n, t_violation, best_time(lambda: numpy_violation(x))))
        rows.append(("violation vs NumPy norm(x - P(x))", n, t_violation,
                     best_time(lambda: (numpy_project(x, np_out), np.linalg.norm(x - np_out)))))
    report(rows, "second-order cone projection and violation, host arrays")

    rows = []
    per_entry = []
    for n in (10, 30, 100, 300, 1000, 2000):
        cone = cones.SecondOrderConeCpp(n)
        s, z = interior(rng, n), interior(rng, n)
        out = np.empty(n * n)
        t_mod = best_time(lambda: cone.nt_scaling_matrix_into(s, z, out), repeat=5)
        rows.append(("NT into vs NumPy closed form", n, t_mod, best_time(lambda: numpy_nt(s, z), repeat=5)))
        per_entry.append((n, t_mod / (n * n)))
    report(rows, "second-order cone NT scaling matrix, host arrays")
    print("\nmodule time per matrix entry (constant for O(n^2), growing as n for O(n^3)):")
    for n, t in per_entry:
        print(f"  n = {n:>5}: {t * 1e9:8.2f} ns per entry")


if __name__ == "__main__":
    main()
