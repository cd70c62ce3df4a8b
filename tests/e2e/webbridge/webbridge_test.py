#!/usr/bin/env python3
"""webbridge_test.py - Webbridge end to end: the real program against curl, Python and openssl.

Installs Webbridge with its own "-install" into a temporary registry, starts it
through vnsc and talks to it over loopback: the exact header set of http and
https replies, OPTIONS, 405, redirects, a login location, a file, an "SQL"
handler file answered by its factory, a mapped archive file; then changes the
registry with vnreg while it runs (a port moves, the default range changes, a
host is deleted, a failing host is fixed, an "Applications" value is added,
two hosts ask for one port, a certificate is replaced), checks TLS versions
with openssl s_client, a query that never ends, and the stop. All state lives
in a temporary folder; the sample archive is the archive stand-in over a
folder mapped as drive Q:.
"""
import argparse
import http.client
import json
import os
import random
import shutil
import socket
import sqlite3
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sample_service"))
from e2e_env import ServiceEnv, check, failures  # noqa: E402,F401  (the shared folder, tools and report)
import sample_service_test as admin  # the administration pipe's client, written from the wire format

SERVICE = "Webbridge"
DISPLAY = "Vantrel HTTP Service"
HOSTS = "HKLM\\Software\\Vantrel\\" + DISPLAY + "\\Hosts"
APPLICATIONS = "HKLM\\Software\\Vantrel\\" + DISPLAY + "\\Applications"
DRIVES = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\DOS Devices"
PROVIDER_KEY = "HKLM\\Software\\Vantrel\\Corvellane\\OLEDBProvider"

COMMON = ["Server", "Accept-Ranges", "Content-Security-Policy", "X-Content-Type-Options", "X-XSS-Protection"]
SERVER = "Corvellane/7.28"
MSG_DIRECTORY_NOT_FOUND = 0xC00000C9
MSG_PORT_TAKEN = 0xC00000CF
# Generous: the machine may be busy with other builds.
LIVE_TIMEOUT = 20


def finish(env):
    """Stops the service whatever happened; keeps the folder of a failed run, removes a passed one's."""
    subprocess.run([env.args.vnsc, "stop", SERVICE], env=env.env, capture_output=True)
    if failures:
        print("FAILED:", failures)
        print("kept", env.root)
    else:
        shutil.rmtree(env.root, ignore_errors=True)


def free_port():
    """A port no socket of this machine holds, below the ephemeral range.

    A port the kernel hands out for bind(0) is one it also gives client
    sockets as their source: a client of another test, bound to 127.0.0.2,
    was seen holding a host's port when the host came to listen on it."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        low = 32768
    while True:
        port = random.randrange(max(1024, low - 12000), low)
        s = socket.socket()
        try:
            s.bind(("0.0.0.0", port))  # fails while any address holds it
            return port
        except OSError:
            continue
        finally:
            s.close()


def host_ports():
    """A free port for each host that configure() sets up."""
    return {name: free_port() for name in ("main", "secure", "moved", "extra")}


def status_kib(pid, field):
    """A KiB figure of /proc/PID/status (field "VmRSS:", "VmHWM:"), or -1."""
    try:
        with open("/proc/%s/status" % pid) as f:
            for line in f:
                if line.startswith(field):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


def listening(port, address="127.0.0.1"):
    try:
        with socket.create_connection((address, port), timeout=2):
            return True
    except OSError:
        return False


def wait_until(condition, seconds=LIVE_TIMEOUT):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


class Env(ServiceEnv):
    def __init__(self, args):
        super().__init__("vn-e2e-webbridge-", ("keys", "www", "www2", "archive/Media", "certs"))
        self.args = args
        self.vnsc_program = args.vnsc
        self.vnreg_program = args.vnreg
        self.env["VANTREL_KEYSTORE_DIR"] = os.path.join(self.root, "keys")
        self.env["VANTREL_ARCHIVE_EVENTS"] = os.path.join(self.root, "logs")

    def write(self, name, data):
        mode = "wb" if isinstance(data, bytes) else "w"
        with open(self.path(name), mode) as f:
            f.write(data)
        return self.path(name)

    def set_value(self, key, name, kind, data):
        self.vnreg("add", key, "/v", name, "/t", kind, "/d", str(data), "/f")

    def delete_value(self, key, name):
        self.vnreg("delete", key, "/v", name, "/f")

    def query(self):
        return self.service_query(SERVICE) or {}

    def events(self):
        return self.event_log(DISPLAY)

    def events_with(self, message_id):
        return [e for e in self.events() if e["id"] == message_id]


def request(port, method, path, headers=None, body=None, https=False, address="127.0.0.1"):
    """One request; the reply's status, headers in order and body."""
    if https:
        import ssl
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        conn = http.client.HTTPSConnection("localhost", port, timeout=30, context=context)
    else:
        conn = http.client.HTTPConnection(address, port, timeout=30)
    conn.request(method, path, body=body, headers=headers or {})
    reply = conn.getresponse()
    data = reply.read()
    result = (reply.status, reply.getheaders(), data)
    conn.close()
    return result


