#!/usr/bin/env python3
"""Installs a build into a scratch prefix and proves that the installed
libraries (lib/libdvrplat.a, lib/libdvrplat.so.*, and the debug files of
lib/debug when the install splits them off) hold none of the board
simulator: no symbol of the simulated register window, the port trace, the
simulated drives or their registration, no object file of theirs in the
archive, and none of the texts only they use (the environment variables
they read, the simulated drive's first line). A library stripped of its
symbol table is still searched byte by byte for those texts.

usage: check_no_simulator.py --cmake CMAKE --nm NM --build BUILD_DIR --prefix PREFIX
"""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys

# Demangled names of the simulator's code.
SYMBOLS = re.compile(r"fpga_detail::open_simulated_window|fpga_detail::traced\(|SimulatedWindow|TracedWindow"
                     r"|dvr::dev::sim::|dvrplat_sim_backends")
# Object files of the simulator library (as the build names them).
MEMBERS = re.compile(r"^(window_sim|window_trace|dev_sim|backends)\.cpp\.o:$")
# Texts only the simulator uses.
TEXTS = [b"DVRPLAT_FPGA_SIM", b"DVRPLAT_FPGA_TRACE", b"#dvrplat-sim-drive"]
# What the real paths always hold: proves nm read the file's symbols.
REAL = re.compile(r"\bfpga_open\b")


def nm(tool, path, *flags):
    r = subprocess.run([tool, "-C", *flags, path], capture_output=True, text=True)
    return r.stdout.splitlines() if r.returncode == 0 else []


def check(tool, path, archive):
    found = []
    lines = nm(tool, path) + ([] if archive else nm(tool, path, "-D"))
    if not any(REAL.search(l) for l in lines):
        found.append("nm shows no fpga_open: not a library of the real paths, or unreadable")
    for l in lines:
        if MEMBERS.match(l.strip()):
            found.append("simulator object file " + l.strip().rstrip(":"))
        elif SYMBOLS.search(l):
            found.append("simulator symbol: " + l.strip())
    with open(path, "rb") as f:
        data = f.read()
    for t in TEXTS:
        if t in data:
            found.append("simulator text \"%s\"" % t.decode())
    return found


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cmake", required=True)
    ap.add_argument("--nm", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("--prefix", required=True)
    a = ap.parse_args()
    shutil.rmtree(a.prefix, ignore_errors=True)
    subprocess.run([a.cmake, "--install", a.build, "--prefix", a.prefix], check=True, stdout=subprocess.DEVNULL)
    lib = os.path.join(a.prefix, "lib")
    shared = [p for p in glob.glob(os.path.join(lib, "libdvrplat.so.*")) if not os.path.islink(p)]
    files = [(os.path.join(lib, "libdvrplat.a"), True)] + [(p, False) for p in shared]
    files += [(p, False) for p in glob.glob(os.path.join(lib, "debug", "**", "libdvrplat.so*.debug"), recursive=True)]
    if not os.path.exists(files[0][0]) or not shared:
        print("the install holds no lib/libdvrplat.a or lib/libdvrplat.so.*")
        return 1
    failed = False
    for path, archive in files:
        found = check(a.nm, path, archive)
        rel = os.path.relpath(path, a.prefix)
        for f in found[:20]:
            print("%s: %s" % (rel, f))
        if len(found) > 20:
            print("%s: ... %d more" % (rel, len(found) - 20))
        if found:
            failed = True
        else:
            print("%s: no simulator code" % rel)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
