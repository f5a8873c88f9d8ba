#!/usr/bin/env python3
"""A small HTTP proxy for the repair tests: it sits on 127.0.0.1 in front of
a web server (nginx) and makes, when its script says so, the faults a real
server cannot be told to make.

    faultproxy.py --upstream PORT --script RULES.json --port-file FILE --log FILE

It listens on a free port of 127.0.0.1 (written to --port-file), keeps
client connections alive, forwards each GET to 127.0.0.1:PORT with its Range
header, and answers with the server's answer, unless a rule applies.

RULES.json: {"rules": [RULE...], "strip_validators": BOOL}.  With
strip_validators the ETag and Last-Modified headers are left out of every
answer.  A RULE is an object:

    fault    what happens (below)
    from     the rule applies to ranges starting at or after this byte (0)
    to       ... and before this byte (no limit)
    skip     the first SKIP requests the rule matches pass unharmed (0)
    times    then it applies to this many requests (1; -1: all)

and the parameters of its fault:

    reset    the headers and AFTER body bytes, then a connection reset
    short    the headers (full Content-Length) and AFTER bytes, then the
             connection is closed
    stall    the headers and AFTER bytes, then nothing for SECONDS, then a close
    flip     the byte at OFFSET of the body (0) is inverted
    status   answer CODE with no body, with Retry-After: RETRY_AFTER when given
    full200  200 and the whole file, as a server that ignores ranges does
    delay    wait SECONDS, then answer normally
    bigger   the range with EXTRA more bytes, Content-Length included
    overflow the range and EXTRA more bytes without a Content-Length (the
             body ends when the connection is closed)
    change   from this request on, PATH is served instead of the file asked for

Every request is logged to --log as one JSON line: path, range, fault,
status, bytes of body sent.
"""

import argparse
import http.client
import http.server
import json
import os
import socket
import socketserver
import struct
import sys
import threading
import time

LOOPBACK = "127.0.0.1"
HOP_HEADERS = {"connection", "keep-alive", "transfer-encoding", "proxy-connection", "te", "upgrade"}


class Script:
    def __init__(self, path):
        with open(path) as f:
            data = json.load(f)
        self.rules = data.get("rules", [])
        self.strip_validators = data.get("strip_validators", False)
        self.seen = [0] * len(self.rules)
        self.path_override = None
        self.lock = threading.Lock()

    def match(self, start):
        """The rule that applies to a request for a range starting at START."""
        with self.lock:
            for index, rule in enumerate(self.rules):
                if start < rule.get("from", 0) or ("to" in rule and start >= rule["to"]):
                    continue
                seen = self.seen[index]
                self.seen[index] += 1
                skip, times = rule.get("skip", 0), rule.get("times", 1)
                if seen >= skip and (times < 0 or seen < skip + times):
                    if rule["fault"] == "change":
                        self.path_override = rule["path"]
                    return rule
            return None


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def upstream_answer(self, path, range_header):
        connection = getattr(self, "upstream", None)
        for attempt in range(2):
            if connection is None:
                connection = http.client.HTTPConnection(LOOPBACK, self.server.upstream_port, timeout=30)
            try:
                headers = {"Range": range_header} if range_header else {}
                connection.request("GET", path, headers=headers)
                answer = connection.getresponse()
                body = answer.read()
                self.upstream = connection
                return answer.status, answer.getheaders(), body
            except (http.client.HTTPException, OSError):
                connection.close()
                connection = None
                if attempt:
                    raise
        return None

    def record(self, rule, status, sent):
        entry = {"path": self.path, "range": self.headers.get("Range", ""),
                 "fault": rule["fault"] if rule else None, "status": status, "sent": sent}
        with self.server.log_lock:
            with open(self.server.log_path, "a") as f:
                f.write(json.dumps(entry) + "\n")

    def send_head(self, status, headers, length):
        """Status and headers; LENGTH None: no Content-Length, the body ends
        with the connection."""
        self.send_response_only(status)
        for name, value in headers:
            lower = name.lower()
            if lower in HOP_HEADERS or lower in ("content-length", "server", "date"):
                continue
            if self.server.script.strip_validators and lower in ("etag", "last-modified"):
                continue
            self.send_header(name, value)
        if length is None:
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(length))
        self.end_headers()

    def reset(self):
        self.wfile.flush()
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()
        self.close_connection = True

    def do_GET(self):
        range_header = self.headers.get("Range", "")
        start = 0
        if range_header.startswith("bytes="):
            try:
                start = int(range_header[6:].split("-")[0])
            except ValueError:
                start = 0
        script = self.server.script
        rule = script.match(start)
        fault = rule["fault"] if rule else None
        path = script.path_override or self.path
        try:
            self.answer(rule, fault, path, range_header)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    def answer(self, rule, fault, path, range_header):
        if fault == "status":
            headers = [("Retry-After", str(rule["retry_after"]))] if "retry_after" in rule else []
            self.send_head(rule["code"], headers, 0)
            self.record(rule, rule["code"], 0)
            return
        if fault == "delay":
            time.sleep(rule.get("seconds", 1))
        status, headers, body = self.upstream_answer(path, None if fault == "full200" else range_header)
        if fault == "flip" and body:
            offset = min(rule.get("offset", 0), len(body) - 1)
            body = body[:offset] + bytes([body[offset] ^ 0xFF]) + body[offset + 1:]
        if fault == "bigger":
            body = body + b"\0" * rule.get("extra", 100)
        if fault == "overflow":
            self.send_head(status, headers, None)
            self.wfile.write(body + b"\0" * rule.get("extra", 100))
            self.wfile.flush()
            self.record(rule, status, len(body))
            return
        if fault in ("reset", "short", "stall"):
            after = min(rule.get("after", 0), len(body))
            self.send_head(status, headers, len(body))
            self.wfile.write(body[:after])
            self.wfile.flush()
            self.record(rule, status, after)
            if fault == "stall":
                time.sleep(rule.get("seconds", 5))
            if fault == "reset":
                self.reset()
            else:
                self.close_connection = True
            return
        self.send_head(status, headers, len(body))
        self.wfile.write(body)
        self.wfile.flush()
        self.record(rule, status, len(body))


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--upstream", type=int, required=True)
    parser.add_argument("--script", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--log", required=True)
    args = parser.parse_args()
    server = Server((LOOPBACK, 0), Handler)
    server.upstream_port = args.upstream
    server.script = Script(args.script)
    server.log_path = args.log
    server.log_lock = threading.Lock()
    open(args.log, "w").close()
    with open(args.port_file + ".new", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(args.port_file + ".new", args.port_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
