#!/usr/bin/env python3
"""The tests' side of the station: the control endpoints (/control/...) and the
fault modes a test switches on to break an answer or a module on purpose.

station.py loads this module only when asked (--testing, --fault); the station
that ./scripts/play runs serves plain music without it.

A fault mode is one row of MODES: the request it hits, a line of help, and a
change(response, params, handler) that rewrites the station's response or sets
response.send, its own way of sending. Run this file for the list.

Python 3 standard library only.
"""

import json
import os
import random
import re
import select
import socket
import struct
import sys
import threading
import time
import urllib.parse

MIB = 1 << 20
HUGE = 1000000000
TEXT = b"This is not a tracker module, only a few lines of text.\r\n" * 8


# --- ways of changing a response -----------------------------------------------
def rewrite(body, status=None, ctype=None):
    """The body becomes body(old body); status and type as given."""
    def change(r, p, h):
        r.body = body(r.body)
        r.status = status or r.status
        r.ctype = ctype or r.ctype
    return change


def error(status):
    return lambda r, p, h: r.become_error(status)


def padded(size, fill):
    """Cut to 1 MiB, then padded with `fill` to `size` bytes."""
    return lambda b: b[:MIB] + fill * (size - len(b[:MIB]))


def sized(default, fill):
    """Padded with `fill` to `size` bytes (0: `default`)."""
    return lambda r, p, h: rewrite(padded(p["size"] or default, fill))(r, p, h)


def garbage(r, p, h):
    r.body = random.Random(h.station.testing.garbage_seed).randbytes(4096)
    r.status, r.ctype = 200, "application/octet-stream"


def overlong(r, p, h):
    r.length = len(r.body)
    r.body += b"GARBAGE-LEFT-ON-THE-CONNECTION"


def redirect(r, p, h):
    where = p["to"] or h.record["path"]
    if p["host"] or p["scheme"]:
        where = "%s://%s:%d%s" % (p["scheme"] or "http", p["host"] or h.host_name,
                                  h.server.server_address[1], where)
    r.status, r.ctype, r.body = 302, "text/plain", b""
    r.headers.append(("Location", where))
    if p["coding"] == "chunked" or p["length"] == "none":
        sent_by(send_endless)(r, p, h)


def sent_by(send, status=None, ctype=None):
    """The response goes out by send(handler, head, response, keep) -> keep."""
    def change(r, p, h):
        r.status = status or r.status
        r.ctype = ctype or r.ctype
        r.send = lambda h, head, r, keep: send(h, head, r, keep, p)
    return change


# --- ways of sending one ---------------------------------------------------------
def send_cut(h, head, r, keep, p):
    """`at` body bytes, then a reset (after `wait` s) or a stall."""
    at = p["at"] if p["at"] >= 0 else len(r.body) // 2
    at = min(at, len(r.body))
    h.sock.sendall(head + r.body[:at])
    h.record["bytes"] = at
    if p["mode"].endswith("-reset"):
        h.station.stop_event.wait(p["wait"])
        h.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        h.record["outcome"] = "reset"
        h.sock.close()
        return False
    stall(h, p["for"])
    return False


def send_nothing(h, head, r, keep, p):
    stall(h, p["for"])
    return False


def send_trickle(h, head, r, keep, p):
    h.sock.sendall(head)
    sent, step = 0, max(1, p["chunk"])
    while sent < len(r.body):
        if h.station.stop_event.wait(p["delay"]):
            h.record["outcome"] = "stopped"
            return False
        piece = r.body[sent:sent + step]
        h.sock.sendall(piece)
        sent += len(piece)
        h.record["bytes"] = sent
    return keep


def endless(h, head, piece, p):
    """`head`, then `piece` again and again (`pace` s apart) until the client goes."""
    h.sock.sendall(head)
    while not (h.station.stop_event.wait(p["pace"]) if p["pace"] > 0 else h.station.stop_event.is_set()):
        try:
            h.sock.sendall(piece)
        except OSError:
            h.record["outcome"] = "client-gone"
            break
        h.record["bytes"] += len(piece)
    return False


