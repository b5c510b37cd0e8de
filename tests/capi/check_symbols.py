#!/usr/bin/env python3
"""The exports cannot drift from the headers.

    check_symbols.py LIBRARY HEADER
    check_symbols.py --all MARK LIBRARY HEADER...

The first form checks the C interface: every function the built library
exports under the oam_ prefix is declared in HEADER (oamsdk_c.h), and every
function the header declares is exported.

The second form checks everything the library exports against the
installed HEADERs: each exported symbol must be a function the headers
declare with an export mark (OAMSDK_API or CORBEX_API), or a member,
vtable or typeinfo of a class they declare with one; and every function and
class the headers declare with MARK (the library's own) must be exported.
Nothing internal leaves the library: no standard-library instance, no
helper, no nested private class.

LIBRARY is a shared object (read with nm -D --defined-only) or a Windows
DLL (its export table, read with objdump -p; names demangled with
c++filt). Prints the counts; exit 1 on any difference.
"""
import os
import re
import shutil
import subprocess
import sys

PREFIX = "oam_"
MARKS = ("OAMSDK_API", "CORBEX_API")


def tool(*names):
    for n in names:
        if shutil.which(n):
            return n
    return names[-1]


def exported_raw(lib):
    if lib.lower().endswith(".dll"):
        out = subprocess.run([tool("x86_64-w64-mingw32-objdump", "objdump"), "-p", lib],
                             capture_output=True, text=True, check=True).stdout
        # The export name table: "\t[   3] oam_version"
        part = out.split("[Ordinal/Name Pointer] Table", 1)
        text = part[1] if len(part) > 1 else out
        return re.findall(r"^\s*\[\s*\d+\]\s+(\S+)\s*$", text, re.M)
    out = subprocess.run(["nm", "-D", "--defined-only", lib], capture_output=True, text=True, check=True).stdout
    names = []
    for line in out.splitlines():
        f = line.split()
        if len(f) >= 3:
            names.append(f[2].split("@")[0])
    return names


def exported(lib):
    return {n for n in exported_raw(lib) if n.startswith(PREFIX)}


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    text = re.sub(r"//[^\n]*", "", text)
    return re.sub(r"^\s*#.*$", "", text, flags=re.M)


def declared(header):
    with open(header) as f:
        text = strip_comments(f.read())
    # Function declarations: OAMSDK_API <type> name(
    return set(re.findall(r"OAMSDK_API\s+[^;(]*?\b(" + PREFIX + r"\w+)\s*\(", text))


def demangle(names):
    if not names:
        return []
    out = subprocess.run([tool("c++filt", "x86_64-w64-mingw32-c++filt")], input="\n".join(names),
                         capture_output=True, text=True, check=True).stdout
    return out.splitlines()


def header_interface(headers, mark):
    """Classes and functions the headers mark: (classes, functions, own
    classes, own functions), the own ones being those marked with mark."""
    classes, functions, own_classes, own_functions = set(), set(), set(), set()
    for h in headers:
        with open(h) as f:
            text = strip_comments(f.read())
        for m, name in re.findall(r"\b(?:class|struct)\s+(OAMSDK_API|CORBEX_API)\s+(\w+)", text):
            classes.add(name)
            if m == mark:
                own_classes.add(name)
        for m, name in re.findall(r"\b(OAMSDK_API|CORBEX_API)\s+(?!class\b|struct\b)[^;(){}]*?\b(\w+)\s*\(", text):
            functions.add(name)
            if m == mark:
                own_functions.add(name)
    return classes, functions, own_classes, own_functions


def owner(sym):
    """The class a demangled symbol belongs to and its member, or (None,
    function name) for a free function."""
    for lead in ("vtable for ", "typeinfo for ", "typeinfo name for ", "VTT for "):
        if sym.startswith(lead):
            return sym[len(lead):], None
    base = sym.split("(", 1)[0].strip()
    # Drop a return type (template functions only) and an 'operator' tail.
    base = re.sub(r"::operator\b.*$", "::operator", base)
    parts = base.split(" ")[-1].split("::")
    if len(parts) == 1:
        return None, parts[0]
    return "::".join(parts[:-1]), parts[-1]


def check_all(mark, lib, headers):
    raw = exported_raw(lib)
    # The DLL's export table also names its own start-up, which every DLL has.
    raw = [n for n in raw if n not in ("DllMain", "DllEntryPoint", "_CRT_INIT")]
    names = demangle(raw)
    classes, functions, own_classes, own_functions = header_interface(headers, mark)
    ok = bool(own_classes or own_functions)
    seen_classes, seen_functions = set(), set()
    stray = []
    for sym in names:
        cls, member = owner(sym)
        if cls is not None:
            if cls in classes:
                seen_classes.add(cls)
                continue
            # A free function in a namespace (win::socket, oam::mbcs::Find).
            if member is not None and member in functions and re.fullmatch(r"(win|oam::mbcs)", cls):
                seen_functions.add(member)
                continue
            stray.append(sym)
            continue
        if member in functions:
            seen_functions.add(member)
            continue
        stray.append(sym)
    print("%s exports %d symbols: %d stray; its headers mark %d classes and %d functions as its own"
          % (os.path.basename(lib), len(names), len(stray), len(own_classes), len(own_functions)))
    for s in sorted(stray):
        print("exported but not declared: " + s)
        ok = False
    for c in sorted(own_classes - seen_classes):
        print("declared but not exported (class): " + c)
        ok = False
    for fn in sorted(own_functions - seen_functions):
        print("declared but not exported: " + fn)
        ok = False
    return 0 if ok else 1


def main():
    if len(sys.argv) >= 5 and sys.argv[1] == "--all":
        return check_all(sys.argv[2], sys.argv[3], sys.argv[4:])
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
