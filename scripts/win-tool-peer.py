#!/usr/bin/env python3
"""The tool peer of the Windows test stage: runs, for test programs under
Wine, the Linux programs they compare against or talk to (python3, zip,
oam-sim), which a Windows program cannot wait for there
(tests/support/win32/TestTools.h, tests/sim/SimHarnessWin32.cpp).

    win-tool-peer.py PORT_FILE WINEPREFIX [LIFETIME_SECONDS [SIM_BINARY]]

Listens on 127.0.0.1 (an ephemeral port, written to PORT_FILE); one
connection is one request. Windows paths in arguments (C:\\..., Z:\\...)
become the Linux paths Wine maps them to. Requests, each line ended by a
newline, the arguments one a line and ended by an empty line:

  ARGS...             runs python3 or zip, without a shell, for at most
                      60 s; the reply is the exit status.
  @run LIMIT_MS ARGS  runs oam-sim (SIM_BINARY) with ARGS, at most LIMIT_MS;
                      the reply is the exit status (-1: killed), then the
                      length of its standard output and the bytes, then the
                      same for its standard error.
  @sim LOG STDIN ARGS starts oam-sim with ARGS, its output going to the file
                      LOG, its standard input a pipe when STDIN is 1; the
                      reply is "pid N". The connection then controls it, a
                      line each way: "control TEXT" writes TEXT to its
                      input ("ok"/"no"), "poll" gives "running" or "exited
                      N", "signal N" sends it signal N ("ok"/"no"),
                      "stop" closes its input, sends SIGTERM, waits up
                      to 10 s (then SIGKILL) and gives the exit status (-1:
                      killed or by a signal). A closed connection stops it
                      too, so no simulator outlives its test program.

The peer stops by itself after LIFETIME_SECONDS (default 1800), and stops
every simulator it started.
"""
import os
import re
import socket
import signal
import subprocess
import sys
import threading
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


SIMS = set()
SIMS_LOCK = threading.Lock()


def exit_code(proc):
    return proc.returncode if proc.returncode >= 0 else -1


def stop_sim(proc):
    if proc.stdin:
        try:
            proc.stdin.close()
        except OSError:
            pass
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            return -1
    return exit_code(proc)


def run_sim(conn, args, binary):
    limit = int(args[0]) / 1000.0
    try:
        done = subprocess.run([binary] + args[1:], stdin=subprocess.DEVNULL, capture_output=True, timeout=limit)
        status, out, err = exit_code(done), done.stdout, done.stderr
    except subprocess.TimeoutExpired as e:
        status, out, err = -1, e.stdout or b"", e.stderr or b""
    except OSError as e:
        status, out, err = 127, b"", str(e).encode()
    conn.sendall(b"%d\n%d\n%s%d\n%s" % (status, len(out), out, len(err), err))


def session_sim(conn, reader, args, binary):
    log, stdin = args[0], args[1] == "1"
    with open(log, "wb") as out:
        proc = subprocess.Popen([binary] + args[2:], stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.PIPE if stdin else subprocess.DEVNULL)
    with SIMS_LOCK:
        SIMS.add(proc)
    try:
        conn.sendall(b"pid %d\n" % proc.pid)
        conn.settimeout(None)
        for line in reader:
            line = line.rstrip(b"\n")
            if line.startswith(b"control "):
                try:
                    proc.stdin.write(line[8:] + b"\n")
                    proc.stdin.flush()
                    reply = b"ok"
                except (AttributeError, OSError):
                    reply = b"no"
            elif line.startswith(b"signal "):
                try:
                    proc.send_signal(int(line[7:]))
                    reply = b"ok"
                except (ValueError, OSError):
                    reply = b"no"
            elif line == b"poll":
                reply = b"running" if proc.poll() is None else b"exited %d" % exit_code(proc)
            elif line == b"stop":
                reply = b"%d" % stop_sim(proc)
            else:
                reply = b"?"
            conn.sendall(reply + b"\n")
    finally:
        stop_sim(proc)
        with SIMS_LOCK:
            SIMS.discard(proc)


def serve(conn, prefix, binary):
    conn.settimeout(30)
    reader = conn.makefile("rb")
    lines = []
    while True:
        line = reader.readline()
        if not line:
            return
        if line == b"\n":
            break
        lines.append(line.rstrip(b"\n").decode("utf-8", "surrogateescape"))
    args = [unix_path(a, prefix) for a in lines]
    if args and args[0] == "@run":
        return run_sim(conn, args[1:], binary)
    if args and args[0] == "@sim":
        return session_sim(conn, reader, args[1:], binary)
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
    binary = sys.argv[4] if len(sys.argv) > 4 else "oam-sim"
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
        threading.Thread(target=handle, args=(conn, prefix, binary), daemon=True).start()
    with SIMS_LOCK:
        for proc in list(SIMS):
            proc.kill()
    return 0


def handle(conn, prefix, binary):
    with conn:
        try:
            serve(conn, prefix, binary)
        except (OSError, ValueError, IndexError):
            pass


if __name__ == "__main__":
    sys.exit(main())
