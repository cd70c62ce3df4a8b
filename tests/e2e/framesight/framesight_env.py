"""framesight_env.py - one whole Framesight chain in a folder of its own.

The chain is the one a server runs: Taskweave installed with its own
"-install" and run through vnsc, libFramesight.so and the archive's system
object registered with vnregsvr, the archive's main service stand-in
(vnarchive-mainsvc, driven over its control pipe to ask for rescans), the
transcoder stand-in (vnarchive-transcoder, which runs Debian's ffmpeg and
keeps a journal of its jobs), pins made with vnpin in the fragment list, and
the event log read with vnevent. Everything lives in one temporary folder:
registry, pipes, logs, the volume "D:" and the journal, so several chains
run side by side.

Used by framesight_test.py (the end-to-end cases) and by
bench/framesight (the whole chain beside ffmpeg run directly).
"""
import importlib.util
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time

SERVICE = "Taskweave"
DISPLAY = "Vantrel Archive Extensions"
CLSID = "{1B353362-C59F-4258-9819-0C742EC7F32F}"
PRODUCT_KEY = "HKLM\\Software\\Vantrel\\Corvellane"
EXTENSION_KEY = PRODUCT_KEY + "\\Extensions\\" + CLSID
ARCHIVE_KEY = PRODUCT_KEY + "\\Archive"
SETTINGS_KEY = "HKLM\\Software\\Vantrel\\" + DISPLAY
PARAMETERS_KEY = SETTINGS_KEY + "\\" + CLSID
OPERATIONS_KEY = PARAMETERS_KEY + "\\Operations"
RULES_KEY = SETTINGS_KEY + "\\Rules"
TRANSCODER_KEY = PRODUCT_KEY + "\\Transcoder"
DRIVE_MAP_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\DOS Devices"

EVENT_TRANSCODE_FAILED = 0xC00007D0
EVENT_PARAMETER_MISSING = 0xC00007D1

def _load(name, relative):
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), relative)
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


MAINSVC_CONTROL = _load("mainsvc_control", "../../../archive/mainsvc/mainsvc_control.py")
e2e_env = _load("e2e_env", "../e2e_env.py")
ServiceEnv = e2e_env.ServiceEnv
# The transcoder stand-in's journal and its ffmpeg processes, read as its own tests read them.
TRANSCODER_CLIENT = _load("transcoder_client", "../../../archive/transcoder/tests/transcoder_client.py")
peak_concurrency = TRANSCODER_CLIENT.peak_of
process_group_alive = TRANSCODER_CLIENT.process_group_alive

GENEROUS = 120  # seconds: a bound for what takes a second or two on an idle machine


def wait_for(condition, seconds=GENEROUS, step=0.05):
    return e2e_env.wait_for(condition, seconds, step)


def make_clip(path, seconds=3, size="320x240", rate=30):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                    "testsrc=size=%s:rate=%d:duration=%s" % (size, rate, seconds),
                    "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-y", path], check=True)


def make_still(path, size="320x240"):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=%s:rate=1" % size,
                    "-frames:v", "1", "-update", "1", "-y", path], check=True)


def probe(path):
    """ffprobe's view of a file: {"format": name, "streams": [...]} (nb_read_frames counted)."""
    out = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries",
                          "stream=codec_type,codec_name,width,height,nb_read_frames:format=format_name",
                          "-of", "json", path], capture_output=True, text=True)
    if out.returncode != 0:
        return None
    return json.loads(out.stdout)


