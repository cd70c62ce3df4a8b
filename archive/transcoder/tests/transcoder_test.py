#!/usr/bin/env python3
"""transcoder_test.py - the transcoder stand-in as a program, with ffmpeg and ffprobe as peers.

Each TestCase class starts vnarchive-transcoder in a fresh folder of its own
(VANTREL_PIPE_DIR, VANTREL_REGISTRY, a drive map with "D:" on a volume
folder, source clips made by ffmpeg) and talks to it with
transcoder_client.py. Run one class: transcoder_test.py --program P --vnreg R CLASS.
"""
import argparse
import json
import os
import select
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import transcoder_client as tc  # noqa: E402

ARGS = None
DRIVE_MAP = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\DOS Devices"
SETTINGS_KEY = "HKLM\\Software\\Vantrel\\Corvellane\\Transcoder"
INFO = 32
ERROR = 16

# The Windows C runtime's errno numbers the stand-in answers with.
EINTR, ENOENT, EACCES, EINVAL, EILSEQ = 4, 2, 13, 22, 42

GENEROUS = 60  # seconds: a bound for things that happen at once on an idle machine


def wait_until(condition, what, timeout=GENEROUS):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("gave up waiting for " + what)


def make_clip(path, size, seconds, rate=30, codec="libx264"):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                    "testsrc=size=%s:rate=%d:duration=%s" % (size, rate, seconds),
                    "-c:v", codec, "-pix_fmt", "yuv420p", "-y", path], check=True)


def probe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries",
                          "stream=codec_type,codec_name,width,height,pix_fmt,sample_aspect_ratio,nb_read_frames:"
                          "format=format_name", "-of", "json", path],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


class Sandbox:
    """A folder with the pipe folder, the registry and the volume D:."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="vntranscoder-")
        self.pipes = os.path.join(self.root, "pipes")
        self.volume = os.path.join(self.root, "volume")
        self.outside = os.path.join(self.root, "outside")
        for folder in (self.pipes, self.volume, self.outside):
            os.makedirs(folder)
        self.env = dict(os.environ, VANTREL_PIPE_DIR=self.pipes,
                        VANTREL_REGISTRY=os.path.join(self.root, "registry.db"))
        self.reg("add", DRIVE_MAP, "/v", "D:", "/t", "REG_SZ", "/d", self.volume, "/f")
        self.journal = os.path.join(self.pipes, "transcoder-journal.jsonl")

    def client(self, name="FFMPEG", wait=True):
        return tc.Client(name, pipe_dir=self.pipes, wait=wait)

    def transcode(self, transcode, name="FFMPEG", loglevel=INFO):
        return tc.transcode(name, loglevel, transcode, pipe_dir=self.pipes)

    def reg(self, *args):
        subprocess.run([ARGS.vnreg] + list(args), env=self.env, check=True, capture_output=True)

    def path(self, *parts):
        return os.path.join(self.volume, *parts)

    def records(self):
        try:
            with open(self.journal) as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def ended(self, job_filter=lambda r: True):
        return [r for r in self.records() if r["event"] == "end" and job_filter(r)]

    def leftovers(self, folder=None):
        """Temporary files the stand-in left in folder (the volume's root by default)."""
        folder = folder or self.volume
        return [n for n in os.listdir(folder) if n.startswith(".~vntranscode-")]

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


class Server:
    def __init__(self, sandbox, *args):
        self.process = subprocess.Popen([ARGS.program] + list(args), env=sandbox.env, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.process.stdout], [], [], GENEROUS)
        line = self.process.stdout.readline() if ready else ""
        if line.strip() != "ready":
            self.process.kill()
            raise AssertionError("the stand-in did not start: " + line + self.process.stderr.read())

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        code = self.process.wait(GENEROUS)
        self.process.stdout.close()
        self.process.stderr.close()
        return code


class ServerCase(unittest.TestCase):
    server_args = ()

    @classmethod
    def setUpClass(cls):
        cls.box = Sandbox()
        cls.prepare(cls.box)
        cls.server = Server(cls.box, *cls.server_args)

    @classmethod
    def prepare(cls, box):
        pass

    @classmethod
    def tearDownClass(cls):
        try:
            code = cls.server.stop()
            assert code == 0, "the stand-in exited with %d on SIGTERM" % code
        finally:
            cls.box.remove()

    def run_job(self, transcode, loglevel=INFO, name="FFMPEG"):
        return self.box.transcode(transcode, name, loglevel)


