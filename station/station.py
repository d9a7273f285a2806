#!/usr/bin/env python3
"""Sonvale station server: a small HTTP/1.1 server on loopback that speaks the
station protocol.

  GET /xm/request.php  -> the name of the next module, relative to /xm/
  GET /xm/<name>       -> that module's bytes
  GET /xm/             -> an HTML page listing what the station plays

Python 3 standard library only. The tests run it with their control and fault
modes (tests/station/faults.py) in place of its Handler.
"""

import argparse
import html
import json
import os
import random
import signal
import socket
import socketserver
import ssl
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


REASONS = {200: "OK", 302: "Found", 304: "Not Modified", 400: "Bad Request", 404: "Not Found", 405: "Method Not Allowed",
           500: "Internal Server Error"}


class Response:
    """What a request gets."""

    def __init__(self, status, ctype, body):
        self.status, self.ctype, self.body = status, ctype, body
        self.length = None  # the announced Content-Length; None: the body's
        self.headers = []   # (name, value) after the usual ones
        self.send = None    # its own way of sending, if any: send(handler, head, response, keep) -> keep

    def become_error(self, status):
        self.status, self.ctype, self.body = status, "text/html", error_page(status)
        return self


class Station:
    """State shared by all connections: folders, rotation and log."""

    def __init__(self, folders, playlist=None, seed=None, log_path=None, quiet=False):
        self.folders = [os.fsencode(os.path.abspath(f)) for f in folders]
        self.lock = threading.Lock()
        self.rng = random.Random(seed)
        self.playlist = [os.fsencode(n) for n in playlist] if playlist else None
        self.position = 0
        self.bag = []
        self.last = None
        self.stop_event = threading.Event()
        self.conn_ids = 0
        self.connections = {}  # id -> socket, so a stop can close idle and stalled ones
        self.quiet = quiet
        self.tls = None  # a Tls when the station also serves https
        self.log_file = open(log_path, "a", encoding="utf-8") if log_path else None
        self.log_lock = threading.Lock()

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
    TLS with DIR/NAME.crt and DIR/NAME.key; NAME is "station" unless select()
    picks another. Any other
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
        self.record = record = {
            "event": "request", "conn": self.conn, "seq": seq, "method": method,
            "path": target.decode("latin-1"), "version": version,
            "agent": headers.get("user-agent"), "status": None, "bytes": 0,
            "length": None, "kind": "other", "name": None, "fault": None, "outcome": "ok",
            "scheme": self.scheme}
        host = headers.get("host", "")
        self.host_name = (host.rpartition(":")[0] or host).lower()
        body_len = headers.get("content-length", "0")
        try:
            if int(body_len) > 0:
                self.read_body(min(int(body_len), MAX_HEAD))
        except ValueError:
            pass

        try:
            response = self.route(method, target, record)
        except Exception:  # a bug or an unreadable file must not drop the connection silently
            traceback.print_exc()
            response = Response(500, "text/html", b"").become_error(500)
            record["outcome"] = "error"
            keep = False
        if response.length is None:
            response.length = len(response.body)
        if method == "HEAD":
            response.body, response.send, record["fault"] = b"", None, None
        record.update(status=response.status, length=response.length)
        try:
            keep = self.send(response, keep)
        finally:
            st.log(record)
            if self.stop_after_reply:
                st.stop_event.set()
        return keep and not st.stop_event.is_set()

    def route(self, method, target, record):
        st = self.station
        path = target.partition(b"?")[0]
        if method not in ("GET", "HEAD"):
            return Response(405, "text/html", b"").become_error(405)
        if path in (b"/xm/", b"/xm", b"/"):
            record["kind"] = "index"
            return Response(200, "text/html; charset=utf-8", self.index_page())
        if path == b"/xm/request.php":
            record["kind"] = "answer"
            return self.answer(record)
        if path.startswith(b"/xm/"):
            record["kind"] = "module"
            return self.module(target[len(b"/xm/"):], record)
        record["outcome"] = "not-found"
        return Response(404, "text/html", b"").become_error(404)

    def answer(self, record):
        st = self.station
        name = st.next_name()
        if name is None:
            return Response(404, "text/html", b"").become_error(404)
        record["name"] = name.decode("latin-1")
        return Response(200, "text/plain; charset=windows-1252", name)

    def module(self, raw, record):
        st = self.station
        # Only the path is a name: a query is not part of it. A query is cut at
        # its first '?', so "a.xm?x" still serves a.xm.
        raw = raw.partition(b"?")[0]
        name = validate_name(raw)
        if name is None:
            record["outcome"] = "refused"
            return Response(404, "text/html", b"").become_error(404)
        record["name"] = name.decode("latin-1")
        path = st.find(name)
        if path is None:
            response = Response(404, "text/html", b"").become_error(404)
            record["outcome"] = "not-found"
        else:
            with open(path, "rb") as f:
                response = Response(200, "application/octet-stream", f.read())
        return response

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

    def send(self, response, keep):
        head = ("HTTP/1.1 %d %s\r\nServer: SonvaleStation\r\nContent-Type: %s\r\n"
                "Content-Length: %d\r\nCache-Control: no-store\r\nConnection: %s\r\n%s\r\n"
                % (response.status, REASONS.get(response.status, "Error"), response.ctype, response.length,
                   "keep-alive" if keep else "close",
                   "".join("%s: %s\r\n" % h for h in response.headers))).encode("latin-1")
        if response.send:
            return response.send(self, head, response, keep)
        try:
            self.sock.sendall(head + response.body)
        except OSError:
            self.record["outcome"] = "client-gone"
            raise
        self.record["bytes"] = len(response.body)
        return keep


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


