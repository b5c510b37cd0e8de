#!/usr/bin/env python3
"""One version everywhere: the project's (CMake's project VERSION) is the
top entry of CHANGELOG.md, the Python package's (pyproject.toml, and
oamsdk.__version__ when the package states one), and what the built library
reports through its C interface (oam_version, oam_library_version) and its
C++ one (OamLibraryVersion).

    check_version.py VERSION CHANGELOG PYPROJECT LIBRARY

Exit 1 on any difference.
"""
import ctypes
import os
import re
import sys


def main():
    if len(sys.argv) != 5:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    version, changelog, pyproject, library = sys.argv[1:]
    found = {}
    with open(changelog) as f:
        m = re.search(r"^## +(\d+\.\d+\.\d+)\b", f.read(), re.M)
    found["CHANGELOG.md top entry"] = m.group(1) if m else None
    with open(pyproject) as f:
        m = re.search(r'^version\s*=\s*"([^"]+)"', f.read(), re.M)
    found["pyproject.toml"] = m.group(1) if m else None
    # The package's __version__, where it states one beside pyproject.toml.
    init = os.path.join(os.path.dirname(pyproject), "oamsdk", "__init__.py")
    if os.path.exists(init):
        with open(init) as f:
            m = re.search(r'^__version__\s*=\s*"([^"]+)"', f.read(), re.M)
        if m:
            found["oamsdk.__version__"] = m.group(1)
    lib = ctypes.CDLL(library)
    lib.oam_version.restype = ctypes.c_uint32
    v = lib.oam_version()
    found["oam_version()"] = "%d.%d.%d" % (v >> 16, (v >> 8) & 0xFF, v & 0xFF)
    lib.OamLibraryVersion.restype = ctypes.c_char_p
    found["OamLibraryVersion()"] = lib.OamLibraryVersion().decode()
    ok = True
    for what, got in found.items():
        if got != version:
            print("%s: %s, the project's is %s" % (what, got, version))
            ok = False
    print("version %s: %s" % (version, "one everywhere" if ok else "differs"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
