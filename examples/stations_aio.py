"""The asyncio form of stations.py: lists the stations of a management
server and their devices, shows a refusal with the server's reason, then
prints three alarms of a peer, all from one event loop.

    python3 stations_aio.py [HOST] [PORT] [ALARM_PEER]
"""
import asyncio
import sys

import oamsdk
from oamsdk.aio import AsyncAlarmReceiver, AsyncChannel


async def main() -> int:
    host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
    port = int(sys.argv[2]) if len(sys.argv) > 2 else 9000
    async with AsyncChannel(host, port) as chan:
        await chan.login("admin", "admin")
        stations = await chan.stations()
        # Several commands awaited at once: the channel takes them in turn.
        await asyncio.gather(*(chan.devices(station) for station in stations))
        for station in stations:
            print(f"{station.id} {station.name}: {len(station.devices)} devices")
            for device in station.devices:
                print(f"  {device.id} {device.name} ({len(device.ptz)} PTZ)")
        print("S1 Contrast:", await chan.get("S1", "Contrast"))
        try:
            await chan.set("S1", "Contrast", 500)
        except oamsdk.CommandError as e:
            print(f"refused ({e.code}): {e.reason}")

    if len(sys.argv) > 3:
        async with AsyncAlarmReceiver([sys.argv[3]], "example") as alarms:
            for _ in range(3):
                alarm = await alarms.next(timeout=10)
                if alarm is None:
                    print("no alarm within 10 s")
                    return 1
                print(f"alarm {alarm.alarm_id} type {alarm.type} from {alarm.text1}: {alarm.text3}")
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
