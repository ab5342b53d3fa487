"""CVXPY's own solver conformance tests against cones_ipm's CVXPY interface.

Every test method of every `StandardTest*` class in `cvxpy.tests.solver_test_helpers`
(LPs, SOCPs, SDPs, exponential-cone and mixed programs, infeasible problems) runs against
`ConesIpm()`, found by introspection so that tests added upstream run here too. The solver
goes in as CVXPY's own tests pass theirs (`StandardTestLPs.test_lp_0(solver=cp.CLARABEL)`),
as the `solver=` argument: a custom solver is passed as an instance, since CVXPY looks
names up only among its own solvers. The helpers check objective values, primal values,
dual values (complementarity, dual cones, known multipliers) and, on infeasible problems,
the status, the ±inf value, the absence of primal values, the dual values of every
constraint and, for LPs, that they are a Farkas certificate.

A test is skipped only when it needs a cone or a feature cones_ipm does not have; every
exclusion below says which. The whole file runs in a few seconds.
"""
import inspect
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

pytest.importorskip("cvxpy")
helpers = pytest.importorskip("cvxpy.tests.solver_test_helpers")

from cones_ipm.cvxpy_interface import ConesIpm  # noqa: E402

POWER_CONE = "needs power cones (PowCone3D / PowConeND), which cones_ipm does not have"
MIXED_INTEGER = "needs integer variables; cones_ipm is a continuous solver (MIP_CAPABLE is False)"
QUADRATIC_OBJECTIVE = ("quadratic-objective tests: ConesIpm takes no quadratic objective "
                       "(supports_quad_obj() is False)")

# Whole classes, by reason.
EXCLUDED_CLASSES = {
    "StandardTestPCPs": POWER_CONE,
    "StandardTestQPs": QUADRATIC_OBJECTIVE,
}

# Single tests of the other classes, by reason.
EXCLUDED_TESTS = {
    ("StandardTestLPs", "test_mi_lp_0"): MIXED_INTEGER,
    ("StandardTestLPs", "test_mi_lp_1"): MIXED_INTEGER,
    ("StandardTestLPs", "test_mi_lp_2"): MIXED_INTEGER,
    ("StandardTestLPs", "test_mi_lp_3"): MIXED_INTEGER,
    ("StandardTestLPs", "test_mi_lp_4"): MIXED_INTEGER,
    ("StandardTestLPs", "test_mi_lp_5"): MIXED_INTEGER,
    ("StandardTestLPs", "test_mi_lp_6"): MIXED_INTEGER,
    ("StandardTestSOCPs", "test_mi_socp_1"): MIXED_INTEGER,
    ("StandardTestSOCPs", "test_mi_socp_2"): MIXED_INTEGER,
    ("StandardTestLPs", "test_lp_7"): "SDPA only: imports SDPA's sdpap and solves only with its GMP backend "
                                      "(its program runs in test_lp_7_program_without_the_sdpa_gate)",
    ("StandardTestLPs", "test_lp_bound_attr"): "needs variable bounds passed to the solver (BOUNDED_VARIABLES); "
                                               "ConesIpm takes bounds as constraint rows",
    ("StandardTestMixedCPs", "test_sdp_pcp_1"): POWER_CONE,
    ("StandardTestInfeasibleProblems", "test_power_cone_3d"): POWER_CONE,
    ("StandardTestInfeasibleProblems", "test_power_cone_nd"): POWER_CONE,
}


def standard_test_classes():
    return {name: cls for name, cls in vars(helpers).items()
            if name.startswith("StandardTest") and inspect.isclass(cls)}


def standard_tests():
    """(class name, method name, skip reason or None) of every test method upstream."""
    found = []
    for cls_name, cls in sorted(standard_test_classes().items()):
        for name in sorted(vars(cls)):
            if name.startswith("test_") and callable(getattr(cls, name)):
                found.append((cls_name, name, EXCLUDED_CLASSES.get(cls_name) or EXCLUDED_TESTS.get((cls_name, name))))
    return found


def params():
    return [pytest.param(cls_name, name, id=f"{cls_name}.{name}",
                         marks=[pytest.mark.skip(reason=reason)] if reason else [])
            for cls_name, name, reason in standard_tests()]


@pytest.mark.parametrize("cls_name, name", params())
@pytest.mark.filterwarnings("ignore:The problem has an expression with dimension greater than 2")   # CVXPY's own
def test_cvxpy_standard_test(cls_name, name):
    getattr(standard_test_classes()[cls_name], name)(solver=ConesIpm())


def test_lp_7_program_without_the_sdpa_gate():
    """StandardTestLPs.test_lp_7 imports SDPA's sdpap and solves only with its GMP backend;
    its program (ill-posed, b = h = 0 in the conic data, the objective a sum of positive
    parts: optimal value 0, which Clarabel finds in double precision) with the check the
    test makes, without that gate."""
    sth = helpers.lp_7()
    sth.solve(ConesIpm())
    sth.verify_objective(4)


def test_discovery_finds_the_standard_classes_and_exclusions_name_real_tests():
    """The introspection sees the classes and tests this file is about (an empty or renamed
    upstream module would otherwise pass silently), and every exclusion names an upstream
    test, so that a renamed test runs instead of being excluded under a stale name."""
    classes = standard_test_classes()
    for required in ("StandardTestLPs", "StandardTestSOCPs", "StandardTestSDPs", "StandardTestECPs",
                     "StandardTestMixedCPs", "StandardTestInfeasibleProblems"):
        assert required in classes
    tests = {(cls_name, name) for cls_name, name, _ in standard_tests()}
    assert set(EXCLUDED_TESTS) <= tests
    assert set(EXCLUDED_CLASSES) <= set(classes)
    running = [t for t in standard_tests() if t[2] is None]
    assert len(running) >= 25
