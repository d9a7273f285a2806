#!/usr/bin/env python3
"""Loopback HTTP/1.1 server for the reader's tests.

Usage: reader_server.py PORTFILE
Listens on two ports of 127.0.0.1 and writes "<http port> <silent port>" to
PORTFILE once both accept. The silent port accepts connections and never
answers. The server ends on GET /quit, or after a minute without a request, so
a crashed test leaves nothing behind for long (Wine starts Unix programs
detached: the parent cannot be watched).

Paths of the HTTP port:
  /body/N     N bytes, byte i = (i * 7 + i // 256) % 256, with a Content-Length
  /chunked/N  the same bytes with chunked transfer coding, in pieces of 3000
  /close/N    the same bytes with no length: the body ends when the server closes
  /stall/N    a length of N + 100000, N bytes, then nothing until /release,
              which then closes the connection
  /release    ends every stall so far and closes the silent port's connections
  /reset/N    a length of N + 100000, N bytes, then a connection reset
  /conn       the number of the connection this request came on, as text
"""
import os
import socket
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

STOP = threading.Event()
# Replaced by /release after it has been set, so later stalls stall again.
RELEASE = [threading.Event()]
LAST_REQUEST = [time.monotonic()]
IDLE_LIMIT = 60.0
# Connections of the silent port.
HELD = []
HELD_LOCK = threading.Lock()
CONN_LOCK = threading.Lock()
CONN_COUNT = [0]


def body_bytes(n):
    return bytes(((i * 7 + i // 256) % 256) for i in range(n))


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Idle keep-alive connections end after this (the handle count test needs
    # WinINet's pool to hold only dead connections).
    timeout = 2

    def setup(self):
        super().setup()
        with CONN_LOCK:
            CONN_COUNT[0] += 1
            self.conn_number = CONN_COUNT[0]

    def log_message(self, fmt, *args):
        pass

    def head(self, length=None, extra=()):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        if length is not None:
            self.send_header("Content-Length", str(length))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()

    def do_GET(self):
        LAST_REQUEST[0] = time.monotonic()
        parts = self.path.strip("/").split("/")
        kind = parts[0]
        n = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0
        if kind == "quit":
            self.head(0)
            STOP.set()
        elif kind == "body":
            self.head(n)
            self.wfile.write(body_bytes(n))
        elif kind == "chunked":
            self.head(None, [("Transfer-Encoding", "chunked")])
            data = body_bytes(n)
            for i in range(0, n, 3000):
                piece = data[i:i + 3000]
                self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
            self.wfile.write(b"0\r\n\r\n")
        elif kind == "close":
            self.head(None, [("Connection", "close")])
            self.wfile.write(body_bytes(n))
            self.close_connection = True
        elif kind == "stall":
            self.head(n + 100000)
            self.wfile.write(body_bytes(n))
            self.wfile.flush()
            release = RELEASE[0]
            while not release.wait(0.2) and not STOP.is_set():
                pass
            self.close_connection = True
        elif kind == "release":
            old = RELEASE[0]
            RELEASE[0] = threading.Event()
            old.set()
            release_silent()
            self.head(0)
        elif kind == "reset":
            self.head(n + 100000)
            self.wfile.write(body_bytes(n))
            self.wfile.flush()
            time.sleep(0.2)
            # A zero linger time makes close() send a reset instead of a FIN.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.close_connection = True
        elif kind == "conn":
            text = str(self.conn_number).encode()
            self.head(len(text))
            self.wfile.write(text)
        else:
            self.send_error(404)


def silent_listener(sock):
    sock.settimeout(0.2)
    while not STOP.is_set():
        try:
            conn, _ = sock.accept()
            with HELD_LOCK:
                HELD.append(conn)  # never read, never answered
        except socket.timeout:
            pass
    release_silent()


def release_silent():
    with HELD_LOCK:
        for conn in HELD:
            conn.close()
        del HELD[:]


def main():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    silent = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    silent.bind(("127.0.0.1", 0))
    silent.listen(16)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    threading.Thread(target=silent_listener, args=(silent,), daemon=True).start()
    tmp = sys.argv[1] + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d %d\n" % (server.server_address[1], silent.getsockname()[1]))
    os.replace(tmp, sys.argv[1])
    while not STOP.wait(0.5):
        if time.monotonic() - LAST_REQUEST[0] > IDLE_LIMIT:
            break
    STOP.set()
    server.shutdown()
    os._exit(0)


if __name__ == "__main__":
    main()
