#!/usr/bin/env python3
"""Sonvale station server: a small HTTP/1.1 server on loopback that speaks the
station protocol, with switchable fault modes for the end-to-end tests.

  GET /xm/request.php  -> the name of the next module, relative to /xm/
  GET /xm/<name>       -> that module's bytes
  GET /xm/             -> an HTML page listing what the station plays
  GET|POST /control/...-> test control (fault modes, playlist, status, stop)

Python 3 standard library only.
"""

import argparse
import html
import json
import os
import random
import select
import signal
import socket
import socketserver
import ssl
import struct
import subprocess
import sys
import threading
import time
import traceback
import urllib.parse

DEFAULT_FOLDERS = ["/usr/share/games/bomberclone/music",
                   "/usr/share/games/tecnoballz/musics"]
DEFAULT_PORT = 8765
MIB = 1 << 20
MODULE_EXTENSIONS = {".mod", ".xm", ".s3m", ".it", ".mptm", ".stm", ".669",
                     ".mtm", ".med", ".okt", ".far", ".ult", ".ams", ".dbm",
                     ".dmf", ".psm", ".umx", ".mo3"}
MAX_HEAD = 64 * 1024  # request line plus headers

# Fault vocabulary: mode -> (which request it hits, what it does, one-line help).
FAULTS = {
    "none":             (None, None, "normal service"),
    "answer-empty":     ("answer", "empty", "request.php answers 200 with a 0-byte body"),
    "answer-404":       ("answer", "404", "request.php answers an HTML error page, status 404"),
    "answer-500":       ("answer", "500", "request.php answers an HTML error page, status 500"),
    "answer-crlf":      ("answer", "crlf", "the answer is the name followed by CR LF"),
    "answer-lf":        ("answer", "lf", "the answer is the name followed by LF"),
    "answer-nul":       ("answer", "nul", "the answer is the name, a zero byte, then 'garbage'"),
    "answer-1mib":      ("answer", "size1", "the answer is the name padded with 'x' to exactly 1 MiB (no zero byte)"),
    "answer-oversize":  ("answer", "size+", "the answer is the name padded with 'x' to 1 MiB + 1 byte"),
    "answer-long":      ("answer", "long", "the answer is the name padded with 'x' to `size` bytes (default 2049)"),
    "answer-stall":     ("answer", "stall", "announces the whole answer, sends `at` bytes, then goes silent"),
    "answer-silent":    ("answer", "silent", "reads the request and sends nothing at all, not even the status line"),
    "answer-reset":     ("answer", "reset", "sends `at` bytes of the answer, waits `wait` s, then resets (RST)"),
    "answer-trickle":   ("answer", "trickle", "sends the answer `chunk` bytes every `delay` s"),
    "answer-redirect":  ("answer", "redirect", "request.php redirects (302) to itself: a loop, or `count` hops; to `host`"),
    "answer-cr":        ("answer", "cr", "the answer is the name, a bare CR, then 'X-Injected: yes'"),
    "answer-overlong":  ("answer", "overlong", "the answer's Content-Length covers the name, more bytes follow it"),
    "answer-304":       ("answer", "304", "status 304 with the name as its body, then (0.2 s later) a hostile answer on the connection"),
    "module-404":       ("module", "404", "the module request answers an HTML error page, status 404"),
    "module-500":       ("module", "500", "the module request answers an HTML error page, status 500"),
    "module-1mib":      ("module", "size1", "the module padded with zero bytes to exactly 1 MiB"),
    "module-oversize":  ("module", "size+", "the module padded with zero bytes to `size` bytes (default 1 MiB + 1)"),
    "module-framing":   ("module", "framing", "the module itself, framed as `length` and `coding` say"),
    "module-empty":     ("module", "empty", "the module request answers 200 with a 0-byte body"),
    "module-stall":     ("module", "stall", "announces the whole module, sends `at` bytes, then goes silent"),
    "module-silent":    ("module", "silent", "reads the request and sends nothing at all, not even the status line"),
    "module-reset":     ("module", "reset", "sends `at` bytes of the module, waits `wait` s, then resets (RST)"),
    "module-trickle":   ("module", "trickle", "sends the module `chunk` bytes every `delay` s"),
    "module-garbage":   ("module", "garbage", "4096 seeded random bytes instead of the module"),
    "module-text":      ("module", "text", "a plain text instead of the module"),
    "module-redirect":  ("module", "redirect", "the module request redirects (302) to the same path on `host`"),
    "module-trailing":  ("module", "trailing", "the module as announced, then (0.2 s later) a hostile answer on the connection"),
    "module-huge":      ("module", "huge", "announces 1,000,000,000 bytes and sends zeros without end"),
}

