#!/usr/bin/env python3
"""webbridge_sessions_test.py - sessions that end, logins under a flood, and lists of ranges, on the running Webbridge.

On the hosts webbridge_test.py configures (the login location "/login" with
cookie "sid", user alice):
- a sign-out ends the session it carries: the old sid answers no longer;
  a second login is a new sid and leaves the first valid;
- two remembered logins are two sids; signing out of one deletes the user's
  "Cookie" value and neither answers again;
- 8 threads of wrong passwords from 127.0.0.2 (one user, then ever new
  names) while alice logs in from 127.0.0.1: each genuine login succeeds
  within 2 s;
- "Range: bytes=0-1,2-3" and friends on a static and a mapped archive file:
  multipart/byteranges read with Python's email parser and curl, each part
  checked against the file.
"""
import email
import email.policy
import http.client
import os
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import webbridge_test as wb  # the environment, the host set-up, the request helpers

FORM = {"Content-Type": "application/x-www-form-urlencoded"}
GENUINE_BOUND = 2.0  # seconds, the bound the fault named; the flood must leave room within it


def post(port, form, headers=None, source="127.0.0.1"):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30, source_address=(source, 0))
    conn.request("POST", "/login", body=form, headers=dict(FORM, **(headers or {})))
    reply = conn.getresponse()
    reply.read()
    result = (reply.status, reply.getheaders())
    conn.close()
    return result


def login(port, remember=False, source="127.0.0.1"):
    status, headers = post(port, "user=alice&password=pw" + ("&remember=on" if remember else ""), source=source)
    return status, wb.cookie_of(headers)


def level(port, cookie):
    """200 for a signed-in user's GET of a miss is 404; an unknown session is sent to "/" (303)."""
    return wb.request(port, "GET", "/nothing-here", {"Cookie": cookie})[0]


def sign_out(port, cookie):
    return post(port, "action=logout", {"Cookie": cookie})[0]


def sessions(env, ports):
    port = ports["main"]
    status, first = login(port)
    _, second = login(port)
    wb.check("sessions: each login a new sid", status == 303 and first and second and first != second, (first, second))
    wb.check("sessions: both are signed in", level(port, first) == 404 and level(port, second) == 404)
    wb.check("sessions: sign-out answers 303", sign_out(port, first) == 303)
    wb.check("sessions: the signed-out sid answers no longer", level(port, first) == 303)
    wb.check("sessions: the other login's sid stays", level(port, second) == 404)

    _, one = login(port, remember=True)
    _, two = login(port, remember=True)
    wb.check("remembered: two logins, two sids", one and two and one != two, (one, two))
    user = wb.HOSTS + "\\127.0.0.1\\Users\\alice"
    stored = env.run([env.args.vnreg, "query", user, "/v", "Cookie"])
    wb.check("remembered: the secret is stored", stored.returncode == 0 and one.split("=")[1] not in stored.stdout,
             stored.stdout)
    wb.check("remembered: both signed in", level(port, one) == 404 and level(port, two) == 404)
    wb.check("remembered: sign-out of one", sign_out(port, one) == 303)
    gone = env.run([env.args.vnreg, "query", user, "/v", "Cookie"])
    wb.check("remembered: the Cookie value is deleted", gone.returncode != 0, gone.stdout)
    wb.check("remembered: neither sid answers again", level(port, one) == 303 and level(port, two) == 303)
    wb.check("remembered: a plain session of the user stays", level(port, second) == 404)


