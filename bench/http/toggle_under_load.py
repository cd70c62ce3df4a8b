#!/usr/bin/env python3
"""toggle_under_load.py - Webbridge under wrk while a host value toggles (run on demand, meant for the ASan build).

    bench/http/toggle_under_load.py --build build-asan [--connections=64] [--toggles=100]
                                    [--value="Request Body Limit"]

Starts the Webbridge of that build tree through vnsc on a temporary registry
(the hosts of the end-to-end test), runs wrk with 64 connections on a file of
the http host and, beside it, one Python client whose every reply must carry
a well-formed status line, while the host value toggles between two good
values (by default "Request Body Limit", which replaces the host's listener
each time; "Default Range" updates it in place). Then it checks: the process
is the one started and alive, every status wrk and the client saw lies in
100-599, and the service's output (where a sanitizer writes) holds no report,
including the leak check at its stop. Exits 0 when all hold.
"""
import argparse
import http.client
import os
import re
import shutil
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e", "webbridge"))
import webbridge_test as wb  # noqa: E402  the environment and the host set-up of the end-to-end test

TOGGLES = {
    # value name: (type, the two values it alternates between)
    "Request Body Limit": ("REG_DWORD", (1048576, 2097152)),
    "Default Range": ("REG_DWORD", (65536, 1048576)),
    "Color": ("REG_SZ", ("red", "blue")),
}

# Per wrk thread: the count of each status; summed over threads at the end.
WRK_SCRIPT = """
local threads = {}
function setup(thread) table.insert(threads, thread) end
function init(args) statuses = {} end
function response(status, headers, body) statuses[status] = (statuses[status] or 0) + 1 end
function done(summary, latency, requests)
  local all = {}
  for _, t in ipairs(threads) do
    for k, v in pairs(t:get("statuses")) do all[k] = (all[k] or 0) + v end
  end
  for k, v in pairs(all) do io.write(string.format("status %d %d\\n", k, v)) end
end
"""


def alive(pid):
    try:
        with open("/proc/%s/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except OSError:
        return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="a build tree, e.g. build-asan")
    parser.add_argument("--connections", type=int, default=64)
    parser.add_argument("--toggles", type=int, default=100)
    parser.add_argument("--value", default="Request Body Limit", choices=sorted(TOGGLES))
    parser.add_argument("--pause", type=float, default=0.1, help="seconds between toggles")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    args = argparse.Namespace(
        program=os.path.join(build, "REST APIs", "HTTP Service", "Webbridge"),
        vnsc=os.path.join(build, "platform", "service", "vnsc"),
        vnreg=os.path.join(build, "platform", "registry", "vnreg"),
        vnregsvr=os.path.join(build, "platform", "com", "vnregsvr"),
        archive=os.path.join(build, "archive", "system", "libvnarchive_system.so"),
        provider=os.path.join(build, "archive", "oledb", "libvnarchive_oledb.so"),
        data_init=os.path.join(build, "platform", "oledb", "libvn_oledb_init.so"))
    if shutil.which("wrk") is None:
        print("wrk is not installed (scripts/setup --bench)")
        return 1

    env = wb.Env(args)
    problems = []
    ports = wb.host_ports()
    try:
        wb.configure(env, ports)
        env.write("www/size.GET.bin", b"x" * 4096)
        if not wb.start(env) or not wb.wait_until(lambda: wb.listening(ports["main"]), 60):
            print("Webbridge did not start")
            return 1
        pid = env.query().get("PID")
        script = env.write("statuses.lua", WRK_SCRIPT)
        url = "http://127.0.0.1:%d/size" % ports["main"]
        kind, values = TOGGLES[options.value]
        # Long enough for every toggle; wrk is stopped once they are done.
        seconds = int(options.toggles * (options.pause + 0.5)) + 60
        load = subprocess.Popen(["wrk", "-t4", "-c%d" % options.connections, "-d%ds" % seconds, "-s", script, url],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

        stop = threading.Event()
        client = {"replies": 0, "cut": 0, "malformed": [], "statuses": {}}

        def one_client():
            while not stop.is_set():
                conn = http.client.HTTPConnection("127.0.0.1", ports["main"], timeout=60)
                try:
                    conn.request("GET", "/size")
                    reply = conn.getresponse()
                    reply.read()
                    client["replies"] += 1
                    client["statuses"][reply.status] = client["statuses"].get(reply.status, 0) + 1
                except http.client.RemoteDisconnected:
                    client["cut"] += 1  # closed before a reply: no status to judge
                    time.sleep(0.01)
                except http.client.BadStatusLine as e:
                    client["malformed"].append(repr(e))
                except (OSError, http.client.HTTPException):
                    client["cut"] += 1  # a connection cut while its host was replaced
                    time.sleep(0.01)
                finally:
                    conn.close()

        checker = threading.Thread(target=one_client)
        checker.start()
        time.sleep(1)  # let the load build up before the first toggle
        started = time.monotonic()
        host = wb.HOSTS + "\\127.0.0.1"
        for i in range(options.toggles):
            env.set_value(host, options.value, kind, values[i % 2])
            time.sleep(options.pause)
        toggled = time.monotonic() - started
        # The last change is served before the load ends.
        wb.wait_until(lambda: wb.listening(ports["main"]), 60)
        time.sleep(1)
        stop.set()
        checker.join()
        load.send_signal(2)  # SIGINT: wrk prints its summary and ends
        out, _ = load.communicate(timeout=120)

        statuses = {int(k): int(v) for k, v in re.findall(r"^status (\d+) (\d+)$", out, re.M)}
        errors = re.search(r"Socket errors:.*", out)
        rate = re.search(r"Requests/sec:\s+([\d.]+)", out)
        print("%d toggles of %s in %.1f s" % (options.toggles, options.value, toggled))
        print("wrk: %s requests/s; statuses %s; %s" % (rate.group(1) if rate else "?", statuses,
                                                       errors.group(0) if errors else "no socket errors"))
        print("client: %d replies, statuses %s, %d cut, %d malformed" % (
            client["replies"], client["statuses"], client["cut"], len(client["malformed"])))
        if not statuses:
            problems.append("wrk saw no reply")
        if any(not 100 <= s <= 599 for s in list(statuses) + list(client["statuses"])):
            problems.append("a status outside 100-599")
        if client["malformed"]:
            problems.append("malformed status lines: %s" % client["malformed"][:3])
        if client["replies"] == 0:
            problems.append("the client got no reply")
        if not (alive(pid) and env.query().get("PID") == pid):
            problems.append("the process %s is gone: %s" % (pid, env.query()))
        result = env.vnsc("stop", wb.SERVICE)
        if result.returncode != 0:
            problems.append("stop failed: " + result.stderr)
        wb.wait_until(lambda: not alive(pid), 60)
        log = env.path("logs", wb.SERVICE + ".log")
        text = open(log, errors="replace").read() if os.path.exists(log) else ""
        report = re.search(r"==\d+==ERROR: \w+Sanitizer.*|runtime error:.*", text)
        if report:
            start = max(0, report.start() - 200)
            problems.append("sanitizer report: " + text[start:start + 3000])
        print("service output: %d bytes, %s" % (len(text), "a sanitizer report" if report else "no sanitizer report"))
    finally:
        subprocess.run([args.vnsc, "stop", wb.SERVICE], env=env.env, capture_output=True)
        if problems:
            print("kept", env.root)
        else:
            shutil.rmtree(env.root, ignore_errors=True)
    for p in problems:
        print("PROBLEM:", p)
    print("PASS" if not problems else "FAIL")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
