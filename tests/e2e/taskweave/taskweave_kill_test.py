#!/usr/bin/env python3
"""taskweave_kill_test.py - 1,000 pins for two extensions while the service is killed.

Taskweave drains 500 pins for each of two stub extensions, each pin on a file
of its own with an operation name of its own, and is killed with SIGKILL
three times on the way (after about a quarter, a half and three quarters of
the releases) and started again through vnsc. In the end every pin's work
was done at least once (an ExecuteOperation of its operation in the call
log, before its release), no pin was released twice (the archive's pin log;
a release a kill cut between the list and its log line is not there), and
the fragment list holds none of them.

The setup, the stand-ins and the peers are those of taskweave_test.py.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import taskweave_test as tw  # noqa: E402  (the service's end-to-end setup)
from e2e_env import wait_for  # noqa: E402

PINS_PER_EXTENSION = 500
KILLS = 3
CAPACITY = 4


def pin_all(env):
    """{pin name: operation} for both extensions; the pin tool runs four at a time."""
    jobs = []
    for letter in "AB":
        paths = env.make_files("kill-%s-" % letter, PINS_PER_EXTENSION)
        for i, path in enumerate(paths):
            jobs.append((path, letter, 0x10000 + i, "Op%s%03d" % (letter, i)))
    with ThreadPoolExecutor(max_workers=4) as pool:
        names = list(pool.map(lambda job: env.pin(*job), jobs))
    return {name: job[3] for name, job in zip(names, jobs)}


def kill_service(env, name):
    fields = env.query()
    pid = int(fields["PID"]) if fields and fields.get("PID", "0").isdigit() else 0
    if not tw.check(name + ": the service has a process", pid > 0, fields):
        return False
    os.kill(pid, signal.SIGKILL)
    fields = env.wait_state(1, 30)
    return tw.check(name + ": reported stopped after the kill", fields is not None and fields["STATE"].startswith("1"),
                    fields)


def main():
    parser = argparse.ArgumentParser()
    for option in ("program", "vnsc", "vnreg", "vnpin", "vnregsvr", "mainsvc", "archive", "stub", "admin-client"):
        parser.add_argument("--" + option, required=True)
    env = tw.Env(parser.parse_args())
    try:
        env.set_up_archive()
        tw.install(env)
        env.start_mainsvc()
        env.register_extensions({letter: {"Schedule": "pending", "Capacity": CAPACITY, "Execute Delay": 40}
                                 for letter in "AB"})
        pins = pin_all(env)
        total = len(pins)
        tw.check("1,000 pins listed", len(env.listed("A")) + len(env.listed("B")) == total,
                 (len(env.listed("A")), len(env.listed("B"))))
        if env.start("first run"):
            for kill in range(1, KILLS + 1):
                name = "kill %d" % kill
                wait_for(lambda: len(env.releases()) >= total * kill // (KILLS + 1), 120, step=0.1)
                if not kill_service(env, name) or not env.start(name + ": started again"):
                    break
            wait_for(lambda: not env.listed("A") and not env.listed("B"), 180, step=0.5)
        check_outcome(env, pins)
        env.stop("the last run")
    finally:
        subprocess.run([env.args.vnsc, "stop", tw.SERVICE], env=env.env, capture_output=True)
        env.kill_mainsvc()
        if tw.failures:
            print("state kept in", env.root)
        else:
            shutil.rmtree(env.root, ignore_errors=True)
    print("%d failure(s)" % len(tw.failures))
    return 1 if tw.failures else 0


def check_outcome(env, pins):
    releases = env.releases()
    tw.check("the fragment list holds none of the pins", not env.listed("A") and not env.listed("B"),
             (env.listed("A")[:3], env.listed("B")[:3]))
    twice = [(p, len(releases[p])) for p in pins if len(releases.get(p, [])) > 1]
    tw.check("no pin released twice", not twice, twice[:5])
    # The archive logs a release just after it takes the pin out of the list:
    # a kill between the two leaves a pin gone with no line. Only runs cut by
    # a kill can lose one: at most the runners in flight (two extensions of
    # four each) per kill.
    unlogged = [p for p in pins if p not in releases]
    tw.check("every pin released once: a release missing from the log only where a kill cut it",
             len(unlogged) <= KILLS * 2 * CAPACITY, unlogged[:5])
    print("releases a kill kept out of the log:", len(unlogged))
    executed = {}
    for ms, _, call in env.calls("Execute"):
        executed.setdefault(call.partition(" ")[2], []).append(ms)
    undone = [op for op in pins.values() if op not in executed]
    tw.check("every pin's work done at least once", not undone, (len(undone), undone[:5]))
    early = []
    for pin, op in pins.items():
        if releases.get(pin) and op in executed:
            released_ms = releases[pin][0].timestamp() * 1000
            if min(executed[op]) > released_ms + 5:
                early.append(op)
    tw.check("no pin released before its work began", not early, early[:5])
    again = sum(1 for stamps in executed.values() if len(stamps) > 1)
    print("operations run more than once (their runs cut by a kill):", again)


if __name__ == "__main__":
    sys.exit(main())