FAULT_PARAMS = {
    "after": (int, 0, "let this many matching requests through untouched first"),
    "count": (int, 0, "apply to this many matching requests, then fall back to none (0: forever)"),
    "at":    (int, -1, "stall/reset: body bytes sent before the fault (-1: half the body)"),
    "chunk": (int, 64, "trickle: bytes per piece"),
    "delay": (float, 0.05, "trickle: seconds between pieces"),
    "wait":  (float, 0.3, "reset: seconds between the partial body and the RST"),
    "for":   (float, 3600.0, "stall/silent: longest silence in seconds before the connection is closed"),
    "host":  (str, "", "redirect: the Location names this host, same port and path (requests for it, the mirror, are served)"),
    "scheme": (str, "", "redirect: the Location's scheme (http when empty), on the request's own host unless `host` names one"),
    "size":  (int, 0, "answer-long, module-oversize: the body's bytes (0: the mode's default)"),
    # Framing, for a fault whose body is sent whole: valid or not, as asked.
    "length": (str, "", "the Content-Length values, '|' between them ('': the body's; none: no header, the close ends it)"),
    "coding": (str, "", "chunked: the body is sent chunked"),
}


def fault_help():
    lines = ["fault modes (\"answer\" = GET /xm/request.php, \"module\" = GET /xm/<name>):"]
    for name, (_, _, text) in FAULTS.items():
        lines.append("  %-16s %s" % (name, text))
    lines.append("fault parameters, written MODE?key=value&key=value:")
    for key, (_, default, text) in FAULT_PARAMS.items():
        lines.append("  %-6s %s (default %s)" % (key, text, default))
    return "\n".join(lines)


class FaultError(ValueError):
    pass


def parse_fault(text):
    """'mode?key=value&...' -> (mode, params). Raises FaultError."""
    mode, _, query = text.partition("?")
    return fault_from_query(mode.strip() or "none", urllib.parse.parse_qs(query, keep_blank_values=True))


def fault_from_query(mode, query):
    if mode not in FAULTS:
        raise FaultError("unknown fault mode %r" % mode)
    params = {key: default for key, (_, default, _) in FAULT_PARAMS.items()}
    for key, values in query.items():
        if key == "mode":
            continue
        if key not in FAULT_PARAMS:
            raise FaultError("unknown fault parameter %r" % key)
        try:
            params[key] = FAULT_PARAMS[key][0](values[-1])
        except ValueError:
            raise FaultError("bad value for %s: %r" % (key, values[-1]))
    return mode, params


def module_title(data):
    """Best-effort title of a tracker module, for the index page."""
    if data[:17] == b"Extended Module: ":
        raw = data[17:37]
    elif data[44:48] == b"SCRM":
        raw = data[:28]
    elif data[:4] == b"IMPM":
        raw = data[4:30]
    else:
        raw = data[:20]
    return raw.split(b"\0")[0].decode("latin-1").strip()


def error_page(status):
    # One line without a line break: a player that appends it to a URL gets a
    # single (odd) request line rather than several.
    reason = REASONS.get(status, "Error")
    return ("<html><head><title>%d %s</title></head><body><h1>%s</h1>"
            "<p>The station could not serve this request.</p></body></html>"
            % (status, reason, reason)).encode("ascii")


# Bytes left on a kept-alive connection after an answer: a whole answer of its own,
# which a client that used the connection again would take for the next one.
HOSTILE = b"HTTP/1.1 200 OK\r\nServer: hostile\r\nContent-Length: 11\r\n\r\nhostile.mod"
HUGE = 1000000000

REASONS = {200: "OK", 302: "Found", 304: "Not Modified", 400: "Bad Request", 404: "Not Found", 405: "Method Not Allowed",
           500: "Internal Server Error"}


