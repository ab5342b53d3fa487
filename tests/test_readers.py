"""Problem-file readers (SDPA sparse, MPS, CBF) and the command line `python -m cones_ipm FILE`.

Each reader is checked against an independent statement of the same model: MPS linear
programs against the hand-written LP solved by SciPy's HiGHS (the file's objective, and
the feasible set through the optimal values of random directions), SDPA against dense
matrices Σ xᵢFᵢ − F0 written out by hand, CBF against closed-form optimal values (solved by
Clarabel on the problem we read). Every class of malformed input raises FormatError naming
the file and line."""
import math
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import scipy.linalg
from scipy.optimize import linprog

from cones_ipm.readers import FormatError, file_objective, read_mps, read_problem
from peers import clarabel_solve

ROOT = pathlib.Path(__file__).resolve().parents[1]


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(textwrap.dedent(text).lstrip("\n"))
    return path


# ---------------------------------------------------------------------------------------
# MPS: linear programs against HiGHS on the hand-written model

RANGED = """
NAME RANGED
ROWS
 N COST
 E R1
 E R2
 L R3
 G R4
 L R5
 G R6
 E R7
COLUMNS
 X COST 1.0 R1 1.0
 X R2 1.0 R4 1.0
 X R5 1.0
 Y COST -2.0 R1 1.0
 Y R3 1.0 R4 2.0
 Y R6 1.0
 Z COST 0.5 R2 -1.0
 Z R3 1.0 R7 1.0
 W COST -1.0 R7 1.0
 W R5 1.0
RHS
 RHS COST -7.5
 RHS R1 4.0 R2 1.0
 RHS R3 8.0 R4 2.0
 RHS R5 10.0 R6 -1.0
 RHS R7 3.0
RANGES
 RNG R1 2.0 R2 -3.0
 RNG R3 -5.0 R4 -4.0
 RNG R7 0.0
BOUNDS
 UP BND X 5.0
ENDATA
"""
# min x − 2y + z/2 − w + 7.5 (the objective row's RHS −7.5 is minus the constant) s.t.
# R1 (E, R = 2): 4 ≤ x + y ≤ 6;   R2 (E, R = −3): −2 ≤ x − z ≤ 1;   R3 (L, R = −5): 3 ≤ y + z ≤ 8;
# R4 (G, R = −4): 2 ≤ x + 2y ≤ 6;  R5: x + w ≤ 10;  R6: y ≥ −1;  R7 (E, R = 0): z + w = 3;  0 ≤ x ≤ 5.
RANGED_LP = dict(
    sense=1, offset=7.5, c=[1, -2, 0.5, -1],
    A_ub=[[1, 1, 0, 0], [-1, -1, 0, 0], [1, 0, -1, 0], [-1, 0, 1, 0], [0, 1, 1, 0], [0, -1, -1, 0],
          [1, 2, 0, 0], [-1, -2, 0, 0], [1, 0, 0, 1], [0, -1, 0, 0]],
    b_ub=[6, -4, 1, 2, 8, -3, 6, -2, 10, 1],
    A_eq=[[0, 0, 1, 1]], b_eq=[3],
    bounds=[(0, 5), (0, None), (0, None), (0, None)])

