#!/usr/bin/python3
"""varnix-tango seen from a TANGO client (PyTango), over a varnix-session that serves
its control protocol: the axis and scan devices, their states and events, the emergency
stop, and Varnix going away and coming back under the device server.

On virtual time the session's clock moves only while a client plays `wait`, so the test
holds a plain protocol connection of its own (`Clock`) and moves time with it; every
wait for the device server is a wait for a condition, bounded, never a fixed pause.

Usage: tango_test.py BIN_DIR      (exits 77, skipped, when PyTango is missing)
"""
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

try:
    import tango
except ImportError:
    print("skipped: PyTango (python3-tango) is not installed")
    sys.exit(77)

BIN = sys.argv.pop(1) if len(sys.argv) > 1 else "build/bin"
BOUND = 20.0  # seconds: how long any condition may take before the test fails
AXES = ("x", "y", "z")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def drain(stream):
    """Reads a child's output to its end, then closes it, on a thread of its own."""
    def run():
        with stream:
            stream.read()
    threading.Thread(target=run, daemon=True).start()


def eventually(what, predicate, bound=BOUND):
    """Waits until predicate() is true; fails with `what` after `bound` seconds."""
    done = threading.Event()
    end = time.monotonic() + bound
    while not predicate():
        if time.monotonic() > end:
            raise AssertionError("not within %.0f s: %s" % (bound, what))
        done.wait(0.02)


class Clock:
    """A protocol client of the test's own: moves virtual time, reads controls."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.connect(path)
        self.file = self.sock.makefile("rw", encoding="utf-8", newline="\n")

    def say(self, statement):
        self.file.write(statement + "\n")
        self.file.flush()
        lines = []
        for line in self.file:
            line = line.rstrip("\n")
            if line == "ok":
                return lines
            if line.startswith("error:"):
                raise AssertionError("%s: %s" % (statement, line))
            lines.append(line)
        raise AssertionError("%s: the connection closed" % statement)

    def wait(self, seconds):
        self.say("wait %g" % seconds)

    def x(self):
        """X's position now: `@ live X POSITION STATE...`."""
        return float(self.say("live")[0].split()[3])

    def close(self):
        self.file.close()
        self.sock.close()


