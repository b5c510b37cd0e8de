#!/usr/bin/env python3
"""The tool peer of the Windows test stage: runs, for test programs under
Wine, the Linux tools they compare against (python3, zip), which a Windows
program cannot wait for there (tests/support/win32/TestTools.h).

    win-tool-peer.py PORT_FILE WINEPREFIX [LIFETIME_SECONDS]

Listens on 127.0.0.1 (an ephemeral port, written to PORT_FILE). A request
is the arguments, one a line, ended by an empty line; Windows paths in them
(C:\\..., Z:\\...) become the Linux paths Wine maps them to. The reply is
the exit status and a newline. Only python3 and zip run, without a shell,
for at most 60 s each; the peer stops by itself after LIFETIME_SECONDS
(default 1800).
"""
import os
import re
import socket
import subprocess
import sys
import time

ALLOWED = {"python3", "zip"}


def unix_path(arg, prefix):
    m = re.match(r"^([A-Za-z]):[\\/](.*)$", arg, re.S)
    if not m:
        return arg
    rest = m.group(2).replace("\\", "/")
    drive = m.group(1).lower()
    if drive == "z":
        return "/" + rest
    return os.path.join(prefix, "dosdevices", drive + ":", rest)


def serve(conn, prefix):
    conn.settimeout(30)
    data = b""
    while not data.endswith(b"\n\n") and data != b"\n":
        chunk = conn.recv(65536)
        if not chunk:
            return
        data += chunk
    args = [unix_path(a, prefix) for a in data.decode("utf-8", "surrogateescape").split("\n")[:-2]]
    status = 126
    if args and args[0] in ALLOWED:
        try:
            status = subprocess.run(args, stdout=subprocess.DEVNULL, timeout=60).returncode
        except (OSError, subprocess.TimeoutExpired):
            status = 125
    conn.sendall(b"%d\n" % status)


def main():
    if len(sys.argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    port_file, prefix = sys.argv[1], sys.argv[2]
    deadline = time.monotonic() + (float(sys.argv[3]) if len(sys.argv) > 3 else 1800)
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.bind(("127.0.0.1", 0))
    srv.listen(8)
    srv.settimeout(1)
    with open(port_file + ".tmp", "w") as f:
        f.write(str(srv.getsockname()[1]))
    os.rename(port_file + ".tmp", port_file)
    while time.monotonic() < deadline:
        try:
            conn, _ = srv.accept()
        except socket.timeout:
            continue
        with conn:
            try:
                serve(conn, prefix)
            except OSError:
                pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
