#!/usr/bin/env python3
"""Loopback HTTP(S) server for the download tests: prints its port, then serves until killed.

Usage: http_peer.py ROOT [CERT KEY]
  /files/<name>    the file ROOT/<name>
  /status/<code>   that status with a short error page
  /redirect        302 to /files/pkg
  /stall           200 promising 1000 bytes, sends 1, then nothing
  /trickle/<n>     200 with n bytes, one every 0.4 s
  /drip/<n>        200 with n KiB, 1 KiB every 20 ms
  /flaky/<name>    ROOT/<name> with Range ("bytes=S-") and If-Range; its ETag is ROOT/<name>.etag, else
                   "v1"; when ROOT/<name>.cut exists each answer stops after that many body bytes and the
                   connection is closed
  /slow/<name>     as /flaky, the body sent 64 KiB every 40 ms (about 1.6 MB/s)
  /norange/<name>  as /flaky, but always the whole object with 200
  /shifted/<name>  as /flaky, but a 206 answer always starts at byte 0 (and says so)
  /overlong/<name> as /flaky, but a 206 answer is chunked and carries 1000 bytes past the object's end
  /busy/<code>/<k>/<name>  the first k requests of this path answer <code> with Retry-After: 1, then /flaky
"""
import http.server
import os
import ssl
import sys
import threading
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
        elif kind in ("flaky", "slow", "norange", "shifted", "overlong", "busy"):
            try:
                self.resumable(kind, arg)
            except ConnectionError:  # the client gave up on purpose
                self.close_connection = True
        else:
            self.head(404, 0)

    def resumable(self, kind, arg):
        if kind == "busy":
            code, left, arg = arg.split("/", 2)
            with LOCK:
                BUSY[self.path] = BUSY.get(self.path, int(left)) - 1
                busy = BUSY[self.path] >= 0
            if busy:
                self.head(int(code), 0, [("Retry-After", "1")])
                return
        path = os.path.join(ROOT, arg)
        if not os.path.isfile(path):
            self.head(404, 0)
            return
        with open(path, "rb") as f:
            data = f.read()
        etag = '"v1"'
        if os.path.isfile(path + ".etag"):
            with open(path + ".etag") as f:
                etag = f.read().strip()
        cut = None
        if os.path.isfile(path + ".cut"):
            with open(path + ".cut") as f:
                cut = int(f.read())
        wanted = self.headers.get("Range", "")
        start = None
        if wanted.startswith("bytes=") and wanted.endswith("-") and kind != "norange":
            if self.headers.get("If-Range", etag) == etag:
                start = int(wanted[6:-1])
        tags = [("ETag", etag), ("Accept-Ranges", "bytes")]
        if start is not None and start >= len(data):
            self.head(416, 0, tags + [("Content-Range", "bytes */%d" % len(data))])
            return
        if start is None:
            code, body, length = 200, data, len(data)
        else:
            first = 0 if kind == "shifted" else start
            code, body = 206, data[first:]
            length = len(body)
            tags.append(("Content-Range", "bytes %d-%d/%d" % (first, len(data) - 1, len(data))))
        if code == 206 and kind == "overlong":
            self.send_response(206)
            for name, value in tags + [("Transfer-Encoding", "chunked")]:
                self.send_header(name, value)
            self.end_headers()
            for piece in (body, b"x" * 1000):
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\n\r\n")
            return
        self.head(code, length, tags)
        if cut is not None and cut < len(body):
            self.wfile.write(body[:cut])
            self.wfile.flush()
            self.close_connection = True
            return
        step = 65536 if kind == "slow" else len(body)
        for at in range(0, len(body), max(step, 1)):
            self.wfile.write(body[at:at + step])
            if kind == "slow":
                self.wfile.flush()
                time.sleep(0.04)


ROOT = sys.argv[1]
LOCK = threading.Lock()
BUSY = {}
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
if len(sys.argv) > 3:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[2], sys.argv[3])
    server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
