"""Restore a snapshot from local HTTP and S3-compatible servers, beside curl.

Freezes `--size` bytes of random device regions (the stand-in runtime's
host memory where there is no GPU), serves the snapshot from nginx (plain
HTTP with ranges) and from rclone's S3 server (SigV4), restores it with
vesk.remote.restore and checks every region, and in the same run fetches the
same object with curl's parallel ranged requests to /dev/null over a small
grid of connection counts and range sizes (vesk's defaults included). Prints
vesk's throughput as a ratio of curl's best, and the growth of the process's
peak memory during the restore (the staging buffers, whatever the size).

    PYTHONPATH=build/python .venv/bin/python bench/bench_remote.py --size 1G

nginx comes from .venv/nginx (scripts/setup.sh unpacks Debian's package
there) and rclone from .venv/bin; a server that is missing is skipped.
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import vesk
import vesk.remote
from vesk._bench import Regions, Runtime, note
from vesk._cli import human_bytes, parse_size

REPO = Path(__file__).resolve().parents[1]
AK, SK = "vesk-bench-access", "vesk-bench-secret-0123456789"


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port: int, proc: subprocess.Popen) -> None:
    for _ in range(200):
        if proc.poll() is not None:
            raise RuntimeError(f"server exited with {proc.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError("server did not start listening")


def start_nginx(root: Path, work: Path) -> tuple[subprocess.Popen, str] | None:
    exe = REPO / ".venv" / "nginx" / "usr" / "sbin" / "nginx"
    if not exe.exists():
        return None
    port = free_port()
    conf = work / "nginx.conf"
    # Run as root, nginx hands its workers to "nobody", who may not read the
    # snapshot's folder: they stay with the caller instead.
    user = "user root;\n" if os.geteuid() == 0 else ""
    conf.write_text(f"""{user}worker_processes 2;
daemon off;
pid {work}/nginx.pid;
error_log {work}/nginx-error.log;
events {{ worker_connections 256; }}
http {{
  access_log off;
  sendfile on;
  keepalive_requests 100000;
  client_body_temp_path {work}/body; proxy_temp_path {work}/proxy; fastcgi_temp_path {work}/fcgi;
  uwsgi_temp_path {work}/uwsgi; scgi_temp_path {work}/scgi;
  server {{ listen 127.0.0.1:{port}; root {root}; }}
}}
""")
    proc = subprocess.Popen([str(exe), "-c", str(conf), "-p", str(work)], stderr=subprocess.DEVNULL)
    wait_listening(port, proc)
    return proc, f"http://127.0.0.1:{port}"


def start_rclone(root: Path, work: Path) -> tuple[subprocess.Popen, str] | None:
    exe = Path(sys.prefix) / "bin" / "rclone"
    if not exe.exists():
        return None
    port = free_port()
    (work / "rclone.conf").write_text(f"[snap]\ntype = hasher\nremote = {root}\nhashes = md5\nmax_age = off\n")
    proc = subprocess.Popen([str(exe), "serve", "s3", "snap:", "--addr", f"127.0.0.1:{port}", "--auth-key",
                             f"{AK},{SK}", "--dir-cache-time", "0s"],
                            env=dict(os.environ, RCLONE_CONFIG=str(work / "rclone.conf")),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_listening(port, proc)
    return proc, f"http://127.0.0.1:{port}"


def status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak_memory() -> None:
    """Starts the peak resident size (VmHWM) over from the current size."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def cpu_seconds(who: int) -> float:
    r = resource.getrusage(who)
    return r.ru_utime + r.ru_stime


