"""The Python half of python_bench: connects a Channel, and an AsyncChannel
of oamsdk.aio, to the responder on the port given, then for each line read
from stdin runs a round of exchanges and prints their mean time in
microseconds and the failures: "N" through the Channel, "aN" awaited
through the AsyncChannel (one coroutine, each exchange awaited in turn)."""
import asyncio
import sys
import time

import oamsdk
from oamsdk.aio import AsyncChannel


def sync_round(chan: oamsdk.Channel, n: int) -> "tuple[float, int]":
    failures = 0
    t0 = time.perf_counter()
    for _ in range(n):
        try:
            chan.command("Bench", "Pad=xxxxxxxxxxxxxxxxx;", "7")
        except oamsdk.OamError:
            failures += 1
    return (time.perf_counter() - t0) * 1e6 / n, failures


async def awaited_round(chan: AsyncChannel, n: int) -> "tuple[float, int]":
    failures = 0
    t0 = time.perf_counter()
    for _ in range(n):
        try:
            await chan.command("Bench", "Pad=xxxxxxxxxxxxxxxxx;", "7")
        except oamsdk.OamError:
            failures += 1
    return (time.perf_counter() - t0) * 1e6 / n, failures


def main() -> None:
    port = int(sys.argv[1])
    loop = asyncio.new_event_loop()
    achan = AsyncChannel("127.0.0.1", port)
    loop.run_until_complete(achan.connect())
    with oamsdk.Channel("127.0.0.1", port) as chan:
        for line in sys.stdin:
            line = line.strip()
            if line.startswith("a"):
                us, failures = loop.run_until_complete(awaited_round(achan, int(line[1:])))
            else:
                us, failures = sync_round(chan, int(line))
            print("%.4f %d" % (us, failures), flush=True)
    loop.run_until_complete(achan.close())
    loop.close()


if __name__ == "__main__":
    main()
