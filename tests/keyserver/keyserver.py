#!/usr/bin/env python3
"""Loopback key server for the tests: HTTPS on 127.0.0.1 with behaviour chosen per path.

Listeners (all on 127.0.0.1, ephemeral ports, written to STATE/ports.json once ready):
  trusted    TLS, certificate of the test CA for 127.0.0.1/::1/localhost
  untrusted  TLS, certificate for 127.0.0.1 from a CA nobody trusts
  wronghost  TLS, certificate of the test CA for wrong.example only
  plain      plain HTTP, same routes (handy for looking at a route by hand)
  silent     plain TCP: accepts and never sends a byte (a TLS client hangs in its handshake)
  blackhole  a listening socket whose accept queue is kept full: connection attempts get no
             answer at all (ports.json says whether that was verified)
  closed     a port that was bound and released at start: connection attempts are refused

Routes are looked up at request time in STATE/routes/<hex of the path>.json (the request
target's bytes, query included, as lower-case hex), so tests can add routes while the server
runs. Keys of a route file (all optional):
  status            int, default 200
  reason            reason phrase, default from the status
  body              text (UTF-8)              | body_base64: bytes in base64
  body_repeat       {"text": "a", "count": N}: the text repeated N times (replaces body)
  content_type      default "application/json"
  headers           [[name, value], ...] added after the standard ones
  location          sets a Location header
  content_length    true (default): Content-Length of the body; false: none (the body then
                    ends when the connection closes); a number: that value, true or not
  chunked           true: Transfer-Encoding: chunked, one HTTP chunk per piece
  chunk_sizes       [n1, n2, ...]: the body is sent in pieces of these sizes, the last size
                    repeating; each piece is a separate write (a separate TLS record)
  delay_ms          pause before every piece after the first
  headers_delay_ms  pause before the status line
  silent_seconds    read the request, then send nothing for this many seconds and close
  close_after_bytes send only this many body bytes, then close the connection cleanly
  reset_after_bytes send only this many body bytes, then reset the connection (RST)
  listener          answer only on this listener; elsewhere the path has no route
  http_version      the status line's version, default "HTTP/1.1" (e.g. "HTTP/1.0")
  endless           true: after the body, send its last piece again and again until the
                    client goes away, the server stops or 256 MiB have gone out
A path without a route gets 404 with the body "no route\n".

Every request appends one JSON line to STATE/requests.log:
  {"time", "listener", "method", "target", "path", "version", "user_agent", "headers"}
where headers is a list of [name, value] pairs in the order received; the request head is
decoded as Latin-1, one character per byte.

The server exits by itself after --lifetime seconds and on SIGTERM or SIGINT.

Helper mode: keyserver.py --put-route PATH --state-dir STATE reads a route's JSON from
standard input and stores it under the right file name.
"""

import argparse
import base64
import http
import json
import os
import signal
import socket
import ssl
import struct
import sys
import threading
import time

HOST = "127.0.0.1"
MAX_HEAD_BYTES = 65536
IO_TIMEOUT_SECONDS = 30
MAX_SILENT_SECONDS = 120
MAX_HELD_SILENT = 200
MAX_ENDLESS_BYTES = 256 * 1024 * 1024

stop_event = threading.Event()
log_lock = threading.Lock()


def route_file_name(target_bytes):
    return target_bytes.hex() + ".json"


def atomic_write(path, data):
    tmp = "%s.tmp.%d.%d" % (path, os.getpid(), threading.get_ident())
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def note(message):
    sys.stderr.write("%.3f %s\n" % (time.time(), message))
    sys.stderr.flush()


def bounded_sleep(seconds):
    """Sleeps, but returns early when the server stops."""
    stop_event.wait(max(0.0, min(seconds, MAX_SILENT_SECONDS)))