def send_endless(h, head, r, keep, p):
    """Zeros without end: as announced, or chunked, or with no length (the close ends them)."""
    zeros = b"\0" * 16384
    if p["coding"] == "chunked" or p["length"] == "none":
        framing = b"Transfer-Encoding: chunked" if p["coding"] == "chunked" else b"Connection: close"
        head = re.sub(rb"Connection: [a-z-]+", framing, re.sub(rb"Content-Length: \d+\r\n", b"", head))
        zeros = b"4000\r\n" + zeros + b"\r\n" if p["coding"] == "chunked" else zeros
    return endless(h, head, zeros, p)


def send_headers(h, head, r, keep, p):
    return endless(h, head.partition(b"\r\n")[0] + b"\r\n", (b"X-Endless: " + b"y" * 1010 + b"\r\n") * 16, p)


def send_framed(h, head, r, keep, p):
    """The body framed as `length` and `coding` say, valid or not."""
    values = {"": [str(len(r.body))], "none": []}.get(p["length"], p["length"].split("|"))
    chunked = p["coding"] == "chunked"
    keep = keep and (chunked or bool(values))  # else only the close ends the body
    head = "HTTP/1.1 %d OK\r\nServer: SonvaleStation\r\nContent-Type: %s\r\n" % (r.status, r.ctype)
    head += "".join("Content-Length: %s\r\n" % v for v in values)
    body = r.body
    if chunked:
        head += "Transfer-Encoding: chunked\r\n"
        body = b"".join(b"%x\r\n%s\r\n" % (len(body[i:i + 65536]), body[i:i + 65536])
                        for i in range(0, len(body), 65536)) + b"0\r\n\r\n"
    head += "Connection: %s\r\n\r\n" % ("keep-alive" if keep else "close")
    try:
        h.sock.sendall(head.encode("latin-1") + body)
    except OSError:
        h.record["outcome"] = "client-gone"
        return False
    h.record["bytes"] = len(body)
    return keep


def huge(r, p, h):
    r.length = HUGE
    sent_by(send_endless)(r, p, h)


def stall(h, longest):
    """Silence until the server stops, the test releases it, the client goes
    away, or `longest` seconds pass."""
    st, control = h.station, h.station.testing
    with st.lock:
        release = control.release_event
        control.stalled += 1
    st.log({"event": "stall", "conn": h.conn, "path": h.record["path"], "bytes": h.record["bytes"]})
    h.record["outcome"] = "stalled"
    end = time.monotonic() + longest
    try:
        while time.monotonic() < end:
            if st.stop_event.is_set():
                h.record["outcome"] = "stalled-until-stop"
                return
            if release.is_set():
                h.record["outcome"] = "stalled-until-release"
                return
            readable, _, _ = select.select([h.sock], [], [], 0.1)
            if readable:
                try:
                    data = h.sock.recv(4096)
                except OSError:
                    data = b""
                if not data:
                    h.record["outcome"] = "stalled-until-client-left"
                    return
    finally:
        with st.lock:
            control.stalled -= 1


