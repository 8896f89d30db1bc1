#!/usr/bin/env python3
"""Local HTTP(S) server for tests: standard library only, 127.0.0.1, ports chosen by the system.

Serves the files under --root and answers per-path scripts read from --script (a JSON object that maps
a request path to a behaviour, see Route below). Prints "PORT <http> <https>" (0 when no TLS) on one
line, logs every request to --log and exits by itself after --lifetime seconds.

Route keys (all optional; a path without a route serves the file of that name under --root):
  file: name of the file to serve; body: the body text itself instead of a file
  statuses: [500, 500, 200]: the n-th request to the path answers statuses[n] (the last one repeats);
      error_body: body of a non-200 answer
  redirect: Location ("{http}"/"{https}" stand for this server's bases); redirect_status (302),
      redirect_body
  raw: bytes sent as the whole answer, then the connection is closed
  gzip: true (when the client accepts it) or "always"; content_disposition: header value
  ignore_range: answer 200 with the whole file; wrong_range: answer ranges shifted by one byte;
      wrong_range_from: shift only ranges starting at or after this byte;
      range_status_from: {"start": n, "status": s}: ranges starting at or after n get status s
  announce_total: total sent in Content-Range; announce_length: Content-Length of a 200 answer
  extra_headers: raw header lines added as they are
  break_after: close after this many body bytes, for the first break_times requests (default all);
      break_min_body: break only answers whose body is longer than this (a probe's two bytes pass)
  stall_after / stall_seconds: pause the body after this many bytes; rate: bytes per second
  status_unless_query: {"contains": text, "status": s}: a request whose query lacks the text answers s
  stream_length: answer 200 with this Content-Length and stream that many zero bytes, made as they go
      out (for answers far larger than memory); the client may hang up at any time

Log format, one line per request, fields separated by TAB:
  method, target, HTTP version, connection id, tls (0/1), in-flight high-water mark, then "name=value"
  per header
  (names lower-cased; TABs inside values become blanks).
"""
import argparse
import gzip
import json
import os
import re
import socket
import ssl
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

STATE_LOCK = threading.Lock()
STATE = {"counts": {}, "inflight": 0, "max_inflight": 0, "next_conn": 0}
CONFIG = {"root": ".", "script": {}, "log": None, "http_base": "", "https_base": "", "lifetime": 60.0}


