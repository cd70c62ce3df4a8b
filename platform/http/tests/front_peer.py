#!/usr/bin/env python3
"""front_peer.py - clients, polite and hostile, for the HTTP front's tests.

    front_peer.py COMMAND PORT [ARGS...]

Each command prints "key=value" lines for the test to check:
  raw PORT HEX              sends the bytes, prints the reply's status
  bighead PORT SIZE         an unterminated header of SIZE bytes
  announce PORT LENGTH      a POST announcing LENGTH bytes, then sending them
  slowhead PORT             half a head, then silence: the reply the front sends
  idle PORT N PID           N silent connections and a slow-header client held
                            open while a normal GET runs; the server's VmRSS then
  flood PORT N              N silent connections (this process's own descriptor
                            limit raised), then a normal GET
  idlewait PORT             one GET, then silence until the front closes
  keepalive PORT            several requests, chunked and sized, on one connection
  peer PORT                 the peer header the listener saw, with forged copies sent
  tls PORT                  a GET over TLS and the peer header it carried
  http10 PORT               HTTP/1.0 requests, read off the raw socket: each case
                            prints NAME=1 when the reply was framed for 1.0
  methods PORT              the status for each spelling of a method name
  busy PORT N SECONDS       N threads of keep-alive and new-connection GETs for
                            SECONDS; prints how many replies were whole
Replies are read by the small reader below (status line, headers, then a body by
Content-Length or chunks), not by the front's own code.
"""
import http.client
import resource
import socket
import ssl
import sys
import threading
import time


def connect(port, timeout=30):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def read_reply(f, head=False):
    """(status, headers dict lower-cased, body) of one reply from a binary file;
    a reply to HEAD has no body whatever its headers say."""
    line = f.readline()
    if not line:
        return None, {}, b""
    status = int(line.split()[1])
    headers = {}
    while True:
        h = f.readline()
        if h in (b"\r\n", b"\n", b""):
            break
        name, _, value = h.decode("latin-1").partition(":")
        headers[name.strip().lower()] = value.strip()
    body = b""
    if head:
        pass
    elif "content-length" in headers:
        body = f.read(int(headers["content-length"]))
    elif headers.get("transfer-encoding", "").lower() == "chunked":
        while True:
            size = int(f.readline().split(b";")[0], 16)
            if size == 0:
                while f.readline() not in (b"\r\n", b"\n", b""):
                    pass
                break
            body += f.read(size)
            f.readline()
    return status, headers, body


def status_of(sock):
    try:
        status, _, _ = read_reply(sock.makefile("rb"))
    except (ConnectionError, socket.timeout, ValueError, IndexError):
        status = None
    return status


def send_quietly(sock, data, chunk=65536):
    """Sends data as far as the peer takes it; a close ends the sending."""
    try:
        for i in range(0, len(data), chunk):
            sock.sendall(data[i:i + chunk])
    except OSError:
        pass


def get(port, path="/size/100"):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    c.request("GET", path)
    r = c.getresponse()
    body = r.read()
    c.close()
    return r.status, body


def vmrss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def cmd_raw(port, hexdata):
    s = connect(port)
    s.sendall(bytes.fromhex(hexdata))
    print(f"status={status_of(s)}")


def cmd_bighead(port, size):
    s = connect(port)
    head = b"GET /size/1 HTTP/1.1\r\nHost: a\r\nX-Filler: "
    sender = threading.Thread(target=send_quietly, args=(s, head + b"a" * int(size)))
    sender.start()
    print(f"status={status_of(s)}")
    s.close()
    sender.join()


def cmd_announce(port, length):
    s = connect(port)
    s.sendall(b"POST /echo HTTP/1.1\r\nHost: a\r\nContent-Length: %d\r\n\r\n" % int(length))
    # The body follows at once, as a client that does not wait for 100 Continue sends it.
    block = b"z" * (1 << 20)
    sender = threading.Thread(target=lambda: [send_quietly(s, block) for _ in range(int(length) >> 20)])
    sender.start()
    print(f"status={status_of(s)}")
    s.close()
    sender.join()


