"""What the end-to-end tests rely on in the station server (station/station.py):
the protocol over one keep-alive connection, the control commands, the log, and
what each fault mode does to a response. The server runs as a real process on a
free loopback port; the tests speak raw HTTP/1.1 to it."""

import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

STATION_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "station")
sys.path.insert(0, STATION_DIR)
import modwriter  # noqa: E402

MIB = 1 << 20


class Client:
    """One keep-alive HTTP/1.1 connection, reading bodies by Content-Length."""

    def __init__(self, port, timeout=5.0):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buffer = b""

    def send(self, path):
        self.sock.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\nUser-Agent: SONVALE_V2\r\n\r\n" % path.encode())

    def read(self, n=None):
        """The head (status, headers) when n is None, else n body bytes."""
        while (b"\r\n\r\n" not in self.buffer) if n is None else (len(self.buffer) < n):
            data = self.sock.recv(65536)
            if not data:
                raise EOFError("closed")
            self.buffer += data
        if n is not None:
            body, self.buffer = self.buffer[:n], self.buffer[n:]
            return body
        head, _, self.buffer = self.buffer.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        return int(lines[0].split()[1]), {k.lower(): v.strip() for k, _, v in (l.partition(":") for l in lines[1:])}

    def request(self, path):
        self.send(path)
        status, headers = self.read()
        return status, self.read(int(headers["content-length"]))


class StationTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        folder = os.path.join(cls.tmp.name, "modules")
        os.mkdir(folder)
        cls.files = {"one.mod": modwriter.write_module("One"), "two.mod": modwriter.write_module("Two", rows=16)}
        for name, data in cls.files.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        ready = os.path.join(cls.tmp.name, "ready")
        cls.log = os.path.join(cls.tmp.name, "log")
        cls.proc = subprocess.Popen([sys.executable, os.path.join(STATION_DIR, "station.py"), folder, "--port", "0",
                                     "--ready-file", ready, "--log", cls.log, "--quiet"])
        deadline = time.monotonic() + 10
        while not os.path.exists(ready) and cls.proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.02)
        with open(ready) as f:
            cls.port = int(dict(l.split("=", 1) for l in f.read().splitlines())["port"])

    @classmethod
    def tearDownClass(cls):
        cls.proc.terminate()
        cls.proc.wait(10)
        cls.tmp.cleanup()

    def setUp(self):
        self.control("reset")
        self.control("playlist?names=one.mod,two.mod")
        self.client = Client(self.port)
        self.addCleanup(self.client.sock.close)

    def control(self, command):
        c = Client(self.port)
        status, body = c.request("/control/" + command)
        c.sock.close()
        self.assertEqual(status, 200, body)

    def logged(self, path):
        """The log record of a request of `path`, once it is written."""
        for _ in range(250):
            with open(self.log) as f:
                found = [r for r in map(json.loads, f) if r.get("event") == "request" and r["path"] == path]
            if found:
                return found[0]
            time.sleep(0.02)
        self.fail("no log record of " + path)

    def test_answers_name_the_playlist_in_turn_and_are_served_on_one_connection(self):
        for name in ("one.mod", "two.mod", "one.mod"):
            self.assertEqual(self.client.request("/xm/request.php"), (200, name.encode()))
            self.assertEqual(self.client.request("/xm/" + name), (200, self.files[name]))
        self.assertEqual(self.client.request("/xm/missing.mod")[0], 404)
        record = self.logged("/xm/missing.mod")  # the seventh request on the connection
        self.assertEqual((record["kind"], record["agent"], record["seq"], record["outcome"]),
                         ("module", "SONVALE_V2", 7, "not-found"))
        self.control("reset")  # rewinds the playlist
        self.assertEqual(self.client.request("/xm/request.php"), (200, b"one.mod"))

    def test_fault_modes_change_the_answer_or_the_module(self):
        page = lambda status: lambda body: body.startswith(b"<html>") and str(status).encode() in body
        module = self.files["one.mod"]
        cases = [  # mode, request, status, body check
            ("answer-lf", "/xm/request.php", 200, lambda b: b == b"one.mod\n"),
            ("answer-crlf", "/xm/request.php", 200, lambda b: b == b"one.mod\r\n"),
            ("answer-nul", "/xm/request.php", 200, lambda b: b == b"one.mod\0garbage"),
            ("answer-404", "/xm/request.php", 404, page(404)),
            ("answer-empty", "/xm/request.php", 200, lambda b: b == b""),
            ("answer-1mib", "/xm/request.php", 200, lambda b: len(b) == MIB and b"\0" not in b),
            ("module-404", "/xm/one.mod", 404, page(404)),
            ("module-empty", "/xm/one.mod", 200, lambda b: b == b""),
            ("module-1mib", "/xm/one.mod", 200, lambda b: len(b) == MIB and b.rstrip(b"\0") == module),
            ("module-oversize", "/xm/one.mod", 200, lambda b: len(b) == MIB + 1 and b.startswith(module)),
        ]
        for mode, path, status, check in cases:
            with self.subTest(mode=mode):
                self.control("reset")
                self.control("fault?mode=" + mode)
                got, body = self.client.request(path)
                self.assertEqual(got, status)
                self.assertTrue(check(body), body[:60])

    def test_after_and_count_pick_the_requests_a_fault_hits(self):
        self.control("fault?mode=module-empty&after=1&count=1")
        self.assertEqual([len(self.client.request("/xm/one.mod")[1]) > 0 for _ in range(3)], [True, False, True])

    def test_reset_stall_and_silent_cut_a_response_short(self):
        module = self.files["one.mod"]
        cases = [  # mode, request, body bytes sent before the cut, release needed
            ("module-reset&at=100&wait=0.1", "/xm/one.mod", 100, False),
            ("module-stall&at=100", "/xm/one.mod", 100, True),
            ("answer-silent", "/xm/request.php", None, True),
        ]
        for mode, path, sent, stalls in cases:
            with self.subTest(mode=mode):
                self.control("reset")
                self.control("fault?mode=" + mode)
                c = Client(self.port, timeout=0.6)
                self.addCleanup(c.sock.close)
                c.send(path)
                if sent is not None:
                    status, headers = c.read()
                    self.assertEqual((status, int(headers["content-length"])), (200, len(module)))
                    self.assertEqual(c.read(sent), module[:sent])
                if stalls:
                    with self.assertRaises(socket.timeout):
                        c.read(1) if sent is not None else c.read()
                    self.control("release")
                with self.assertRaises((EOFError, ConnectionResetError)):
                    c.read(1)


if __name__ == "__main__":
    unittest.main()