def names(headers):
    return [n for n, _ in headers]


def header(headers, name):
    for n, v in headers:
        if n.lower() == name.lower():
            return v
    return None


def cookie_of(headers):
    value = header(headers, "Set-Cookie") or ""
    return value.split(";")[0]


# --- set-up ---

def make_certificate(env, name, common_name):
    cert, key = env.path("certs", name + ".pem"), env.path("certs", name + ".key")
    result = env.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                      "-days", "2", "-subj", "/CN=" + common_name])
    if result.returncode != 0:
        raise RuntimeError(result.stderr)
    return cert, key


def configure(env, ports):
    # The archive stand-in, the OLE DB provider over a sample database.
    for library in (env.args.archive, env.args.provider, env.args.data_init):
        result = env.run([env.args.vnregsvr, "/s", library])
        check("registers " + os.path.basename(library), result.returncode == 0, result.stdout + result.stderr)
    database = env.path("sample.db")
    with sqlite3.connect(database) as db:
        db.execute("CREATE TABLE clips (name TEXT)")
        db.executemany("INSERT INTO clips VALUES (?)", [("harbour",), ("lighthouse",)])
    env.set_value(PROVIDER_KEY, "Database", "REG_SZ", database)
    env.set_value(DRIVES, "Q:", "REG_SZ", env.path("archive"))
    env.write("archive/Media/clip.bin", bytes(range(256)) * 4)

    env.write("www/index.GET.htm", "<p>index</p>")
    env.write("www/clips.GET.SQL", "SELECT name FROM clips ORDER BY name")
    env.write("www/forever.GET.SQL",
              "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c")
    env.write("www/find.GET.SEARCH", "SEARCH-SETTINGS-TEXT")
    env.write("www/echo.POST.SQL", "SELECT :Registry$Color AS color, :Extra AS extra")
    env.write("www2/second.GET.htm", "second")

    main = HOSTS + "\\127.0.0.1"
    env.set_value(main, "Protocol", "REG_SZ", "http")
    env.set_value(main, "Port", "REG_DWORD", ports["main"])
    env.set_value(main, "Anon Root", "REG_SZ", env.path("www"))
    env.set_value(main, "User Root", "REG_SZ", env.path("www"))
    env.set_value(main, "/media", "REG_SZ", "Q:\\Media")
    env.set_value(main, "Query Timeout", "REG_DWORD", 3)
    env.set_value(main, "Color", "REG_SZ", "blue")
    env.set_value(main + "\\Locations\\/login", "Handler", "REG_SZ", "Authenticate")
    env.set_value(main + "\\Locations\\/login", "Auth Cookie", "REG_SZ", "sid")
    env.set_value(main + "\\Users\\alice", "Password", "REG_SZ", "pw")

    secure = HOSTS + "\\localhost"
    cert, key = make_certificate(env, "first", "first.example")
    env.set_value(secure, "Protocol", "REG_SZ", "https")
    env.set_value(secure, "Port", "REG_SZ", str(ports["secure"]))
    env.set_value(secure, "Unlicensed Root", "REG_SZ", env.path("www2"))
    env.set_value(secure, "Certificate File", "REG_SZ", cert)
    env.set_value(secure, "Key File", "REG_SZ", key)
    # The shared key must exist when the service starts, to be watched.
    env.set_value(APPLICATIONS, "Shared", "REG_SZ", "yes")


