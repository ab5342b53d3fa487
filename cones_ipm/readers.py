"""Readers for the standard problem files of conic optimisation: SDPA sparse (`.dat-s`),
MPS (free and fixed, `.mps`) and the conic benchmark format (`.cbf`), each returning a
ConicProblem (min cᵀx s.t. G x + s = h, A x = b, s ∈ K).

Every problem carries in `extra` the objective sense and constant of the file
(`extra["objective_sense"]` is "min" or "max", `extra["objective_offset"]` the constant),
so that `file_objective(problem, cᵀx)` gives the objective in the file's own terms; c itself
is always the minimisation cost (negated for a maximisation). A malformed or unsupported
file raises FormatError naming the file, the line and what was expected."""
from __future__ import annotations

import gzip
import math
import os
import re

import numpy as np
import scipy.sparse as sp

from .problem import SQRT2, ConeDecl, ConicProblem

FORMATS = ("sdpa", "mps", "cbf")


class FormatError(ValueError):
    """A problem file that cannot be read: `path:line: what was expected`."""

    def __init__(self, path, line, message):
        self.path, self.line, self.message = str(path), line, message
        where = f"{self.path}:{line}" if line is not None else self.path
        super().__init__(f"{where}: {message}")


def file_objective(problem: ConicProblem, value: float) -> float:
    """The objective in the file's own terms for the minimisation objective `value` = cᵀx
    of a problem made by these readers: sign flipped back for a maximisation, the file's
    constant added."""
    sign = -1.0 if problem.extra.get("objective_sense", "min") == "max" else 1.0
    return sign * value + problem.extra.get("objective_offset", 0.0)


def read_problem(path, format: str | None = None) -> ConicProblem:
    """Read `path` as `format` ("sdpa", "mps" or "cbf"), or by its extension: `.dat-s`,
    `.mps`, `.cbf`, each optionally gzipped (`.gz`)."""
    if format is None:
        base = str(path)[:-3] if str(path).endswith(".gz") else str(path)
        for ext, fmt in ((".dat-s", "sdpa"), (".mps", "mps"), (".cbf", "cbf")):
            if base.lower().endswith(ext):
                format = fmt
                break
        else:
            raise FormatError(path, None, "cannot tell the format from the file name (expected .dat-s, .mps or .cbf, "
                                          "optionally .gz); name the format explicitly")
    readers = {"sdpa": read_sdpa, "mps": read_mps, "cbf": read_cbf}
    if format not in readers:
        raise ValueError(f"unknown format {format!r}; expected one of {FORMATS}")
    return readers[format](path)


# ---------------------------------------------------------------------------------------
# Shared helpers


def _read_lines(path):
    """The file's lines (gzip-compressed when the name ends in .gz), without line ends."""
    opener = gzip.open if str(path).endswith(".gz") else open
    with opener(path, "rt", encoding="utf-8", errors="replace") as f:
        return f.read().splitlines()


def _stem(path):
    name = os.path.basename(str(path))
    for ext in (".gz", ".dat-s", ".mps", ".cbf"):
        if name.lower().endswith(ext):
            name = name[:-len(ext)]
    return name


def _number(path, line, token, what, integer=False):
    """`token` as an int (integer=True) or a finite float, or a FormatError saying `what`
    was expected. Fortran exponents (1.5D+02) are accepted in floats."""
    try:
        if integer:
            return int(token)
        value = float(token.replace("D", "e").replace("d", "e"))
    except ValueError:
        raise FormatError(path, line, f"expected {what}, got {token!r}") from None
    if not math.isfinite(value):
        raise FormatError(path, line, f"expected a finite number for {what}, got {token!r}")
    return value


def _svec_index(r, c):
    """Position of entry (r, c), r ≥ c (0-based), in the svec order: the lower triangle
    row by row."""
    return r * (r + 1) // 2 + c


class _Triplets:
    """Sparse matrix entries collected as (row, column, value); repeated entries add."""

    def __init__(self):
        self.rows, self.cols, self.vals = [], [], []

    def add(self, r, c, v):
        self.rows.append(r)
        self.cols.append(c)
        self.vals.append(v)

    def csr(self, shape):
        return sp.csr_matrix(sp.coo_matrix((np.asarray(self.vals, dtype=np.float64),
                                            (np.asarray(self.rows, dtype=np.int64),
                                             np.asarray(self.cols, dtype=np.int64))), shape=shape))


# ---------------------------------------------------------------------------------------
# SDPA sparse format

_SDPA_SEPARATORS = re.compile(r"[,{}()\s]+")


