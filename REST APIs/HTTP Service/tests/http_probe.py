#!/usr/bin/python3
# http_probe.py - one HTTP request through http.client, reported as JSON.
#
# Usage: http_probe.py METHOD URL HEADERS_JSON BODY_FILE OUT_FILE
# HEADERS_JSON is a list of [name, value]; the reply's body goes to OUT_FILE
# and status plus headers (in order, repeats kept) to standard output.
import http.client
import json
import sys
import urllib.parse

method, url, headers_json, body_file, out_file = sys.argv[1:6]
parts = urllib.parse.urlsplit(url)
conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=60)
body = open(body_file, "rb").read() if body_file != "-" else None
path = parts.path or "/"
if parts.query:
    path += "?" + parts.query
conn.putrequest(method, path, skip_accept_encoding=True)
for name, value in json.loads(headers_json):
    conn.putheader(name, value)
if body is not None:
    conn.putheader("Content-Length", str(len(body)))
conn.endheaders(body)
reply = conn.getresponse()
data = reply.read()
with open(out_file, "wb") as f:
    f.write(data)
print(json.dumps({"status": reply.status, "headers": reply.getheaders()}))