BOUNDED = """
NAME BOUNDED
OBJSENSE
    MAX
ROWS
 N PROFIT
 L CAP
 G L4
 L U4
 G L5
 G L7
COLUMNS
 X1 PROFIT 1.0 CAP 1.0
 X2 PROFIT 2.0 CAP 1.0
 X3 PROFIT -1.0 CAP 1.0
 X4 PROFIT 1.0 CAP 1.0
 X4 L4 1.0 U4 1.0
 X5 PROFIT 1.0 CAP 1.0
 X5 L5 2.0
 X6 PROFIT -1.0 CAP 1.0
 X6 U4 1.0
 X7 PROFIT -3.0 L7 1.0
 X8 PROFIT 1.0 L7 -1.0
RHS
 RHS CAP 20.0 L4 -6.0
 RHS U4 9.0 L5 -16.0
 RHS L7 -9.0
BOUNDS
 UP BND X1 4.0
 LO BND X2 -3.0
 UP BND X2 5.0
 FX BND X3 2.5
 FR BND X4
 MI BND X5
 UP BND X5 3.0
 LO BND X6 1.0
 PL BND X6
 UP BND X7 -2.0
 LO BND X8 -1.0
 UP BND X8 -0.5
ENDATA
"""
# max x1 + 2x2 − x3 + x4 + x5 − x6 − 3x7 + x8 s.t. Σ x1..x6 ≤ 20, x4 ≥ −6, x4 + x6 ≤ 9,
# 2x5 ≥ −16, x7 − x8 ≥ −9; bounds: x1 ∈ [0, 4], x2 ∈ [−3, 5], x3 = 2.5, x4 free,
# x5 ∈ (−∞, 3], x6 ∈ [1, ∞), x7 ∈ (−∞, −2] (a negative UP on a default lower bound),
# x8 ∈ [−1, −0.5] (LO set before the negative UP, so it stays).
BOUNDED_LP = dict(
    sense=-1, offset=0.0, c=[1, 2, -1, 1, 1, -1, -3, 1],
    A_ub=[[1, 1, 1, 1, 1, 1, 0, 0], [0, 0, 0, -1, 0, 0, 0, 0], [0, 0, 0, 1, 0, 1, 0, 0],
          [0, 0, 0, 0, -2, 0, 0, 0], [0, 0, 0, 0, 0, 0, -1, 1]],
    b_ub=[20, 6, 9, 16, 9], A_eq=None, b_eq=None,
    bounds=[(0, 4), (-3, 5), (2.5, 2.5), (None, None), (None, 3), (1, None), (None, -2), (-1, -0.5)])

ONELINE = """
NAME ONELINE
OBJSENSE MAX
ROWS
 N OBJ
 N NOTES
 L LIM1
 L LIM2
COLUMNS
 A OBJ 3.0 LIM1 1.0
 A LIM2 1.0 NOTES 9.0
 B OBJ 2.0 LIM1 1.0
 B LIM2 3.0
RHS
 RHS OBJ 4.0 LIM1 4.0
 RHS LIM2 6.0 NOTES 1.0
ENDATA
"""
# max 3a + 2b − 4 s.t. a + b ≤ 4, a + 3b ≤ 6, a, b ≥ 0 (the second N row is not the objective).
ONELINE_LP = dict(sense=-1, offset=-4.0, c=[3, 2], A_ub=[[1, 1], [1, 3]], b_ub=[4, 6], A_eq=None, b_eq=None,
                  bounds=[(0, None), (0, None)])

MPS_MODELS = {"ranges": (RANGED, RANGED_LP), "bounds-max": (BOUNDED, BOUNDED_LP),
              "objsense-line": (ONELINE, ONELINE_LP)}


def highs(c, lp):
    return linprog(c, A_ub=lp["A_ub"], b_ub=lp["b_ub"], A_eq=lp["A_eq"], b_eq=lp["b_eq"], bounds=lp["bounds"],
                   method="highs")


def highs_of_problem(c, prob):
    """min cᵀx over the problem as read: G x ≤ h (its one nonnegative cone), A x = b, x free."""
    assert all(cone.kind == "nonnegative" for cone in prob.cones)
    return linprog(c, A_ub=prob.G.toarray() if prob.m else None, b_ub=prob.h if prob.m else None,
                   A_eq=prob.A.toarray() if prob.p else None, b_eq=prob.b if prob.p else None,
                   bounds=(None, None), method="highs")