def read_sdpa(path) -> ConicProblem:
    """SDPA sparse format: min cᵀx s.t. Σ xᵢFᵢ − F0 ⪰ 0 (block-diagonal).

    Line 1 m, line 2 the number of blocks, line 3 the block sizes (−k: a diagonal block of
    k entries), line 4 c (m entries; spaces, commas, braces or parentheses separate them;
    a header line may end in a comment such as "= mDIM"), then one entry per line
    `matno blkno i j value` (1-based; matno 0 is F0; i > j is mirrored; repeated entries
    add). Comment lines starting with `"` or `*` may precede line 1.

    Each block gives s = svec(Σ xᵢFᵢ − F0): G = −[svec F1 … svec Fm], h = −svec F0, a "psd"
    cone per dense block and a "nonnegative" cone per diagonal block."""
    lines = _read_lines(path)
    pos = 0

    def next_tokens(what):
        """(1-based line number, tokens) of the next non-blank line."""
        nonlocal pos
        while pos < len(lines):
            pos += 1
            tokens = [t for t in _SDPA_SEPARATORS.split(lines[pos - 1]) if t]
            if tokens:
                return pos, tokens
        raise FormatError(path, max(pos, 1), f"file ended; expected {what}")

    def numbers(count, what, integer):
        """`count` numbers from the following lines; a line's numbers end at its first
        non-numeric token (a trailing comment). Returns (values, line of the first)."""
        values, first = [], None
        while len(values) < count:
            line, tokens = next_tokens(what)
            first = first or line
            for k, tok in enumerate(tokens):
                try:
                    values.append(int(tok) if integer else float(tok))
                except ValueError:
                    if k == 0:
                        raise FormatError(path, line, f"expected {what}, got {tok!r}") from None
                    break
            if len(values) > count:
                raise FormatError(path, line, f"expected {count} entries of {what} (from line {first}), "
                                              f"got {len(values)}")
        if not integer and not all(math.isfinite(v) for v in values):
            raise FormatError(path, first, f"expected finite entries of {what}")
        return values, first

    # Comment lines before the first line of data.
    while pos < len(lines) and (not lines[pos].strip() or lines[pos].lstrip()[:1] in ('"', "*")):
        pos += 1
    (m,), line = numbers(1, "the number of constraint matrices m", True)
    if m < 0:
        raise FormatError(path, line, f"expected a nonnegative number of constraint matrices, got {m}")
    (nblocks,), line = numbers(1, "the number of blocks", True)
    if nblocks < 1:
        raise FormatError(path, line, f"expected a positive number of blocks, got {nblocks}")
    sizes, line = numbers(nblocks, "the block sizes", True)
    if 0 in sizes:
        raise FormatError(path, line, "expected nonzero block sizes (k: a k×k block, -k: a diagonal block)")
    c, _ = numbers(m, "the vector c", False) if m else ([], pos)

    cones, offsets, off = [], [], 0
    for size in sizes:
        cone = ConeDecl("psd", size) if size > 0 else ConeDecl("nonnegative", -size)
        cones.append(cone)
        offsets.append(off)
        off += cone.rows
    nrows = off
    G, h = _Triplets(), np.zeros(nrows)
    for lineno in range(pos + 1, len(lines) + 1):
        tokens = [t for t in _SDPA_SEPARATORS.split(lines[lineno - 1]) if t]
        if not tokens:
            continue
        if len(tokens) != 5:
            raise FormatError(path, lineno, f"expected 5 fields 'matno blkno i j value', got {len(tokens)}")
        matno = _number(path, lineno, tokens[0], "an integer matno", integer=True)
        blkno = _number(path, lineno, tokens[1], "an integer blkno", integer=True)
        i = _number(path, lineno, tokens[2], "an integer row index i", integer=True)
        j = _number(path, lineno, tokens[3], "an integer column index j", integer=True)
        value = _number(path, lineno, tokens[4], "a numeric value")
        if not 0 <= matno <= m:
            raise FormatError(path, lineno, f"expected matno in 0..{m}, got {matno}")
        if not 1 <= blkno <= nblocks:
            raise FormatError(path, lineno, f"expected blkno in 1..{nblocks}, got {blkno}")
        size = sizes[blkno - 1]
        order = abs(size)
        if not (1 <= i <= order and 1 <= j <= order):
            raise FormatError(path, lineno, f"expected indices in 1..{order} for block {blkno}, got ({i}, {j})")
        if size < 0:
            if i != j:
                raise FormatError(path, lineno, f"expected i == j in diagonal block {blkno}, got ({i}, {j})")
            row, coef = offsets[blkno - 1] + i - 1, value
        else:
            r, col = max(i, j) - 1, min(i, j) - 1
            row = offsets[blkno - 1] + _svec_index(r, col)
            coef = value if r == col else SQRT2 * value
        if matno == 0:
            h[row] -= coef
        else:
            G.add(row, matno - 1, -coef)
    return ConicProblem(_stem(path), np.asarray(c, dtype=np.float64), G.csr((nrows, m)), h, cones,
                        description=f"SDPA file {os.path.basename(str(path))}",
                        extra={"format": "sdpa", "objective_sense": "min", "objective_offset": 0.0,
                               "block_sizes": list(sizes)})


# ---------------------------------------------------------------------------------------
# MPS

_MPS_SECTIONS = ("NAME", "OBJSENSE", "OBJNAME", "ROWS", "COLUMNS", "RHS", "RANGES", "BOUNDS",
                 "ENDATA")
