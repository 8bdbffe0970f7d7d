#!/usr/bin/env python3
"""Compares the dynamic symbols a shared library exports with the functions
and global variables its public C headers declare, both ways: a symbol
exported but not declared, or declared but not exported, is a failure.

usage: check_exports.py --cc CC --nm NM --library LIB HEADER...

The headers are read through the C compiler's preprocessor (so comments,
macros and conditionals are settled as a C user sees them); only the text
that comes from the given headers is looked at.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
# Symbols the linker itself defines in every shared library.
LINKER_SYMBOLS = {"_init", "_fini", "_edata", "_end", "__bss_start"}
# AddressSanitizer's one-definition markers of exported variables.
ODR_INDICATOR = re.compile(r"__odr_asan")
ODR_INDICATOR = re.compile(r"__odr_asan(?:\.|_gen_)(.+)$")


def header_text(cc, headers):
    """The preprocessed text that comes from the headers themselves."""
    wanted = {os.path.realpath(h) for h in headers}
    with tempfile.NamedTemporaryFile("w", suffix=".c", delete=False) as src:
        for h in headers:
            src.write('#include "%s"\n' % os.path.realpath(h))
    try:
        out = subprocess.run([cc, "-E", "-std=gnu99", "-D_GNU_SOURCE", src.name],
                             check=True, capture_output=True, text=True).stdout
    finally:
        os.unlink(src.name)
    keep, text = False, []
    for line in out.splitlines():
        marker = re.match(r'#\s*\d+\s+"([^"]*)"', line)
        if marker:
            keep = os.path.realpath(marker.group(1)) in wanted
        elif keep and not line.lstrip().startswith("#"):
            text.append(line)
    return "\n".join(text)


def drop_groups(text, keyword):
    """Removes keyword(...) with its balanced parentheses."""
    out, i = [], 0
    for m in re.finditer(r"\b%s\b\s*\(" % keyword, text):
        if m.start() < i:
            continue
        out.append(text[i:m.start()])
        depth, j = 1, m.end()
        while j < len(text) and depth:
            depth += {"(": 1, ")": -1}.get(text[j], 0)
            j += 1
        i = j
    out.append(text[i:])
    return "".join(out)


def statements(text):
    """Top-level declarations, split at ';' outside brackets, with the
    bodies of struct, union and enum definitions left out."""
    depth, cur, found = 0, [], []
    for ch in text:
        if ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
        if ch == ";" and depth == 0:
            found.append("".join(cur))
            cur = []
            continue
        cur.append(ch)
    result = []
    for s in found:
        # Cut brace bodies: "struct x { ... } y" -> "struct x y".
        while "{" in s:
            start = s.index("{")
            d, j = 0, start
            while True:
                d += {"{": 1, "}": -1}.get(s[j], 0)
                j += 1
                if d == 0:
                    break
            s = s[:start] + " " + s[j:]
        result.append(" ".join(s.split()))
    return result


def split_top(s, sep):
    depth, cur, parts = 0, [], []
    for ch in s:
        depth += {"(": 1, "[": 1, ")": -1, "]": -1}.get(ch, 0)
        if ch == sep and depth == 0:
            parts.append("".join(cur))
            cur = []
        else:
            cur.append(ch)
    parts.append("".join(cur))
    return parts


def declared_names(text):
    for kw in ("__attribute__", "__asm__", "__asm"):
        text = drop_groups(text, kw)
    names = set()
    for s in statements(text):
        if not s or s.startswith("typedef") or s.startswith("static"):
            continue
        if "(" in s:
            paren = s.index("(")
            after = s[paren + 1:].lstrip()
            if after.startswith("*"):
                # A pointer to a function (or an array of them): a variable.
                m = IDENT.search(after)
                if m:
                    names.add(m.group(0))
                continue
            m = re.search(r"([A-Za-z_][A-Za-z0-9_]*)\s*$", s[:paren])
            if m:
                names.add(m.group(1))
            continue
        words = IDENT.findall(s)
        if len(words) < 2 or (len(words) == 2 and words[0] in ("struct", "union", "enum")):
            continue  # a tag declared alone
        for part in split_top(s, ","):
            part = re.split(r"[\[=]", part)[0]
            m = re.search(r"([A-Za-z_][A-Za-z0-9_]*)\s*$", part)
            if m:
                names.add(m.group(1))
    return names


def exported_names(nm, library):
    out = subprocess.run([nm, "-D", "--defined-only", library], check=True,
                         capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        fields = line.split()
        if len(fields) < 2:
            continue
        kind, name = fields[-2], fields[-1].split("@")[0]
        if kind in ("A", "a") or name in LINKER_SYMBOLS or ODR_INDICATOR.match(name):
            continue
        names.add(name)
    return names


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cc", required=True)
    ap.add_argument("--nm", required=True)
    ap.add_argument("--library", required=True)
    ap.add_argument("headers", nargs="+")
    args = ap.parse_args()

    declared = declared_names(header_text(args.cc, args.headers))
    exported = exported_names(args.nm, args.library)
    # AddressSanitizer gives every exported global an exported indicator of
    # its own (for its one-definition check).
    indicators = {n for n in exported
                  if (m := ODR_INDICATOR.match(n)) and m.group(1) in declared}
    exported -= indicators
    if not declared or not exported:
        print("nothing found: %d declared, %d exported" % (len(declared), len(exported)))
        return 1
    ok = True
    for name in sorted(exported - declared):
        print("exported but not declared in a public header: %s" % name)
        ok = False
    for name in sorted(declared - exported):
        print("declared in a public header but not exported: %s" % name)
        ok = False
    print("%d symbols declared, %d exported" % (len(declared), len(exported)))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
