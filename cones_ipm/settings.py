"""The solver's settings: tolerances, limits and every tunable of the iteration, the KKT
factorisation policy and the exponential cones' step search, with the range each must lie in."""
from __future__ import annotations

import functools
import math
from dataclasses import dataclass, field, fields, is_dataclass, replace

import numpy as np


@dataclass
class StepSettings:
    """The step of one iteration beyond its length rules (`Settings.step_fraction`,
    `min_step`, `retry_step`)."""
    centring_exponent: float = 3   # Mehrotra's centring σ = (1 − α_affine)^exponent
    # A step whose point is refused (not strictly interior, its scaling or factorisation
    # failing) is shortened by this factor, at most `max_shortenings` times.
    shortening: float = 0.5
    max_shortenings: int = 30


@dataclass
class KktSettings:
    """The factorisation policy of the KKT system and the scale its regularisation follows."""
    # Factorisations of one matrix: the plain one, then with ε on the cone block's diagonal
    # too, growing by `regularization_growth` per attempt; after the last one another
    # backend takes over.
    attempts: int = 5
    regularization_growth: float = 100.0
    # Relative residual of a refined solve above which the inertia of an unchecked
    # factorisation is read (and a wrong one refactorised as after a wrong inertia).
    # Refinement stalls between 1e-10 and 1e-7 in ill-conditioned endgames whatever the
    # inertia; a factorisation whose pivots went wrong leaves far larger residuals.
    suspect_solve: float = 1e-6
    # Relative residual of a refined solve above which a PARDISO factorisation is deemed
    # ruined (qdldl takes over), and above which a qdldl one is (the solve is no better than
    # 0; PARDISO takes over).
    failed_solve: float = 1e-3
    broken_solve: float = 1.0
    # The range of the cone block's scale γ (its diagonal's geometric mean) that the
    # regularisation follows. Measured on Netlib and SDPLIB: following it by up to 100
    # solves the control problems, whose slacks end up far larger than their duals; beyond
    # that (1e4) ε becomes too small for the pivots of some LPs and trusses.
    gamma_range: tuple = (1e-2, 1e2)
    # A supernodal factoriser's fixed costs (PARDISO's threads, the supernode set-up of
    # either) outweigh its speed below this many stored entries of −K, or when its analysis
    # predicts a factorisation below this many Mflop (little fill): "auto" then takes
    # qdldl, the quicker one.
    pardiso_min_entries: int = 20_000
    pardiso_min_mflop: float = 20
    # PARDISO's fill-reducing ordering, "nested_dissection" or "minimum_degree". Measured at
    # n + m = 10^4 (bench/bench_solver.py --set kkt.pardiso_ordering=..., one thread):
    # minimum degree factorises faster on the sparse LP and the lasso (0.50 and 1.9 s against
    # 0.81 and 3.5 s) but its analysis takes 8.3 and 41 s against 0.12 and 2.5 s, more than a
    # whole run's factorisations save; on the portfolio and robust LP models nested
    # dissection is faster in both.
    pardiso_ordering: str = "nested_dissection"


@dataclass
class ExpConeSettings:
    """The step search into the exponential cones' interiors."""
    # The factor between trial steps: 0.8, 0.9, 0.95, 0.97 and 0.99 took 434, 395, 363, 362
    # and 365 iterations in total on 35 runs of the exponential-cone models (Clarabel: 571).
    backtrack: float = 0.95
    shortest_step: float = 1e-4     # backtracking below this counts as no step


