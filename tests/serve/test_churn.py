"""Hundreds of clients coming and going leave the program as they found it."""
from __future__ import annotations

import json
import os
import socket
from pathlib import Path

from clients import RtspSession, request
from conftest import SANITIZED, run, wait_for
from websocket_client import BINARY, WebSocket

# Connections in the churn: fewer under the sanitizers, where each costs
# ten times as much and a hundred still pass every kind through the
# server twenty times.
CYCLES = 100 if SANITIZED else 500


def resources(pid: int) -> dict:
    fields = dict(line.split(":", 1) for line in Path(f"/proc/{pid}/status").read_text().splitlines() if ":" in line)
    return {"rss_kb": int(fields["VmRSS"].split()[0]), "threads": int(fields["Threads"]),
            "fds": len(os.listdir(f"/proc/{pid}/fd"))}


def cameras_closed(server) -> bool:
    status = json.loads(run(["curl", "-s", server.url("/api/status")]).stdout)
    return not any(camera["streaming"] for camera in status["cameras"])


def one_of_each(server, i: int) -> None:
    kind = i % 6
    if kind in (0, 1):
        session = RtspSession(server.rtsp_port)
        assert " 200 " in session.play(server.rtsp(i % 2))
        assert session.media_packets(3) == 3
        # Half leave politely, half just hang up.
        if kind == 0:
            session.send("TEARDOWN", server.rtsp(i % 2))
        session.close()
    elif kind == 2:
        with socket.create_connection(("127.0.0.1", server.http_port), timeout=10) as sock:
            sock.sendall(request(f"/cam{i % 2}.mjpg"))
            data = b""
            while data.count(b"--boardcamframe") < 2:
                chunk = sock.recv(65536)
                assert chunk
                data += chunk
    elif kind == 3:
        with socket.create_connection(("127.0.0.1", server.http_port), timeout=10) as sock:
            sock.sendall(request(f"/cam{i % 2}.jpg"))
            assert sock.recv(64).split(b" ")[1] == b"200"
    elif kind == 4:
        with socket.create_connection(("127.0.0.1", server.http_port), timeout=10) as sock:
            sock.sendall(request("/api/status"))
            sock.recv(4096)
    else:
        # An MSE viewer: its first frames, acknowledged or not.
        ws = WebSocket("127.0.0.1", server.http_port, f"/cam{i % 2}/mse")
        binary = 0
        while binary < 3:
            kind_received, _ = ws.receive()
            if kind_received == BINARY:
                binary += 1
                if i % 4 == 1:
                    ws.send(f"ack {binary}".encode())
        ws.close()


def test_hundreds_of_connects_and_disconnects_return_to_baseline(start_server) -> None:
    server = start_server("--size", "320x240", "--linger", "1")
    pid = server.process.pid
    for i in range(20):
        one_of_each(server, i)
    wait_for(lambda: cameras_closed(server), 90, "the cameras to close after the warm-up")
    baseline = resources(pid)
    for i in range(CYCLES):
        one_of_each(server, i)
    wait_for(lambda: cameras_closed(server), 90, "the cameras to close after the churn")
    wait_for(lambda: resources(pid)["fds"] <= baseline["fds"] + 2, 30, "file descriptors to be given back")
    after = resources(pid)
    assert after["threads"] <= baseline["threads"] + 2, (baseline, after)
    # The sanitizers' allocators keep what is freed (and ThreadSanitizer adds
    # its shadow of every thread's accesses): there, AddressSanitizer's leak
    # check at exit is what proves nothing leaked.
    margin_mb = 128 if "ASAN_OPTIONS" in os.environ or "TSAN_OPTIONS" in os.environ else 16
    assert after["rss_kb"] <= baseline["rss_kb"] + margin_mb * 1024, (baseline, after)
    assert server.opens(0) == server.closes(0) and server.opens(1) == server.closes(1)
