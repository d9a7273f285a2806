"""Tests of the station server (station/station.py) and the test module writer
(station/modwriter.py). The server runs as a real process on a free loopback
port, found through its ready file; the tests speak raw HTTP/1.1 to it."""

import ctypes
import ctypes.util
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
STATION_DIR = os.path.normpath(os.path.join(HERE, "..", "..", "station"))
SERVER = os.path.join(STATION_DIR, "station.py")
WRITER = os.path.join(STATION_DIR, "modwriter.py")
sys.path.insert(0, STATION_DIR)
import modwriter  # noqa: E402

MIB = 1 << 20
AGENT = "SONVALE_V2"


class Client:
    """One keep-alive HTTP/1.1 connection, reading bodies by Content-Length."""

    def __init__(self, port, timeout=5.0):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buffer = b""

    def close(self):
        self.sock.close()

    def send(self, path, method="GET", version="HTTP/1.1", headers=None):
        if isinstance(path, str):
            path = path.encode("latin-1")
        lines = [method.encode() + b" " + path + b" " + version.encode(),
                 b"Host: 127.0.0.1", b"User-Agent: " + AGENT.encode()]
        for k, v in (headers or {}).items():
            lines.append(("%s: %s" % (k, v)).encode("latin-1"))
        self.sock.sendall(b"\r\n".join(lines) + b"\r\n\r\n")

    def read_head(self):
        while b"\r\n\r\n" not in self.buffer:
            data = self.sock.recv(65536)
            if not data:
                raise EOFError("connection closed before the head")
            self.buffer += data
        head, _, self.buffer = self.buffer.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        status = int(lines[0].split()[1])
        headers = {}
        for line in lines[1:]:
            k, _, v = line.partition(":")
            headers[k.strip().lower()] = v.strip()
        return status, headers

    def read_exactly(self, n):
        while len(self.buffer) < n:
            data = self.sock.recv(65536)
            if not data:
                raise EOFError("connection closed after %d of %d bytes" % (len(self.buffer), n))
            self.buffer += data
        body, self.buffer = self.buffer[:n], self.buffer[n:]
        return body

    def request(self, path, **kw):
        self.send(path, **kw)
        status, headers = self.read_head()
        body = b"" if kw.get("method") == "HEAD" else self.read_exactly(int(headers["content-length"]))
        return status, headers, body

    def read_until_close(self):
        data = self.buffer
        self.buffer = b""
        while True:
            piece = self.sock.recv(65536)
            if not piece:
                return data
            data += piece


def start_server(args, tmp, name="station"):
    ready = os.path.join(tmp, name + ".ready")
    log = os.path.join(tmp, name + ".log")
    err = open(os.path.join(tmp, name + ".stderr"), "w")
    started = time.monotonic()
    proc = subprocess.Popen([sys.executable, SERVER, "--port", "0", "--ready-file", ready,
                             "--log", log] + args, stdout=subprocess.DEVNULL, stderr=err)
    err.close()
    while not os.path.exists(ready):
        if proc.poll() is not None or time.monotonic() - started > 10:
            proc.kill()
            raise RuntimeError("the station did not start")
        time.sleep(0.01)
    with open(ready) as f:
        values = dict(line.split("=", 1) for line in f.read().splitlines())
    return proc, int(values["port"]), log, time.monotonic() - started, values


def log_records(path, event="request"):
    with open(path) as f:
        return [r for r in map(json.loads, f) if r.get("event") == event]


def wait_for(predicate, limit=5.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.02)
    return False


