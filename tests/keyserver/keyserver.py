#!/usr/bin/env python3
"""Loopback key server for the tests: HTTPS on 127.0.0.1 with behaviour chosen per path.

Listeners (ephemeral ports, written to STATE/ports.json once ready):
  trusted    TLS, certificate of the test CA for 127.0.0.1/::1/localhost
  untrusted  TLS, certificate for 127.0.0.1 from a CA nobody trusts
  wronghost  TLS, certificate of the test CA for wrong.example only
  silent     plain TCP: accepts and never sends a byte (a TLS client hangs in its handshake)
  closed     a port that was bound and released at start: connection attempts are refused

Routes are read at request time from STATE/routes/<hex of the request target>.json, so tests
add routes while the server runs. Keys (all optional):
  status              int, default 200
  body                text (UTF-8)  | body_hex: bytes as hex
  location            a Location header
  content_length      true (default): the body's length; false: none, the close ends the body
  chunked             true: Transfer-Encoding: chunked, one HTTP chunk per piece
  chunk_sizes         [n1, n2, ...]: the body in pieces of these sizes, the last one repeating
  headers_delay_ms    pause before the status line
  silent_seconds      read the request, then say nothing for this long and close
  close_after_bytes   send this many body bytes, then close cleanly
  reset_after_bytes   send this many body bytes, then reset the connection
  endless             after the body, its last piece again until the client goes away
A path without a route gets 404. Every request appends a JSON line to STATE/requests.log:
{"listener", "method", "target", "user_agent", "headers": [[name, value], ...]}. The server exits after
--lifetime seconds and on SIGTERM.
"""

import argparse
import json
import os
import signal
import socket
import ssl
import struct
import threading
import time

HOST = "127.0.0.1"
MAX_WAIT_SECONDS = 120
MAX_ENDLESS_BYTES = 256 * 1024 * 1024
stop = threading.Event()
log_lock = threading.Lock()


def listen():
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((HOST, 0))
    sock.listen(64)
    sock.settimeout(0.5)
    return sock


def accept_loop(sock, handle):
    while not stop.is_set():
        try:
            conn, _ = sock.accept()
        except socket.timeout:
            continue
        except OSError:
            return
        threading.Thread(target=handle, args=(conn,), daemon=True).start()


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
    headers = [[k, v.strip()] for k, _, v in (line.partition(":") for line in lines[1:])]
    agent = next((v for k, v in headers if k.lower() == "user-agent"), "")
    return {"method": parts[0], "target": parts[1], "user_agent": agent, "headers": headers}


def pieces(body, route):
    sizes = route.get("chunk_sizes") or [max(1, len(body))]
    out, offset = [], 0
    while offset < len(body):
        size = max(1, int(sizes[min(len(out), len(sizes) - 1)]))
        out.append(body[offset:offset + size])
        offset += size
    yield from out
    sent = len(body)
    while route.get("endless") and out and sent < MAX_ENDLESS_BYTES and not stop.is_set():
        yield out[-1]
        sent += len(out[-1])


def respond(conn, raw, route):
    stop.wait(min(route.get("headers_delay_ms", 0) / 1000.0, MAX_WAIT_SECONDS))
    if route.get("silent_seconds"):
        stop.wait(min(float(route["silent_seconds"]), MAX_WAIT_SECONDS))
        return
    body = bytes.fromhex(route["body_hex"]) if "body_hex" in route else \
        route.get("body", "").encode("utf-8")
    chunked = bool(route.get("chunked"))
    head = ["HTTP/1.1 %d Answer" % int(route.get("status", 200)), "Connection: close",
            "Content-Type: application/json"]
    if route.get("location"):
        head.append("Location: " + route["location"])
    if chunked:
        head.append("Transfer-Encoding: chunked")
    elif route.get("content_length", True):
        head.append("Content-Length: %d" % len(body))
    conn.sendall(("\r\n".join(head) + "\r\n\r\n").encode("latin-1"))
    reset = route.get("reset_after_bytes") is not None
    limit = route.get("reset_after_bytes", route.get("close_after_bytes"))
    sent = 0
    for piece in pieces(body, route):
        if limit is not None:
            piece = piece[:max(0, int(limit) - sent)]
        if piece:
            conn.sendall((b"%x\r\n" % len(piece) + piece + b"\r\n") if chunked else piece)
            sent += len(piece)
        if limit is not None and sent >= int(limit):
            break
    if reset:
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        raw.close()
        return
    if chunked and limit is None:
        conn.sendall(b"0\r\n\r\n")
    try:
        conn.unwrap()  # close_notify, so that a close-delimited body ends cleanly
    except (ssl.SSLError, OSError):
        pass


def serve(state_dir, name, context):
    def handle(raw):
        conn = raw
        try:
            raw.settimeout(30)
            conn = context.wrap_socket(raw, server_side=True)
            request = read_request(conn)
            if request is None:
                return
            request["listener"] = name
            with log_lock, open(os.path.join(state_dir, "requests.log"), "a") as log:
                log.write(json.dumps(request) + "\n")
            path = os.path.join(state_dir, "routes",
                                request["target"].encode("latin-1").hex() + ".json")
            try:
                with open(path, "rb") as f:
                    route = json.loads(f.read().decode("utf-8"))
            except FileNotFoundError:
                route = {"status": 404, "body": "no route\n"}
            respond(conn, raw, route)
        except Exception:  # one bad connection must not stop the server
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass
    return handle


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--state-dir", required=True)
    parser.add_argument("--pki-dir", required=True)
    parser.add_argument("--lifetime", type=float, default=1800.0)
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    os.makedirs(os.path.join(args.state_dir, "routes"), exist_ok=True)

    ports, held = {}, []
    for name, cert in (("trusted", "server"), ("untrusted", "untrusted"),
                       ("wronghost", "wronghost")):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(args.pki_dir, cert + ".pem"),
                                os.path.join(args.pki_dir, cert + ".key"))
        sock = listen()
        ports[name] = sock.getsockname()[1]
        threading.Thread(target=accept_loop, args=(sock, serve(args.state_dir, name, context)),
                         daemon=True).start()
    silent = listen()
    ports["silent"] = silent.getsockname()[1]
    threading.Thread(target=accept_loop, args=(silent, held.append), daemon=True).start()
    closed = listen()
    ports["closed"] = closed.getsockname()[1]
    closed.close()

    tmp = os.path.join(args.state_dir, "ports.json.tmp")
    with open(tmp, "w") as f:
        json.dump(ports, f)
    os.replace(tmp, os.path.join(args.state_dir, "ports.json"))
    stop.wait(args.lifetime)
    stop.set()
    os._exit(0)  # connection threads still waiting in a route's delay end with the process


if __name__ == "__main__":
    main()
