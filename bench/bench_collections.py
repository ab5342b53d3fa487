"""cones_ipm and Clarabel on the public benchmark collections in ../shared/benchmarks (Netlib LP
in MPS, SDPLIB in SDPA sparse format, CBF examples), both single-threaded, against the
published optimal values of the collections' README table (read at run time).

    python bench/bench_collections.py                          # every model (a few minutes)
    python bench/bench_collections.py --collection sdplib --timeout 120
    python bench/bench_collections.py --only AFIRO truss1 --linear-solver qdldl

One row per model: n, rows (cone rows + equalities), both statuses, the published value and
our relative error against it (in the file's terms), iterations (ours, Clarabel's, ours /
Clarabel's), wall times including each solver's setup (ours / Clarabel's: below 1 we are
faster), and OK/MISS against the targets:
- a published value: status optimal and |obj − ref| ≤ max(1e-6·max(1, |ref|), one unit in
  the last published digit) — some values are printed to four or five digits, truncated;
- Netlib's infeasible models: primal_infeasible;
- SDPLIB's infp1 (primal infeasible in SDPA's convention) primal_infeasible and infd1 (dual
  infeasible) dual_infeasible. SDPA's primal min cᵀx s.t. Σ xᵢFᵢ − F0 ⪰ 0 is our program
  itself (s = svec(Σ xᵢFᵢ − F0), G = −[svec Fᵢ], h = −svec F0), so its infeasibility is our
  primal_infeasible certificate (Z ⪰ 0 with Fᵢ•Z = 0 for all i and F0•Z > 0, i.e.
  Gᵀz = 0, hᵀz < 0), and infeasibility of SDPA's dual (Fᵢ•Z = cᵢ, Z ⪰ 0) is our
  dual_infeasible certificate (x with Σ xᵢFᵢ ⪰ 0 and cᵀx < 0, i.e. G x + s = 0, cᵀx < 0).

Each solve runs in a worker process with OMP_NUM_THREADS = MKL_NUM_THREADS =
OPENBLAS_NUM_THREADS = 1 (Clarabel also with max_threads = 1, its default tolerances
otherwise); a solve that exceeds --timeout seconds is stopped and reported as "timeout".
"""
import argparse
import json
import math
import os
import pathlib
import re
import statistics
import subprocess
import sys
import queue
import threading

ROOT = pathlib.Path(__file__).resolve().parents[1]
BENCHMARKS = ROOT.parent / "shared" / "benchmarks"
COLLECTIONS = {"netlib": "*.mps", "sdplib": "*.dat-s", "cbf": "*.cbf"}
THREAD_VARIABLES = ("OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS")
RESULT = "@@result "


# ---------------------------------------------------------------------------------------
# Published values


def published_values(readme):
    """{relative path: (value or None, text as published)} from the collections' README:
    its tables (first cell the file, last cell the value or "... infeasible") and the CBF
    examples given in prose as `cbf/NAME.cbf` (optimal objective V) or (V)."""
    refs = {}
    for line in readme.read_text().splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) >= 2 and "/" in cells[0] and cells[0].split("/")[0] in COLLECTIONS:
            refs[cells[0]] = _value(cells[-1])
    for path, text in re.findall(r"`(cbf/[^`]+\.cbf)`\s*\((?:optimal objective\s*)?([-+0-9.eE]+)\)",
                                 readme.read_text()):
        refs[path] = _value(text)
    return refs


def _value(text):
    try:
        return float(text), text
    except ValueError:
        return None, text


def tolerance(ref, text):
    """max(1e-6·max(1, |ref|), one unit in the last digit of the published text)."""
    mantissa, _, exponent = text.lower().partition("e")
    decimals = len(mantissa.partition(".")[2])
    unit = 10.0 ** (int(exponent or 0) - decimals)
    return max(1e-6 * max(1.0, abs(ref)), unit)


def target_status(text):
    """The status a model should end with: optimal, or the certificate for "infeasible"
    (Netlib: no feasible point), "primal infeasible" / "dual infeasible" (SDPA's convention,
    which is ours; see the module docstring)."""
    text = text.lower()
    if "dual infeasible" in text:
        return "dual_infeasible"
    if "infeasible" in text:
        return "primal_infeasible"
    return "optimal"