class StationTest(unittest.TestCase):
    """One server for the whole class; each test starts from /control/reset."""

    @classmethod
    def setUpClass(cls):
        cls.tmpdir = tempfile.TemporaryDirectory()
        tmp = cls.tmpdir.name
        cls.folder = os.path.join(tmp, "modules")
        cls.folder2 = os.path.join(tmp, "more")
        os.mkdir(cls.folder)
        os.mkdir(cls.folder2)
        cls.files = {}
        for i, (name, title) in enumerate([("one.mod", "First"), ("two.mod", ""), ("three.mod", "Third"),
                                           ("four.mod", "Fourth")]):
            data = modwriter.write_module(title, orders=1, rows=8 + i)
            cls.files[name] = data
            with open(os.path.join(cls.folder, name), "wb") as f:
                f.write(data)
        cls.files["five.mod"] = modwriter.write_module("Fifth", orders=2)
        with open(os.path.join(cls.folder2, "five.mod"), "wb") as f:
            f.write(cls.files["five.mod"])
        # Files the station must never serve: outside its folders, or no module.
        with open(os.path.join(tmp, "secret.mod"), "wb") as f:
            f.write(b"secret")
        with open(os.path.join(cls.folder, "notes.txt"), "wb") as f:
            f.write(b"not in the rotation")
        cls.proc, cls.port, cls.log, cls.startup, cls.ready = start_server(
            [cls.folder, cls.folder2, "--seed", "3"], tmp)

    @classmethod
    def tearDownClass(cls):
        cls.proc.terminate()
        cls.proc.wait(10)
        cls.tmpdir.cleanup()

    def setUp(self):
        self.control("reset")
        self.mark = len(log_records(self.log))  # the reset's record may come later: skip control records
        self.client = Client(self.port)

    def tearDown(self):
        self.client.close()

    def control(self, command, expect=200):
        c = Client(self.port)
        try:
            status, _, body = c.request("/control/" + command)
        finally:
            c.close()
        self.assertEqual(status, expect, body)
        return body

    def answer(self, client=None):
        status, _, body = (client or self.client).request("/xm/request.php")
        self.assertEqual(status, 200)
        return body

    def requests(self, n):
        """The last n request records of this test, once they are all logged:
        the server writes a record after the response's last byte, so the
        client may see the response a moment before the log does."""
        records = []

        def enough():
            records[:] = [r for r in log_records(self.log)[self.mark:] if r["kind"] != "control"]
            return len(records) >= n
        self.assertTrue(wait_for(enough), "%d of %d records logged" % (len(records), n))
        return records[-n:]

    def last_request(self, path=None):
        found = []

        def logged():
            found[:] = [r for r in log_records(self.log)[self.mark:]
                        if r["kind"] != "control" and (path is None or r["path"] == path)]
            return bool(found)
        self.assertTrue(wait_for(logged), path)
        return found[-1]

    # --- protocol -------------------------------------------------------------
    def test_ready_file_and_fast_start(self):
        self.assertLess(self.startup, 1.0 + 0.5)  # the limit is 1 s; slack for a loaded machine
        self.assertEqual(self.ready["host"], "127.0.0.1")
        self.assertEqual(self.ready["url"], "http://127.0.0.1:%d/xm/" % self.port)
        self.assertEqual(int(self.ready["pid"]), self.proc.pid)
        self.assertEqual(self.ready["log"], self.log)

    def test_answer_names_a_module_that_the_next_get_serves_over_one_connection(self):
        for _ in range(3):
            name = self.answer().decode()
            self.assertIn(name, self.files)
            status, headers, body = self.client.request("/xm/" + name)
            self.assertEqual(status, 200)
            self.assertEqual(body, self.files[name])
            self.assertEqual(headers["connection"], "keep-alive")
        records = self.requests(6)
        self.assertEqual(len({r["conn"] for r in records}), 1)  # one connection, six requests
        self.assertEqual([r["seq"] for r in records], list(range(1, 7)))
        self.assertEqual([r["kind"] for r in records], ["answer", "module"] * 3)
        self.assertTrue(all(r["agent"] == AGENT for r in records))

    def test_module_from_the_second_folder_and_head(self):
        status, headers, body = self.client.request("/xm/five.mod")
        self.assertEqual((status, body), (200, self.files["five.mod"]))
        status, headers, body = self.client.request("/xm/five.mod", method="HEAD")
        self.assertEqual((status, body, int(headers["content-length"])), (200, b"", len(self.files["five.mod"])))

    def test_shuffle_has_no_immediate_repeats_and_plays_everything(self):
        names = [self.answer().decode() for _ in range(60)]
        self.assertEqual(set(names), set(self.files))  # notes.txt and secret.mod never named
        for a, b in zip(names, names[1:]):
            self.assertNotEqual(a, b)
        # Each round of five holds every module once.
        for start in range(0, 60, 5):
            self.assertEqual(sorted(names[start:start + 5]), sorted(self.files))

    def test_playlist_cycles_in_order_and_rewinds(self):
        self.control("playlist?names=two.mod,one.mod,missing.mod")
        self.assertEqual([self.answer() for _ in range(4)], [b"two.mod", b"one.mod", b"missing.mod", b"two.mod"])
        self.control("playlist")
        self.assertEqual(self.answer(), b"two.mod")
        status, _, body = self.client.request("/xm/missing.mod")
        self.assertEqual(status, 404)
        self.assertIn(b"Not Found", body)
        self.assertEqual(self.last_request("/xm/missing.mod")["outcome"], "not-found")
        self.control("reset")  # back to the shuffle; the playlist stays until replaced
        self.control("playlist?names=")
        self.assertIn(self.answer().decode(), self.files)

    def test_index_page_lists_the_modules_with_titles(self):
        for path in ("/xm/", "/xm"):
            status, headers, body = self.client.request(path)
            self.assertEqual(status, 200)
            self.assertTrue(headers["content-type"].startswith("text/html"))
            page = body.decode()
            for name in self.files:
                self.assertIn('href="%s"' % name, page)
            for title in ("First", "Third", "Fourth", "Fifth"):
                self.assertIn(title, page)
            self.assertNotIn("notes.txt", page)

    def test_names_that_leave_the_folder_are_refused(self):
        evil = ["/xm/../secret.mod", "/xm/%2e%2e/secret.mod", "/xm/%2E%2E%2Fsecret.mod",
                "/xm/..%5csecret.mod", "/xm/..\\secret.mod", "/xm/%2f" + self.tmpdir.name.lstrip("/") + "/secret.mod",
                "/xm//etc/passwd", "/xm/%2Fetc%2Fpasswd", "/xm/C:%5cwindows%5cwin.ini", "/xm/..",
                "/xm/.", "/xm/one.mod%00.txt", "/xm/sub/../one.mod", "/xm/%2e%2e%2f%2e%2e%2fetc%2fpasswd"]
        for path in evil:
            status, _, body = self.client.request(path)
            self.assertEqual(status, 404, path)
            self.assertNotIn(b"secret", body)
            self.assertEqual(self.last_request(path)["outcome"], "refused", path)
        # Encoded once more is only an odd name, and there is no such file.
        status, _, _ = self.client.request("/xm/%252e%252e%252fsecret.mod")
        self.assertEqual(status, 404)
        # A plain name may be percent-encoded.
        status, _, body = self.client.request("/xm/%6fne.mod")
        self.assertEqual((status, body), (200, self.files["one.mod"]))
        # The connection survived every refusal.
        self.assertIn(self.answer().decode(), self.files)

    def test_connection_close_and_http_1_0(self):
        status, headers, _ = self.client.request("/xm/request.php", headers={"Connection": "close"})
        self.assertEqual((status, headers["connection"]), (200, "close"))
        self.assertEqual(self.client.read_until_close(), b"")
        c = Client(self.port)
        status, headers, _ = c.request("/xm/request.php", version="HTTP/1.0")
        self.assertEqual(headers["connection"], "close")
        self.assertEqual(c.read_until_close(), b"")
        c.close()

    def test_line_break_in_the_request_target_is_logged_as_sent(self):
        # A player that appends "name\r\n" unchanged may send it escaped or raw.
        status, _, _ = self.client.request("/xm/one.mod%0D%0A")
        self.assertEqual(status, 404)
        self.assertEqual(self.last_request("/xm/one.mod%0D%0A")["outcome"], "not-found")
        c = Client(self.port)
        c.sock.sendall(b"GET /xm/one.mod\r\n HTTP/1.1\r\nHost: x\r\nUser-Agent: SONVALE_V2\r\n\r\n")
        status, headers = c.read_head()
        c.read_exactly(int(headers["content-length"]))
        c.close()
        self.assertEqual(status, 404)
        record = self.last_request("/xm/one.mod\r\n")
        self.assertEqual((record["path"], record["agent"], record["version"]),
                         ("/xm/one.mod\r\n", AGENT, "HTTP/1.1"))

    def test_log_records_every_request(self):
        self.answer()
        self.client.request("/xm/one.mod")
        self.client.request("/nothing")
        records = self.requests(3)
        self.assertEqual(records[2]["outcome"], "not-found")
        for r in records:
            for key in ("t", "conn", "seq", "method", "path", "agent", "status", "bytes", "length",
                        "kind", "name", "fault", "outcome"):
                self.assertIn(key, r)
        self.assertEqual([r["kind"] for r in records], ["answer", "module", "other"])
        self.assertEqual(records[1]["bytes"], len(self.files["one.mod"]))
        self.assertEqual(records[2]["status"], 404)
        with open(os.path.join(self.tmpdir.name, "station.stderr")) as f:
            self.assertIn('GET "/xm/one.mod" -> 200', f.read())

    # --- control --------------------------------------------------------------
    def test_control_rejects_unknown_modes_and_reports_status(self):
        self.assertIn(b"unknown fault mode", self.control("fault?mode=nonsense", expect=400))
        self.assertIn(b"unknown fault parameter", self.control("fault?mode=answer-stall&bogus=1", expect=400))
        self.control("fault?mode=module-trickle&chunk=10&delay=0.5")
        fault = json.loads(self.control("fault"))
        self.assertEqual((fault["mode"], fault["params"]["chunk"], fault["params"]["delay"]),
                         ("module-trickle", 10, 0.5))
        status = json.loads(self.control("status"))
        self.assertEqual(status["port"], self.port)
        self.assertEqual(status["fault"]["mode"], "module-trickle")

    def test_fault_after_and_count(self):
        self.control("fault?mode=answer-empty&after=1&count=2")
        bodies = [self.client.request("/xm/request.php")[2] for _ in range(5)]
        self.assertNotEqual(bodies[0], b"")
        self.assertEqual(bodies[1:3], [b"", b""])
        self.assertTrue(bodies[3] and bodies[4])
        # The log names the fault on the requests it hit.
        faults = [r["fault"] for r in self.requests(5)]
        self.assertEqual(faults, [None, "answer-empty", "answer-empty", None, None])

    # --- fault modes on the answer ------------------------------------------
    def test_answer_faults(self):
        self.control("playlist?names=one.mod")
        cases = [
            ("answer-empty", 200, lambda b: b == b""),
            ("answer-404", 404, lambda b: b.startswith(b"<html>") and b"404" in b and b"\n" not in b),
            ("answer-500", 500, lambda b: b.startswith(b"<html>") and b"500" in b and b"\n" not in b),
            ("answer-crlf", 200, lambda b: b == b"one.mod\r\n"),
            ("answer-lf", 200, lambda b: b == b"one.mod\n"),
            ("answer-nul", 200, lambda b: b == b"one.mod\0garbage"),
            ("answer-1mib", 200, lambda b: len(b) == MIB and b.startswith(b"one.mod") and b"\0" not in b),
            ("answer-oversize", 200, lambda b: len(b) == MIB + 1 and b.startswith(b"one.mod")),
        ]
        for mode, status, check in cases:
            with self.subTest(mode=mode):
                self.control("fault?mode=" + mode)
                got_status, _, body = self.client.request("/xm/request.php")
                self.assertEqual(got_status, status)
                self.assertTrue(check(body), body[:80])
                # The module request is untouched by an answer fault.
                self.assertEqual(self.client.request("/xm/one.mod")[2], self.files["one.mod"])

    # --- fault modes on the module ------------------------------------------
    def test_module_faults(self):
        module = self.files["one.mod"]
        cases = [
            ("module-404", 404, lambda b: b.startswith(b"<html>") and b"404" in b),
            ("module-500", 500, lambda b: b.startswith(b"<html>") and b"500" in b),
            ("module-1mib", 200, lambda b: len(b) == MIB and b.startswith(module) and not b[len(module):].strip(b"\0")),
            ("module-oversize", 200, lambda b: len(b) == MIB + 1 and b.startswith(module)),
            ("module-empty", 200, lambda b: b == b""),
            ("module-garbage", 200, lambda b: len(b) == 4096 and b[1080:1084] != b"M.K."),
            ("module-text", 200, lambda b: b.startswith(b"This is not a tracker module")),
        ]
        for mode, status, check in cases:
            with self.subTest(mode=mode):
                self.control("fault?mode=" + mode)
                self.assertIn(self.answer().decode(), self.files)  # the answer is untouched
                got_status, _, body = self.client.request("/xm/one.mod")
                self.assertEqual(got_status, status)
                self.assertTrue(check(body), body[:80])
        self.control("fault?mode=module-garbage")
        self.assertEqual(self.client.request("/xm/two.mod")[2], self.client.request("/xm/one.mod")[2])

    def test_stall_sends_part_then_stays_silent_until_released(self):
        module = self.files["two.mod"]
        self.control("fault?mode=module-stall&at=100")
        self.client.send("/xm/two.mod")
        status, headers = self.client.read_head()
        self.assertEqual((status, int(headers["content-length"])), (200, len(module)))
        self.assertEqual(self.client.read_exactly(100), module[:100])
        self.client.sock.settimeout(0.6)
        with self.assertRaises(socket.timeout):
            self.client.sock.recv(1)  # silent, and still open
        self.assertEqual(json.loads(self.control("status"))["stalled"], 1)
        self.assertTrue(wait_for(lambda: log_records(self.log, "stall")))
        self.client.sock.settimeout(5)
        self.control("release")
        self.assertEqual(self.client.read_until_close(), b"")
        self.assertTrue(wait_for(lambda: self.last_request("/xm/two.mod")["outcome"] == "stalled-until-release"))
        self.assertEqual(self.last_request("/xm/two.mod")["bytes"], 100)

    def test_stall_ends_when_the_client_goes_away_and_half_is_the_default(self):
        self.control("fault?mode=answer-stall")
        self.control("playlist?names=three.mod")
        self.client.send("/xm/request.php")
        status, headers = self.client.read_head()
        self.assertEqual(int(headers["content-length"]), len("three.mod"))
        self.assertEqual(self.client.read_exactly(4), b"thre")
        self.client.close()
        self.assertTrue(wait_for(lambda: json.loads(self.control("status"))["stalled"] == 0))
        self.assertEqual(self.last_request("/xm/request.php")["outcome"], "stalled-until-client-left")

    def test_silent_sends_nothing_until_released(self):
        for mode, path in (("answer-silent", "/xm/request.php"), ("module-silent", "/xm/one.mod")):
            with self.subTest(mode=mode):
                self.control("fault?mode=" + mode)
                c = Client(self.port, timeout=0.4)
                c.send(path)
                with self.assertRaises(socket.timeout):
                    c.sock.recv(1)
                c.sock.settimeout(5)
                self.control("release")
                self.assertEqual(c.read_until_close(), b"")  # not even a status line
                c.close()
                self.assertEqual(self.last_request(path)["outcome"], "stalled-until-release")

    def test_reset_mid_body(self):
        module = self.files["three.mod"]
        self.control("fault?mode=module-reset&at=300&wait=0.1")
        self.client.send("/xm/three.mod")
        status, headers = self.client.read_head()
        self.assertEqual(int(headers["content-length"]), len(module))
        got = b""
        with self.assertRaises(ConnectionResetError):
            got = self.client.read_exactly(300)
            self.client.read_until_close()
        self.assertEqual(got, module[:300])
        self.assertTrue(wait_for(lambda: self.last_request("/xm/three.mod")["outcome"] == "reset"))

    def test_slow_trickle(self):
        module = self.files["four.mod"]
        chunk, delay = len(module) // 8 + 1, 0.05
        self.control("fault?mode=module-trickle&chunk=%d&delay=%s" % (chunk, delay))
        started = time.monotonic()
        status, _, body = self.client.request("/xm/four.mod")
        elapsed = time.monotonic() - started
        self.assertEqual((status, body), (200, module))
        self.assertGreaterEqual(elapsed, 8 * delay * 0.9)
        # Keep-alive holds after a trickle.
        self.assertIn(self.answer().decode(), self.files)

    def test_answer_trickle(self):
        self.control("playlist?names=one.mod")
        self.control("fault?mode=answer-trickle&chunk=1&delay=0.02")
        started = time.monotonic()
        self.assertEqual(self.answer(), b"one.mod")
        self.assertGreaterEqual(time.monotonic() - started, 7 * 0.02 * 0.9)


