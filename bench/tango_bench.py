#!/usr/bin/python3
"""varnix-tango's figures, seen from PyTango over a real-time varnix-session:
Position reads per second, and the lag from a stage's move to the TANGO client's first
event showing it (the go-to written, the first Position event that differs).

Usage: tango_bench.py BIN_DIR [MOVES]
"""
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import tango

BIN = sys.argv[1]
MOVES = int(sys.argv[2]) if len(sys.argv) > 2 else 60


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "varnix.sock")
        session = subprocess.Popen([os.path.join(BIN, "varnix-session"), "--listen", "unix:" + path, "--realtime"],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        assert session.stderr.readline().startswith("listening on")
        threading.Thread(target=session.stderr.read, daemon=True).start()
        ctl = socket.socket(socket.AF_UNIX)
        ctl.connect(path)
        f = ctl.makefile("rw")
        f.write("until PANEL_CONNECTED == 1 within 30\n")
        f.flush()
        while f.readline().strip() not in ("ok",):
            pass
        port = free_port()
        devices = "VarnixAxis::lab/varnix/x,VarnixAxis::lab/varnix/y,VarnixAxis::lab/varnix/z"
        server = subprocess.Popen([os.path.join(BIN, "varnix-tango"), "bench", "-nodb", "-dlist", devices,
                                   "-ORBendPoint", "giop:tcp:127.0.0.1:%d" % port],
                                  env=dict(os.environ, VARNIX_ADDRESS="unix:" + path),
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        assert "Ready" in server.stdout.readline()
        threading.Thread(target=server.stdout.read, daemon=True).start()
        x = tango.DeviceProxy("tango://127.0.0.1:%d/lab/varnix/x#dbase=no" % port)
        try:
            n, start = 0, time.monotonic()
            while time.monotonic() - start < 5:
                x.Position
                n += 1
            reads = n / (time.monotonic() - start)

            arrived = threading.Condition()
            events = []

            def push(e):
                if not e.err:
                    with arrived:
                        events.append((time.monotonic(), e.attr_value.value))
                        arrived.notify_all()

            x.subscribe_event("Position", tango.EventType.CHANGE_EVENT, push)
            lags = []
            here = x.Position
            for i in range(MOVES):
                target = 0.2 if i % 2 == 0 else 0.0
                with arrived:
                    seen = len(events)
                t0 = time.monotonic()
                x.Position = target
                with arrived:
                    arrived.wait_for(lambda: any(v != here for _, v in events[seen:]), 10)
                    first = next(t for t, v in events[seen:] if v != here)
                    lags.append(first - t0)
                    arrived.wait_for(lambda: events and events[-1][1] == target, 10)
                while x.state() != tango.DevState.ON:
                    with arrived:
                        arrived.wait(0.05)
                here = target
            lags.sort()
            print("| Position reads from PyTango | %.0f per second (5 s of reads, one client) |" % reads)
            print("| lag from a go-to's start to the first Position event that shows it | p50 %.1f ms, p99 %.1f ms, max %.1f ms over %d moves |" % (
                1000 * statistics.median(lags), 1000 * lags[min(len(lags) - 1, int(0.99 * len(lags)))],
                1000 * lags[-1], len(lags)))
        finally:
            server.terminate()
            server.wait()
            f.write("quit\n")
            f.flush()
            session.wait()


main()
