#!/usr/bin/env python3
"""taskweave_test.py - the extension service end to end.

Taskweave is installed with its own "-install" and started and stopped
through vnsc, on a registry, pipe folder and archive volume of its own. The
archive's stand-ins are real peers: the system object (registered with
vnregsvr, its pins kept in the fragment list), the pin tool vnpin, and the
main service vnarchive-mainsvc driven over its control pipe. Providers are
the stub COM server, one CLSID per extension, each reading its behaviour
from its extension key and appending every call to a call log
("<Unix ms> <CLSID> <call>"). Releases are counted in the archive's pin log
(pins.log: time, process, thread, pin|release, key string, pin name, value,
result). Trace lines are read over "\\\\.\\pipe\\Vantrel.Taskweave" with the
administration client of LibService/tests.

Waits are bounded and generous; where order matters (a notification starts
a pass, no operation after the stop) the test compares the peers' own
records or checks that nothing happened before the cause, never how fast.
"""
import argparse
import datetime
import importlib.util
import os
import shutil
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from e2e_env import ServiceEnv, check, failures, pin_releases, wait_for  # noqa: E402,F401  (the shared folder, tools and report)

SERVICE = "Taskweave"
DISPLAY = "Vantrel Archive Extensions"
PRODUCT_KEY = "HKLM\\Software\\Vantrel\\Corvellane"
EXTENSIONS_KEY = PRODUCT_KEY + "\\Extensions"
ARCHIVE_KEY = PRODUCT_KEY + "\\Archive"
FAIL_KEY = ARCHIVE_KEY + "\\Fail"
SETTINGS_KEY = "HKLM\\Software\\Vantrel\\" + DISPLAY
DRIVE_MAP_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\DOS Devices"

READ_LINES = 0x930C4
SOURCE_NAME = 0x930C8
TRC_HAND_OVER_FILE = 0x000100CB      # mode 3 hand-over: operation, key string, ids
TRC_NOTHING_TO_DO = 0x000100CC       # the worker released the pin itself
TRC_PROVIDER_INFO = 0x4001012C       # a provider's log line, severity 1
ERROR_NOT_READY = 21

# One CLSID per extension; the stub server answers for each.
CLSIDS = {
    "A": "{5C1D0A01-7E57-4A11-9A00-00000000000A}",
    "B": "{5C1D0A02-7E57-4A11-9A00-00000000000B}",
    "C": "{5C1D0A03-7E57-4A11-9A00-00000000000C}",
}


def load_module(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def load_admin_client(path):
    return load_module("admin_client", path)


MAINSVC_CONTROL = load_module("mainsvc_control", os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                               "../../../archive/mainsvc/mainsvc_control.py"))


