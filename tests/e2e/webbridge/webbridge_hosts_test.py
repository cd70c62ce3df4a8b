#!/usr/bin/env python3
"""webbridge_hosts_test.py - hosts that come, go, fail and are named by names, on one running Webbridge.

On the hosts webbridge_test.py configures (127.0.0.1 with its login location,
"localhost" on https), plus hosts of this test's own:
- at the start, a host named by a name of /etc/hosts and "localhost" answer,
  while a host whose name does not resolve and one whose port another program
  holds fail alone, each with an event naming it in the system's words; the
  service is RUNNING;
- hosts A and B answer; B is made failing (a missing root); C is added and
  answers within 2 s; A is deleted and its port refuses within 2 s; B is
  fixed and answers within 2 s; a client loop on each host counts failures,
  and a host that is not being changed never fails one;
- 100 "remember me" logins (each writes alice's "Cookie" below "Users", the
  sign-out after it deletes it)
  rebuild no host (trace 0x100D1 never, 0x100D2 instead) and a download in
  progress on another connection is not cut.
"""
import hashlib
import http.client
import os
import re
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import webbridge_test as wb  # the environment, the host set-up, the request helpers

MSG_LISTENER_EXCEPTION = 0xC000012C
TRC_HOST_REBUILT = 0x000100D1
TRC_HOST_UNCHANGED = 0x000100D2
BOUND = 2.0  # seconds: the bound the fault named
UNRESOLVABLE = "no-such-host.invalid"
ADDED_NAME = "vantrel-e2e-host"
FORM = {"Content-Type": "application/x-www-form-urlencoded"}


def hosts_file_name():
    """A name /etc/hosts gives a loopback address (not "localhost"), or None."""
    try:
        lines = open("/etc/hosts").read().splitlines()
    except OSError:
        return None
    for line in lines:
        fields = line.split("#")[0].split()
        if len(fields) >= 2 and fields[0].startswith("127."):
            for name in fields[1:]:
                if name != "localhost" and "." not in name and not name.startswith("localhost"):
                    try:
                        if all(a[4][0].startswith("127.") for a in socket.getaddrinfo(name, None, socket.AF_INET)):
                            return name
                    except OSError:
                        pass
    return None


def get(address, port, path="/second"):
    try:
        conn = http.client.HTTPConnection(address, port, timeout=10)
        conn.request("GET", path)
        reply = conn.getresponse()
        body = reply.read()
        conn.close()
        return reply.status == 200 and body == b"second"
    except (OSError, http.client.HTTPException):
        return False


def refuses(address, port):
    try:
        with socket.create_connection((address, port), timeout=2):
            return False
    except ConnectionRefusedError:
        return True
    except OSError:
        return False


class Loop:
    """GETs one host over and over on its own thread; remembers (time, ok) of each."""

    def __init__(self, address, port):
        self.address, self.port = address, port
        self.results, self.stop = [], False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stop:
            ok = get(self.address, self.port)
            self.results.append((time.monotonic(), ok))
            time.sleep(0.02)

    def failures(self, since, until):
        return sum(1 for t, ok in self.results if since <= t <= until and not ok)

    def count(self, since, until):
        return sum(1 for t, _ in self.results if since <= t <= until)

    def end(self):
        self.stop = True
        self.thread.join()


def answers_within(condition, seconds=wb.LIVE_TIMEOUT):
    """Seconds until condition held (polled), or None."""
    start = time.monotonic()
    while time.monotonic() - start < seconds:
        if condition():
            return time.monotonic() - start
        time.sleep(0.02)
    return None


def trace_lines(env):
    """Every trace line the service holds now: (message id, insert bytes)."""
    wb.admin.SERVICE = wb.SERVICE
    sock = wb.admin.open_admin_pipe(env)
    first, lines = 0, []
    while True:
        next_line, records = wb.admin.read_lines(sock, first, 100)
        lines += [(r[1], r[3]) for r in records]
        if next_line == first or not records:
            break
        first = next_line
    sock.close()
    return lines


def host(env, name, port, root=None):
    key = wb.HOSTS + "\\" + name
    env.set_value(key, "Protocol", "REG_SZ", "http")
    env.set_value(key, "Port", "REG_DWORD", port)
    env.set_value(key, "Unlicensed Root", "REG_SZ", root or env.path("www2"))
    return key