class Preview(ServerCase):
    """-vnpreview: VP8 in WebM of the first frames, fitted and padded, square pixels."""

    @classmethod
    def prepare(cls, box):
        make_clip(box.path("clip720.mp4"), "1280x720", 3)
        make_clip(box.path("clip43.mp4"), "640x480", 1)
        os.makedirs(box.path("out"))

    def test_720p_clip_gives_29_vp8_frames_of_640x360(self):
        logs, result = self.run_job(["D:\\clip720.mp4", "D:\\out\\Preview.webm", "-vnpreview", "29", "640x360"])
        self.assertEqual(result, {"message": "", "error": 0})
        self.assertTrue(any(log["level"] == INFO for log in logs))
        self.assertTrue(all(log["line"].endswith("\n") for log in logs))
        info = probe(self.box.path("out", "Preview.webm"))
        self.assertIn("webm", info["format"]["format_name"])
        self.assertEqual(len(info["streams"]), 1)
        stream = info["streams"][0]
        self.assertEqual((stream["codec_name"], stream["width"], stream["height"]), ("vp8", 640, 360))
        self.assertEqual(stream["nb_read_frames"], "29")
        self.assertEqual(stream["pix_fmt"], "yuv420p")
        self.assertEqual(stream["sample_aspect_ratio"], "1:1")
        self.assertEqual(self.box.leftovers(self.box.path("out")), [])

    def test_4_3_source_is_padded_left_and_right(self):
        _, result = self.run_job(["D:\\clip43.mp4", "D:/out/padded.webm", "-vnpreview", "5", "640x360"])
        self.assertEqual(result["error"], 0, result)
        stream = probe(self.box.path("out", "padded.webm"))["streams"][0]
        self.assertEqual((stream["width"], stream["height"], stream["nb_read_frames"]), (640, 360, "5"))
        frame = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", self.box.path("out", "padded.webm"),
                                "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "gray", "-"],
                               check=True, capture_output=True).stdout
        self.assertEqual(len(frame), 640 * 360)

        def column(x):
            return [frame[y * 640 + x] for y in range(360)]
        # 4:3 in 360 lines is 480 wide: bars of 80 columns on each side.
        for x in list(range(0, 76)) + list(range(564, 640)):
            self.assertLessEqual(max(column(x)), 24, "column %d is not black" % x)
        self.assertTrue(any(max(column(x)) > 60 for x in range(84, 556)), "the picture is missing")

    def test_an_ffmpeg_option_refines_the_preview(self):
        _, result = self.run_job(["D:\\clip720.mp4", "D:\\out\\small.webm", "-vnpreview", "3", "320x180",
                                  "-b:v", "200k", "-an"])
        self.assertEqual(result["error"], 0, result)
        stream = probe(self.box.path("out", "small.webm"))["streams"][0]
        self.assertEqual((stream["width"], stream["height"], stream["nb_read_frames"]), (320, 180, "3"))

    def test_failure_keeps_the_previous_output(self):
        with open(self.box.path("out", "kept.webm"), "wb") as f:
            f.write(b"previous")
        with open(self.box.path("broken.mp4"), "wb") as f:
            f.write(b"\0" * 4096)
        _, result = self.run_job(["D:\\broken.mp4", "D:\\out\\kept.webm", "-vnpreview", "29", "640x360"])
        self.assertNotEqual(result["error"], 0)
        with open(self.box.path("out", "kept.webm"), "rb") as f:
            self.assertEqual(f.read(), b"previous")
        self.assertEqual(self.box.leftovers(self.box.path("out")), [])


class Failures(ServerCase):
    """ffmpeg's failures: the first error line as the message and the errno its text names."""

    @classmethod
    def prepare(cls, box):
        make_clip(box.path("clip.mp4"), "320x240", 1)
        with open(box.path("clip.mp4"), "rb") as f:
            head = f.read(2000)
        with open(box.path("corrupt.mp4"), "wb") as f:
            f.write(head)

    def test_rows(self):
        rows = [
            ("corrupt source", ["D:\\corrupt.mp4", "D:\\c.webm", "-vnpreview", "29", "640x360"], EILSEQ,
             "moov atom not found"),
            ("missing source", ["D:\\missing.mp4", "D:\\m.webm", "-vnpreview", "29", "640x360"], ENOENT,
             "D:\\missing.mp4: No such file or directory"),
            ("unknown encoder", ["D:\\clip.mp4", "D:\\e.webm", "-c:v", "nosuchcodec"], EINVAL, "nosuchcodec"),
        ]
        for name, transcode, error, text in rows:
            with self.subTest(name):
                logs, result = self.run_job(transcode)
                errors = [log["line"] for log in logs if log["level"] <= ERROR]
                self.assertTrue(errors, logs)
                self.assertEqual(result["message"], errors[0].rstrip("\n"))
                self.assertIn(text, result["message"] + "".join(errors))
                self.assertEqual(result["error"], error, result)
                self.assertEqual(self.box.leftovers(), [])
                self.assertFalse(os.path.exists(self.box.path(transcode[1][3:])))

    def test_lines_name_the_clients_paths(self):
        logs, _ = self.run_job(["D:\\corrupt.mp4", "D:\\c.webm", "-vnpreview", "29", "640x360"])
        text = "".join(log["line"] for log in logs)
        self.assertIn("D:\\corrupt.mp4", text)
        self.assertNotIn(self.box.volume, text)