def cmd_slowhead(port):
    s = connect(port, timeout=60)
    s.sendall(b"GET /size/1 HTTP/1.1\r\nHost: a\r\n")
    print(f"status={status_of(s)}")
    print(f"closed={int(s.recv(1) == b'')}")


def cmd_idlewait(port):
    s = connect(port, timeout=60)
    s.sendall(b"GET /size/1 HTTP/1.1\r\nHost: a\r\n\r\n")
    f = s.makefile("rb")
    status, _, body = read_reply(f)
    print(f"reply={int(status == 200 and body == b'x')}")
    # Nothing more is sent: the front ends the connection when it has idled.
    print(f"closed={int(f.read() == b'')}")


def cmd_idle(port, n, pid):
    idle = [connect(port) for _ in range(int(n))]
    slow = connect(port)
    stop = threading.Event()

    def dribble():
        # One header byte at a time, never ending the head.
        slow.sendall(b"GET /size/1 HTTP/1.1\r\nHost: a\r\nX-Slow: ")
        while not stop.is_set():
            try:
                slow.sendall(b"s")
            except OSError:
                return
            stop.wait(0.05)

    t = threading.Thread(target=dribble)
    t.start()
    status, body = get(port)
    print(f"status={status}")
    print(f"length={len(body)}")
    print(f"rss_kib={vmrss_kib(int(pid))}")
    stop.set()
    t.join()
    for s in idle + [slow]:
        s.close()


def cmd_flood(port, n):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, int(n) + 256)), hard))
    idle = []
    for _ in range(int(n)):
        idle.append(connect(port))
    status, body = get(port)
    print(f"status={status}")
    print(f"length={len(body)}")
    for s in idle:
        s.close()


def cmd_keepalive(port):
    s = connect(port)
    f = s.makefile("rb")
    results = []
    payload = bytes(range(256)) * 300
    # A sized POST, a chunked POST with an extension and a trailer, a HEAD,
    # then two requests sent together (the second waits in the socket).
    requests = [
        (b"GET /size/5 HTTP/1.1\r\nHost: a\r\n\r\n", b"xxxxx"),
        (b"POST /echo HTTP/1.1\r\nHost: a\r\nContent-Length: %d\r\n\r\n" % len(payload) + payload, payload),
        (b"POST /echo HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n"
         b"5;name=value\r\nhello\r\n6\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n", b"hello world"),
        (b"HEAD /size/7 HTTP/1.1\r\nHost: a\r\n\r\n", b""),
    ]
    for data, expected in requests:
        s.sendall(data)
        status, headers, body = read_reply(f, head=data.startswith(b"HEAD"))
        results.append(status == 200 and body == expected)
    s.sendall(b"GET /size/3 HTTP/1.1\r\nHost: a\r\n\r\nPOST /echo HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\n\r\nok")
    for expected in (b"xxx", b"ok"):
        status, headers, body = read_reply(f)
        results.append(status == 200 and body == expected)
    print(f"replies={len(results)}")
    print(f"intact={sum(results)}")


def cmd_peer(port):
    s = connect(port)
    local = s.getsockname()
    s.sendall(b"GET /peer HTTP/1.1\r\nHost: a\r\nX-Vantrel-Peer: 6.6.6.6:1;proto=https\r\n"
              b"x-vantrel-peer: forged\r\n\r\n")
    status, _, body = read_reply(s.makefile("rb"))
    lines = body.decode().splitlines()
    print(f"status={status}")
    print(f"count={len(lines)}")
    print(f"seen={lines[0] if lines else ''}")
    print(f"expected={local[0]}:{local[1]};proto=http")


