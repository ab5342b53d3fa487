"""Demo: every cone operation of _cpp_cuda on sample data, with timings against NumPy.

Host arrays by default; with --device-only (on the CUDA host emulation build, or a
machine with a GPU) the same operations run on device arrays and are checked against
the host results.
"""
import argparse
import sys
import time

import numpy as np

import _cpp_cuda as cones

RNG = np.random.default_rng(7)


def svec(m):
    n = m.shape[0]
    rows, cols = np.tril_indices(n)
    scale = np.where(rows == cols, 1.0, np.sqrt(2.0))
    return m[rows, cols] * scale


def random_spd(n):
    a = RNG.standard_normal((n, n))
    return a @ a.T + n * np.eye(n)


def soc_interior(n):
    tail = RNG.standard_normal(n - 1)
    return np.concatenate([[np.linalg.norm(tail) + 1.0], tail])


def exp_interior(blocks):
    x = RNG.uniform(-2.0, 1.0, blocks)
    y = RNG.uniform(0.5, 2.0, blocks)
    z = y * np.exp(x / y) + RNG.uniform(0.1, 1.0, blocks)
    return np.stack([x, y, z], axis=1).reshape(-1)


# NumPy references: (projection, violation) of a vector, used for timing and checking.
def np_nonnegative(x):
    p = np.maximum(x, 0.0)
    return p, np.linalg.norm(np.minimum(x, 0.0))


def np_zero(x):
    return np.zeros_like(x), np.linalg.norm(x)


def np_soc(x):
    t, x0 = np.linalg.norm(x[1:]), x[0]
    if x0 >= t:
        p = x.copy()
    elif -x0 >= t:
        p = np.zeros_like(x)
    else:
        a = 0.5 * (x0 + t)
        p = np.concatenate([[a], (a / t) * x[1:]])
    return p, np.linalg.norm(x - p)


def np_psd(v, n):
    m = np.zeros((n, n))
    rows, cols = np.tril_indices(n)
    scale = np.where(rows == cols, 1.0, 1.0 / np.sqrt(2.0))
    m[rows, cols] = v * scale
    m = m + np.tril(m, -1).T
    w, q = np.linalg.eigh(m)
    p = (q * np.maximum(w, 0.0)) @ q.T
    return svec(p), np.linalg.norm(np.minimum(w, 0.0))


