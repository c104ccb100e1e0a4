#!/usr/bin/env python3
"""Loopback key server for the tests: HTTPS on 127.0.0.1 with behaviour chosen per path.

Listeners (ports in STATE/ports.json once ready): trusted (test-CA certificate for 127.0.0.1,
::1 and localhost), untrusted (self-signed), wronghost (test-CA certificate for wrong.example),
silent (accepts TCP, never sends a byte), closed (released at start: connections are refused).
Routes are read per request from STATE/routes/<hex of the request target>.json. Keys, all
optional: status (200), body (UTF-8) or body_hex, location or location_hex, chunked,
chunk_sizes (the body's pieces, the last size repeating), headers_delay_ms (pause before the
status line), reset_after_bytes (then reset the connection), endless (the body again and
again). No route: 404. Each request appends its method and header lines, then a blank line, to
STATE/requests/<hex of the target>.log. The server exits after --lifetime s and on SIGTERM.
"""

import argparse
import json
import os
import signal
import socket
import ssl
import struct
import threading

MAX_WAIT_SECONDS = 120
MAX_ENDLESS_BYTES = 256 * 1024 * 1024
stop = threading.Event()
log_lock = threading.Lock()


def listen(handle=None):
    sock = socket.create_server(("127.0.0.1", 0))

    def accept_loop():  # ends with the process
        while True:
            threading.Thread(target=handle, args=(sock.accept()[0],), daemon=True).start()
    if handle is not None:
        threading.Thread(target=accept_loop, daemon=True).start()
    return sock


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(4096)
        if not chunk or len(data) > 65536:
            return None
        data += chunk
    lines = data.split(b"\r\n\r\n", 1)[0].decode("latin-1").split("\r\n")
    parts = lines[0].split(" ")
    if len(parts) != 3:
        return None
    return {"target": parts[1], "head": "\n".join([parts[0]] + lines[1:])}


def respond(conn, raw, route):
    stop.wait(min(route.get("headers_delay_ms", 0) / 1000.0, MAX_WAIT_SECONDS))
    body = bytes.fromhex(route.get("body_hex", "")) or route.get("body", "").encode("utf-8")
    chunked, limit = bool(route.get("chunked")), int(route.get("reset_after_bytes", -1))
    head = ["HTTP/1.1 %d Answer" % int(route.get("status", 200)), "Connection: close"]
    location = bytes.fromhex(route.get("location_hex", "")).decode() or route.get("location")
    if location:
        head.append("Location: " + location)
    head.append("Transfer-Encoding: chunked" if chunked else "Content-Length: %d" % len(body))
    conn.sendall(("\r\n".join(head) + "\r\n\r\n").encode("latin-1"))
    total = MAX_ENDLESS_BYTES if route.get("endless") else len(body)
    sizes = route.get("chunk_sizes") or [max(1, len(body))]
    sent, count = 0, 0
    while body and sent < total and sent != limit and not stop.is_set():
        piece = body[sent % len(body):][:max(1, int(sizes[min(count, len(sizes) - 1)]))]
        piece = piece[:limit - sent] if limit >= 0 else piece
        conn.sendall(b"%x\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
        sent, count = sent + len(piece), count + 1
    if sent == limit:
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        return raw.close()
    if chunked:
        conn.sendall(b"0\r\n\r\n")
    try:
        conn.unwrap()  # close_notify, so that the client sees a clean end
    except (ssl.SSLError, OSError):
        pass


def serve(state_dir, context):
    def handle(raw):
        conn = raw
        try:
            raw.settimeout(30)
            conn = context.wrap_socket(raw, server_side=True)
            request = read_request(conn)
            if request is None:
                return
            name = request["target"].encode("latin-1").hex()
            with log_lock, open(os.path.join(state_dir, "requests", name + ".log"), "a") as log:
                log.write(request["head"] + "\n\n")
            path = os.path.join(state_dir, "routes", name + ".json")
            try:
                with open(path, "rb") as f:
                    route = json.load(f)
            except FileNotFoundError:
                route = {"status": 404, "body": "no route\n"}
            respond(conn, raw, route)
        except Exception:  # one bad connection must not stop the server
            pass
        finally:
            conn.close()
    return handle


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--state-dir", required=True)
    parser.add_argument("--pki-dir", required=True)
    parser.add_argument("--lifetime", type=float, default=1800.0)
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    for folder in ("routes", "requests"):
        os.makedirs(os.path.join(args.state_dir, folder), exist_ok=True)

    ports, held = {}, []
    for name in ("trusted", "untrusted", "wronghost"):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(args.pki_dir, name + ".pem"),
                                os.path.join(args.pki_dir, name + ".key"))
        ports[name] = listen(serve(args.state_dir, context)).getsockname()[1]
    ports["silent"] = listen(held.append).getsockname()[1]
    closed = listen()
    ports["closed"] = closed.getsockname()[1]
    closed.close()

    tmp = os.path.join(args.state_dir, "ports.json.tmp")
    with open(tmp, "w") as f:
        json.dump(ports, f)
    os.replace(tmp, os.path.join(args.state_dir, "ports.json"))
    stop.wait(args.lifetime)
    os._exit(0)  # connection threads still waiting in a route's delay end with the process


if __name__ == "__main__":
    main()
