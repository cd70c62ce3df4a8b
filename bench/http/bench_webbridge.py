#!/usr/bin/env python3
"""bench_webbridge.py - the whole Webbridge program beside nginx and a bare cpprestsdk listener.

One run, everything in a temp folder that is removed at the end:

- Webbridge is installed and started through vnsc on a temporary registry
  with the hosts the end-to-end test configures (http on 127.0.0.1, https on
  localhost, a login location with one user); a 1 KiB and a 1 MiB file lie
  under both roots ("size/N.GET.bin", served as "/size/N");
- beside it, in processes of their own: http_front_server --bare (cpprestsdk
  alone, its own TLS for https, bodies from memory) and Debian's nginx with
  one worker serving the same files;
- wrk -t2 --latency drives each URL; the table gives requests/s, p99 and the
  server's resident memory (VmRSS) and peak (VmHWM) after the run;
- the 1 KiB file over http once more while threads post logins back to back
  (each an Argon2id hash), with the logins answered per second;
- the time from a registry write (vnreg add of the host's "Port") to the new
  port accepting, median and max over 20 changes (vnreg's own run included);
- the ratios the service is held to (Webbridge to the bare listener for the
  1 KiB file, to nginx for 1 MiB), and the load average before and after.

Options: --seconds=N (1-60, default 5) per wrk run, --connections=N (1-512,
default 32), --logins=N (1-64, default 8) login threads, --changes=N (1-100,
default 20). Exits 1 when a server does not answer or wrk measures nothing.
"""
import http.client
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e", "webbridge"))
import webbridge_test as wb  # noqa: E402  the environment and the host set-up of the end-to-end test

SIZES = (1024, 1 << 20)



def wrk(url, seconds, connections):
    """requests/s and the p99 text of one wrk run (0, "-" when it measured nothing)."""
    try:
        out = subprocess.run(["wrk", "-t2", "-c%d" % connections, "-d%ds" % seconds, "--latency", url],
                             capture_output=True, text=True, timeout=seconds + 30).stdout
    except subprocess.TimeoutExpired:
        return 0.0, "-", 0
    rate = re.search(r"^Requests/sec:\s+([\d.]+)", out, re.M)
    p99 = re.search(r"^\s+99%\s+(\S+)", out, re.M)
    errors = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", out)
    return (float(rate.group(1)) if rate else 0.0, p99.group(1) if p99 else "-",
            int(errors.group(1)) if errors else 0)


