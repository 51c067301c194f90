#!/usr/bin/env python3
"""Lists the names a public engine header declares that only one unit uses.

For every engine header that is not an *Internal.h, takes each name it declares at
namespace scope (records, aliases, constants, functions; read with universal-ctags) and
counts the units whose code names it. A unit is one source pair with its internal header
(engine/FFmpegDec.cpp, .h and Internal.h are one unit); each file under demo/ and bench/
is a unit of its own; tests do not count as a unit (they may include internal headers).
Comments and string literals are left out of the search. A type that only its own unit
names but that appears in another declaration of the same header (a parameter or field
type of a public entry) is listed as "IN-SIGNATURE" and does not count as a leftover.
An entry that hosts outside the tree call and no unit inside it needs (HOST_ENTRIES,
with the reason) is listed as "HOST-ENTRY" and does not count either.

  scripts/header-users.py            names used by one unit only (exit 1 when any leftover)
  scripts/header-users.py --all      every name with its units
"""
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SEARCHED = ("engine", "components", "demo", "bench", "tests")
KINDS = {"class", "struct", "enum", "union", "typedef", "prototype", "function", "variable",
         "externvar"}
TYPE_KINDS = {"class", "struct", "enum", "union", "typedef"}
# (header, name) -> why a host outside the tree calls it while no unit inside does.
HOST_ENTRIES = {
    ("engine/gui/PreviewerForm.h", "InstallPreviewWindows"):
        "a GUI host that shows conversion previews installs the Qt window with it",
}

_COMMENT_OR_STRING = re.compile(
    r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)


def unit_of(path):
    """The unit a file belongs to, or None for tests."""
    rel = os.path.relpath(path, ROOT)
    top = rel.split(os.sep)[0]
    if top == "tests":
        return None
    stem, _ = os.path.splitext(rel)
    if top in ("engine", "components") and stem.endswith("Internal"):
        stem = stem[: -len("Internal")]
    return stem


def sources():
    for top in SEARCHED:
        for base, _, files in os.walk(os.path.join(ROOT, top)):
            for name in files:
                if name.endswith((".cpp", ".h")):
                    yield os.path.join(base, name)


def declared(header):
    out = subprocess.run(
        ["ctags", "-f", "-", "--fields=+KsZ", "--c++-kinds=+pxv", "--language-force=C++", header],
        check=True, capture_output=True, text=True).stdout
    names = {}
    for line in out.splitlines():
        cols = line.split("\t")
        name, extra = cols[0], cols[3:]
        kind = extra[0] if extra else ""
        scope = next((c for c in extra if c.startswith("scope:")), "")
        # namespace scope only: members belong to their record
        if kind in KINDS and (scope == "" or scope.startswith("scope:namespace:")):
            if not name.startswith("operator"):
                names[name] = kind
    return names


def in_signature(name, header_text):
    """Whether the header names `name` as a type in another of its declarations."""
    uses = re.findall(r"(?:\b(?:class|struct|enum|union|using)\s+|~)?\b" + re.escape(name)
                      + r"\b(?!\s*\()", header_text)
    return any(not u.startswith(("class", "struct", "enum", "union", "using", "~"))
               for u in uses)


def main():
    show_all = "--all" in sys.argv[1:]
    texts = {}
    for path in sources():
        with open(path, encoding="utf-8", errors="replace") as f:
            texts[path] = _COMMENT_OR_STRING.sub(" ", f.read())
    headers = sorted(p for p in texts
                     if os.path.relpath(p, ROOT).startswith("engine" + os.sep)
                     and p.endswith(".h") and not p.endswith("Internal.h"))
    leftovers = 0
    for header in headers:
        for name, kind in sorted(declared(header).items()):
            word = re.compile(r"\b" + re.escape(name) + r"\b")
            units = sorted({unit_of(p) or "tests" for p, t in texts.items() if word.search(t)})
            real = [u for u in units if u != "tests"]
            single = len(real) <= 1
            rel = os.path.relpath(header, ROOT)
            signature = single and kind in TYPE_KINDS and in_signature(name, texts[header])
            host = single and (rel, name) in HOST_ENTRIES
            tag = ("IN-SIGNATURE " if signature else "HOST-ENTRY " if host
                   else "ONE-UNIT " if single else "")
            if show_all or single:
                print("%s%s: %s -> %s" % (tag, rel, name, ", ".join(units)))
            leftovers += single and not signature and not host
    return 1 if leftovers and not show_all else 0


if __name__ == "__main__":
    sys.exit(main())
