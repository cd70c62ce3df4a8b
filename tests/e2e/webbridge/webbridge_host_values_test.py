#!/usr/bin/env python3
"""webbridge_host_values_test.py - a host with 100,000 values, on the running program.

On the hosts webbridge_test.py configures, 100,000 values are written under
the http host's key (one vnreg import), read by the running service, and
deleted again (one more import):

- while they are there, /clips (an SQL handler naming no value) answers its
  two rows to 8 clients at once, a handler naming one of the values binds it,
  and a POST's form fields reach its handler beside them (a configured name
  and a reserved one still refused);
- after they are deleted the service's resident memory comes back within
  64 MiB of what it was before they were written.

How fast /clips is with the values is a benchmark's business
(bench/http/bench_host_values.py), not this test's.
"""
import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import webbridge_test as wb  # the environment, the host set-up, the request helpers

VALUES = 100000
CLIENTS = 8
REQUESTS_EACH = 50
SLACK_KIB = 64 * 1024
# Reading and swapping 100,000 values is seconds of work on a loaded machine.
SEEN_TIMEOUT = 120
MAIN = wb.HOSTS + "\\127.0.0.1"
JSON = {"Accept": "application/json"}
FORM = {"Content-Type": "application/x-www-form-urlencoded", "Accept": "application/json"}
CLIPS = b'[{"name":"harbour"},{"name":"lighthouse"}]'


def value_name(i):
    return "Bulk%06d" % i


def value_data(i):
    return "value number %06d of the bulk" % i


def import_values(env, name, delete):
    """One .reg import that sets (or deletes) every bulk value of the http host."""
    lines = ["Windows Registry Editor Version 5.00", "", "[" + MAIN + "]"]
    for i in range(VALUES):
        lines.append('"%s"=%s' % (value_name(i), "-" if delete else '"%s"' % value_data(i)))
    path = env.write(name, "\r\n".join(lines) + "\r\n")
    result = env.run([env.args.vnreg, "import", path], timeout=300)
    return wb.check("vnreg import of %d values%s" % (VALUES, " deleted" if delete else ""), result.returncode == 0,
                    result.stderr[:300])


def probe(port):
    """What the handler naming the last bulk value binds for it (None: the request failed)."""
    try:
        status, _, body = wb.request(port, "GET", "/bulk", JSON)
    except OSError:
        return None
    return body.decode("utf-8", "replace") if status == 200 else None


def clips_under_load(port, label):
    bad, lock = [], threading.Lock()

    def client():
        for _ in range(REQUESTS_EACH):
            try:
                status, _, body = wb.request(port, "GET", "/clips", JSON)
            except OSError as e:
                status, body = str(e), b""
            if status != 200 or body.replace(b" ", b"").replace(b"\n", b"") != CLIPS:
                with lock:
                    bad.append((status, body[:100]))

    threads = [threading.Thread(target=client) for _ in range(CLIENTS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    wb.check("%s: %d /clips requests from %d clients all answer the two rows" % (label, CLIENTS * REQUESTS_EACH,
                                                                                 CLIENTS), not bad, bad[:3])


def forms_beside_values(port):
    # A client's field reaches the handler; a configured name and a reserved
    # one never replace the host's values, however many it holds.
    status, _, body = wb.request(port, "POST", "/echo", FORM,
                                 "Extra=mine&Registry%24Color=red&Registry%24" + value_name(VALUES - 1) + "=evil")
    text = body.decode("utf-8", "replace")
    wb.check("with the values: a form field reaches the handler, configured names win",
             status == 200 and "mine" in text and "blue" in text and "red" not in text, (status, text))
    status, _, body = wb.request(port, "POST", "/bulkpost", FORM, "Registry%24" + value_name(VALUES - 1) + "=evil")
    text = body.decode("utf-8", "replace")
    wb.check("with the values: a POST binds the host's value, not the form's",
             status == 200 and value_data(VALUES - 1) in text and "evil" not in text, (status, text))


def main():
    parser = wb.program_arguments()
    env = wb.Env(parser.parse_args())
    ports = wb.host_ports()
    try:
        wb.configure(env, ports)
        env.write("www/bulk.GET.SQL", "SELECT :Registry$%s AS v" % value_name(VALUES - 1))
        env.write("www/bulkpost.POST.SQL", "SELECT :Registry$%s AS v" % value_name(VALUES - 1))
        if not wb.check("running", wb.start(env), env.query()):
            return 1
        port = ports["main"]
        wb.check("listens", wb.wait_until(lambda: wb.listening(port)))
        pid = env.query().get("PID")
        # The baseline is taken warm: the handlers, the provider and the
        # query threads have all been used once.
        clips_under_load(port, "before")
        baseline = wb.resident_kib(pid)
        print("resident before the values: %d KiB" % baseline, flush=True)

        if not import_values(env, "bulk.reg", False):
            return 1
        seen = wb.wait_until(lambda: value_data(VALUES - 1) in (probe(port) or ""), SEEN_TIMEOUT)
        wb.check("the service reads the %d values" % VALUES, seen, probe(port))
        clips_under_load(port, "with the values")
        forms_beside_values(port)
        loaded = wb.resident_kib(pid)
        print("resident with the values: %d KiB" % loaded, flush=True)

        if not import_values(env, "unbulk.reg", True):
            return 1
        gone = wb.wait_until(lambda: (probe(port) or "").replace(" ", "") in ('[{"v":null}]', "[{}]"), SEEN_TIMEOUT)
        wb.check("the service sees the values deleted", gone, probe(port))
        clips_under_load(port, "after the values")
        # Memory a request still held when the values were swapped out is
        # given back when the last one lets go of them.
        back = wb.wait_until(lambda: wb.resident_kib(pid) - baseline < SLACK_KIB, 30)
        after = wb.resident_kib(pid)
        print("resident after the values were deleted: %d KiB" % after, flush=True)
        wb.check("resident memory back within 64 MiB of its start", back,
                 "%d KiB before, %d with the values, %d after" % (baseline, loaded, after))
        wb.check("the process is the one started", env.query().get("PID") == pid, env.query())
    finally:
        wb.finish(env)
    return 1 if wb.failures else 0


if __name__ == "__main__":
    sys.exit(main())
