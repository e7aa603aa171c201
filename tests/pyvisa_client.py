#!/usr/bin/python3
"""A client no one here wrote: PyVISA (with its pure-Python backend) drives a session
over a raw socket resource, TCPIP::HOST::PORT::SOCKET. Exits 77 when PyVISA is missing."""
import sys

try:
    import pyvisa
    import pyvisa_py  # noqa: F401 (the '@py' backend)
except ImportError as e:
    print(f"SKIP: PyVISA with its pyvisa-py backend is not installed ({e}); "
          "install python3-pyvisa and python3-pyvisa-py")
    sys.exit(77)

port = sys.argv[1]
rm = pyvisa.ResourceManager("@py")
inst = rm.open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET", read_termination="\n", write_termination="\n",
                        timeout=60000)


def statement(line):
    inst.write(line)
    lines = []
    while True:
        reply = inst.read()
        if reply == "ok":
            return lines
        if reply.startswith("error: "):
            raise RuntimeError(reply)
        lines.append(reply)


statement("control take")
statement("set PANEL_TARGET_Y 7.5")
statement("press PANEL_GOTO_Y")
statement("wait 15")
print(statement("show PANEL_POS_Y")[0])
print(inst.query("expect PANEL_POS_Y == 7.5"))
print(inst.query("bogus"))
print(statement("quit")[0])
inst.close()
rm.close()
