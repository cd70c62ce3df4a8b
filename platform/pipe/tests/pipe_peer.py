#!/usr/bin/env python3
"""pipe_peer.py - a pipe client speaking the socket wire format, for tests.

Usage: pipe_peer.py SOCKET_PATH STEP...
Steps, run in order:
  send:TEXT   write one message holding TEXT (UTF-8)
  sendn:N     write one message of N bytes (byte i is i % 251)
  recv        read one message, print "recv TEXT"
  recvn       read one message, print "recvn LENGTH SUM" (SUM: bytes summed mod 2**32)
  sendu32:N   write one message holding N as a u32 little-endian
  recvu32     read one message, print "recvu32 V" with V its first u32 little-endian
  sleep:S     stay connected and silent for S seconds
Exit codes: 0 done, 2 no such pipe, 3 busy, 4 the server went away.
"""
import os
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testing"))
from pipe_wire import open_pipe, recv_message, send_message  # noqa: E402


def main(argv):
    try:
        sock = open_pipe(argv[1])
    except (FileNotFoundError, ConnectionRefusedError):
        return 2
    if sock is None:
        return 3
    try:
        for step in argv[2:]:
            if step.startswith("send:"):
                send_message(sock, step[5:].encode("utf-8"))
            elif step.startswith("sendn:"):
                n = int(step[6:])
                send_message(sock, bytes(i % 251 for i in range(n)))
            elif step == "recv":
                print("recv " + recv_message(sock).decode("utf-8"), flush=True)
            elif step == "recvn":
                data = recv_message(sock)
                print("recvn %d %d" % (len(data), sum(data) % 2**32), flush=True)
            elif step.startswith("sendu32:"):
                send_message(sock, struct.pack("<I", int(step[8:], 0)))
            elif step == "recvu32":
                print("recvu32 %d" % struct.unpack_from("<I", recv_message(sock))[0], flush=True)
            elif step.startswith("sleep:"):
                time.sleep(float(step[6:]))
            else:
                print("unknown step " + step, file=sys.stderr)
                return 1
    except (EOFError, BrokenPipeError, ConnectionResetError):
        return 4
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