def accepts(port, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if wb.listening(port):
            return True
        time.sleep(0.05)
    return False


class Bare:
    """http_front_server --bare: a cpprestsdk listener alone; stops when its stdin closes."""

    def __init__(self, program, https, cert, key):
        argv = [program, "--bare"] + (["--https", cert, key] if https else [])
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        self.port = int(line.split()[1]) if line.startswith("READY") else 0
        self.pid = self.process.pid

    def stop(self):
        self.process.stdin.close()
        self.process.wait(timeout=60)


class Nginx:
    def __init__(self, root, www, https, cert, key):
        self.port = wb.free_port()
        os.makedirs(os.path.join(root, "nginx-tmp"), exist_ok=True)
        conf = os.path.join(root, "nginx.conf")
        tmp = os.path.join(root, "nginx-tmp")
        listen = "listen 127.0.0.1:%d%s;" % (self.port, " ssl" if https else "")
        with open(conf, "w") as f:
            f.write("daemon off;\nmaster_process off;\nworker_processes 1;\nerror_log %s/nginx-error.log;\n"
                    "pid %s/nginx.pid;\nevents { worker_connections 1024; }\nhttp {\n  access_log off;\n"
                    "  sendfile on;\n  keepalive_requests 1000000;\n" % (root, root))
            for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"):
                f.write("  %s_temp_path %s;\n" % (kind, tmp))
            f.write("  server {\n    %s\n    ssl_certificate %s;\n    ssl_certificate_key %s;\n"
                    "    ssl_protocols TLSv1.2 TLSv1.3;\n    root %s;\n  }\n}\n" % (listen, cert, key, www))
        self.process = subprocess.Popen(["/usr/sbin/nginx", "-c", conf, "-p", root], stdin=subprocess.DEVNULL)
        self.pid = self.process.pid
        if not accepts(self.port):
            self.port = 0

    def stop(self):
        self.process.send_signal(3)  # SIGQUIT: a graceful end
        self.process.wait(timeout=60)


def login_flood(port, threads, stop, counts):
    form = {"Content-Type": "application/x-www-form-urlencoded"}

    def one():
        while not stop.is_set():
            try:
                status = wb.request(port, "POST", "/login", form, "user=alice&password=pw")[0]
            except (OSError, http.client.HTTPException):
                status = None
            with lock:
                counts[status] = counts.get(status, 0) + 1

    lock = threading.Lock()
    workers = [threading.Thread(target=one) for _ in range(threads)]
    for w in workers:
        w.start()
    return workers


def main():
    parser = wb.program_arguments(("front-server",))
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument("--logins", type=int, default=8)
    parser.add_argument("--changes", type=int, default=20)
    args = parser.parse_args()
    seconds = min(max(args.seconds, 1), 60)
    connections = min(max(args.connections, 1), 512)
    logins = min(max(args.logins, 1), 64)
    changes = min(max(args.changes, 1), 100)
    if shutil.which("wrk") is None:
        print("wrk is not installed (scripts/setup --bench): nothing measured")
        return 0

    env = wb.Env(args)
    failures = 0
    ports = wb.host_ports()
    try:
        wb.configure(env, ports)
        for folder in ("www", "www2"):
            os.makedirs(env.path(folder, "size"))
            for size in SIZES:
                env.write(os.path.join(folder, "size", "%d.GET.bin" % size), b"x" * size)
        # nginx serves "/size/N" from files named N.
        os.makedirs(env.path("nginx-www", "size"))
        for size in SIZES:
            env.write(os.path.join("nginx-www", "size", str(size)), b"x" * size)
        cert, key = env.path("certs", "first.pem"), env.path("certs", "first.key")
        if not wb.start(env) or not (accepts(ports["main"]) and accepts(ports["secure"])):
            print("Webbridge did not start")
            return 1
        pid = env.query().get("PID")
        have_nginx = os.path.exists("/usr/sbin/nginx")

        print("load average before: %.2f %.2f %.2f" % os.getloadavg())
        print("\n%-6s %-18s %-6s %11s %10s %9s %9s" % ("scheme", "server", "body", "requests/s", "p99",
                                                      "RSS KiB", "HWM KiB"))
        alone = {}
        for https in (False, True):
            scheme = "https" if https else "http"
            for server in ("Webbridge", "cpprestsdk bare", "nginx"):
                if server == "nginx" and not have_nginx:
                    print("%-6s %-18s (not installed: bench/http/install-nginx)" % (scheme, server))
                    continue
                process = None
                if server == "Webbridge":
                    port, server_pid = ports["secure" if https else "main"], pid
                elif server == "cpprestsdk bare":
                    process = Bare(args.front_server, https, cert, key)
                    port, server_pid = process.port, process.pid
                else:
                    process = Nginx(env.root, env.path("nginx-www"), https, cert, key)
                    port, server_pid = process.port, process.pid
                if port == 0:
                    print("%s did not start" % server)
                    failures += 1
                    continue
                for size in SIZES:
                    url = "%s://127.0.0.1:%d/size/%d" % (scheme, port, size)
                    rate, p99, non2xx = wrk(url, seconds, connections)
                    if rate <= 0 or non2xx:
                        failures += 1
                    alone[(scheme, server, size)] = (rate, p99)
                    print("%-6s %-18s %-6s %11.0f %10s %9d %9d%s" % (
                        scheme, server, "1 KiB" if size == 1024 else "1 MiB", rate, p99,
                        wb.status_kib(server_pid, "VmRSS:"), wb.status_kib(server_pid, "VmHWM:"),
                        "  (%d not 2xx)" % non2xx if non2xx else ""), flush=True)
                if process:
                    process.stop()

        print("\nratios in this run:")
        for scheme in ("http", "https"):
            ours, ours_p99 = alone.get((scheme, "Webbridge", 1024), (0.0, "-"))
            bare, bare_p99 = alone.get((scheme, "cpprestsdk bare", 1024), (0.0, "-"))
            if bare:
                print("  %-5s 1 KiB Webbridge / bare: %.2fx (p99 %s vs %s)" % (scheme, ours / bare, ours_p99, bare_p99))
            big = alone.get((scheme, "Webbridge", 1 << 20), (0.0, "-"))[0]
            nginx = alone.get((scheme, "nginx", 1 << 20), (0.0, "-"))[0]
            if nginx:
                print("  %-5s 1 MiB Webbridge / nginx: %.2fx" % (scheme, big / nginx))

        # The 1 KiB file while logins hash passwords on the same program.
        stop, counts = threading.Event(), {}
        workers = login_flood(ports["main"], logins, stop, counts)
        started = time.monotonic()
        rate, p99, non2xx = wrk("http://127.0.0.1:%d/size/1024" % ports["main"], seconds, connections)
        elapsed = time.monotonic() - started
        stop.set()
        for w in workers:
            w.join()
        if rate <= 0 or non2xx:
            failures += 1
        base_rate, base_p99 = alone.get(("http", "Webbridge", 1024), (0.0, "-"))
        print("\nhttp 1 KiB on Webbridge alone: %.0f requests/s, p99 %s" % (base_rate, base_p99))
        print("  beside %d login threads:  %.0f requests/s, p99 %s; logins %.1f/s answered 303, %.1f/s 503, "
              "other %s" % (logins, rate, p99, counts.get(303, 0) / elapsed, counts.get(503, 0) / elapsed,
                            {k: v for k, v in counts.items() if k not in (303, 503)}))

        # From a registry write to the new port accepting.
        host = wb.HOSTS + "\\127.0.0.1"
        took, writes = [], []
        for _ in range(changes):
            port = wb.free_port()
            begun = time.monotonic()
            env.set_value(host, "Port", "REG_DWORD", port)
            written = time.monotonic()
            deadline = begun + 30
            while not wb.listening(port) and time.monotonic() < deadline:
                time.sleep(0.002)
            if not wb.listening(port):
                failures += 1
                print("port %d never accepted" % port)
                continue
            took.append((time.monotonic() - begun) * 1000)
            writes.append((written - begun) * 1000)
        if took:
            print("\nregistry write (vnreg add, %.0f ms median of it) to the new port accepting, %d changes: "
                  "median %.0f ms, max %.0f ms" % (statistics.median(writes), len(took), statistics.median(took),
                                                   max(took)))
        print("Webbridge VmHWM at the end: %d KiB" % wb.status_kib(pid, "VmHWM:"))
        print("load average after: %.2f %.2f %.2f" % os.getloadavg())
    finally:
        subprocess.run([args.vnsc, "stop", wb.SERVICE], env=env.env, capture_output=True)
        shutil.rmtree(env.root, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
