#!/usr/bin/python3
"""A measurement script driving Varnix over its control socket, with Python's standard
library only. Start a server first, for instance

    varnix-session --listen tcp:127.0.0.1:5025

then run  examples/remote_client.py tcp:127.0.0.1:5025  (or unix:PATH). It takes
control, homes X, goes to two positions and reads where X stands, then quits the
program. See docs/control-protocol.md.
"""
import socket
import sys


class Varnix:
    """One connection: statement() sends a line and returns its '@ ' lines, or raises
    on 'error: WHY'. Events (watch, log) that come before a reply are kept in events."""

    def __init__(self, address):
        if address.startswith("unix:"):
            self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.sock.connect(address[5:])
        elif address.startswith("tcp:"):
            host, _, port = address[4:].rpartition(":")
            self.sock = socket.create_connection((host or "127.0.0.1", int(port)))
        else:
            raise ValueError("an address is unix:PATH or tcp:[HOST:]PORT")
        self.file = self.sock.makefile("rw", encoding="utf-8", newline="\n")
        self.events = []

    def statement(self, line):
        self.file.write(line + "\n")
        self.file.flush()
        lines = []
        while True:
            reply = self.file.readline()
            if not reply:
                raise ConnectionError("the server closed the connection")
            reply = reply.rstrip("\n")
            if reply == "ok":
                return lines
            if reply.startswith("error: "):
                raise RuntimeError(f"{line}: {reply[7:]}")
            lines.append(reply[2:])

    def value(self, control):
        # "@ PANEL_POS_X = 12.5"
        return float(self.statement("show " + control)[0].split(" = ")[1])


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: remote_client.py ADDRESS")
    v = Varnix(sys.argv[1])
    v.statement("control take")
    v.statement("press PANEL_HOME_X")
    v.statement("wait 30")
    for target in (12.5, 3.25):
        v.statement(f"set PANEL_TARGET_X {target}")
        v.statement("press PANEL_GOTO_X")
        v.statement("wait 15")
        print(f"X at {v.value('PANEL_POS_X')} mm")
    try:
        v.statement("set PANEL_TARGET_X 1000")
    except RuntimeError as e:
        print(f"refused: {e}")
    for line in v.statement("live"):
        print(line)
    print(v.statement("quit")[0])


if __name__ == "__main__":
    main()