# --- the modes ---------------------------------------------------------------------
# mode -> (the request it hits, one-line help, change). "answer" is GET
# /xm/request.php with the name as its body, "module" GET /xm/<name> with the file.
MODES = {
    "none":            (None, "normal service", None),
    "answer-empty":    ("answer", "request.php answers 200 with a 0-byte body", rewrite(lambda b: b"")),
    "answer-404":      ("answer", "request.php answers an HTML error page, status 404", error(404)),
    "answer-500":      ("answer", "request.php answers an HTML error page, status 500", error(500)),
    "answer-crlf":     ("answer", "the answer is the name followed by CR LF", rewrite(lambda b: b + b"\r\n")),
    "answer-lf":       ("answer", "the answer is the name followed by LF", rewrite(lambda b: b + b"\n")),
    "answer-nul":      ("answer", "the answer is the name, a zero byte, then 'garbage'",
                        rewrite(lambda b: b + b"\0garbage")),
    "answer-1mib":     ("answer", "the answer is the name padded with 'x' to exactly 1 MiB (no zero byte)",
                        rewrite(padded(MIB, b"x"))),
    "answer-oversize": ("answer", "the answer is the name padded with 'x' to 1 MiB + 1 byte",
                        rewrite(padded(MIB + 1, b"x"))),
    "answer-long":     ("answer", "the answer is the name padded with 'x' to `size` bytes (default 2049)",
                        sized(2049, b"x")),
    "answer-stall":    ("answer", "announces the whole answer, sends `at` bytes, then goes silent",
                        sent_by(send_cut)),
    "answer-silent":   ("answer", "reads the request and sends nothing at all, not even the status line",
                        sent_by(send_nothing)),
    "answer-reset":    ("answer", "sends `at` bytes of the answer, waits `wait` s, then resets (RST)",
                        sent_by(send_cut)),
    "answer-trickle":  ("answer", "sends the answer `chunk` bytes every `delay` s", sent_by(send_trickle)),
    "answer-redirect": ("answer", "request.php redirects (302) to itself: a loop, or `count` hops; to `host`",
                        redirect),
    "answer-cr":       ("answer", "the answer is the name, a bare CR, then 'X-Injected: yes'",
                        rewrite(lambda b: b + b"\rX-Injected: yes")),
    "answer-overlong": ("answer", "the answer's Content-Length covers the name, more bytes follow it", overlong),
    "module-404":      ("module", "the module request answers an HTML error page, status 404", error(404)),
    "module-500":      ("module", "the module request answers an HTML error page, status 500", error(500)),
    "module-1mib":     ("module", "the module padded with zero bytes to exactly 1 MiB",
                        rewrite(padded(MIB, b"\0"))),
    "module-oversize": ("module", "the module padded with zero bytes to `size` bytes (default 1 MiB + 1)",
                        sized(MIB + 1, b"\0")),
    "module-framing":  ("module", "the module itself, framed as `length` and `coding` say", None),
    "module-empty":    ("module", "the module request answers 200 with a 0-byte body",
                        rewrite(lambda b: b"", status=200)),
    "module-stall":    ("module", "announces the whole module, sends `at` bytes, then goes silent",
                        sent_by(send_cut)),
    "module-silent":   ("module", "reads the request and sends nothing at all, not even the status line",
                        sent_by(send_nothing)),
    "module-reset":    ("module", "sends `at` bytes of the module, waits `wait` s, then resets (RST)",
                        sent_by(send_cut)),
    "module-trickle":  ("module", "sends the module `chunk` bytes every `delay` s", sent_by(send_trickle)),
    "module-garbage":  ("module", "4096 seeded random bytes instead of the module", garbage),
    "module-text":     ("module", "a plain text instead of the module",
                        rewrite(lambda b: TEXT, status=200, ctype="text/plain")),
    "module-redirect": ("module", "the module request redirects (302) to the same path on `host`", redirect),
    "module-huge":     ("module", "announces 1,000,000,000 bytes and sends zeros without end (or as framed)",
                        huge),
    "answer-headers":  ("answer", "header lines without end", sent_by(send_headers)),
    "module-headers":  ("module", "header lines without end", sent_by(send_headers)),
}

