#!/usr/bin/env python3
"""The C interface cannot drift: every function the built library exports
under the oam_ prefix is declared in oamsdk_c.h, and every function the
header declares is exported.

    check_symbols.py LIBRARY HEADER

LIBRARY is liboamsdk.so (read with nm -D) or the Windows DLL (read with
objdump -p, mingw-w64's or binutils'). Prints both counts; exit 1 on any
difference.
"""
import re
import subprocess
import sys

PREFIX = "oam_"


def exported(lib):
    if lib.lower().endswith(".dll"):
        out = subprocess.run(["objdump", "-p", lib], capture_output=True, text=True, check=True).stdout
        # Lines of the export name table: "\t[   3] oam_version"
        names = re.findall(r"^\s*\[\s*\d+\]\s+(\S+)\s*$", out, re.M)
    else:
        out = subprocess.run(["nm", "-D", "--defined-only", lib], capture_output=True, text=True, check=True).stdout
        names = [line.split()[-1].split("@")[0] for line in out.splitlines() if len(line.split()) >= 3
                 and line.split()[1] in "TtWi"]
    return {n for n in names if n.startswith(PREFIX)}


def declared(header):
    with open(header) as f:
        text = f.read()
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    # Function declarations: OAMSDK_API <type> name(
    return set(re.findall(r"OAMSDK_API\s+[^;(]*?\b(" + PREFIX + r"\w+)\s*\(", text))


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    lib, header = sys.argv[1:]
    got, want = exported(lib), declared(header)
    print("%s exports %d %s functions; %s declares %d" % (lib, len(got), PREFIX, header, len(want)))
    ok = bool(want)
    for name in sorted(got - want):
        print("exported but not declared: " + name)
        ok = False
    for name in sorted(want - got):
        print("declared but not exported: " + name)
        ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