FAKE_FFMPEG = r"""#!/bin/sh
# A stand-in for ffmpeg: writes its log from a script file, then behaves as asked.
for last; do :; done
out="${last#file:}"
cat "$FAKE_LOG" >&2
case "$FAKE_MODE" in
  signal) printf 'partial' > "$out"; kill -9 $$ ;;
  empty) : > "$out"; exit 0 ;;
  ok) printf 'video' > "$out"; exit 0 ;;
  fail) exit 1 ;;
esac
"""


class FakeFfmpeg(ServerCase):
    """Log lines, signals and empty files, with a scripted program in ffmpeg's place."""

    @classmethod
    def prepare(cls, box):
        cls.fake = os.path.join(box.root, "fake-ffmpeg")
        with open(cls.fake, "w") as f:
            f.write(FAKE_FFMPEG)
        os.chmod(cls.fake, 0o755)
        cls.log = os.path.join(box.root, "fake.log")
        cls.mode = os.path.join(box.root, "mode")
        with open(box.path("in.mp4"), "wb") as f:
            f.write(b"x")
        box.env["FAKE_LOG"] = cls.log
        cls.server_args = ("--ffmpeg", cls.fake)

    def job(self, mode, log=b""):
        with open(self.log, "wb") as f:
            f.write(log)
        # The mode reaches the fake through the environment of a server of its own.
        box = self.box
        box.env["FAKE_MODE"] = mode
        server = Server(box, "--ffmpeg", self.fake, "--name", "FAKE" + mode.upper())
        try:
            return box.transcode(["D:\\in.mp4", "D:\\out.webm"], "FAKE" + mode.upper())
        finally:
            self.assertEqual(server.stop(), 0)

    def test_levels_tags_and_continuations(self):
        log = (b"[info] Input #0, mov\n"
               b"[info]   Metadata:\n"
               b"[mov @ 0x1234] [warning] a warning\n"
               b"continued without tag\n"
               b"[error] bad \xff byte\n"
               b"[libvpx @ 0x55] [verbose] v1.12\n"
               b"[fatal] last line without feed")
        logs, result = self.job("fail", log)
        self.assertEqual(logs, [
            {"line": "Input #0, mov\n", "level": 32},
            {"line": "  Metadata:\n", "level": 32},
            {"line": "[mov @ 0x1234] a warning\n", "level": 24},
            {"line": "continued without tag\n", "level": 24},
            {"line": "bad \ufffd byte\n", "level": 16},
            {"line": "[libvpx @ 0x55] v1.12\n", "level": 40},
            {"line": "last line without feed", "level": 8},
        ])
        self.assertEqual(result, {"message": "bad \ufffd byte", "error": 5})  # no errno text: EIO

    def test_long_line_is_cut_and_continued(self):
        logs, _ = self.job("fail", b"[error] " + b"a" * 10000 + b"\n")
        self.assertGreater(len(logs), 1)
        self.assertEqual("".join(log["line"] for log in logs), "a" * 10000 + "\n")
        self.assertEqual({log["level"] for log in logs}, {16})

    def test_ended_by_a_signal_is_a_failure_and_its_file_goes(self):
        logs, result = self.job("signal")
        self.assertEqual(result["error"], EINTR, result)
        self.assertEqual(result["message"], "ffmpeg was ended by signal 9")
        self.assertFalse(os.path.exists(self.box.path("out.webm")))
        self.assertEqual(self.box.leftovers(), [])

    def test_empty_output_is_a_failure(self):
        _, result = self.job("empty")
        self.assertEqual(result["error"], 120, result)  # ENODATA
        self.assertFalse(os.path.exists(self.box.path("out.webm")))
        self.assertEqual(self.box.leftovers(), [])

    def test_success_renames_onto_the_output(self):
        with open(self.box.path("out.webm"), "wb") as f:
            f.write(b"old")
        _, result = self.job("ok")
        self.assertEqual(result, {"message": "", "error": 0})
        with open(self.box.path("out.webm"), "rb") as f:
            self.assertEqual(f.read(), b"video")
        self.assertEqual(self.box.leftovers(), [])


def request_bytes(obj):
    return json.dumps(obj).encode("utf-8") + b"\0"


GOOD = ["D:\\clip.mp4", "D:\\out.webm"]