def named_hosts(env, ports, name):
    wb.check("a host named by the hosts-file name %s answers" % name,
             wb.wait_until(lambda: get(name, ports["named"])), name)
    status, _, body = wb.request(ports["secure"], "GET", "/second", https=True)
    wb.check("the host localhost answers", status == 200 and body == b"second", status)
    events = wb.wait_until(lambda: any(UNRESOLVABLE in " ".join(e["strings"])
                                       for e in env.events_with(MSG_LISTENER_EXCEPTION)))
    text = " ".join(" ".join(e["strings"]) for e in env.events_with(MSG_LISTENER_EXCEPTION))
    # An event's text loses its one final full stop.
    wb.check("a name that does not resolve is an event naming it", events and "No such host is known" in text, text)
    held = " ".join(" ".join(e["strings"]) for e in env.events_with(MSG_LISTENER_EXCEPTION)
                    if "127.0.0.14" in " ".join(e["strings"]))
    wb.check("a port another program holds reads in the system's words",
             "The network transport endpoint already has an address associated with it" in held, held)
    wb.check("the service stays RUNNING", env.query().get("STATE", "").startswith("4"), env.query())


def come_and_go(env, ports):
    a, b, c = "127.0.0.11", "127.0.0.12", "127.0.0.13"
    wb.check("hosts A and B answer", wb.wait_until(lambda: get(a, ports["a"]) and get(b, ports["b"])))
    loops = {a: Loop(a, ports["a"]), b: Loop(b, ports["b"])}
    time.sleep(0.5)

    begin = time.monotonic()
    env.set_value(wb.HOSTS + "\\" + b, "Unlicensed Root", "REG_SZ", env.path("no-such-folder"))
    wb.check("B made failing stops answering", wb.wait_until(lambda: not get(b, ports["b"])))

    host(env, c, ports["c"])
    took = answers_within(lambda: get(c, ports["c"]))
    wb.check("C added answers within 2 s", took is not None and took <= BOUND, took)
    loops[c] = Loop(c, ports["c"])
    time.sleep(0.5)

    a_deleted = time.monotonic()
    env.vnreg("delete", wb.HOSTS + "\\" + a, "/f")
    took = answers_within(lambda: refuses(a, ports["a"]))
    wb.check("A deleted: its port refuses within 2 s", took is not None and took <= BOUND, took)

    env.set_value(wb.HOSTS + "\\" + b, "Unlicensed Root", "REG_SZ", env.path("www2"))
    took = answers_within(lambda: get(b, ports["b"]))
    wb.check("B fixed answers within 2 s", took is not None and took <= BOUND, took)
    time.sleep(0.5)
    end = time.monotonic()
    for loop in loops.values():
        loop.end()

    first_c = min((t for t, _ in loops[c].results), default=end)
    rows = [("A while B fails and C comes", loops[a], begin, a_deleted),
            ("C while A goes and B is fixed", loops[c], first_c, end)]
    for name, loop, since, until in rows:
        wb.check("no failure on %s" % name, loop.count(since, until) > 0 and loop.failures(since, until) == 0,
                 "%d of %d failed" % (loop.failures(since, until), loop.count(since, until)))
    wb.check("B answers after the fix", loops[b].failures(end - 0.4, end) == 0)


