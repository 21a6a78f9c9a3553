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
"""
import socket
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

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
