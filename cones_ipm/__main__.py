"""`python -m cones_ipm FILE`: read a problem file (SDPA sparse, MPS, CBF), solve it and print
a short verdict; the exit status tells the outcome."""
from __future__ import annotations

import argparse
import collections
import sys
import time

from . import solver
from .readers import FORMATS, FormatError, file_objective, read_problem
from .settings import overrides_from_texts

EXIT_CODES = {
    solver.OPTIMAL: 0,
    solver.ALMOST_OPTIMAL: 1,
    solver.PRIMAL_INFEASIBLE: 3,
    solver.DUAL_INFEASIBLE: 4,
    solver.ALMOST_PRIMAL_INFEASIBLE: 5,
    solver.ALMOST_DUAL_INFEASIBLE: 6,
    solver.MAX_ITERATIONS: 7,
    solver.NUMERICAL_ERROR: 8,
}
EXIT_USAGE, EXIT_BAD_FILE = 2, 9

_EPILOG = """exit status:
  0  optimal                    5  almost_primal_infeasible
  1  almost_optimal             6  almost_dual_infeasible
  2  usage error                7  max_iterations
  3  primal_infeasible          8  numerical_error (or the solver stopped with an error)
  4  dual_infeasible            9  unreadable or malformed file

The objective is printed in the file's own terms: its sense (MPS/CBF OBJSENSE) and constant
(the MPS objective row's RHS, CBF's OBJBCOORD) applied; for SDPA files it is c'x of
min c'x s.t. sum x_i F_i - F_0 psd. Infeasibility refers to the program as read:
min c'x s.t. G x + s = h, A x = b, s in K."""


def _parser():
    parser = argparse.ArgumentParser(
        prog="python -m cones_ipm", description="Solve a conic program from an SDPA sparse (.dat-s), "
        "MPS (.mps) or conic benchmark format (.cbf) file with cones_ipm.",
        epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file", help="the problem file (.dat-s, .mps or .cbf, optionally .gz)")
    parser.add_argument("--format", choices=FORMATS, help="the file's format (default: from its extension)")
    parser.add_argument("--where", choices=("host", "device"), default="host",
                        help="where the cone arithmetic runs (default: host)")
    parser.add_argument("--verbose", action="store_true", help="print the solver's iteration table")
    parser.add_argument("--set", action="append", default=[], metavar="KEY=VALUE",
                        help="a solver setting (a cones_ipm.Settings field; the value read as true/false, none, "
                        "int, float or text), e.g. --set max_iter=50, or a field of a settings group by its path, e.g. "
                        "--set kkt.attempts=3; repeatable")
    return parser


def _cone_summary(cones):
    """'nonnegative 1 (27 rows), psd 3 (orders 2, 2, 5)' and so on, in the order met."""
    groups = collections.OrderedDict()
    for cone in cones:
        groups.setdefault(cone.kind, []).append(cone)
    parts = []
    for kind, members in groups.items():
        count = sum(c.rows for c in members)
        rows = f"{count} row{'s' * (count != 1)}"
        if kind == "psd":
            orders = sorted({c.dim for c in members})
            detail = f"order{'s' * (len(orders) > 1)} {', '.join(map(str, orders))}; {rows}"
        elif kind == "exp":
            detail = f"{sum(c.dim for c in members)} triples"
        else:
            detail = rows
        parts.append(f"{kind} {len(members)} ({detail})")
    return ", ".join(parts) or "none"


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    # Settings by name; a field of a settings group by its path (kkt.attempts). A value out
    # of its range is a usage error, found before the file is read.
    try:
        overrides = overrides_from_texts(args.set)
    except (TypeError, ValueError) as err:
        parser.error(str(err))

    start = time.perf_counter()
    try:
        problem = read_problem(args.file, args.format)
    except FormatError as err:
        print(f"cones_ipm: {err}", file=sys.stderr)
        return EXIT_BAD_FILE
    except (OSError, UnicodeError) as err:
        print(f"cones_ipm: cannot read {args.file}: {err}", file=sys.stderr)
        return EXIT_BAD_FILE
    read_time = time.perf_counter() - start

    try:
        res = solver.solve(problem, where=args.where, verbose=args.verbose, **overrides)
    except Exception as err:  # noqa: BLE001 - reported as the solver's failure, with its message
        print(f"cones_ipm: the solver stopped with an error: {type(err).__name__}: {err}", file=sys.stderr)
        return EXIT_CODES[solver.NUMERICAL_ERROR]

    extra = problem.extra
    sense = extra.get("objective_sense", "min")
    offset = extra.get("objective_offset", 0.0)
    if res.status in (solver.OPTIMAL, solver.ALMOST_OPTIMAL, solver.MAX_ITERATIONS, solver.NUMERICAL_ERROR):
        terms = f"{sense}" + (f", constant {offset:g} included" if offset else "")
        if res.status not in (solver.OPTIMAL, solver.ALMOST_OPTIMAL):
            terms += "; the last iterate, not a solution"
        objective = f"{file_objective(problem, res.primal_objective):.10g} ({terms})"
    else:
        objective = "none (no optimal point)"
    print(f"file        {args.file} ({extra.get('format', args.format)}, {problem.name})")
    print(f"size        n {problem.n}, rows {problem.m + problem.p} ({problem.m} cone rows, "
          f"{problem.p} equalities); cones: {_cone_summary(problem.cones)}")
    print(f"status      {res.status}" + (f" ({res.message})" if res.message else ""))
    print(f"objective   {objective}")
    if res.status in (solver.PRIMAL_INFEASIBLE, solver.ALMOST_PRIMAL_INFEASIBLE):
        print(f"certificate y, z with A'y + G'z = 0, b'y + h'z = -1; its measure {res.dual_residual:.2e}")
    elif res.status in (solver.DUAL_INFEASIBLE, solver.ALMOST_DUAL_INFEASIBLE):
        print(f"certificate x, s with Ax = 0, Gx + s = 0, c'x = -1; its measure {res.primal_residual:.2e}")
    else:
        print(f"residuals   primal {res.primal_residual:.2e}, dual {res.dual_residual:.2e}, gap {res.gap:.2e}")
    print(f"iterations  {res.iterations}, time {res.solve_time:.3f} s (reading {read_time:.3f} s)")
    return EXIT_CODES.get(res.status, EXIT_CODES[solver.NUMERICAL_ERROR])


if __name__ == "__main__":
    sys.exit(main())