class Requests(ServerCase):
    """Malformed requests and refused options are answered with EINVAL, and ffmpeg is not run."""

    @classmethod
    def prepare(cls, box):
        with open(box.path("clip.mp4"), "wb") as f:
            f.write(b"x")

    def raw_job(self, payload):
        client = self.box.client("FFMPEG")
        try:
            client.send_raw(payload)
            return list(client.replies())
        finally:
            client.close()

    def test_malformed_rows(self):
        rows = [
            ("no NUL", json.dumps({"loglevel": 32, "transcode": GOOD}).encode()),
            ("two NULs", request_bytes({"loglevel": 32, "transcode": GOOD}) + b"\0"),
            ("empty message", b""),
            ("NUL alone", b"\0"),
            ("not UTF-8", b'{"loglevel": 32, "transcode": ["D:\\\\\xff.mp4", "D:\\\\o.webm"]}\0'),
            ("not JSON", b"loglevel=32\0"),
            ("trailing text", request_bytes({"loglevel": 32, "transcode": GOOD})[:-1] + b" x\0"),
            ("an array", request_bytes([32, GOOD])),
            ("no loglevel", request_bytes({"transcode": GOOD})),
            ("no transcode", request_bytes({"loglevel": 32})),
            ("loglevel a string", request_bytes({"loglevel": "32", "transcode": GOOD})),
            ("loglevel 1.5", request_bytes({"loglevel": 1.5, "transcode": GOOD})),
            ("loglevel 2^31", request_bytes({"loglevel": 2 ** 31, "transcode": GOOD})),
            ("loglevel 4294967298", request_bytes({"loglevel": 4294967298, "transcode": GOOD})),
            ("loglevel null", request_bytes({"loglevel": None, "transcode": GOOD})),
            ("transcode a string", request_bytes({"loglevel": 32, "transcode": "D:\\clip.mp4"})),
            ("transcode one path", request_bytes({"loglevel": 32, "transcode": GOOD[:1]})),
            ("transcode a number", request_bytes({"loglevel": 32, "transcode": GOOD + [5]})),
            ("NUL in a path", request_bytes({"loglevel": 32, "transcode": ["D:\\clip.mp4\u0000x", GOOD[1]]})),
            ("empty output", request_bytes({"loglevel": 32, "transcode": [GOOD[0], ""]})),
            ("unknown key", request_bytes({"loglevel": 32, "transcode": GOOD, "extra": 1})),
            ("key twice", b'{"loglevel": 32, "loglevel": 32, "transcode": ["D:\\\\clip.mp4", "D:\\\\o.webm"]}\0'),
            ("deep nesting", b'{"loglevel": 32, "transcode": ' + b"[" * 100000 + b"]" * 100000 + b"}\0"),
            ("over 1 MiB", request_bytes({"loglevel": 32, "transcode": GOOD + ["-metadata", "x" * (1 << 20)]})),
        ]
        options = [
            ("positional argument", ["second.mp4"]),
            ("a lone dash", ["-"]),
            ("an option off the allow-list", ["-nosuchoption", "1"]),
            ("another input", ["-i", "D:\\clip.mp4"]),
            ("overwrite flag", ["-y"]),
            ("log level", ["-loglevel", "debug"]),
            ("pass log file", ["-passlogfile", "/tmp/x"]),
            ("complex filter", ["-filter_complex", "nullsrc"]),
            ("segment format", ["-f", "segment"]),
            ("hls format", ["-f", "hls"]),
            ("value missing", ["-b:v"]),
            ("value missing after a flag", ["-an", "-c:v"]),
            ("preview without size", ["-vnpreview", "29"]),
            ("preview of 0 frames", ["-vnpreview", "0", "640x360"]),
            ("preview of 10001 frames", ["-vnpreview", "10001", "640x360"]),
            ("preview odd width", ["-vnpreview", "29", "641x360"]),
            ("preview odd height", ["-vnpreview", "29", "640x361"]),
            ("preview no height", ["-vnpreview", "29", "640x"]),
            ("preview signed", ["-vnpreview", "+29", "640x360"]),
            ("preview too wide", ["-vnpreview", "29", "16384x360"]),
            ("preview twice", ["-vnpreview", "29", "640x360", "-vnpreview", "29", "640x360"]),
        ]
        rows += [(name, request_bytes({"loglevel": 32, "transcode": GOOD + opts})) for name, opts in options]
        for name, payload in rows:
            with self.subTest(name):
                replies = self.raw_job(payload)
                self.assertEqual(len(replies), 1, replies)
                self.assertEqual(replies[0]["result"]["error"], EINVAL, replies)
                self.assertNotEqual(replies[0]["result"]["message"], "")
        self.assertEqual([r for r in self.box.records() if r["event"] == "start"], [])
        self.assertEqual({r["status"] for r in self.box.ended()}, {"refused"})
        self.assertFalse(os.path.exists(self.box.path("out.webm")))


