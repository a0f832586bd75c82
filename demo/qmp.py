#!/usr/bin/env python3
"""Sends one QMP command to QEMU: screendump FILE (png) or quit."""
import json, socket, sys

def main(path, command, *args):
    s = socket.socket(socket.AF_UNIX)
    s.settimeout(10)
    s.connect(path)
    f = s.makefile("rw")
    f.readline()  # greeting
    def call(name, arguments=None):
        f.write(json.dumps({"execute": name, "arguments": arguments or {}}) + "\n")
        f.flush()
        while True:
            reply = json.loads(f.readline())
            if "return" in reply or "error" in reply:
                return reply
    call("qmp_capabilities")
    if command == "screendump":
        reply = call("screendump", {"filename": args[0], "format": "png"})
    else:
        reply = call(command)
    return 0 if "return" in reply else 1

if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
