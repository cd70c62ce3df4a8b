#!/usr/bin/env python3
"""admin_client.py - a hostile client of a service's administration pipe, for tests.

Written from the wire format alone: the pipe's socket framing (a byte 'C' to
open, the answer 1 or 0, then messages as u32 little-endian length + bytes)
and the administration requests and replies (little-endian):
  request: u32 total, u32 20, u64 request id, u32 argument, u32 0,
           u32 control code, u32 input length, u32 output capacity,
           input, 140 zero bytes
  reply:   u64 request id, u32 status, u32 data length, data, 8 zero bytes

Usage: admin_client.py [--as-nobody] MODE SOCKET_PATH [ARG]
  badinput  send a table of malformed and hostile requests on one connection,
            each followed by a well-formed request that must get its right
            answer; then connections that misbehave at the framing level,
            each followed by a fresh connection that must be served
  full N    hold N connections (the most the server has), check that one more
            is turned away, close one and check that a new client is served
  silent PATH N S  open N connections that never send their open byte, print
            "held", keep them S seconds
  bigfirst PATH N S  open N connections whose first message is 1.5 MiB, print
            "held", keep them silent S seconds
  pingafter PATH S  print "held", wait S seconds, then ping
  userlimit N  hold N connections each served once; one more must be closed
            unserved when the client is not an administrator (--as-nobody) and
            served when it is; after one closes a new one must be served
  ping      one well-formed request on a fresh connection must be answered
            (retried for up to 60 s while the server is crowded)
--as-nobody drops to uid/gid 65534 first (needs root), so the client is not an
administrator. Prints one line per case ("ok NAME" or "FAIL NAME: why");
exit code 0 when every case passed.
"""
import os
import random
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "platform", "pipe", "testing"))
import pipe_wire  # noqa: E402
from pipe_wire import frame, recv_exact, recv_message, send_message  # noqa: E402,F401  (recv_exact is used by importers too)

READ_LINES = 0x930C4
SOURCE_NAME = 0x930C8
ADMIN_BIT = 0x4000
OK = 0
ACCESS_DENIED = 0xC0000022
INVALID_PARAMETER = 0xC000000D
NOT_FOUND = 0xC0000225
MAX_OUTPUT = 1 << 20

failures = []


def report(name, problem):
    if problem:
        failures.append(name)
        print("FAIL %s: %s" % (name, problem), flush=True)
    else:
        print("ok %s" % name, flush=True)


def open_pipe(path, timeout=10.0):
    return pipe_wire.open_pipe(path, timeout)


def open_pipe_retry(path, seconds=10.0):
    """Opens the pipe, trying again while every instance is taken (the server
    makes the next instance just after it hands one to a client)."""
    deadline = time.monotonic() + seconds
    while True:
        sock = open_pipe(path)
        if sock is not None or time.monotonic() >= deadline:
            return sock
        time.sleep(0.01)


def recv_reply(sock):
    body = recv_message(sock)
    length = len(body)
    if length < 24:
        raise ValueError("reply of %d bytes" % length)
    request_id, status, data_length = struct.unpack_from("<QII", body, 0)
    if data_length + 24 != length:
        raise ValueError("data length %d in a reply of %d bytes" % (data_length, length))
    if body[16 + data_length:] != b"\0" * 8:
        raise ValueError("trailing bytes are not zero")
    return request_id, status, body[16:16 + data_length]


def request(request_id, code, payload=b"", capacity=64, argument=0, total=None, input_length=None):
    if input_length is None:
        input_length = len(payload)
    if total is None:
        total = (176 + len(payload)) & 0xFFFFFFFF
    header = struct.pack("<IIQIIIII", total, 20, request_id, argument, 0, code, input_length & 0xFFFFFFFF,
                         capacity & 0xFFFFFFFF)
    return header + payload + b"\0" * 140


def read_lines_input(first, wait_ms):
    return struct.pack("<QQI", 0, first & 0xFFFFFFFFFFFFFFFF, wait_ms)


def good_request(request_id):
    return request(request_id, READ_LINES, read_lines_input(0, 0), 64)


def check_good(reply, request_id):
    got_id, status, data = reply
    if got_id != request_id:
        return "the reply answers request %#x, not the well-formed one %#x" % (got_id, request_id)
    if status != OK or not 8 <= len(data) <= 64:
        return "well-formed request got status %#x with %d bytes" % (status, len(data))
    return None


