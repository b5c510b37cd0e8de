"""The Python half of python_bench: connects a Channel to the responder on
the port given, then for each line N read from stdin runs N exchanges and
prints their mean time in microseconds."""
import sys
import time

import oamsdk


def main() -> None:
    with oamsdk.Channel("127.0.0.1", int(sys.argv[1])) as chan:
        for line in sys.stdin:
            n = int(line)
            failures = 0
            t0 = time.perf_counter()
            for _ in range(n):
                try:
                    chan.command("Bench", "Pad=xxxxxxxxxxxxxxxxx;", "7")
                except oamsdk.OamError:
                    failures += 1
            t1 = time.perf_counter()
            print("%.4f %d" % ((t1 - t0) * 1e6 / n, failures), flush=True)


if __name__ == "__main__":
    main()