# ---------------------------------------------------------------------------------------
# The worker: reads a problem once and solves it with ours or Clarabel on request


def serve():
    sys.path.insert(0, str(ROOT))
    import time

    from cones_ipm import solve
    from peers import clarabel_solve
    from cones_ipm.readers import file_objective, read_problem

    # First calls pay for lazy imports and initialisation: take them on a tiny problem with
    # every cone kind first (min cᵀx over x ∈ K with c in the interior of K*).
    import numpy as np
    import scipy.sparse as sp

    from cones_ipm import ConeDecl, ConicProblem
    c = np.array([1.0, 1.0, 0.0, 0.0, 1.0, 0.0, 1.0, -1.0, 0.0, 1.0])
    tiny = ConicProblem("warm-up", c, -sp.eye(10, format="csr"), np.zeros(10),
                        [ConeDecl("nonnegative", 1), ConeDecl("soc", 3), ConeDecl("psd", 2), ConeDecl("exp", 1)],
                        sp.csr_matrix(np.ones((1, 10))), np.ones(1))
    for warm_up in (lambda: solve(tiny), lambda: clarabel_solve(tiny, max_threads=1)):
        try:
            warm_up()
        except Exception:  # noqa: BLE001 - a failing solver shows in the table, not here
            pass

    cached = (None, None)
    for line in sys.stdin:
        task = json.loads(line)
        out = {}
        try:
            if cached[0] != task["path"]:
                cached = (task["path"], read_problem(task["path"]))
            prob = cached[1]
            out.update(n=prob.n, rows=prob.m + prob.p, status="read")
            if task["solver"] == "size":
                pass
            elif task["solver"] == "ours":
                options = {"linear_solver": task["linear_solver"]} if task["linear_solver"] else {}
                start = time.perf_counter()
                res = solve(prob, **options)
                seconds = time.perf_counter() - start
                out.update(status=res.status, objective=file_objective(prob, res.primal_objective),
                           iterations=res.iterations, seconds=seconds)
            else:
                status, obj, seconds, iterations = clarabel_solve(prob, max_threads=1)
                out.update(status=status, objective=file_objective(prob, obj), iterations=iterations, seconds=seconds)
        except Exception as err:  # noqa: BLE001 - the table reports it
            out.update(status=f"error: {type(err).__name__}: {err}"[:80])
        print(RESULT + json.dumps(out), flush=True)


