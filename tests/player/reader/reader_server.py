#!/usr/bin/env python3
"""Loopback HTTP/1.1 server for the reader's tests: reader_server.py PORTFILE.
Writes its port to PORTFILE; ends on /quit or after a minute without a request
(Wine starts it detached, so a crashed test cannot stop it). Bodies: byte i is
(i * 7 + i // 256) % 256. /stall, /silent and /overlong wait for /release."""
import os
import socket
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

RELEASE = [threading.Event()]  # replaced by /release, so later stalls stall again
LAST_REQUEST = [time.monotonic()]
LOOP_HITS = [0]


def body(n):
    return bytes(((i * 7 + i // 256) % 256) for i in range(n))


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 2  # idle keep-alive connections end soon

    def log_message(self, *args):
        pass

    def answer(self, data, length=None, headers=(), status=200):
        self.send_response(status)
        if length != -1:
            self.send_header("Content-Length", str(len(data) if length is None else length))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)
        self.wfile.flush()

    def do_GET(self):
        LAST_REQUEST[0] = time.monotonic()
        kind, _, arg = self.path.strip("/").partition("/")
        n = int(arg) if arg.isdigit() else 0
        release = RELEASE[0]
        if kind == "body" or (kind == "hop" and n == 0):
            self.answer(body(n if kind == "body" else 100))
        elif kind == "close":
            self.answer(body(n), -1, [("Connection", "close")])
            self.close_connection = True
        elif kind in ("stall", "reset"):
            self.answer(body(n), n + 100000)
        elif kind == "overlong":
            # "close" keeps the connection out of WinINet's pool with the extra bytes in it.
            self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
                             b"%sGARBAGE-LEFT-ON-THE-CONNECTION" % (n, body(n)))
        elif kind == "hop":
            self.answer(b"", headers=[("Location", "/hop/%d" % (n - 1))], status=302)
        elif kind == "loop":
            LOOP_HITS[0] += 1
            self.answer(b"", headers=[("Location", "http://%s:%d/loop" % self.server.server_address)],
                        status=302)
        elif kind == "hits":
            self.answer(str(LOOP_HITS[0]).encode())
        elif kind in ("release", "quit"):
            RELEASE[0] = threading.Event()
            release.set()
            self.answer(b"")
            self.server.quit = kind == "quit"
        elif kind != "silent":
            self.send_error(404)
        if kind in ("stall", "silent", "overlong"):
            release.wait(60)
            self.close_connection = True
        elif kind == "reset":
            time.sleep(0.2)
            # A zero linger time makes close() send a reset instead of a FIN.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.close_connection = True


def main():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.quit = False
    threading.Thread(target=server.serve_forever, daemon=True).start()
    with open(sys.argv[1] + ".tmp", "w") as f:
        f.write("%d\n" % server.server_address[1])
    os.replace(sys.argv[1] + ".tmp", sys.argv[1])
    while not server.quit and time.monotonic() - LAST_REQUEST[0] < 60.0:
        time.sleep(0.2)
    os._exit(0)


if __name__ == "__main__":
    main()
