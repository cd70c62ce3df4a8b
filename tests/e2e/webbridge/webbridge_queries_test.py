#!/usr/bin/env python3
"""webbridge_queries_test.py - the SQL handler under misuse, load and odd data, on the running program.

On the hosts webbridge_test.py configures ("Query Timeout" 3):
- reserved names sent as query parameters and as form fields (GET and POST)
  never reach a binding;
- 50 slow queries at once are each answered 503 within 4 s while a
  SELECT 1 handler answers 200 within 1 s, their threads are freed (the
  next slow queries are answered 503 again, not refused for want of a
  thread), and the stop ends within 10 s;
- values at the edge of every old binding width (shortest doubles,
  timestamps with fractions and zones, GUID text, 2^63-1, a 1 MiB text)
  come back whole in JSON (jq), XML (xmllint) and through the XSLT
  (xsltproc); BOOL true and false from an expression column;
- column names (non-ASCII letters, astral characters, digits first,
  colons, blanks) give XML that expat parses and a stylesheet xsltproc runs;
- 6,000 slow requests whose clients go away leave RSS within 32 MiB of its
  start and the descriptors as they were, and the stop still ends in 10 s;
- INSERT ... RETURNING runs once.
"""
import json
import os
import socket
import sqlite3
import sys
import threading
import time
import xml.parsers.expat

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import webbridge_test as wb  # the environment, the host set-up, the request helpers

FORM = {"Content-Type": "application/x-www-form-urlencoded", "Accept": "application/json"}
JSON = {"Accept": "application/json"}
BIG = "x" * (1 << 20)
EDGE = [
    ("shortest double", "REAL", -1.2345678e-05),
    ("24-digit double", "REAL", -1.2345678901234567e-300),
    ("timestamp with fraction and zone", "DATETIME", "2026-12-11T06:30:35.123456789+05:30"),
    ("GUID as text", "GUID", "{6A3F2C1E-8B4D-4E7A-9C35-2F1B0D7E4A91}"),
    ("2^63-1", "BIGINT", 2 ** 63 - 1),
    ("float4 text", "REAL4", "-1.2345678e-05"),
    ("1 MiB text", "TEXT", BIG),
]
NAMES = ["naïve_😀", "1st", "a:b", "two words", "ünïcödé", "日本"]


def configure(env):
    with sqlite3.connect(env.path("sample.db")) as db:
        cols = ", ".join("c%d %s" % (i, t) for i, (_, t, _) in enumerate(EDGE))
        db.execute("CREATE TABLE edge (%s)" % cols)
        db.execute("INSERT INTO edge VALUES (%s)" % ", ".join("?" * len(EDGE)), [v for _, _, v in EDGE])
        db.execute("CREATE TABLE log (n INTEGER)")
        db.execute("CREATE TABLE flags (yes BOOL, no BOOL)")
        db.execute("INSERT INTO flags VALUES (1, 0)")
    env.write("www/edge.GET.SQL", "SELECT * FROM edge")
    env.write("www/bools.GET.SQL", "SELECT 1 = 1 AS yes, 1 = 0 AS no")
    env.write("www/boolcol.GET.SQL", "SELECT yes, no FROM flags")
    env.write("www/names.GET.SQL", "SELECT " + ", ".join("%d AS \"%s\"" % (i, n) for i, n in enumerate(NAMES)))
    env.write("www/one.GET.SQL", "SELECT 1 AS one")
    env.write("www/insert.GET.SQL", "INSERT INTO log VALUES (7) RETURNING n")
    env.write("www/reserved.GET.SQL", "SELECT :Registry$Tenant AS tenant, :Session$User AS user, :Registry$Color AS color")
    env.write("www/reserved.POST.SQL", "SELECT :Registry$Tenant AS tenant, :Session$User AS user, :Registry$Color AS color")


def get_json(port, path):
    status, _, body = wb.request(port, "GET", path, JSON)
    try:
        return status, json.loads(body)
    except ValueError:
        return status, body


def reserved_names(env, port):
    cases = [
        # (name, method, query, form)
        ("query: Registry$Tenant", "GET", "?Registry%24Tenant=evil", None),
        ("query: lower-case registry$tenant", "GET", "?registry%24tenant=evil", None),
        ("query: Session$User", "GET", "?Session%24User=evil", None),
        ("query: a configured name", "GET", "?Registry%24Color=evil", None),
        ("form: Registry$Tenant", "POST", "", "Registry%24Tenant=evil"),
        ("form: Session$User", "POST", "", "Session%24User=evil"),
        ("form: Directory$docs/sub", "POST", "", "Directory%24docs%2Fsub=evil&Registry%24Tenant=evil"),
        ("form: a configured name", "POST", "", "Registry%24Color=evil"),
    ]
    for name, method, query, form in cases:
        if method == "GET":
            status, _, body = wb.request(port, "GET", "/reserved" + query, JSON)
        else:
            status, _, body = wb.request(port, "POST", "/reserved", FORM, form)
        text = body.decode("utf-8", "replace")
        wb.check("reserved names: " + name, status == 200 and "evil" not in text and "blue" in text, (status, text))


