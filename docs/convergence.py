"""Draws docs/convergence.png: the relative primal residual, dual residual and duality gap
of cones_ipm at every iteration on four of the shipped problems (LP, SOCP, SDP, portfolio),
host arrays.

    python docs/convergence.py            # from the repository root, with the module built
"""
import os
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
sys.path.insert(0, str(HERE.parent / "bench"))  # the shipped problems

import problems  # noqa: E402
from cones_ipm import solve  # noqa: E402

PROBLEMS = ["lp_random", "socp_random", "sdp_random", "portfolio"]
MEASURES = [("pres", "primal residual"), ("dres", "dual residual"), ("gap", "duality gap")]


def main():
    shipped = {p.name: p for p in problems.shipped_problems()}
    fig, axes = plt.subplots(1, len(MEASURES), figsize=(12, 3.8), sharey=True)
    for name in PROBLEMS:
        res = solve(shipped[name])
        its = range(len(res.history))  # iterate 0 is the starting point
        for ax, (key, _) in zip(axes, MEASURES):
            ax.semilogy(its, [max(h[key], 1e-17) for h in res.history], marker="o", markersize=3,
                        label=f"{name} ({res.status}, {res.iterations} it.)")
        print(f"{name}: {res.status} after {res.iterations} iterations")
    for ax, (_, title) in zip(axes, MEASURES):
        ax.set_title(f"relative {title}")
        ax.set_xlabel("iteration (0: the starting point)")
        ax.axhline(1e-8, color="grey", linewidth=0.8, linestyle="--")
        ax.grid(True, which="major", alpha=0.3)
    axes[0].set_ylabel("value (dashed: tolerance 1e-8)")
    axes[-1].legend(fontsize=8, loc="upper right")
    fig.suptitle("cones_ipm: residuals per iteration (cone arithmetic from _cpp_cuda / _ipm_cones)")
    fig.tight_layout()
    out = HERE / "convergence.png"
    fig.savefig(out, dpi=110)
    print(f"wrote {os.path.relpath(out)}")


if __name__ == "__main__":
    main()