PARAMS = {
    "after": (int, 0, "let this many matching requests through untouched first"),
    "count": (int, 0, "apply to this many matching requests, then fall back to none (0: forever)"),
    "at":    (int, -1, "stall/reset: body bytes sent before the fault (-1: half the body)"),
    "chunk": (int, 64, "trickle: bytes per piece"),
    "delay": (float, 0.05, "trickle: seconds between pieces"),
    "wait":  (float, 0.3, "reset: seconds between the partial body and the RST"),
    "for":   (float, 3600.0, "stall/silent: longest silence in seconds before the connection is closed"),
    "host":  (str, "", "redirect: the Location names this host, same port and path (requests for it, the "
                       "mirror, are served)"),
    "to":    (str, "", "redirect: the Location is this target on the station (requests for it are served)"),
    "pace":  (float, 0.0, "endless bodies and headers: seconds between 16 KiB pieces (0: as fast as read)"),
    "scheme": (str, "", "redirect: the Location's scheme (http when empty), on the request's own host unless "
                        "`host` names one"),
    "size":  (int, 0, "answer-long, module-oversize: the body's bytes (0: the mode's default)"),
    # Framing, for any mode whose body goes out whole.
    "length": (str, "", "the Content-Length values, '|' between them ('': the body's; none: no header, "
                        "the close ends it)"),
    "coding": (str, "", "chunked: the body is sent chunked"),
}

CONTROL_HELP = """control (GET or POST on the station's own port):
  /control/fault?mode=MODE[&key=value...]  set the fault (counters start again)
  /control/fault                            the current fault, as JSON
  /control/playlist?names=a.mod,b.xm        fixed order from now on, from its start
  /control/playlist                         rewind (playlist or shuffle) to the start
  /control/reset                            fault none, rewind, release stalls
  /control/connections                      {"open": N, "most": M}: the player's connections (not control
                                            ones) open now, and most at once since the reset
  /control/release                          end stalled responses now
  /control/cert?name=NAME                   with --tls: serve DIR/NAME.crt and .key from now on
  /control/status                           state as JSON
  /control/stop                             shut the server down
  from a shell: station.py --ready-file F --control 'fault?mode=answer-empty'"""


def help_text():
    lines = ["fault modes (\"answer\" = GET /xm/request.php, \"module\" = GET /xm/<name>):"]
    for name, (_, text, _) in MODES.items():
        lines.append("  %-16s %s" % (name, text))
    lines.append("fault parameters, written MODE?key=value&key=value:")
    for key, (_, default, text) in PARAMS.items():
        lines.append("  %-6s %s (default %s)" % (key, text, default))
    return "\n".join(lines) + "\n\n" + CONTROL_HELP


class FaultError(ValueError):
    pass


def parse_fault(text):
    """'mode?key=value&...' -> (mode, params). Raises FaultError."""
    mode, _, query = text.partition("?")
    return from_query(mode.strip() or "none", urllib.parse.parse_qs(query, keep_blank_values=True))


def from_query(mode, query):
    if mode not in MODES:
        raise FaultError("unknown fault mode %r" % mode)
    params = {key: default for key, (_, default, _) in PARAMS.items()}
    for key, values in query.items():
        if key == "mode":
            continue
        if key not in PARAMS:
            raise FaultError("unknown fault parameter %r" % key)
        try:
            params[key] = PARAMS[key][0](values[-1])
        except ValueError:
            raise FaultError("bad value for %s: %r" % (key, values[-1]))
    return mode, params


def peer_gone(sock):
    """True once the client has closed or reset the connection. A raw peek: under
    TLS too, and never waiting (a socket with a timeout would wait in recv)."""
    try:
        if not select.select([sock], [], [], 0)[0]:
            return False
        return socket.socket.recv(sock, 1, socket.MSG_PEEK) == b""
    except (OSError, ValueError):
        return True