@pytest.mark.parametrize("model", MPS_MODELS)
def test_mps_linear_programs_match_highs(tmp_path, model):
    text, lp = MPS_MODELS[model]
    prob = read_problem(write(tmp_path, f"{model}.mps", text))
    assert prob.extra["objective_sense"] == ("max" if lp["sense"] < 0 else "min")
    # The file's objective: the hand-written LP (maximisations as min of −c) against ours.
    ref = highs(lp["sense"] * np.asarray(lp["c"], float), lp)
    ours = highs_of_problem(prob.c, prob)
    assert ref.status == 0 and ours.status == 0
    expected = lp["sense"] * ref.fun + lp["offset"]
    assert file_objective(prob, ours.fun) == pytest.approx(expected, rel=1e-9, abs=1e-9)
    # The feasible set: the same optimal value in random directions (statuses agree too).
    rng = np.random.default_rng(7)
    for _ in range(24):
        d = rng.standard_normal(prob.n)
        a, b = highs(d, lp), highs_of_problem(d, prob)
        assert a.status == b.status
        if a.status == 0:
            assert b.fun == pytest.approx(a.fun, rel=1e-9, abs=1e-9)


def fixed_mps(free_text, rename):
    """The free MPS text laid out in fixed columns (2–3, 5–12, 15–22, 25–36, 40–47, 50–61),
    names mapped through `rename` (which may put spaces in them); the RHS set name is left
    blank, as fixed MPS allows."""
    spans = (1, 4, 14, 24, 39, 49)
    out, section = [], None
    for line in textwrap.dedent(free_text).strip().splitlines():
        if not line[0].isspace():
            section = line.split()[0]
            out.append(line)
            continue
        tok = [rename.get(t, t) for t in line.split()]
        if section in ("COLUMNS", "RHS", "RANGES"):
            tok = [""] + tok
        if section == "RHS":
            tok[1] = ""
        row = ""
        for start, field in zip(spans, tok):
            row = row.ljust(start) + field
        out.append(row)
    return "\n".join(out) + "\n"


def test_fixed_and_free_mps_give_the_same_problem(tmp_path):
    free = read_problem(write(tmp_path, "ranged.mps", RANGED))
    path = write(tmp_path, "ranged_fixed.mps", fixed_mps(RANGED, {"R1": "ROW ONE", "Y": "Y VAR"}))
    with pytest.raises(FormatError):
        read_mps(path, format="free")        # names with spaces: only the fixed layout reads it
    for fmt in ("auto", "fixed"):
        fixed = read_mps(path, format=fmt)
        assert fixed.cones == free.cones
        for name in ("c", "h", "b"):
            np.testing.assert_array_equal(getattr(fixed, name), getattr(free, name))
        np.testing.assert_array_equal(fixed.G.toarray(), free.G.toarray())
        np.testing.assert_array_equal(fixed.A.toarray(), free.A.toarray())
        assert fixed.extra["objective_offset"] == free.extra["objective_offset"] == 7.5


# ---------------------------------------------------------------------------------------
# SDPA: the rows against dense matrices written out by hand

SDPA_PLAIN = """
3
3
2 3 -2
1.0 -2.0 0.5
0 1 1 1 1.0
0 1 1 2 0.5
0 2 2 2 3.0
0 3 2 2 -1.0
1 1 1 1 2.0
1 2 1 3 1.5
1 2 3 1 0.25
2 1 2 2 1.0
2 1 1 2 -0.5
2 1 1 2 -0.25
2 3 1 1 1.0
3 2 2 3 1.0
3 2 3 3 -2.0
3 3 2 2 4.0
"""
# The same data with comment lines, trailing header comments, braces, commas, parentheses,
# c over two lines and blank lines.
SDPA_DECORATED = """
"a small SDP: two dense blocks and a diagonal block"
* another comment
  3 = mDIM
  3 = nBLOCK
{2, 3, -2}
(1.0, -2.0,
 0.5)
0 1 1 1 1.0
0 1 1 2 0.5
0 2 2 2 3.0

0 3 2 2 -1.0
1,1,1,1,2.0
1 2 1 3 1.5
1 2 3 1 0.25
2 1 2 2 1.0
2 1 1 2 -0.5
2 1 1 2 -0.25
2 3 1 1 1.0
3 2 2 3 1.0
3 2 3 3 -2.0
3 3 2 2 4.0
"""