def cmd_tls(port):
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    raw = connect(port)
    local = raw.getsockname()
    s = context.wrap_socket(raw)
    s.sendall(b"GET /peer HTTP/1.1\r\nHost: a\r\n\r\nGET /size/200000 HTTP/1.1\r\nHost: a\r\n\r\n")
    f = s.makefile("rb")
    status, _, body = read_reply(f)
    print(f"status={status}")
    print(f"seen={body.decode().strip()}")
    print(f"expected={local[0]}:{local[1]};proto=https")
    status, _, body = read_reply(f)
    print(f"large={int(status == 200 and body == b'x' * 200000)}")
    print(f"version={s.version()}")


def read_head(s):
    """(status line, headers dict lower-cased, bytes after the head) off a raw socket."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers.setdefault(name.strip().lower(), []).append(value.strip())
    return lines[0], headers, rest


def read_to_close(s, rest):
    data = rest
    while True:
        chunk = s.recv(65536)
        if not chunk:
            return data
        data += chunk


def cmd_http10(port):
    # (name, request, body expected, whether the connection stays for a second request)
    cases = [
        ("chunked_closes", b"GET /chunked/70000 HTTP/1.0\r\n\r\n", b"y" * 70000, False),
        ("chunked_keepalive_asked", b"GET /chunked/5 HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", b"y" * 5, False),
        ("sized_closes", b"GET /size/10 HTTP/1.0\r\n\r\n", b"x" * 10, False),
        ("sized_keepalive", b"GET /size/10 HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", b"x" * 10, True),
        ("head_chunked", b"HEAD /chunked/5 HTTP/1.0\r\n\r\n", b"", False),
    ]
    for name, req, want, stays in cases:
        s = connect(port)
        s.sendall(req)
        status, headers, rest = read_head(s)
        problems = []
        if not status.endswith("200 OK"):
            problems.append(status)
        if "transfer-encoding" in headers:
            problems.append("transfer-encoding %s" % headers["transfer-encoding"])
        connection = [v.lower() for v in headers.get("connection", [])]
        if stays:
            length = int(headers.get("content-length", ["-1"])[0])
            body = rest
            while len(body) < length:
                chunk = s.recv(65536)
                if not chunk:
                    break
                body += chunk
            if connection != ["keep-alive"]:
                problems.append("connection %s" % connection)
            # The connection serves a second request.
            s.sendall(req)
            status2, _, rest2 = read_head(s)
            if not status2.endswith("200 OK"):
                problems.append("second %s" % status2)
        else:
            body = read_to_close(s, rest)  # ends: the close delimits it
            if "keep-alive" in connection:
                problems.append("connection %s" % connection)
        if body != want:
            problems.append("body %d bytes %r" % (len(body), body[:40]))
        s.close()
        print(f"{name}={0 if problems else 1} {'; '.join(problems)}")


def cmd_methods(port):
    for method in ("GET", "get", "Get", "gEt", "HEAD", "head", "post", "PoSt", "options", "delete"):
        s = connect(port)
        s.sendall(method.encode() + b" /size/1 HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")
        print(f"{method}={status_of(s)}")
        s.close()


def cmd_busy(port, n, seconds):
    """Keep-alive clients and one-request clients at once, every reply checked."""
    stop = time.monotonic() + float(seconds)
    counts = {"whole": 0, "bad": 0}
    lock = threading.Lock()

    def worker(index):
        sizes = (1, 1000, 70000, 300000)
        i = 0
        while time.monotonic() < stop:
            keep = index % 2 == 0
            try:
                c = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
                for _ in range(20 if keep else 1):
                    size = sizes[i % len(sizes)]
                    i += 1
                    path = ("/chunked/%d" if i % 3 == 0 else "/size/%d") % size
                    c.request("GET", path)
                    r = c.getresponse()
                    body = r.read()
                    good = r.status == 200 and len(body) == size and body == body[:1] * size
                    with lock:
                        counts["whole" if good else "bad"] += 1
                c.close()
            except (OSError, http.client.HTTPException):
                with lock:
                    counts["bad"] += 1

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(int(n))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(f"whole={counts['whole']}")
    print(f"bad={counts['bad']}")


def main():
    command, port, args = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    globals()["cmd_" + command](port, *args)


if __name__ == "__main__":
    main()