class Paths(ServerCase):
    """Paths must lie on the archive's volumes."""

    @classmethod
    def prepare(cls, box):
        with open(box.path("clip.mp4"), "wb") as f:
            f.write(b"x")
        with open(os.path.join(box.outside, "secret.mp4"), "wb") as f:
            f.write(b"x")
        os.symlink(box.outside, box.path("link"))
        os.makedirs(box.path("folder"))

    def test_rows(self):
        starts = len([r for r in self.box.records() if r["event"] == "start"])
        outside = os.path.join(self.box.outside, "x.webm")
        rows = [
            ("host source", [os.path.join(self.box.outside, "secret.mp4"), "D:\\o.webm"], EACCES),
            ("host output", ["D:\\clip.mp4", outside], EACCES),
            ("relative source", ["clip.mp4", "D:\\o.webm"], EACCES),
            ("drive-relative source", ["D:clip.mp4", "D:\\o.webm"], EACCES),
            ("unmapped drive", ["Q:\\clip.mp4", "D:\\o.webm"], ENOENT),
            ("climb above the root", ["D:\\..\\outside\\secret.mp4", "D:\\o.webm"], EACCES),
            ("output climbs above the root", ["D:\\clip.mp4", "D:\\..\\outside\\x.webm"], EACCES),
            ("link off the volume", ["D:\\link\\secret.mp4", "D:\\o.webm"], EACCES),
            ("output through a link off the volume", ["D:\\clip.mp4", "D:\\link\\x.webm"], EACCES),
            ("UNC source", ["\\\\server\\share\\clip.mp4", "D:\\o.webm"], EACCES),
            ("output is the source", ["D:\\clip.mp4", "d:/clip.mp4"], EINVAL),
            ("output is a link off the volume", ["D:\\clip.mp4", "D:\\link"], EACCES),
            ("output is a folder", ["D:\\clip.mp4", "D:\\folder"], 21),
            ("output folder missing", ["D:\\clip.mp4", "D:\\nofolder\\o.webm"], ENOENT),
        ]
        for name, transcode, error in rows:
            with self.subTest(name):
                logs, result = self.run_job(transcode)
                self.assertEqual(logs, [])
                self.assertEqual(result["error"], error, result)
        self.assertEqual(os.listdir(self.box.outside), ["secret.mp4"])
        self.assertEqual(len([r for r in self.box.records() if r["event"] == "start"]), starts)

    def test_long_form_of_a_volume_path_is_served(self):
        _, result = self.run_job(["\\\\?\\D:\\clip.mp4", "D:\\o.webm"])
        # ffmpeg ran (the clip is no video): a failure of ffmpeg's, not a refusal.
        self.assertEqual(result["error"], EILSEQ, result)
        self.assertEqual(self.box.ended()[-1]["status"], "failed")


class Hangup(ServerCase):
    """A client that goes away ends its ffmpeg and leaves no file; so does stopping the service."""

    server_args = ("--instances", "2")

    @classmethod
    def prepare(cls, box):
        make_clip(box.path("long.mp4"), "160x120", 30, rate=10)

    SLOW = ["D:\\long.mp4", "D:\\slow.webm", "-vf", "realtime", "-c:v", "libvpx", "-threads", "1", "-an"]

    def start_slow(self):
        """A client whose job runs (its first log line arrived), and the job's journal record."""
        before = len([r for r in self.box.records() if r["event"] == "start"])
        client = self.box.client("FFMPEG")
        client.send_request(INFO, self.SLOW)
        self.assertIn("log", next(client.replies()))
        starts = wait_until(lambda: [r for r in self.box.records() if r["event"] == "start"][before:] or None,
                            "the job's start record")
        return client, starts[0]

    def test_hang_up_kills_ffmpeg_and_removes_its_file(self):
        client, record = self.start_slow()
        self.assertTrue(tc.process_group_alive(record["pid"]))
        client.close()
        wait_until(lambda: self.box.ended(lambda r: r["job"] == record["job"]), "the job's end")
        wait_until(lambda: not tc.process_group_alive(record["pid"]), "ffmpeg's end")
        end = self.box.ended(lambda r: r["job"] == record["job"])[0]
        self.assertEqual(end["status"], "hung up")
        self.assertEqual(end["signal"], signal.SIGKILL)
        self.assertEqual(self.box.leftovers(), [])
        self.assertFalse(os.path.exists(self.box.path("slow.webm")))

    def test_two_instances_run_two_jobs_at_once(self):
        first, a = self.start_slow()
        second, b = self.start_slow()
        try:
            running = {r["job"] for r in self.box.records() if r["event"] == "start"} - \
                {r["job"] for r in self.box.ended()}
            self.assertLessEqual({a["job"], b["job"]}, running)
        finally:
            first.close()
            second.close()
        wait_until(lambda: not tc.process_group_alive(a["pid"]) and not tc.process_group_alive(b["pid"]), "ffmpeg's end")
        wait_until(lambda: len(self.box.ended(lambda r: r["job"] in (a["job"], b["job"]))) == 2, "the ends")
        self.assertEqual(tc.peak_concurrency(self.box.journal, "FFMPEG"), 2)

    def test_stop_kills_ffmpeg_and_removes_its_file(self):
        box = Sandbox()
        try:
            os.link(self.box.path("long.mp4"), box.path("long.mp4"))
            server = Server(box)
            before = len([r for r in box.records() if r["event"] == "start"])
            client = box.client("FFMPEG")
            client.send_request(INFO, self.SLOW)
            next(client.replies())
            record = wait_until(lambda: [r for r in box.records() if r["event"] == "start"][before:], "start")[0]
            self.assertEqual(server.stop(), 0)
            self.assertFalse(tc.process_group_alive(record["pid"]))
            with self.assertRaises(EOFError):
                while True:
                    self.assertNotIn("result", json.loads(client.recv_message()))
            client.close()
            self.assertEqual(box.ended()[-1]["status"], "stopped")
            self.assertEqual(box.leftovers(), [])
        finally:
            box.remove()


