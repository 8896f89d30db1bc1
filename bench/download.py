#!/usr/bin/env python3
"""Segmented download speed of Pollwick's downloader against aria2c -x5 and curl on one loopback server.

The server (started by this script on 127.0.0.1) serves one generated file, honours byte ranges, keeps
connections alive and limits each connection to --rate bytes per second, so five connections together
can reach five times that. Each downloader fetches the same file --runs times; the table shows the
medians: wall time, MiB/s, the share of the five-connection limit, CPU seconds (user + system of the
downloader's process), the connections it opened, and whether every copy had the file's SHA-256.
"At the server" is the rate from the start of the first answer to the end of the last one, without the
downloader's own start-up and its work after the last byte.

Pollwick's downloader runs through bench's pollwick_download_runner (configure a release build with
-DSTREVIO_BUILD_BENCH=ON and build that target):

    bench/download.py --runner build-bench/bench/pollwick_download_runner [--size-mib 40] [--rate-mib 4]
"""

import argparse
import hashlib
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MIB = 1024 * 1024
# Per run: connections accepted, and when the first answer began and the last one ended.
CONNECTIONS = {"count": 0, "first": None, "last": None}
CONNECTIONS_LOCK = threading.Lock()


class ThrottledHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    data = b""
    rate = 4 * MIB
    chunk = 16384

    def log_message(self, fmt, *args):
        pass

    def setup(self):
        super().setup()
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with CONNECTIONS_LOCK:
            CONNECTIONS["count"] += 1

    def do_GET(self):
        size = len(self.data)
        start, end, status = 0, size - 1, 200
        wanted = self.headers.get("Range", "")
        if wanted.startswith("bytes="):
            first, _, last = wanted[6:].partition("-")
            start = int(first)
            end = min(int(last), size - 1) if last else size - 1
            status = 206
        if start >= size:
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % size)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        self.send_response(status)
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
        self.send_header("Content-Length", str(end - start + 1))
        self.send_header("Accept-Ranges", "bytes")
        self.end_headers()
        self.send_paced(start, end + 1)

    def send_paced(self, start, stop):
        # Each chunk leaves no earlier than the rate allows since the answer began.
        began = time.monotonic()
        with CONNECTIONS_LOCK:
            if CONNECTIONS["first"] is None:
                CONNECTIONS["first"] = began
        sent = 0
        view = memoryview(self.data)
        try:
            while start + sent < stop:
                step = min(self.chunk, stop - start - sent)
                self.wfile.write(view[start + sent:start + sent + step])
                sent += step
                if start + sent >= stop:
                    with CONNECTIONS_LOCK:
                        CONNECTIONS["last"] = max(CONNECTIONS["last"] or 0, time.monotonic())
                delay = began + sent / self.rate - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # downloaders that stop a transfer early hang up


def run_measured(argv, cwd):
    """Runs argv to its end; (wall seconds, CPU seconds, exit code, stdout)."""
    began = time.monotonic()
    process = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # The downloaders print a line at most, so the pipes cannot fill up before the end.
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.monotonic() - began
    out = process.stdout.read()
    err = process.stderr.read()
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        sys.stderr.write(err.decode(errors="replace"))
    return wall, usage.ru_utime + usage.ru_stime, process.returncode, out.decode().strip()


def downloaders(runner, url):
    """Name -> function(work folder) giving (argv, path of the downloaded file after the run)."""
    tools = {}
    if runner:
        tools["Pollwick (5 threads)"] = lambda d: ([runner, url, "bench.bin", d], None)
    if shutil.which("aria2c"):
        tools["aria2c -x5 -s5 -k1M"] = lambda d: (["aria2c", "-x5", "-s5", "-k1M", "-q", "--allow-overwrite=true",
                                          "--file-allocation=none", "--auto-file-renaming=false",
                                          "-d", d, "-o", "bench.bin", url], os.path.join(d, "bench.bin"))
    if shutil.which("curl"):
        tools["curl"] = lambda d: (["curl", "-s", "-f", "-o", os.path.join(d, "bench.bin"), url],
                                   os.path.join(d, "bench.bin"))
    return tools


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runner", help="path of pollwick_download_runner")
    parser.add_argument("--size-mib", type=int, default=40)
    parser.add_argument("--rate-mib", type=float, default=4.0, help="limit of each connection, MiB/s")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    if args.runner:
        args.runner = os.path.abspath(args.runner)  # the downloaders run in their own folders
        if not os.access(args.runner, os.X_OK):
            sys.exit("runner not found: %s" % args.runner)

    data = os.urandom(args.size_mib * MIB)
    expected = hashlib.sha256(data).hexdigest()
    ThrottledHandler.data = data
    ThrottledHandler.rate = args.rate_mib * MIB
    server = Server(("127.0.0.1", 0), ThrottledHandler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = "http://127.0.0.1:%d/bench.bin" % server.server_address[1]
    limit = 5 * args.rate_mib

    rows = []
    for name, make in downloaders(args.runner, url).items():
        walls, transfers, cpus, conns, good = [], [], [], [], True
        for _ in range(args.runs):
            with tempfile.TemporaryDirectory() as work:
                argv, path = make(work)
                with CONNECTIONS_LOCK:
                    CONNECTIONS.update(count=0, first=None, last=None)
                wall, cpu, code, out = run_measured(argv, work)
                time.sleep(0.3)  # lets the server's threads note the end of answers the client already has
                with CONNECTIONS_LOCK:
                    conns.append(CONNECTIONS["count"])
                    transfers.append(CONNECTIONS["last"] - CONNECTIONS["first"])
                path = path or out
                good = good and code == 0 and os.path.isfile(path) and sha256(path) == expected
                walls.append(wall)
                cpus.append(cpu)
        wall = statistics.median(walls)
        speed = args.size_mib / wall
        transfer = args.size_mib / statistics.median(transfers)
        rows.append((name, wall, speed, 100.0 * speed / limit, transfer, 100.0 * transfer / limit,
                     statistics.median(cpus), int(statistics.median(conns)), "yes" if good else "NO"))

    print("%d MiB file, %.1f MiB/s per connection (five connections: %.1f MiB/s), median of %d runs\n"
          % (args.size_mib, args.rate_mib, limit, args.runs))
    print("| downloader | time (s) | MiB/s | of the limit | MiB/s at the server | of the limit | CPU (s) "
          "| connections | SHA-256 ok |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---|")
    for name, wall, speed, share, transfer, tshare, cpu, conn, good in rows:
        print("| %s | %.2f | %.1f | %.1f %% | %.1f | %.1f %% | %.2f | %d | %s |"
              % (name, wall, speed, share, transfer, tshare, cpu, conn, good))
    server.shutdown()


if __name__ == "__main__":
    main()