_MPS_UNSUPPORTED = {"QUADOBJ": "quadratic objectives", "QMATRIX": "quadratic objectives",
                    "QSECTION": "quadratic constraints", "QCMATRIX": "quadratic constraints",
                    "CSECTION": "cone sections", "SOS": "special ordered sets",
                    "INDICATORS": "indicator constraints", "GENCONS": "general constraints",
                    "PWLOBJ": "piecewise-linear objectives"}
_SENSES = {"MIN": "min", "MINIMIZE": "min", "MINIMISE": "min", "MAX": "max", "MAXIMIZE": "max", "MAXIMISE": "max"}
# A bound of this magnitude or more is infinite (the usual MPS convention).
_MPS_INFINITY = 1e30


def read_mps(path, format: str = "auto") -> ConicProblem:
    """MPS, "free" (whitespace-separated names) or "fixed" (fields in columns 2–3, 5–12,
    15–22, 25–36, 40–47, 50–61; names may contain spaces); "auto" reads the file as free
    MPS and, when that fails, as fixed MPS.

    Sections NAME, OBJSENSE (section or one-line form), OBJNAME, ROWS (N, L, G, E; the
    objective is OBJNAME's row or else the first N row, other N rows are ignored), COLUMNS
    (integer MARKER lines are refused), RHS (only the first RHS set is used; an RHS r on
    the objective row makes the objective constant −r), RANGES (on row with right-hand
    side b and range R: E becomes [b, b + R] for R > 0 and [b − |R|, b] for R < 0, L
    becomes [b − |R|, b], G becomes [b, b + |R|]), BOUNDS (UP, LO, FX, FR, MI, PL; BV, LI,
    UI, SC refused), ENDATA. Variables default to 0 ≤ x < ∞; a bound of magnitude ≥ 1e30 is
    infinite. As most MPS readers do, UP with a negative value on a variable whose lower
    bound has not been set (the default 0) also makes the lower bound −∞; a LO given later
    still sets it.

    Equality rows (and ranges of zero width) and fixed variables become A x = b; L, G and
    range rows and finite bounds become the rows of one "nonnegative" cone (a x ≤ b as
    G-row a, a x ≥ b as −a; a range as both); free variables get no row."""
    if format not in ("auto", "free", "fixed"):
        raise ValueError(f"unknown MPS format {format!r}; expected 'auto', 'free' or 'fixed'")
    lines = _read_lines(path)
    if format != "auto":
        return _MpsReader(path, lines, format == "fixed").read()
    try:
        return _MpsReader(path, lines, fixed=False).read()
    except FormatError as free_error:
        if free_error.message.startswith("unsupported:"):
            raise
        try:
            return _MpsReader(path, lines, fixed=True).read()
        except FormatError:
            raise free_error from None