class Instances(ServerCase):
    """K instances per name: the next client is told the pipe is busy, and a waiter gets the freed one."""

    server_args = ("--name", "ONE", "--name", "TWO", "--instances", "1")

    @classmethod
    def prepare(cls, box):
        make_clip(box.path("long.mp4"), "160x120", 30, rate=10)

    def test_busy_then_free(self):
        client = self.box.client("ONE")
        client.send_request(INFO, Hangup.SLOW)
        self.assertIn("log", next(client.replies()))
        with self.assertRaises(tc.Busy):
            self.box.client("ONE", wait=False)
        # Another name has instances of its own.
        _, result = self.box.transcode(["D:\\nothing.mp4", "D:\\o.webm"], "TWO")
        self.assertEqual(result["error"], ENOENT)
        with self.assertRaises(tc.NoPipe):
            self.box.client("FFMPEG")
        # A waiter is let in once the busy client has gone.
        client.close()
        self.assertTrue(tc.wait_for_instance("ONE", pipe_dir=self.box.pipes))
        _, result = self.box.transcode(["D:\\nothing.mp4", "D:\\o.webm"], "ONE")
        self.assertEqual(result["error"], ENOENT)
        self.assertEqual(tc.peak_concurrency(self.box.journal, "ONE"), 1)


