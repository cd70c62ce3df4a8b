#!/usr/bin/env python3
"""bench_host_values.py - what 100,000 values under a host key cost the whole Webbridge program.

One run, everything in a temp folder that is removed at the end: Webbridge is
installed and started through vnsc on the hosts the end-to-end test
configures; wrk drives /clips (an SQL handler naming no host value, two rows)
and a form POST to /echo (an SQL handler naming one host value and one form
field) three times: before the values, with 100,000 values written under the
http host's key (one vnreg import), and after they are deleted (one more
import). It prints, in the same run, each rate with its p99, the service's
VmRSS and VmHWM after each phase, the time from each import to the service
answering with the new values, the rates with the values as a share of the
rates before, and the load average before and after.

Options: --seconds=N (1-60, default 5) per wrk run, --connections=N (1-512,
default 32), --values=N (1-1,000,000, default 100,000). Exits 1 when the
service does not start, does not see the values, or wrk measures nothing.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e", "webbridge"))
import webbridge_test as wb  # noqa: E402  the environment and the host set-up of the end-to-end test
import webbridge_host_values_test as hv  # noqa: E402  the bulk values and the handler that names one

POST_SCRIPT = 'wrk.method = "POST"\nwrk.body = "Extra=mine&Registry%%24Color=red"\n' \
              'wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"\n' \
              'wrk.headers["Accept"] = "application/json"\n'



def wrk(url, seconds, connections, script=None):
    """requests/s, the p99 text and the count of non-2xx/3xx replies of one wrk run."""
    argv = ["wrk", "-t2", "-c%d" % connections, "-d%ds" % seconds, "--latency", "-H", "Accept: application/json"]
    if script:
        argv += ["-s", script]
    try:
        out = subprocess.run(argv + [url], capture_output=True, text=True, timeout=seconds + 60).stdout
    except subprocess.TimeoutExpired:
        return 0.0, "-", 0
    rate = re.search(r"^Requests/sec:\s+([\d.]+)", out, re.M)
    p99 = re.search(r"^\s+99%\s+(\S+)", out, re.M)
    errors = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", out)
    return (float(rate.group(1)) if rate else 0.0, p99.group(1) if p99 else "-",
            int(errors.group(1)) if errors else 0)


def main():
    parser = wb.program_arguments()
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument("--values", type=int, default=hv.VALUES)
    args = parser.parse_args()
    seconds = min(max(args.seconds, 1), 60)
    connections = min(max(args.connections, 1), 512)
    hv.VALUES = min(max(args.values, 1), 1000000)
    if shutil.which("wrk") is None:
        print("wrk is not installed (scripts/setup --bench): nothing measured")
        return 0

    env = wb.Env(args)
    ports = wb.host_ports()
    script = os.path.join(tempfile.mkdtemp(prefix="vn-bench-values-"), "post.lua")
    with open(script, "w") as f:
        f.write(POST_SCRIPT)
    failures = 0
    try:
        wb.configure(env, ports)
        env.write("www/bulk.GET.SQL", "SELECT :Registry$%s AS v" % hv.value_name(hv.VALUES - 1))
        if not wb.start(env) or not wb.wait_until(lambda: wb.listening(ports["main"])):
            print("Webbridge did not start")
            return 1
        pid = env.query().get("PID")
        port = ports["main"]
        base = "http://127.0.0.1:%d" % port
        print("load average before: %.2f %.2f %.2f" % os.getloadavg())

        rows = []

        def measure(phase):
            clips = wrk(base + "/clips", seconds, connections)
            post = wrk(base + "/echo", seconds, connections, script)
            rows.append((phase, clips, post, wb.status_kib(pid, "VmRSS:"), wb.status_kib(pid, "VmHWM:")))
            return clips[0] > 0 and post[0] > 0 and clips[2] == 0 and post[2] == 0

        wrk(base + "/clips", 1, connections)  # warm: handlers, provider, query threads
        failures += not measure("before the values")

        start = time.monotonic()
        if not hv.import_values(env, "bulk.reg", False):
            return 1
        imported = time.monotonic() - start
        seen = wb.wait_until(lambda: hv.value_data(hv.VALUES - 1) in (hv.probe(port) or ""), hv.SEEN_TIMEOUT)
        seen_after = time.monotonic() - start
        if not seen:
            print("the service did not see the values")
            return 1
        failures += not measure("with %d values" % hv.VALUES)

        start = time.monotonic()
        if not hv.import_values(env, "unbulk.reg", True):
            return 1
        deleted = time.monotonic() - start
        gone = wb.wait_until(lambda: (hv.probe(port) or "").replace(" ", "") in ('[{"v":null}]', "[{}]"),
                             hv.SEEN_TIMEOUT)
        gone_after = time.monotonic() - start
        time.sleep(1)
        failures += not gone
        failures += not measure("after deleting them")

        print("\n%-20s %14s %9s %14s %9s %9s %9s" % ("phase", "/clips req/s", "p99", "POST req/s", "p99",
                                                    "RSS KiB", "HWM KiB"))
        for phase, clips, post, rss, hwm in rows:
            print("%-20s %14.0f %9s %14.0f %9s %9d %9d" % (phase, clips[0], clips[1], post[0], post[1], rss, hwm))
        if rows[0][1][0] > 0 and rows[0][2][0] > 0:
            print("\nwith the values, as a share of before: /clips %.2f, POST %.2f (held to at least 0.50)"
                  % (rows[1][1][0] / rows[0][1][0], rows[1][2][0] / rows[0][2][0]))
        print("resident after deleting them minus before: %d KiB (held to under 65536)" % (rows[2][3] - rows[0][3]))
        print("import of the values %.1f s, answered with them %.1f s after it began; deleting %.1f s, "
              "answered without them after %.1f s" % (imported, seen_after, deleted, gone_after))
        print("load average after: %.2f %.2f %.2f" % os.getloadavg())
    finally:
        wb.finish(env)
        shutil.rmtree(os.path.dirname(script), ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