@dataclass
class Settings:
    """Everything a run can be told, validated on construction (`validate`). The groups
    `step`, `kkt` and `exp_cone` hold the tunables of one part of the solver each; they are
    replaced as a whole (`solve(p, kkt=KktSettings(attempts=3))`)."""
    tol_feas: float = 1e-8      # primal and dual ∞-norm residuals relative to the data and the terms of their sums
    tol_gap: float = 1e-8       # max(|primal − dual objective|, s'z / 10) relative to max(floor, |objective|)
    # An infeasibility certificate's own residual relative to its separation (both measured
    # on the certificate's own terms, so independent of the scale of c, b, h and the matrix).
    tol_infeas: float = 1e-8
    # An iteration that cannot go on (step collapse, refused scaling, failed factorisation,
    # no progress) ends at the best iterate so far, "almost" solved if it meets these.
    reduced_tol_feas: float = 1e-4
    reduced_tol_gap: float = 5e-5
    reduced_tol_infeas: float = 5e-5
    # The share of the complementarity s'z counted in the gap (see `measures`).
    gap_complementarity: float = 0.1
    max_iter: int = 200
    stall_iterations: int = 10   # iterations without halving the best merit end the run
    stall_progress: float = 0.5  # the factor by which the best merit or μ must fall to count as progress
    step_fraction: float = 0.99  # of the largest step to the boundary
    min_step: float = 1e-8       # a shorter step ends the run (at the best iterate)
    regularization: float = 1e-8  # static ε on the KKT diagonal (relative to unit scaling)
    refinement_steps: int = 10    # iterative refinement of each KKT solve against ε = 0, until
    refinement_reltol: float = 1e-14   # ‖residual‖∞ ≤ reltol ‖rhs‖∞ + abstol or no more decrease
    refinement_abstol: float = 1e-14   # (1e-13 and 1e-12 cost lovasz_theta 2 iterations)
    equilibrate: bool = True      # Ruiz equilibration of the constraint matrix
    equilibrate_iterations: int = 15
    equilibrate_bounds: tuple = (1e-4, 1e4)
    # Ruiz's iteration stops when every row and column maximum is within this of 1.
    equilibrate_tolerance: float = 0.1
    linear_solver: str = "auto"   # "pardiso" (MKL, if installed), "supernodal", "qdldl", "splu" (SuperLU), or "auto"
    corrector: bool = True        # Mehrotra's second-order term (third-order on exponential cones)
    # A combined step shorter than this is retried without the second-order terms (same
    # centring); the longer of the two steps is taken.
    retry_step: float = 0.1
    # Second-order cones of this dimension or more carry H⁻¹ as the module's sparse
    # expansion (two extra KKT rows per cone), smaller ones as dense blocks; None takes the
    # module's recommendation (SecondOrderCone.expansion_recommended, measured on a KKT
    # matrix whose cone rows each meet one variable). 8 is measured on the SOCP models
    # (bench/bench_solver.py --soc-expansion-min, bench/bench_endgame.py): dense
    # blocks of dimension 3 and 5 factor faster, from dimension 10 on the expansion does
    # (a dense block of 21 rows gave 15 times the fill and no convergence to 1e-8).
    soc_expansion_min: int | None = 8
    verbose: bool = False
    step: StepSettings = field(default_factory=StepSettings)
    kkt: KktSettings = field(default_factory=KktSettings)
    exp_cone: ExpConeSettings = field(default_factory=ExpConeSettings)

    def __post_init__(self):
        self.validate()

    def validate(self):
        """ValueError naming the first setting outside its range (TypeError for a value
        of the wrong type); nested settings are named by their path (`kkt.attempts`)."""
        for name, check, allowed in _SETTING_RULES:
            value = functools.reduce(getattr, name.split("."), self)
            ok = check(value)
            if ok is None:
                raise TypeError(f"setting {name} must be {allowed}, got {value!r}")
            if not ok:
                raise ValueError(f"setting {name} must be {allowed}, got {value!r}")


def _real(lo, hi, lo_open=True, hi_open=False):
    """Check of a finite real in an interval; None for a non-number."""
    def check(v):
        if isinstance(v, (bool, np.bool_)) or not isinstance(v, (int, float, np.integer, np.floating)):
            return None
        v = float(v)
        return (math.isfinite(v) and (v > lo if lo_open else v >= lo) and (v < hi if hi_open else v <= hi))
    return check


def _integer(lo, optional=False):
    def check(v):
        if v is None and optional:
            return True
        if isinstance(v, (bool, np.bool_)) or not isinstance(v, (int, np.integer)):
            return None
        return int(v) >= lo
    return check


def _flag(v):
    return True if isinstance(v, (bool, np.bool_)) else None


def _interval(lo_check, hi_check):
    """Check of a pair (lo, hi) with lo and hi each passing their own check."""
    def check(v):
        if not (isinstance(v, (tuple, list)) and len(v) == 2):
            return None
        lo, hi = v
        return bool(lo_check(lo)) and bool(hi_check(hi))
    return check


def _choice(*names):
    def check(v):
        return None if not isinstance(v, str) else v in names
    return check


def _instance(cls):
    def check(v):
        return True if isinstance(v, cls) else None
    return check