class Station:
    """State shared by all connections: folders, rotation, fault, log."""

    def __init__(self, folders, playlist=None, seed=None, log_path=None, quiet=False):
        self.folders = [os.fsencode(os.path.abspath(f)) for f in folders]
        self.lock = threading.Lock()
        self.rng = random.Random(seed)
        self.garbage_seed = 7 if seed is None else seed
        self.playlist = [os.fsencode(n) for n in playlist] if playlist else None
        self.position = 0
        self.bag = []
        self.last = None
        self.set_fault("none", fault_from_query("none", {})[1])
        self.stop_event = threading.Event()
        self.release_event = threading.Event()
        self.conn_ids = 0
        self.connections = {}  # id -> socket, so a stop can close idle and stalled ones
        self.stalled = 0
        self.counts = {"answer": 0, "module": 0, "index": 0, "control": 0, "other": 0}
        self.quiet = quiet
        self.tls = None  # a Tls when the station also serves https
        self.log_file = open(log_path, "a", encoding="utf-8") if log_path else None
        self.log_lock = threading.Lock()

    # --- faults ---------------------------------------------------------
    def set_fault(self, mode, params):
        with self.lock:
            self.fault_mode = mode
            self.fault_params = params
            self.fault_seen = 0
            self.fault_applied = 0

    def fault_for(self, kind):
        """Returns (action, params) when the current fault hits this request."""
        with self.lock:
            target, action, _ = FAULTS[self.fault_mode]
            if target != kind:
                return None, None
            self.fault_seen += 1
            p = self.fault_params
            if self.fault_seen <= p["after"]:
                return None, None
            if p["count"] and self.fault_applied >= p["count"]:
                return None, None
            self.fault_applied += 1
            return action, dict(p, mode=self.fault_mode)

    def fault_status(self):
        with self.lock:
            return {"mode": self.fault_mode, "params": dict(self.fault_params),
                    "seen": self.fault_seen, "applied": self.fault_applied}

    def count(self, kind):
        with self.lock:
            self.counts[kind] += 1

    # --- modules --------------------------------------------------------
    def catalogue(self):
        """name -> path of every module in the folders; the first folder wins."""
        found = {}
        for folder in self.folders:
            try:
                entries = sorted(os.listdir(folder))
            except OSError:
                continue
            for name in entries:
                if name.startswith(b".") or name in found:
                    continue
                if os.path.splitext(name)[1].decode("latin-1").lower() not in MODULE_EXTENSIONS:
                    continue
                path = os.path.join(folder, name)
                if os.path.isfile(path):
                    found[name] = path
        return found

    def find(self, name):
        """Path of a file served under this (already validated) name, or None."""
        for folder in self.folders:
            path = os.path.join(folder, name)
            if os.path.isfile(path):
                return path
        return None

    def next_name(self):
        with self.lock:
            if self.playlist:
                name = self.playlist[self.position % len(self.playlist)]
                self.position += 1
                return name
            names = sorted(self.catalogue())
            if not names:
                return None
            self.bag = [n for n in self.bag if n in names]
            if not self.bag:
                self.bag = names[:]
                self.rng.shuffle(self.bag)
                # The bag is drawn from the end: keep the last one played off it.
                if len(self.bag) > 1 and self.bag[-1] == self.last:
                    self.bag[-1], self.bag[0] = self.bag[0], self.bag[-1]
            name = self.bag.pop()
            self.last = name
            self.position += 1
            return name

    def set_playlist(self, names):
        with self.lock:
            self.playlist = names or None
            self.position = 0
            self.bag = []
            self.last = None

    def rewind(self):
        with self.lock:
            self.position = 0
            self.bag = []
            self.last = None

    # --- log --------------------------------------------------------------
    def log(self, record):
        record = dict(record, t=round(time.time(), 4))
        with self.log_lock:
            if self.log_file:
                self.log_file.write(json.dumps(record) + "\n")
                self.log_file.flush()
            if not self.quiet and record.get("event") == "request":
                sys.stderr.write("station: %s %s %s -> %s, %s bytes%s\n" % (
                    record.get("conn"), record.get("method"), json.dumps(record.get("path")),
                    record.get("status"), record.get("bytes"),
                    " [%s]" % record["fault"] if record.get("fault") else ""))
                sys.stderr.flush()


def validate_name(raw):
    """raw: the bytes after '/xm/' (query removed). Returns the file name as
    bytes, or None when it would leave the folder or cannot name a plain file."""
    name = urllib.parse.unquote_to_bytes(raw)
    if not name or name in (b".", b".."):
        return None
    if b"/" in name or b"\\" in name or b"\0" in name or name.startswith(b"."):
        return None
    if b":" in name:  # drive letters and streams, should a Windows path get here
        return None
    return name


# --- https on the same port ----------------------------------------------------
class Tls:
    """With --tls DIR, a connection that opens with a TLS handshake is served over
    TLS with DIR/NAME.crt and DIR/NAME.key; NAME is "station" until
    /control/cert?name=NAME picks another (reset picks "station" again). Any other
    connection is plain HTTP: http://HOST:PORT and https://HOST:PORT are one station."""

    def __init__(self, folder):
        self.folder = os.path.abspath(folder)
        self.lock = threading.Lock()
        self.contexts = {}
        self.name = None
        if not self.select("station"):
            raise OSError("no station.crt and station.key in %s" % self.folder)

    def select(self, name):
        if not name.isalnum():
            return False
        with self.lock:
            if name not in self.contexts:
                context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                try:
                    context.load_cert_chain(os.path.join(self.folder, name + ".crt"),
                                            os.path.join(self.folder, name + ".key"))
                except (OSError, ssl.SSLError):
                    return False
                self.contexts[name] = context
            self.name = name
            return True

    def accept(self, sock):
        """The TLS socket after its handshake, `sock` itself for plain HTTP, or
        None when the handshake failed (the client refused the certificate)."""
        try:
            if sock.recv(1, socket.MSG_PEEK) != b"\x16":  # a TLS record: handshake
                return sock
        except OSError:
            return sock  # read again, and ended, by the plain server
        with self.lock:
            context = self.contexts[self.name]
        try:
            return context.wrap_socket(sock, server_side=True)
        except OSError:  # ssl.SSLError included
            return None


class ClientGone(Exception):
    pass


