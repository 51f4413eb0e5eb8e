#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
#
# A web server on 127.0.0.1 that serves one file as /data.kob, and
# FILE.kbi as /data.kob.kbi where there is one (anything else is 404), and
# misbehaves as MODE says, for the tests of kob's reading of URLs. It
# counts the requests for the file in COUNT_FILE and, in modes whole and
# wrong-range, the bytes it managed to send; COUNT_FILE.times gets a line for each request
# answered: "PATH START END" (seconds).
#
#   usage: fault_server.py PORT FILE MODE COUNT_FILE
#
# Modes:
#   good         ranges answered as a server should (206)
#   reset-once   the first request's body is cut by a connection reset
#   reset        every body is cut by a connection reset
#   short        every body ends early, the connection closed cleanly
#   busy-once    the first request gets 503, the others 206
#   busy         every request gets 503
#   whole        Range ignored: 200 and the whole file, sent slowly
#   stall        headers, then nothing for a minute
#   forbidden    403 for everything
#   replaced     from the second request on, FILE.v2 is served in its
#                place, whatever the request's conditions say
#   trickle      ranges answered, each body sent at 4 bytes a second
#   slow         every answer, the index's too, waits 0.3 s before it
#                starts (a distant server: round trips show)
#   unauthorized 401 for everything
#   redirect-file  302 to a file:// URL
#   redirect-loop  302 to itself, for ever
#   short-range  ranges from 0 answered as a server should; any other with
#                fewer bytes than asked, said so honestly in its headers
#   wrong-range  ranges from 0 answered as a server should; any other
#                answered 206 with the whole file from its start (said
#                so in Content-Range), sent slowly, its bytes counted
#   whole-cut    Range ignored: the first body cut off half way (after
#                0.5 s), the connection closed; from then on FILE.v2 whole in its
#                place, whatever the request's conditions say

import http.server
import os
import socket
import socketserver
import struct
import sys
import threading
import time
import zlib

port = int(sys.argv[1])
path = sys.argv[2]
mode = sys.argv[3]
count_file = sys.argv[4]
lock = threading.Lock()
state = {"requests": 0, "sent": 0}


def record(sent=None):
    with lock:
        if sent is None:
            state["requests"] += 1
        else:
            state["sent"] += sent
        with open(count_file + ".tmp", "w") as out:
            out.write("%d\n%d\n" % (state["requests"], state["sent"]))
        os.replace(count_file + ".tmp", count_file)
        return state["requests"]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send_slowly(self, body, pause):
        """Sends `body` in pieces of 16 KiB, `pause` seconds apart, each
        counted as sent; a reader that hangs up ends it."""
        try:
            for at in range(0, len(body), 16384):
                self.wfile.write(body[at:at + 16384])
                self.wfile.flush()
                record(len(body[at:at + 16384]))
                time.sleep(pause)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    def reset(self):
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                   struct.pack("ii", 1, 0))
        self.connection.close()
        self.close_connection = True

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        start = time.time()
        try:
            self.answer()
        finally:
            with lock:
                with open(count_file + ".times", "a") as out:
                    out.write("%s %.6f %.6f\n" % (self.path, start, time.time()))

    def answer(self):
        if mode == "slow":
            time.sleep(0.3)
        wanted_path = self.path.split("?")[0]
        served = path
        if wanted_path == "/data.kob.kbi" and os.path.exists(path + ".kbi"):
            served = path + ".kbi"
        elif wanted_path != "/data.kob":
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if served == path:
            number = record()
        else:
            number = 0
        if mode == "whole-cut" and number > 1:
            served = path + ".v2"
        if mode == "replaced" and number > 1:
            served = path + ".v2"
        with open(served, "rb") as f:
            data = f.read()
        if mode in ("forbidden", "unauthorized"):
            self.send_response(403 if mode == "forbidden" else 401)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if mode == "redirect-file":
            self.send_response(302)
            self.send_header("Location", "file:///etc/passwd")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if mode == "redirect-loop":
            self.send_response(302)
            self.send_header("Location", "/data.kob")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if mode == "busy" or (mode == "busy-once" and number == 1):
            body = b"busy\n"
            self.send_response(503)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        etag = '"%x-%x"' % (zlib.crc32(data), len(data))
        if mode == "whole-cut":
            self.send_response(200)
            self.send_header("ETag", etag)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            try:
                if number > 1:
                    self.wfile.write(data)
                else:
                    # The opening's first bytes, then a while, then the cut.
                    self.wfile.write(data[:65536])
                    self.wfile.flush()
                    time.sleep(0.5)
                    self.wfile.write(data[65536:len(data) // 2])
                self.wfile.flush()
            except (BrokenPipeError, ConnectionResetError):
                pass
            self.close_connection = True
            return
        if mode == "whole":
            self.send_response(200)
            self.send_header("ETag", etag)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.send_slowly(data, 0.002)
            return
        first, last = 0, len(data) - 1
        wanted = self.headers.get("Range", "")
        if wanted.startswith("bytes="):
            a, _, b = wanted[6:].partition("-")
            first = int(a)
            last = min(int(b), len(data) - 1) if b else len(data) - 1
        if mode == "wrong-range" and first != 0:
            self.send_response(206)
            self.send_header("ETag", etag)
            self.send_header("Content-Range", "bytes 0-%d/%d" % (len(data) - 1, len(data)))
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.send_slowly(data, 0.005)
            return
        if mode == "short-range" and first != 0:
            last = first + (last - first) // 2
        body = data[first:last + 1]
        self.send_response(206)
        self.send_header("ETag", etag)
        self.send_header("Content-Range",
                         "bytes %d-%d/%d" % (first, last, len(data)))
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if mode == "stall":
            time.sleep(60)
            return
        if mode == "reset" or (mode == "reset-once" and number == 1):
            self.wfile.write(body[:len(body) // 2])
            self.wfile.flush()
            self.reset()
            return
        if mode == "trickle":
            try:
                for at in range(0, len(body), 4):
                    self.wfile.write(body[at:at + 4])
                    self.wfile.flush()
                    time.sleep(1)
            except (BrokenPipeError, ConnectionResetError):
                self.close_connection = True
            return
        if mode == "short":
            self.wfile.write(body[:len(body) // 2])
            self.wfile.flush()
            self.close_connection = True
            return
        self.wfile.write(body)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


record(0)
Server(("127.0.0.1", port), Handler).serve_forever()