# A malformed request is answered with INVALID_PARAMETER (no data) and its connection closed.
MALFORMED = "malformed"


def message_cases(administrator):
    """(name, message bytes, expected): expected is (status, data length or None), None for no
    reply, or MALFORMED."""
    rng = random.Random(20261210)
    gate = (INVALID_PARAMETER, 64) if administrator else (ACCESS_DENIED, 0)
    cases = [
        ("empty message", b"", MALFORMED),
        ("one byte", b"\x01", MALFORMED),
        ("175 bytes", request(0, READ_LINES)[:175], MALFORMED),
        ("176 bytes declaring 1 input byte", request(0, READ_LINES, b"", input_length=1), MALFORMED),
        ("177 bytes declaring none", request(0, READ_LINES) + b"\0", MALFORMED),
        ("input length 2^32-1", request(0, READ_LINES, b"", input_length=0xFFFFFFFF), MALFORMED),
        ("input length that wraps 176 to 0", request(0, READ_LINES, b"", input_length=0xFFFFFF50), MALFORMED),
        ("input length that wraps to the length",
         request(0, READ_LINES, b"\0" * 24, input_length=(24 - 176) & 0xFFFFFFFF), MALFORMED),
        # More room than a reply may carry is taken as the bound.
        ("read lines, capacity 2^32-1", request(1, READ_LINES, read_lines_input(0, 0), 0xFFFFFFFF), (OK, None)),
        ("read lines, capacity just past the bound",
         request(1, READ_LINES, read_lines_input(0, 0), MAX_OUTPUT + 1), (OK, None)),
        ("read lines, capacity 0", request(1, READ_LINES, read_lines_input(0, 0), 0), (INVALID_PARAMETER, 0)),
        ("read lines, capacity 7", request(1, READ_LINES, read_lines_input(0, 0), 7), (INVALID_PARAMETER, 0)),
        ("read lines, capacity 8", request(1, READ_LINES, read_lines_input(0, 0), 8), (OK, 8)),
        ("read lines from line 2^64-1, no wait", request(1, READ_LINES, read_lines_input(-1, 0), 4096), (OK, 8)),
        ("read lines with no payload", request(1, READ_LINES, b"", 4096), (OK, None)),
        ("read lines, total length field garbage",
         request(1, READ_LINES, read_lines_input(0, 0), 64, total=0xFFFFFFFF), (OK, None)),
        ("source name, capacity 2^32-1", request(1, SOURCE_NAME, struct.pack("<Q", 1), 0xFFFFFFFF),
         (INVALID_PARAMETER, 0)),
        ("source name, capacity 23", request(1, SOURCE_NAME, struct.pack("<Q", 1), 23), (INVALID_PARAMETER, 0)),
        ("source name of a forged cookie", request(1, SOURCE_NAME, struct.pack("<Q", 0x4141414141414141), 64),
         (NOT_FOUND, 0)),
        ("source name of cookie 0", request(1, SOURCE_NAME, b"", 64), (NOT_FOUND, 0)),
        ("unknown code echoes its payload area", request(1, 0xDEADBEEF & ~ADMIN_BIT, b"\x55" * 4, 16),
         (INVALID_PARAMETER, 16)),
        ("unknown code, capacity 2^31-1", request(1, 0x12345, b"", 0x7FFFFFFF), (INVALID_PARAMETER, 0)),
        ("administrators-only code", request(1, READ_LINES | ADMIN_BIT, read_lines_input(0, 0), 64), gate),
        ("largest message served", request(1, 0x12345, b"\x33" * MAX_OUTPUT, 8), (INVALID_PARAMETER, 8)),
        ("message beyond the bound", request(1, 0x12345, b"\x33" * (2 * MAX_OUTPUT), 8), None),
    ]
    for i in range(8):
        junk = bytearray(rng.randrange(0, 256) for _ in range(rng.randrange(0, 700)))
        if len(junk) >= 32:
            # Never let chance make the declared input length match.
            struct.pack_into("<I", junk, 28, (len(junk) - 175) & 0xFFFFFFFF)
        cases.append(("random bytes %d (%d bytes)" % (i, len(junk)), bytes(junk), MALFORMED))
    return cases