class Handler(socketserver.BaseRequestHandler):
    station = None  # set on the class by make_server

    def setup(self):
        st = self.station
        self.sock = self.request
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.settimeout(self.server.idle_timeout)
        self.scheme = "http"
        if st.tls is not None:
            self.sock = st.tls.accept(self.request)
            if self.sock is None:
                st.log({"event": "tls-refused", "certificate": st.tls.name})
                self.sock = self.request
                self.request.close()
            elif self.sock is not self.request:
                self.scheme = "https"
        self.buffer = b""
        self.stop_after_reply = False
        with st.lock:
            st.conn_ids += 1
            self.conn = st.conn_ids
            st.connections[self.conn] = self.sock

    def finish(self):
        with self.station.lock:
            self.station.connections.pop(self.conn, None)
        if self.sock is not self.request:
            self.sock.close()  # the server closes only the plain socket it gave

    def handle(self):
        seq = 0
        try:
            while not self.station.stop_event.is_set():
                head = self.read_head()
                if head is None:
                    return
                seq += 1
                if not self.serve(head, seq):
                    return
        except (OSError, ClientGone):
            return

    # --- reading ------------------------------------------------------------
    def read_line(self):
        while b"\n" not in self.buffer:
            if len(self.buffer) > MAX_HEAD:
                raise ClientGone()
            data = self.sock.recv(4096)
            if not data:
                if self.buffer:
                    line, self.buffer = self.buffer, b""
                    return line
                return None
            self.buffer += data
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line + b"\n"

    def read_head(self):
        """Reads a request line and its headers. A request line that has no
        HTTP version (a client put a line break into its path) is joined with
        the lines that follow until one ends in the version."""
        first = self.read_line()
        while first is not None and first.strip() == b"":
            first = self.read_line()  # stray blank lines between requests
        if first is None:
            return None
        request = first
        headers = {}
        while not has_version(request) and len(request) < MAX_HEAD:
            line = self.read_line()
            if line is None:
                return None
            if line.strip() == b"":
                return parse_request(request, headers, complete=False)
            if looks_like_header(line):
                self.add_header(headers, line)
                break
            request += line
        while True:
            line = self.read_line()
            if line is None or line.strip() == b"":
                break
            self.add_header(headers, line)
        return parse_request(request, headers, complete=True)

    @staticmethod
    def add_header(headers, line):
        key, _, value = line.decode("latin-1").partition(":")
        headers[key.strip().lower()] = value.strip()

    def read_body(self, length):
        while len(self.buffer) < length:
            data = self.sock.recv(65536)
            if not data:
                raise ClientGone()
            self.buffer += data
        body, self.buffer = self.buffer[:length], self.buffer[length:]
        return body

    # --- serving --------------------------------------------------------------
    def serve(self, req, seq):
        st = self.station
        method, target, version, headers = req["method"], req["target"], req["version"], req["headers"]
        keep = keep_alive(version, headers)
        record = {"event": "request", "conn": self.conn, "seq": seq, "method": method,
                  "path": target.decode("latin-1"), "version": version,
                  "agent": headers.get("user-agent"), "status": None, "bytes": 0,
                  "length": None, "kind": "other", "name": None, "fault": None,
                  "outcome": "ok", "scheme": self.scheme}
        host = headers.get("host", "")
        self.host_name = (host.rpartition(":")[0] or host).lower()
        body_len = headers.get("content-length", "0")
        try:
            if int(body_len) > 0:
                self.read_body(min(int(body_len), MAX_HEAD))
        except ValueError:
            pass

        try:
            status, ctype, body, action, params = self.route(method, target, record)
        except Exception:  # a bug or an unreadable file must not drop the connection silently
            traceback.print_exc()
            status, ctype, body, action, params = 500, "text/html", error_page(500), None, None
            record["outcome"] = "error"
            keep = False
        length = len(body)
        if method == "HEAD":
            body, action = b"", None
        record.update(status=status, length=length)
        if action:
            record["fault"] = params["mode"]
        try:
            keep = self.send(status, ctype, body, keep, action, params, record, length)
        finally:
            st.log(record)
            if self.stop_after_reply:
                st.stop_event.set()
        return keep and not st.stop_event.is_set()

    def route(self, method, target, record):
        st = self.station
        path, _, query = target.partition(b"?")
        if path.startswith(b"/control/") or path == b"/control":
            record["kind"] = "control"
            st.count("control")
            if method not in ("GET", "POST"):
                return 405, "text/plain", b"GET or POST\n", None, None
            return self.control(path[len(b"/control/"):].decode("latin-1"),
                                urllib.parse.parse_qs(query.decode("latin-1"), keep_blank_values=True))
        if method not in ("GET", "HEAD"):
            return 405, "text/html", error_page(405), None, None
        if path in (b"/xm/", b"/xm", b"/"):
            record["kind"] = "index"
            st.count("index")
            return 200, "text/html; charset=utf-8", self.index_page(), None, None
        if path == b"/xm/request.php":
            record["kind"] = "answer"
            st.count("answer")
            return self.answer(record)
        if path.startswith(b"/xm/"):
            record["kind"] = "module"
            st.count("module")
            return self.module(target[len(b"/xm/"):], record)
        st.count("other")
        record["outcome"] = "not-found"
        return 404, "text/html", error_page(404), None, None

    def answer(self, record):
        st = self.station
        name = st.next_name()
        if name is None:
            return 404, "text/html", error_page(404), None, None
        record["name"] = name.decode("latin-1")
        body = name
        action, params = self.fault_for("answer")
        if action == "empty":
            body = b""
        elif action in ("404", "500"):
            return int(action), "text/html", error_page(int(action)), action, params
        elif action == "crlf":
            body = name + b"\r\n"
        elif action == "lf":
            body = name + b"\n"
        elif action == "cr":
            body = name + b"\rX-Injected: yes"
        elif action == "nul":
            body = name + b"\0garbage"
        elif action == "size1":
            body = name + b"x" * (MIB - len(name))
        elif action == "size+":
            body = name + b"x" * (MIB + 1 - len(name))
        elif action == "long":
            body = name.ljust(params["size"] or 2049, b"x")
        elif action == "redirect":
            return 302, "text/plain", b"", action, params
        elif action == "304":
            return 304, "text/plain", body, action, params
        return 200, "text/plain; charset=windows-1252", body, action, params

    def module(self, raw, record):
        st = self.station
        # Only the path is a name: a query is not part of it. A query is cut at
        # its first '?', so "a.xm?x" still serves a.xm.
        raw = raw.partition(b"?")[0]
        name = validate_name(raw)
        if name is None:
            record["outcome"] = "refused"
            return 404, "text/html", error_page(404), None, None
        record["name"] = name.decode("latin-1")
        path = st.find(name)
        action, params = self.fault_for("module")
        if path is None:
            status, ctype, body = 404, "text/html", error_page(404)
            record["outcome"] = "not-found"
        else:
            with open(path, "rb") as f:
                body = f.read()
            status, ctype = 200, "application/octet-stream"
        if action in ("404", "500"):
            return int(action), "text/html", error_page(int(action)), action, params
        if action == "redirect":
            return 302, "text/plain", b"", action, params
        if action == "size1":
            body = body[:MIB] + b"\0" * (MIB - len(body[:MIB]))
        elif action == "size+":
            size = params["size"] or MIB + 1
            body = body[:size].ljust(size, b"\0")
        elif action == "empty":
            body, status = b"", 200
        elif action == "garbage":
            body = random.Random(st.garbage_seed).randbytes(4096)
            status, ctype = 200, "application/octet-stream"
        elif action == "text":
            body = (b"This is not a tracker module, only a few lines of text.\r\n" * 8)
            status, ctype = 200, "text/plain"
        return status, ctype, body, action, params

    def fault_for(self, kind):
        """The fault of this request; none for one that came to the redirect's host."""
        st = self.station
        with st.lock:
            host, scheme = st.fault_params["host"].lower(), st.fault_params["scheme"]
        if (host or scheme) and (host or self.host_name, scheme or "http") == (self.host_name, self.scheme):
            return None, None
        return st.fault_for(kind)

    def index_page(self):
        st = self.station
        rows = []
        for name, path in sorted(st.catalogue().items()):
            try:
                with open(path, "rb") as f:
                    head = f.read(64)
                size = os.path.getsize(path)
            except OSError:
                continue
            shown = name.decode("latin-1")
            rows.append('<tr><td><a href="%s">%s</a></td><td>%s</td><td>%d</td></tr>' % (
                html.escape(urllib.parse.quote(name)), html.escape(shown),
                html.escape(module_title(head)) or "&nbsp;", size))
        page = ("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Sonvale station</title></head>\n"
                "<body><h1>Sonvale station</h1>\n<p>Tracker modules played around the clock.</p>\n"
                "<table><tr><th>File</th><th>Title</th><th>Bytes</th></tr>\n%s\n</table>\n</body></html>\n"
                % "\n".join(rows))
        return page.encode("utf-8")

    def control(self, command, query):
        st = self.station
        ok = lambda text: (200, "text/plain", (text + "\n").encode("utf-8"), None, None)
        bad = lambda text: (400, "text/plain", (text + "\n").encode("utf-8"), None, None)
        if command == "fault":
            if "mode" not in query:
                return 200, "application/json", json.dumps(st.fault_status()).encode() + b"\n", None, None
            try:
                mode, params = fault_from_query(query["mode"][-1], query)
            except FaultError as e:
                return bad(str(e))
            st.set_fault(mode, params)
            st.log({"event": "fault", "mode": mode, "params": params})
            return ok("fault=%s" % mode)
        if command == "playlist":
            if "names" in query:
                names = [os.fsencode(n) for n in query["names"][-1].split(",") if n]
                st.set_playlist(names)
            else:
                st.rewind()
            return ok("playlist rewound")
        if command == "reset":
            st.set_fault("none", fault_from_query("none", {})[1])
            st.rewind()
            self.release()
            if st.tls is not None:
                st.tls.select("station")
            st.log({"event": "reset"})
            return ok("reset")
        if command == "cert" and st.tls is not None:
            name = query.get("name", ["station"])[-1]
            return ok("cert=" + name) if st.tls.select(name) else bad("no certificate %r" % name)
        if command == "release":
            self.release()
            return ok("released")
        if command == "status":
            with st.lock:
                status = {"fault": {"mode": st.fault_mode, "params": st.fault_params,
                                    "seen": st.fault_seen, "applied": st.fault_applied},
                          "playlist": [n.decode("latin-1") for n in st.playlist] if st.playlist else None,
                          "position": st.position, "counts": dict(st.counts),
                          "connections": len(st.connections), "stalled": st.stalled,
                          "port": self.server.server_address[1]}
            return 200, "application/json", json.dumps(status).encode() + b"\n", None, None
        if command == "stop":
            self.stop_after_reply = True  # the reply goes out before the shutdown closes this socket
            return ok("stopping")
        return 404, "text/plain", b"unknown control command\n", None, None

    def release(self):
        # Stalled responses watch this event; a fresh event serves the next stall.
        st = self.station
        st.release_event.set()
        with st.lock:
            st.release_event = threading.Event()

    def send(self, status, ctype, body, keep, action, params, record, length):
        if action == "huge":
            length = record["length"] = HUGE
        head = ("HTTP/1.1 %d %s\r\nServer: SonvaleStation\r\nContent-Type: %s\r\n"
                "Content-Length: %d\r\nCache-Control: no-store\r\nConnection: %s\r\n\r\n"
                % (status, REASONS.get(status, "Error"), ctype, length,
                   "keep-alive" if keep else "close")).encode("latin-1")
        st = self.station
        if action == "silent":
            self.stall(params["for"], record)
            return False
        if action == "redirect":
            where = record["path"]
            if params["host"] or params["scheme"]:
                where = "%s://%s:%d%s" % (params["scheme"] or "http", params["host"] or self.host_name,
                                          self.server.server_address[1], where)
            head = head[:-2] + b"Location: " + where.encode("latin-1") + b"\r\n\r\n"
        elif action == "overlong":
            body += b"GARBAGE-LEFT-ON-THE-CONNECTION"
        if action == "huge":
            zeros = b"\0" * 65536
            self.sock.sendall(head)
            while record["bytes"] < HUGE and not st.stop_event.is_set():
                try:
                    self.sock.sendall(zeros)
                except OSError:
                    record["outcome"] = "client-gone"
                    break
                record["bytes"] += len(zeros)
            return False
        if action in ("trailing", "304"):
            self.sock.sendall(head + body)
            record["bytes"] = len(body)
            # Later, so that it stays on the connection rather than arriving with the answer.
            if not st.stop_event.wait(0.2):
                try:
                    self.sock.sendall(HOSTILE)
                except OSError:
                    record["outcome"] = "client-gone"
                    return False
            return keep
        if action in ("stall", "reset"):
            at = params["at"] if params["at"] >= 0 else len(body) // 2
            at = min(at, len(body))
            self.sock.sendall(head + body[:at])
            record["bytes"] = at
            if action == "reset":
                st.stop_event.wait(params["wait"])
                self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                record["outcome"] = "reset"
                self.sock.close()
                return False
            self.stall(params["for"], record)
            return False
        if action == "trickle":
            self.sock.sendall(head)
            sent = 0
            step = max(1, params["chunk"])
            while sent < len(body):
                if st.stop_event.wait(params["delay"]):
                    record["outcome"] = "stopped"
                    return False
                self.sock.sendall(body[sent:sent + step])
                sent += len(body[sent:sent + step])
                record["bytes"] = sent
            return keep
        if action and (params["length"] or params["coding"]):
            return self.send_framed(status, ctype, body, keep, params, record)
        try:
            self.sock.sendall(head + body)
        except OSError:
            record["outcome"] = "client-gone"
            raise
        record["bytes"] = len(body)
        return keep

    def send_framed(self, status, ctype, body, keep, params, record):
        """The body framed as the fault's `length` and `coding` say, valid or not."""
        values = {"": [str(len(body))], "none": []}.get(params["length"], params["length"].split("|"))
        chunked = params["coding"] == "chunked"
        keep = keep and (chunked or bool(values))  # else only the close ends the body
        head = "HTTP/1.1 %d %s\r\nServer: SonvaleStation\r\nContent-Type: %s\r\n" % (
            status, REASONS.get(status, "Error"), ctype)
        head += "".join("Content-Length: %s\r\n" % v for v in values)
        if chunked:
            head += "Transfer-Encoding: chunked\r\n"
            body = b"".join(b"%x\r\n%s\r\n" % (len(body[i:i + 65536]), body[i:i + 65536])
                            for i in range(0, len(body), 65536)) + b"0\r\n\r\n"
        head += "Connection: %s\r\n\r\n" % ("keep-alive" if keep else "close")
        try:
            self.sock.sendall(head.encode("latin-1") + body)
        except OSError:
            record["outcome"] = "client-gone"
            return False
        record["bytes"] = len(body)
        return keep

    def stall(self, longest, record):
        """Silence until the server stops, the test releases it, the client goes
        away, or `longest` seconds pass."""
        st = self.station
        with st.lock:
            release = st.release_event
            st.stalled += 1
        st.log({"event": "stall", "conn": self.conn, "path": record["path"], "bytes": record["bytes"]})
        record["outcome"] = "stalled"
        end = time.monotonic() + longest
        try:
            while time.monotonic() < end:
                if st.stop_event.is_set():
                    record["outcome"] = "stalled-until-stop"
                    return
                if release.is_set():
                    record["outcome"] = "stalled-until-release"
                    return
                readable, _, _ = select.select([self.sock], [], [], 0.1)
                if readable:
                    try:
                        data = self.sock.recv(4096)
                    except OSError:
                        data = b""
                    if not data:
                        record["outcome"] = "stalled-until-client-left"
                        return
        finally:
            with st.lock:
                st.stalled -= 1


