#!/usr/bin/python3
"""varnix-tango's figures, seen from PyTango over a real-time varnix-session:
Position reads per second; the event lag, from the reading of a stage to the TANGO
client's receipt of the Position event that carries it (each event is stamped with its
reading's time; the reader reads every 50 ms, so a position is at most that much older
than its reading); and, for scale, a go-to's latency from the write to the first event
that shows the stage moving.

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
            events, ages = [], []

            def push(e):
                if not e.err:
                    age = time.time() - e.attr_value.time.totime()
                    with arrived:
                        ages.append(age)
                        events.append((time.monotonic(), e.attr_value.value))
                        arrived.notify_all()

            # Without a database, TANGO 9.3's clients lose an event channel's heartbeat
            # after about 10 s (docs/tango.md): subscribe afresh for each batch of moves.
            lags = []
            here = x.Position
            for i in range(MOVES):
                if i % 8 == 0:
                    if i:
                        x.unsubscribe_event(sub)
                    sub = x.subscribe_event("Position", tango.EventType.CHANGE_EVENT, push)
                target = 0.2 if i % 2 == 0 else 0.0
                with arrived:
                    seen = len(events)
                t0 = time.monotonic()
                x.Position = target
                with arrived:
                    if not arrived.wait_for(lambda: any(v != here for _, v in events[seen:]), 10):
                        raise RuntimeError("move %d: no event of the move from %g to %g" % (i, here, target))
                    first = next(t for t, v in events[seen:] if v != here)
                    lags.append(first - t0)
                    arrived.wait_for(lambda: events and events[-1][1] == target, 10)
                while x.state() != tango.DevState.ON:
                    with arrived:
                        arrived.wait(0.05)
                here = target
            x.unsubscribe_event(sub)
            def spread(values):
                values = sorted(values)
                return "p50 %.1f ms, p99 %.1f ms, max %.1f ms over %d" % (
                    1000 * statistics.median(values), 1000 * values[min(len(values) - 1, int(0.99 * len(values)))],
                    1000 * values[-1], len(values))
            print("| Position reads from PyTango | %.0f per second (5 s of reads, one client) |" % reads)
            print("| event lag: a reading's age when its Position event arrives | %s events |" % spread(ages))
            print("| a go-to's latency: the write to the first Position event that shows motion | %s moves |" % spread(lags))
        except BaseException:
            import traceback
            traceback.print_exc()
            sys.stdout.flush()
            os._exit(1)
        finally:
            server.terminate()
            server.wait()
            f.write("quit\n")
            f.flush()
            session.wait()


try:
    main()
except BaseException:
    import traceback; traceback.print_exc(); sys.stdout.flush(); os._exit(1)
