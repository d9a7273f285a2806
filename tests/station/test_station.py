"""What the end-to-end tests rely on in their station (faults.py, on
station/station.py): the protocol over one keep-alive connection, the control
commands, the log, and what each fault mode does to a response. The server runs
as a real process on a free loopback port."""

import http.client
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest


MIB = 1 << 20


class StationTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        folder = os.path.join(cls.tmp.name, "modules")
        os.mkdir(folder)
        cls.files = {"one.mod": bytes(range(256)) * 20, "two.mod": bytes(range(7)) * 300}
        for name, data in cls.files.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        cls.log = os.path.join(cls.tmp.name, "log")
        ready = os.path.join(cls.tmp.name, "ready")
        cls.proc = subprocess.Popen([sys.executable, "faults.py", folder, "--port", "0", "--ready-file", ready,
                                     "--quiet", "--log", cls.log])
        deadline = time.monotonic() + 10
        while not os.path.exists(ready) and cls.proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.02)
        with open(ready) as f:
            cls.port = int(dict(line.split("=", 1) for line in f.read().splitlines())["port"])

    @classmethod
    def tearDownClass(cls):
        cls.proc.terminate()
        cls.proc.wait(10)
        cls.tmp.cleanup()

    def setUp(self):
        self.control("reset")
        self.control("playlist?names=one.mod,two.mod")
        self.client = self.connect()

    def connect(self, timeout=5.0):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        self.addCleanup(c.close)
        return c

    def fetch(self, path, client=None):
        """Status and body of a GET with the player's agent."""
        client = client or self.client
        client.request("GET", path, headers={"User-Agent": "SONVALE_V2"})
        r = client.getresponse()
        return r.status, r.read()

    def control(self, command):
        self.assertEqual(self.fetch("/control/" + command, self.connect())[0], 200)

    def test_answers_name_the_playlist_in_turn_and_are_served_on_one_connection(self):
        for name in ("one.mod", "two.mod", "one.mod"):
            self.assertEqual(self.fetch("/xm/request.php"), (200, name.encode()))
            self.assertEqual(self.fetch("/xm/" + name), (200, self.files[name]))
        self.assertEqual(self.fetch("/xm/missing.mod")[0], 404)
        for _ in range(250):  # the record is written just after the response
            with open(self.log) as f:
                found = [(r["kind"], r["agent"], r["seq"], r["outcome"]) for r in map(json.loads, f)
                         if r.get("path") == "/xm/missing.mod"]
            if found:
                break
            time.sleep(0.02)
        self.assertEqual(found, [("module", "SONVALE_V2", 7, "not-found")])  # the seventh on the connection

    def test_fault_modes_change_the_answer_or_the_module(self):
        # The modes after which the player plays on, as it would without them, and a
        # size and framing whose box would come without them too. Each other mode the
        # end-to-end cases use shows there in a box or a module's path.
        module = self.files["one.mod"]
        cases = [  # mode, request, status, body check
            ("answer-crlf", "/xm/request.php", 200, lambda b: b == b"one.mod\r\n"),
            ("answer-nul", "/xm/request.php", 200, lambda b: b == b"one.mod\0garbage"),
            ("module-1mib", "/xm/one.mod", 200, lambda b: len(b) == MIB and b.rstrip(b"\0") == module),
            ("module-oversize&size=1100000&length=none", "/xm/one.mod", 200, lambda b: len(b) == 1100000),
        ]
        for mode, path, status, check in cases:
            with self.subTest(mode=mode):
                self.control("reset")
                self.control("fault?mode=" + mode)
                got, body = self.fetch(path)
                self.assertEqual(got, status)
                self.assertTrue(check(body), body[:60])

    def test_connections_counts_the_players_open_ones_and_the_most_at_once(self):
        def connections():
            return json.loads(self.fetch("/control/connections", self.connect())[1])
        clients = [self.connect() for _ in range(3)]  # kept alive
        for c in clients:
            self.assertEqual(self.fetch("/xm/request.php", c)[0], 200)
        self.assertEqual(connections(), {"open": 3, "most": 3})
        clients[0].close()
        for _ in range(250):  # the close reaches the station's socket
            if connections()["open"] == 2:
                break
            time.sleep(0.02)
        self.assertEqual(connections(), {"open": 2, "most": 3})

    def test_huge_sends_on(self):
        self.control("fault?mode=module-huge")
        c = self.connect()
        c.request("GET", "/xm/one.mod")
        r = c.getresponse()
        self.assertEqual((r.length, r.read(3 * MIB)), (1000000000, bytes(3 * MIB)))

    def test_reset_stall_and_silent_cut_a_response_short(self):
        module = self.files["one.mod"]
        cases = [  # mode, request, body bytes sent before the cut, silent until released
            ("module-reset&at=100", "/xm/one.mod", 100, False),
            ("module-stall&at=100", "/xm/one.mod", 100, True),
            ("answer-silent", "/xm/request.php", None, True),
        ]
        for mode, path, sent, stalls in cases:
            with self.subTest(mode=mode):
                self.control("reset")
                self.control("fault?mode=" + mode)
                c = self.connect(timeout=0.6)
                c.request("GET", path)
                if sent is not None:
                    r = c.getresponse()
                    self.assertEqual((r.status, r.length), (200, len(module)))
                    self.assertEqual(r.read(sent), module[:sent])
                read = (lambda: r.read(1)) if sent is not None else c.getresponse
                if not stalls:
                    self.assertRaises((http.client.HTTPException, ConnectionError), read)
                    continue
                self.assertRaises(socket.timeout, read)
                self.control("release")
                c.sock.settimeout(5)
                self.assertEqual(c.sock.recv(1), b"")  # closed, with nothing more sent


if __name__ == "__main__":
    unittest.main()