def has_version(line):
    parts = line.split()
    return len(parts) >= 3 and parts[-1].startswith(b"HTTP/")


def looks_like_header(line):
    name, colon, _ = line.partition(b":")
    return bool(colon) and bool(name) and all(33 <= c < 127 for c in name)


def parse_request(request, headers, complete):
    """Method, the raw request target (bytes kept exactly, line breaks included
    when the client sent them) and the version."""
    if request.endswith(b"\r\n"):
        request = request[:-2]
    elif request.endswith(b"\n"):
        request = request[:-1]
    method, _, rest = request.partition(b" ")
    version = "HTTP/0.9"
    if complete and has_version(request):
        target, _, ver = rest.rpartition(b" ")
        version = ver.decode("latin-1")
    else:
        target = rest
    return {"method": method.decode("latin-1"), "target": target, "version": version,
            "headers": headers}


def keep_alive(version, headers):
    conn = headers.get("connection", "").lower()
    if version == "HTTP/1.1":
        return "close" not in conn
    return "keep-alive" in conn


class Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    block_on_close = False  # a stop must not wait for stalled connections
    allow_reuse_address = True
    request_queue_size = 64
    idle_timeout = 30.0


def make_server(station, host, port, idle_timeout=30.0):
    handler = type("BoundHandler", (Handler,), {"station": station})
    server = Server((host, port), handler)
    server.idle_timeout = idle_timeout
    return server


