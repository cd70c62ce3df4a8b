#!/usr/bin/env python3
"""bench_framesight.py - Framesight's whole chain beside ffmpeg alone.

For K = 1, 2, 4, 8: 20 three-second clips are pinned and transcoded through
Taskweave, the provider and the transcoder stand-in ("Maximum Transcode Jobs"
K, K stand-in instances), timed from the rescan that hands them over until the
last pin is released. Then the same 20 ffmpeg command lines, as the stand-in's
journal recorded them, run directly under `xargs -P K`. One line per K: both
times (the median of --repeat runs), their ratio and the chain's overhead per job ((chain - direct) * K / 20,
the extra time each job holds one of the K slots).

Last, an instant transcoder (a pipe server that writes a small output and
answers success at once) measures jobs per second of the chain alone.

Usage: bench_framesight [--clips N] [--instant N] with the tool paths that the
generated wrapper (build/bench/framesight/bench_framesight) passes.
"""
import argparse
import os
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import json
import statistics

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e", "framesight"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "platform", "pipe", "testing"))
import framesight_env as fe  # noqa: E402
from pipe_wire import recv_message, send_message  # noqa: E402


def load_average():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def _stop(signum, frame):
    # A bench stopped from outside still stops the chain it started (finally below).
    raise SystemExit(128 + signum)


def chain_run(chain, files):
    pins = [chain.pin(relative) for relative in files]
    start = time.monotonic()
    chain.rescan()
    done = set()
    while len(done) < len(pins):
        released = chain.releases()
        done = {p for p in pins if p in released}
        if time.monotonic() - start > 900:
            raise RuntimeError("the chain did not finish: %d of %d" % (len(done), len(pins)))
        time.sleep(0.01)
    return time.monotonic() - start


def direct_run(chain, files, k, folder):
    """The journal's command lines of these files, each writing a file of its own, under xargs -P k."""
    os.makedirs(folder, exist_ok=True)
    scripts = []
    for n, relative in enumerate(files):
        ends = chain.jobs_of(relative)
        if len(ends) != 1 or ends[0]["status"] != "succeeded":
            raise RuntimeError("no single successful job for %s: %s" % (relative, ends))
        argv = list(ends[0]["argv"])
        argv[-1] = "file:" + os.path.join(folder, "%d.webm" % n)  # the stand-in's temporary output
        script = os.path.join(folder, "job%d.sh" % n)
        with open(script, "w") as f:
            f.write(" ".join(shlex.quote(a) for a in argv) + " 2>/dev/null\n")
        scripts.append(script)
    start = time.monotonic()
    subprocess.run(["xargs", "-P", str(k), "-n", "1", "sh"], input="\n".join(scripts) + "\n", text=True,
                   check=True)
    return time.monotonic() - start


class InstantTranscoder:
    """A transcoder pipe server that makes each output at once (a few bytes) and answers success;
    any number of clients at a time."""

    def __init__(self, chain, name="FFMPEG"):
        self.volume = chain.volume
        self.path = os.path.join(chain.env["VANTREL_PIPE_DIR"], "vantrel.transcode." + name.lower())
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(self.path)
        self.listener.listen(64)
        threading.Thread(target=self.serve, daemon=True).start()

    def host(self, path):
        return os.path.join(self.volume, *path[3:].split("\\"))

    def serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.job, args=(conn,), daemon=True).start()

    def job(self, conn):
        try:
            if conn.recv(1) != b"C":
                return
            conn.sendall(b"\x01")
            request = json.loads(recv_message(conn)[:-1].decode("utf-8"))
            with open(self.host(request["transcode"][1]), "wb") as f:
                f.write(b"instant\n")
            for reply in ({"log": {"line": "instant transcode\n", "level": 32}},
                          {"result": {"message": "", "error": 0}}):
                payload = json.dumps(reply).encode()
                send_message(conn, payload)
            conn.recv(1)  # until the client hangs up
        except Exception as error:  # noqa: BLE001 - a job that breaks says why instead of going silent
            if not isinstance(error, (OSError, EOFError)):
                print("instant transcoder job failed: %r" % error, file=sys.stderr, flush=True)
        finally:
            conn.close()

    def close(self):
        self.listener.close()
        os.unlink(self.path)


def main():
    parser = argparse.ArgumentParser()
    fe.Tools.add_arguments(parser)
    parser.add_argument("--clips", type=int, default=20)
    parser.add_argument("--instant", type=int, default=400)
    parser.add_argument("--slots", default="1,2,4,8")
    parser.add_argument("--repeat", type=int, default=3, help="runs per K; the median is shown")
    tools = parser.parse_args()
    signal.signal(signal.SIGTERM, _stop)
    signal.signal(signal.SIGINT, _stop)
    print("before:", load_average(), flush=True)
    chain = fe.Chain(tools, "bench")
    try:
        chain.set_up()
        chain.start_mainsvc()
        master = chain.host("media\\master.mp4")
        fe.make_clip(master, seconds=3, size="640x360")
        chain.set_parameter("Maximum Transcode Jobs", 1)
        if not chain.start_service():
            return 1
        print("%-4s %10s %10s %7s %14s" % ("K", "chain s", "direct s", "ratio", "overhead/job"), flush=True)
        for k in (int(x) for x in tools.slots.split(",")):
            chain.stop_transcoder()
            chain.start_transcoder(k)
            chain.set_parameter("Maximum Transcode Jobs", k)
            throughs, directs = [], []
            for run in range(tools.repeat):
                files = []
                for n in range(tools.clips):
                    relative = "media\\k%d-%d-%02d.mp4" % (k, run, n)
                    shutil.copyfile(master, chain.host(relative))
                    files.append(relative)
                throughs.append(chain_run(chain, files))
                directs.append(direct_run(chain, files, k, os.path.join(chain.root, "direct-%d-%d" % (k, run))))
            through, direct = statistics.median(throughs), statistics.median(directs)
            print("%-4d %10.2f %10.2f %7.2f %11.0f ms" % (k, through, direct, through / direct,
                                                          (through - direct) * k / len(files) * 1000), flush=True)
        chain.stop_transcoder()
        instant = InstantTranscoder(chain)
        chain.set_parameter("Maximum Transcode Jobs", 8)
        files = []
        for n in range(tools.instant):
            relative = "media\\i-%04d.mp4" % n
            with open(chain.host(relative), "wb") as f:
                f.write(b"%d\n" % n)
            files.append(relative)
        seconds = chain_run(chain, files)
        made = sum(os.path.isfile(chain.companion(r, "Preview", "webm")) for r in files)
        print("instant transcoder, maximum 8: %d jobs in %.2f s, %.1f jobs/s (%d outputs)" % (
            len(files), seconds, len(files) / seconds, made), flush=True)
        instant.close()
        chain.stop_service()
        print("after:", load_average(), flush=True)
    finally:
        chain.failures = []  # a bench keeps nothing
        chain.tear_down()
    return 0


if __name__ == "__main__":
    sys.exit(main())