def remembered_logins(env, ports):
    port = ports["main"]
    size = 48 << 20
    data = os.urandom(1 << 20) * 48
    env.write("www/big.GET.bin", data)
    before = [l for l in trace_lines(env) if l[0] in (TRC_HOST_REBUILT, TRC_HOST_UNCHANGED)]

    want = hashlib.sha256(data).hexdigest()
    downloads = []  # (status, bytes, whole) of each download, back to back until the logins end
    started = threading.Event()
    done = threading.Event()

    def download():
        while True:
            try:
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
                conn.request("GET", "/big")
                reply = conn.getresponse()
                got, received = hashlib.sha256(), 0
                while True:
                    chunk = reply.read(64 * 1024)
                    if not chunk:
                        break
                    got.update(chunk)
                    received += len(chunk)
                    started.set()
                    time.sleep(0.01)  # paced, so that a download spans many logins
                conn.close()
                downloads.append((reply.status, received, received == size and got.hexdigest() == want))
            except (OSError, http.client.HTTPException) as e:
                downloads.append((repr(e), 0, False))
            started.set()
            if done.is_set():
                return

    reader = threading.Thread(target=download, daemon=True)
    reader.start()
    started.wait(60)
    # Each remembered login writes alice's "Cookie"; the sign-out after it
    # deletes it again, so that the next login writes it anew.
    statuses, outs = [], []
    for i in range(100):
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        c.request("POST", "/login", body="user=alice&password=pw&remember=on", headers=FORM)
        r = c.getresponse()
        r.read()
        cookie = wb.cookie_of(r.getheaders())
        statuses.append((r.status, cookie))
        c.close()
        if i < 99:
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
            c.request("POST", "/login", body="action=logout", headers=dict(FORM, Cookie=cookie))
            r = c.getresponse()
            r.read()
            outs.append(r.status)
            c.close()
    done.set()
    reader.join(120)
    wb.check("100 remembered logins are signed in and out",
             all(s == 303 and v.startswith("sid=") for s, v in statuses) and all(s == 303 for s in outs), statuses[:3])
    wb.check("downloads in progress all through the logins are not cut",
             downloads and all(status == 200 and whole for status, _, whole in downloads),
             [(s, n) for s, n, _ in downloads])
    stored = env.run([env.args.vnreg, "query", wb.HOSTS + "\\127.0.0.1\\Users\\alice", "/v", "Cookie"])
    wb.check("a remembered login writes its user's Cookie", stored.returncode == 0, stored.stdout + stored.stderr)
    time.sleep(1.0)  # the host watch's settle time, so that every write was looked at
    after = [l for l in trace_lines(env) if l[0] in (TRC_HOST_REBUILT, TRC_HOST_UNCHANGED)][len(before):]
    main_host = re.compile(rb"127\.0\.0\.1(?![0-9])")  # not 127.0.0.11 and the like
    rebuilt = [l for l in after if l[0] == TRC_HOST_REBUILT and main_host.search(l[1])]
    kept = [l for l in after if l[0] == TRC_HOST_UNCHANGED and main_host.search(l[1])]
    wb.check("no login rebuilt the host", not rebuilt and kept, (len(rebuilt), len(kept)))


def main():
    parser = wb.program_arguments()
    env = wb.Env(parser.parse_args())
    ports = {name: wb.free_port() for name in ("main", "secure", "moved", "extra", "a", "b", "c", "named", "x",
                                               "held")}
    name = hosts_file_name()
    added = None
    if name is None:
        # No loopback name in /etc/hosts: one is added for the run (as root) and taken out again.
        original = open("/etc/hosts").read()
        with open("/etc/hosts", "a") as f:
            f.write("\n127.0.0.1 %s\n" % ADDED_NAME)
        added, name = original, ADDED_NAME
    holder = socket.socket()
    try:
        wb.configure(env, ports)
        env.write("www2/second.GET.htm", "second")
        host(env, "127.0.0.11", ports["a"])
        host(env, "127.0.0.12", ports["b"])
        host(env, name, ports["named"])
        host(env, UNRESOLVABLE, ports["x"])
        holder.bind(("127.0.0.14", ports["held"]))
        holder.listen(1)
        host(env, "127.0.0.14", ports["held"])
        if not wb.check("running", wb.start(env), env.query()):
            return 1
        wb.check("the configured hosts listen", wb.wait_until(lambda: wb.listening(ports["main"])))
        named_hosts(env, ports, name)
        come_and_go(env, ports)
        remembered_logins(env, ports)
        wb.check("still RUNNING", env.query().get("STATE", "").startswith("4"), env.query())
        wb.check("stop", env.vnsc("stop", wb.SERVICE).returncode == 0)
    finally:
        holder.close()
        wb.finish(env)
        if added is not None:
            with open("/etc/hosts", "w") as f:
                f.write(added)
    return 1 if wb.failures else 0


if __name__ == "__main__":
    sys.exit(main())