def edge_values(env, port):
    status, rows = get_json(port, "/edge")
    ok = status == 200 and isinstance(rows, list) and len(rows) == 1
    wb.check("edge values: JSON has the row", ok, (status, str(rows)[:300]))
    if ok:
        for i, (name, _, value) in enumerate(EDGE):
            got = rows[0].get("c%d" % i)
            same = got == value or (isinstance(value, float) and isinstance(got, (int, float)) and got == value) \
                or str(got) == str(value)
            wb.check("edge values: JSON " + name, same, (str(got)[:80], str(value)[:80]))
    work = env.path("edge")
    os.makedirs(work, exist_ok=True)
    status, _, body = wb.request(port, "GET", "/edge", JSON)
    open(os.path.join(work, "edge.json"), "wb").write(body)
    jq = env.run(["jq", "-r", ".[0].c6 | length", os.path.join(work, "edge.json")])
    wb.check("edge values: jq reads the 1 MiB text whole", jq.stdout.strip() == str(len(BIG)), jq.stdout[:80])
    status, _, xml_body = wb.request(port, "GET", "/edge", {"Accept": "application/xml"})
    open(os.path.join(work, "edge.xml"), "wb").write(xml_body)
    lint = env.run(["xmllint", "--xpath", "string-length(/data/row/c6) = %d" % len(BIG), os.path.join(work, "edge.xml")])
    wb.check("edge values: xmllint reads the 1 MiB text whole", lint.stdout.strip() == "true",
             (lint.stdout[:80], lint.stderr[:200]))
    lint = env.run(["xmllint", "--xpath", "string(/data/row/c2)", os.path.join(work, "edge.xml")])
    wb.check("edge values: XML timestamp whole", lint.stdout.strip() == EDGE[2][2], lint.stdout[:80])
    status, _, xsl = wb.request(port, "GET", "/edge.xslt", {"Accept": "*/*"})
    open(os.path.join(work, "edge.xsl"), "wb").write(xsl)
    out = env.run(["xsltproc", os.path.join(work, "edge.xsl"), os.path.join(work, "edge.xml")])
    wb.check("edge values: xsltproc shows the GUID and 2^63-1",
             out.returncode == 0 and EDGE[3][2] in out.stdout and str(2 ** 63 - 1) in out.stdout,
             (out.returncode, out.stderr[:200]))


def bools_and_names(env, port):
    for path in ("/bools", "/boolcol"):
        status, rows = get_json(port, path)
        if path == "/boolcol":
            ok = status == 200 and len(rows) == 1 and rows[0]["yes"] is True and rows[0]["no"] is False
        else:
            ok = status == 200 and len(rows) == 1
        wb.check("BOOL in JSON " + path, ok, (status, rows))
    status, _, body = wb.request(port, "GET", "/boolcol", {"Accept": "application/xml"})
    wb.check("BOOL in XML", b"<yes>True</yes>" in body and b"<no>False</no>" in body, body[:300])
    status, _, body = wb.request(port, "GET", "/names", {"Accept": "application/xml"})
    parser = xml.parsers.expat.ParserCreate()
    try:
        parser.Parse(body, True)
        parsed = True
    except xml.parsers.expat.ExpatError as e:
        parsed = str(e)
    wb.check("column names: expat parses the XML", status == 200 and parsed is True, (parsed, body[:300]))
    work = env.path("names")
    os.makedirs(work, exist_ok=True)
    open(os.path.join(work, "n.xml"), "wb").write(body)
    _, _, xsl = wb.request(port, "GET", "/names.xslt", {"Accept": "*/*"})
    open(os.path.join(work, "n.xsl"), "wb").write(xsl)
    out = env.run(["xsltproc", os.path.join(work, "n.xsl"), os.path.join(work, "n.xml")])
    wb.check("column names: xsltproc runs the stylesheet", out.returncode == 0 and "<td" in out.stdout,
             (out.returncode, out.stderr[:300]))


def insert_once(env, port):
    status, rows = get_json(port, "/insert")
    with sqlite3.connect(env.path("sample.db")) as db:
        count = db.execute("SELECT count(*) FROM log").fetchone()[0]
    wb.check("INSERT ... RETURNING runs once", status == 200 and rows == [{"n": 7}] and count == 1, (status, rows, count))


