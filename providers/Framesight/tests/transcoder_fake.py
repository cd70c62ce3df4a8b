#!/usr/bin/env python3
"""transcoder_fake.py - a scripted transcoder pipe server speaking the pipe's socket format.

Usage: transcoder_fake.py SOCKET_PATH SCRIPT_FILE RECORD_FILE

Listens on SOCKET_PATH, prints "ready" once it does, and runs the script's
steps in order, one line each:
  busy          take the next connection: an open request answered "busy"
  wait-free     take the next connection: a wait request answered "free"
  wait-gone     take the next connection: a wait request, then close the name and exit
  wait-out      take the next connection: a wait request never answered (the client's wait runs out)
  admit         take the next connection: an open request answered "admitted"
  request       read one message from the admitted client and record it
  send HEX      send one message holding the bytes HEX
  stall FILE    send nothing until FILE exists (at most 60 s)
  close         hang up on the client
When the steps are done it records every further message until the client
hangs up, then exits. The record file gets one line per event:
  open C|W              the first byte of a connection
  request HEX           the request's bytes
  keys K1,K2            the request's JSON keys in order (without its last byte)
  loglevel N            its "loglevel"
  arg HEX               each element of "transcode", UTF-8
  extra HEX             a message after the steps
  stall-timeout         FILE never appeared
"""
import json
import os
import signal
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "platform", "pipe", "testing"))
from pipe_wire import recv_message, send_message  # noqa: E402

WAIT_TIMEOUT_MS = 50  # the default time-out a wait request is told


def record_request(record, payload):
    record("request " + payload.hex())
    try:
        pairs = json.loads(payload[:-1].decode("utf-8"), object_pairs_hook=lambda p: p)
    except ValueError:
        return
    record("keys " + ",".join(k for k, _ in pairs))
    fields = dict(pairs)
    record("loglevel %s" % json.dumps(fields.get("loglevel")))
    for arg in fields.get("transcode") or []:
        record("arg " + str(arg).encode("utf-8").hex())


def main(argv):
    signal.alarm(120)  # never outlive a test that went wrong
    path, script, record_path = argv[1], argv[2], argv[3]
    steps = [line.rstrip("\n").split(" ", 1) for line in open(script) if line.strip()]
    out = open(record_path, "w")

    def record(text):
        out.write(text + "\n")
        out.flush()

    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    if os.path.exists(path):
        os.unlink(path)
    listener.bind(path)
    listener.listen(8)
    print("ready", flush=True)

    def take():
        conn, _ = listener.accept()
        record("open " + conn.recv(1).decode("ascii", "replace"))
        return conn

    client = None
    for step in steps:
        kind, arg = step[0], step[1] if len(step) > 1 else ""
        if kind == "busy":
            conn = take()
            conn.sendall(b"\x00")
            conn.close()
        elif kind in ("wait-free", "wait-gone", "wait-out"):
            conn = take()
            conn.sendall(struct.pack("<I", WAIT_TIMEOUT_MS))
            if kind == "wait-out":
                conn.recv(1)  # until the client gives up and closes
                conn.close()
                continue
            if kind == "wait-gone":
                listener.close()
                os.unlink(path)
                conn.close()
                return 0
            conn.sendall(b"\x01")
            conn.close()
        elif kind == "admit":
            client = take()
            client.sendall(b"\x01")
        elif kind == "request":
            record_request(record, recv_message(client))
        elif kind == "send":
            try:
                send_message(client, bytes.fromhex(arg))
            except OSError:
                break  # the client gave up on the job: the rest is not read
        elif kind == "stall":
            deadline = time.monotonic() + 60
            while not os.path.exists(arg) and time.monotonic() < deadline:
                time.sleep(0.01)
            if not os.path.exists(arg):
                record("stall-timeout")
        elif kind == "close":
            client.close()
            client = None
    if client is not None:
        try:
            while True:
                record("extra " + recv_message(client).hex())
        except (EOFError, OSError):
            pass
        client.close()
    listener.close()
    os.unlink(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