def make_server(station, host, port, idle_timeout=30.0, handler_for=None):
    handler = type("BoundHandler", (handler_for(station) if handler_for else Handler,), {"station": station})
    server = Server((host, port), handler)
    server.idle_timeout = idle_timeout
    return server


def write_ready(path, host, port, log_path):
    text = "port=%d\nhost=%s\nurl=http://%s:%d/xm/\npid=%d\nlog=%s\n" % (
        port, host, host, port, os.getpid(), os.path.abspath(log_path) if log_path else "")
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)  # readers never see a half-written file


def main(argv=None, handler_for=None):
    """handler_for(station), if given, makes the Handler class that serves it."""
    parser = argparse.ArgumentParser(
        description="Sonvale station server: serves tracker modules over HTTP/1.1 on loopback.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="""log: one JSON object a line; event "request" lines carry conn, seq, method,
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
    parser.add_argument("--idle-timeout", type=float, default=30.0,
                        help="seconds an idle keep-alive connection is kept (default 30)")
    parser.add_argument("--tls", metavar="DIR",
                        help="also serve https on the same port, with DIR/station.crt and DIR/station.key")
    parser.add_argument("--quiet", action="store_true", help="no per-request line on stderr")
    args = parser.parse_args(argv)

    if args.host not in ("127.0.0.1", "localhost"):
        parser.error("the station listens on 127.0.0.1 only")
    if args.ready_file and os.path.exists(args.ready_file):
        os.remove(args.ready_file)  # a stale one must not announce a port before this run listens
    folders = args.folders or DEFAULT_FOLDERS
    playlist = [n for n in args.playlist.split(",") if n] if args.playlist else None
    station = Station(folders, playlist=playlist, seed=args.seed, log_path=args.log, quiet=args.quiet)
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
        server = make_server(station, args.host, args.port, args.idle_timeout, handler_for)
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
    listening = {"event": "listening", "host": args.host, "port": port, "pid": os.getpid(), "folders": folders}
    station.log(listening)
    if args.ready_file:
        write_ready(args.ready_file, args.host, port, args.log)
    sys.stderr.write("station: listening on http://%s:%d/xm/\n" % (args.host, port))
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