class _MpsReader:
    def __init__(self, path, lines, fixed):
        self.path, self.lines, self.fixed = path, lines, fixed
        self.name = _stem(path)
        self.sense, self.objname, self.objective = "min", None, None
        self.row_index, self.row_type = {}, []      # constraint rows (objective and extra N rows apart)
        self.ignored_rows = set()                   # N rows other than the objective
        self.col_index, self.col_names = {}, []
        self.cost = {}                               # column -> objective coefficient
        self.entries = _Triplets()
        self.rhs, self.ranges, self.offset = {}, {}, 0.0
        self.rhs_set = self.range_set = self.bound_set = None
        self.lower, self.upper, self.lower_set = {}, {}, set()

    def fail(self, line, message):
        raise FormatError(self.path, line, message)

    def fields(self, lineno, line, section):
        """The data fields of a line: whitespace-separated tokens (free MPS) or the fixed
        columns 2–3, 5–12, 15–22, 25–36, 40–47, 50–61 without the empty trailing ones (an
        empty set name inside stays as ""); COLUMNS, RHS and RANGES lines have no field in
        columns 2–3."""
        if not self.fixed:
            return line.split()
        spans = ((1, 3), (4, 12), (14, 22), (24, 36), (39, 47), (49, 61))
        out = [line[a:b].strip() for a, b in spans]
        if line[61:].strip():
            self.fail(lineno, f"expected nothing after column 61 in fixed MPS, got {line[61:].strip()!r}")
        while out and not out[-1]:
            out.pop()
        if section in ("COLUMNS", "RHS", "RANGES") and out:
            if out[0]:
                self.fail(lineno, f"expected columns 2-3 to be empty in {section} (fixed MPS), got {out[0]!r}")
            out = out[1:]
        return out

    def number(self, lineno, token, what):
        return _number(self.path, lineno, token, what)

    def read(self):
        section = None
        for lineno, raw in enumerate(self.lines, 1):
            line = raw.rstrip()
            if not line.strip() or line.lstrip().startswith("*"):
                continue
            if not line[0].isspace():
                words = line.split()
                head = words[0].upper()
                if section == "OBJSENSE" and head in _SENSES:   # sense written from column 1
                    self.sense = _SENSES[head]
                    continue
                if head in _MPS_UNSUPPORTED:
                    self.fail(lineno, f"unsupported: section {head} ({_MPS_UNSUPPORTED[head]}); "
                                      "only linear programs are read from MPS")
                if head not in _MPS_SECTIONS:
                    self.fail(lineno, f"expected a section header (NAME, OBJSENSE, ROWS, COLUMNS, RHS, RANGES, "
                                      f"BOUNDS, ENDATA), got {words[0]!r}")
                section = head
                if head == "NAME":
                    self.name = line[4:].strip() or self.name
                elif head == "OBJSENSE" and len(words) > 1:    # the one-line form
                    self.set_sense(lineno, words[1])
                    section = None
                elif head == "OBJNAME" and len(words) > 1:
                    self.objname = words[1]
                    section = None
                elif head == "ENDATA":
                    return self.build()
                continue
            if section is None:
                self.fail(lineno, "expected a section header before data lines")
            if section == "OBJSENSE":
                self.set_sense(lineno, line.split()[0])
                continue
            if section == "OBJNAME":
                self.objname = line.strip()
                continue
            f = self.fields(lineno, line, section)
            if section == "ROWS":
                self.read_row(lineno, f)
            elif section == "COLUMNS":
                self.read_column(lineno, line, f)
            elif section in ("RHS", "RANGES"):
                self.read_rhs(lineno, f, section)
            elif section == "BOUNDS":
                self.read_bound(lineno, f)
            else:
                self.fail(lineno, f"expected no data lines in section {section}")
        self.fail(max(len(self.lines), 1), "file ended without ENDATA")

    def set_sense(self, lineno, word):
        if word.upper() not in _SENSES:
            self.fail(lineno, f"expected MIN or MAX for OBJSENSE, got {word!r}")
        self.sense = _SENSES[word.upper()]

    def read_row(self, lineno, f):
        if len(f) != 2:
            self.fail(lineno, f"expected 2 fields 'type name' in ROWS, got {len(f)}")
        kind, name = f[0].upper(), f[1]
        if kind not in ("N", "L", "G", "E"):
            self.fail(lineno, f"expected row type N, L, G or E, got {f[0]!r}")
        if name in self.row_index or name == self.objective or name in self.ignored_rows:
            self.fail(lineno, f"row {name!r} is defined twice")
        if kind == "N":
            if self.objective is None and (self.objname is None or self.objname == name):
                self.objective = name
            else:
                self.ignored_rows.add(name)
            return
        self.row_index[name] = len(self.row_type)
        self.row_type.append(kind)

    def read_column(self, lineno, line, f):
        if "'MARKER'" in line.upper():
            self.fail(lineno, "unsupported: integer variables (MARKER lines); cones_ipm solves continuous programs")
        if len(f) not in (3, 5):
            self.fail(lineno, f"expected 3 or 5 fields 'column row value [row value]' in COLUMNS, got {len(f)}")
        col = f[0]
        if col not in self.col_index:
            self.col_index[col] = len(self.col_names)
            self.col_names.append(col)
        j = self.col_index[col]
        for row, token in zip(f[1::2], f[2::2]):
            value = self.number(lineno, token, f"a coefficient for column {col!r}, row {row!r}")
            if row == self.objective:
                self.cost[j] = self.cost.get(j, 0.0) + value
            elif row in self.row_index:
                self.entries.add(self.row_index[row], j, value)
            elif row not in self.ignored_rows:
                self.fail(lineno, f"column {col!r} refers to undefined row {row!r}")

    def read_rhs(self, lineno, f, section):
        # "set row value [row value]", the set name may be left out: 2 or 4 fields.
        if len(f) in (3, 5):
            name, pairs = f[0], f[1:]
        elif len(f) in (2, 4):
            name, pairs = "", f
        else:
            self.fail(lineno, f"expected 3 or 5 fields 'set row value [row value]' in {section}, got {len(f)}")
        attr = "rhs_set" if section == "RHS" else "range_set"
        if getattr(self, attr) is None:
            setattr(self, attr, name)
        elif getattr(self, attr) != name:
            return                                   # a second RHS/RANGES set: not ours
        for row, token in zip(pairs[0::2], pairs[1::2]):
            value = self.number(lineno, token, f"a value for row {row!r} in {section}")
            if row == self.objective and section == "RHS":
                self.offset = -value                 # the objective row's RHS is minus its constant
            elif row in self.row_index:
                (self.rhs if section == "RHS" else self.ranges)[self.row_index[row]] = value
            elif row not in self.ignored_rows and row != self.objective:
                self.fail(lineno, f"{section} refers to undefined row {row!r}")

    def read_bound(self, lineno, f):
        if not f:
            self.fail(lineno, "expected 'type set column [value]' in BOUNDS")
        kind = f[0].upper()
        if kind in ("BV", "LI", "UI", "SC"):
            self.fail(lineno, f"unsupported: bound type {kind} (integer or semi-continuous variables); "
                              "cones_ipm solves continuous programs")
        if kind not in ("UP", "LO", "FX", "FR", "MI", "PL"):
            self.fail(lineno, f"expected bound type UP, LO, FX, FR, MI or PL, got {f[0]!r}")
        needs_value = kind in ("UP", "LO", "FX")
        if needs_value:
            if len(f) == 4:
                name, col, token = f[1:]
            elif len(f) == 3:
                name, col, token = "", f[1], f[2]
            else:
                self.fail(lineno, f"expected 4 fields '{kind} set column value' in BOUNDS, got {len(f)}")
        else:
            if len(f) == 4 or (len(f) == 3 and f[1] not in self.col_index):
                name, col = f[1], f[2]
            elif len(f) in (2, 3):
                name, col = "", f[1]
            else:
                self.fail(lineno, f"expected 3 fields '{kind} set column' in BOUNDS, got {len(f)}")
        if self.bound_set is None:
            self.bound_set = name
        elif self.bound_set != name:
            return
        if col not in self.col_index:
            self.fail(lineno, f"BOUNDS refers to undefined column {col!r}")
        j = self.col_index[col]
        if needs_value:
            if token.lower().lstrip("+-") in ("inf", "infinity"):
                value = -math.inf if token.startswith("-") else math.inf
            else:
                value = self.number(lineno, token, f"a bound value for column {col!r}")
                if abs(value) >= _MPS_INFINITY:
                    value = math.copysign(math.inf, value)
        if kind == "UP":
            self.upper[j] = value
            if value < 0 and j not in self.lower_set:
                self.lower[j] = -math.inf
        elif kind == "LO":
            self.lower[j] = value
            self.lower_set.add(j)
        elif kind == "FX":
            self.lower[j] = self.upper[j] = value
            self.lower_set.add(j)
        elif kind == "FR":
            self.lower[j], self.upper[j] = -math.inf, math.inf
            self.lower_set.add(j)
        elif kind == "MI":
            self.lower[j] = -math.inf
            self.lower_set.add(j)
        else:   # PL
            self.upper[j] = math.inf

    def build(self):
        n, nrows = len(self.col_names), len(self.row_type)
        if self.objective is None:
            self.fail(None, "expected an objective row (type N) in ROWS")
        sign = -1.0 if self.sense == "max" else 1.0
        c = np.zeros(n)
        for j, v in self.cost.items():
            c[j] = sign * v
        M = self.entries.csr((nrows, n))
        # Row intervals lo ≤ a x ≤ hi from the row types, RHS and RANGES.
        lo, hi = np.full(nrows, -np.inf), np.full(nrows, np.inf)
        for i, kind in enumerate(self.row_type):
            b = self.rhs.get(i, 0.0)
            R = self.ranges.get(i)
            if kind == "E":
                lo[i] = hi[i] = b
                if R is not None and R > 0:
                    hi[i] = b + R
                elif R is not None and R < 0:
                    lo[i] = b + R
            elif kind == "L":
                hi[i] = b
                if R is not None:
                    lo[i] = b - abs(R)
            else:
                lo[i] = b
                if R is not None:
                    hi[i] = b + abs(R)
        eq = np.flatnonzero(lo == hi)
        ineq_rows, ineq_signs, ineq_rhs = [], [], []
        for i in range(nrows):
            if lo[i] == hi[i]:
                continue
            if np.isfinite(hi[i]):
                ineq_rows.append(i)
                ineq_signs.append(1.0)
                ineq_rhs.append(hi[i])
            if np.isfinite(lo[i]):
                ineq_rows.append(i)
                ineq_signs.append(-1.0)
                ineq_rhs.append(-lo[i])
        D = sp.diags(np.asarray(ineq_signs, dtype=np.float64), format="csr") if ineq_rows else sp.csr_matrix((0, 0))
        G_rows = D @ M[ineq_rows] if ineq_rows else sp.csr_matrix((0, n))
        # Bounds: fixed variables into A, finite bounds into G (−x ≤ −l, x ≤ u).
        fixed, bound_G, bound_h = [], _Triplets(), []
        for j in range(n):
            low, up = self.lower.get(j, 0.0), self.upper.get(j, math.inf)
            if low == up:
                fixed.append((j, low))
                continue
            if math.isfinite(low):
                bound_G.add(len(bound_h), j, -1.0)
                bound_h.append(-low)
            if math.isfinite(up):
                bound_G.add(len(bound_h), j, 1.0)
                bound_h.append(up)
        fix = _Triplets()
        for k, (j, _) in enumerate(fixed):
            fix.add(k, j, 1.0)
        A = sp.vstack([M[eq], fix.csr((len(fixed), n))]).tocsr()
        b = np.concatenate([hi[eq], [v for _, v in fixed]])
        G = sp.vstack([G_rows, bound_G.csr((len(bound_h), n))]).tocsr()
        h = np.concatenate([np.asarray(ineq_rhs, dtype=np.float64), np.asarray(bound_h, dtype=np.float64)])
        cones = [ConeDecl("nonnegative", h.size)] if h.size else []
        return ConicProblem(self.name, c, G, h, cones, A, b,
                            description=f"MPS file {os.path.basename(str(self.path))}",
                            extra={"format": "mps", "objective_sense": self.sense, "objective_offset": self.offset,
                                   "column_names": list(self.col_names)})