class Hostile(ServerCase):
    """Requests that would make ffmpeg read or write off the volume, or run a caller's code: each refused."""

    SECRET = "secret-b4f1c9e2"

    @classmethod
    def prepare(cls, box):
        # Reachable by another user, so that only the pipe's own mode keeps one out.
        os.chmod(box.root, 0o755)
        make_clip(box.path("clip.mp4"), "160x120", 1)
        cls.secret = os.path.join(box.outside, "secret.txt")
        with open(cls.secret, "w") as f:
            f.write(cls.SECRET + "\n")
        # Sources in the volume that list a file off it.
        with open(box.path("list.m3u8"), "w") as f:
            f.write("#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\n%s\n#EXT-X-ENDLIST\n" % cls.secret)
        with open(box.path("list.mp4"), "w") as f:
            f.write("ffconcat version 1.0\nfile '%s'\n" % cls.secret)
        cls.outside_before = cls.snapshot(box.outside)
        cls.volume_before = sorted(os.listdir(box.volume))

    @staticmethod
    def snapshot(folder):
        return sorted((n, os.stat(os.path.join(folder, n)).st_mtime_ns) for n in os.listdir(folder))

    def hostile_options(self):
        out = self.box.outside
        lib = os.path.join(out, "evil.so")
        target = os.path.join(out, "written")
        return [
            ("ladspa library", ["-vf", "null;ladspa=file=%s,anullsink" % lib]),
            ("ladspa in an audio chain", ["-af", "ladspa=file=%s:p=x" % lib]),
            ("metadata filter writes a file", ["-vf", "metadata=mode=print:file=%s" % target]),
            ("signature writes a file", ["-vf", "signature=filename=%s" % target]),
            ("vidstabdetect writes a file", ["-vf", "vidstabdetect=result=%s" % target]),
            ("sendcmd reads a file", ["-vf", "sendcmd=f=%s,null" % self.secret]),
            ("movie reads a file", ["-vf", "movie=%s[m];[in][m]overlay" % self.secret]),
            ("drawtext reads a file", ["-vf", "drawtext=textfile=%s" % self.secret]),
            ("drawtext with a quoted path", ["-vf", "drawtext=textfile='%s'" % self.secret]),
            ("an escaped separator", ["-vf", "scale=2\\,movie=%s" % self.secret]),
            ("a filter by its stream form", ["-filter:v", "drawtext=textfile=%s" % self.secret]),
            ("a link label", ["-vf", "[in]null[out]"]),
            ("an expression argument", ["-vf", "scale=iw/2:-2"]),
            ("upper-case segment format", ["-f", "SEGMENT"]),
            ("upper-case hls format", ["-f", "HLS"]),
            ("mixed-case tee format", ["-f", "Tee"]),
            ("dash format", ["-f", "dash"]),
            ("fifo format", ["-f", "fifo"]),
            ("a second input", ["-i", self.secret]),
            ("a second input by protocol", ["-i", "file:" + self.secret]),
            ("an http input", ["-i", "http://127.0.0.1:9/x"]),
            ("dump an attachment", ["-dump_attachment:t", target]),
            ("attach a file", ["-attach", self.secret]),
            ("a filter script", ["-filter_script:v", self.secret]),
            ("a complex filter script", ["-filter_complex_script", self.secret]),
            ("a complex filter", ["-filter_complex", "movie=%s" % self.secret]),
            ("lavfi", ["-lavfi", "movie=%s" % self.secret]),
            ("a stats file", ["-vstats_file", target]),
            ("a progress URL", ["-progress", "file:" + target]),
            ("a pass log file", ["-pass", "1", "-passlogfile", target]),
            ("encoder parameters", ["-c:v", "libx264", "-x264-params", "stats=%s" % target]),
            ("a report", ["-report"]),
            ("an SDP file", ["-sdp_file", target]),
            ("a codec by path", ["-c:v", "/tmp/x"]),
            ("a codec by protocol", ["-c:v", "file:x"]),
            ("a size that is a path", ["-s", "../x"]),
            ("a map of another input", ["-map", "1:v"]),
            ("a bit rate with text", ["-b:v", "1M;ls"]),
            ("metadata with a control character", ["-metadata", "title=a\nb"]),
            ("a concat protocol value", ["-metadata", "title=x", "concat:%s|%s" % (self.secret, self.secret)]),
            ("an init hardware device", ["-init_hw_device", "vaapi=x:/dev/dri/renderD128"]),
        ]

    def test_hostile_options_are_refused_and_nothing_is_touched(self):
        starts = len([r for r in self.box.records() if r["event"] == "start"])
        rows = [(name, ["D:\\clip.mp4", "D:\\o.webm"] + opts) for name, opts in self.hostile_options()]
        rows += [
            ("a playlist output", ["D:\\clip.mp4", "D:\\o.m3u8"]),
            ("a manifest output", ["D:\\clip.mp4", "D:\\o.mpd"]),
            ("an image sequence output", ["D:\\clip.mp4", "D:\\img%03d.png", "-frames:v", "3"]),
            ("an image sequence source", ["D:\\clip%d.mp4", "D:\\o.webm"]),
            ("an output off the volume by protocol", ["D:\\clip.mp4", "file:" + os.path.join(self.box.outside, "o.webm")]),
        ]
        for name, transcode in rows:
            with self.subTest(name):
                logs, result = self.run_job(transcode)
                self.assertIn(result["error"], (EINVAL, EACCES), result)
                self.assertEqual(logs, [])
        self.assertEqual(len([r for r in self.box.records() if r["event"] == "start"]), starts)
        self.assert_untouched()

    def test_sources_that_list_files_off_the_volume_read_nothing(self):
        for name, source in (("an HLS playlist", "D:\\list.m3u8"), ("a concat list named .mp4", "D:\\list.mp4")):
            with self.subTest(name):
                logs, result = self.run_job([source, "D:\\o.webm", "-c:v", "libvpx", "-an"])
                self.assertNotEqual(result["error"], 0, result)
                text = "".join(log["line"] for log in logs) + result["message"]
                self.assertNotIn(self.SECRET, text)
                self.assertNotIn(self.secret, text)
                self.assertFalse(os.path.exists(self.box.path("o.webm")))
        self.assert_untouched()

    def test_allowed_options_still_transcode(self):
        logs, result = self.run_job(["D:\\clip.mp4", "D:\\ok.webm", "-c:v", "libvpx-vp9", "-b:v", "200k",
                                     "-r", "10", "-pix_fmt", "yuv420p", "-threads", "1",
                                     "-vf", "scale=w=80:h=-2,fps=fps=5,setsar=1,format=yuv420p", "-f", "WEBM", "-an"])
        self.assertEqual(result["error"], 0, (logs, result))
        self.assertEqual(probe(self.box.path("ok.webm"))["format"]["format_name"], "matroska,webm")
        os.remove(self.box.path("ok.webm"))

    def test_pipe_is_closed_to_other_users(self):
        path = tc.socket_path("FFMPEG", self.box.pipes)
        self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o660)
        child = os.fork()
        if child == 0:
            code = 3
            try:
                os.setgroups([])
                os.setgid(65534)
                os.setuid(65534)
                try:
                    tc.Client("FFMPEG", pipe_dir=self.box.pipes, timeout=10)
                    code = 1
                except PermissionError:
                    code = 0
                except Exception:
                    code = 2
            finally:
                os._exit(code)
        _, status = os.waitpid(child, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0, "a client as nobody was not refused")
        # The service's own user is served.
        _, result = self.run_job(["D:\\none.mp4", "D:\\o.webm"])
        self.assertEqual(result["error"], ENOENT)

    def assert_untouched(self):
        self.assertEqual(self.snapshot(self.box.outside), self.outside_before)
        with open(self.secret) as f:
            self.assertEqual(f.read(), self.SECRET + "\n")
        self.assertEqual(sorted(os.listdir(self.box.volume)), self.volume_before)