def sdpa_blocks():
    """F0..F3 per block (2×2, 3×3, diagonal of 2) as dense symmetric matrices: the i > j
    entry of F1 mirrored and added to (1, 3), the two (1, 2) entries of F2 added."""
    z2, z3 = np.zeros((2, 2)), np.zeros((3, 3))
    F = [[z2.copy(), z3.copy(), np.zeros(2)] for _ in range(4)]
    F[0][0][:] = [[1.0, 0.5], [0.5, 0.0]]
    F[0][1][1, 1] = 3.0
    F[0][2][1] = -1.0
    F[1][0][0, 0] = 2.0
    F[1][1][0, 2] = F[1][1][2, 0] = 1.75
    F[2][0][:] = [[0.0, -0.75], [-0.75, 1.0]]
    F[2][2][0] = 1.0
    F[3][1][1, 2] = F[3][1][2, 1] = 1.0
    F[3][1][2, 2] = -2.0
    F[3][2][1] = 4.0
    return F


def svec(S):
    k = S.shape[0]
    return np.array([S[i, j] * (1.0 if i == j else math.sqrt(2.0)) for i in range(k) for j in range(i + 1)])


@pytest.mark.parametrize("text", [SDPA_PLAIN, SDPA_DECORATED], ids=["plain", "decorated"])
def test_sdpa_rows_are_svec_of_the_linear_matrix_inequality(tmp_path, text):
    prob = read_problem(write(tmp_path, "small.dat-s", text))
    assert [(c.kind, c.dim) for c in prob.cones] == [("psd", 2), ("psd", 3), ("nonnegative", 2)]
    np.testing.assert_array_equal(prob.c, [1.0, -2.0, 0.5])
    assert prob.p == 0 and file_objective(prob, 1.25) == 1.25
    F = sdpa_blocks()
    rng = np.random.default_rng(3)
    for x in [np.zeros(3), *rng.standard_normal((4, 3))]:
        S = [sum(x[i] * F[i + 1][b] for i in range(3)) - F[0][b] for b in range(3)]
        expected = np.concatenate([svec(S[0]), svec(S[1]), S[2]])
        np.testing.assert_allclose(prob.h - prob.G @ x, expected, rtol=0, atol=1e-14)


# ---------------------------------------------------------------------------------------
# CBF: closed-form optimal values