class Control:
    """The fault in force and the control commands of one station. Its fields
    are guarded by the station's lock."""

    def __init__(self, station, seed=None):
        self.station = station
        self.garbage_seed = 7 if seed is None else seed
        self.release_event = threading.Event()
        self.stalled = 0
        self.counted, self.most = set(), 0
        self.set_fault(*from_query("none", {}))

    def set_fault(self, mode, params):
        with self.station.lock:
            self.mode = mode
            self.params = params
            self.seen = 0
            self.applied = 0

    def status(self):
        return {"mode": self.mode, "params": dict(self.params), "seen": self.seen, "applied": self.applied}

    def hit(self, kind, h):
        """(mode, params) when the fault in force hits this request, else None.
        A request that came to the redirect's host and scheme (the mirror) is served."""
        with self.station.lock:
            p = self.params
            host, scheme = p["host"].lower(), p["scheme"]
            self.count_connection(h.conn)
            if MODES[self.mode][0] != kind or (p["to"] and h.record["path"] == p["to"]) or (
                    (host or scheme) and (host or h.host_name, scheme or "http") == (h.host_name, h.scheme)):
                return None
            self.seen += 1
            if self.seen <= p["after"] or (p["count"] and self.applied >= p["count"]):
                return None
            self.applied += 1
            return self.mode, dict(p, mode=self.mode)

    def count_connection(self, conn):
        """A connection that carried an answer or module request counts as the
        player's until it closes; `most` is the most open at once."""
        self.counted = self.still_open() | {conn}
        self.most = max(self.most, len(self.counted))

    def still_open(self):
        # Closed as soon as the player has closed it, although the thread serving
        # it may notice only at its next send: a new connection of the player's
        # then does not count beside one it has already let go.
        socks = self.station.connections
        return {c for c in self.counted if c in socks and not peer_gone(socks[c])}

    def connections(self):
        self.counted = self.still_open()
        return {"open": len(self.counted), "most": self.most}

    def apply(self, kind, h, response):
        """Breaks the station's response to this request when the fault says so."""
        hit = self.hit(kind, h)
        if hit:
            mode, params = hit
            h.record["fault"] = mode
            if MODES[mode][2]:
                MODES[mode][2](response, params, h)
            if (params["length"] or params["coding"]) and response.send is None:
                sent_by(send_framed)(response, params, h)

    def release(self):
        # Stalled responses watch this event; a fresh event serves the next stall.
        self.release_event.set()
        with self.station.lock:
            self.release_event = threading.Event()

    def command(self, h, command, query):
        """Answers /control/COMMAND; returns (status, content type, body)."""
        st = self.station
        ok = lambda text: (200, "text/plain", (text + "\n").encode("utf-8"))
        as_json = lambda value: (200, "application/json", json.dumps(value).encode() + b"\n")
        if command == "fault":
            if "mode" not in query:
                with st.lock:
                    return as_json(self.status())
            try:
                mode, params = from_query(query["mode"][-1], query)
            except FaultError as e:
                return 400, "text/plain", (str(e) + "\n").encode("utf-8")
            self.set_fault(mode, params)
            st.log({"event": "fault", "mode": mode, "params": params})
            return ok("fault=%s" % mode)
        if command == "playlist":
            if "names" in query:
                st.set_playlist([os.fsencode(n) for n in query["names"][-1].split(",") if n])
            else:
                st.rewind()
            return ok("playlist rewound")
        if command == "reset":
            self.set_fault(*from_query("none", {}))
            st.rewind()
            self.release()
            with st.lock:
                self.most = self.connections()["open"]
            if st.tls is not None:
                st.tls.select("station")
            st.log({"event": "reset"})
            return ok("reset")
        if command == "cert" and st.tls is not None:
            name = query.get("name", ["station"])[-1]
            if not st.tls.select(name):
                return 400, "text/plain", ("no certificate %r\n" % name).encode("utf-8")
            return ok("cert=" + name)
        if command == "connections":
            with st.lock:
                return as_json(self.connections())
        if command == "release":
            self.release()
            return ok("released")
        if command == "status":
            with st.lock:
                return as_json({"fault": self.status(),
                                "playlist": [n.decode("latin-1") for n in st.playlist] if st.playlist else None,
                                "position": st.position, "counts": dict(st.counts),
                                "connections": len(st.connections), "stalled": self.stalled,
                                "port": h.server.server_address[1]})
        if command == "stop":
            h.stop_after_reply = True  # the reply goes out before the shutdown closes this socket
            return ok("stopping")
        return 404, "text/plain", b"unknown control command\n"


def send_control(host, port, command):
    """One control request to a running station; returns its status and body."""
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


if __name__ == "__main__":
    sys.stdout.write(help_text() + "\n")