def start(env, launcher=()):
    """Installs and starts the service; launcher (e.g. prlimit and its options) runs vnsc start."""
    result = env.run([env.args.program, "-install"])
    check("install exits 0", result.returncode == 0, result.stderr)
    source = env.run([env.args.vnreg, "query", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + DISPLAY + "\\"
                      + DISPLAY, "/v", "EventMessageFile"])
    check("install registers the event source", source.returncode == 0 and "EvtWebbridge.msg" in source.stdout,
          source.stdout + source.stderr)
    check("start", env.run(list(launcher) + [env.args.vnsc, "start", SERVICE]).returncode == 0)
    return wait_until(lambda: env.query().get("STATE", "").startswith("4"))


# --- the cases ---

def headers_http(env, ports):
    status, headers, body = request(ports["main"], "GET", "/index")
    check("a file under the root", status == 200 and body == b"<p>index</p>", (status, body))
    want = set(h.lower() for h in COMMON)
    have = set(n.lower() for n in names(headers)) - {"content-type", "transfer-encoding", "content-length"}
    check("http: exactly the common headers", have == want, names(headers))
    check("http: no Strict-Transport-Security", header(headers, "Strict-Transport-Security") is None)
    check("http: Server value", header(headers, "Server") == SERVER, header(headers, "Server"))
    check("http: security header values",
          header(headers, "Content-Security-Policy") == "frame-ancestors 'self'"
          and header(headers, "X-Content-Type-Options") == "nosniff" and header(headers, "X-XSS-Protection") == "0"
          and header(headers, "Accept-Ranges") == "bytes", headers)