CBF_CASES = {
    # min u0 + 2u1 s.t. (u0, u1, u2) ∈ QR (2u0u1 ≥ u2²), u2 = 1: u0 u1 ≥ 1/2, so 2√(2u0u1) = 2.
    "rotated-var": ("""
        VER
        3

        VAR
        3 1
        QR 3

        CON
        1 1
        L= 1

        OBJACOORD
        2
        0 1.0
        1 2.0

        ACOORD
        1
        0 2 1.0

        BCOORD
        1
        0 -1.0
        """, 2.0),
    # min x0 + 4x1 s.t. (x0, x1, 1, 1) ∈ QR: x0 x1 ≥ 1, so 2√(4 x0 x1) = 4.
    "rotated-rows": ("""
        VER
        3
        OBJSENSE
        MIN
        VAR
        2 1
        F 2
        CON
        4 1
        QR 4
        OBJACOORD
        2
        0 1.0
        1 4.0
        ACOORD
        2
        0 0 1.0
        1 1 1.0
        BCOORD
        2
        2 1.0
        3 1.0
        """, 4.0),
    # min x s.t. (x, 2, 1) ∈ EXP (u0 ≥ u1 exp(u2/u1)): 2 e^{1/2}.
    "exp": ("""
        VER
        3
        VAR
        1 1
        F 1
        CON
        3 1
        EXP 3
        OBJACOORD
        1
        0 1.0
        ACOORD
        1
        0 0 1.0
        BCOORD
        2
        1 2.0
        2 1.0
        """, 2.0 * math.exp(0.5)),
    # min x s.t. (x, 1, −1) ∈ EXP* (u0 ≥ −u2 exp(u1/u2 − 1), u2 < 0): e^{−2}.
    "exp-dual-rows": ("""
        VER
        3
        VAR
        1 1
        F 1
        CON
        3 1
        EXP* 3
        OBJACOORD
        1
        0 1.0
        ACOORD
        1
        0 0 1.0
        BCOORD
        2
        1 1.0
        2 -1.0
        """, math.exp(-2.0)),
    # min u0 s.t. (u0, u1, u2) ∈ EXP* as variables, u1 = −2, u2 = −1/2: u0 ≥ ½ e^{4 − 1}.
    "exp-dual-var": ("""
        VER
        3
        VAR
        3 1
        EXP* 3
        CON
        2 1
        L= 2
        OBJACOORD
        1
        0 1.0
        ACOORD
        2
        0 1 1.0
        1 2 1.0
        BCOORD
        2
        0 2.0
        1 0.5
        """, 0.5 * math.exp(3.0)),
    # min ⟨C, X⟩ s.t. ⟨B, X⟩ = 1, X ⪰ 0 (C's (0, 1) entry given in the upper triangle): the
    # smallest generalised eigenvalue of (C, B).
    "psd-variable": ("""
        VER
        3
        PSDVAR
        1
        3
        CON
        1 1
        L= 1
        OBJFCOORD
        5
        0 0 0 2.0
        0 0 1 1.0
        0 1 1 3.0
        0 2 1 1.0
        0 2 2 4.0
        FCOORD
        4
        0 0 0 0 1.0
        0 0 1 0 0.5
        0 0 1 1 1.0
        0 0 2 2 1.0
        BCOORD
        1
        0 -1.0
        """, scipy.linalg.eigh(np.array([[2.0, 1, 0], [1, 3, 1], [0, 1, 4]]),
                               np.array([[1.0, 0.5, 0], [0.5, 1, 0], [0, 0, 1]]), eigvals_only=True)[0]),
    # min t s.t. t I − M ⪰ 0 (DCOORD = −M, one entry in the upper triangle): λmax(M).
    "psd-constraint": ("""
        VER
        3
        VAR
        1 1
        F 1
        PSDCON
        1
        3
        OBJACOORD
        1
        0 1.0
        HCOORD
        3
        0 0 0 0 1.0
        0 0 1 1 1.0
        0 0 2 2 1.0
        DCOORD
        5
        0 0 0 -1.0
        0 0 1 -2.0
        0 1 1 1.0
        0 2 1 -0.5
        0 2 2 -3.0
        """, np.linalg.eigvalsh(np.array([[1.0, 2, 0], [2, -1, 0.5], [0, 0.5, 3]]))[-1]),
    # max x0 + x1 + 3 s.t. x0 + 2x1 − 4 ≤ 0, x ≥ 0: 7 in the file's terms.
    "max-constant": ("""
        VER
        3
        OBJSENSE
        MAX
        VAR
        2 1
        L+ 2
        CON
        1 1
        L- 1
        OBJACOORD
        2
        0 1.0
        1 1.0
        OBJBCOORD
        3.0
        ACOORD
        2
        0 0 1.0
        0 1 2.0
        BCOORD
        1
        0 -4.0
        """, 7.0),
}


@pytest.mark.parametrize("case", CBF_CASES)
def test_cbf_optimal_values_match_closed_forms(tmp_path, case):
    text, expected = CBF_CASES[case]
    prob = read_problem(write(tmp_path, f"{case}.cbf", text))
    status, objective, _, _ = clarabel_solve(prob, tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)
    assert status in ("Solved", "AlmostSolved")
    assert file_objective(prob, objective) == pytest.approx(expected, rel=1e-7, abs=1e-8)


# ---------------------------------------------------------------------------------------
# Malformed and unsupported files: FormatError naming the file and line

SDPA_HEAD = "2\n1\n2\n1.0 2.0\n"
MPS_HEAD = "NAME T\nROWS\n N COST\n L R1\nCOLUMNS\n X COST 1.0 R1 1.0\n"
CBF_HEAD = "VER\n3\nVAR\n2 1\nF 2\n"

