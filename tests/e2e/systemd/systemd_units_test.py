#!/usr/bin/env python3
"""Checks the systemd units with systemd-analyze verify: each unit's program is pointed at the
built one (the units name /usr/lib/vantrel), all units are verified together so a dependency
on a unit that does not exist is reported, and each unit must run a program this build makes
with the environment the programs read."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

INSTALL_DIR = "/usr/lib/vantrel/"
SKIP = 77  # CTest's SKIP_RETURN_CODE
REQUIRED_ENV = ("VANTREL_REGISTRY=", "VANTREL_PIPE_DIR=", "VANTREL_LOG_DIR=")


def quote(path):
    # ExecStart splits on spaces unless the word is quoted ("REST APIs/HTTP Service").
    return '"' + path.replace("\\", "\\\\").replace('"', '\\"') + '"'


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--units", required=True)
    parser.add_argument("--program", action="append", default=[], help="NAME=PATH")
    args = parser.parse_args()
    analyze = shutil.which("systemd-analyze")
    if analyze is None:
        print("systemd-analyze is not installed here: skipped")
        return SKIP
    programs = dict(p.split("=", 1) for p in args.program)
    units = sorted(f for f in os.listdir(args.units) if f.endswith(".service"))
    failures = []
    ran = set()
    if not units:
        failures.append("no units in " + args.units)
    with tempfile.TemporaryDirectory(prefix="vantrel-units-") as tmp:
        for name in units:
            with open(os.path.join(args.units, name), encoding="utf-8") as f:
                text = f.read()
            exec_lines = [l for l in text.splitlines() if l.startswith("ExecStart=")]
            if len(exec_lines) != 1:
                failures.append(f"{name}: expected one ExecStart, found {len(exec_lines)}")
                continue
            program = exec_lines[0][len("ExecStart="):].split()[0]
            if not program.startswith(INSTALL_DIR) or program[len(INSTALL_DIR):] not in programs:
                failures.append(f"{name}: runs {program}, which this build does not make")
                continue
            ran.add(program[len(INSTALL_DIR):])
            built = programs[program[len(INSTALL_DIR):]]
            text = text.replace(exec_lines[0], exec_lines[0].replace(program, quote(built), 1))
            for env in REQUIRED_ENV:
                if "Environment=" + env not in text:
                    failures.append(f"{name}: sets no {env[:-1]}")
            with open(os.path.join(tmp, name), "w", encoding="utf-8") as f:
                f.write(text)
        for missing in sorted(set(programs) - ran):
            failures.append(f"no unit runs {missing}")
        paths = [os.path.join(tmp, n) for n in units if os.path.exists(os.path.join(tmp, n))]
        if paths:
            run = subprocess.run([analyze, "verify", "--man=no"] + paths, cwd=tmp,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                 timeout=100)
            # verify prints warnings for the host's own units too; only ours count.
            ours = [l for l in run.stdout.splitlines() if any(n in l for n in units)]
            if run.returncode != 0 or ours:
                failures.append("systemd-analyze verify:\n" + run.stdout)
    for f in failures:
        print("FAIL:", f)
    if not failures:
        print(f"{len(units)} units verified: {', '.join(units)}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