def resident_kib(pid):
    with open("/proc/%s/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def status_of(sock):
    """The status code of the first reply on sock, or None when it closed without one."""
    sock.settimeout(30)
    data = b""
    try:
        while b"\r\n" not in data:
            chunk = sock.recv(4096)
            if not chunk:
                break
            data += chunk
    except OSError:
        pass
    parts = data.split(b" ", 2)
    return int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else None


# The limits a public server needs, from outside: the service's memory stays
# near its baseline and a normal request still answers.
def limits(env, ports):
    pid = env.query().get("PID")
    port = ports["main"]
    request(port, "GET", "/index")
    baseline = resident_kib(pid)

    sock = socket.create_connection(("127.0.0.1", port))
    try:
        sock.sendall(b"GET /index HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * (1 << 20))
    except OSError:
        pass  # the server may close before the whole header is sent
    check("limits: a 1 MiB unterminated header is answered 431", status_of(sock) == 431)
    sock.close()

    sock = socket.create_connection(("127.0.0.1", port))
    sock.sendall(b"POST /index HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                 b"Content-Length: 314572800\r\n\r\n" + b"a" * 65536)
    check("limits: a 300 MiB POST is answered 413 before its body", status_of(sock) == 413)
    sock.close()

    idle = []
    for _ in range(500):
        idle.append(socket.create_connection(("127.0.0.1", port)))
    slow = socket.create_connection(("127.0.0.1", port))
    slow.sendall(b"GET /index HT")
    status, _, body = request(port, "GET", "/index")
    check("limits: a GET answers beside 500 idle connections and a slow header", status == 200, status)
    grown = resident_kib(pid) - baseline
    check("limits: memory within 16 MiB of its baseline", grown < 16 * 1024, "%d KiB more" % grown)
    for s in idle + [slow]:
        s.close()


def options_and_other(env, ports):
    result = env.run(["curl", "-s", "-i", "-X", "OPTIONS", "--request-target", "*",
                      "http://127.0.0.1:%d" % ports["main"]])
    lines = [l.rstrip("\r") for l in result.stdout.split("\n") if l.strip()]
    check("OPTIONS * answers 200", lines and lines[0].endswith("200 OK"), lines)
    check("OPTIONS * allows GET, POST", "Allow: GET, POST" in lines, lines)
    cases = [
        # (name, method, path, status, Allow)
        ("OPTIONS on the login location", "OPTIONS", "/login", 200, "GET, POST"),
        ("OPTIONS on a file", "OPTIONS", "/index", 200, "GET"),
        ("DELETE is refused", "DELETE", "/index", 405, "GET"),
        ("PUT is refused", "PUT", "/index", 405, "GET"),
    ]
    for name, method, path, want_status, allow in cases:
        status, headers, _ = request(ports["main"], method, path)
        check(name + ": status", status == want_status, status)
        check(name + ": Allow", header(headers, "Allow") == allow, headers)
        extra = set(n.lower() for n in names(headers)) - {"allow", "server", "content-length"}
        check(name + ": only Allow and Server", not extra and header(headers, "Server") == SERVER, headers)


def redirects_and_login(env, ports):
    base = "http://127.0.0.1:%d" % ports["main"]
    # No login page at "/": it must answer 404, never send "/" to itself.
    result = env.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code} %{num_redirects}", "-L",
                      "--max-redirs", "5", base + "/"])
    check("curl -L on / does not loop", result.returncode == 0 and result.stdout == "404 0",
          (result.returncode, result.stdout))
    result = env.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code} %{num_redirects}", "-L",
                      "--max-redirs", "5", base + "/nothing-here"])
    check("curl -L on a missing page ends after one redirect", result.returncode == 0 and result.stdout == "404 1",
          (result.returncode, result.stdout))

    status, headers, _ = request(ports["main"], "GET", "/nothing-here")
    check("no cookie: a miss goes to the login page", status == 303 and header(headers, "Location") == "/",
          (status, headers))
    status, headers, _ = request(ports["main"], "GET", "/nothing-here", {"Cookie": "sid=0123456789ABCDEF"})
    check("a stale cookie: a miss goes to the login page", status == 303 and header(headers, "Location") == "/",
          (status, headers))
    status, headers, _ = request(ports["main"], "POST", "/nothing-here", {"Content-Type": "text/plain"}, "x")
    check("a POST that finds nothing is 404", status == 404, status)

    form = {"Content-Type": "application/x-www-form-urlencoded"}
    status, headers, _ = request(ports["main"], "POST", "/login", form, "user=alice&password=pw")
    session = cookie_of(headers)
    check("login through the location", status == 303 and session.startswith("sid="), (status, headers))
    for n in COMMON:
        check("POST reply carries " + n, header(headers, n) is not None, headers)
    status, headers, _ = request(ports["main"], "GET", "/nothing-here", {"Cookie": session})
    check("a logged-in miss is 404", status == 404, status)
    status, headers, _ = request(ports["main"], "POST", "/login", form, "user=alice&password=wrong")
    check("a wrong password is refused", status == 401, status)
    return session


def handler_file(env, ports):
    status, headers, body = request(ports["main"], "GET", "/clips", {"Accept": "application/json"})
    text = body.decode("utf-8", "replace")
    check("an SQL handler file is answered by its factory",
          status == 200 and "harbour" in text and "lighthouse" in text and "SELECT" not in text, (status, text))
    check("a query reply is not cached", header(headers, "Cache-Control") == "no-store", headers)
    # No search index is set up here: what matters is that the SEARCH
    # factory, not the static file server, takes the file.
    status, headers, body = request(ports["main"], "GET", "/find", {"Accept": "application/json"})
    check("a SEARCH handler file is answered by its factory", status == 500 and b"SEARCH-SETTINGS-TEXT" not in body
          and wait_until(lambda: len(env.events_with(0xC0000A28)) > 0), (status, headers, body[:200]))


