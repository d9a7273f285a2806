#!/usr/bin/env python3
"""The tests' station: station/station.py with the control endpoints and the
fault modes a test switches on (README.md). Run as station.py is."""

import json
import os
import re
import select
import socket
import struct
import sys
import threading
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "station"))
import station  # noqa: E402

MIB = 1 << 20
HUGE = 1000000000


# --- ways of changing a response -----------------------------------------------
def rewrite(body):
    """The body becomes body(old body)."""
    def change(r, p, h):
        r.body = body(r.body)
    return change


def error(status):
    return lambda r, p, h: r.become_error(status)


def padded(size, fill):
    """Cut to 1 MiB, then padded with `fill` to `size` bytes."""
    return lambda b: b[:MIB] + fill * (size - len(b[:MIB]))


def redirect(r, p, h):
    where = p["to"] or h.record["path"]
    if p["host"] or p["scheme"]:
        where = "%s://%s:%d%s" % (p["scheme"] or "http", p["host"] or h.host_name,
                                  h.server.server_address[1], where)
    r.status, r.ctype, r.body = 302, "text/plain", b""
    r.headers.append(("Location", where))
    if p["coding"] == "chunked" or p["length"] == "none":
        sent_by(send_endless)(r, p, h)


def sent_by(send):
    """The response goes out by send(handler, head, response, keep, params) -> keep."""
    def change(r, p, h):
        r.send = lambda h, head, r, keep: send(h, head, r, keep, p)
    return change