class Env(ServiceEnv):
    def __init__(self, args):
        super().__init__("vn-e2e-taskweave-", ("archive", "trace", "volume/media"))
        self.args = args
        self.vnsc_program = args.vnsc
        self.vnreg_program = args.vnreg
        self.env["VANTREL_ARCHIVE_EVENTS"] = os.path.join(self.root, "archive")
        self.volume = os.path.join(self.root, "volume")
        self.trace_dir = os.path.join(self.root, "trace")
        self.call_log = os.path.join(self.root, "calls.log")
        self.pin_log = os.path.join(self.root, "archive", "pins.log")
        self.mainsvc = None
        self.admin = load_admin_client(args.admin_client)

    def run(self, argv, timeout=120, **kwargs):
        return super().run(argv, timeout, **kwargs)

    def vnpin(self, *words):
        return self.run([self.args.vnpin] + list(words))

    def query(self):
        return self.service_query(SERVICE)

    def state(self):
        return self.service_state(SERVICE)

    def wait_state(self, state, seconds=60):
        wait_for(lambda: self.state() == state, seconds)
        return self.query()

    def events(self):
        return self.event_log(DISPLAY)

    # --- the archive ---

    def set_up_archive(self):
        result = self.run([self.args.vnregsvr, "/s", self.args.archive])
        if result.returncode != 0:
            raise RuntimeError("vnregsvr: " + result.stderr)
        self.vnreg("add", DRIVE_MAP_KEY, "/v", "D:", "/d", self.volume, "/f")
        self.vnreg("add", PRODUCT_KEY + "\\Volumes", "/v", "0", "/d", "D", "/f")
        self.vnreg("add", ARCHIVE_KEY, "/v", "Pin Store", "/d", "Fragment List", "/f")
        self.vnreg("add", ARCHIVE_KEY, "/v", "Fragment List", "/d", os.path.join(self.root, "fragments.vnl"), "/f")

    def make_files(self, prefix, count):
        paths = []
        for i in range(count):
            name = "%s%03d.dat" % (prefix, i)
            with open(os.path.join(self.volume, "media", name), "w") as f:
                f.write("content of %s\n" % name)
            paths.append("D:\\media\\" + name)
        return paths

    def pin(self, path, letter, value, operation):
        result = self.vnpin("pin-file", path, CLSIDS[letter], str(value), operation)
        if result.returncode != 0:
            raise RuntimeError("vnpin pin-file %s: %s" % (path, result.stderr))
        return "Pinned-%s-%016X" % (CLSIDS[letter], value)

    def listed(self, letter):
        result = self.vnpin("list", CLSIDS[letter])
        return [line for line in result.stdout.splitlines() if line.strip()]

    def releases(self):
        """Releases by pin name, each with its time (datetime)."""
        out = {}
        for stamp, pin in pin_releases(self.pin_log):
            out.setdefault(pin, []).append(stamp)
        return out

    def calls(self, kind=None):
        """Call-log lines as (ms, letter, call)."""
        letters = {v: k for k, v in CLSIDS.items()}
        out = []
        if not os.path.exists(self.call_log):
            return out
        with open(self.call_log, encoding="utf-8", errors="replace") as f:
            for line in f:
                stamp, _, rest = line.rstrip("\n").partition(" ")
                clsid, _, call = rest.partition(" ")
                if kind is None or call.startswith(kind):
                    out.append((int(stamp), letters.get(clsid, clsid), call))
        return out

    # --- extensions ---

    def register_extensions(self, settings):
        """settings: {letter: {value name: int or str}}; replaces every extension."""
        if self.key_exists(EXTENSIONS_KEY):
            self.vnreg("delete", EXTENSIONS_KEY, "/f")
        lines = ["Windows Registry Editor Version 5.00", ""]
        for letter, values in settings.items():
            clsid = CLSIDS[letter]
            lines += ["[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\%s\\InprocServer32]" % clsid,
                      '@="%s"' % self.args.stub.replace("\\", "\\\\"), '"ThreadingModel"="Both"', ""]
            lines += ["[HKEY_LOCAL_MACHINE\\Software\\Vantrel\\Corvellane\\Extensions\\%s]" % clsid,
                      '@="Vantrel.Stub%s"' % letter, '"Call Log"="%s"' % self.call_log.replace("\\", "\\\\")]
            for name, value in values.items():
                if isinstance(value, int):
                    lines.append('"%s"=dword:%08x' % (name, value & 0xFFFFFFFF))
                else:
                    lines.append('"%s"="%s"' % (name, value))
            lines.append("")
        path = os.path.join(self.root, "extensions.reg")
        with open(path, "w", encoding="utf-8") as f:
            f.write("\r\n".join(lines))
        self.vnreg("import", path)

    def key_exists(self, key):
        return self.run([self.args.vnreg, "query", key]).returncode == 0

    # --- the main service stand-in ---

    def start_mainsvc(self):
        self.mainsvc = subprocess.Popen([self.args.mainsvc], env=self.env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: self.control("state", 0).startswith("ok"), 30):
            raise RuntimeError("the main service stand-in did not come up")

    def kill_mainsvc(self):
        if self.mainsvc is not None:
            self.mainsvc.kill()
            self.mainsvc.wait()
            self.mainsvc = None

    def control(self, command, seconds=10):
        """One control command of the main service stand-in; its reply line, or "" when it is not there."""
        return MAINSVC_CONTROL.control(self.env["VANTREL_PIPE_DIR"], command, seconds)

    def main_state(self, key):
        reply = self.control("state")
        for word in reply.split():
            name, _, value = word.partition("=")
            if name == key:
                return int(value)
        return -1

    # --- the service ---

    def start(self, name):
        check(name + ": start", self.vnsc("start", SERVICE).returncode == 0)
        return check(name + ": running", self.wait_state(4) is not None and self.state() == 4, self.query())

    def stop(self, name, seconds=90):
        result = self.vnsc("stop", SERVICE)
        fields = self.wait_state(1, seconds)
        check(name + ": stopped with exit code 0", result.returncode == 0 and fields is not None
              and fields["STATE"].startswith("1") and fields["WIN32_EXIT_CODE"] == "0", (result.stderr, fields))

    def reset_logs(self):
        for path in (self.call_log, self.pin_log):
            if os.path.exists(path):
                os.remove(path)