class Server:
    def __init__(self, state_dir, pki_dir):
        self.state_dir = state_dir
        self.pki_dir = pki_dir
        self.routes_dir = os.path.join(state_dir, "routes")
        self.log_path = os.path.join(state_dir, "requests.log")
        self.listeners = {}
        self.held = []  # sockets of the silent listener and the blackhole fillers
        self.held_lock = threading.Lock()
        self.blackhole_verified = False

    # --- set-up ---------------------------------------------------------------------------

    def tls_context(self, name):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(self.pki_dir, name + ".pem"),
                                os.path.join(self.pki_dir, name + ".key"))
        return context

    def listen(self, backlog=64):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((HOST, 0))
        sock.listen(backlog)
        return sock

    def start(self):
        os.makedirs(self.routes_dir, exist_ok=True)
        for name, cert in (("trusted", "server"), ("untrusted", "untrusted"),
                           ("wronghost", "wronghost"), ("plain", None)):
            sock = self.listen()
            context = self.tls_context(cert) if cert else None
            self.listeners[name] = sock
            threading.Thread(target=self.accept_loop,
                             args=(sock, self.serve_in_thread(name, context)),
                             daemon=True).start()
        silent = self.listen()
        self.listeners["silent"] = silent
        threading.Thread(target=self.accept_loop, args=(silent, self.hold_silently),
                         daemon=True).start()
        self.listeners["blackhole"] = self.make_blackhole()

        # A port that was bound and released again: connection attempts are refused.
        closed = self.listen()
        closed_port = closed.getsockname()[1]
        closed.close()

        ports = {name: sock.getsockname()[1] for name, sock in self.listeners.items()}
        ports["closed"] = closed_port
        ports["blackhole_verified"] = self.blackhole_verified
        ports["pid"] = os.getpid()
        ports["host"] = HOST
        atomic_write(os.path.join(self.state_dir, "ports.json"),
                     (json.dumps(ports, indent=1) + "\n").encode())
        note("listening: %s" % json.dumps(ports))

    def make_blackhole(self):
        """A listener with a backlog of 0 that never accepts. Once one connection waits in
        its queue, the kernel drops further SYNs, so a client's connect never completes."""
        sock = self.listen(backlog=0)
        address = sock.getsockname()
        for _ in range(8):
            filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            filler.setblocking(False)
            try:
                filler.connect(address)
                completed = True
            except BlockingIOError:
                completed = self.wait_connected(filler, 0.5)
            except OSError:
                completed = False
            with self.held_lock:
                self.held.append(filler)
            if not completed:
                self.blackhole_verified = True
                break
        return sock

    @staticmethod
    def wait_connected(sock, seconds):
        import select
        _, writable, _ = select.select([], [sock], [], seconds)
        if not writable:
            return False
        return sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0

    # --- connections ----------------------------------------------------------------------

    def accept_loop(self, sock, handle):
        """Hands every connection the listener accepts to handle(conn) until the server stops."""
        sock.settimeout(0.5)
        while not stop_event.is_set():
            try:
                conn, _ = sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            handle(conn)

    def serve_in_thread(self, name, context):
        """A connection handler for accept_loop: each connection is served on its own thread."""
        def handle(conn):
            threading.Thread(target=self.serve_connection, args=(name, conn, context),
                             daemon=True).start()
        return handle

    def hold_silently(self, conn):
        """The silent listener's handler: keeps the connection open without a word, for at
        most MAX_SILENT_SECONDS and MAX_HELD_SILENT connections at a time."""
        with self.held_lock:
            self.held.append(conn)
            while len(self.held) > MAX_HELD_SILENT:
                self.held.pop(0).close()
        timer = threading.Timer(MAX_SILENT_SECONDS, conn.close)
        timer.daemon = True
        timer.start()

    def serve_connection(self, name, raw, context):
        conn = raw
        try:
            raw.settimeout(IO_TIMEOUT_SECONDS)
            if context is not None:
                try:
                    conn = context.wrap_socket(raw, server_side=True)
                except (ssl.SSLError, OSError) as e:
                    note("%s: TLS handshake failed: %s" % (name, e))
                    return
            request = self.read_request(conn)
            if request is None:
                return
            request["listener"] = name
            self.log_request(request)
            route = self.find_route(request["target"], name)
            self.respond(conn, raw, route)
        except Exception as e:  # one bad connection must not stop the server
            note("%s: connection error: %r" % (name, e))
        finally:
            try:
                conn.close()
            except OSError:
                pass

    @staticmethod
    def read_request(conn):
        data = b""
        while b"\r\n\r\n" not in data:
            if len(data) > MAX_HEAD_BYTES:
                return None
            chunk = conn.recv(4096)
            if not chunk:
                return None
            data += chunk
        head = data.split(b"\r\n\r\n", 1)[0].decode("latin-1")
        lines = head.split("\r\n")
        parts = lines[0].split(" ")
        if len(parts) != 3:
            return None
        method, target, version = parts
        headers = []
        user_agent = None
        for line in lines[1:]:
            key, _, value = line.partition(":")
            value = value.strip()
            headers.append([key, value])
            if key.lower() == "user-agent" and user_agent is None:
                user_agent = value
        return {"time": time.time(), "method": method, "target": target,
                "path": target.split("?", 1)[0], "version": version,
                "user_agent": user_agent, "headers": headers}

    def log_request(self, request):
        line = json.dumps(request, ensure_ascii=True) + "\n"
        with log_lock:
            with open(self.log_path, "a", encoding="ascii") as f:
                f.write(line)
                f.flush()

    def find_route(self, target, listener):
        # The head was decoded as Latin-1, so this gives back the target's bytes as sent.
        path = os.path.join(self.routes_dir, route_file_name(target.encode("latin-1")))
        try:
            with open(path, "rb") as f:
                route = json.loads(f.read().decode("utf-8"))
        except FileNotFoundError:
            return None
        except (OSError, ValueError) as e:
            note("bad route file %s: %s" % (path, e))
            return {"status": 500, "body": "bad route file\n", "content_type": "text/plain"}
        if route.get("listener") not in (None, listener):
            return None
        return route

    # --- responses ------------------------------------------------------------------------

    @staticmethod
    def route_body(route):
        if "body_repeat" in route:
            repeat = route["body_repeat"]
            return repeat.get("text", "a").encode("utf-8") * int(repeat["count"])
        if "body_base64" in route:
            return base64.b64decode(route["body_base64"])
        return route.get("body", "").encode("utf-8")

    @staticmethod
    def pieces(body, sizes):
        if not sizes:
            return [body] if body else []
        out = []
        offset = 0
        index = 0
        while offset < len(body):
            size = max(1, int(sizes[min(index, len(sizes) - 1)]))
            out.append(body[offset:offset + size])
            offset += size
            index += 1
        return out

    @classmethod
    def body_pieces(cls, body, route):
        pieces = cls.pieces(body, route.get("chunk_sizes"))
        yield from pieces
        if not route.get("endless") or not pieces:
            return
        # Endless: the last piece again until the client stops reading, bounded in bytes.
        sent = len(body)
        while sent < MAX_ENDLESS_BYTES and not stop_event.is_set():
            yield pieces[-1]
            sent += len(pieces[-1])

    def respond(self, conn, raw, route):
        if route is None:
            route = {"status": 404, "body": "no route\n", "content_type": "text/plain"}
        if route.get("headers_delay_ms"):
            bounded_sleep(route["headers_delay_ms"] / 1000.0)
        if route.get("silent_seconds"):
            bounded_sleep(float(route["silent_seconds"]))
            return

        status = int(route.get("status", 200))
        try:
            default_reason = http.HTTPStatus(status).phrase
        except ValueError:
            default_reason = "Unknown"
        reason = route.get("reason", default_reason)
        body = self.route_body(route)
        chunked = bool(route.get("chunked", False))

        version = str(route.get("http_version", "HTTP/1.1"))
        head = ["%s %d %s" % (version, status, reason), "Connection: close",
                "Content-Type: %s" % route.get("content_type", "application/json")]
        if route.get("location") is not None:
            head.append("Location: %s" % route["location"])
        if chunked:
            head.append("Transfer-Encoding: chunked")
        else:
            length = route.get("content_length", True)
            if length is True:
                head.append("Content-Length: %d" % len(body))
            elif length is not False:
                head.append("Content-Length: %d" % int(length))
        for name, value in route.get("headers", []):
            head.append("%s: %s" % (name, value))
        conn.sendall(("\r\n".join(head) + "\r\n\r\n").encode("latin-1"))

        limit = None
        reset = False
        if route.get("close_after_bytes") is not None:
            limit = int(route["close_after_bytes"])
        if route.get("reset_after_bytes") is not None:
            limit = int(route["reset_after_bytes"])
            reset = True

        sent = 0
        for index, piece in enumerate(self.body_pieces(body, route)):
            if index > 0 and route.get("delay_ms"):
                bounded_sleep(route["delay_ms"] / 1000.0)
                if stop_event.is_set():
                    return
            if limit is not None and sent + len(piece) > limit:
                piece = piece[:max(0, limit - sent)]
            if piece:
                data = (b"%x\r\n" % len(piece) + piece + b"\r\n") if chunked else piece
                conn.sendall(data)
                sent += len(piece)
            if limit is not None and sent >= limit:
                break

        if reset:
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            raw.close()
            return
        if limit is None and chunked:
            conn.sendall(b"0\r\n\r\n")
        if isinstance(conn, ssl.SSLSocket):
            try:
                conn.unwrap()  # close_notify, so that a close-delimited body ends cleanly
            except (ssl.SSLError, OSError):
                pass

    def shutdown(self):
        for sock in self.listeners.values():
            try:
                sock.close()
            except OSError:
                pass
        with self.held_lock:
            for sock in self.held:
                try:
                    sock.close()
                except OSError:
                    pass