class Worker:
    """A worker process (python this_file --worker) fed tasks one JSON line at a time; a
    task that exceeds its timeout ends the process, and the next task starts a new one."""

    def __init__(self):
        self.proc = None

    def start(self):
        env = dict(os.environ, **{name: "1" for name in THREAD_VARIABLES})
        self.proc = subprocess.Popen([sys.executable, str(pathlib.Path(__file__).resolve()), "--worker"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True, env=env, cwd=ROOT)
        self.lines = queue.Queue()
        threading.Thread(target=self._pump, args=(self.proc.stdout, self.lines), daemon=True).start()

    @staticmethod
    def _pump(stream, lines):
        for line in stream:
            if line.startswith(RESULT):
                lines.put(json.loads(line[len(RESULT):]))
        lines.put(None)        # the process ended

    def run(self, task, timeout):
        if self.proc is None:
            self.start()
        self.proc.stdin.write(json.dumps(task) + "\n")
        self.proc.stdin.flush()
        try:
            out = self.lines.get(timeout=timeout)
        except queue.Empty:
            self.stop()
            return {"status": "timeout"}
        if out is None:
            self.stop()
            return {"status": "crashed"}
        return out

    def stop(self):
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait()
            self.proc = None


# ---------------------------------------------------------------------------------------
# The table


def fmt_seconds(t):
    return f"{t:8.3f}" if t is not None else f"{'-':>8}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", nargs="+", metavar="NAME", help="model names (file names without extension)")
    parser.add_argument("--collection", choices=tuple(COLLECTIONS), help="one collection only")
    parser.add_argument("--timeout", type=float, default=30.0,
                        help="seconds per solve (default 30; Clarabel needs about 110 s for gpp100)")
    parser.add_argument("--linear-solver", default="", help="our KKT factorisation (auto, pardiso, qdldl, splu)")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        serve()
        return
    readme = BENCHMARKS / "README.md"
    if not readme.exists():
        print(f"bench_collections: {BENCHMARKS} (with its README.md) is not there; nothing to run")
        return
    refs = published_values(readme)
    only = {name.lower() for name in args.only} if args.only else None
    models = []
    for coll, pattern in COLLECTIONS.items():
        if args.collection and coll != args.collection:
            continue
        for path in sorted((BENCHMARKS / coll).glob(pattern), key=lambda p: p.name.lower()):
            name = path.name.split(".")[0]
            if only is None or name.lower() in only:
                models.append((name, coll, path))
    if not models:
        print("bench_collections: no model matches")
        return

    print(f"cones_ipm vs Clarabel on {BENCHMARKS}: single-threaded, timeout {args.timeout:g} s per solve")
    print("iterations and times: ours, Clarabel's, ours / Clarabel's (time ratio below 1: we are faster)")
    header = (f"{'model':<10}{'coll':<7}{'n':>6}{'rows':>7}  {'ours':<18}{'clarabel':<18}{'published':>17}"
              f"{'rel.err':>9}{'it':>5}{'it.cl':>6}{'ratio':>6}{'t.ours':>9}{'t.cl':>9}{'ratio':>7}  verdict")
    print(header)
    print("-" * len(header))
    worker, misses, it_ratios, t_ratios = Worker(), [], [], []
    try:
        for name, coll, path in models:
            ref, text = refs.get(f"{coll}/{path.name}", (None, None))
            size = worker.run({"solver": "size", "path": str(path)}, args.timeout)
            ours = worker.run({"solver": "ours", "path": str(path), "linear_solver": args.linear_solver},
                              args.timeout)
            clar = worker.run({"solver": "clarabel", "path": str(path)}, args.timeout)
            n, rows = size.get("n"), size.get("rows")
            obj = ours.get("objective", math.nan)
            rel = abs(obj - ref) / max(1.0, abs(ref)) if ref is not None and math.isfinite(obj) else None
            if text is None:
                verdict = "no ref"
            elif ref is not None:
                ok = ours["status"] == "optimal" and rel is not None and abs(obj - ref) <= tolerance(ref, text)
                verdict = "OK" if ok else "MISS"
            else:
                verdict = "OK" if ours["status"] == target_status(text) else "MISS"
            if verdict == "MISS":
                misses.append(name)
            it, it_cl = ours.get("iterations"), clar.get("iterations")
            t, t_cl = ours.get("seconds"), clar.get("seconds")
            it_ratio = it / it_cl if it and it_cl else None
            t_ratio = t / t_cl if t and t_cl else None
            if it_ratio is not None:
                it_ratios.append(it_ratio)
            if t_ratio is not None:
                t_ratios.append(t_ratio)
            print(f"{name:<10.10}{coll:<7}{n if n is not None else '-':>6}{rows if rows is not None else '-':>7}  "
                  f"{ours['status'][:17]:<18}{clar['status'][:17]:<18}{(text or '-')[:17]:>17}"
                  f"{f'{rel:.1e}' if rel is not None else '-':>9}{it if it is not None else '-':>5}"
                  f"{it_cl if it_cl is not None else '-':>6}{f'{it_ratio:.2f}' if it_ratio else '-':>6}"
                  f"{fmt_seconds(t):>9}{fmt_seconds(t_cl):>9}{f'{t_ratio:.2f}' if t_ratio else '-':>7}  {verdict}",
                  flush=True)
            for who, out in (("ours", ours), ("Clarabel", clar), ("reading", size)):
                if out["status"].startswith("error"):
                    print(f"    {who}: {out['status']}")
    finally:
        worker.stop()
    print(f"\n{len(models)} models, {len(misses)} missed" + (f": {' '.join(misses)}" if misses else ""))
    if it_ratios:
        print(f"median iteration ratio (ours / Clarabel's) {statistics.median(it_ratios):.2f}, "
              f"median time ratio {statistics.median(t_ratios):.2f} over {len(it_ratios)} models")


if __name__ == "__main__":
    main()
