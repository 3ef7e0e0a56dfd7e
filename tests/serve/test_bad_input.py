"""Whatever a client sends, the server answers clearly or hangs up, and goes on serving the others."""
from __future__ import annotations

import json
import random
import socket
import time

import pytest

from clients import RtspSession
from conftest import SERVE, run

HTTP_CASES = [
    b"GET / HTTP/1.1\r\nHost: x\r\nX-Long: " + b"a" * (1 << 20) + b"\r\n\r\n",   # an overlong header
    b"GET /" + b"x" * (1 << 20) + b" HTTP/1.1\r\n\r\n",                           # an overlong request line
    b"".join(b"X-%d: y\r\n" % i for i in range(20000)),                          # endless headers
    b"BREW /coffee HTCPCP/1.0\r\n\r\n",                                          # a bad method and protocol
    b"GET / HTTP/1.1\r\nHost",                                                    # truncated
    b"GET / HTTP/1.1\r\nContent-Length: -5\r\n\r\n",
    b"GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
    bytes(range(256)) * 64,                                                       # binary junk
]

RTSP_CASES = [
    b"OPTIONS * RTSP/1.0\r\nCSeq: " + b"9" * 100000 + b"\r\n\r\n",
    b"DESCRIBE rtsp://127.0.0.1/cam0 RTSP/1.0\r\nCSeq: 1\r\nX: " + b"a" * (1 << 20) + b"\r\n\r\n",
    b"FLY rtsp://127.0.0.1/cam0 RTSP/1.0\r\nCSeq: 1\r\n\r\n",
    b"SETUP rtsp://127.0.0.1/cam0/stream=0 RTSP/1.0\r\nCSeq: 1\r\nTransport: \x00\xff;;;=\r\n\r\n",
    b"PLAY rtsp://127.0.0.1/cam0 RTSP/1.0\r\nCSeq: 1\r\nSession: nosuch\r\n\r\n",
    b"DESCRIBE rtsp://127.0.0.1/cam0 RTSP/1.0\r\nCSeq",
    b"$\x00\xff\xff" + b"\x00" * 70000,                                           # an interleaved packet, unasked
    bytes(range(256)) * 64,
]


def send_and_hang_up(port: int, data: bytes) -> bytes:
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        try:
            sock.sendall(data)
            sock.shutdown(socket.SHUT_WR)
            return sock.recv(200)
        except OSError:  # reset, broken pipe, timed out, or already hung up on
            return b""


def rss_kb(pid: int) -> int:
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def still_serving(server) -> None:
    status = run(["curl", "-s", "-f", server.url("/api/status")])
    assert status.returncode == 0 and json.loads(status.stdout)["cameras"]
    session = RtspSession(server.rtsp_port)
    assert " 200 " in session.play(server.rtsp(0))
    session.close()


def test_malformed_http_and_rtsp_leave_the_server_serving(start_server) -> None:
    server = start_server("--size", "320x240")
    still_serving(server)
    before = rss_kb(server.process.pid)
    for data in HTTP_CASES:
        answer = send_and_hang_up(server.http_port, data)
        assert answer == b"" or answer.split(b" ")[1] in (b"400", b"404", b"405", b"413", b"431", b"501", b"505"), \
            (data[:40], answer)
        assert server.process.poll() is None
    for data in RTSP_CASES:
        send_and_hang_up(server.rtsp_port, data)
        assert server.process.poll() is None
    rng = random.Random(1)
    for _ in range(200):
        junk = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 3000)))
        send_and_hang_up(rng.choice([server.http_port, server.rtsp_port]), junk)
    still_serving(server)
    time.sleep(1)
    assert rss_kb(server.process.pid) < before + 32 * 1024, "memory grew with bad input"


def test_a_bad_rtsp_request_gets_an_error_answer(start_server) -> None:
    server = start_server("--size", "320x240")
    session = RtspSession(server.rtsp_port)
    assert " 404 " in session.send("DESCRIBE", f"rtsp://127.0.0.1:{server.rtsp_port}/cam7").splitlines()[0]
    assert session.send("FLY", server.rtsp(0)).split()[1] in ("400", "405", "501", "551")
    assert " 454 " in session.send("PLAY", server.rtsp(0), "Session: nosuch\r\n").splitlines()[0]
    session.close()


@pytest.mark.parametrize("size, why", [
    ("100000x100000", b"size 100000x100000 is out of range: the cameras take 2 to 8192 pixels a side"),
    ("8194x2", b"size 8194x2 is out of range"),
    ("641x480", b"width and height must be even"),
], ids=["huge", "too_wide", "odd"])
def test_a_size_the_cameras_cannot_take_is_refused_before_starting(workdir, size, why) -> None:
    """Refused by the option's check, before a camera or an encoder is touched."""
    refused = run([SERVE, "--size", size, "--rtsp-port", "0", "--http-port", "0"], cwd=workdir, timeout=10)
    assert refused.returncode == 2, refused.stderr
    assert why in refused.stderr, refused.stderr
    if b"out of range" in why:
        assert b"even" not in refused.stderr, "an even size is not refused for being odd"