MALFORMED = [
    # (file name, text, line, what the message says)
    ("fields.dat-s", SDPA_HEAD + "0 1 1 1 1.0\n1 1 2\n", 6, "expected 5 fields 'matno blkno i j value', got 3"),
    ("blkno.dat-s", SDPA_HEAD + "1 1.5 1 1 1.0\n", 5, "expected an integer blkno, got '1.5'"),
    ("matno.dat-s", SDPA_HEAD + "3 1 1 1 1.0\n", 5, "expected matno in 0..2, got 3"),
    ("block.dat-s", SDPA_HEAD + "1 2 1 1 1.0\n", 5, "expected blkno in 1..1, got 2"),
    ("index.dat-s", SDPA_HEAD + "1 1 1 3 1.0\n", 5, "expected indices in 1..2 for block 1, got (1, 3)"),
    ("value.dat-s", SDPA_HEAD + "1 1 1 1 x\n", 5, "expected a numeric value, got 'x'"),
    ("diag.dat-s", "1\n1\n-2\n1.0\n1 1 1 2 1.0\n", 5, "expected i == j in diagonal block 1"),
    ("m.dat-s", '"title"\nabc\n1\n2\n', 2, "expected the number of constraint matrices m"),
    ("c-long.dat-s", "2\n1\n2\n1.0 2.0 3.0\n", 4, "expected 2 entries of the vector c"),
    ("c-short.dat-s", "2\n1\n2\n1.0\n", 4, "file ended; expected the vector c"),
    ("size0.dat-s", "1\n2\n2 0\n1.0\n", 3, "expected nonzero block sizes"),
    ("row.mps", MPS_HEAD + " X R2 1.0\nENDATA\n", 7, "column 'X' refers to undefined row 'R2'"),
    ("coef.mps", MPS_HEAD + " Y COST abc\nENDATA\n", 7, "expected a coefficient for column 'Y', row 'COST'"),
    ("rhs.mps", MPS_HEAD + "RHS\n RHS R9 1.0\nENDATA\n", 8, "RHS refers to undefined row 'R9'"),
    ("bcol.mps", MPS_HEAD + "BOUNDS\n UP BND Q 1.0\nENDATA\n", 8, "BOUNDS refers to undefined column 'Q'"),
    ("btype.mps", MPS_HEAD + "BOUNDS\n XX BND X 1.0\nENDATA\n", 8, "expected bound type UP, LO, FX, FR, MI or PL"),
    ("binary.mps", MPS_HEAD + "BOUNDS\n BV BND X\nENDATA\n", 8, "unsupported: bound type BV"),
    ("marker.mps", MPS_HEAD + " M1 'MARKER' 'INTORG'\nENDATA\n", 7, "unsupported: integer variables"),
    ("quad.mps", MPS_HEAD + "QUADOBJ\n X X 1.0\nENDATA\n", 7, "unsupported: section QUADOBJ"),
    ("section.mps", MPS_HEAD + "FOO\nENDATA\n", 7, "expected a section header"),
    ("rowtype.mps", "NAME T\nROWS\n N COST\n Q R1\nENDATA\n", 4, "expected row type N, L, G or E, got 'Q'"),
    ("sense.mps", "NAME T\nOBJSENSE\n    UP\nROWS\n", 3, "expected MIN or MAX for OBJSENSE, got 'UP'"),
    ("orphan.mps", " X COST 1.0\n", 1, "expected a section header before data lines"),
    ("endata.mps", MPS_HEAD + "RHS\n RHS R1 1.0\n", 8, "file ended without ENDATA"),
    ("ver.cbf", "VAR\n2 1\nF 2\n", 1, "expected VER before VAR"),
    ("keyword.cbf", CBF_HEAD + "FOO\n1\n", 6, "expected a keyword line"),
    ("acoord.cbf", CBF_HEAD + "CON\n1 1\nL+ 1\nACOORD\n1\n0 1\n", 11, "expected 3 fields 'i j value' in ACOORD"),
    ("aindex.cbf", CBF_HEAD + "CON\n1 1\nL+ 1\nACOORD\n1\n0 2 1.0\n", 11, "expected a variable index j in 0..1"),
    ("pow.cbf", "VER\n3\nVAR\n3 1\n@0:POW 3\n", 5, "unsupported: power cone '@0:POW'"),
    ("int.cbf", CBF_HEAD + "INT\n1\n0\n", 6, "unsupported: integer variables"),
    ("cover.cbf", "VER\n3\nVAR\n3 1\nF 2\n", 4, "the cones of VAR cover 2 entries, expected 3"),
    ("expsize.cbf", "VER\n3\nVAR\n2 1\nEXP 2\n", 5, "expected size 3 for an EXP cone, got 2"),
    ("ended.cbf", CBF_HEAD + "OBJACOORD\n2\n0 1.0\n", 8, "file ended; expected 'j value' in OBJACOORD"),
    ("objsense.cbf", "VER\n3\nOBJSENSE\nUP\n", 4, "expected MIN or MAX, got 'UP'"),
]