def reopen_after(sock, path, name, problem):
    """A fresh connection in place of one the server closed; None, with the
    case and the refusal reported, when it admits no client any more."""
    sock.close()
    sock = open_pipe_retry(path)
    if sock is None:
        report(name, problem)
        report("reopen", "the server no longer admits clients")
    return sock


def run_message_cases(path, administrator):
    sock = open_pipe_retry(path)
    if sock is None:
        report("open", "the server turned the client away")
        return
    request_id = 0x100
    for name, message, expected in message_cases(administrator):
        request_id += 2
        if len(message) >= 16:
            message = message[:8] + struct.pack("<Q", request_id) + message[16:]
        good_id = request_id + 1
        if expected == MALFORMED:
            problem = None
            try:
                send_message(sock, message)
                got_id, status, data = recv_reply(sock)
                want_id = request_id if len(message) >= 16 else 0
                if (got_id, status, data) != (want_id, INVALID_PARAMETER, b""):
                    problem = "reply %#x %#x %r, expected %#x %#x and no data" % (got_id, status, data, want_id,
                                                                                 INVALID_PARAMETER)
                elif sock.recv(1) != b"":
                    problem = "the connection stayed open"
            except (EOFError, OSError, ValueError) as error:
                problem = "no error reply: %s" % error
            sock = reopen_after(sock, path, name, problem)
            if sock is None:
                return
            report(name, problem)
            continue
        try:
            send_message(sock, message)
            send_message(sock, good_request(good_id))
            problem = None
            if expected is not None:
                got_id, status, data = recv_reply(sock)
                want_status, want_length = expected
                if got_id != request_id:
                    problem = "no reply to it (got one for %#x)" % got_id
                elif status != want_status:
                    problem = "status %#x, expected %#x" % (status, want_status)
                elif want_length is not None and len(data) != want_length:
                    problem = "%d data bytes, expected %d" % (len(data), want_length)
                elif name.startswith("unknown code echoes") and data != b"\x55" * 4 + b"\0" * 12:
                    problem = "echoed payload area %r" % data
            problem = problem or check_good(recv_reply(sock), good_id)
        except (EOFError, OSError, ValueError) as error:
            problem = "connection lost: %s" % error
            sock = reopen_after(sock, path, name, problem)
            if sock is None:
                return
        report(name, problem)
    sock.close()


def run_framing_cases(path):
    def connect_close(sock_path):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.connect(sock_path)
        sock.close()

    def open_close(sock_path):
        open_pipe_retry(sock_path).close()

    def huge_header(sock_path):
        sock = open_pipe_retry(sock_path)
        sock.sendall(struct.pack("<I", 0xFFFFFFFF) + b"\0" * 100)
        sock.close()

    def half_message(sock_path):
        sock = open_pipe_retry(sock_path)
        message = good_request(7)
        sock.sendall(struct.pack("<I", len(message)) + message[:50])
        sock.close()

    def leave_while_waiting(sock_path):
        sock = open_pipe_retry(sock_path)
        send_message(sock, request(9, READ_LINES, read_lines_input(-1, 0xFFFFFFFF), 4096))
        sock.close()

    def leave_without_reading(sock_path):
        sock = open_pipe_retry(sock_path)
        for i in range(64):
            send_message(sock, request(10 + i, 0x12345, b"", MAX_OUTPUT))
        sock.close()

    cases = [
        ("connect and close before opening", connect_close),
        ("open and close at once, 20 times", lambda p: [open_close(p) for _ in range(20)]),
        ("frame header of 2^32-1 bytes, then close", huge_header),
        ("half a message, then close", half_message),
        ("close while a read waits without limit", leave_while_waiting),
        ("many large replies never read", leave_without_reading),
    ]
    for name, action in cases:
        problem = None
        try:
            action(path)
            sock = open_pipe_retry(path)
            if sock is None:
                problem = "the next client was turned away"
            else:
                send_message(sock, good_request(0x55))
                problem = check_good(recv_reply(sock), 0x55)
                sock.close()
        except (EOFError, OSError, ValueError) as error:
            problem = "next client not served: %s" % error
        report(name, problem)