# --- the cases ---

def install(env):
    result = env.run([env.args.program, "-install"])
    check("install exits 0", result.returncode == 0, result.stderr)
    fields = env.query()
    check("installed as Taskweave, stopped", fields is not None and fields["STATE"].startswith("1"), fields)
    env.vnreg("add", SETTINGS_KEY, "/v", "Log file directory", "/t", "REG_SZ", "/d", env.trace_dir, "/f")


def no_main_service(env):
    env.register_extensions({"A": {}})
    check("no main service: start", env.vnsc("start", SERVICE).returncode == 0)
    fields = env.wait_state(1)
    check("no main service: the service stops with exit code 21 (ERROR_NOT_READY)",
          fields is not None and fields["WIN32_EXIT_CODE"] == str(ERROR_NOT_READY), fields)
    check("no main service: no provider was made", not env.calls("Initialise"), env.calls())
    check("the service's event source is registered with its message module",
          env.key_exists("HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\%s\\%s" % (DISPLAY, DISPLAY)))
    errors = [e for e in env.events() if e["type"] == 1]
    check("no main service: an error event of code 21 made at TaskweaveService line 21",
          any(e["strings"][:1] == ["21"] and bytes.fromhex(e["data"]) == b"TaskweaveService 21" for e in errors),
          errors[-2:])


def drain(env, mode, schedule, first_value):
    name = "drain %s" % mode
    env.reset_logs()
    env.register_extensions({"A": {"Schedule": schedule}})
    paths = env.make_files("drain-%s-" % mode, 100)
    pins = [env.pin(path, "A", first_value + i, "Transcode") for i, path in enumerate(paths)]
    check(name + ": 100 pins listed", len(env.listed("A")) == 100, len(env.listed("A")))
    if not env.start(name):
        return
    wait_for(lambda: sum(len(env.releases().get(p, [])) for p in pins) >= 100 and not env.listed("A"), 120)
    releases = env.releases()
    check(name + ": every pin released exactly once", all(len(releases.get(p, [])) == 1 for p in pins),
          [(p, len(releases.get(p, []))) for p in pins if len(releases.get(p, [])) != 1][:5])
    check(name + ": the fragment list holds nothing for the extension", env.listed("A") == [], env.listed("A")[:3])
    executes = env.calls("Execute")
    if schedule == "ok":
        check(name + ": nothing was executed (the worker released the pins)", not executes, executes[:3])
    else:
        check(name + ": one operation per pin", len(executes) == 100, len(executes))
    return True