def slow_queries(env, port):
    results, lock = [], threading.Lock()

    def slow():
        start = time.monotonic()
        try:
            status = wb.request(port, "GET", "/forever", JSON)[0]
        except OSError:
            status = None
        with lock:
            results.append((status, time.monotonic() - start))

    fast, stop = [], threading.Event()

    def probe():
        while not stop.is_set():
            start = time.monotonic()
            try:
                status = wb.request(port, "GET", "/one", JSON)[0]
            except OSError:
                status = None
            fast.append((status, time.monotonic() - start))
            time.sleep(0.1)

    for round_ in range(2):
        results.clear()
        threads = [threading.Thread(target=slow) for _ in range(50)]
        prober = threading.Thread(target=probe)
        stop.clear()
        prober.start()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        stop.set()
        prober.join()
        late = [r for r in results if r[0] != 503 or r[1] > 4.0]
        wb.check("slow queries round %d: each 503 within 4 s" % round_, len(results) == 50 and not late, late[:5])
        slow_fast = [f for f in fast if f[0] != 200 or f[1] > 1.0]
        wb.check("slow queries round %d: SELECT 1 answers 200 within 1 s" % round_, fast and not slow_fast,
                 slow_fast[:5])
        fast.clear()
    pid = env.query().get("PID")
    wb.check("slow queries: no query thread left running within 5 s",
             wb.wait_until(lambda: query_threads_running(pid) == 0, 5), query_threads_running(pid))


def descriptors(pid):
    return len(os.listdir("/proc/%s/fd" % pid))


def query_threads_running(pid):
    count = 0
    for name in os.listdir("/proc/%s/task" % pid):
        try:
            comm = open("/proc/%s/task/%s/comm" % (pid, name)).read()
            state = open("/proc/%s/task/%s/stat" % (pid, name)).read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue  # the thread ended while it was looked at
        if "QueryWorker" in comm and state == "R":
            count += 1
    return count


def abandoned_requests(env, port, total=6000, clients=48):
    """Slow queries whose clients go away: half close at once, half after a moment, some
    reset the connection. Memory and descriptors come back once the queries are cancelled."""
    pid = env.query().get("PID")
    # One round first, so that the threads and pools the load uses exist at the start.
    wb.check("abandoned: the server is settled", wb.wait_until(lambda: query_threads_running(pid) == 0, 20))
    start_rss, start_fds = wb.resident_kib(pid), descriptors(pid)
    request = ("GET /forever HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nAccept: application/json\r\n\r\n" % port).encode()
    counter, lock, errors = [0], threading.Lock(), []

    def client(index):
        while True:
            with lock:
                n = counter[0]
                if n >= total:
                    return
                counter[0] += 1
            try:
                sock = socket.create_connection(("127.0.0.1", port), timeout=30)
                sock.sendall(request)
                if n % 3 == 1:
                    time.sleep(0.02)
                elif n % 3 == 2:
                    # A reset rather than an orderly close.
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
                sock.close()
            except OSError as e:
                with lock:
                    errors.append(str(e))

    threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    wb.check("abandoned: %d requests sent" % total, counter[0] == total and len(errors) < total // 100, errors[:5])
    wb.check("abandoned: no query left running", wb.wait_until(lambda: query_threads_running(pid) == 0, 30),
             query_threads_running(pid))
    # Idle query and reply threads end some seconds after the last of them finished.
    fds_back = wb.wait_until(lambda: descriptors(pid) <= start_fds + 8, 60)
    wb.check("abandoned: descriptors back", fds_back, (start_fds, descriptors(pid)))
    # Memory freed lags a little behind the last reply.
    limit = start_rss + 32 * 1024
    wb.check("abandoned: RSS within 32 MiB of its start", wb.wait_until(lambda: wb.resident_kib(pid) <= limit, 20),
             (start_rss, wb.resident_kib(pid)))
    status, _, _ = wb.request(port, "GET", "/one", JSON)
    wb.check("abandoned: still answers", status == 200, status)


def main():
    parser = wb.program_arguments()
    env = wb.Env(parser.parse_args())
    ports = wb.host_ports()
    try:
        wb.configure(env, ports)
        env.set_value(wb.HOSTS + "\\127.0.0.1", "Tenant", "REG_SZ", "")
        env.delete_value(wb.HOSTS + "\\127.0.0.1", "Tenant")
        configure(env)
        if not wb.check("running", wb.start(env), env.query()):
            return 1
        wb.check("listens", wb.wait_until(lambda: wb.listening(ports["main"])))
        port = ports["main"]
        reserved_names(env, port)
        edge_values(env, port)
        bools_and_names(env, port)
        insert_once(env, port)
        slow_queries(env, port)
        abandoned_requests(env, port)
        # A stop while slow queries run ends within 10 s.
        def hang():
            try:
                wb.request(port, "GET", "/forever", JSON)
            except OSError:
                pass  # answered 503 or closed by the stop: both fine here

        threads = [threading.Thread(target=hang) for _ in range(20)]
        for t in threads:
            t.daemon = True
            t.start()
        time.sleep(0.5)
        start = time.monotonic()
        env.vnsc("stop", wb.SERVICE)
        stopped = wb.wait_until(lambda: env.query().get("STATE", "").startswith("1"), 30)
        wb.check("vnsc stop with slow queries ends within 10 s", stopped and time.monotonic() - start < 10,
                 time.monotonic() - start)
    finally:
        wb.finish(env)
    return 1 if wb.failures else 0


if __name__ == "__main__":
    sys.exit(main())
