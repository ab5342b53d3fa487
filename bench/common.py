"""Timing helpers shared by the benchmark scripts: best-of-repeats per call, and ratios
against a reference measured in the same run."""
import time


def best_time(fn, repeat=7, min_seconds=0.02):
    start = time.perf_counter()
    fn()
    once = time.perf_counter() - start
    number = max(1, min(10000, int(min_seconds / max(once, 1e-7))))
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def report(rows, title):
    """rows: (label, size, module seconds, reference seconds)."""
    print(f"\n== {title} ==")
    print("ref/module = reference time / module time: above 1 the module is faster, below 1 slower")
    print(f"{'operation':<34}{'size':>10}{'module':>12}{'reference':>12}{'ref/module':>12}")
    for label, size, t_mod, t_ref in rows:
        print(f"{label:<34}{size:>10}{t_mod * 1e6:>10.1f}us{t_ref * 1e6:>10.1f}us{t_ref / t_mod:>12.2f}")
