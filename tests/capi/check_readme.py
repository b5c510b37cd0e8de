#!/usr/bin/env python3
"""The README shows the examples the tests run: each file given must appear
in README.md whole, as the body of one fenced code block.

    check_readme.py README FILE...
"""
import re
import sys


def main():
    if len(sys.argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(sys.argv[1]) as f:
        blocks = [m.group(1) for m in re.finditer(r"^```[a-z]*\n(.*?)^```$", f.read(), re.M | re.S)]
    ok = True
    for path in sys.argv[2:]:
        with open(path) as f:
            text = f.read()
        if text not in blocks:
            print("README.md does not show %s as it is" % path)
            ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
