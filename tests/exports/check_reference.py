#!/usr/bin/env python3
"""Checks that the API reference documents every symbol the shared library
exports: each function and global variable has a description of its own,
each argument of a function is described, a function with a result says
what it returns, and the symbol has its page in the manual pages (section
3) and its entry in the HTML reference.

usage: check_reference.py --nm NM --library LIB --docs DIR

DIR is the reference's build directory (Doxygen's xml/, html/ and man/
under it). The descriptions are read from Doxygen's XML output.
"""
import argparse
import glob
import os
import re
import sys
import xml.etree.ElementTree as ET

# The exported names, read as the exported-symbol check reads them.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_exports import exported_names  # noqa: E402


def text_of(element):
    return " ".join("".join(element.itertext()).split()) if element is not None else ""


def documented_members(xml_dir):
    """name -> list of faults ([] when the member is fully documented),
    for every function and variable of the header files' pages."""
    members = {}
    for path in glob.glob(os.path.join(xml_dir, "*_8h.xml")):
        root = ET.parse(path).getroot()
        for m in root.iter("memberdef"):
            kind = m.get("kind")
            if kind not in ("function", "variable"):
                continue
            name = m.findtext("name")
            faults = []
            # The description proper: brief and detailed text without the
            # argument list and the result section.
            own = text_of(m.find("briefdescription"))
            detail = m.find("detaileddescription")
            if detail is not None:
                for para in detail.iter("para"):
                    own += " " + (para.text or "")
                    for child in para:
                        if child.tag not in ("parameterlist", "simplesect"):
                            own += " " + text_of(child)
                        own += " " + (child.tail or "")
            if not own.strip():
                faults.append("no description")
            if kind == "function":
                described = set()
                for item in m.iter("parameteritem"):
                    for pname in item.iter("parametername"):
                        described.add(text_of(pname))
                for p in m.findall("param"):
                    declname = p.findtext("declname")
                    if declname and declname not in described:
                        faults.append("argument %s not described" % declname)
                rtype = text_of(m.find("type"))
                returns = [s for s in m.iter("simplesect") if s.get("kind") == "return"]
                if rtype != "void" and not returns:
                    faults.append("result not described")
            members[name] = faults
    return members


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--nm", required=True)
    ap.add_argument("--library", required=True)
    ap.add_argument("--docs", required=True)
    args = ap.parse_args()

    exported = exported_names(args.nm, args.library)
    members = documented_members(os.path.join(args.docs, "xml"))
    man3 = os.path.join(args.docs, "man", "man3")
    html = ""
    for path in glob.glob(os.path.join(args.docs, "html", "*_8h.html")):
        with open(path, encoding="utf-8") as f:
            html += f.read()
    if not exported or not members:
        print("nothing found: %d exported, %d in the reference" % (len(exported), len(members)))
        return 1
    ok = True
    for name in sorted(exported):
        faults = []
        if name not in members:
            faults.append("not in the reference")
        else:
            faults += members[name]
        if not os.path.exists(os.path.join(man3, name + ".3")):
            faults.append("no manual page %s.3" % name)
        # A row of a header page's summary: a link to the member's own
        # section, or its name in bold when the summary line is all it has.
        if not re.search(r'class="memItemRight"[^>]*>(?:<a class="el" href="[^"]*">|<b>)%s(?:</a>|</b>)'
                         % re.escape(name), html):
            faults.append("no entry in the HTML reference")
        for f in faults:
            print("%s: %s" % (name, f))
            ok = False
    print("%d exported symbols, %d functions and variables in the reference" % (len(exported), len(members)))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
