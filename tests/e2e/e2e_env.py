"""e2e_env.py - what the end-to-end tests share: a folder of their own and the tools run in it.

check() prints one "ok NAME" or "FAIL NAME DETAIL" line a case and keeps
the names that failed in failures, the one list a test's exit code is made
from.

A ServiceEnv is a temporary folder with its own registry file, pipe folder
and log folder, named to every program through the environment, so that
nothing of the machine's is touched and tests can run side by side. The
service control and registry tools run against it; a subclass sets
self.vnsc_program and self.vnreg_program to the built tools.
"""
import datetime
import json
import os
import subprocess
import tempfile
import time

failures = []


def check(name, condition, detail=""):
    if condition:
        print("ok", name, flush=True)
    else:
        failures.append(name)
        print("FAIL", name, detail, flush=True)
    return condition


def wait_for(condition, seconds=60, step=0.05):
    """condition's first true value within the time, else its last value."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


def pin_releases(pin_log):
    """(time, pin name) of every release the archive's pin log records, in order; none
    when there is no log yet. A line is tab-separated: time, ..., "release" fourth,
    the pin name sixth, eight fields in all."""
    if not os.path.exists(pin_log):
        return []
    releases = []
    with open(pin_log, encoding="utf-8", errors="replace") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if len(fields) == 8 and fields[3] == "release":
                stamp = datetime.datetime.strptime(fields[0], "%Y-%m-%dT%H:%M:%S.%fZ")
                releases.append((stamp.replace(tzinfo=datetime.timezone.utc), fields[5]))
    return releases


class ServiceEnv:
    def __init__(self, prefix, folders=()):
        self.root = tempfile.mkdtemp(prefix=prefix)
        self.env = dict(os.environ)
        self.env["VANTREL_REGISTRY"] = os.path.join(self.root, "registry.db")
        self.env["VANTREL_PIPE_DIR"] = os.path.join(self.root, "pipes")
        self.env["VANTREL_LOG_DIR"] = os.path.join(self.root, "logs")
        # A test started by a service manager must not pass for a service itself.
        for variable in ("VANTREL_SERVICE_NAME", "INVOCATION_ID"):
            self.env.pop(variable, None)
        for folder in ("pipes", "logs") + tuple(folders):
            os.makedirs(os.path.join(self.root, folder), exist_ok=True)
        self.vnsc_program = None
        self.vnreg_program = None

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def run(self, argv, timeout=60, **kwargs):
        return subprocess.run(argv, env=self.env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=timeout, **kwargs)

    def vnsc(self, *words):
        return self.run([self.vnsc_program] + list(words))

    def vnreg(self, *words):
        result = self.run([self.vnreg_program] + list(words))
        if result.returncode != 0:
            raise RuntimeError("vnreg %s: %s" % (words, result.stderr))
        return result

    def event_log(self, source):
        """The records the event log holds for source (a service's display
        name), oldest first, as its own file in the log folder has them."""
        path = os.path.join(self.env["VANTREL_LOG_DIR"], "eventlog", source + ".jsonl")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]

    def service_query(self, service):
        """`vnsc query`'s fields ("STATE": "4  RUNNING", "PID": ...), or None for no such service."""
        result = self.vnsc("query", service)
        if result.returncode != 0:
            return None
        fields = {}
        for line in result.stdout.splitlines():
            key, _, value = line.partition(":")
            fields[key.strip()] = value.strip()
        return fields

    def service_state(self, service):
        fields = self.service_query(service)
        return int(fields["STATE"].split()[0]) if fields and "STATE" in fields else None
