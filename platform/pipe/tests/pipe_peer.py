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
import socket
import struct
import sys
import time


def recv_exact(sock, size):
    data = bytearray()
    while len(data) < size:
        chunk = sock.recv(size - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return bytes(data)


def send_message(sock, payload):
    sock.sendall(struct.pack("<I", len(payload)) + payload)


def recv_message(sock):
    (length,) = struct.unpack("<I", recv_exact(sock, 4))
    return recv_exact(sock, length)


def main(argv):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        sock.connect(argv[1])
    except (FileNotFoundError, ConnectionRefusedError):
        return 2
    sock.sendall(b"C")  # open request; the server answers 1 (admitted) or 0 (busy)
    answer = sock.recv(1)
    if answer != b"\x01":
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
