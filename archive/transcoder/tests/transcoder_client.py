#!/usr/bin/env python3
"""transcoder_client.py - a client of the transcoder pipe protocol, for tests.

Written from the pipe layer's socket wire format (platform/pipe/README.md):
"\\\\.\\pipe\\NAME" is the socket file NAME (lower-cased) in VANTREL_PIPE_DIR; a
client sends b"C" to open (answer 1 admitted, 0 busy) or b"W" to wait for a
free instance (answer: u32 time-out, then 1 once one is free); after
admission every message is a u32 little-endian length and its bytes.

The request is one message, the JSON text in UTF-8 followed by one NUL byte;
the replies are {"log": {"line", "level"}} messages and one
{"result": {"message", "error"}}.

As a program: transcoder_client.py NAME LOGLEVEL SOURCE OUTPUT [OPTION...]
prints every reply as one line of JSON and exits 0 (result received), 2 (no
such pipe), 3 (busy) or 4 (the server went away before the result).
"""
import json
import os
import socket
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "platform", "pipe", "testing"))
from pipe_wire import recv_exact, recv_message, send_message  # noqa: E402

PIPE_PREFIX = "Vantrel.Transcode."


class Busy(Exception):
    pass


class NoPipe(Exception):
    pass


def socket_path(name, pipe_dir=None):
    folder = pipe_dir or os.environ.get("VANTREL_PIPE_DIR", "/run/vantrel")
    return os.path.join(folder, (PIPE_PREFIX + name).lower())


class Client:
    def __init__(self, name, timeout=120, pipe_dir=None, wait=True):
        """Opens the pipe; while every instance is busy, waits for one and
        tries again as the provider does (unless wait is False: Busy)."""
        while True:
            try:
                self._open(name, timeout, pipe_dir)
                return
            except Busy:
                if not wait or not wait_for_instance(name, timeout, pipe_dir):
                    raise

    def _open(self, name, timeout, pipe_dir):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        try:
            self.sock.connect(socket_path(name, pipe_dir))
        except (FileNotFoundError, ConnectionRefusedError):
            self.sock.close()
            raise NoPipe(name)
        self.sock.sendall(b"C")
        if recv_exact(self.sock, 1) != b"\x01":
            self.sock.close()
            raise Busy(name)

    def send_raw(self, payload):
        send_message(self.sock, payload)

    def send_request(self, loglevel, transcode):
        text = json.dumps({"loglevel": loglevel, "transcode": transcode}, ensure_ascii=False)
        self.send_raw(text.encode("utf-8") + b"\0")

    def recv_message(self):
        return recv_message(self.sock)

    def replies(self):
        """Yields every reply, parsed, up to and including the result."""
        while True:
            reply = json.loads(self.recv_message().decode("utf-8"))
            yield reply
            if "result" in reply:
                return

    def close(self):
        self.sock.close()


def wait_for_instance(name, timeout=120, pipe_dir=None):
    """Waits as WaitNamedPipe does: True once an instance is free."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    try:
        sock.connect(socket_path(name, pipe_dir))
        sock.sendall(b"W")
        recv_exact(sock, 4)
        return recv_exact(sock, 1) == b"\x01"
    finally:
        sock.close()


def transcode(name, loglevel, transcode_args, timeout=120, pipe_dir=None):
    """(log replies, result) of one job."""
    client = Client(name, timeout, pipe_dir)
    try:
        client.send_request(loglevel, transcode_args)
        logs = []
        for reply in client.replies():
            if "log" in reply:
                logs.append(reply["log"])
            else:
                return logs, reply["result"]
    finally:
        client.close()


def peak_of(records, transcoder=None):
    """The most jobs of one transcoder (or of all) that ran at once, among
    journal end records of jobs that ran ffmpeg."""
    events = []
    for record in records:
        if record["event"] != "end" or record["pid"] == 0:
            continue
        if transcoder is not None and record["transcoder"] != transcoder:
            continue
        events += [(record["start"], 1), (record["end"], -1)]
    peak = running = 0
    # An end at the same millisecond as a start is counted first.
    for _, step in sorted(events, key=lambda e: (e[0], e[1])):
        running += step
        peak = max(peak, running)
    return peak


def peak_concurrency(journal_path, transcoder=None):
    """peak_of the journal file's records."""
    with open(journal_path) as f:
        return peak_of([json.loads(line) for line in f], transcoder)


def process_group_alive(pgid):
    """Whether any live (not zombie) process is in the process group, such as an ffmpeg the stand-in ran."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == pgid and fields[0] != "Z":
            return True
    return False


def main(argv):
    if len(argv) < 5:
        print(__doc__, file=sys.stderr)
        return 1
    try:
        client = Client(argv[1])
    except NoPipe:
        return 2
    except Busy:
        return 3
    try:
        client.send_request(int(argv[2]), argv[3:])
        for reply in client.replies():
            print(json.dumps(reply, ensure_ascii=False), flush=True)
    except (EOFError, ConnectionResetError, BrokenPipeError):
        return 4
    finally:
        client.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
