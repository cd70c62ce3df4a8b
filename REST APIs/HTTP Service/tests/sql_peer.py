#!/usr/bin/env python3
"""sql_peer.py - independent checks of the SQL handler's bodies.

  sql_peer.py json BODY DB QUERY STRINGCOLS BOOLCOLS
      BODY must parse as JSON and equal `sqlite3 -json DB QUERY`, member by
      member in order (duplicates kept); NULL in a string column reads as ""
      and a BOOL column as true/false, as the handler writes them.
  sql_peer.py rows XML XSL
      prints the number of table rows xsltproc makes of XML with XSL.
"""
import json, subprocess, sys

def pairs(p):
    return p

def main():
    if sys.argv[1] == "json":
        body, db, query, strings, bools = sys.argv[2:7]
        strings = set(filter(None, strings.split(",")))
        bools = set(filter(None, bools.split(",")))
        ours = json.loads(open(body, encoding="utf-8").read(), object_pairs_hook=pairs)
        out = subprocess.run(["sqlite3", "-json", db, query], capture_output=True, check=True).stdout.decode()
        theirs = json.loads(out or "[]", object_pairs_hook=pairs)
        fixed = []
        for row in theirs:
            r = []
            for k, v in row:
                if k in strings and v is None: v = ""
                if k in bools: v = bool(v)
                r.append((k, v))
            fixed.append(r)
        if ours != fixed:
            print([(a, b) for a, b in zip(ours, fixed) if a != b][:1].__repr__()[:2000])
            return 1
        return 0
    if sys.argv[1] == "rows":
        html = subprocess.run(["xsltproc", sys.argv[3], sys.argv[2]], capture_output=True, check=True).stdout.decode()
        print(html.count("<tr>"))
        return 0
    return 2

sys.exit(main())