def flood(env, ports, names):
    port = ports["main"]
    stop = threading.Event()
    counts = {}
    lock = threading.Lock()

    def worker(n):
        i = 0
        while not stop.is_set():
            i += 1
            user = "alice" if names == "one user" else "nobody%d-%d" % (n, i)
            try:
                status = post(port, "user=%s&password=wrong%d" % (user, i), source="127.0.0.2")[0]
            except (OSError, http.client.HTTPException):
                status = "error"
            with lock:
                counts[status] = counts.get(status, 0) + 1

    # The same login with no flood, for a machine too loaded to hash in 2 s.
    started = time.monotonic()
    login(port, source="127.0.0.1")
    bound = max(GENUINE_BOUND, 3 * (time.monotonic() - started))
    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    times = []
    try:
        time.sleep(2)
        for _ in range(5):
            started = time.monotonic()
            status, cookie = login(port, source="127.0.0.1")
            while status != 303 and time.monotonic() - started < 30:
                status, cookie = login(port, source="127.0.0.1")
            times.append(time.monotonic() - started)
            time.sleep(0.5)
    finally:
        stop.set()
        for t in threads:
            t.join()
    print("flood (%s): genuine logins took %s s; the flood was answered %s" %
          (names, ", ".join("%.2f" % t for t in times), counts), flush=True)
    wb.check("flood (%s): every genuine login from another address within %.1f s" % (names, bound),
             all(t < bound for t in times), times)
    refused = 429 if names == "one user" else 503
    wb.check("flood (%s): the flood was answered %d" % (names, refused), counts.get(refused, 0) > 0, counts)


def multipart(body, content_type):
    message = email.message_from_bytes(("Content-Type: %s\r\n\r\n" % content_type).encode() + body,
                                       policy=email.policy.HTTP)
    parts = []
    for part in message.iter_parts():
        unit, rest = part["Content-Range"].split(" ")
        span, size = rest.split("/")
        a, b = map(int, span.split("-"))
        parts.append((a, b, int(size), part.get_payload(decode=True)))
    return parts


def ranges(env, ports, session):
    port = ports["main"]
    files = [("static", "/index", open(env.path("www", "index.GET.htm"), "rb").read(), {}),
             ("mapped", "/media/clip.bin", bytes(range(256)) * 4, {"Cookie": session})]
    for name, path, data, headers in files:
        for header, want in (("bytes=0-1,2-3", [(0, 1), (2, 3)]), ("bytes=5-,0-2,1-3", [(5, len(data) - 1), (0, 3)])):
            status, reply, body = wb.request(port, "GET", path, dict(headers, Range=header))
            kind = wb.header(reply, "Content-Type") or ""
            parts = multipart(body, kind) if kind.startswith("multipart/byteranges; boundary=") else []
            wb.check("%s %s: 206 multipart/byteranges" % (name, header), status == 206 and parts, (status, reply))
            wb.check("%s %s: Content-Length is the body" % (name, header),
                     wb.header(reply, "Content-Length") == str(len(body)), reply)
            wb.check("%s %s: each part's range and bytes" % (name, header),
                     [(a, b) for a, b, _, _ in parts] == want
                     and all(size == len(data) and chunk == data[a:b + 1] for a, b, size, chunk in parts), parts)
        many = ",".join("%d-%d" % (i, i) for i in range(0, 34, 2))
        status, _, body = wb.request(port, "GET", path, dict(headers, Range="bytes=" + many))
        wb.check("%s: 17 ranges get the whole file" % name, status == 200 and body == data, status)
        argv = ["curl", "-s", "-D", "-", "-r", "0-1,2-3", "http://127.0.0.1:%d%s" % (port, path)]
        if "Cookie" in headers:
            argv += ["-H", "Cookie: " + headers["Cookie"]]
        out = subprocess.run(argv, capture_output=True).stdout
        head, _, body = out.partition(b"\r\n\r\n")
        kind = [l.split(b":", 1)[1].strip().decode() for l in head.split(b"\r\n") if l.lower().startswith(b"content-type:")]
        parts = multipart(body, kind[0]) if kind else []
        wb.check("%s: curl reads the same parts" % name, [(a, b, c) for a, b, _, c in parts] == [(0, 1, data[0:2]), (2, 3, data[2:4])],
                 out[:300])


def main():
    parser = wb.program_arguments()
    env = wb.Env(parser.parse_args())
    ports = wb.host_ports()
    try:
        wb.configure(env, ports)
        if not wb.check("running", wb.start(env), env.query()):
            return 1
        wb.check("the host listens", wb.wait_until(lambda: wb.listening(ports["main"])))
        sessions(env, ports)
        flood(env, ports, "one user")
        flood(env, ports, "ever new names")
        status, session = login(ports["main"])
        ranges(env, ports, session)
        wb.check("stop", env.vnsc("stop", wb.SERVICE).returncode == 0)
    finally:
        wb.finish(env)
    return 1 if wb.failures else 0


if __name__ == "__main__":
    sys.exit(main())
