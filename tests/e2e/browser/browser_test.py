#!/usr/bin/env python3
"""browser_test.py - Webbridge in a real browser: Debian's headless Chromium driven by Playwright.

Starts Webbridge through vnsc on a temporary registry (the fixtures of
tests/e2e/webbridge) with a host that has a login location, a login form at
"/" for anonymous visitors, a user's page and an SQL report for signed-in
users, and one account. drive.js then visits it in Chromium: signs in through
the form, reads the session cookie from the browser context, opens the
report's XML page, which the browser renders through the report's
stylesheet, and signs out. This script judges what the browser showed
against the database and keeps the screenshots under --artefacts.

A missing Chromium, Node.js or playwright-core fails the test with a message
saying what to install; only VANTREL_NO_BROWSER=1 skips it (exit 77).
"""
import argparse
import json
import os
import shutil
import sqlite3
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "webbridge"))
import webbridge_test as wb  # Env, start and the checks of the Webbridge end-to-end test

SKIP = 77  # CTest's SKIP_RETURN_CODE for this test
HOST = wb.HOSTS + "\\127.0.0.1"
USER, PASSWORD = "alice", "secret%41"
# Rows whose text a careless writer would break: markup characters, an
# ampersand, quotes and letters outside ASCII.
CLIPS = [
    ("harbour", 4),
    ("ebb & flow <tide>", 12),
    ("\"quoted\" 'name'", 1),
    ("fjørd — night", 7),
]
# How long the whole browser visit may take on a busy machine.
VISIT_TIMEOUT = 240

LOGIN_PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Sign in</title></head>
<body>
<h1>Sample archive</h1>
<form id="sign-in-form" method="post" action="/login">
  <label>User <input id="user" name="user" autocomplete="username"></label>
  <label>Password <input id="password" name="password" type="password" autocomplete="current-password"></label>
  <button id="sign-in" type="submit">Sign in</button>
</form>
</body></html>
"""

USER_PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Your archive</title></head>
<body>
<h1 id="signed-in">Signed in</h1>
<p><a id="report" href="/clips">Clips report</a></p>
<form method="post" action="/login">
  <input type="hidden" name="action" value="logout">
  <button id="sign-out" type="submit">Sign out</button>
</form>
</body></html>
"""


def missing_tools(args):
    """What the browser test needs and this machine lacks, each with how to get it."""
    missing = []
    if not (os.path.isfile(args.chromium) and os.access(args.chromium, os.X_OK)):
        missing.append("Chromium at %s (Debian package chromium)" % args.chromium)
    if not shutil.which(args.node):
        missing.append("Node.js (%s; Debian package nodejs)" % args.node)
    if not os.path.isfile(os.path.join(args.node_modules, "playwright-core", "package.json")):
        missing.append("the npm package playwright-core in %s" % args.node_modules)
    if not shutil.which("xsltproc"):
        missing.append("xsltproc (Debian package xsltproc)")
    return missing


def configure(env):
    for library in (env.args.archive, env.args.provider, env.args.data_init):
        result = env.run([env.args.vnregsvr, "/s", library])
        wb.check("registers " + os.path.basename(library), result.returncode == 0, result.stdout + result.stderr)
    database = env.path("sample.db")
    with sqlite3.connect(database) as db:
        db.execute("CREATE TABLE clips (name TEXT, seconds INT)")
        db.executemany("INSERT INTO clips VALUES (?, ?)", CLIPS)
    env.set_value(wb.PROVIDER_KEY, "Database", "REG_SZ", database)

    # Anonymous visitors see the login form at "/"; a signed-in user's level
    # searches its own root first, so "/" is then the user's page, and the
    # report exists only for signed-in users.
    env.write("www/.GET.htm", LOGIN_PAGE)
    env.write("www2/.GET.htm", USER_PAGE)
    env.write("www2/clips.GET.SQL", "SELECT name, seconds FROM clips ORDER BY seconds")
    env.set_value(HOST, "Protocol", "REG_SZ", "http")
    env.set_value(HOST, "Port", "REG_DWORD", env.port)
    env.set_value(HOST, "Anon Root", "REG_SZ", env.path("www"))
    env.set_value(HOST, "User Root", "REG_SZ", env.path("www2"))
    env.set_value(HOST + "\\Locations\\/login", "Handler", "REG_SZ", "Authenticate")
    env.set_value(HOST + "\\Locations\\/login", "Auth Cookie", "REG_SZ", "sid")
    env.set_value(HOST + "\\Users\\" + USER, "Password", "REG_SZ", PASSWORD)


def database_rows(env):
    with sqlite3.connect(env.path("sample.db")) as db:
        return [[name, str(seconds)] for name, seconds in db.execute("SELECT name, seconds FROM clips ORDER BY seconds")]


