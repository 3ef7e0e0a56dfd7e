"""Passwords and encryption: loopback by default, the same users for HTTP and RTSP, TLS for both."""
from __future__ import annotations

import base64
import os
from pathlib import Path

import pytest

from conftest import SERVE, run
from websocket_client import TEXT, HandshakeRefused, WebSocket


def credentials(workdir: Path, mode: int = 0o600) -> Path:
    path = workdir / "users"
    path.write_text("# viewers\nalice:s3cret:with:colons\nbob:hunter2\n")
    os.chmod(path, mode)
    return path


def http_code(url: str, *extra: str) -> int:
    got = run(["curl", "-s", "-k", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "5", *extra, url])
    return int(got.stdout)


def rtsp_answer(url: str) -> str:
    probe = run(["ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-show_entries", "stream=codec_name", url])
    return probe.stdout.decode() + probe.stderr.decode()


def test_refuses_other_addresses_without_credentials_or_no_auth(workdir: Path) -> None:
    refused = run([SERVE, "--listen", "0.0.0.0", "--rtsp-port", "0", "--http-port", "0"], cwd=workdir)
    assert refused.returncode == 2
    assert b"refusing to listen on 0.0.0.0 without passwords" in refused.stderr
    assert b"--no-auth" in refused.stderr


def test_refuses_a_credentials_file_others_can_read(workdir: Path) -> None:
    path = credentials(workdir, 0o644)
    refused = run([SERVE, "--listen", "0.0.0.0", "--credentials", str(path)], cwd=workdir)
    assert refused.returncode == 2
    assert b"is open to other users" in refused.stderr and b"chmod 600" in refused.stderr
    malformed = workdir / "bad"
    malformed.write_text("no colon here\n")
    os.chmod(malformed, 0o600)
    refused = run([SERVE, "--credentials", str(malformed)], cwd=workdir)
    assert refused.returncode == 2 and b"line 1: expected user:password" in refused.stderr


def test_no_auth_said_out_loud_serves_anyone(start_server) -> None:
    server = start_server("--listen", "0.0.0.0", "--no-auth", "--size", "320x240")
    assert http_code(server.url("/api/status")) == 200


def test_the_same_users_guard_http_and_rtsp(start_server, workdir: Path) -> None:
    users = credentials(workdir)
    server = start_server("--listen", "0.0.0.0", "--credentials", str(users), "--size", "320x240")
    for path in ("/", "/api/status", "/cam0.jpg", "/metrics"):
        assert http_code(server.url(path)) == 401, path
        assert http_code(server.url(path), "-u", "alice:wrong") == 401, path
    assert http_code(server.url("/cam0.jpg"), "-u", "alice:s3cret:with:colons") == 200
    assert http_code(server.url("/api/status"), "-u", "bob:hunter2") == 200
    rtsp = f"rtsp://127.0.0.1:{server.rtsp_port}/cam1"
    assert "401" in rtsp_answer(rtsp)
    assert "401" in rtsp_answer(rtsp.replace("rtsp://", "rtsp://bob:wrong@"))
    assert "codec_name=h264" in rtsp_answer(rtsp.replace("rtsp://", "rtsp://bob:hunter2@"))
    # The MSE WebSocket too.
    with pytest.raises(HandshakeRefused) as refused:
        WebSocket("127.0.0.1", server.http_port, "/cam0/mse")
    assert refused.value.status == 401
    ws = WebSocket("127.0.0.1", server.http_port, "/cam0/mse",
                   {"Authorization": "Basic " + base64.b64encode(b"bob:hunter2").decode()})
    assert ws.receive()[0] == TEXT
    ws.close()


@pytest.fixture
def certificate(workdir: Path):
    cert, key = workdir / "cert.pem", workdir / "key.pem"
    made = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                "-keyout", str(key), "-out", str(cert)])
    assert made.returncode == 0, made.stderr.decode()
    return cert, key


def test_https_and_rtsps_with_a_certificate(start_server, certificate) -> None:
    cert, key = certificate
    # Under AddressSanitizer, the leak check at exit cannot stop the TLS
    # library's threads (its tracer crashes); the same paths without TLS are
    # checked for leaks by every other test.
    env = {"ASAN_OPTIONS": os.environ["ASAN_OPTIONS"] + ":detect_leaks=0"} if "ASAN_OPTIONS" in os.environ else None
    server = start_server("--tls-cert", str(cert), "--tls-key", str(key), "--size", "320x240", env=env)
    assert server.http_scheme == "https" and server.rtsp_scheme == "rtsps"
    assert http_code(server.url("/cam0.jpg"), "--cacert", str(cert)) == 200
    # Plain HTTP on the TLS port gets nothing useful.
    assert http_code(f"http://127.0.0.1:{server.http_port}/api/status") != 200
    # ffmpeg as the RTSPS client: it also says how many frames it decoded.
    played = run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-rtsp_transport", "tcp", "-i", server.rtsp(0),
                  "-frames:v", "10", "-f", "rawvideo", "-pix_fmt", "gray", "-"], timeout=30)
    assert played.returncode == 0, played.stderr.decode()
    assert len(played.stdout) == 10 * 320 * 240, "ten decoded frames of the camera's size"
    # The MSE WebSocket over TLS (wss): its first message.
    ws = WebSocket("127.0.0.1", server.http_port, "/cam0/mse", cafile=str(cert))
    assert ws.receive()[0] == TEXT
    ws.close()


def test_a_certificate_that_does_not_load_is_refused(workdir: Path) -> None:
    bogus = workdir / "bogus.pem"
    bogus.write_text("not a certificate\n")
    refused = run([SERVE, "--tls-cert", str(bogus), "--tls-key", str(bogus)], cwd=workdir)
    assert refused.returncode == 2 and b"cannot use the certificate" in refused.stderr