def free_port(host="127.0.0.1"):
    """A port nobody listens on right now (for "no server at all")."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def write_ready(path, host, port, log_path):
    text = "port=%d\nhost=%s\nurl=http://%s:%d/xm/\npid=%d\nlog=%s\n" % (
        port, host, host, port, os.getpid(), os.path.abspath(log_path) if log_path else "")
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)  # readers never see a half-written file


def read_ready(path):
    values = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            values[key] = value
    return values


def send_control(host, port, command):
    """One control request; prints and returns the reply body."""
    command = command.lstrip("/")
    with socket.create_connection((host, port), timeout=10) as s:
        s.sendall(("GET /control/%s HTTP/1.1\r\nHost: %s:%d\r\nUser-Agent: station-control\r\n"
                   "Connection: close\r\n\r\n" % (command, host, port)).encode("latin-1"))
        data = b""
        while True:
            piece = s.recv(65536)
            if not piece:
                break
            data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    status = int(head.split(b" ", 2)[1]) if head.startswith(b"HTTP/") else 0
    return status, body.decode("utf-8", "replace")


def start_in_background(argv, ready_file):
    """For ctest fixtures and scripts: returns once the detached server listens."""
    if not ready_file:
        sys.stderr.write("station: --background needs --ready-file\n")
        return 2
    if os.path.exists(ready_file):
        os.remove(ready_file)
    child_args = [a for a in argv if a != "--background"]
    with open(ready_file + ".stderr", "w") as err:
        proc = subprocess.Popen([sys.executable, os.path.abspath(__file__)] + child_args,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
                                start_new_session=True)  # outlives this process and its terminal
    deadline = time.monotonic() + 10
    while not os.path.exists(ready_file):
        if proc.poll() is not None or time.monotonic() > deadline:
            if proc.poll() is None:
                proc.kill()
            with open(ready_file + ".stderr") as f:
                sys.stderr.write(f.read())
            sys.stderr.write("station: the background server did not start\n")
            return 2
        time.sleep(0.01)
    print(read_ready(ready_file)["port"])
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Sonvale station server: serves tracker modules over HTTP/1.1 on loopback.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=fault_help() + """