def version_of(host_path):
    """The archive's identity pair of a file as the hexadecimal texts of its companion names."""
    st = os.stat(host_path)
    return "%X-%X" % (st.st_mtime_ns // 1000000000 & 0xFFFFFFFF, st.st_mtime_ns % 1000000000)


def identity_strings(host_path):
    """The file's identity values as an event carries them: id1, id2, id0 in signed decimal."""
    st = os.stat(host_path)

    def signed(value):
        value &= 0xFFFFFFFF
        return str(value - (1 << 32) if value >= 1 << 31 else value)

    return [signed(st.st_mtime_ns // 1000000000), signed(st.st_mtime_ns % 1000000000), signed(st.st_ino)]


class Tools:
    """Paths of the built programs, from the command line."""

    NAMES = ("program", "vnsc", "vnreg", "vnpin", "vnregsvr", "vnevent", "mainsvc", "archive", "transcoder",
             "framesight", "vntrace")

    @classmethod
    def add_arguments(cls, parser):
        for name in cls.NAMES:
            parser.add_argument("--" + name, required=True)


class Chain(ServiceEnv):
    def __init__(self, tools, name, keep_on_failure=True):
        super().__init__("vn-e2e-framesight-%s-" % name, ("archive", "trace", "volume/media"))
        self.tools = tools
        self.name = name
        self.vnsc_program = tools.vnsc
        self.vnreg_program = tools.vnreg
        self.env["VANTREL_ARCHIVE_EVENTS"] = os.path.join(self.root, "archive")
        self.volume = os.path.join(self.root, "volume")
        self.media = os.path.join(self.volume, "media")
        self.journal = os.path.join(self.root, "journal.jsonl")
        self.pin_log = os.path.join(self.root, "archive", "pins.log")
        self.mainsvc = None
        self.transcoder = None
        self.next_value = 1
        self.failures = []

    # --- reporting ---

    def check(self, name, condition, detail=""):
        if condition:
            print("ok", self.name + ":", name, flush=True)
        else:
            self.failures.append(name)
            print("FAIL", self.name + ":", name, detail, flush=True)
        return condition

    # --- programs ---

    def run(self, argv, timeout=GENEROUS, **kwargs):
        return super().run(argv, timeout, **kwargs)

    def set_up(self, mode=None):
        """Registers the archive and the provider, maps D:, installs Taskweave. mode: the
        provider's "Mode" (None leaves the default, preview)."""
        for server in (self.tools.archive, self.tools.framesight):
            result = self.run([self.tools.vnregsvr, "/s", server])
            if result.returncode != 0:
                raise RuntimeError("vnregsvr %s: %s" % (server, result.stderr))
        self.vnreg("add", DRIVE_MAP_KEY, "/v", "D:", "/d", self.volume, "/f")
        self.vnreg("add", PRODUCT_KEY + "\\Volumes", "/v", "0", "/d", "D", "/f")
        self.vnreg("add", ARCHIVE_KEY, "/v", "Pin Store", "/d", "Fragment List", "/f")
        self.vnreg("add", ARCHIVE_KEY, "/v", "Fragment List", "/d", os.path.join(self.root, "fragments.vnl"), "/f")
        # Registering wrote the extension's key whole: its settings come after.
        if mode is not None:
            self.set_extension("Mode", mode)
        result = self.run([self.tools.program, "-install"])
        if result.returncode != 0:
            raise RuntimeError("Taskweave -install: " + result.stderr)
        self.vnreg("add", SETTINGS_KEY, "/v", "Log file directory", "/d", os.path.join(self.root, "trace"), "/f")

    def set_value(self, key, name, value):
        if isinstance(value, bool):
            value = int(value)
        if isinstance(value, int):
            self.vnreg("add", key, "/v", name, "/t", "REG_DWORD", "/d", str(value & 0xFFFFFFFF), "/f")
        elif isinstance(value, (list, tuple)):
            self.vnreg("add", key, "/v", name, "/t", "REG_MULTI_SZ", "/d", "\\0".join(value), "/f")
        else:
            self.vnreg("add", key, "/v", name, "/t", "REG_SZ", "/d", value, "/f")

    def set_extension(self, name, value):
        """A setting read once by the provider's Initialise."""
        self.set_value(EXTENSION_KEY, name, value)

    def set_parameter(self, name, value):
        """A live setting of the provider ("Maximum Transcode Jobs", "Trace Level")."""
        self.set_value(PARAMETERS_KEY, name, value)

    def add_operation(self, name, values):
        for value_name, value in values.items():
            self.set_value(OPERATIONS_KEY + "\\" + name, value_name, value)

    def add_rule(self, name, include, operations):
        self.set_value(RULES_KEY + "\\" + name, "Include Path", include)
        self.set_value(RULES_KEY + "\\" + name, CLSID, list(operations))

    # --- the stand-ins ---

    def start_mainsvc(self):
        self.mainsvc = subprocess.Popen([self.tools.mainsvc], env=self.env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: self.control("state", 0).startswith("ok"), 60):
            raise RuntimeError("the main service stand-in did not come up")

    def control(self, command, seconds=10):
        """One command of the main service stand-in's control pipe; its reply, or "" when it is not there."""
        return MAINSVC_CONTROL.control(self.env["VANTREL_PIPE_DIR"], command, seconds)

    def rescan(self):
        """A type-7 notification of the main service: every worker scans its pins again."""
        self.control("notify 7 0 4")

    def start_transcoder(self, instances=2, ffmpeg=None):
        argv = [self.tools.transcoder, "--instances", str(instances), "--journal", self.journal]
        if ffmpeg:
            argv += ["--ffmpeg", ffmpeg]
        self.transcoder = subprocess.Popen(argv, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                           stderr=subprocess.DEVNULL, text=True)
        ready, _, _ = select.select([self.transcoder.stdout], [], [], GENEROUS)
        line = self.transcoder.stdout.readline() if ready else ""
        if line.strip() != "ready":
            self.transcoder.kill()
            raise RuntimeError("the transcoder stand-in did not start: " + line)

    def stop_transcoder(self):
        if self.transcoder is not None:
            self.transcoder.send_signal(signal.SIGTERM)
            self.transcoder.wait(GENEROUS)
            self.transcoder.stdout.close()
            self.transcoder = None

    def slow_ffmpeg(self, rate="1", gate=None):
        """ffmpeg reading its input at the clip's own rate (or a fraction of it), so that
        a job runs for seconds on any machine. With a gate (a path), each run waits until
        that file exists before ffmpeg starts, and so before it opens its source."""
        path = os.path.join(self.root, "ffmpeg-slow")
        wait = 'while [ ! -e "%s" ]; do sleep 0.1; done\n' % gate if gate else ""
        with open(path, "w") as f:
            f.write('#!/bin/sh\n%sexec ffmpeg -readrate %s "$@"\n' % (wait, rate))
        os.chmod(path, 0o755)
        return path

    # --- the service ---

    def query(self):
        return self.service_query(SERVICE)

    def state(self):
        return self.service_state(SERVICE)

    def pid(self):
        fields = self.query()
        return int(fields.get("PID", "0")) if fields else 0

    def start_service(self):
        result = self.vnsc("start", SERVICE)
        # START_PENDING reads from the start on, so STOPPED means it ended.
        wait_for(lambda: self.state() in (1, 4), 60)
        return self.check("Taskweave runs", result.returncode == 0 and self.state() == 4, (result.stderr,
                                                                                          self.query()))

    def stop_service(self):
        result = self.vnsc("stop", SERVICE)
        wait_for(lambda: self.state() == 1, 90)
        fields = self.query()
        self.check("Taskweave stops with exit code 0", result.returncode == 0 and fields is not None
                   and fields["STATE"].startswith("1") and fields["WIN32_EXIT_CODE"] == "0", (result.stderr, fields))

    def trace_text(self):
        """The running service's held trace lines as vntrace prints them."""
        result = self.run([self.tools.vntrace, "follow", SERVICE, "--seconds", "1"], timeout=60)
        return result.stdout

    def service_output(self):
        path = os.path.join(self.env["VANTREL_LOG_DIR"], SERVICE + ".log")
        return open(path, errors="replace").read() if os.path.exists(path) else ""

    # --- files and pins ---

    def host(self, relative):
        return os.path.join(self.volume, *relative.split("\\"))

    @staticmethod
    def archive_path(relative):
        return "D:\\" + relative

    def companions(self, relative):
        """The host folder of a file's companions (outputs) in the archive."""
        return os.path.join(self.volume, ".companions", *relative.split("\\"))

    def companion(self, relative, stem, ext, version=None):
        version = version or version_of(self.host(relative))
        return os.path.join(self.companions(relative), "%s-%s.%s" % (stem, version, ext))

    def listing(self, relative):
        folder = self.companions(relative)
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []

    def pin(self, relative, operation="Preview"):
        value = self.next_value
        self.next_value += 1
        result = self.run([self.tools.vnpin, "pin-file", self.archive_path(relative), CLSID, str(value), operation])
        if result.returncode != 0:
            raise RuntimeError("vnpin pin-file %s: %s" % (relative, result.stderr))
        return "Pinned-%s-%016X" % (CLSID, value)

    def pinned(self):
        result = self.run([self.tools.vnpin, "list", CLSID])
        return [line for line in result.stdout.splitlines() if line.strip()]

    def releases(self):
        """Pin names released so far, with how often."""
        out = {}
        for _, pin in e2e_env.pin_releases(self.pin_log):
            out[pin] = out.get(pin, 0) + 1
        return out

    def wait_released(self, pins, seconds=GENEROUS, rescan_every=5.0):
        """Waits until every pin was released, asking for a rescan now and then (the
        worker's own timer is a minute)."""
        pins = list(pins)
        deadline = time.monotonic() + seconds
        next_rescan = 0.0
        while time.monotonic() < deadline:
            released = self.releases()
            if all(p in released for p in pins):
                return True
            if time.monotonic() >= next_rescan:
                self.rescan()
                next_rescan = time.monotonic() + rescan_every
            time.sleep(0.1)
        released = self.releases()
        return all(p in released for p in pins)

    # --- the peers' records ---

    def journal_records(self):
        try:
            with open(self.journal) as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def jobs_of(self, relative, event="end"):
        """Journal records of jobs whose source is the file."""
        source = "file:" + self.host(relative)
        return [r for r in self.journal_records() if r["event"] == event and source in r["argv"]]

    def events(self, event_id=None):
        """The service's event records as vnevent prints them: (id, text)."""
        result = self.run([self.tools.vnevent, DISPLAY])
        out = []
        for line in result.stdout.splitlines():
            match = re.search(r" (0x[0-9A-F]{8}) [^:]*: (.*)$", line)
            if match:
                number = int(match.group(1), 16)
                if event_id is None or number == event_id:
                    out.append((number, match.group(2)))
        return out

    def event_records(self, event_id):
        """The same events with their insertion strings, from the log's own file."""
        return [r for r in self.event_log(DISPLAY) if r["id"] == event_id]

    # --- the end ---

    def tear_down(self):
        try:
            self.vnsc("stop", SERVICE)
        except subprocess.TimeoutExpired:
            pass
        pid = self.pid()
        if pid and self.state() != 1:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        self.stop_transcoder()
        if self.mainsvc is not None:
            self.mainsvc.kill()
            self.mainsvc.wait()
        if self.failures:
            print("state kept in", self.root, flush=True)
        else:
            shutil.rmtree(self.root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit("framesight_env.py is a module")