def execute_answering_s_false(env):
    """A provider whose ExecuteOperation answers S_FALSE: each run is
    reported as an error made at TaskweaveService line 219, its record
    leaves the worker (the other files still go), and the service runs on."""
    name = "ExecuteOperation S_FALSE"
    env.reset_logs()
    env.register_extensions({"A": {"Schedule": "pending", "Execute": "fail", "Execute Result": 1}})
    paths = env.make_files("sfalse-", 3)
    pins = [env.pin(path, "A", 0x500 + i, "Transcode") for i, path in enumerate(paths)]
    before = len(env.events())
    if not env.start(name):
        return
    wait_for(lambda: all(p in env.releases() for p in pins) and len(env.calls("Execute")) == 3, 60)
    check(name + ": every file was executed and its pin released", all(p in env.releases() for p in pins)
          and len(env.calls("Execute")) == 3, (len(env.calls("Execute")), len(env.releases())))
    runner_errors = lambda: [e for e in env.events()[before:] if e["type"] == 1
                             and bytes.fromhex(e["data"]) == b"TaskweaveService 219"]
    wait_for(lambda: len(runner_errors()) >= 3, 30)
    errors = runner_errors()
    check(name + ": each run is an error event made at line 219", len(errors) == 3, env.events()[before:][-4:])
    check(name + ": the error carries the result 1", all(e["strings"][:1] == ["0x00000001"] for e in errors), errors[:1])
    check(name + ": the service runs on", env.state() == 4)
    env.stop(name)


def notification_starts_a_pass(env):
    """With the worker idle after its first pass, a pin waits for the next
    wake-up: it is not released while nothing happens, and is released once
    a type-7 notification comes; the release follows the notification."""
    name = "type 7"
    (path,) = env.make_files("notify-", 1)
    wait_for(lambda: env.main_state("lists") >= 1, 30)
    pin = env.pin(path, "A", 0x7000, "Transcode")
    time.sleep(3)  # no wake-up is due for a minute: the pin must still be there
    check(name + ": without a notification the pin stays", pin not in env.releases(), env.releases().get(pin))
    before = datetime.datetime.now(datetime.timezone.utc)
    check(name + ": notify", env.control("notify 7 0 4").startswith("ok"))
    released = wait_for(lambda: env.releases().get(pin), 30)
    check(name + ": the notification starts a pass that releases the pin", bool(released))
    if released:
        check(name + ": the release comes after the notification", released[0] >= before - datetime.timedelta(
            milliseconds=50), (released[0], before))
    other = env.make_files("notify-other-", 1)[0]
    other_pin = env.pin(other, "A", 0x7001, "Transcode")
    check(name + ": another type does not start a pass", env.control("notify 8 0 4").startswith("ok"))
    time.sleep(2)
    check(name + ": a type-8 notification leaves the pin", other_pin not in env.releases())
    env.control("notify 7 0 4")
    released = wait_for(lambda: env.releases().get(other_pin), 30)
    check(name + ": a later type 7 releases it", bool(released))
    return released[0] if released else None


def timer_starts_a_pass(env, last_pass):
    """Without any notification, a pin is released by the worker's timer:
    the worker's last pass ended after last_pass (a release it made), its
    wait is 60000 ms, so the release comes no earlier than a minute after."""
    name = "timer"
    (path,) = env.make_files("timer-", 1)
    pin = env.pin(path, "A", 0x7100, "Transcode")
    released = wait_for(lambda: env.releases().get(pin), 150, step=0.5)
    check(name + ": the timer releases the pin", bool(released))
    if released and last_pass:
        waited = (released[0] - last_pass).total_seconds()
        check(name + ": only after the worker's 60 s wait", waited >= 59.9, waited)