control (GET or POST on the same server):
  /control/fault?mode=MODE[&key=value...]  set the fault (counters start again)
  /control/fault                            the current fault, as JSON
  /control/playlist?names=a.mod,b.xm        fixed order from now on, from its start
  /control/playlist                         rewind (playlist or shuffle) to the start
  /control/reset                            fault none, rewind, release stalls
  /control/release                          end stalled responses now
  /control/status                           state as JSON
  /control/stop                             shut the server down
  from a shell: station.py --ready-file F --control 'fault?mode=answer-empty'
  a ctest fixture: station.py --background --port 0 --ready-file F --log L (prints the port),
  then station.py --ready-file F --control stop

log: one JSON object a line; event "request" lines carry conn, seq, method,
path (the raw request target, bytes as latin-1), version, agent, status,
length (announced), bytes (body bytes sent), kind (answer, module, index,
control, other), name, fault, outcome, t.
ready file: key=value lines port=, host=, url=, pid=, log=; written once listening.""")
    parser.add_argument("folders", nargs="*", help="folders of modules (default: %s)" % " ".join(DEFAULT_FOLDERS))
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (loopback only)")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT,
                        help="port (default %d, the player's; 0 picks a free one)" % DEFAULT_PORT)
    parser.add_argument("--log", help="append a JSON line per request to this file")
    parser.add_argument("--ready-file", help="written (atomically) once the server listens")
    parser.add_argument("--playlist", help="comma-separated names served in this order, cycled")
    parser.add_argument("--seed", type=int, help="seed of the shuffle (default: random)")
    parser.add_argument("--fault", default="none", help="initial fault, MODE or MODE?key=value&...")
    parser.add_argument("--idle-timeout", type=float, default=30.0,
                        help="seconds an idle keep-alive connection is kept (default 30)")
    parser.add_argument("--tls", metavar="DIR",
                        help="also serve https on the same port, with DIR/station.crt and DIR/station.key "
                             "(/control/cert?name=NAME: DIR/NAME.crt and .key from then on)")
    parser.add_argument("--quiet", action="store_true", help="no per-request line on stderr")
    parser.add_argument("--free-port", action="store_true", help="print a port nobody listens on and exit")
    parser.add_argument("--background", action="store_true",
                        help="start the server as a detached process, wait until it listens, print its port "
                             "and exit (needs --ready-file; its stderr goes to READY_FILE.stderr)")
    parser.add_argument("--control", metavar="COMMAND",
                        help="send COMMAND to a running server (its --port, or the port in --ready-file) and exit")
    args = parser.parse_args(argv)

    if args.host not in ("127.0.0.1", "localhost"):
        parser.error("the station listens on 127.0.0.1 only")
    if args.free_port:
        print(free_port(args.host))
        return 0
    if args.control:
        port = int(read_ready(args.ready_file)["port"]) if args.ready_file else args.port
        status, body = send_control(args.host, port, args.control)
        sys.stdout.write(body)
        return 0 if status == 200 else 1
    if args.background:
        return start_in_background(argv if argv is not None else sys.argv[1:], args.ready_file)
    if args.ready_file and os.path.exists(args.ready_file):
        os.remove(args.ready_file)  # a stale one must not announce a port before this run listens
    try:
        mode, params = parse_fault(args.fault)
    except FaultError as e:
        parser.error(str(e))

    folders = args.folders or DEFAULT_FOLDERS
    playlist = [n for n in args.playlist.split(",") if n] if args.playlist else None
    station = Station(folders, playlist=playlist, seed=args.seed, log_path=args.log, quiet=args.quiet)
    station.set_fault(mode, params)
    if args.tls:
        try:
            station.tls = Tls(args.tls)
        except OSError as e:
            parser.error(str(e))
    if playlist:
        for name in playlist:
            if station.find(os.fsencode(name)) is None:
                sys.stderr.write("station: playlist name %r is not in the folders (served as 404)\n" % name)
    elif not station.catalogue():
        sys.stderr.write("station: no modules found in %s\n" % ", ".join(folders))

    try:
        server = make_server(station, args.host, args.port, args.idle_timeout)
    except OSError as e:
        sys.stderr.write("station: cannot listen on %s:%d: %s\n" % (args.host, args.port, e))
        return 2
    port = server.server_address[1]

    def on_signal(signum, frame):
        station.stop_event.set()
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    loop = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
    loop.start()
    station.log({"event": "listening", "host": args.host, "port": port, "pid": os.getpid(),
                 "fault": mode, "folders": folders})
    if args.ready_file:
        write_ready(args.ready_file, args.host, port, args.log)
    sys.stderr.write("station: listening on http://%s:%d/xm/ (fault %s)\n" % (args.host, port, mode))
    sys.stderr.flush()

    while not station.stop_event.wait(0.2):
        pass
    server.shutdown()
    server.server_close()
    # Idle keep-alive and stalled connections end now rather than at their timeouts.
    with station.lock:
        open_socks = list(station.connections.values())
    for s in open_socks:
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
    station.log({"event": "stopped"})
    sys.stderr.write("station: stopped\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
