"""Reads LeakSanitizer reports (ASAN log_path files) and sorts every leak record by who
allocated it: this project's code (cones/, bindings/, extensions/, host/, cuda/, emu/ or one
of its libraries anywhere on the allocation stack), the one-time registration of a module at import
(types and functions that live as long as the interpreter), or the interpreter and other
libraries. Prints a summary and the records of our code; exits 1 if there are any.

Usage: python scripts/lsan_filter.py REPORT_FILE...
"""
import re
import sys

OURS = re.compile(r"/(cones/[a-z_]+|bindings|extensions/[a-z_]+|host|cuda|emu)/[^ ]+\.(cpp|hpp|cu|cuh|h)\b"
                  r"|_cpp_cuda\.cpython|_ipm_cones\.cpython|_cuemu\.cpython|libcuemu\.so")
REGISTRATION = re.compile(r"nanobind__cpp_cuda_exec|nanobind__ipm_cones_exec|nanobind__cuemu_exec"
                          r"|PyInit__cpp_cuda|PyInit__ipm_cones|PyInit__cuemu")
HEADER = re.compile(r"^(Direct|Indirect) leak of (\d+) byte\(s\) in (\d+) object\(s\) allocated from:")


def records(text):
    """(kind, bytes, objects, frame lines) for each leak record of one report."""
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        m = HEADER.match(lines[i])
        i += 1
        if not m:
            continue
        frames = []
        while i < len(lines) and lines[i].strip().startswith("#"):
            frames.append(lines[i].strip())
            i += 1
        yield m.group(1), int(m.group(2)), int(m.group(3)), frames


def main(paths):
    totals = {"ours": [0, 0, 0], "registration": [0, 0, 0], "other": [0, 0, 0]}
    ours = []
    for path in paths:
        with open(path, errors="replace") as f:
            for kind, nbytes, objects, frames in records(f.read()):
                stack = "\n".join(frames)
                if REGISTRATION.search(stack):
                    key = "registration"
                elif OURS.search(stack):
                    key = "ours"
                    ours.append((kind, nbytes, objects, frames, path))
                else:
                    key = "other"
                t = totals[key]
                t[0] += 1
                t[1] += nbytes
                t[2] += objects
    print(f"LeakSanitizer reports read: {len(paths)}")
    for key, label in (("ours", "allocated by this project's code"),
                       ("registration", "module registration at import (kept for the interpreter's life)"),
                       ("other", "interpreter and other libraries")):
        n, b, o = totals[key]
        print(f"  {label}: {n} record(s), {b} byte(s) in {o} object(s)")
    for kind, nbytes, objects, frames, path in ours:
        print(f"\n{kind} leak of {nbytes} byte(s) in {objects} object(s) ({path}):")
        print("\n".join("    " + f for f in frames))
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