@pytest.mark.parametrize("name, text, line, message", MALFORMED, ids=[m[0] for m in MALFORMED])
def test_malformed_files_name_the_file_and_line(tmp_path, name, text, line, message):
    path = tmp_path / name
    path.write_text(text)
    with pytest.raises(FormatError) as info:
        read_problem(path)
    err = info.value
    assert isinstance(err, ValueError)
    assert (err.path, err.line) == (str(path), line)
    assert str(err).startswith(f"{path}:{line}: ")
    assert message in err.message


def test_unknown_extension_is_refused(tmp_path):
    path = tmp_path / "model.txt"
    path.write_text("1\n")
    with pytest.raises(FormatError, match="cannot tell the format"):
        read_problem(path)
    assert read_problem(write(tmp_path, "model.txt", ONELINE), format="mps").extra["objective_sense"] == "max"


# ---------------------------------------------------------------------------------------
# The command line: exit status by outcome

CLI_CASES = {
    "optimal": ("oneline.mps", ONELINE, 0),
    "infeasible": ("infeasible.mps", "NAME I\nROWS\n N C\n L UP\n G LO\nCOLUMNS\n X C 1.0 UP 1.0\n X LO 1.0\n"
                   "RHS\n RHS UP 1.0 LO 2.0\nENDATA\n", 3),
    "unbounded": ("unbounded.mps", "NAME U\nROWS\n N C\n G LO\nCOLUMNS\n X C -1.0 LO 1.0\nRHS\n RHS LO 1.0\n"
                  "ENDATA\n", 4),
    "malformed": ("broken.dat-s", SDPA_HEAD + "1 1 2\n", 9),
    # Settings: a field of a settings group by its path, the iteration limit, and values out of
    # their range refused as a usage error before the file is read.
    "group setting": ("oneline.mps", ONELINE, 0, "--set", "kkt.attempts=3", "--set", "step.shortening=0.25"),
    "iteration limit": ("oneline.mps", ONELINE, 7, "--set", "max_iter=0"),
    "setting out of range": ("oneline.mps", ONELINE, 2, "--set", "kkt.attempts=1"),
    "unknown setting": ("oneline.mps", ONELINE, 2, "--set", "kkt.nope=1"),
}


@pytest.mark.parametrize("case", CLI_CASES)
def test_command_line_exit_status(tmp_path, case):
    name, text, code, *options = CLI_CASES[case]
    path = write(tmp_path, name, text)
    run = subprocess.run([sys.executable, "-m", "cones_ipm", str(path), *options], cwd=ROOT, capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == code, run.stdout + run.stderr
    if case in ("optimal", "group setting"):
        line = next(ln for ln in run.stdout.splitlines() if ln.startswith("objective"))
        ref = highs(-np.asarray(ONELINE_LP["c"], float), ONELINE_LP)
        assert float(line.split()[1]) == pytest.approx(-ref.fun - 4.0, rel=1e-6)
    if case == "malformed":
        assert f"{path}:5: expected 5 fields" in run.stderr
        assert "Traceback" not in run.stderr and not run.stdout
    if code == 2:
        assert ("must be an integer >= 2, got 1" if case == "setting out of range" else "unknown solver setting 'kkt.nope'") \
            in run.stderr and not run.stdout
