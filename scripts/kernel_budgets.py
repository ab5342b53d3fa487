"""Per-kernel resource budgets of the production device code, checked at compile time.

Compiles every device source as the production build does (relocatable device code,
no FMA contraction, -O3, one cubin per architecture of CMAKE_CUDA_ARCHITECTURES) with
ptxas reporting its figures (-Xptxas -v), and fails when a kernel on any architecture
uses more registers per thread, more local memory per thread (stack frame plus spill
stores) or more static shared memory per block than its budget below, or when a kernel
has no budget, or a budget names a kernel that no longer exists.

Why budgets: registers bound how many threads are resident (65 536 registers per SM:
a 256-thread block at 64 registers per thread leaves room for four blocks); local
memory is reserved by the runtime for every thread that can be resident at once (a
kilobyte per thread is gigabytes on a large card); static shared memory is capped at
48 KiB per block. The budgets are today's figures (the largest over sm_75 ... sm_90,
CUDA 13.0) with headroom: registers rounded up to the next multiple of 8 and at least
+8, local memory +256 bytes (0 stays 0: a kernel without local memory must stay so,
spills are what the check is for), shared memory exact (it is declared, not derived).
A change that needs more must raise the budget here, in review.

Dynamic shared memory is sized by a kernel's launcher at run time, so ptxas cannot report
it: DYNAMIC_SHARED declares the most bytes per block each such kernel's launcher may ask
for (kernels absent from it must take none). The check here is that static plus declared
dynamic shared memory stays within the 48 KiB a block gets without opting in; the device
tests check, from the emulator's launch log, that every launch stays within the declared
figure, so a launcher that grows its request must raise it here too.

Usage: python scripts/kernel_budgets.py [--report]   (needs nvcc; CUDA_ARCHITECTURES
overrides "75 80 86 89 90", NVCC the compiler). --report prints the figures only.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCES = sorted([*(ROOT / "cuda").glob("*.cu"), *(ROOT / "cones").glob("*/*.cu")])
ARCHITECTURES = os.environ.get("CUDA_ARCHITECTURES", "75 80 86 89 90").split()

# kernel: (registers per thread, local bytes per thread, static shared bytes per block)
BUDGETS = {
    "dense_coo_gather_kernel": (24, 0, 0),  # today 16, 0, 0
    "dense_csr_gather_kernel": (32, 0, 0),  # today 20, 0, 0
    "exp_contains_kernel": (48, 0, 2048),  # today 36, 0, 2048
    "exp_hmatrix_coo_kernel": (48, 304, 0),  # today 40, 48, 0
    "exp_hmatrix_csr_kernel": (64, 304, 0),  # today 54, 48, 0
    "exp_ipm_apply_kernel": (56, 0, 0),  # today 46, 0, 0
    "exp_ipm_barrier_kernel": (56, 0, 2048),  # today 46, 0, 2048
    "exp_ipm_cone_step_kernel": (72, 0, 2048),  # today 64, 0, 2048
    "exp_ipm_coo_kernel": (40, 0, 0),  # today 30, 0, 0
    "exp_ipm_corrector_kernel": (80, 0, 0),  # today 72, 0, 0
    "exp_ipm_csr_kernel": (48, 0, 0),  # today 36, 0, 0
    "exp_ipm_dual_scaling_kernel": (72, 0, 0),  # today 60, 0, 0
    "exp_ipm_gradient_kernel": (48, 0, 0),  # today 39, 0, 0
    "exp_ipm_interior_kernel": (48, 0, 2048),  # today 38, 0, 2048
    "exp_ipm_scaling_kernel": (120, 280, 0),  # today 106, 24, 0
    "exp_ipm_shadow_kernel": (56, 0, 0),  # today 47, 0, 0
    "exp_ipm_shift_kernel": (88, 0, 0),  # today 80, 0, 0
    "exp_ipm_trial_kernel": (56, 0, 2048),  # today 42, 0, 2048
    "exp_nt_scaling_kernel": (48, 304, 0),  # today 40, 48, 0
    "exp_project_kernel": (48, 0, 0),  # today 36, 0, 0
    "exp_violation_kernel": (48, 0, 2048),  # today 36, 0, 2048
    "nonnegative2_kernel": (24, 0, 0),  # today 16, 0, 0
    "nonnegative4_kernel": (32, 0, 0),  # today 20, 0, 0
    "nonnegative_contains_kernel": (24, 0, 2048),  # today 14, 0, 2048
    "nonnegative_hmatrix_coo_kernel": (32, 0, 0),  # today 24, 0, 0
    "nonnegative_hmatrix_csr_kernel": (48, 0, 0),  # today 35, 0, 0
    "nonnegative_interior_kernel": (24, 0, 2048),  # today 14, 0, 2048
    "nonnegative_jordan_product_kernel": (24, 0, 0),  # today 12, 0, 0
    "nonnegative_jordan_solve_kernel": (32, 0, 0),  # today 24, 0, 0
    "nonnegative_kernel": (24, 0, 0),  # today 16, 0, 0
    "nonnegative_max_step_kernel": (32, 0, 2048),  # today 24, 0, 2048
    "nonnegative_nt_scaling_kernel": (40, 0, 0),  # today 26, 0, 0
    "nonnegative_nt_state_kernel": (48, 0, 0),  # today 37, 0, 0
    "nonnegative_scale_kernel": (32, 0, 0),  # today 24, 0, 0
    "nonnegative_scaling_coo_kernel": (32, 0, 0),  # today 24, 0, 0
    "nonnegative_scaling_csr_kernel": (48, 0, 0),  # today 38, 0, 0
    "psd1_nt_scaling_kernel": (32, 0, 0),  # today 24, 0, 0
    "psd2_nt_scaling_kernel": (72, 0, 0),  # today 62, 0, 0
    "psd2_project_kernel": (56, 0, 0),  # today 41, 0, 0
    "psd2_violation_kernel": (48, 0, 0),  # today 37, 0, 0
    "psd_general_operator_from_w_kernel": (48, 0, 0),  # today 38, 0, 0
    "psd_general_w_kernel": (104, 0, 0),  # today 90, 0, 0 (its work in dynamic shared memory)
    "psd_interior_kernel": (72, 0, 0),  # today 57, 0, 0
    "psd_jordan_product_kernel": (72, 0, 0),  # today 64, 0, 0
    "psd_jordan_solve_kernel": (144, 0, 0),  # today 131, 0, 0
    "psd_max_step_kernel": (88, 0, 0),  # today 77, 0, 0
    "psd_nt_state_kernel": (88, 0, 0),  # today 80, 0, 0
    "psd_scale_kernel": (80, 0, 0),  # today 66, 0, 0
    "psd_smat_kernel": (40, 0, 0),  # today 28, 0, 0
    "psd_spectral_min_kernel": (88, 0, 0),  # today 76, 0, 0
    "psd_state_coo_kernel": (48, 0, 0),  # today 40, 0, 0
    "psd_state_csr_kernel": (64, 0, 0),  # today 54, 0, 0
    "psd_state_gram_kernel": (72, 0, 0),  # today 62, 0, 0
    "psd_svec_kernel": (40, 0, 0),  # today 28, 0, 0
    "psd_w_coo_gather_kernel": (48, 0, 0),  # today 38, 0, 0
    "psd_w_csr_gather_kernel": (56, 0, 0),  # today 43, 0, 0
    "reduce_max_kernel": (24, 0, 2048),  # today 14, 0, 2048
    "reduce_min_kernel": (24, 0, 2048),  # today 14, 0, 2048
    "reduce_sum_sq_kernel": (24, 0, 2048),  # today 14, 0, 2048
    "soc_expansion_csr_kernel": (64, 304, 0),  # today 53, 48, 0
    "soc_expansion_prep_kernel": (56, 0, 2048),  # today 47, 0, 2048
    "soc_interior_kernel": (32, 0, 2048),  # today 24, 0, 2048
    "soc_jordan_product_kernel": (32, 0, 2048),  # today 24, 0, 2048
    "soc_jordan_solve_kernel": (56, 0, 2048),  # today 42, 0, 2048
    "soc_max_step_kernel": (48, 0, 2048),  # today 38, 0, 2048
    "soc_nt_scaling_columns_kernel": (80, 0, 136),  # today 66, 0, 136
    "soc_nt_state_kernel": (72, 0, 2048),  # today 60, 0, 2048
    "soc_project_kernel": (32, 0, 0),  # today 24, 0, 0
    "soc_scale_kernel": (56, 0, 2048),  # today 44, 0, 2048
    "soc_spectral_min_kernel": (40, 0, 2048),  # today 26, 0, 2048
    "soc_state_coo_kernel": (40, 0, 0),  # today 30, 0, 0
    "soc_state_csr_kernel": (48, 0, 0),  # today 34, 0, 0
    "soc_violation_kernel": (40, 0, 2048),  # today 26, 0, 2048
    "zero_contains_kernel": (24, 0, 2048),  # today 14, 0, 2048
    "zero_hmatrix_coo_kernel": (24, 0, 0),  # today 16, 0, 0
    "zero_hmatrix_csr_kernel": (32, 0, 0),  # today 20, 0, 0
    "zero_nt_scaling_kernel": (40, 0, 0),  # today 26, 0, 0
}

# kernel: most dynamic shared bytes per block its launcher requests
DYNAMIC_SHARED = {
    # orders 3..32: one warp of 32 lanes for one order-32 item (two 32 x 33 doubles), or
    # several smaller items up to 16 KiB per block
    "psd_general_w_kernel": 16896,
}
BLOCK_SHARED_LIMIT = 48 * 1024

ENTRY = re.compile(r"Compiling entry function '([^']+)' for '(sm_\d+)'")
FRAME = re.compile(r"(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads")
USED = re.compile(r"Used (\d+) registers(?:.*?(\d+) bytes smem)?")


def nvcc():
    found = os.environ.get("NVCC") or shutil.which("nvcc") or "/usr/local/cuda/bin/nvcc"
    if not Path(found).exists():
        sys.exit("kernel_budgets: nvcc not found (set NVCC)")
    return found


def demangle(names):
    out = subprocess.run(["c++filt"], input="\n".join(names), capture_output=True, text=True, check=True).stdout
    return {m: d.split("(")[0].split("::")[-1] for m, d in zip(names, out.splitlines())}


def compile_one(source, workdir):
    gencode = [f"-gencode=arch=compute_{a},code=sm_{a}" for a in ARCHITECTURES]
    cmd = [nvcc(), "-x", "cu", "-std=c++17", "-rdc=true", "--fmad=false", "-O3", "-DNDEBUG", f"-I{ROOT}",
           *gencode, "-Xptxas", "-v", "-c", str(source), "-o", str(Path(workdir) / (source.stem + ".o"))]
    result = subprocess.run(cmd, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"kernel_budgets: compiling {source.name} failed:\n{result.stderr}")
    return result.stderr


def figures():
    """{(kernel, arch): (registers, local bytes, shared bytes)} of every entry function."""
    with tempfile.TemporaryDirectory() as work, ThreadPoolExecutor(max_workers=2) as pool:
        logs = list(pool.map(lambda s: compile_one(s, work), SOURCES))
    raw = {}
    for log in logs:
        current = None
        for line in log.splitlines():
            if m := ENTRY.search(line):
                current = (m.group(1), m.group(2))
                raw[current] = [0, 0, 0]
            elif current and (m := FRAME.search(line)):
                raw[current][1] = int(m.group(1)) + int(m.group(2))
            elif current and (m := USED.search(line)):
                raw[current][0] = int(m.group(1))
                raw[current][2] = int(m.group(2) or 0)
                current = None
    names = demangle(sorted({k for k, _ in raw}))
    return {(names[k], arch): tuple(v) for (k, arch), v in raw.items()}


def main():
    seen = figures()
    kernels = sorted({k for k, _ in seen})
    if "--report" in sys.argv:
        for k in kernels:
            per_arch = [seen[(k, f"sm_{a}")] for a in ARCHITECTURES if (k, f"sm_{a}") in seen]
            print(f"{k:40s} registers {max(p[0] for p in per_arch):3d}  local {max(p[1] for p in per_arch):6d}  "
                  f"shared {max(p[2] for p in per_arch):6d}")
        return 0
    problems = []
    for (kernel, arch), (regs, local, shared) in sorted(seen.items()):
        if kernel not in BUDGETS:
            problems.append(f"{kernel}: no budget (add one to scripts/kernel_budgets.py)")
            continue
        max_regs, max_local, max_shared = BUDGETS[kernel]
        for what, used, budget in (("registers", regs, max_regs), ("local bytes", local, max_local),
                                   ("shared bytes", shared, max_shared)):
            if used > budget:
                problems.append(f"{kernel} on {arch}: {used} {what} per thread/block, budget {budget}")
        if shared + DYNAMIC_SHARED.get(kernel, 0) > BLOCK_SHARED_LIMIT:
            problems.append(f"{kernel} on {arch}: {shared} static + {DYNAMIC_SHARED.get(kernel, 0)} dynamic shared "
                            f"bytes per block exceed {BLOCK_SHARED_LIMIT}")
    for kernel in sorted((set(BUDGETS) | set(DYNAMIC_SHARED)) - set(kernels)):
        problems.append(f"{kernel}: budget for a kernel that is not built")
    for p in sorted(set(problems)):
        print(p)
    checked = len(seen)
    print(f"kernel budgets: {checked} kernel builds over {len(ARCHITECTURES)} architectures, "
          f"{len(set(problems))} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