def make_tls_files(folder):
    """A CA and a server certificate for localhost and 127.0.0.1, signed by that CA."""
    os.makedirs(folder, exist_ok=True)
    ca_key, ca_pem = os.path.join(folder, "ca.key"), os.path.join(folder, "ca.pem")
    key, csr, pem = (os.path.join(folder, n) for n in ("server.key", "server.csr", "server.pem"))
    ext = os.path.join(folder, "server.ext")
    if os.path.exists(pem):
        return pem, key

    def run(*args):
        subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key, "-out", ca_pem, "-days", "2",
        "-subj", "/CN=Local Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr, "-subj", "/CN=localhost")
    with open(ext, "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
    run("x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key, "-CAcreateserial", "-out", pem,
        "-days", "2", "-extfile", ext)
    return pem, key


def parse_range(value, size):
    """(start, end) inclusive from "bytes=a-b" / "bytes=a-"; None when absent or not understood."""
    m = re.fullmatch(r"\s*bytes=(\d+)-(\d*)\s*", value or "")
    if not m:
        return None
    start = int(m.group(1))
    end = int(m.group(2)) if m.group(2) else size - 1
    return start, min(end, size - 1)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TestServer/1"

    def log_message(self, fmt, *args):
        pass

    def setup(self):
        super().setup()
        with STATE_LOCK:
            STATE["next_conn"] += 1
            self.conn_id = STATE["next_conn"]

    # --- bookkeeping -------------------------------------------------------------------------------

    def enter(self):
        with STATE_LOCK:
            STATE["inflight"] += 1
            STATE["max_inflight"] = max(STATE["max_inflight"], STATE["inflight"])
            count = STATE["counts"].get(self.route_key, 0)
            STATE["counts"][self.route_key] = count + 1
            self.log_request_line()
        return count

    def leave(self):
        # Called just before the last bytes of an answer go out: the client cannot start its next
        # request before it has them, so the high-water mark never counts one client twice.
        with STATE_LOCK:
            if not self.left:
                self.left = True
                STATE["inflight"] -= 1

    def log_request_line(self):
        if not CONFIG["log"]:
            return
        fields = [self.command, self.path, self.request_version, str(self.conn_id), "1" if self.server.is_tls else "0",
                  str(STATE["max_inflight"])]
        for name, value in self.headers.items():
            fields.append(name.lower() + "=" + value.replace("\t", " "))
        with open(CONFIG["log"], "a", encoding="utf-8") as f:
            f.write("\t".join(fields) + "\n")

    # --- requests ----------------------------------------------------------------------------------

    def do_GET(self):
        self.handle_any(send_body=True)

    def do_HEAD(self):
        self.handle_any(send_body=False)

    def handle_any(self, send_body):
        self.route_key = urlsplit(self.path).path
        route = CONFIG["script"].get(self.route_key, {})
        self.left = False
        count = self.enter()
        try:
            self.answer(route, count, send_body)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True
        finally:
            self.leave()

    def answer(self, route, count, send_body):
        if "raw" in route:
            self.leave()
            self.wfile.write(route["raw"].encode("latin-1"))
            self.wfile.flush()
            self.close_connection = True
            return
        statuses = route.get("statuses")
        status = statuses[min(count, len(statuses) - 1)] if statuses else 200
        unless = route.get("status_unless_query")
        if unless and unless["contains"] not in urlsplit(self.path).query:
            status = unless["status"]
        if status != 200:
            self.send_simple(status, route.get("error_body", "").encode("latin-1"), send_body)
            return
        if "redirect" in route:
            location = route["redirect"].replace("{http}", CONFIG["http_base"]).replace(
                "{https}", CONFIG["https_base"])
            self.send_response(route.get("redirect_status", 302))
            self.send_header("Location", location)
            body = route.get("redirect_body", "").encode("latin-1")
            self.send_header("Content-Length", str(len(body)))
            self.leave()
            self.end_headers()
            if send_body:
                self.wfile.write(body)
            return
        if "stream_length" in route:
            self.send_stream(route["stream_length"], send_body)
            return
        self.send_file(route, count, send_body)

    def send_stream(self, length, send_body):
        self.send_response(200)
        self.send_header("Content-Length", str(length))
        self.end_headers()
        chunk = bytes(65536)
        sent = 0
        while send_body and sent < length:
            step = min(len(chunk), length - sent)
            self.wfile.write(chunk[:step])
            sent += step
        self.close_connection = True

    def send_simple(self, status, body, send_body):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.leave()
        self.end_headers()
        if send_body:
            self.wfile.write(body)

    def file_data(self, route):
        if "body" in route:
            return route["body"].encode("latin-1")
        name = route.get("file", self.route_key.lstrip("/"))
        path = os.path.join(CONFIG["root"], name)
        if not name or not os.path.isfile(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def send_file(self, route, count, send_body):
        data = self.file_data(route)
        if data is None:
            self.send_simple(404, b"", send_body)
            return
        size = len(data)
        total = route.get("announce_total", size)
        wanted = None if route.get("ignore_range") else parse_range(self.headers.get("Range"), size)
        if self.headers.get("Range") and wanted is None and not route.get("ignore_range"):
            self.send_simple(400, b"", send_body)
            return
        headers = []
        failing = route.get("range_status_from")
        if wanted is not None and failing and wanted[0] >= failing["start"]:
            self.send_simple(failing["status"], b"", send_body)
            return
        if wanted is not None:
            start, end = wanted
            if start >= size:
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % total)
                self.send_header("Content-Length", "0")
                self.leave()
                self.end_headers()
                return
            shift = 1 if route.get("wrong_range") or start >= route.get("wrong_range_from", 1 << 62) else 0
            start, end = min(start + shift, size - 1), min(end + shift, size - 1)
            body = data[start:end + 1]
            code = 206
            headers.append(("Content-Range", "bytes %d-%d/%d" % (start, end, total)))
        else:
            body, code = data, 200
        if route.get("gzip") == "always" or (route.get("gzip") and self.accepts_gzip()):
            body = gzip.compress(body)
            headers.append(("Content-Encoding", "gzip"))
        if "content_disposition" in route:
            headers.append(("Content-Disposition", route["content_disposition"]))
        length = route.get("announce_length", len(body)) if code == 200 else len(body)
        self.send_response(code)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(length))
        for line in route.get("extra_headers", []):
            self._headers_buffer.append(line.encode("latin-1") + b"\r\n")
        if not send_body or not body:
            self.leave()
        self.end_headers()
        if send_body:
            self.send_body(route, count, body)
        if length != len(body):
            self.close_connection = True

    def accepts_gzip(self):
        value = self.headers.get("Accept-Encoding", "").replace(" ", "").lower()
        return any(p == "gzip" or (p.startswith("gzip;") and p != "gzip;q=0") for p in value.split(","))

    def send_body(self, route, count, body):
        limit = len(body)
        breaking = ("break_after" in route and count < route.get("break_times", 1 << 30)
                    and len(body) > route.get("break_min_body", 0))
        if breaking:
            limit = min(limit, route["break_after"])
        stall_at = route.get("stall_after")
        rate = route.get("rate", 0)
        sent = 0
        while sent < limit:
            if stall_at is not None and sent >= stall_at:
                self.wfile.flush()
                time.sleep(min(route.get("stall_seconds", 30), CONFIG["lifetime"]))
                stall_at = None
            step = min(limit - sent, 16384 if not rate else max(1, rate // 20))
            if stall_at is not None and sent < stall_at:
                step = min(step, stall_at - sent)
            if sent + step >= limit:
                self.leave()
            self.wfile.write(body[sent:sent + step])
            sent += step
            if rate:
                self.wfile.flush()
                time.sleep(step / rate)
        self.wfile.flush()
        if breaking:
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class Server(ThreadingHTTPServer):
    daemon_threads = True
    is_tls = False

    def handle_error(self, request, client_address):
        # Clients that hang up (tests that refuse an answer half-way) are expected here.
        if not isinstance(sys.exc_info()[1], (ConnectionError, ssl.SSLError, TimeoutError)):
            super().handle_error(request, client_address)


class TLSServer(Server):
    is_tls = True

    def __init__(self, address, handler, context):
        super().__init__(address, handler)
        self.context = context

    def finish_request(self, request, client_address):
        # The handshake runs on the connection's own thread so a client that gives up on the
        # certificate cannot hold up the accepting loop.
        try:
            request = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        self.RequestHandlerClass(request, client_address, self)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=".")
    parser.add_argument("--script")
    parser.add_argument("--log")
    parser.add_argument("--tls-dir")
    parser.add_argument("--lifetime", type=float, default=120.0)
    args = parser.parse_args()

    CONFIG["root"] = args.root
    CONFIG["log"] = args.log
    CONFIG["lifetime"] = args.lifetime
    if args.script:
        with open(args.script, encoding="utf-8") as f:
            CONFIG["script"] = json.load(f)

    servers = [Server(("127.0.0.1", 0), Handler)]
    if args.tls_dir:
        pem, key = make_tls_files(args.tls_dir)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(pem, key)
        servers.append(TLSServer(("127.0.0.1", 0), Handler, context))
    http_port = servers[0].server_address[1]
    https_port = servers[1].server_address[1] if len(servers) > 1 else 0
    CONFIG["http_base"] = "http://127.0.0.1:%d" % http_port
    CONFIG["https_base"] = "https://localhost:%d" % https_port

    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    sys.stdout.write("PORT %d %d\n" % (http_port, https_port))
    sys.stdout.flush()
    time.sleep(args.lifetime)
    os._exit(0)


if __name__ == "__main__":
    main()
