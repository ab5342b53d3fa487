"""A PNG of the ratios written by bench/bench_targets.py: one panel per group of rows,
the ratio (reference time / module time; above 1 the module is faster) against the size,
with the line at 1.

    python bench/plot.py [rows.json] [-o ratios.png]
"""
import argparse
import json
import pathlib

HERE = pathlib.Path(__file__).resolve().parent


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("rows", type=pathlib.Path, nargs="?", default=HERE.parent / "build" / "bench" / "targets.json")
    parser.add_argument("-o", "--output", type=pathlib.Path, help="PNG file (default: beside the rows)")
    args = parser.parse_args()
    try:
        import matplotlib
    except ImportError:
        raise SystemExit("bench/plot.py needs matplotlib (pip install -r requirements.txt)")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = json.loads(args.rows.read_text())
    groups = list(dict.fromkeys(r["group"] for r in rows))
    columns = 2
    lines = (len(groups) + columns - 1) // columns
    fig, axes = plt.subplots(lines, columns, figsize=(7.5 * columns, 3.4 * lines), squeeze=False)
    for ax, group in zip(axes.flat, groups):
        members = [r for r in rows if r["group"] == group]
        labels = list(dict.fromkeys(r["label"] for r in members))
        sized = len({r["size"] for r in members}) > 1 and len(labels) < len(members)
        if sized:  # one curve per label over its sizes
            for label in labels:
                pts = sorted((r["size"], r["ratio"]) for r in members if r["label"] == label)
                ax.plot([p[0] for p in pts], [p[1] for p in pts], "o-", label=label)
            ax.set_xscale("log")
            ax.set_xlabel("entries")
            ax.legend(fontsize=7)
        else:  # one bar per row
            ax.barh(range(len(members)), [r["ratio"] for r in members])
            ax.set_yticks(range(len(members)), [r["label"] for r in members], fontsize=7)
            ax.invert_yaxis()
        if sized:
            ax.axhline(1.0, color="black", linewidth=0.8, linestyle="--")
            ax.set_ylim(bottom=0.0)
        else:
            ax.axvline(1.0, color="black", linewidth=0.8, linestyle="--")
        ax.set_title(group, fontsize=10)
    for ax in list(axes.flat)[len(groups):]:
        ax.set_visible(False)
    fig.suptitle("reference time / module time (above 1: the module is faster)")
    fig.tight_layout()
    output = args.output or args.rows.with_suffix(".png")
    fig.savefig(output, dpi=110)
    print(f"wrote {output}")


if __name__ == "__main__":
    main()
