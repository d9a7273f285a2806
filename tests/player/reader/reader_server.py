#!/usr/bin/env python3
"""reader_server.py COMMAND...: runs COMMAND with this server's port in READER_PORT.
Body byte i is (i * 7 + i // 256) % 256; /stall, /silent, /overlong, /late wait for /release.
/to?LOCATION redirects there ("PORT" in it: this server's) with a body of 37 bytes;
/echo... answers its own request target; /cookie sets a cookie and answers the one it got.
/length/N[/V...]: N bytes with Content-Lengths V... (or none), ended by the close;
/chunked/N: N bytes chunked, with Content-Lengths of 10 and "abc" beside the coding."""
import os
import subprocess
import socket
import struct
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

RELEASE = [threading.Event()]  # replaced by /release, so later stalls stall again


def body(n):
    return bytes(((i * 7 + i // 256) % 256) for i in range(n))


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 2  # idle keep-alive connections end soon

    def answer(self, data, length=None, headers=(), status=200):
        self.send_response(status)
        self.send_header("Content-Length", str(len(data) if length is None else length))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        kind, _, arg = self.path.strip("/").partition("/")
        n = int(arg) if arg.isdigit() else 0
        release = RELEASE[0]
        if kind == "length":
            n, *values = arg.split("/")
            head = "".join("Content-Length: %s\r\n" % urllib.parse.unquote(v) for v in values)
            self.wfile.write(b"HTTP/1.1 200 OK\r\nConnection: close\r\n%s\r\n%s"
                             % (head.encode(), body(int(n))))
            self.close_connection = True
        elif kind == "chunked":
            data = body(n)
            chunks = b"".join(b"%x\r\n%s\r\n" % (len(data[i:i + 1000]), data[i:i + 1000])
                              for i in range(0, n, 1000))
            self.answer(chunks + b"0\r\n\r\n", 10, [("Transfer-Encoding", "chunked"), ("Content-Length", "abc")])
        elif kind == "body" or (kind == "hop" and n == 0):
            self.answer(body(n if kind == "body" else 100))
        elif kind in ("stall", "reset"):
            self.answer(body(n), n + 100000)  # unbuffered: the bytes leave at once
        elif kind == "overlong":
            # "close" keeps the connection out of WinINet's pool with the extra bytes in it.
            self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
                             b"%sGARBAGE-LEFT-ON-THE-CONNECTION" % (n, body(n)))
        elif kind == "late":  # after a second, a chunked body without end, held after N bytes
            time.sleep(1)
            try:
                self.wfile.write(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
                for _ in range(n // 16384):
                    self.wfile.write(b"4000\r\n%s\r\n" % bytes(16384))
            except OSError:
                pass
        elif kind == "hop":
            self.answer(b"", headers=[("Location", "/hop/%d" % (n - 1))], status=302)
        elif kind.startswith("to?"):
            to = urllib.parse.unquote(self.path.partition("?")[2], "latin-1")
            self.answer(body(37), headers=[("Location", to.replace("PORT", str(self.server.server_address[1])))],
                        status=302)
        elif kind.startswith("echo"):
            self.answer(self.path.encode("latin-1"))
        elif kind == "cookie":
            self.answer(b"cookie:" + self.headers.get("Cookie", "").encode("latin-1"),
                        headers=[("Set-Cookie", "station=1; Expires=Thu, 31 Dec 2099 23:59:59 GMT; Path=/")])
        elif kind == "release":
            RELEASE[0] = threading.Event()
            release.set()
            self.answer(b"")
        elif kind != "silent":
            self.send_error(404)
        if kind in ("stall", "silent", "overlong", "late"):
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
    threading.Thread(target=server.serve_forever, daemon=True).start()
    env = dict(os.environ, READER_PORT=str(server.server_address[1]))
    os._exit(subprocess.call(sys.argv[1:], env=env))


if __name__ == "__main__":
    main()