def drive(env, args):
    os.makedirs(args.artefacts, exist_ok=True)
    for old in os.listdir(args.artefacts):
        os.remove(os.path.join(args.artefacts, old))
    record = os.path.join(args.artefacts, "visit.json")
    node_env = dict(env.env, NODE_PATH=args.node_modules)
    try:
        visit = subprocess.run([args.node, os.path.join(os.path.dirname(os.path.abspath(__file__)), "drive.js"),
                                "http://127.0.0.1:%d" % env.port, args.artefacts, args.chromium, record],
                               env=node_env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                               timeout=VISIT_TIMEOUT)
        output, code = visit.stdout + visit.stderr, visit.returncode
    except subprocess.TimeoutExpired as timeout:
        output, code = str(timeout.stdout or "") + str(timeout.stderr or ""), None
    print(output, end="", flush=True)
    wb.check("the browser visit ends without an error", code == 0, "exit code %s" % code)
    if not os.path.exists(record):
        return {}
    with open(record, encoding="utf-8") as f:
        return json.load(f)


def report_table(seen, name, report, rows):
    """The table of one visit of the report: rendered by Chromium, or by xsltproc where it shows plain XML."""
    if not report:
        wb.check(name + ": the report is shown", False, "the visit ended before it")
        return
    if report.get("transformed"):
        print("%s: this Chromium (%s) applies the report's XSLT to its XML" % (name, seen.get("browser")), flush=True)
        table = report["table"]
    else:
        print("NOTE %s: this Chromium (%s) does not apply XSLT to XML; the report's stylesheet is applied by "
              "xsltproc and its output shown in the browser" % (name, seen.get("browser")), flush=True)
        fetched = report.get("xsltproc") or {}
        wb.check(name + ": the XML and its stylesheet are served",
                 fetched.get("xmlStatus") == 200 and fetched.get("xsltStatus") == 200, fetched)
        table = fetched.get("table")
    table = table or {}
    wb.check(name + ": the table has the query's columns", table.get("header") == ["name", "seconds"], table)
    wb.check(name + ": the table's rows are the database's rows", table.get("rows") == rows,
             (table.get("rows"), rows))


def judge(env, seen):
    if "error" in seen:
        print("the visit stopped in step %r" % seen.get("failedStep"), flush=True)
    wb.check("/ shows the login form to a visitor", (seen.get("loginPage") or {}).get("loginForm"), seen.get("loginPage"))

    user_page = seen.get("userPage") or {}
    wb.check("after signing in / shows the user's page", user_page.get("signedIn") and not user_page.get("loginForm"),
             user_page)
    sid = [c for c in seen.get("cookies", []) if c["name"] == "sid"]
    wb.check("the browser holds one session cookie", len(sid) == 1, seen.get("cookies"))
    if sid:
        wb.check("the session cookie is HttpOnly", sid[0]["httpOnly"], sid[0])
        wb.check("the session cookie is the whole site's", sid[0]["path"] == "/", sid[0])
        wb.check("the session cookie is SameSite=Lax", sid[0]["sameSite"] == "Lax", sid[0])
        wb.check("the page's script cannot read the session cookie", "sid=" not in seen.get("documentCookie", "sid="),
                 seen.get("documentCookie"))

    rows = database_rows(env)
    report_table(seen, "report", seen.get("report"), rows)
    without = seen.get("reportWithoutXslt")
    if without is not None and without.get("transformed"):
        print("note: --disable-features=XSLT did not turn XSLT off in this Chromium; the xsltproc path was not used",
              flush=True)
    report_table(seen, "report without XSLT", without, rows)

    after = seen.get("afterLogout") or {}
    wb.check("after signing out / shows the login form again", after.get("loginForm") and not after.get("signedIn"),
             after)
    wb.check("signing out drops the session cookie from the browser", "sid" not in seen.get("cookiesAfterLogout", ["sid"]),
             seen.get("cookiesAfterLogout"))
    again = seen.get("reportAfterLogout") or {}
    wb.check("after signing out the report sends the browser to the login form",
             again.get("loginForm") and again.get("status") == 200 and again.get("url", "").endswith("/"), again)

    # Signing out ends the session on the server: a copy of the old cookie,
    # set again by hand, no longer signs in.
    old = seen.get("oldCookie") or {}
    wb.check("the old session cookie set again after signing out no longer signs in",
             old.get("loginForm") and not old.get("signedIn"), old)

    shots = seen.get("screenshots", [])
    wb.check("a screenshot of every step", len(shots) >= 7 and all(os.path.getsize(s) > 0 for s in shots), shots)
    for s in shots:
        print("artefact", s, flush=True)


def main():
    parser = argparse.ArgumentParser()
    for name in ("program", "vnsc", "vnreg", "vnregsvr", "archive", "provider", "data-init", "node-modules",
                 "artefacts"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--node", default="node")
    args = parser.parse_args()
    if os.environ.get("VANTREL_NO_BROWSER") == "1":
        print("browser tests are off (VANTREL_NO_BROWSER=1)")
        return SKIP
    missing = missing_tools(args)
    if missing:
        print("FAIL the browser test needs: " + "; ".join(missing) +
              ". scripts/setup installs them (or set VANTREL_NO_BROWSER=1 to turn browser tests off).", flush=True)
        return 1

    env = wb.Env(args)
    env.port = wb.free_port()
    try:
        configure(env)
        if not wb.check("running", wb.start(env), env.query()):
            return 1
        wb.check("the host listens", wb.wait_until(lambda: wb.listening(env.port)))
        judge(env, drive(env, args))
    finally:
        wb.finish(env)
    return 1 if wb.failures else 0


if __name__ == "__main__":
    sys.exit(main())
