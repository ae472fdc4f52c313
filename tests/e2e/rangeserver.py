#!/usr/bin/env python3
"""A small static file server on 127.0.0.1 with what resuming needs: ETag, Last-Modified,
Range and If-Range. It can also cut transfers short, to act as a broken connection.

    rangeserver.py ROOT PORT [--cut-file PATH] [--tls CERT KEY]

--cut-file: a file holding lines "URL-PATH BYTES [stall]"; the next GET of URL-PATH sends its
headers (the whole length announced) and only BYTES bytes of the body, then closes the
connection (or, with "stall", keeps it open and silent for a minute). Each line is used once
(removed when used). --tls: https with that certificate chain and key (PEM files). Every request is logged to stdout as
'METHOD PATH STATUS BYTES-SENT RANGE'.
"""
import email.utils
import os
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ROOT = sys.argv[1]
PORT = int(sys.argv[2])
CUT_FILE = None
TLS = None
options = sys.argv[3:]
while options:
    if options[0] == "--cut-file" and len(options) > 1:
        CUT_FILE, options = options[1], options[2:]
    elif options[0] == "--tls" and len(options) > 2:
        TLS, options = (options[1], options[2]), options[3:]
    else:
        sys.exit(f"rangeserver.py: unknown option {options[0]}")
lock = threading.Lock()


def take_cut(path):
    if not CUT_FILE or not os.path.exists(CUT_FILE):
        return None
    with lock:
        with open(CUT_FILE) as f:
            lines = [l.split() for l in f if l.strip()]
        for i, fields in enumerate(lines):
            if fields[0] == path:
                del lines[i]
                with open(CUT_FILE, "w") as f:
                    f.writelines(" ".join(l) + "\n" for l in lines)
                return int(fields[1]), len(fields) > 2 and fields[2] == "stall"
    return None


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def log(self, status, sent):
        print(f"{self.command} {self.path} {status} {sent} {self.headers.get('Range', '-')}",
              flush=True)

    def do_GET(self):
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        full = os.path.join(ROOT, path.lstrip("/"))
        if ".." in path.split("/") or not os.path.isfile(full):
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            self.log(404, 0)
            return
        st = os.stat(full)
        size = st.st_size
        etag = f'"{st.st_size:x}-{st.st_mtime_ns:x}"'
        modified = email.utils.formatdate(st.st_mtime, usegmt=True)
        start = 0
        status = 200
        wanted = self.headers.get("Range")
        if_range = self.headers.get("If-Range")
        if wanted and (if_range is None or if_range in (etag, modified)):
            unit, _, spec = wanted.partition("=")
            first, _, _ = spec.partition("-")
            if unit.strip() == "bytes" and first.isdigit() and "," not in spec:
                start = int(first)
                if start >= size:
                    self.send_response(416)
                    self.send_header("Content-Range", f"bytes */{size}")
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    self.log(416, 0)
                    return
                status = 206
        length = size - start
        self.send_response(status)
        self.send_header("Content-Length", str(length))
        self.send_header("ETag", etag)
        self.send_header("Last-Modified", modified)
        self.send_header("Accept-Ranges", "bytes")
        if status == 206:
            self.send_header("Content-Range", f"bytes {start}-{size - 1}/{size}")
        self.end_headers()
        cut = take_cut(path)
        limit = length if cut is None else min(cut[0], length)
        sent = 0
        with open(full, "rb") as f:
            f.seek(start)
            while sent < limit:
                block = f.read(min(1 << 20, limit - sent))
                if not block:
                    break
                try:
                    self.wfile.write(block)
                except (BrokenPipeError, ConnectionResetError):
                    break
                sent += len(block)
        self.log(status, sent)
        if cut is not None:
            if cut[1]:
                self.wfile.flush()
                time.sleep(60)
            self.close_connection = True


ThreadingHTTPServer.allow_reuse_address = True
server = ThreadingHTTPServer(("127.0.0.1", PORT), Handler)
if TLS:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(*TLS)
    # The handshake happens on the connection's own thread, at its first read: a client that
    # refuses the certificate does not hold up the others.
    server.socket = context.wrap_socket(server.socket, server_side=True,
                                        do_handshake_on_connect=False)
server.serve_forever()
