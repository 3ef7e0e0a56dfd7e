"""Every kind of client a server can have at the moment it is told to stop:
players of every protocol, stalled viewers (MJPEG, MSE), connections that never finish
their request or their TLS handshake, and one hanging up as the stop comes."""
from __future__ import annotations

import json
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import List, Optional

from clients import MjpegReader, stalled_stream
from websocket_client import WebSocket


def make_certificate(directory: Path) -> tuple:
    cert, key = directory / "cert.pem", directory / "key.pem"
    if not cert.exists():
        made = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                               "-subj", "/CN=127.0.0.1", "-keyout", str(key), "-out", str(cert)],
                              capture_output=True, timeout=60)
        assert made.returncode == 0, made.stderr.decode()
    return cert, key


class EveryClient:
    """Connects them all to `server`; close() lets go of whatever is left."""

    def __init__(self, server, tls: bool, certificate: Optional[Path] = None) -> None:
        self.processes: List[subprocess.Popen] = []
        self.sockets: List[socket.socket] = []
        self.readers: List[MjpegReader] = []
        quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "stdin": subprocess.DEVNULL}
        # Players: RTSP over TCP (and UDP without TLS), MJPEG over HTTP(S).
        for camera in (0, 1):
            self.processes.append(subprocess.Popen(
                ["ffmpeg", "-v", "error", "-rtsp_transport", "tcp", "-i", server.rtsp(camera), "-f", "null", "-"],
                **quiet))
        if not tls:
            self.processes.append(subprocess.Popen(
                ["ffmpeg", "-v", "error", "-rtsp_transport", "udp", "-i", server.rtsp(1), "-f", "null", "-"],
                **quiet))
            self.readers.append(MjpegReader(server.http_port, "/cam0.mjpg"))
            self.sockets.append(stalled_stream(server.http_port, "/cam1.mjpg"))

        else:
            self.processes.append(subprocess.Popen(
                ["curl", "-s", "-k", "-N", "-o", "/dev/null", server.url("/cam0.mjpg")], **quiet))
        self.processes.append(subprocess.Popen(
            ["curl", "-s", "-k", "-o", "/dev/null", "--max-time", "30", server.url("/cam1.jpg")], **quiet))
        # An MSE viewer that reads nothing (over TLS with TLS): its frames wait
        # in the server.
        self.sockets.append(WebSocket("127.0.0.1", server.http_port, "/cam0/mse", receive_buffer=4096,
                                      cafile=str(certificate) if tls and certificate else None).sock)
        # A WebRTC viewer, over HTTPS with TLS.
        whep = [sys.executable, str(Path(__file__).with_name("whep_client.py")), server.url("/cam1/whep"),
                "--seconds", "120"] + (["--cafile", str(certificate)] if tls and certificate else [])
        self.processes.append(subprocess.Popen(whep, **quiet))
        for reader in self.readers:
            reader.start()
        # Connections stuck half way: a request never ended, on each port;
        # over TLS the bytes are not a handshake, and one sends nothing.
        for port in (server.http_port, server.rtsp_port):
            half = socket.create_connection(("127.0.0.1", port), timeout=10)
            half.sendall(b"GET /api/status HTTP/1.1\r\nHost: x\r\n" if port == server.http_port
                         else b"OPTIONS rtsp://127.0.0.1/cam0 RTSP/1.0\r\nCSeq: 1\r\n")
            self.sockets.append(half)
            self.sockets.append(socket.create_connection(("127.0.0.1", port), timeout=10))
        # One more player, to be killed as the stop comes: a client being closed.
        self.leaving: Optional[subprocess.Popen] = subprocess.Popen(
            ["ffmpeg", "-v", "error", "-rtsp_transport", "tcp", "-i", server.rtsp(0), "-f", "null", "-"], **quiet)
        self.processes.append(self.leaving)

    def playing(self, server, timeout: float = 30) -> None:
        """Waits until the players are counted by the server."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            got = subprocess.run(["curl", "-s", "-k", server.url("/api/status")], capture_output=True, timeout=10)
            try:
                cameras = json.loads(got.stdout)["cameras"]
            except ValueError:
                cameras = []
            if sum(c["clients"]["rtsp"] for c in cameras) >= 2 and all(c["streaming"] for c in cameras) and \
                    sum(c["clients"]["webrtc"] for c in cameras) >= 1 and \
                    sum(c["clients"]["mse"] for c in cameras) >= 1:
                return
            time.sleep(0.1)
        raise AssertionError("the players never started")

    def hang_up_one(self) -> None:
        if self.leaving is not None:
            self.leaving.kill()

    def close(self) -> None:
        for reader in self.readers:
            reader.stop()
        for sock in self.sockets:
            sock.close()
        end_processes(self.processes)


def end_processes(processes: List[subprocess.Popen]) -> None:
    """Terminates every process still running and waits for it (killing one
    that does not end in 10 s)."""
    for process in processes:
        if process.poll() is None:
            process.terminate()
    for process in processes:
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
