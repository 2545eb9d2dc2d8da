#!/usr/bin/env python3
"""Loopback HTTP(S) server for the download tests: prints its port, then serves until killed.

Usage: http_peer.py ROOT [CERT KEY]
  /files/<name>    the file ROOT/<name>
  /status/<code>   that status with a short error page
  /redirect        302 to /files/pkg
  /stall           200 promising 1000 bytes, sends 1, then nothing
  /trickle/<n>     200 with n bytes, one every 0.4 s
  /drip/<n>        200 with n KiB, 1 KiB every 20 ms
"""
import http.server
import os
import ssl
import sys
import time


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def head(self, code, length, extra=()):
        self.send_response(code)
        self.send_header("Content-Length", str(length))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()

    def do_GET(self):
        parts = self.path.strip("/").split("/", 1)
        kind, arg = parts[0], parts[1] if len(parts) > 1 else ""
        if kind == "files" and os.path.isfile(os.path.join(ROOT, arg)):
            path = os.path.join(ROOT, arg)
            self.head(200, os.path.getsize(path))
            with open(path, "rb") as f:
                while True:
                    chunk = f.read(1 << 20)
                    if not chunk:
                        break
                    self.wfile.write(chunk)
        elif kind == "status":
            body = b"error page %s\n" % arg.encode()
            self.head(int(arg), len(body))
            self.wfile.write(body)
        elif kind == "redirect":
            body = b"moved\n"
            self.head(302, len(body), [("Location", "/files/pkg")])
            self.wfile.write(body)
        elif kind == "stall":
            self.head(200, 1000)
            self.wfile.write(b"0")
            self.wfile.flush()
            time.sleep(3600)
        elif kind == "trickle":
            self.head(200, int(arg))
            for _ in range(int(arg)):
                self.wfile.write(b"t")
                self.wfile.flush()
                time.sleep(0.4)
        elif kind == "drip":
            self.head(200, int(arg) * 1024)
            for _ in range(int(arg)):
                self.wfile.write(b"d" * 1024)
                self.wfile.flush()
                time.sleep(0.02)
        else:
            self.head(404, 0)


ROOT = sys.argv[1]
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
if len(sys.argv) > 3:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[2], sys.argv[3])
    server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
