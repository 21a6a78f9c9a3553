#!/usr/bin/env python3
"""Loopback HTTP server for the url! tests.

Listens on 127.0.0.1 on a free port and writes "PORT CLOSED" to the file
named by its argument: the port it serves and a port that nothing listens
on. Ends by itself after a bounded time.

Paths:
  /echo      answers the request: the method, then each header as
             "Name: value", a blank line and the body, all as text
  /status    body "body" with a header sent twice, a date (colons in the
             value) and a value with blanks before it
  /redirect  302 to /final, with a header of its own
  /final     body "final" with X-Final
  /count     body: how many times /count was asked for, from 1
  /script    a Kez script, as text
  /png       a 1x1 PNG image with its MIME type
  /odd-names headers named 1, 1e5 and %a (tokens that load as no word)
  /fold      a header continued on an indented line
  /trickle   a 1000-byte body sent 4 bytes a second (for at most 30 s)
"""
import socket
import struct
import sys
import zlib
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def png_1x1():
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    header = struct.pack(">IIBBBBB", 1, 1, 8, 6, 0, 0, 0)
    pixels = zlib.compress(b"\x00\xff\x00\x00\xff")
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", pixels) + chunk(b"IEND", b"")


PNG_1X1 = png_1x1()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    count = 0

    def log_message(self, *args):
        pass

    def send(self, code, body, headers=()):
        self.send_response(code)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def answer(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        if self.path == "/echo":
            lines = [self.command] + ["%s: %s" % (k, v) for k, v in self.headers.items()]
            self.send(200, ("\n".join(lines) + "\n\n").encode() + body,
                      [("Content-Type", "text/plain")])
        elif self.path == "/status":
            self.send(200, b"body", [("X-Twice", "one"), ("X-Twice", "two"),
                                     ("X-Date", "Thu, 10 Dec 2026 01:02:03 GMT"),
                                     ("X-Spaced", "   spaced value")])
        elif self.path == "/redirect":
            self.send(302, b"moved", [("Location", "/final"), ("X-Redirect", "yes")])
        elif self.path == "/final":
            self.send(200, b"final", [("X-Final", "yes")])
        elif self.path == "/bytes":
            self.send(200, b"\xff\x00\xfe", [])
        elif self.path == "/count":
            Handler.count += 1
            self.send(200, str(Handler.count).encode(), [("Content-Type", "text/plain")])
        elif self.path == "/script":
            self.send(200, b'Kez [Title: "remote"] 6 * 7', [("Content-Type", "text/plain")])
        elif self.path == "/png":
            self.send(200, PNG_1X1, [("Content-Type", "image/png")])
        elif self.path in ("/odd-names", "/fold"):
            # Written raw: these lines are what a peer may send, not what
            # the library would make.
            head = (b"1: one\r\n1e5: two\r\n%a: three\r\nX-Word: four\r\n" if self.path == "/odd-names"
                    else b"X-Fold: first\r\n  second\r\n\tthird\r\nX-After: after\r\n")
            self.wfile.write(b"HTTP/1.1 200 OK\r\n" + head + b"Content-Length: 2\r\n\r\nok")
        elif self.path == "/trickle":
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.flush()
            try:
                for _ in range(120):
                    self.wfile.write(b"x")
                    self.wfile.flush()
                    time.sleep(0.25)
            except OSError:
                pass
            self.close_connection = True
        elif self.path == "/lines":
            self.send(200, "one\r\ntwo\nthr\u00e9e".encode(), [])
        else:
            self.send(404, b"not found", [])

    do_GET = do_HEAD = do_POST = do_PUT = do_DELETE = do_PATCH = answer


def main():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    closed = probe.getsockname()[1]
    probe.close()
    with open(sys.argv[1] + ".tmp", "w") as f:
        f.write("%d %d\n" % (server.server_address[1], closed))
    import os
    os.rename(sys.argv[1] + ".tmp", sys.argv[1])
    threading.Timer(300, server.shutdown).start()
    server.serve_forever()


if __name__ == "__main__":
    main()