def run_full(path, count):
    held = []
    try:
        for _ in range(count):
            sock = open_pipe_retry(path)
            if sock is None:
                report("hold %d connections" % count, "turned away after %d" % len(held))
                return
            held.append(sock)
        report("hold %d connections" % count, None)
        admitted = 0
        for _ in range(5):
            extra = open_pipe(path)
            if extra is not None:
                admitted += 1
                extra.close()
            time.sleep(0.1)
        report("one more is turned away", "admitted %d times" % admitted if admitted else None)
        held.pop().close()
        served = open_pipe_retry(path)
        if served is None:
            report("a freed instance serves a new client", "no instance became free")
            return
        send_message(served, good_request(0x77))
        report("a freed instance serves a new client", check_good(recv_reply(served), 0x77))
        served.close()
    finally:
        for sock in held:
            sock.close()


def run_silent(path, count, seconds, first_message=None):
    held = []
    for _ in range(count):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        if first_message is None:
            # A full queue of the server's socket refuses rather than waits.
            sock.setblocking(False)
            try:
                sock.connect(path)
            except BlockingIOError:
                sock.close()
                continue
            held.append(sock)
            continue
        sock.connect(path)
        if first_message is not None:
            sock.sendall(b"C")
            if sock.recv(1) == b"\x01":
                sock.sendall(frame(first_message))
        held.append(sock)
    print("held", flush=True)
    time.sleep(seconds)
    for sock in held:
        sock.close()


def run_ping(path):
    deadline = time.monotonic() + 60
    problem = "never answered"
    while time.monotonic() < deadline:
        try:
            sock = open_pipe(path, timeout=5.0)
            if sock is None:
                time.sleep(0.1)
                continue
            send_message(sock, good_request(0x42))
            problem = check_good(recv_reply(sock), 0x42)
            sock.close()
            break
        except (OSError, EOFError) as error:
            problem = str(error)
            time.sleep(0.1)
    report("a well-formed request is answered", problem)


def served(sock, request_id):
    """Whether a well-formed request on the connection gets its answer."""
    try:
        send_message(sock, good_request(request_id))
        return check_good(recv_reply(sock), request_id) is None
    except (OSError, EOFError, ValueError):
        return False


def run_user_limit(path, limit, limited):
    """Holds connections that were each served once: a limited client gets exactly `limit`,
    one more is closed unserved; once one is closed a new one is served again. An unlimited
    client gets more than `limit`."""
    held = []
    for i in range(limit):
        sock = open_pipe_retry(path)
        if sock is None or not served(sock, 100 + i):
            report("connection %d of %d is served" % (i + 1, limit), "not served")
            return
        held.append(sock)
    report("%d connections are served" % limit, None)
    extra = open_pipe_retry(path)
    extra_served = extra is not None and served(extra, 200)
    if limited:
        report("one more connection is closed unserved", "it was served" if extra_served else None)
    else:
        report("one more connection is served", None if extra_served else "it was not")
    if extra is not None:
        extra.close()
    held.pop().close()
    # The closed connection's share comes back once its thread has ended.
    problem, deadline = "never served", time.monotonic() + 30
    while time.monotonic() < deadline:
        sock = open_pipe_retry(path)
        if sock is not None and served(sock, 300):
            problem = None
            held.append(sock)
            break
        if sock is not None:
            sock.close()
        time.sleep(0.05)
    report("after one is closed a new connection is served", problem)
    for sock in held:
        sock.close()


def main(argv):
    args = argv[1:]
    administrator = True
    if args and args[0] == "--as-nobody":
        args = args[1:]
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
        administrator = False
    mode, path = args[0], args[1]
    if mode == "badinput":
        run_message_cases(path, administrator)
        run_framing_cases(path)
    elif mode == "full":
        run_full(path, int(args[2]))
    elif mode == "silent":
        run_silent(path, int(args[2]), float(args[3]))
    elif mode == "bigfirst":
        run_silent(path, int(args[2]), float(args[3]), first_message=bytes(3 << 19))
    elif mode == "userlimit":
        run_user_limit(path, int(args[2]), not administrator)
    elif mode == "ping":
        run_ping(path)
    elif mode == "pingafter":
        print("held", flush=True)
        time.sleep(float(args[2]))
        run_ping(path)
    else:
        print("unknown mode " + mode, file=sys.stderr)
        return 2
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
