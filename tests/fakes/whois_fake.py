#!/usr/bin/env python3
"""Fake whois endpoint: HTTP GET answered with key TAB value lines.

Every request that is not a control request is logged (path with query, arrival time) and
answered from a script: the first reply whose `match` text occurs in the unquoted path wins,
else the default reply (200 with an empty body). A reply has a status, a body, a delay in seconds
before answering (a hung endpoint) and an optional size that pads the body with 'x' up to that
many bytes. Replies with `times` are used that many times and then dropped.

Importable:
    fake = WhoisFake().start()      # fake.port, fake.url()
    fake.reply("clip1", body="artist\\tX\\n")
    fake.requests()                 # [(monotonic seconds, path), ...]
Runnable (for the C++ tests):
    python3 whois_fake.py           prints "PORT <n>", serves until standard input closes
    control over HTTP on the same port:
      POST /_fake/reply  JSON {"match", "status", "body", "delay", "size", "times"}
      POST /_fake/reset  drops replies and the log
      GET  /_fake/log    JSON [{"time": seconds, "path": text}, ...]
"""

import json
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class WhoisFake:
    def __init__(self, host="127.0.0.1", port=0):
        self._lock = threading.Condition()
        self._log = []
        self._replies = []
        fake = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.0"

            def log_message(self, *args):
                pass

            def _send(self, status, body, ctype="text/plain"):
                self.send_response(status)
                self.send_header("Content-Type", ctype)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                try:
                    self.wfile.write(body)
                except OSError:
                    pass

            def do_GET(self):
                if self.path == "/_fake/log":
                    with fake._lock:
                        log = [{"time": t, "path": p} for t, p in fake._log]
                    self._send(200, json.dumps(log).encode(), "application/json")
                    return
                status, body, delay = fake._take(self.path)
                if delay:
                    time.sleep(delay)
                self._send(status, body)

            def do_POST(self):
                n = int(self.headers.get("Content-Length", "0"))
                data = self.rfile.read(n) if n else b""
                if self.path == "/_fake/reply":
                    fake.reply(**json.loads(data or b"{}"))
                elif self.path == "/_fake/reset":
                    fake.reset()
                else:
                    self._send(404, b"")
                    return
                self._send(200, b"ok")

        self.server = ThreadingHTTPServer((host, port), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self._thread = None

    def start(self):
        self._thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self.server.shutdown()
        self.server.server_close()

    def url(self, template="/whois?id=<MEDIA_ID>&tag=<TAG>"):
        return "http://127.0.0.1:%d%s" % (self.port, template)

    def reply(self, match="", status=200, body="", delay=0, size=0, times=0):
        if isinstance(body, str):
            body = body.encode()
        if size > len(body):
            body += b"x" * (size - len(body))
        with self._lock:
            self._replies.append({"match": match, "status": status, "body": body,
                                  "delay": delay, "times": times})

    def reset(self):
        with self._lock:
            self._replies.clear()
            self._log.clear()

    def requests(self):
        with self._lock:
            return list(self._log)

    def wait_requests(self, n, timeout=5.0):
        end = time.monotonic() + timeout
        with self._lock:
            while len(self._log) < n:
                left = end - time.monotonic()
                if left <= 0:
                    return False
                self._lock.wait(left)
            return True

    def _take(self, path):
        plain = urllib.parse.unquote(path)
        with self._lock:
            self._log.append((time.monotonic(), path))
            self._lock.notify_all()
            for r in self._replies:
                if r["match"] in plain:
                    if r["times"]:
                        r["times"] -= 1
                        if r["times"] == 0:
                            self._replies.remove(r)
                    return r["status"], r["body"], r["delay"]
        return 200, b"", 0


def main():
    fake = WhoisFake().start()
    sys.stdout.write("PORT %d\n" % fake.port)
    sys.stdout.flush()
    sys.stdin.read()
    fake.stop()


if __name__ == "__main__":
    main()