def families(n, psd_order=None):
    """(label, cone, sample vector, interior s, interior z, NumPy reference or None)."""
    psd_n = psd_order if psd_order is not None else max(2, min(24, int(np.sqrt(2 * n)) // 2))
    return [
        ("zero", cones.ZeroConeCpp(n), RNG.standard_normal(n), np.zeros(n), np.zeros(n), np_zero),
        ("nonnegative", cones.NonnegativeConeCpp(n), RNG.standard_normal(n), RNG.uniform(0.5, 2, n),
         RNG.uniform(0.5, 2, n), np_nonnegative),
        ("second-order", cones.SecondOrderConeCpp(n), RNG.standard_normal(n), soc_interior(n), soc_interior(n),
         np_soc),
        ("psd", cones.PsdConeCpp(psd_n), svec(RNG.standard_normal((psd_n, psd_n)) + RNG.standard_normal((psd_n, psd_n)).T),
         svec(random_spd(psd_n)), svec(random_spd(psd_n)), lambda v: np_psd(v, psd_n)),
        ("exponential", cones.ExponentialConeCpp(max(1, n // 3)), RNG.standard_normal(3 * max(1, n // 3)),
         exp_interior(max(1, n // 3)), exp_interior(max(1, n // 3)), None),
    ]


def best_time(fn, repeat=5, number=None):
    if number is None:
        start = time.perf_counter()
        fn()
        once = time.perf_counter() - start
        number = max(1, min(1000, int(0.02 / max(once, 1e-7))))
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def fmt(v, k=4):
    v = np.asarray(v, dtype=float).reshape(-1)
    head = ", ".join(f"{x:.4g}" for x in v[:k])
    return f"[{head}{', ...' if v.size > k else ''}] ({v.size} entries)"


def host_demo():
    print(f"_cpp_cuda: {cones.__doc__}")
    print(f"has_cuda={cones.has_cuda()} runtime={cones.cuda_runtime_version()} "
          f"host_blas={cones.has_host_blas()} ({cones.host_blas_backend()}) cublas={cones.has_cublas()} "
          f"cusolver={cones.has_cusolver()}")
    print("\n== Every operation on sample data (host arrays, n = 6) ==")
    for label, cone, x, s, z, _ in families(6):
        print(f"\n{label}: {type(cone).__name__} dim={cone.dim} rows={cone.rows}")
        if not hasattr(cone, "project_into"):
            print("  (operations not built yet)")
            continue
        n = cone.rows
        out = np.empty(n)
        cone.project_into(x, out)
        print(f"  x                 = {fmt(x)}")
        print(f"  project_into(x)   = {fmt(out)}")
        print(f"  violation(x)      = {cone.violation(x):.6g}; violation(proj) = {cone.violation(out):.3g}")
        print(f"  contains(x)       = {cone.contains(x)}; contains(proj) = {cone.contains(out)}")
        print(f"  unit_vector(0)    = {fmt(cone.unit_vector(0))}")
        h = cone.nt_scaling_matrix_array(s, z)
        print(f"  H = nt_scaling_matrix_array(s, z): shape {h.shape}, |H s - z| = {np.linalg.norm(h @ s - z):.2e}")
        hb = np.empty(2 * n * n)
        cone.nt_scaling_matrix_batch_into(np.concatenate([s, s]), np.concatenate([z, z]), hb, 2)
        same = np.allclose(hb.reshape(2, n, n)[1], h, rtol=1e-14, atol=1e-15)
        print(f"  batch of 2 into a buffer: both items equal H (to rounding): {same}")
        if hasattr(cone, "nt_scaling_matrix_default_method"):
            print(f"  device NT method by default: {cone.nt_scaling_matrix_default_method()}")

    print("\n== PSD conversions ==")
    m = random_spd(3)
    v = cones.psd_svec(m.reshape(-1), 3)
    print(f"  psd_svec(M) = {fmt(v, 6)}; psd_smat(v) == M: {np.allclose(cones.psd_smat(v, 3), m, rtol=1e-15)}")
    back = np.empty(9)
    cones.psd_smat_into(v, back, 3)
    packed = np.empty(6)
    cones.psd_svec_into(back, packed, 3)
    print(f"  psd_smat_into then psd_svec_into round trip: {np.allclose(packed, v, rtol=1e-15)}")

    kkt_demo()

    print("\n== Timings against NumPy (host arrays; ratio = NumPy time / module time: "
          "above 1 the module is faster) ==")
    print(f"{'family':<13}{'n':>9}  {'op':<10}{'module':>11}{'numpy':>11}{'ratio':>8}  check")
    for n, psd_order in ((1000, 8), (100000, 16), (1000000, 24)):
        for label, cone, x, _, _, ref in families(n, psd_order):
            if ref is None or not hasattr(cone, "project_into"):
                continue
            x = x if label != "psd" else x  # psd rows follow the matrix order
            out = np.empty(cone.rows)
            p_ref, v_ref = ref(x)
            cone.project_into(x, out)
            ok = np.allclose(out, p_ref, rtol=1e-9, atol=1e-9 * (1 + np.abs(x).max()))
            ok = ok and np.isclose(cone.violation(x), v_ref, rtol=1e-9)
            t_mod = best_time(lambda: cone.project_into(x, out))
            t_np = best_time(lambda: ref(x)[0])
            print(f"{label:<13}{cone.rows:>9}  {'project':<10}{t_mod * 1e6:>9.1f}us{t_np * 1e6:>9.1f}us"
                  f"{t_np / t_mod:>8.1f}  {'ok' if ok else 'MISMATCH'}")
            t_mod = best_time(lambda: cone.violation(x))
            t_np = best_time(lambda: ref(x)[1])
            print(f"{'':<13}{'':>9}  {'violation':<10}{t_mod * 1e6:>9.1f}us{t_np * 1e6:>9.1f}us{t_np / t_mod:>8.1f}")


def kkt_demo():
    """A KKT matrix [[0, G^T], [G, H]] stored as its upper triangle (as symmetric
    factorisations take it): the rows of each cone then hold only that cone's part of H,
    which the module fills cone by cone straight into the values of one SciPy CSR matrix
    (stored entries of a cone's rows outside its block would be cleared)."""
    import scipy.sparse as sp

    parts = families(4)
    rows = sum(f[1].rows for f in parts)
    n_var = 3
    g = sp.random(rows, n_var, density=0.6, random_state=3, format="csr")
    pattern = sp.block_diag([sp.csr_matrix(np.ones((f[1].rows, f[1].rows))) for f in parts], format="csr")
    kkt = sp.triu(sp.bmat([[sp.csr_matrix((n_var, n_var)), g.T], [g, pattern]]), format="csr")
    kkt.sort_indices()
    indptr, indices = kkt.indptr.astype(np.int64), kkt.indices.astype(np.int64)
    offset = n_var
    for label, cone, _, s, z, _ in parts:
        cone.hmatrix_csr_values_into(s, z, indptr, indices, kkt.data, offset)
        offset += cone.rows
    offset = n_var
    worst = 0.0
    for label, cone, _, s, z, _ in parts:
        r = cone.rows
        block = kkt[offset:offset + r, offset:offset + r].toarray()
        worst = max(worst, np.abs(block - np.triu(cone.nt_scaling_matrix_array(s, z))).max())
        offset += r
    print(f"\n== KKT matrix (upper triangle) assembled from {len(parts)} cones ({', '.join(f[0] for f in parts)}) ==")
    print(f"  shape {kkt.shape}, {kkt.nnz} stored entries; largest |H block - dense H| = {worst:.2e}")
    print(f"  G^T block kept: {np.array_equal(kkt[:n_var, n_var:].toarray(), g.T.toarray())}")


def device_demo():
    try:
        import _cuemu
    except ImportError:
        _cuemu = None
    if not cones.has_cuda():
        print("\nThis module sees no CUDA device (has_cuda() is False): it refuses device arrays, so it shows "
              "no device section.")
        return
    if _cuemu is not None:
        print("\n== The same operations on device arrays, checked against the host ==\n"
              "Run by the CUDA host emulation build (build/emu): the module's own device kernels compiled for the "
              "CPU,\nwith emulated device memory and streams (there is no GPU on this machine).")
    else:
        print("\nThis module sees a CUDA device, but the demo makes its device arrays with the emulation's "
              "helper _cuemu:\nrun the device section on the emulation build (PYTHONPATH=build/emu).")
        return

    def to_dev(a):
        return _cuemu.array(np.ascontiguousarray(a, dtype=np.float64))

    for label, cone, x, s, z, _ in families(300):
        if not hasattr(cone, "project_into"):
            continue
        n = cone.rows
        if label == "psd" and cone.dim != 2:
            cone = cones.PsdConeCpp(2)
            n = 3
            x, s, z = x[:3], svec(random_spd(2)), svec(random_spd(2))
        host_out = np.empty(n)
        cone.project_into(x, host_out)
        d_out = _cuemu.empty(n)
        cone.project_into(to_dev(x), d_out)
        proj_ok = np.allclose(_cuemu.to_numpy(d_out), host_out, rtol=1e-12, atol=1e-300)
        viol_d, viol_h = cone.violation(to_dev(x)), cone.violation(x)
        cont = cone.contains(to_dev(x)) == cone.contains(x)
        h_host = np.empty(n * n)
        cone.nt_scaling_matrix_into(s, z, h_host)
        d_h = _cuemu.empty(n * n)
        cone.nt_scaling_matrix_into(to_dev(s), to_dev(z), d_h)
        h_ok = np.allclose(_cuemu.to_numpy(d_h), h_host, rtol=1e-10, atol=1e-12)
        print(f"  {label:<13} rows={n:<5} project {'ok' if proj_ok else 'MISMATCH'}, violation {viol_d:.6g} "
              f"(host {viol_h:.6g}), contains {'agrees' if cont else 'DISAGREES'}, NT matrix "
              f"{'ok' if h_ok else 'MISMATCH'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--device-only", action="store_true", help="run only the device-array part")
    args = parser.parse_args()
    if not args.device_only:
        host_demo()
    device_demo()
    return 0


if __name__ == "__main__":
    sys.exit(main())