class KillNine(unittest.TestCase):
    """kill -9 of the stand-in mid-transcode: ffmpeg dies with it, and the next start removes its file."""

    def test_no_ffmpeg_and_no_temporary_file_left(self):
        box = Sandbox()
        try:
            make_clip(box.path("long.mp4"), "160x120", 30, rate=10)
            os.makedirs(box.path("sub"))
            server = Server(box, "--instances", "2")
            client = box.client("FFMPEG")
            client.send_request(INFO, ["D:\\long.mp4", "D:\\sub\\slow.webm"] + Hangup.SLOW[2:])
            self.assertIn("log", next(client.replies()))
            record = wait_until(lambda: [r for r in box.records() if r["event"] == "start"], "the start")[0]
            self.assertEqual(len(box.leftovers(box.path("sub"))), 1)
            server.process.kill()
            server.process.wait(GENEROUS)
            server.process.stdout.close()
            server.process.stderr.close()
            client.close()
            wait_until(lambda: not tc.process_group_alive(record["pid"]), "ffmpeg's end with its parent")
            # A temporary file of a live transcoder is not touched by the next start.
            live = box.path(".~vntranscode-%d-0.live.webm" % os.getpid())
            open(live, "w").close()
            again = Server(box)
            try:
                self.assertEqual(box.leftovers(box.path("sub")), [])
                self.assertEqual(box.leftovers(), [os.path.basename(live)])
                _, result = box.transcode(["D:\\none.mp4", "D:\\o.webm"])
                self.assertEqual(result["error"], ENOENT)
            finally:
                self.assertEqual(again.stop(), 0)
        finally:
            box.remove()


class Silent(ServerCase):
    """Connected clients that send nothing are dropped within 2 s and never keep others waiting long."""

    server_args = ("--instances", "2")

    def test_two_silent_clients_do_not_block_a_transcode(self):
        silent = [self.box.client("FFMPEG") for _ in range(2)]
        try:
            begun = time.monotonic()
            # Every instance is held now; the transcode waits for one as WaitNamedPipe does.
            self.assertTrue(tc.wait_for_instance("FFMPEG", pipe_dir=self.box.pipes, timeout=GENEROUS))
            _, result = self.box.transcode(["D:\\none.mp4", "D:\\o.webm"])
            self.assertEqual(result["error"], ENOENT)
            # Far below the old 30 s hold, with room for a loaded machine.
            self.assertLess(time.monotonic() - begun, 20)
            for client in silent:
                client.sock.settimeout(GENEROUS)
                with self.assertRaises(EOFError):
                    client.recv_message()
        finally:
            for client in silent:
                client.close()


class Program(unittest.TestCase):
    """Settings from the registry, and the detached start."""

    def test_registry_names_and_detached_start(self):
        box = Sandbox()
        try:
            box.reg("add", SETTINGS_KEY, "/v", "Names", "/t", "REG_MULTI_SZ", "/d", "REGA\\0REGB", "/f")
            box.reg("add", SETTINGS_KEY, "/v", "Journal", "/t", "REG_SZ", "/d", os.path.join(box.root, "j.jsonl"),
                    "/f")
            out = subprocess.run([ARGS.program, "--detach"], env=box.env, capture_output=True, text=True,
                                 timeout=GENEROUS)
            self.assertEqual(out.returncode, 0, out.stderr)
            pid = int(out.stdout.strip())
            try:
                for name in ("REGA", "REGB"):
                    _, result = box.transcode(["D:\\none.mp4", "D:\\o.webm"], name)
                    self.assertEqual(result["error"], ENOENT)
                with self.assertRaises(tc.NoPipe):
                    box.client("FFMPEG")
                with open(os.path.join(box.root, "j.jsonl")) as f:
                    records = [json.loads(line) for line in f]
                self.assertEqual([(r["event"], r["transcoder"]) for r in records],
                                 [("start", "REGA"), ("end", "REGA"), ("start", "REGB"), ("end", "REGB")])
            finally:
                os.kill(pid, signal.SIGTERM)
            wait_until(lambda: not os.path.exists("/proc/%d" % pid) or
                       open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()[0] == "Z", "the exit")
        finally:
            box.remove()

    def test_a_missing_ffmpeg_is_an_error_result(self):
        box = Sandbox()
        try:
            with open(box.path("clip.mp4"), "wb") as f:
                f.write(b"x")
            server = Server(box, "--ffmpeg", os.path.join(box.root, "no-such-ffmpeg"))
            logs, result = box.transcode(["D:\\clip.mp4", "D:\\o.webm"])
            self.assertEqual((logs, result["error"]), ([], ENOENT))
            self.assertIn("no-such-ffmpeg", result["message"])
            self.assertEqual(box.leftovers(), [])
            self.assertEqual(server.stop(), 0)
        finally:
            box.remove()

    def test_a_name_served_elsewhere_fails_the_start(self):
        box = Sandbox()
        try:
            first = Server(box)
            second = subprocess.run([ARGS.program], env=box.env, capture_output=True, text=True, timeout=GENEROUS)
            self.assertEqual(second.returncode, 1)
            self.assertIn("error 5", second.stderr)
            self.assertEqual(first.stop(), 0)
        finally:
            box.remove()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--vnreg", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
