#!/usr/bin/env python3
"""webbridge_limits_test.py - Webbridge's request limits at the program's level.

The program runs as a service (started through vnsc under prlimit, so its
descriptor limit is 1,024) on the hosts webbridge_test.py configures:

- 1,100 idle connections to a host still let a new GET in, the process
  stays up and does not spin while they are held (its CPU time over the
  idle period is printed; only a figure far above an idle process fails);
- the limit host values: a lowered "Request Body Limit" answers 413 to a
  body above it and takes one below it; values out of their bounds (0, a
  word) are events, and the host keeps the defaults.
"""
import os
import resource
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import webbridge_test as wb  # the environment, the host set-up, the request helpers

DESCRIPTOR_LIMIT = 1024
IDLE_CONNECTIONS = 1100
IDLE_SECONDS = 3
# A spinning accept loop burned more than a core; an idle process uses next
# to nothing. Half a core leaves room for a loaded machine's noise.
MAX_IDLE_CORES = 0.5
MSG_LIMIT_OUT_OF_RANGE = 0x800000D1
FORM = {"Content-Type": "application/x-www-form-urlencoded"}


def descriptor_limit(pid):
    with open("/proc/%s/limits" % pid) as f:
        for line in f:
            if line.startswith("Max open files"):
                return int(line.split()[3])
    return None


def cpu_seconds(pid):
    with open("/proc/%s/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime, the 14th and 15th fields (the 12th and 13th after the name)
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def alive(pid):
    try:
        with open("/proc/%s/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except OSError:
        return False


def login_status(port, padding):
    """The status of a login form padded to at least padding bytes, or None when the connection broke."""
    body = "user=alice&password=pw&pad="
    body += "x" * max(0, padding - len(body))
    try:
        return wb.request(port, "POST", "/login", FORM, body)[0]
    except (OSError, wb.http.client.HTTPException):
        return None


def idle_connections(env, ports, pid):
    port = ports["main"]
    wb.check("the service runs with a descriptor limit of %d" % DESCRIPTOR_LIMIT,
             descriptor_limit(pid) == DESCRIPTOR_LIMIT, descriptor_limit(pid))
    held = []
    refused = 0
    try:
        for _ in range(IDLE_CONNECTIONS):
            try:
                held.append(socket.create_connection(("127.0.0.1", port), timeout=30))
            except OSError:
                refused += 1
        wb.check("%d idle connections are made" % IDLE_CONNECTIONS, refused == 0, "%d refused" % refused)
        before = cpu_seconds(pid)
        started = time.monotonic()
        try:
            status, _, body = wb.request(port, "GET", "/index")
        except (OSError, wb.http.client.HTTPException) as e:
            status, body = None, repr(e)
        wb.check("a new GET is answered beside %d idle connections" % IDLE_CONNECTIONS,
                 status == 200 and body == b"<p>index</p>", (status, body))
        # The period is measured, not waited on for anything.
        time.sleep(max(0.0, IDLE_SECONDS - (time.monotonic() - started)))
        cores = (cpu_seconds(pid) - before) / (time.monotonic() - started)
        print("idle: %.3f cores over %.1f s with %d connections held" % (cores, time.monotonic() - started,
                                                                         len(held)), flush=True)
        wb.check("the service does not spin while the connections are held", cores < MAX_IDLE_CORES, cores)
        wb.check("the service is alive with the connections held", alive(pid))
    finally:
        for s in held:
            s.close()
    status, _, _ = wb.request(port, "GET", "/index")
    wb.check("a GET answers once they are gone", status == 200, status)
    wb.check("the service is still the same process", env.query().get("PID") == pid, env.query())


def limit_values(env, ports):
    main = wb.HOSTS + "\\127.0.0.1"
    port = ports["main"]
    wb.check("a 8 KiB form passes the default body limit", login_status(port, 8192) == 303)

    env.set_value(main, "Request Body Limit", "REG_DWORD", 4096)
    wb.check("a lowered body limit answers 413 to a body above it",
             wb.wait_until(lambda: login_status(port, 8192) == 413), login_status(port, 8192))
    wb.check("a body below the lowered limit is taken", login_status(port, 2048) == 303, login_status(port, 2048))

    cases = [
        # (name, value name, type, data, the default used, as the event says)
        ("zero body limit", "Request Body Limit", "REG_DWORD", 0, "1048576"),
        ("a word for the connection limit", "Connection Limit", "REG_SZ", "lots", "4096"),
        ("an hour-long header timeout", "Request Header Timeout", "REG_DWORD", 3600, "10"),
    ]
    for name, value_name, kind, data, used in cases:
        env.set_value(main, value_name, kind, data)
        reported = wb.wait_until(lambda: any(e["strings"][:3] == [value_name, str(data), "127.0.0.1"]
                                             and e["strings"][-1] == used
                                             for e in env.events_with(MSG_LIMIT_OUT_OF_RANGE)))
        wb.check(name + ": an event names the value and the default used", reported,
                 env.events_with(MSG_LIMIT_OUT_OF_RANGE)[-3:])
    wb.check("the refused body limit leaves the default", wb.wait_until(lambda: login_status(port, 8192) == 303),
             login_status(port, 8192))
    for value_name in ("Request Body Limit", "Connection Limit", "Request Header Timeout"):
        env.delete_value(main, value_name)


def main():
    parser = wb.program_arguments()
    env = wb.Env(parser.parse_args())
    # This process holds the idle connections itself.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < IDLE_CONNECTIONS + 200:
        print("skipped: the descriptor hard limit %d is below what the test holds" % hard)
        return 0
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, IDLE_CONNECTIONS + 200), hard))
    ports = wb.host_ports()
    try:
        wb.configure(env, ports)
        launcher = ["prlimit", "--nofile=%d:%d" % (DESCRIPTOR_LIMIT, DESCRIPTOR_LIMIT), "--"]
        if not wb.check("running", wb.start(env, launcher), env.query()):
            return 1
        wb.check("the host listens", wb.wait_until(lambda: wb.listening(ports["main"])))
        pid = env.query().get("PID")
        idle_connections(env, ports, pid)
        limit_values(env, ports)
        wb.check("stop", env.vnsc("stop", wb.SERVICE).returncode == 0)
        log = env.path("logs", wb.SERVICE + ".log")
        text = open(log, errors="replace").read() if os.path.exists(log) else ""
        wb.check("the service's output holds no sanitizer report",
                 not any(w in text for w in ("Sanitizer", "runtime error:")), text[-2000:])
    finally:
        wb.finish(env)
    return 1 if wb.failures else 0


if __name__ == "__main__":
    sys.exit(main())
