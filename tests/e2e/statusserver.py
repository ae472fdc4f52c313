#!/usr/bin/env python3
"""An HTTP server on 127.0.0.1 that answers every GET with one status and an empty body, as a
broken host does. Each request is logged to stdout as 'GET PATH STATUS'.

    statusserver.py PORT [STATUS]     (default 500)
"""
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PORT = int(sys.argv[1])
STATUS = int(sys.argv[2]) if len(sys.argv) > 2 else 500


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.send_response(STATUS)
        self.send_header("Content-Length", "0")
        self.end_headers()
        print("GET", self.path, STATUS, flush=True)


ThreadingHTTPServer(("127.0.0.1", PORT), Handler).serve_forever()