class LifetimeTest(unittest.TestCase):
    def test_sigterm_and_sigint_end_the_server_with_stalled_and_idle_connections(self):
        with tempfile.TemporaryDirectory() as tmp:
            with open(os.path.join(tmp, "a.mod"), "wb") as f:
                f.write(modwriter.write_module("A"))
            for sig in (signal.SIGTERM, signal.SIGINT):
                proc, port, log, startup, _ = start_server(
                    [tmp, "--fault", "module-stall?at=10", "--playlist", "a.mod"], tmp, name=str(sig))
                self.assertLess(startup, 1.5)
                idle = Client(port)
                idle.request("/xm/request.php")
                stalled = Client(port)
                stalled.send("/xm/a.mod")
                stalled.read_head()
                stalled.read_exactly(10)
                self.assertTrue(wait_for(lambda: log_records(log, "stall")))
                started = time.monotonic()
                proc.send_signal(sig)
                self.assertEqual(proc.wait(5), 0)
                self.assertLess(time.monotonic() - started, 1.5)
                for c in (idle, stalled):
                    c.sock.settimeout(2)
                    try:
                        self.assertEqual(c.read_until_close(), b"")
                    except ConnectionResetError:
                        pass
                    c.close()
                self.assertTrue(log_records(log, "stopped"))

    def test_free_port_has_no_listener_and_control_from_the_command_line(self):
        port = int(subprocess.check_output([sys.executable, SERVER, "--free-port"]).decode())
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port), timeout=2).close()
        with tempfile.TemporaryDirectory() as tmp:
            with open(os.path.join(tmp, "a.mod"), "wb") as f:
                f.write(modwriter.write_module("A"))
            proc, port, log, _, _ = start_server([tmp], tmp)
            ready = os.path.join(tmp, "station.ready")
            out = subprocess.check_output([sys.executable, SERVER, "--ready-file", ready,
                                           "--control", "fault?mode=answer-lf"]).decode()
            self.assertEqual(out.strip(), "fault=answer-lf")
            c = Client(port)
            self.assertEqual(c.request("/xm/request.php")[2], b"a.mod\n")
            c.close()
            bad = subprocess.run([sys.executable, SERVER, "--ready-file", ready, "--control", "fault?mode=x"],
                                 stdout=subprocess.DEVNULL)
            self.assertEqual(bad.returncode, 1)
            subprocess.check_output([sys.executable, SERVER, "--port", str(port), "--control", "stop"])
            self.assertEqual(proc.wait(5), 0)

    def test_background_start_returns_once_listening_and_stops_by_control(self):
        with tempfile.TemporaryDirectory() as tmp:
            with open(os.path.join(tmp, "a.mod"), "wb") as f:
                f.write(modwriter.write_module("A"))
            ready = os.path.join(tmp, "bg.ready")
            with open(ready, "w") as f:
                f.write("port=1\n")  # stale: must not be taken for this run's
            out = subprocess.check_output([sys.executable, SERVER, tmp, "--background", "--port", "0",
                                           "--ready-file", ready, "--playlist", "a.mod"], timeout=15)
            port = int(out)
            with open(ready) as f:
                values = dict(line.split("=", 1) for line in f.read().splitlines())
            self.assertEqual(int(values["port"]), port)
            c = Client(port)
            self.assertEqual(c.request("/xm/request.php")[2], b"a.mod")
            c.close()
            pid = int(values["pid"])
            subprocess.check_output([sys.executable, SERVER, "--ready-file", ready, "--control", "stop"])

            def gone():
                try:
                    os.kill(pid, 0)
                except ProcessLookupError:
                    return True
                # A zombie until its parent (gone) is replaced by init: look at its state.
                try:
                    with open("/proc/%d/stat" % pid) as f:
                        return f.read().split(")")[-1].split()[0] == "Z"
                except OSError:
                    return True
            self.assertTrue(wait_for(gone))

    def test_refuses_a_non_loopback_host_and_a_busy_port(self):
        r = subprocess.run([sys.executable, SERVER, "--host", "0.0.0.0"], stderr=subprocess.PIPE)
        self.assertNotEqual(r.returncode, 0)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            s.listen()
            r = subprocess.run([sys.executable, SERVER, "--port", str(s.getsockname()[1])],
                               stderr=subprocess.PIPE, timeout=10)
            self.assertEqual(r.returncode, 2)


