"""Lists the stations of a management server and their devices, shows a
refusal with the server's reason, then prints three alarms of a peer.

    python3 stations.py [HOST] [PORT] [ALARM_PEER]
"""
import sys

import oamsdk


def main() -> int:
    host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
    port = int(sys.argv[2]) if len(sys.argv) > 2 else 9000
    with oamsdk.Channel(host, port) as chan:
        chan.login("admin", "admin")
        for station in chan.stations():
            chan.devices(station)
            print(f"{station.id} {station.name}: {len(station.devices)} devices")
            for device in station.devices:
                print(f"  {device.id} {device.name} ({len(device.ptz)} PTZ)")
        print("S1 Contrast:", chan.get("S1", "Contrast"))
        try:
            chan.set("S1", "Contrast", 500)
        except oamsdk.CommandError as e:
            print(f"refused ({e.code}): {e.reason}")

    if len(sys.argv) > 3:
        with oamsdk.AlarmReceiver([sys.argv[3]], "example") as alarms:
            for _ in range(3):
                alarm = alarms.get(timeout=10)
                if alarm is None:
                    print("no alarm within 10 s")
                    return 1
                print(f"alarm {alarm.alarm_id} type {alarm.type} from {alarm.text1}: {alarm.text3}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
