#!/usr/bin/env python3
"""sample_service_test.py - the service framework end to end, with the sample service.

Installs the sample service with its own "-install", starts it through vnsc,
reads its administration pipe with a client written from the wire format
(the pipe's socket framing: a byte 'C' to open, the answer 1, then messages
as u32 little-endian length + bytes; requests and replies little-endian as
in platform/pipe/ServiceAPI.h), stops it and checks its exit code, its events
and the .VNT file of its error line; runs it again failing, to check the
exit codes of failures; removes it with "-remove". Then runs it with
"-debug" on a pseudo-terminal, where the service dialog must print the
formatted trace lines and close on Enter, and checks the command-line table
(an unknown flag, no flag without a terminal). All state lives in a
temporary folder.
"""
import argparse
import glob
import os
import re
import pty
import select
import shutil
import struct
import subprocess
import sys
import time
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "platform", "pipe", "testing"))
from e2e_env import ServiceEnv, check, failures  # noqa: E402,F401  (the shared folder, tools and report)
from pipe_wire import open_pipe, recv_message, send_message  # noqa: E402

SERVICE = "VnSample"
DISPLAY = "Vantrel Sample Service"
SETTINGS_KEY = "HKLM\\Software\\Vantrel\\" + DISPLAY

READ_LINES = 0x930C4
SOURCE_NAME = 0x930C8
TRC_SAMPLE_BEGIN = 0x00010100
TRC_SAMPLE_TICK = 0x00010101
TRC_SAMPLE_ERROR = 0xC0010102
TRC_FRAMEWORK_RUNNING = 0x00010001
MSG_STARTED = 1
MSG_STOPPED = 2
MSG_SYSTEM_ERROR = 0xC0000064
MSG_SAMPLE_FAILED = 0xC0000200
ERROR_SERVICE_SPECIFIC_ERROR = 1066


class Env(ServiceEnv):
    def __init__(self, args):
        super().__init__("vn-e2e-sample-", ("trace",))
        self.args = args
        self.vnsc_program = args.vnsc
        self.vnreg_program = args.vnreg
        self.trace_dir = os.path.join(self.root, "trace")

    def query(self):
        return self.service_query(SERVICE)

    def wait_state(self, state, seconds=20):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            fields = self.query()
            if fields is not None and fields["STATE"].split()[0] == str(state):
                return fields
            time.sleep(0.1)
        return self.query()

    def events(self):
        return self.event_log(DISPLAY)


# --- the administration pipe, from the wire format ---


def open_admin_pipe(env, seconds=20):
    path = os.path.join(env.env["VANTREL_PIPE_DIR"], ("Vantrel." + SERVICE).lower())
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            sock = open_pipe(path, 20)
            if sock is not None:
                return sock
        except OSError:
            pass
        time.sleep(0.05)
    raise RuntimeError("the administration pipe did not open")


def call(sock, request_id, code, payload, capacity):
    request = struct.pack("<IIQIIIII", 176 + len(payload), 20, request_id, 0, 0, code, len(payload), capacity)
    request += payload + bytes(140)
    send_message(sock, request)
    reply = recv_message(sock)
    rid, status, data_length = struct.unpack_from("<QII", reply, 0)
    assert rid == request_id and len(reply) == 24 + data_length and reply[16 + data_length:] == bytes(8)
    return status, reply[16:16 + data_length]


def read_lines(sock, first, wait_ms=500):
    status, data = call(sock, 7, READ_LINES, struct.pack("<QQI", 0, first, wait_ms), 65536)
    assert status == 0, hex(status)
    (next_line,) = struct.unpack_from("<Q", data, 0)
    records, offset = [], 8
    while offset < len(data):
        number, stamp, message_id, cookie, arg_length = struct.unpack_from("<QQI4xQI4x", data, offset)
        records.append((number, message_id, cookie, data[offset + 40:offset + 40 + arg_length]))
        offset += 40 + arg_length
    return next_line, records


def source_name(sock, cookie):
    status, data = call(sock, 8, SOURCE_NAME, struct.pack("<Q", cookie), 24)
    return status, data[8:24].split(b"\0")[0].decode()


# A malformed request is answered with INVALID_PARAMETER (its id when the
# message holds one, no data) and its connection closed; the next client is
# served. Each case runs on a fresh connection, back to back.
INVALID_PARAMETER = 0xC000000D