# ---------------------------------------------------------------------------------------
# Conic benchmark format

_CBF_HEADER = ("VER", "OBJSENSE", "VAR", "CON", "PSDVAR", "PSDCON", "INT", "POWCONES", "POW*CONES")
# keyword -> fields per entry (matrix entries carry two indices k, l)
_CBF_DATA = {"OBJACOORD": 2, "OBJBCOORD": 1, "OBJFCOORD": 4, "ACOORD": 3, "BCOORD": 2, "FCOORD": 5,
             "HCOORD": 5, "DCOORD": 4}
_CBF_CONES = ("F", "L+", "L-", "L=", "Q", "QR", "EXP", "EXP*")


def _cbf_row_map(kind, size):
    """The linear map T (sparse, size × size) with s = T g in our cone for the rows g of a
    CBF cone, or None for the identity (see read_cbf)."""
    if kind == "L-":
        return -sp.eye(size, format="csr")
    if kind == "QR":
        r = 1.0 / SQRT2
        T = sp.lil_matrix((size, size))
        T[0, 0] = T[0, 1] = T[1, 0] = r
        T[1, 1] = -r
        for k in range(2, size):
            T[k, k] = 1.0
        return T.tocsr()
    if kind == "EXP":      # (x, y, z) = (u2, u1, u0)
        return sp.csr_matrix(np.fliplr(np.eye(3)))
    if kind == "EXP*":     # (x, y, z) = (u2 - u1, -u2, u0)
        return sp.csr_matrix(np.array([[0.0, -1.0, 1.0], [0.0, 0.0, -1.0], [1.0, 0.0, 0.0]]))
    return None