class ModuleWriterTest(unittest.TestCase):
    def test_layout_of_a_module(self):
        data = modwriter.write_module("Hello", orders=3, rows=16, speed=3, jump_back_after=1)
        self.assertEqual(len(data), 1084 + 3 * 1024 + 64)
        self.assertEqual(data[:20], b"Hello" + b"\0" * 15)
        self.assertEqual(data[1080:1084], b"M.K.")
        self.assertEqual(data[950], 3)  # song length
        self.assertEqual(list(data[952:955]), [0, 1, 2])
        self.assertEqual(data[20 + 22:20 + 24], b"\0\x20")  # sample length in words
        row15 = 1084 + 1024 + 15 * 16
        self.assertEqual(data[row15 + 12 + 2] & 0x0F, 0xB)  # jump back on order 1's last row
        self.assertEqual(modwriter.played_seconds(3, 16, 3, 1), 2 * 16 * 3 * 0.02)

    def test_seconds_layout(self):
        for seconds in (1, 3, 7.5, 20):
            orders, rows = modwriter.layout_for_seconds(seconds)
            self.assertAlmostEqual(modwriter.played_seconds(orders, rows), seconds, delta=0.06 * orders)

    def test_command_line(self):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "x.mod")
            printed = subprocess.check_output([sys.executable, WRITER, out, "--seconds", "3", "--title", "Three",
                                               "--print-seconds"]).decode()
            self.assertEqual(printed.strip(), "3.000")
            with open(out, "rb") as f:
                data = f.read()
            self.assertEqual(data[:5], b"Three")
            self.assertEqual(data[1080:1084], b"M.K.")
            for kind in modwriter.BROKEN_KINDS:
                subprocess.check_call([sys.executable, WRITER, out, "--broken", kind])
                with open(out, "rb") as f:
                    data = f.read()
                self.assertNotEqual(data[1080:1084], b"M.K.", kind)

    def test_modules_load_in_libopenmpt_and_broken_ones_do_not(self):
        path = ctypes.util.find_library("openmpt")
        if not path:
            self.skipTest("native libopenmpt is not installed")
        lib = ctypes.CDLL(path)
        create = lib.openmpt_module_create_from_memory2
        create.restype = ctypes.c_void_p
        create.argtypes = ([ctypes.c_void_p, ctypes.c_size_t] + [ctypes.c_void_p] * 6
                           + [ctypes.POINTER(ctypes.c_int), ctypes.c_void_p, ctypes.c_void_p])
        lib.openmpt_module_get_duration_seconds.restype = ctypes.c_double
        lib.openmpt_module_get_duration_seconds.argtypes = [ctypes.c_void_p]
        lib.openmpt_module_get_metadata.restype = ctypes.c_void_p
        lib.openmpt_module_get_metadata.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
        lib.openmpt_free_string.argtypes = [ctypes.c_void_p]
        lib.openmpt_module_destroy.argtypes = [ctypes.c_void_p]

        def load(data):
            buf = ctypes.create_string_buffer(data, max(1, len(data)))
            err = ctypes.c_int(0)
            # A quiet log callback is not needed: libopenmpt logs failures to stderr only.
            return create(buf, len(data), None, None, None, None, None, None, ctypes.byref(err), None, None)

        for title, kw in [("Title", dict(orders=2, rows=32)), ("", dict(orders=1, rows=16)),
                          ("Loop", dict(orders=3, rows=16, jump_back_after=1))]:
            m = load(modwriter.write_module(title, **kw))
            self.assertTrue(m, title)
            seconds = lib.openmpt_module_get_duration_seconds(m)
            self.assertAlmostEqual(seconds, modwriter.played_seconds(**kw), places=2)
            s = lib.openmpt_module_get_metadata(m, b"title")
            self.assertEqual(ctypes.string_at(s).decode(), title)
            lib.openmpt_free_string(s)
            lib.openmpt_module_destroy(m)
        for kind in modwriter.BROKEN_KINDS:
            self.assertFalse(load(modwriter.broken(kind)), kind)


if __name__ == "__main__":
    unittest.main()