def malformed_requests(env):
    good = struct.pack("<IIQIIIII", 176, 20, 0x51, 0, 0, READ_LINES, 0, 64) + bytes(140)
    cases = [
        ("empty message", b"", 0),
        ("one byte", b"\x01", 0),
        ("175 bytes", good[:175], 0x51),
        ("input length past the message", good[:28] + struct.pack("<I", 1) + good[32:], 0x51),
        ("input length 2^32-1", good[:28] + struct.pack("<I", 0xFFFFFFFF) + good[32:], 0x51),
    ]
    for round_ in range(3):
        for name, message, want_id in cases:
            sock = open_admin_pipe(env)
            try:
                send_message(sock, message)
                reply = recv_message(sock)
                length = len(reply)
                got = struct.unpack_from("<QII", reply, 0) if length >= 16 else None
                closed = sock.recv(1) == b""
                check("malformed request answered: %s" % name,
                      got == (want_id, INVALID_PARAMETER, 0) and length == 24, (got, length))
                check("malformed request closes the connection: %s" % name, closed)
            except (EOFError, OSError) as error:
                check("malformed request answered: %s" % name, False, error)
            finally:
                sock.close()
    sock = open_admin_pipe(env)
    next_line, _ = read_lines(sock, 0, 0)
    check("a client after the malformed requests is served", next_line > 0)
    sock.close()


# --- the cases ---

def service_run(env):
    result = env.run([env.args.program, "-INSTALL"])
    check("install exits 0", result.returncode == 0, result.stderr)
    fields = env.query()
    check("installed service is stopped", fields is not None and fields["STATE"].startswith("1"), fields)

    check("start", env.vnsc("start", SERVICE).returncode == 0)
    fields = env.wait_state(4)
    check("running", fields is not None and fields["STATE"].startswith("4") and fields["CONTROLS_ACCEPTED"] == "0x5",
          fields)

    sock = open_admin_pipe(env)
    seen, first, deadline = {}, 0, time.monotonic() + 20
    while TRC_SAMPLE_ERROR not in seen and time.monotonic() < deadline:
        next_line, records = read_lines(sock, first)
        for number, message_id, cookie, args in records:
            seen.setdefault(message_id, (number, cookie, args))
            first = number + 1
    check("pipe gives the running line", TRC_FRAMEWORK_RUNNING in seen)
    check("pipe gives the tick lines", TRC_SAMPLE_TICK in seen and b"tick" in seen[TRC_SAMPLE_TICK][2],
          seen.get(TRC_SAMPLE_TICK))
    check("pipe gives the error line", TRC_SAMPLE_ERROR in seen)
    if TRC_SAMPLE_TICK in seen:
        status, name = source_name(sock, seen[TRC_SAMPLE_TICK][1])
        check("source name of the tick lines", status == 0 and name == "SampleService", (hex(status), name))
    sock.close()
    malformed_requests(env)
    if env.args.vntrace:
        viewer_follow(env)

    result = env.vnsc("stop", SERVICE)
    check("stop", result.returncode == 0, result.stderr)
    fields = env.wait_state(1)
    check("stopped with exit code 0", fields is not None and fields["WIN32_EXIT_CODE"] == "0", fields)

    ids = [e["id"] for e in env.events() if e["source"] == DISPLAY]
    check("event 1 (started) then 2 (stopped)", MSG_STARTED in ids and MSG_STOPPED in ids
          and ids.index(MSG_STARTED) < ids.index(MSG_STOPPED), ids)
    started = [e for e in env.events() if e["id"] == MSG_STARTED]
    check("started event names the service", started and started[0]["strings"] == [DISPLAY], started[:1])
    vnt = glob.glob(os.path.join(env.trace_dir, "*.VNT"))
    check("a .VNT file was written for the error line", len(vnt) >= 1, os.listdir(env.trace_dir))
    if env.args.vntrace and vnt:
        viewer_read(env, vnt)


# The trace viewer formats every line with the service's own texts: no line
# is left as a bare message id.
def viewer_follow(env):
    result = env.run([env.args.vntrace, "follow", SERVICE, "--seconds", "2"])
    lines = result.stdout.splitlines()
    check("vntrace follow exits 0", result.returncode == 0, result.stderr)
    check("vntrace follow formats the tick lines", any(re.search(r" SampleService +Sample tick \d+$", l)
                                                       for l in lines), lines[:20])
    check("vntrace follow leaves no line unformatted", lines and not any("(message 0x" in l for l in lines),
          lines[:20])


def viewer_read(env, files):
    result = env.run([env.args.vntrace, "read"] + files)
    lines = result.stdout.splitlines()
    check("vntrace read exits 0", result.returncode == 0, result.stderr)
    check("vntrace read formats the error line", any("Sample error line (" in l for l in lines), lines[-20:])
    check("vntrace read leaves no line unformatted", lines and not any("(message 0x" in l for l in lines),
          lines[:20])
    result = env.run([env.args.vntrace, "read", os.path.join(env.root, "missing.VNT")])
    check("vntrace read of a missing file exits 3", result.returncode == 3, (result.returncode, result.stderr))