class Session:
    """varnix-session serving on a Unix socket."""

    def __init__(self, path, realtime=False, record=None):
        args = [os.path.join(BIN, "varnix-session"), "--listen", "unix:" + path]
        if realtime:
            args.append("--realtime")
        if record:
            args += ["--record", record]
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True)
        line = self.proc.stderr.readline()
        if not line.startswith("listening on unix:"):
            self.proc.kill()
            raise AssertionError("varnix-session did not listen: %r" % line)
        drain(self.proc.stderr)

    def kill(self):
        self.proc.kill()
        self.proc.wait()

    def end(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            assert self.proc.wait(timeout=BOUND) == 0


class Server:
    """varnix-tango without a database, its devices on one port."""

    def __init__(self, address):
        self.port = free_port()
        env = dict(os.environ, VARNIX_ADDRESS=address)
        devices = ",".join(["VarnixAxis::lab/varnix/" + a for a in AXES] + ["VarnixScan::lab/varnix/scan"])
        self.proc = subprocess.Popen(
            [os.path.join(BIN, "varnix-tango"), "test", "-nodb", "-dlist", devices,
             "-ORBendPoint", "giop:tcp:127.0.0.1:%d" % self.port],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        line = self.proc.stdout.readline()
        if "Ready to accept request" not in line:
            self.proc.kill()
            raise AssertionError("varnix-tango did not start: %r %s" % (line, self.proc.stdout.read()))
        drain(self.proc.stdout)

    def device(self, name):
        d = tango.DeviceProxy("tango://127.0.0.1:%d/lab/varnix/%s#dbase=no" % (self.port, name))
        d.set_timeout_millis(int(BOUND * 1000))
        return d

    def end(self):
        self.proc.terminate()
        return self.proc.wait(timeout=BOUND)


class Events:
    """Change events of one attribute, as they come; `until` waits for one."""

    def __init__(self, device, attribute):
        self.values, self.cond = [], threading.Condition()
        self.device = device
        self.id = device.subscribe_event(attribute, tango.EventType.CHANGE_EVENT, self.push)

    def push(self, event):
        if not event.err:
            with self.cond:
                self.values.append(event.attr_value.value)
                self.cond.notify_all()

    def until(self, what, predicate):
        with self.cond:
            if not self.cond.wait_for(lambda: predicate(self.values), BOUND):
                raise AssertionError("no event within %.0f s: %s (events: %s)" % (BOUND, what, self.values))

    def seen(self, value):
        self.until(repr(value), lambda values: value in values)

    def last(self, value):
        self.until("last " + repr(value), lambda values: values and values[-1] == value)

    def close(self):
        self.device.unsubscribe_event(self.id)


class VirtualTime(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.path = os.path.join(cls.dir.name, "varnix.sock")
        cls.record = os.path.join(cls.dir.name, "records")
        os.mkdir(cls.record)
        cls.session = Session(cls.path, record=cls.record)
        cls.clock = Clock(cls.path)
        cls.server = Server("unix:" + cls.path)
        cls.x, cls.y, cls.z = (cls.server.device(a) for a in AXES)
        cls.scan = cls.server.device("scan")

    @classmethod
    def tearDownClass(cls):
        cls.clock.close()
        assert cls.server.end() == 0, "varnix-tango did not end cleanly on SIGTERM"
        cls.session.end()
        cls.dir.cleanup()

    def test_1_position_and_state_at_rest(self):
        self.assertEqual(self.x.state(), tango.DevState.ON)
        self.assertAlmostEqual(self.x.Position, self.clock.x())
        self.assertEqual(self.x.get_attribute_config("Position").unit, "mm")

    def test_2_homing_and_stop(self):
        self.y.Home()
        self.clock.wait(1)
        self.assertEqual(self.y.state(), tango.DevState.MOVING)
        self.assertIn("homing", self.y.status())
        with self.assertRaises(tango.DevFailed) as refused:
            self.y.Position = 1.0
        self.assertIn("moving", refused.exception.args[0].desc)
        self.y.Stop()
        self.clock.wait(2)
        self.assertNotEqual(self.y.state(), tango.DevState.MOVING)

    def test_3_go_to_with_events(self):
        positions = Events(self.x, "Position")
        states = Events(self.x, "State")
        try:
            self.x.Position = 2.0
            self.clock.wait(0.3)
            states.seen(tango.DevState.MOVING)
            for _ in range(30):  # the go-to, a tenth of a second at a time
                self.clock.wait(0.1)
                positions.seen(self.clock.x())
            positions.seen(2.0)
            moving = [v for v in positions.values if 0 < v < 2.0]
            self.assertGreaterEqual(len(moving), 3, positions.values)
            states.last(tango.DevState.ON)
            self.assertAlmostEqual(self.x.Position, 2.0)
        finally:
            positions.close()
            states.close()

    def test_4_out_of_range_is_refused(self):
        with self.assertRaises(tango.DevFailed) as refused:
            self.x.Position = 1e9
        self.assertIn("PANEL_TARGET_X", refused.exception.args[0].desc)
        self.assertAlmostEqual(self.x.Position, 2.0)

    def test_5_emergency_stop(self):
        self.z.Home()
        self.clock.wait(1)
        self.scan.EmergencyStop()
        self.clock.wait(1)
        self.assertEqual(self.z.state(), tango.DevState.FAULT)
        self.assertIn("emergency stop", self.z.status())
        self.assertEqual(self.scan.state(), tango.DevState.FAULT)
        self.scan.Release()
        self.clock.wait(1)
        self.assertNotEqual(self.z.state(), tango.DevState.FAULT)

    def test_6_preview_and_a_small_scan(self):
        self.scan.XPoints, self.scan.YPoints, self.scan.ZPoints = 2, 2, 1
        self.scan.XStep, self.scan.YStep = 0.5, 0.5
        self.scan.ScanZ = False
        self.assertEqual(self.scan.XPoints, 2)
        points, seconds = self.scan.Preview()
        self.assertEqual(points, 4)
        self.assertGreater(seconds, 0)
        self.scan.Start()
        self.clock.wait(0.5)
        self.assertEqual(self.scan.state(), tango.DevState.RUNNING)
        self.clock.say("until PANEL_SCANNING == 0 within 600")
        self.assertEqual(self.scan.state(), tango.DevState.ON)
        self.assertEqual(self.scan.Progress, 100)
        eventually("the record's path", lambda: self.scan.LastRecord.startswith(self.record))
        self.assertTrue(os.path.isfile(self.scan.LastRecord))

    def test_7_another_client_holds_control(self):
        self.clock.say("control take")
        try:
            with self.assertRaises(tango.DevFailed) as refused:
                self.x.Home()
            self.assertIn("control", refused.exception.args[0].desc)
        finally:
            self.clock.say("control release")


class VarnixGoesAway(unittest.TestCase):
    def test_fault_then_reconnect(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "varnix.sock")
            session = Session(path)
            server = Server("unix:" + path)
            x = server.device("x")
            try:
                self.assertEqual(x.state(), tango.DevState.ON)
                states = Events(x, "State")
                session.kill()
                states.last(tango.DevState.FAULT)
                self.assertEqual(x.state(), tango.DevState.FAULT)
                self.assertIn("not reachable", x.status())
                with self.assertRaises(tango.DevFailed):
                    x.Position
                os.unlink(path)
                session = Session(path)
                states.last(tango.DevState.ON)
                self.assertEqual(x.state(), tango.DevState.ON)
                states.close()
            finally:
                self.assertEqual(server.end(), 0)
                session.end()


class RealTime(unittest.TestCase):
    def test_go_to_on_real_time(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "varnix.sock")
            session = Session(path, realtime=True)
            clock = Clock(path)
            clock.say("until PANEL_CONNECTED == 1 within 30")
            server = Server("unix:" + path)
            x = server.device("x")
            try:
                positions = Events(x, "Position")
                states = Events(x, "State")
                x.Position = 1.0
                states.seen(tango.DevState.MOVING)
                states.last(tango.DevState.ON)
                positions.seen(1.0)
                self.assertAlmostEqual(x.Position, 1.0)
                self.assertGreaterEqual(len([v for v in positions.values if 0 < v < 1.0]), 3, positions.values)
                positions.close()
                states.close()
            finally:
                clock.close()
                self.assertEqual(server.end(), 0)
                session.end()


if __name__ == "__main__":
    unittest.main(verbosity=2)
