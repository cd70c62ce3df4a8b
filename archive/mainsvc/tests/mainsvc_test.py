#!/usr/bin/env python3
"""mainsvc_test.py - the main service stand-in as a program, against clients that connect and hang up.

Run: mainsvc_test.py --program vnarchive-mainsvc
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "LibService", "tests"))
sys.path.insert(0, os.path.join(HERE, ".."))
import admin_client as ac  # noqa: E402
import mainsvc_control  # noqa: E402

ARGS = None
PIPE = "vantrel.vnservice"
ECHO = 0x930F0
GENEROUS = 60


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


class HangUps(unittest.TestCase):
    """An instance, its thread and its descriptors are freed when its client hangs up."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="vnmainsvc-")
        env = dict(os.environ, VANTREL_PIPE_DIR=self.root, VANTREL_REGISTRY=os.path.join(self.root, "r.db"))
        self.process = subprocess.Popen([ARGS.program], env=env, stdin=subprocess.DEVNULL)
        self.path = os.path.join(self.root, PIPE)
        deadline = time.monotonic() + GENEROUS
        while not os.path.exists(self.path) and time.monotonic() < deadline:
            time.sleep(0.05)

    def tearDown(self):
        mainsvc_control.control(self.root, "quit")
        try:
            self.process.wait(GENEROUS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.root, ignore_errors=True)

    def connect(self):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.settimeout(GENEROUS)
        sock.connect(self.path)
        sock.sendall(b"C")
        return sock, ac.recv_exact(sock, 1) == b"\x01"

    def admitted_then_closed(self):
        """A client that connects, is admitted (waiting, as WaitNamedPipe does, while the
        stand-in makes its next instance) and hangs up at once."""
        deadline = time.monotonic() + GENEROUS
        while time.monotonic() < deadline:
            sock, admitted = self.connect()
            sock.close()
            if admitted:
                return True
            time.sleep(0.002)
        return False

    def served(self):
        """A new client is admitted and its request echoed."""
        deadline = time.monotonic() + GENEROUS
        while True:
            sock, admitted = self.connect()
            try:
                if admitted:
                    ac.send_message(sock, ac.request(7, ECHO, b"hello", 64))
                    request_id, status, data = ac.recv_reply(sock)
                    return request_id == 7 and status == 0 and data == b"hello"
            finally:
                sock.close()
            if time.monotonic() > deadline:
                return False
            time.sleep(0.05)

    def settled(self, start):
        """The descriptor count back near start (the stand-in frees departed clients as it goes)."""
        deadline = time.monotonic() + GENEROUS
        while descriptors(self.process.pid) > start + 8 and time.monotonic() < deadline:
            self.assertTrue(self.served())
            time.sleep(0.1)
        return descriptors(self.process.pid)

    def test_1000_sequential_then_300_at_once(self):
        self.assertTrue(self.served())
        start = descriptors(self.process.pid)
        for _ in range(1000):
            self.assertTrue(self.admitted_then_closed())
        self.assertTrue(self.served())
        self.assertLessEqual(self.settled(start), start + 8)
        held = []
        try:
            for _ in range(300):
                held.append(self.connect()[0])
        finally:
            for sock in held:
                sock.close()
        self.assertTrue(self.served())
        self.assertLessEqual(self.settled(start), start + 8)
        self.assertTrue(self.served())


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