def put_route(state_dir, target):
    route = json.loads(sys.stdin.read())
    routes = os.path.join(state_dir, "routes")
    os.makedirs(routes, exist_ok=True)
    path = os.path.join(routes, route_file_name(target.encode("utf-8", "surrogateescape")))
    atomic_write(path, json.dumps(route).encode("utf-8"))
    print(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--state-dir", required=True)
    parser.add_argument("--pki-dir", help="default: STATE/pki")
    parser.add_argument("--lifetime", type=float, default=1800.0,
                        help="seconds until the server exits by itself (default 1800)")
    parser.add_argument("--put-route", metavar="PATH",
                        help="store the route JSON read from standard input for PATH, then exit")
    args = parser.parse_args()

    if args.put_route is not None:
        put_route(args.state_dir, args.put_route)
        return 0

    pki_dir = args.pki_dir or os.path.join(args.state_dir, "pki")
    signal.signal(signal.SIGTERM, lambda *_: stop_event.set())
    signal.signal(signal.SIGINT, lambda *_: stop_event.set())

    server = Server(args.state_dir, pki_dir)
    server.start()
    deadline = time.monotonic() + args.lifetime
    while not stop_event.is_set():
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            note("lifetime over")
            break
        stop_event.wait(min(remaining, 1.0))
    stop_event.set()
    server.shutdown()
    note("stopped")
    return 0


if __name__ == "__main__":
    code = main()
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(code)  # connection threads still sleeping in a route's delay end with the process