def failing_runs(env):
    cases = [
        # (name, "Run result", expected Win32 exit code, expected service-specific code, expected event)
        ("Win32 failure ends with its code", 5, 5, 0, MSG_SYSTEM_ERROR),
        ("message failure ends with 1066", 0xFFFFFFFF, ERROR_SERVICE_SPECIFIC_ERROR, MSG_SAMPLE_FAILED,
         MSG_SAMPLE_FAILED),
    ]
    for name, value, exit_code, specific, event_id in cases:
        env.vnreg("add", SETTINGS_KEY, "/v", "Run result", "/t", "REG_DWORD", "/d", str(value), "/f")
        before = len(env.events())
        check(name + ": start", env.vnsc("start", SERVICE).returncode == 0)
        fields = env.wait_state(1)
        check(name, fields is not None and fields["WIN32_EXIT_CODE"] == str(exit_code)
              and fields["SERVICE_EXIT_CODE"] == str(specific), fields)
        new_ids = [e["id"] for e in env.events()[before:]]
        check(name + ": error event", event_id in new_ids and MSG_STOPPED in new_ids, new_ids)
    env.vnreg("delete", SETTINGS_KEY, "/v", "Run result", "/f")


def remove(env):
    check("start before remove", env.vnsc("start", SERVICE).returncode == 0)
    env.wait_state(4)
    result = env.run([env.args.program, "/remove"], timeout=60)
    check("remove of a running service exits 0", result.returncode == 0, result.stderr)
    check("removed service is gone", env.query() is None)
    check("removed service's process ended", not os.path.exists(os.path.join(env.env["VANTREL_PIPE_DIR"],
                                                                                ("Vantrel." + SERVICE).lower())))


def debug_on_terminal(env):
    pid, fd = pty.fork()
    if pid == 0:
        os.execve(env.args.program, [env.args.program, "-Debug"], env.env)
    output = b""
    deadline = time.monotonic() + 30
    want = b"Sample error line (planned)"  # the last line Run writes
    while want not in output and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.5)
        if ready:
            try:
                output += os.read(fd, 4096)
            except OSError:
                break
    check("debug: the dialog shows the title", b"Activity Display: VnSample" in output, output[-400:])
    check("debug: the dialog prints formatted trace lines", b"Sample tick 3" in output and b"SampleService" in output,
          output[-400:])
    check("debug: the error line is formatted", want in output, output[-400:])
    os.write(fd, b"\n")
    deadline = time.monotonic() + 20
    status = None
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        try:
            if select.select([fd], [], [], 0.1)[0]:
                os.read(fd, 4096)
        except OSError:
            pass
    else:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
    os.close(fd)
    check("debug: Enter closes the dialog and the program exits 0",
          status is not None and os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status)


def command_line(env):
    result = env.run([env.args.program, "-bogus", "/other"])
    check("unknown flag: invalid-parameter dialog with the first flag",
          "Invalid Parameter" in result.stderr and "parameter 'bogus'" in result.stderr, result.stderr)
    check("unknown flag: exit status 2", result.returncode == 2, result.returncode)
    # No terminal and not started by the control manager: the dispatcher fails
    # with 1063 and the program takes the dialog path (closed by the end of input).
    result = env.run([env.args.program], timeout=30)
    check("no terminal, no control manager: the dialog path", result.returncode == 0
          and "Activity Display" in result.stdout, (result.returncode, result.stdout, result.stderr))


def main():
    parser = argparse.ArgumentParser()
    for name in ("program", "vnsc", "vnreg", "vnevent"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--vntrace")
    env = Env(parser.parse_args())
    try:
        env.vnreg("add", SETTINGS_KEY, "/v", "Log file directory", "/t", "REG_SZ", "/d", env.trace_dir, "/f")
        service_run(env)
        failing_runs(env)
        remove(env)
        debug_on_terminal(env)
        command_line(env)
        # What the service runs wrote to its output (sanitizer builds report there).
        path = os.path.join(env.env["VANTREL_LOG_DIR"], SERVICE + ".log")
        text = open(path, errors="replace").read() if os.path.exists(path) else ""
        check("the service's output holds no sanitizer report",
              not any(w in text for w in ("Sanitizer", "runtime error:")), text[-2000:])
    finally:
        subprocess.run([env.args.vnsc, "stop", SERVICE], env=env.env, capture_output=True)
        if failures:
            print("state kept in", env.root)
        else:
            shutil.rmtree(env.root, ignore_errors=True)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