def read_cbf(path) -> ConicProblem:
    """Conic benchmark format (versions 1–4): scalar variables x in cones (VAR), matrix
    variables X̄ⱼ ⪰ 0 (PSDVAR), rows g = Σⱼ⟨Fᵢⱼ, X̄ⱼ⟩ + a x + b in cones (CON), linear
    matrix inequalities Σ xⱼHₖⱼ + Dₖ ⪰ 0 (PSDCON).

    Our variables are x followed by svec(X̄ⱼ) for each matrix variable (so that ⟨F, X̄⟩ =
    svec(F)ᵀsvec(X̄); an off-diagonal entry v of one triangle gives √2·v). An affine
    expression g in a cone becomes s = T g, i.e. G-rows −T·(coefficients of g) and h = T·b:
    - F: no rows; L+: T = I; L−: T = −I; L=: rows of A x = b;
    - Q: "soc", T = I; QR (2u₀u₁ ≥ ‖u₂…‖², u₀, u₁ ≥ 0): "soc" with T mapping (u₀, u₁) to
      ((u₀ + u₁)/√2, (u₀ − u₁)/√2), as t² − r² = 2u₀u₁ and t ≥ |r| holds u₀, u₁ ≥ 0;
    - EXP (u₀ ≥ u₁·exp(u₂/u₁)): "exp" with (x, y, z) = (u₂, u₁, u₀);
    - EXP*: in our order the triple is (a, b, c) = (u₂, u₁, u₀) ∈ K*, and (a, b, c) ∈ K*
      exactly when (a − b, −a, c) ∈ K (as −a·exp(b/a) ≤ e·c ⟺ −a·exp((a − b)/(−a)) ≤ c, and
      the closures agree: a = 0, b, c ≥ 0 on both sides), so "exp" rows with
      (x, y, z) = (u₂ − u₁, −u₂, u₀).
    Matrix variables get "psd" rows s = svec X̄ (G = −I), LMIs "psd" rows s = svec(Σ xⱼHₖⱼ + Dₖ).
    Power cones and integer variables are refused."""
    lines = _read_lines(path)
    pos = 0

    def next_line():
        """(line number, tokens) of the next non-blank, non-comment line, or (None, None)."""
        nonlocal pos
        while pos < len(lines):
            pos += 1
            text = lines[pos - 1].split("#", 1)[0].strip()
            if text:
                return pos, text.split()
        return None, None

    def expect_line(what, fields=None):
        line, tokens = next_line()
        if line is None:
            raise FormatError(path, max(len(lines), 1), f"file ended; expected {what}")
        if fields is not None and len(tokens) != fields:
            raise FormatError(path, line, f"expected {fields} field{'s' * (fields != 1)} {what}, got {len(tokens)}")
        return line, tokens

    def integer(line, token, what):
        return _number(path, line, token, what, integer=True)

    def count(line, token, what):
        value = integer(line, token, what)
        if value < 0:
            raise FormatError(path, line, f"expected a nonnegative {what}, got {value}")
        return value

    def cone_list(keyword, line, tokens):
        total = count(line, tokens[0], f"number of {'variables' if keyword == 'VAR' else 'rows'}")
        cones, covered = [], 0
        for _ in range(count(line, tokens[1], "number of cones")):
            cl, ct = expect_line("'CONE size'", 2)
            name = ct[0]
            if name.endswith("POW") or name.endswith("POW*"):
                raise FormatError(path, cl, f"unsupported: power cone {name!r}; cones_ipm has no power cones")
            if name not in _CBF_CONES:
                raise FormatError(path, cl, f"expected a cone name ({', '.join(_CBF_CONES)}), got {name!r}")
            size = integer(cl, ct[1], "a cone size")
            if name in ("EXP", "EXP*") and size != 3:
                raise FormatError(path, cl, f"expected size 3 for an {name} cone, got {size}")
            least = 2 if name == "QR" else 1
            if size < least:
                raise FormatError(path, cl, f"expected a size of at least {least} for a {name} cone, got {size}")
            cones.append((name, covered, size, cl))
            covered += size
        if covered != total:
            raise FormatError(path, line, f"the cones of {keyword} cover {covered} entries, expected {total}")
        return total, cones

    version = None
    sense = "min"
    var_cones: list[tuple] = []
    con_cones: list[tuple] = []
    psdvar: list[int] = []
    psdcon: list[int] = []
    nvar = ncon = 0
    data: dict[str, list] = {k: [] for k in _CBF_DATA}       # keyword -> list of (line, tokens)
    seen = set()
    while True:
        line, tokens = next_line()
        if line is None:
            break
        key = tokens[0]
        if len(tokens) != 1 or not (key in _CBF_HEADER or key in _CBF_DATA):
            raise FormatError(path, line, f"expected a keyword line (VER, OBJSENSE, VAR, CON, PSDVAR, PSDCON, "
                                          f"OBJACOORD, ACOORD, BCOORD, ...), got {' '.join(tokens)!r}")
        if key in seen:
            raise FormatError(path, line, f"block {key} appears twice")
        seen.add(key)
        if key == "INT":
            raise FormatError(path, line, "unsupported: integer variables (INT); cones_ipm solves continuous programs")
        if key in ("POWCONES", "POW*CONES"):
            raise FormatError(path, line, f"unsupported: power cones ({key}); cones_ipm has no power cones")
        if key == "VER":
            vl, vt = expect_line("'version'", 1)
            version = integer(vl, vt[0], "the version number")
            if not 1 <= version <= 4:
                raise FormatError(path, vl, f"expected a version from 1 to 4, got {version}")
        elif version is None:
            raise FormatError(path, line, f"expected VER before {key}")
        elif key == "OBJSENSE":
            sl, st = expect_line("'MIN' or 'MAX'", 1)
            if st[0].upper() not in ("MIN", "MAX"):
                raise FormatError(path, sl, f"expected MIN or MAX, got {st[0]!r}")
            sense = st[0].lower()
        elif key in ("VAR", "CON"):
            hl, ht = expect_line(f"'{'n' if key == 'VAR' else 'm'} k' for {key}", 2)
            total, cones = cone_list(key, hl, ht)
            if key == "VAR":
                nvar, var_cones = total, cones
            else:
                ncon, con_cones = total, cones
        elif key in ("PSDVAR", "PSDCON"):
            hl, ht = expect_line(f"'count' for {key}", 1)
            orders = []
            for _ in range(count(hl, ht[0], f"number of {key} entries")):
                ol, ot = expect_line("'order'", 1)
                order = integer(ol, ot[0], "a matrix order")
                if order < 1:
                    raise FormatError(path, ol, f"expected a positive matrix order, got {order}")
                orders.append(order)
            (psdvar if key == "PSDVAR" else psdcon).extend(orders)
        else:   # a data block: its count, then one entry per line
            if key == "OBJBCOORD":
                bl, bt = expect_line("'value' for OBJBCOORD", 1)
                data[key].append((bl, bt))
                continue
            hl, ht = expect_line(f"'count' for {key}", 1)
            fields = _CBF_DATA[key]
            names = {"OBJACOORD": "'j value'", "ACOORD": "'i j value'", "BCOORD": "'i value'",
                     "OBJFCOORD": "'j k l value'", "FCOORD": "'i j k l value'", "HCOORD": "'i j k l value'",
                     "DCOORD": "'i k l value'"}[key]
            for _ in range(count(hl, ht[0], f"number of {key} entries")):
                data[key].append(expect_line(f"{names} in {key}", fields))
    if version is None:
        raise FormatError(path, max(len(lines), 1), "expected a VER block")

    # Our variables: x, then svec(X̄ⱼ) per matrix variable.
    psd_off = [nvar]
    for order in psdvar:
        psd_off.append(psd_off[-1] + order * (order + 1) // 2)
    N = psd_off[-1]

    def index(line, token, bound, what):
        value = integer(line, token, what)
        if not 0 <= value < bound:
            raise FormatError(path, line, f"expected {what} in 0..{bound - 1}, got {value}")
        return value

    def matrix_entry(line, tokens, order):
        """svec position and factor (1 on the diagonal, √2 off it) of entry (k, l)."""
        k = index(line, tokens[0], order, "a matrix row index k")
        l_ = index(line, tokens[1], order, "a matrix column index l")
        r, c = max(k, l_), min(k, l_)
        return _svec_index(r, c), (1.0 if r == c else SQRT2)

    # Objective.
    c = np.zeros(N)
    offset = 0.0
    for line, t in data["OBJACOORD"]:
        c[index(line, t[0], nvar, "a variable index j")] += _number(path, line, t[1], "a numeric value")
    for line, t in data["OBJFCOORD"]:
        j = index(line, t[0], len(psdvar), "a matrix variable index j")
        k, f = matrix_entry(line, t[1:3], psdvar[j])
        c[psd_off[j] + k] += f * _number(path, line, t[3], "a numeric value")
    for line, t in data["OBJBCOORD"]:
        offset += _number(path, line, t[0], "a numeric value")
    if sense == "max":
        c = -c

    # Rows g = E z + f of CON (z = our variables).
    E, f = _Triplets(), np.zeros(ncon)
    for line, t in data["ACOORD"]:
        i = index(line, t[0], ncon, "a row index i")
        E.add(i, index(line, t[1], nvar, "a variable index j"), _number(path, line, t[2], "a numeric value"))
    for line, t in data["FCOORD"]:
        i = index(line, t[0], ncon, "a row index i")
        j = index(line, t[1], len(psdvar), "a matrix variable index j")
        k, fac = matrix_entry(line, t[2:4], psdvar[j])
        E.add(i, psd_off[j] + k, fac * _number(path, line, t[4], "a numeric value"))
    for line, t in data["BCOORD"]:
        f[index(line, t[0], ncon, "a row index i")] += _number(path, line, t[1], "a numeric value")
    Ecsr = E.csr((ncon, N))

    # Linear matrix inequalities: svec(Σ xⱼHₖⱼ + Dₖ).
    lmi_off = [0]
    for order in psdcon:
        lmi_off.append(lmi_off[-1] + order * (order + 1) // 2)
    H, d = _Triplets(), np.zeros(lmi_off[-1])
    for line, t in data["HCOORD"]:
        i = index(line, t[0], len(psdcon), "a matrix constraint index i")
        j = index(line, t[1], nvar, "a variable index j")
        k, fac = matrix_entry(line, t[2:4], psdcon[i])
        H.add(lmi_off[i] + k, j, fac * _number(path, line, t[4], "a numeric value"))
    for line, t in data["DCOORD"]:
        i = index(line, t[0], len(psdcon), "a matrix constraint index i")
        k, fac = matrix_entry(line, t[1:3], psdcon[i])
        d[lmi_off[i] + k] += fac * _number(path, line, t[3], "a numeric value")

    G_parts, h_parts, cones, A_parts, b_parts = [], [], [], [], []

    def add(kind, Eb, fb):
        """The cone `kind` (a CBF name) on the affine rows Eb z + fb."""
        if kind == "F":
            return
        if kind == "L=":
            A_parts.append(Eb)
            b_parts.append(-fb)
            return
        size = Eb.shape[0]
        T = _cbf_row_map(kind, size)
        if T is not None:
            Eb, fb = (T @ Eb).tocsr(), T @ fb
        G_parts.append(-Eb)
        h_parts.append(fb)
        cones.append(ConeDecl({"L+": "nonnegative", "L-": "nonnegative", "Q": "soc", "QR": "soc", "EXP": "exp",
                               "EXP*": "exp"}[kind], size if kind not in ("EXP", "EXP*") else 1))

    if var_cones:
        I_x = sp.eye(nvar, N, format="csr")
        for kind, first, size, _ in var_cones:
            add(kind, I_x[first:first + size], np.zeros(size))
    for j, order in enumerate(psdvar):
        rows = order * (order + 1) // 2
        G_parts.append(-sp.eye(rows, N, k=psd_off[j], format="csr"))
        h_parts.append(np.zeros(rows))
        cones.append(ConeDecl("psd", order))
    for kind, first, size, _ in con_cones:
        add(kind, Ecsr[first:first + size], f[first:first + size])
    if psdcon:
        Hcsr = sp.hstack([H.csr((lmi_off[-1], nvar)), sp.csr_matrix((lmi_off[-1], N - nvar))]).tocsr()
        G_parts.append(-Hcsr)
        h_parts.append(d)
        cones.extend(ConeDecl("psd", order) for order in psdcon)
    G = sp.vstack(G_parts).tocsr() if G_parts else sp.csr_matrix((0, N))
    h = np.concatenate(h_parts) if h_parts else np.zeros(0)
    A = sp.vstack(A_parts).tocsr() if A_parts else None
    b = np.concatenate(b_parts) if b_parts else None
    return ConicProblem(_stem(path), c, G, h, cones, A, b, description=f"CBF file {os.path.basename(str(path))}",
                        extra={"format": "cbf", "objective_sense": sense, "objective_offset": offset,
                               "psd_variables": list(psdvar), "psd_variable_offsets": psd_off[:-1]})
