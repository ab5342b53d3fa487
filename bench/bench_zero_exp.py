"""Exponential and zero cones on host arrays against NumPy references measured in the
same run: projection and violation from 10^3 to 10^6 entries."""
import numpy as np

import _cpp_cuda as cones
from common import best_time, report

EPS = 1e-8


def numpy_exp_project(v, out):
    x, y, z = v[0::3], v[1::3], v[2::3]
    with np.errstate(all="ignore"):
        e = y * np.exp(np.clip(x / y, -745.0, 709.0))
        keep = ((y > EPS) & (z + EPS >= e)) | ((y <= EPS) & (x <= EPS) & (z >= -EPS))
        inside = y > 0
        out[0::3] = np.where(inside, x, np.minimum(x, 0.0))
        out[1::3] = np.where(inside, y, 0.0)
        out[2::3] = np.where(inside, np.where(keep, z, np.maximum(e, z)), np.maximum(z, 0.0))


def numpy_exp_violation(v):
    x, y, z = v[0::3], v[1::3], v[2::3]
    with np.errstate(all="ignore"):
        e = y * np.exp(np.clip(x / y, -745.0, 709.0))
        r2 = np.where(y > 0, np.maximum(e - z, 0.0) ** 2,
                      np.maximum(x, 0.0) ** 2 + y * y + np.minimum(z, 0.0) ** 2)
    return float(np.sqrt(r2.sum()))


def main():
    rng = np.random.default_rng(3)
    rows = []
    for entries in (10**3, 10**4, 10**5, 10**6):
        count = entries // 3
        v = rng.standard_normal(3 * count)
        v[1::3] = np.where(rng.random(count) < 0.8, np.abs(v[1::3]) + 0.1, -np.abs(v[1::3]))
        cone = cones.ExponentialConeCpp(count)
        out, np_out = np.empty_like(v), np.empty_like(v)
        cone.project_into(v, out)
        numpy_exp_project(v, np_out)
        assert np.allclose(out, np_out, rtol=1e-14, atol=0.0)
        assert np.isclose(cone.violation(v), numpy_exp_violation(v), rtol=1e-12)
        rows.append(("exp project_into vs NumPy", 3 * count, best_time(lambda: cone.project_into(v, out)),
                     best_time(lambda: numpy_exp_project(v, np_out))))
        rows.append(("exp violation vs NumPy", 3 * count, best_time(lambda: cone.violation(v)),
                     best_time(lambda: numpy_exp_violation(v))))
    report(rows, "exponential cones, host arrays")

    rows = []
    for n in (10**3, 10**4, 10**5, 10**6):
        cone = cones.ZeroConeCpp(n)
        x = rng.standard_normal(n)
        out, np_out = np.empty(n), np.empty(n)
        rows.append(("zero project_into vs fill(0)", n, best_time(lambda: cone.project_into(x, out)),
                     best_time(lambda: np_out.fill(0.0))))
        rows.append(("zero violation vs norm", n, best_time(lambda: cone.violation(x)),
                     best_time(lambda: np.linalg.norm(x))))
        rows.append(("zero contains vs abs<=atol all", n, best_time(lambda: cone.contains(x, 10.0)),
                     best_time(lambda: bool((np.abs(x) <= 10.0).all()))))
    report(rows, "zero cone, host arrays")


if __name__ == "__main__":
    main()