_UNIT = "a finite number in (0, 1)"
_ABOVE_ONE = _real(1.0, math.inf, lo_open=False, hi_open=True)
_SETTING_RULES = (
    ("tol_feas", _real(0.0, 1.0, hi_open=True), _UNIT),
    ("tol_gap", _real(0.0, 1.0, hi_open=True), _UNIT),
    ("tol_infeas", _real(0.0, 1.0, hi_open=True), _UNIT),
    ("reduced_tol_feas", _real(0.0, 1.0, hi_open=True), _UNIT),
    ("reduced_tol_gap", _real(0.0, 1.0, hi_open=True), _UNIT),
    ("reduced_tol_infeas", _real(0.0, 1.0, hi_open=True), _UNIT),
    ("gap_complementarity", _real(0.0, 1.0, lo_open=False), "a number in [0, 1]"),
    ("max_iter", _integer(0), "an integer >= 0"),
    ("stall_iterations", _integer(1), "an integer >= 1"),
    ("stall_progress", _real(0.0, 1.0), "a number in (0, 1]"),
    ("step_fraction", _real(0.0, 1.0), "a number in (0, 1]"),
    ("min_step", _real(0.0, 1.0, hi_open=True), _UNIT),
    ("regularization", _real(0.0, 1.0, lo_open=False, hi_open=True), "a finite number in [0, 1)"),
    ("refinement_steps", _integer(0), "an integer >= 0"),
    ("refinement_reltol", _real(0.0, 1.0, lo_open=False, hi_open=True), "a finite number in [0, 1)"),
    ("refinement_abstol", _real(0.0, 1.0, lo_open=False, hi_open=True), "a finite number in [0, 1)"),
    ("equilibrate", _flag, "True or False"),
    ("equilibrate_iterations", _integer(0), "an integer >= 0"),
    ("equilibrate_bounds", _interval(_real(0.0, 1.0), _ABOVE_ONE), "a pair (lo, hi) with 0 < lo <= 1 <= hi < inf"),
    ("equilibrate_tolerance", _real(0.0, 1.0, hi_open=True), _UNIT),
    ("linear_solver", _choice("auto", "qdldl", "pardiso", "supernodal", "splu"),
     "one of 'auto', 'qdldl', 'pardiso', 'supernodal', 'splu'"),
    ("corrector", _flag, "True or False"),
    ("retry_step", _real(0.0, 1.0, lo_open=False), "a number in [0, 1]"),
    ("soc_expansion_min", _integer(1, optional=True), "None or an integer >= 1"),
    ("verbose", _flag, "True or False"),
    ("step", _instance(StepSettings), "a StepSettings"),
    ("step.centring_exponent", _real(0.0, math.inf, hi_open=True), "a finite number > 0"),
    ("step.shortening", _real(0.0, 1.0, hi_open=True), _UNIT),
    ("step.max_shortenings", _integer(1), "an integer >= 1"),
    ("kkt", _instance(KktSettings), "a KktSettings"),
    ("kkt.attempts", _integer(2), "an integer >= 2"),
    ("kkt.regularization_growth", _ABOVE_ONE, "a finite number >= 1"),
    ("kkt.suspect_solve", _real(0.0, math.inf, hi_open=True), "a finite number > 0"),
    ("kkt.failed_solve", _real(0.0, math.inf, hi_open=True), "a finite number > 0"),
    ("kkt.broken_solve", _real(0.0, math.inf, hi_open=True), "a finite number > 0"),
    ("kkt.gamma_range", _interval(_real(0.0, 1.0), _ABOVE_ONE), "a pair (lo, hi) with 0 < lo <= 1 <= hi < inf"),
    ("kkt.pardiso_min_entries", _integer(0), "an integer >= 0"),
    ("kkt.pardiso_min_mflop", _real(0.0, math.inf, lo_open=False, hi_open=True), "a finite number >= 0"),
    ("kkt.pardiso_ordering", _choice("minimum_degree", "nested_dissection"),
     "one of 'minimum_degree', 'nested_dissection'"),
    ("exp_cone", _instance(ExpConeSettings), "an ExpConeSettings"),
    ("exp_cone.backtrack", _real(0.0, 1.0, hi_open=True), _UNIT),
    ("exp_cone.shortest_step", _real(0.0, 1.0, hi_open=True), _UNIT),
)


def _parse_value(text):
    """A KEY=VALUE value: bool (true/false), None (none), int, float, or else the string itself."""
    if text.lower() in ("true", "false"):
        return text.lower() == "true"
    if text.lower() == "none":
        return None
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def overrides_from_texts(items):
    """Keyword arguments of `Settings` from texts KEY=VALUE: a field by its name, a field of a
    settings group by its path (kkt.attempts), the group replaced as a whole with the fields
    given. ValueError for a malformed item, an unknown name or (from `Settings`) a value out
    of its range; TypeError for a value of the wrong type."""
    defaults = Settings()
    known = set()
    for f in fields(defaults):
        group = getattr(defaults, f.name)
        known |= {f"{f.name}.{g.name}" for g in fields(group)} if is_dataclass(group) else {f.name}
    known.discard("verbose")
    overrides, groups = {}, {}
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or not key:
            raise ValueError(f"expected KEY=VALUE, got {item!r}")
        if key not in known:
            raise ValueError(f"unknown solver setting {key!r} (one of: {', '.join(sorted(known))})")
        group, dot, name = key.partition(".")
        if dot:
            groups.setdefault(group, {})[name] = _parse_value(value)
        else:
            overrides[key] = _parse_value(value)
    for group, values in groups.items():
        overrides[group] = replace(getattr(defaults, group), **values)
    Settings(**overrides)
    return overrides
