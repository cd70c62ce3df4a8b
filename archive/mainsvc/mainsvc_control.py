#!/usr/bin/env python3
"""mainsvc_control.py - a client of the main service stand-in's control pipe.

The stand-in serves "vantrel.vnservice.control" in the pipe folder in the
pipe layer's socket format: a client sends "C", is admitted with 0x01, then
sends one length-prefixed command (u32 little-endian length, the text) and
reads one length-prefixed reply. It serves one client at a time, so a client
that is not admitted tries again.

As a module: control(pipe_dir, command, seconds) gives the reply, or "" when
nobody answered in time. As a program: mainsvc_control.py COMMAND prints the
reply of the stand-in in $VANTREL_PIPE_DIR (exit 1 when there is none).
"""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "platform", "pipe", "testing"))
from pipe_wire import open_pipe, recv_message, send_message  # noqa: E402

PIPE_NAME = "vantrel.vnservice.control"


def control(pipe_dir, command, seconds=10):
    path = os.path.join(pipe_dir, PIPE_NAME)
    deadline = time.monotonic() + seconds
    while True:
        sock = None
        try:
            sock = open_pipe(path, 30)
            if sock is not None:
                send_message(sock, command.encode())
                return recv_message(sock).decode(errors="replace")
        except (OSError, EOFError):
            pass
        finally:
            if sock is not None:
                sock.close()
        if time.monotonic() >= deadline:
            return ""
        time.sleep(0.05)


def main(argv):
    if len(argv) != 2:
        sys.exit("usage: mainsvc_control.py COMMAND")
    reply = control(os.environ.get("VANTREL_PIPE_DIR", "/tmp"), argv[1], 30)
    if not reply:
        sys.exit("no answer from the main service's control pipe")
    print(reply)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