def form_fields(env, ports):
    form = {"Content-Type": "application/x-www-form-urlencoded", "Accept": "application/json"}
    status, _, body = request(ports["main"], "POST", "/echo", form, "Registry%24Color=red&Extra=50%2541%2B+x")
    text = body.decode("utf-8", "replace")
    check("a configured parameter wins over a form field", status == 200 and "blue" in text and "red" not in text,
          (status, text))
    check("a form field is decoded once", "50%41+ x" in text, text)
    status, headers, _ = request(ports["main"], "POST", "/echo", form, "Extra=%zz")
    check("a malformed form is 400 with the common headers", status == 400 and header(headers, "Server") == SERVER,
          (status, headers))
    status, _, body = request(ports["main"], "POST", "/echo", {"Content-Type": "text/plain", "Accept": "application/json"},
                              "Extra=plain")
    check("a body of another type gives no form fields", status == 200 and "plain" not in body.decode(), (status, body))


def trace_lines(env, ports):
    request(ports["main"], "GET", "/index?x=1",
            {"Cookie": "sid=SECRETCOOKIE", "Authorization": "Basic SECRETAUTH", "X-Probe": "visible"})
    request(ports["main"], "DELETE", "/index")
    admin.SERVICE = SERVICE
    sock = admin.open_admin_pipe(env)
    first, lines, deadline = 0, [], time.monotonic() + LIVE_TIMEOUT
    probe = b"X-Probe{visible}"  # the trace stores this text one byte a character
    while time.monotonic() < deadline:
        next_line, records = admin.read_lines(sock, first)
        lines += records
        first = next_line
        if any(r[1] == 0xC00100CF for r in lines) and any(probe in r[3] for r in lines):
            break
    sock.close()
    requests = [r[3] for r in lines if r[1] == 0x000100CC and probe in r[3]]
    check("the request line is traced", len(requests) == 1, len(requests))
    text = requests[0].decode("latin-1") if requests else ""
    check("the request line holds version, method, path and query", "1.1 GET /index?x=1 headers{" in text, text)
    check("the request line hides Cookie and Authorization values",
          "SECRET" not in text and "Cookie{*}" in text and "Authorization{*}" in text, text)
    check("a refused method is traced", any(r[1] == 0xC00100CF for r in lines))


def mapped_file(env, ports, session):
    status, headers, body = request(ports["main"], "GET", "/media/clip.bin", {"Cookie": session, "Range": "bytes=0-"})
    check("a mapped archive file", status in (200, 206) and body[:4] == bytes([0, 1, 2, 3]), (status, headers))
    return status, headers, body


def query_timeout(env, ports):
    started = time.monotonic()
    status, headers, _ = request(ports["main"], "GET", "/forever", {"Accept": "application/json"})
    check("a query that never ends is answered 503 after the query timeout", status == 503, status)
    check("the timed-out reply carries the common headers", header(headers, "Server") == SERVER, headers)
    return time.monotonic() - started


def https_host(env, ports):
    status, headers, body = request(ports["secure"], "GET", "/second", https=True)
    check("https: a file", status == 200 and body == b"second", (status, body))
    want = set(h.lower() for h in COMMON + ["Strict-Transport-Security"])
    have = set(n.lower() for n in names(headers)) - {"content-type", "transfer-encoding", "content-length"}
    check("https: exactly the common headers and HSTS", have == want, names(headers))
    check("https: HSTS value", header(headers, "Strict-Transport-Security") == "max-age=86400", headers)