# --- ways of sending one ---------------------------------------------------------
def send_cut(h, head, r, keep, p):
    """`at` body bytes (-1: half), then a stall or (-reset) a reset: 0.3 s on, or
    (module-then-reset, which sends it all) once the next request comes."""
    at = min(p["at"] if p["at"] >= 0 else len(r.body) // 2, len(r.body))
    h.sock.sendall(head + r.body[:at])
    h.record["bytes"] = at
    if not p["mode"].endswith("-reset"):
        stall(h)
        return False
    if p["mode"] == "module-then-reset":
        while not (select.select([h.sock], [], [], 0.1)[0] or h.station.stop_event.is_set()):
            pass
    else:
        h.station.stop_event.wait(0.3)
    h.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    h.record["outcome"] = "reset"
    h.sock.close()
    return False


def send_whole(h, head, r, keep, p):
    """The response whole on a kept connection; the next request on it is never
    answered (a stall), or answered with a reset (-reset)."""
    return send_cut(h, head, r, keep, dict(p, at=len(r.body)))


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
    """The body framed as `length` and `coding` say."""
    values = [] if p["length"] == "none" else [str(len(r.body))]
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


def stall(h):
    """Silence until the server stops, the test releases it, or the client goes."""
    st = h.station
    release = st.testing.release_event
    st.log({"event": "stall", "conn": h.conn, "path": h.record["path"], "bytes": h.record["bytes"]})
    h.record["outcome"] = "stalled"
    while not st.stop_event.is_set() and not release.is_set():
        if select.select([h.sock], [], [], 0.1)[0]:
            try:
                data = h.sock.recv(4096)
            except OSError:
                data = b""
            if not data:
                h.record["outcome"] = "stalled-until-client-left"
                return
    h.record["outcome"] = "stalled-until-release"


# --- the modes ---------------------------------------------------------------------
# mode -> (the request it hits, change). "answer" is GET /xm/request.php with the
# name as its body, "module" GET /xm/<name> with the file.
MODES = {
    "none":            (None, None),
    "answer-empty":    ("answer", rewrite(lambda b: b"")),
    "answer-404":      ("answer", error(404)),  # an HTML error page
    "answer-crlf":     ("answer", rewrite(lambda b: b + b"\r\n")),
    "answer-nul":      ("answer", rewrite(lambda b: b + b"\0garbage")),
    "answer-1mib":     ("answer", rewrite(padded(MIB, b"x"))),  # no zero byte in it
    "answer-silent":   ("answer", sent_by(lambda h, *_: stall(h))),  # not even the status line
    "answer-redirect": ("answer", redirect),  # 302 to itself, or as `to`, `host`, `scheme` say
    "answer-reset":    ("answer", sent_by(send_cut)),  # `at` bytes of its length, then a reset
    "module-404":      ("module", error(404)),
    "module-1mib":     ("module", rewrite(padded(MIB, b"\0"))),
    "module-oversize": ("module", lambda r, p, h: rewrite(padded(p["size"] or MIB + 1, b"\0"))(r, p, h)),
    "module-empty":    ("module", rewrite(lambda b: b"")),
    "module-stall":    ("module", sent_by(send_cut)),  # announces it all, sends `at` bytes, then silence
    "module-reset":    ("module", sent_by(send_cut)),  # `at` bytes, 0.3 s, then a reset (RST)
    "module-redirect": ("module", redirect),
    "module-huge":     ("module", huge),  # announces 1,000,000,000 bytes, zeros without end
    "module-headers":  ("module", sent_by(send_headers)),  # header lines without end
    "module-then-deaf": ("module", sent_by(send_whole)),  # the next request on its connection: silence
    "module-then-reset": ("module", sent_by(send_whole)),  # the next request on its connection: a reset
}

PARAMS = {  # name -> (type, default)
    "after": (int, 0),       # this many matching requests go through untouched first
    "count": (int, 0),       # then this many are hit (0: all)
    "at": (int, -1),         # stall, reset: body bytes sent before the fault (-1: half)
    "host": (str, ""),       # redirect: the Location's host (the mirror, served without the fault)
    "to": (str, ""),         # redirect: the Location's target (served without the fault)
    "scheme": (str, ""),     # redirect: the Location's scheme (the mirror's too)
    "pace": (float, 0.0),    # endless bodies and headers: seconds between 16 KiB pieces
    "size": (int, 0),        # module-oversize: the body's bytes (0: 1 MiB + 1)
    "length": (str, ""),     # framing: none (no Content-Length: the close ends the body)
    "coding": (str, ""),     # framing: chunked
}


def from_query(mode, query):
    """(mode, its parameters); KeyError or ValueError for an unknown mode or
    parameter, or a value of the wrong type."""
    if mode not in MODES:
        raise KeyError(mode)
    params = {key: default for key, (_, default) in PARAMS.items()}
    params.update((key, PARAMS[key][0](values[-1])) for key, values in query.items() if key != "mode")
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

    def __init__(self, station):
        self.station = station
        self.release_event = threading.Event()
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
        """The station's response to this request, broken when the fault says so."""
        hit = self.hit(kind, h)
        if hit:
            mode, params = hit
            h.record["fault"] = mode
            MODES[mode][1](response, params, h)
            if (params["length"] or params["coding"]) and response.send is None:
                sent_by(send_framed)(response, params, h)
        return response

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
            except (KeyError, ValueError) as e:
                return 400, "text/plain", ("bad fault: %s\n" % e).encode("utf-8")
            self.set_fault(mode, params)
            st.log({"event": "fault", "mode": mode, "params": params})
            return ok("fault=%s" % mode)
        if command == "playlist" and "names" in query:
            st.set_playlist([os.fsencode(n) for n in query["names"][-1].split(",") if n])
            return ok("playlist set")
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
        return 404, "text/plain", b"unknown control command\n"


def handler_for(st):
    """The station's Handler, with the control and the faults of a Control."""
    control = st.testing = Control(st)

    class Handler(station.Handler):
        def route(self, method, target, record):
            path, _, query = target.partition(b"?")
            if not path.startswith(b"/control/"):
                return super().route(method, target, record)
            record["kind"] = "control"
            return station.Response(*control.command(self, path[len(b"/control/"):].decode("latin-1"),
                                                     urllib.parse.parse_qs(query.decode("latin-1"),
                                                                           keep_blank_values=True)))

        def answer(self, record):
            return control.apply("answer", self, super().answer(record))

        def module(self, raw, record):
            return control.apply("module", self, super().module(raw, record))

        def finish(self):
            # Closed after the handshake and before a request: WinINet under Wine
            # checks the certificate only then, and refuses it so.
            if self.scheme == "https" and not hasattr(self, "record"):
                st.log({"event": "tls-refused", "certificate": st.tls.name})
            super().finish()
    return Handler


if __name__ == "__main__":
    sys.exit(station.main(handler_for=handler_for))