def trace_lines(env):
    name = "trace"
    path = os.path.join(env.env["VANTREL_PIPE_DIR"], "vantrel.taskweave")
    sock = env.admin.open_pipe_retry(path, 30)
    if not check(name + ": the administration pipe opens", sock is not None):
        return
    seen, first, deadline = {}, 0, time.monotonic() + 30
    while time.monotonic() < deadline and not (TRC_NOTHING_TO_DO in seen and TRC_HAND_OVER_FILE in seen):
        env.admin.send_message(sock, env.admin.request(9, READ_LINES, env.admin.read_lines_input(first, 500), 65536))
        rid, status, data = env.admin.recv_reply(sock)
        if status != 0:
            break
        offset = 8
        while offset < len(data):
            number, stamp, message_id, cookie, arg_length = struct.unpack_from("<QQI4xQI4x", data, offset)
            seen.setdefault(message_id, (cookie, data[offset + 40:offset + 40 + arg_length]))
            first = number + 1
            offset += 40 + arg_length
    check(name + ": the hand-over line (mode 3) is read", TRC_HAND_OVER_FILE in seen)
    check(name + ": the nothing-to-do line is read", TRC_NOTHING_TO_DO in seen)
    if TRC_NOTHING_TO_DO in seen:
        cookie, args = seen[TRC_NOTHING_TO_DO]
        check(name + ": its arguments hold the operation and the key string",
              b"Transcode" in args and b"@D:\\media\\" in args, args[:80])
        env.admin.send_message(sock, env.admin.request(10, SOURCE_NAME, struct.pack("<Q", cookie), 24))
        rid, status, data = env.admin.recv_reply(sock)
        source = data[8:24].split(b"\0")[0].decode(errors="replace")
        check(name + ": its source is the worker's trace name", status == 0 and source == "StubA", (status, source))
    sock.close()