def s_client(env, port, version):
    """Whether a handshake with only that version succeeds, and the peer certificate's subject."""
    argv = ["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, "-servername", "localhost", version]
    if version in ("-tls1", "-tls1_1"):
        argv += ["-cipher", "DEFAULT@SECLEVEL=0"]
    result = subprocess.run(argv, input="", capture_output=True, text=True, timeout=30, env=env.env)
    subject = ""
    for line in result.stdout.splitlines():
        if line.startswith("subject="):
            subject = line
    return result.returncode == 0 and "Cipher is (NONE)" not in result.stdout and subject != "", subject


def tls_versions(env, ports):
    for version, accepted in (("-tls1_1", False), ("-tls1_2", True), ("-tls1_3", True)):
        ok, _ = s_client(env, ports["secure"], version)
        check("TLS %s %s" % (version, "accepted" if accepted else "refused"), ok == accepted, ok)


def live_changes(env, ports):
    main = HOSTS + "\\127.0.0.1"
    # The port moves.
    env.set_value(main, "Port", "REG_DWORD", ports["moved"])
    check("the port moves", wait_until(lambda: listening(ports["moved"])))
    closed = wait_until(lambda: not listening(ports["main"]))
    # What still listens is looked up only when the check fails.
    check("the old port closes", closed,
          "" if closed else subprocess.run(["ss", "-ltnp"], capture_output=True, text=True).stdout)
    ports["main"] = ports["moved"]

    # A failing host (its root is missing) comes back when fixed.
    broken = HOSTS + "\\127.0.0.2"
    env.set_value(broken, "Protocol", "REG_SZ", "http")
    env.set_value(broken, "Port", "REG_DWORD", ports["extra"])
    env.set_value(broken, "Unlicensed Root", "REG_SZ", env.path("no-such-folder"))
    check("a failing host is an event", wait_until(lambda: any(
        e["strings"][-1:] == ["127.0.0.2"] for e in env.events_with(MSG_DIRECTORY_NOT_FOUND))),
          env.events()[-3:])
    check("a failing host does not listen", not listening(ports["extra"], "127.0.0.2"))
    env.set_value(broken, "Unlicensed Root", "REG_SZ", env.path("www2"))
    check("the failed host listens once fixed", wait_until(lambda: listening(ports["extra"], "127.0.0.2")))

    # A second host on a port another host holds: refused with an event, the other stays.
    env.set_value(broken, "Port", "REG_DWORD", ports["main"])
    check("a second host on a taken port is an event", wait_until(lambda: len(env.events_with(MSG_PORT_TAKEN)) > 0),
          env.events()[-3:])
    status, _, body = request(ports["main"], "GET", "/index")
    check("the host holding the port still answers", status == 200 and body == b"<p>index</p>", status)

    # A deleted host closes its port.
    env.set_value(broken, "Port", "REG_DWORD", ports["extra"])
    check("the moved-back host listens", wait_until(lambda: listening(ports["extra"], "127.0.0.2")))
    env.vnreg("delete", broken, "/f")
    check("a deleted host closes its port", wait_until(lambda: not listening(ports["extra"], "127.0.0.2")))

    # An "Applications" value reaches every host: a host without a root of
    # its own starts to listen when the shared key gives it one.
    rootless = HOSTS + "\\127.0.0.3"
    env.set_value(rootless, "Protocol", "REG_SZ", "http")
    env.set_value(rootless, "Port", "REG_DWORD", ports["extra"])
    time.sleep(0.5)
    check("a host without a root does not listen", not listening(ports["extra"], "127.0.0.3"))
    env.set_value(APPLICATIONS, "Unlicensed Root", "REG_SZ", env.path("www2"))
    check("an Applications value is applied", wait_until(lambda: listening(ports["extra"], "127.0.0.3")))
    status, _, body = request(ports["extra"], "GET", "/second", address="127.0.0.3")
    check("the shared root serves", status == 200 and body == b"second", status)
    env.delete_value(APPLICATIONS, "Unlicensed Root")
    check("without the shared root the host stops listening",
          wait_until(lambda: not listening(ports["extra"], "127.0.0.3")))


def location_change(env, ports):
    # A value of a location is applied while the service runs.
    env.set_value(HOSTS + "\\127.0.0.1\\Locations\\/login", "Auth Cookie", "REG_SZ", "ticket")
    form = {"Content-Type": "application/x-www-form-urlencoded"}

    def cookie_name():
        try:
            return cookie_of(request(ports["main"], "POST", "/login", form, "user=alice&password=pw")[1]).split("=")[0]
        except (OSError, http.client.HTTPException):
            return None

    check("a changed location value is applied", wait_until(lambda: cookie_name() == "ticket"), cookie_name())
    env.set_value(HOSTS + "\\127.0.0.1\\Locations\\/login", "Auth Cookie", "REG_SZ", "sid")
    check("and changed back", wait_until(lambda: cookie_name() == "sid"), cookie_name())


def default_range(env, ports):
    main = HOSTS + "\\127.0.0.1"
    # The host was rebuilt (its port moved), and its sessions with it.
    form = {"Content-Type": "application/x-www-form-urlencoded"}
    session = ""

    def login():
        nonlocal session
        try:
            session = cookie_of(request(ports["main"], "POST", "/login", form, "user=alice&password=pw")[1])
        except (OSError, http.client.HTTPException):
            return False
        return session != ""

    check("login after the rebuilds", wait_until(login))
    env.set_value(main, "Default Range", "REG_DWORD", 16)

    def window():
        status, headers, body = request(ports["main"], "GET", "/media/clip.bin",
                                        {"Cookie": session, "Range": "bytes=0-"})
        return status, header(headers, "Content-Range"), len(body)

    check("the default range changes in place", wait_until(lambda: window() == (206, "bytes 0-15/1024", 16)),
          window())


def new_certificate(env, ports):
    _, subject = s_client(env, ports["secure"], "-tls1_2")
    check("the first certificate is served", "first.example" in subject, subject)
    cert, key = make_certificate(env, "second", "second.example")
    secure = HOSTS + "\\localhost"
    env.set_value(secure, "Certificate File", "REG_SZ", cert)
    env.set_value(secure, "Key File", "REG_SZ", key)
    check("a new certificate is served after the change",
          wait_until(lambda: "second.example" in s_client(env, ports["secure"], "-tls1_2")[1]),
          s_client(env, ports["secure"], "-tls1_2"))


def stop_while_a_query_hangs(env, ports):
    # A reply waiting for a query that never ends must not hold the stop.
    conn = http.client.HTTPConnection("127.0.0.1", ports["main"], timeout=60)
    conn.request("GET", "/forever", headers={"Accept": "application/json"})
    time.sleep(0.5)
    result = env.vnsc("stop", SERVICE)
    check("stop while a query hangs", result.returncode == 0, result.stderr)
    check("stopped", wait_until(lambda: env.query().get("STATE", "").startswith("1"), 60), env.query())
    check("stopped with exit code 0", env.query().get("WIN32_EXIT_CODE") == "0", env.query())
    try:
        status = conn.getresponse().status
    except OSError:
        status = None
    check("the hanging request was answered or closed", status in (503, None), status)


def raw_exchange(port, data, https=False, keep=False):
    """Sends data on a raw socket; (status line, headers lower-cased as lists, body, closed) of the reply.
    keep: read the body by Content-Length and then look whether the server closed."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=30)
    if https:
        import ssl
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        sock = context.wrap_socket(sock, server_hostname="localhost")
    sock.sendall(data)
    received = b""
    while b"\r\n\r\n" not in received:
        chunk = sock.recv(65536)
        if not chunk:
            break
        received += chunk
    head, _, body = received.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers.setdefault(name.strip().lower(), []).append(value.strip())
    closed = False
    if keep and "content-length" in headers:
        while len(body) < int(headers["content-length"][0]):
            chunk = sock.recv(65536)
            if not chunk:
                break
            body += chunk
        sock.settimeout(1.0)
        try:
            closed = sock.recv(1) == b""
        except (socket.timeout, OSError):
            closed = False
    else:
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                closed = True
                break
            body += chunk
    sock.close()
    return lines[0], headers, body, closed


def backend_ports(pid, public):
    """The loopback ports the service listens on besides its public ones: the listeners behind the fronts."""
    result = subprocess.run(["ss", "-ltnpH"], capture_output=True, text=True)
    ports = []
    for line in result.stdout.splitlines():
        if "pid=%s," % pid not in line:
            continue
        local = line.split()[3]
        address, _, port = local.rpartition(":")
        if address == "127.0.0.1" and int(port) not in public:
            ports.append(int(port))
    return ports


# HTTP/1.0 framing, method names and who the listener believes, on the wire.
def wire(env, ports):
    port = ports["main"]
    for name, data, https, target in [
            ("http", b"GET /index HTTP/1.0\r\n\r\n", False, port),
            ("http keep-alive asked", b"GET /index HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", False, port),
            ("https", b"GET /second HTTP/1.0\r\n\r\n", True, ports["secure"])]:
        status, headers, body, closed = raw_exchange(target, data, https=https, keep="keep-alive" in name)
        want = b"second" if https else b"<p>index</p>"
        check("HTTP/1.0 " + name + ": answered", status.endswith("200 OK") and body == want, (status, body))
        check("HTTP/1.0 " + name + ": not chunked", "transfer-encoding" not in headers, headers)
        sized = "content-length" in headers
        stays = [v.lower() for v in headers.get("connection", [])] == ["keep-alive"]
        check("HTTP/1.0 " + name + ": sized and kept only when asked, else closed",
              closed != (sized and stays and "keep-alive" in name), (headers, closed))

    for method in ("get", "Get", "gEt", "post", "head"):
        status, _, _, _ = raw_exchange(port, method.encode() + b" /index HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        check("method %s is not %s" % (method, method.upper()), status.split(" ")[1] in ("501", "405"), status)
    status, _, _, _ = raw_exchange(port, b"GET /index HTTP/1.1\r\nHost: x\r\nX-Vantrel-Front: guess\r\n"
                                         b"Connection: close\r\n\r\n")
    check("a guessed front header through the front is replaced", status.endswith("200 OK"), status)

    pid = env.query().get("PID")
    behind = backend_ports(pid, set(ports.values()))
    check("the listeners behind the fronts are found", len(behind) >= 2, behind)
    forged = (b"GET /index HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Vantrel-Peer: 203.0.113.7:443;proto=https\r\n"
              b"X-Vantrel-Front: 0123456789abcdef0123456789abcdef0123456789abcdef\r\nConnection: close\r\n\r\n")
    for backend in behind:
        status, _, body, _ = raw_exchange(backend, forged)
        check("a forged peer straight to the listener is refused", status.split(" ")[1] == "403", (status, body))


PROGRAMS = ("program", "vnsc", "vnreg", "vnregsvr", "archive", "provider", "data-init")


def program_arguments(extra=()):
    """A parser of the programs' paths that every Webbridge test and bench is given, and extra ones."""
    parser = argparse.ArgumentParser()
    for name in PROGRAMS + tuple(extra):
        parser.add_argument("--" + name, required=True)
    return parser


def main():
    parser = program_arguments()
    env = Env(parser.parse_args())
    ports = host_ports()
    try:
        configure(env, ports)
        if not check("running", start(env), env.query()):
            return 1
        check("both hosts listen", wait_until(lambda: listening(ports["main"]) and listening(ports["secure"])))
        headers_http(env, ports)
        wire(env, ports)
        limits(env, ports)
        options_and_other(env, ports)
        session = redirects_and_login(env, ports)
        handler_file(env, ports)
        form_fields(env, ports)
        trace_lines(env, ports)
        mapped_file(env, ports, session)
        query_timeout(env, ports)
        https_host(env, ports)
        tls_versions(env, ports)
        live_changes(env, ports)
        location_change(env, ports)
        default_range(env, ports)
        new_certificate(env, ports)
        stop_while_a_query_hangs(env, ports)
        log = env.path("logs", SERVICE + ".log")
        text = open(log, errors="replace").read() if os.path.exists(log) else ""
        check("the service's output holds no sanitizer report",
              not any(w in text for w in ("Sanitizer", "runtime error:")), text[-2000:])
    finally:
        finish(env)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
