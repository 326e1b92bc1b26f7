#!/usr/bin/env python3
"""A scripted HTTP server for what nginx will not do: bodies without end and
bodies that trickle.

    hostile_server.py --root TREE --port-file FILE --log FILE [--rule PATH=KIND]...

Serves the files under TREE on a free 127.0.0.1 port (written to FILE once it
listens) with a Content-Length, answers HEAD, and 404 for anything else,
every response ending its connection. A GET of a path with a rule is
answered 200 and then, by KIND (a HEAD of it as of the plain file):

    endless     no Content-Length, 64 KiB blocks of the file's bytes (or of
                spaces) repeated until the client goes away
    trickle     no Content-Length, the file's bytes (or spaces), one byte
                every 3 s, until the client goes away
    huge        "Content-Length: 2147483647", then as endless
    stutter     no Content-Length, the file's bytes but its last 1 KiB at once
                (256 KiB of spaces without a file), then as trickle
    denied      401 asking for Negotiate, with a page of 64 KiB declared and
                then trickled as trickle sends
    tampered    the file's Content-Length and an entity tag with a CR inside
                ("a<CR>b"), then the first half of its bytes, then the end of
                the connection

Every request is appended to the log when it arrives ("TIME GET /path") and
again when its response ends ("TIME GET /path sent=BYTES"), TIME in seconds
since the epoch, so that the driver can see when and how far a client went. A body without end is still bounded here
(1 GiB, 10 minutes), so that a client that never stops reading cannot keep
this server busy for ever.
"""
import argparse
import http.server
import os
import select
import socket
import socketserver
import sys
import threading
import time
import urllib.parse

BLOCK = 64 * 1024
ENDLESS_LIMIT_BYTES = 1 << 30
RULE_LIMIT_SECONDS = 600
TRICKLE_INTERVAL = 3.0


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "hostile/1"

    def log_message(self, fmt, *args):
        pass

    def note(self, text):
        with self.server.log_lock, open(self.server.log_path, "a") as f:
            f.write("%.3f %s\n" % (time.time(), text))

    def file_bytes(self, path):
        local = os.path.normpath(os.path.join(self.server.root, path.lstrip("/")))
        if not local.startswith(self.server.root + os.sep) or not os.path.isfile(local):
            return None
        with open(local, "rb") as f:
            return f.read()

    def do_HEAD(self):
        self.answer(head=True)

    def do_GET(self):
        self.answer(head=False)

    def answer(self, head):
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        path = "/" + "/".join(p for p in path.split("/") if p)
        self.note("%s %s" % (self.command, path))
        kind = self.server.rules.get(path)
        data = self.file_bytes(path)
        self.sent = 0
        try:
            # A HEAD is answered as the file would be served whole: a body
            # that then runs on is the GET's alone.
            if kind is None or (head and data is not None):
                if data is None:
                    body = b"not found\n"
                    self.send_response(404)
                else:
                    body = data
                    self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Connection", "close")
                self.end_headers()
                if not head:
                    self.wfile.write(body)
                    self.sent = len(body)
            elif kind == "tampered":
                data = data or b" "
                self.send_response(200)
                self.send_header("Content-Length", str(len(data)))
                self.send_header("ETag", '"a\rb"')
                self.send_header("Connection", "close")
                self.end_headers()
                if not head:
                    self.wfile.write(data[:len(data) // 2])
                    self.sent = len(data) // 2
            elif kind == "denied":
                self.send_response(401)
                self.send_header("WWW-Authenticate", "Negotiate")
                self.send_header("Content-Length", str(64 * 1024))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.flush()
                if not head:
                    self.unending("trickle", b" ")
            else:
                self.send_response(200)
                if kind == "huge":
                    self.send_header("Content-Length", "2147483647")
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.flush()
                if not head:
                    self.unending(kind, data or b" ")
        except (BrokenPipeError, ConnectionResetError, ConnectionAbortedError, TimeoutError):
            pass  # the client went away
        self.close_connection = True
        self.note("%s %s sent=%d" % (self.command, path, self.sent))

    def unending(self, kind, data):
        """Sends the body of an endless or trickling response, counting what
        went out in self.sent, until the client goes away or the limits."""
        started = time.monotonic()
        if kind == "stutter":
            if len(data) <= 1024:
                data = b" " * (256 * 1024 + 1024)
            self.wfile.write(data[:-1024])
            self.wfile.flush()
            self.sent = len(data) - 1024
            kind = "trickle"
        if kind == "trickle":
            while time.monotonic() - started < RULE_LIMIT_SECONDS:
                at = self.sent % len(data)
                self.wfile.write(data[at:at + 1])
                self.wfile.flush()
                self.sent += 1
                # The client going away shows as a readable socket at EOF.
                if closed_by_peer(self.connection, TRICKLE_INTERVAL):
                    return
            return
        block = (data * (BLOCK // len(data) + 1))[:BLOCK]
        while self.sent < ENDLESS_LIMIT_BYTES and time.monotonic() - started < RULE_LIMIT_SECONDS:
            self.wfile.write(block)
            self.sent += len(block)


def closed_by_peer(sock, timeout):
    """Waits up to `timeout` s; True once the peer has closed its side."""
    readable, _, _ = select.select([sock], [], [], timeout)
    if not readable:
        return False
    try:
        return sock.recv(1, socket.MSG_PEEK) == b""
    except OSError:
        return True


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--rule", action="append", default=[], help="PATH=endless|trickle|huge|stutter|tampered|denied")
    args = parser.parse_args()
    rules = {}
    for rule in args.rule:
        path, _, kind = rule.partition("=")
        if kind not in ("endless", "trickle", "huge", "stutter", "tampered", "denied"):
            parser.error("unknown rule kind in " + rule)
        rules["/" + "/".join(p for p in path.split("/") if p)] = kind
    server = Server(("127.0.0.1", 0), Handler)
    server.root = os.path.abspath(args.root)
    server.rules = rules
    server.log_path = args.log
    server.log_lock = threading.Lock()
    open(args.log, "a").close()
    temporary = args.port_file + ".new"
    with open(temporary, "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(temporary, args.port_file)
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main())
