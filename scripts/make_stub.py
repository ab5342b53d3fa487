"""Type stub of an extension module: nanobind's stub generator, then the docstrings of
extensions/<folder>/stub_docs.txt put into the items that have none.

    python scripts/make_stub.py <module> <directory of the built module> <output .pyi>

Every class, function, method and property of the stub ends with a docstring (from the
module or from the text file), and every text of the file is used: a stub item without a
text, or a text that names no item, fails the build.
"""
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def load_texts(path):
    texts, key, lines = {}, None, []
    for line in path.read_text().splitlines() + ["== "]:
        if line.startswith("== "):
            if key is not None:
                texts[key] = "\n".join(lines).strip()
            key, lines = line[3:].strip() or None, []
        elif key is not None:
            lines.append(line)
        elif line and not line.startswith("#"):
            raise SystemExit(f"{path}: text before the first '== key' line: {line!r}")
    return texts


def docstring(text, indent):
    body = "\n".join((indent + line) if line else "" for line in text.splitlines())
    return f'{indent}"""\n{body}\n{indent}"""'


def add_texts(stub, texts):
    lines = stub.splitlines()
    out, used, missing = [], set(), []
    klass = None
    i = 0
    while i < len(lines):
        line = lines[i]
        m_class = re.match(r"class (\w+)", line)
        m_def = re.match(r"( *)def (\w+)\(.*\).*:( \.\.\.)?$", line)
        if m_class:
            klass = m_class.group(1)
            out.append(line)
            if not lines[i + 1].strip().startswith('"""'):
                key = klass if klass in texts else None
                if key is None:
                    missing.append(klass)
                else:
                    used.add(key)
                    out.append(docstring(texts[key], "    "))
                    out.append("")
            i += 1
            continue
        if m_def:
            indent, name, stub_body = m_def.groups()
            if not indent:
                klass = None
            owner = klass if indent else None
            if stub_body:  # "def f(...) -> T: ..." carries no docstring
                key = next((k for k in (f"{owner}.{name}" if owner else None, name) if k and k in texts), None)
                if key is None:
                    missing.append(f"{owner}.{name}" if owner else name)
                    out.append(line)
                else:
                    used.add(key)
                    out.append(line[: -len(" ...")])
                    out.append(docstring(texts[key], indent + "    "))
                i += 1
                continue
        out.append(line)
        i += 1
    unused = sorted(set(texts) - used)
    if missing or unused:
        raise SystemExit("stub texts out of step with the module:\n"
                         + "".join(f"  no text for {m}\n" for m in missing)
                         + "".join(f"  text for no item: {u}\n" for u in unused))
    return "\n".join(out) + "\n"


def main():
    module, module_dir, output = sys.argv[1], Path(sys.argv[2]), Path(sys.argv[3])
    with tempfile.TemporaryDirectory() as tmp:
        raw = Path(tmp) / f"{module}.pyi"
        subprocess.run([sys.executable, "-m", "nanobind.stubgen", "-q", "-i", str(module_dir), "-m", module,
                        "-o", str(raw)], check=True)
        stub = raw.read_text()
    output.write_text(add_texts(stub, load_texts(ROOT / "extensions" / module.lstrip("_") / "stub_docs.txt")))


if __name__ == "__main__":
    main()