def stop_while_operations_run(env):
    name = "stop while running"
    env.reset_logs()
    env.register_extensions({"A": {"Schedule": "pending", "Execute Delay": 4000, "Capacity": 4}})
    paths = env.make_files("stop-", 20)
    pins = [env.pin(path, "A", 0x8000 + i, "Transcode") for i, path in enumerate(paths)]
    if not env.start(name):
        return
    wait_for(lambda: len(env.calls("Execute")) >= 4, 60)
    stopper = subprocess.Popen([env.args.vnsc, "stop", SERVICE], env=env.env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    fields = env.wait_state(3, 30)
    check(name + ": STOP_PENDING while the operations run", fields is not None and fields["STATE"].startswith("3"),
          fields)
    fields = env.wait_state(1, 90)
    stopper.wait(60)
    check(name + ": STOPPED with exit code 0", fields is not None and fields["STATE"].startswith("1")
          and fields["WIN32_EXIT_CODE"] == "0", fields)
    stop_events = [e["time"] for e in env.events() if e["id"] == 2]
    executes = env.calls("Execute")
    stop_time = stop_events[-1] if stop_events else 0
    check(name + ": no operation began after the stop", stop_events and all(ms <= stop_time for ms, _, _ in executes),
          (stop_time, [ms for ms, _, _ in executes][-5:]))
    releases = env.releases()
    released = [p for p in pins if p in releases]
    check(name + ": every pin released at most once", all(len(releases[p]) == 1 for p in released),
          [(p, len(releases[p])) for p in released if len(releases[p]) != 1])
    check(name + ": each operation's pin was released when it ended", len(released) == len(executes),
          (len(released), len(executes)))
    check(name + ": the pins not handed over stay in the list", len(env.listed("A")) == 20 - len(released),
          (len(env.listed("A")), len(released)))
    check(name + ": every provider was released before the exit", env.calls("Released"), env.calls()[-3:])


def provider_hangs_the_stop(env):
    """A provider inside ExecuteOperation for 90 s: the stop ends within its bound, the pin stays and is done after a restart."""
    name = "a 90 s provider"
    env.reset_logs()
    env.register_extensions({"A": {"Schedule": "pending", "Execute Delay": 90000}})
    paths = env.make_files("hang-", 1)
    pin = env.pin(paths[0], "A", 0x9000, "Transcode")
    if not env.start(name):
        return
    check(name + ": the operation began", wait_for(lambda: len(env.calls("Execute")) >= 1, 60), env.calls()[-3:])
    began = time.monotonic()
    result = env.vnsc("stop", SERVICE)
    fields = env.wait_state(1, 75)
    spent = time.monotonic() - began
    # vnsc itself fails when STOPPED takes more than its 30 s; the provider would take 90 s.
    check(name + ": vnsc stop done within the stop bound", result.returncode == 0 and fields is not None
          and fields["STATE"].startswith("1") and spent < 75, (spent, result.stderr, fields))
    check(name + ": the event says operations were left running",
          any(e["id"] & 0xFFFF == 0x1F5 for e in env.events()), env.events()[-3:])
    hung = [line for line in env.listed("A") if "hang-000.dat" in line]
    check(name + ": the pin is still there after the stop", len(hung) == 1 and pin not in env.releases(),
          env.listed("A"))
    env.register_extensions({"A": {"Schedule": "pending"}})
    if not env.start(name + " (restart)"):
        return
    check(name + ": done after the restart", wait_for(lambda: not env.listed("A"), 60), env.listed("A"))
    releases = env.releases()
    check(name + ": the pin released exactly once", len(releases.get(pin, [])) == 1, releases.get(pin))
    env.stop(name + " (restart)")


def main_service_restart(env):
    name = "main service restart"
    env.reset_logs()
    env.register_extensions({"A": {"Schedule": "ok"}})
    if not env.start(name):
        return
    wait_for(lambda: env.main_state("lists") >= 1, 30)
    env.kill_mainsvc()
    env.start_mainsvc()
    check(name + ": the subscription comes back", wait_for(lambda: env.main_state("lists") >= 1, 60),
          env.control("state"))
    (path,) = env.make_files("restart-", 1)
    pin = env.pin(path, "A", 0x9000, "Transcode")
    time.sleep(1)
    env.control("notify 7 0 4")
    check(name + ": a type 7 afterwards still starts a pass", bool(wait_for(lambda: env.releases().get(pin), 30)))
    check(name + ": still running", env.state() == 4)

    # A main service that answers nothing, then one that answers garbage:
    # neither keeps the service from stopping.
    for fault in ("silent", "short"):
        reply = env.control("fault " + fault)
        check(name + ": fault " + fault, reply.startswith("ok"), reply)
        env.stop(name + ": with a %s main service" % fault)
        env.control("fault none")
        if fault == "silent":
            env.start(name + ": after the silent main service")
            env.control("record 8 7 0 12")  # a record whose size field is too short
            env.control("short 5")
    env.control("fault none")


def three_extensions(env):
    name = "three extensions"
    env.reset_logs()
    env.register_extensions({letter: {"Schedule": "pending", "Execute Delay": 5} for letter in "ABC"})
    paths = env.make_files("three-", 60)
    pins = {}
    for i, path in enumerate(paths):
        letter = "ABC"[i % 3]
        pins.setdefault(letter, []).append(env.pin(path, letter, 0xA000 + i, "Work" + letter))
    # The next Attach of the fragment list fails: that worker tries again
    # after its backoff and drains its pins without a restart.
    env.vnreg("add", FAIL_KEY, "/v", "Attach Failures", "/t", "REG_DWORD", "/d", "1", "/f")
    before = len(env.events())
    if not env.start(name):
        return

    def drained(letter):
        return not env.listed(letter)

    wait_for(lambda: all(drained(letter) for letter in "ABC"), 120)
    check(name + ": a failed Attach is retried: every extension drains without a restart",
          all(drained(letter) for letter in "ABC"), [letter for letter in "ABC" if not drained(letter)])
    errors = [e for e in env.events()[before:] if e["type"] == 1]
    check(name + ": the outage is one error event", len(errors) == 1, errors[-3:])
    releases = env.releases()
    for letter in "ABC":
        check(name + ": %s released each of its pins once" % letter,
              all(len(releases.get(p, [])) == 1 for p in pins[letter]))
    wrong = [(letter, call) for _, letter, call in env.calls("Execute") if call != "Execute Work" + letter]
    check(name + ": each worker handed its provider only its own pins", not wrong, wrong[:5])
    check(name + ": the service stays RUNNING", env.state() == 4, env.query())
    env.vnreg("delete", FAIL_KEY, "/v", "Attach Failures", "/f")
    env.stop(name)


def stalled_main_service(env):
    """The main service sends part of a message and then nothing: the service
    takes the connection for broken after its request bound and subscribes
    again; stalled once more, `vnsc stop` still ends within 10 s."""
    name = "stalled main service"
    env.reset_logs()
    env.register_extensions({"A": {"Schedule": "ok"}})
    if not env.start(name):
        return
    wait_for(lambda: env.main_state("lists") >= 1, 30)
    lists = env.main_state("lists")
    check(name + ": stall", env.control("stall 40000").startswith("ok"))
    check(name + ": the service connects again and sends its list",
          wait_for(lambda: env.main_state("lists") > lists, 60), env.control("state"))
    check(name + ": stall again", env.control("stall 40000").startswith("ok"))
    time.sleep(1)  # the head is read; the rest never comes
    began = time.monotonic()
    result = env.vnsc("stop", SERVICE)
    fields = env.wait_state(1, 30)
    spent = time.monotonic() - began
    check(name + ": vnsc stop ends within 10 s", result.returncode == 0 and fields is not None
          and fields["STATE"].startswith("1") and fields["WIN32_EXIT_CODE"] == "0" and spent < 10,
          (spent, result.stderr, fields))


def busy_while_rescans_come(env):
    """A provider with room for one operation that never reports completion,
    and a type-7 notification every 5 s: the busy state still ends within
    65 s of its start, and the second file is handed over."""
    name = "busy while rescans come"
    env.reset_logs()
    env.register_extensions({"B": {"Schedule": "pending", "Capacity": 1, "Complete": 0, "Execute Delay": 3000}})
    paths = env.make_files("busy-", 2)
    pins = [env.pin(path, "B", 0xB000 + i, "Transcode") for i, path in enumerate(paths)]
    if not env.start(name):
        return
    if not check(name + ": the first operation began", wait_for(lambda: env.calls("Execute"), 60), env.calls()[-3:]):
        return
    first = env.calls("Execute")[0][0]
    deadline = time.monotonic() + 90
    while time.monotonic() < deadline and len(env.calls("Execute")) < 2:
        env.control("notify 7 0 4")
        wait_for(lambda: len(env.calls("Execute")) >= 2, 5, step=0.2)
    executes = env.calls("Execute")
    check(name + ": the second file is handed over within 65 s of the first",
          len(executes) >= 2 and executes[1][0] - first <= 65000, [(ms - first) for ms, _, _ in executes])
    wait_for(lambda: all(p in env.releases() for p in pins), 30)
    releases = env.releases()
    check(name + ": both pins released once", all(len(releases.get(p, [])) == 1 for p in pins),
          [(p, releases.get(p)) for p in pins])
    env.stop(name)


def fragment_list_back(env):
    """The fragment list cannot be attached for the first attempts after the
    start: the worker retries with its backoff and drains the pins once the
    list is back, without a restart, with one error event for the outage."""
    name = "fragment list back"
    env.reset_logs()
    env.register_extensions({"C": {"Schedule": "pending"}})
    paths = env.make_files("back-", 10)
    pins = [env.pin(path, "C", 0xC000 + i, "Transcode") for i, path in enumerate(paths)]
    env.vnreg("add", FAIL_KEY, "/v", "Attach Failures", "/t", "REG_DWORD", "/d", "4", "/f")
    before = len(env.events())
    if not env.start(name):
        return
    time.sleep(2)
    check(name + ": nothing released while the list is away", not any(p in env.releases() for p in pins),
          env.releases())
    drained = wait_for(lambda: all(p in env.releases() for p in pins), 120)
    check(name + ": the pins drain once the list is back", bool(drained), len(env.releases()))
    check(name + ": the list holds nothing for the extension", env.listed("C") == [], env.listed("C")[:3])
    releases = env.releases()
    check(name + ": each pin released once", all(len(releases.get(p, [])) == 1 for p in pins))
    errors = [e for e in env.events()[before:] if e["type"] == 1]
    check(name + ": one error event for the outage", len(errors) == 1, errors[-3:])
    check(name + ": the service stayed RUNNING", env.state() == 4, env.query())
    env.vnreg("delete", FAIL_KEY, "/v", "Attach Failures", "/f")
    env.stop(name)


def renamed_kept_pin(env):
    """A file renamed after it was pinned, its pin kept by the provider: the
    kept pin waits its interval (a minute), so one ExecuteOperation in the
    first 15 s, not one after another."""
    name = "renamed kept pin"
    env.reset_logs()
    env.register_extensions({"A": {"Schedule": "pending", "Unpin": "no"}})
    (path,) = env.make_files("renamed-", 1)
    pin = env.pin(path, "A", 0xD000, "Transcode")
    os.rename(os.path.join(env.volume, "media", "renamed-000.dat"), os.path.join(env.volume, "media", "renamed-moved.dat"))
    if not env.start(name):
        return
    began = wait_for(lambda: env.calls("Execute"), 60)
    if not check(name + ": the operation ran", bool(began), env.calls()[-3:]):
        return
    time.sleep(15)
    executes = env.calls("Execute")
    check(name + ": one ExecuteOperation within the kept-pin interval", len(executes) == 1, len(executes))
    check(name + ": the pin is kept", pin not in env.releases())
    env.stop(name)


CASES = {f.__name__: f for f in (stalled_main_service, busy_while_rescans_come, fragment_list_back, renamed_kept_pin)}


def main():
    parser = argparse.ArgumentParser()
    for option in ("program", "vnsc", "vnreg", "vnpin", "vnregsvr", "mainsvc", "archive", "stub", "admin-client"):
        parser.add_argument("--" + option, required=True)
    parser.add_argument("--case", action="append", choices=sorted(CASES), help="run only these of the later cases")
    env = Env(parser.parse_args())
    try:
        env.set_up_archive()
        install(env)
        if env.args.case:
            env.start_mainsvc()
            for case in env.args.case:
                CASES[case](env)
        else:
            every_case(env)
        finish(env)
    finally:
        subprocess.run([env.args.vnsc, "stop", SERVICE], env=env.env, capture_output=True)
        env.kill_mainsvc()
        if failures:
            print("state kept in", env.root)
        else:
            shutil.rmtree(env.root, ignore_errors=True)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


def every_case(env):
    no_main_service(env)
    env.start_mainsvc()
    drain(env, "S_OK", "ok", 0x100)
    if env.state() == 4:
        trace_lines(env)
        last_pass = notification_starts_a_pass(env)
        timer_starts_a_pass(env, last_pass)
    env.stop("drain S_OK")
    drain(env, "E_PENDING", "pending", 0x400)
    env.stop("drain E_PENDING")
    execute_answering_s_false(env)
    stop_while_operations_run(env)
    provider_hangs_the_stop(env)
    main_service_restart(env)
    if env.state() == 4:
        env.stop("main service restart: the last run")
    three_extensions(env)
    for case in CASES.values():
        case(env)


def finish(env):
    path = os.path.join(env.env["VANTREL_LOG_DIR"], SERVICE + ".log")
    text = open(path, errors="replace").read() if os.path.exists(path) else ""
    check("the service's output holds no sanitizer report",
          not any(w in text for w in ("Sanitizer", "runtime error:")), text[-2000:])
    result = env.run([env.args.program, "-remove"])
    check("remove exits 0", result.returncode == 0, result.stderr)


if __name__ == "__main__":
    sys.exit(main())