def curl_seconds(url: str, size: int, connections: int, range_bytes: int, s3: bool) -> float:
    """curl fetching the object in ranges, `connections` at a time, to /dev/null."""
    blocks = []
    for start in range(0, size, range_bytes):
        block = [f'url = "{url}"', f'range = "{start}-{min(size, start + range_bytes) - 1}"', 'output = "/dev/null"']
        if s3:
            block += ['aws-sigv4 = "aws:amz:us-east-1:s3"', f'user = "{AK}:{SK}"',
                      'header = "x-amz-content-sha256: UNSIGNED-PAYLOAD"']
        blocks.append("\n".join(block))
    with tempfile.NamedTemporaryFile("w", suffix=".curl") as cfg:
        cfg.write("\nnext\n".join(blocks) + "\n")
        cfg.flush()
        start = time.perf_counter()
        subprocess.run(["curl", "-sSf", "-Z", "--parallel-max", str(connections), "-K", cfg.name], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return time.perf_counter() - start


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--size", type=parse_size, default=parse_size("1G"))
    p.add_argument("--regions", type=int, default=64)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--dir", default=str(REPO / "build"))
    args = p.parse_args()

    rt = Runtime()
    tunables = (int(os.environ.get("VESK_REMOTE_CONNECTIONS", 8)), int(os.environ.get("VESK_REMOTE_RANGE_MB", 8)))
    grid = sorted({tunables, (4, 16), (8, 8), (16, 4), (16, 8)})
    work = Path(tempfile.mkdtemp(prefix="vesk-remote-bench-", dir=args.dir))
    servers = []
    try:
        note(f"freezing {human_bytes(args.size)} in {args.regions} regions")
        regions = Regions(rt, args.size, args.regions)
        mapping = regions.tuples()
        (work / "data" / "bucket").mkdir(parents=True)
        snap = work / "data" / "bucket" / "snap.vesk"
        vesk.freeze_to_file_pipelined(str(snap), mapping)
        size = snap.stat().st_size
        regions.clear()
        for name, start, s3 in (("nginx", start_nginx, False), ("rclone-s3", start_rclone, True)):
            started = start(work / "data", work)
            if started is None:
                note(f"{name}: not installed, skipped")
                continue
            proc, base = started
            servers.append(proc)
            if s3:
                os.environ.update(AWS_ENDPOINT_URL=base, AWS_ACCESS_KEY_ID=AK, AWS_SECRET_ACCESS_KEY=SK)
                url, raw = "s3://bucket/snap.vesk", base + "/bucket/snap.vesk"
            else:
                url = raw = base + "/bucket/snap.vesk"
            # Rounds alternate vesk and every curl setting, so that a change
            # in the machine's load (other work shares its cores) hits both.
            # Warm-up, so that the first timed fetch pays nothing the others
            # do not: the snapshot into the page cache (the freeze wrote it
            # past the cache), and rclone's hasher computing the object's MD5
            # on its first request.
            with open(snap, "rb") as f:
                while f.read(64 << 20):
                    pass
            vesk.remote.stat(url)
            # CPU time is counted too: on a machine with few cores the
            # restore's own work (copies into the staging buffers, checksums,
            # the stand-in's host-to-device copies) competes with the network.
            best_vesk, growth, vesk_cpu, curl_cpu = float("inf"), 0, float("inf"), float("inf")
            curl = {g: float("inf") for g in grid}
            for _ in range(args.rounds):
                reset_peak_memory()
                before = status_kib("VmRSS")
                c0, t0 = cpu_seconds(resource.RUSAGE_SELF), time.perf_counter()
                vesk.remote.restore(url, mapping)
                best_vesk = min(best_vesk, time.perf_counter() - t0)
                vesk_cpu = min(vesk_cpu, cpu_seconds(resource.RUSAGE_SELF) - c0)
                growth = max(growth, status_kib("VmHWM") - before)
                regions.verify(name)
                regions.clear()
                for g in grid:
                    c0 = cpu_seconds(resource.RUSAGE_CHILDREN)
                    curl[g] = min(curl[g], curl_seconds(raw, size, g[0], g[1] << 20, s3))
                    if g == tunables:
                        curl_cpu = min(curl_cpu, cpu_seconds(resource.RUSAGE_CHILDREN) - c0)
            best = min(curl, key=curl.get)
            print(f"{name}: vesk {size / best_vesk / 1e9:.2f} GB/s ({tunables[0]} connections x {tunables[1]} MiB), "
                  f"curl best {size / curl[best] / 1e9:.2f} GB/s ({best[0]} x {best[1]} MiB); "
                  f"ratio {curl[best] / best_vesk:.2f}; peak memory grew {human_bytes(growth * 1024)} "
                  f"during the restores of a {human_bytes(size)} snapshot (staging buffers already held)")
            for g, t in curl.items():
                print(f"  curl {g[0]:2d} x {g[1]:2d} MiB: {size / t / 1e9:.2f} GB/s")
            print(f"  CPU seconds per GiB: vesk {vesk_cpu * (1 << 30) / size:.2f}, "
                  f"curl {curl_cpu * (1 << 30) / size:.2f} (same setting; the servers not counted)")
        regions.free()
    finally:
        for proc in servers:
            proc.terminate()
            proc.wait()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
