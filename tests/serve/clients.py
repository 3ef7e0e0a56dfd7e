"""Small scripted clients for what no real client does on purpose: reading
an MJPEG stream with arrival times, holding a stream without reading it,
and speaking RTSP one request at a time."""
from __future__ import annotations

import base64
import re
import socket
import subprocess
import threading
import time
from typing import List, Optional


class MjpegReader(threading.Thread):
    """Reads /cam<N>.mjpg and notes when each complete JPEG arrived."""

    def __init__(self, port: int, path: str, auth: Optional[str] = None) -> None:
        super().__init__(daemon=True)
        self.port, self.path, self.auth = port, path, auth
        self.arrivals: List[float] = []
        self.status = 0
        self._done = threading.Event()

    def run(self) -> None:
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as sock:
            sock.sendall(request(self.path, self.auth))
            data = b""
            while not self._done.is_set():
                try:
                    chunk = sock.recv(65536)
                except socket.timeout:
                    continue
                if not chunk:
                    return
                data += chunk
                if not self.status and b"\r\n\r\n" in data:
                    self.status = int(data.split(b" ", 2)[1])
                # Each part header announces its length; a part is complete
                # once that many bytes follow the header.
                while True:
                    match = re.search(rb"Content-Type: image/jpeg\r\nContent-Length: (\d+)\r\n\r\n", data)
                    if not match or len(data) < match.end() + int(match.group(1)):
                        break
                    self.arrivals.append(time.monotonic())
                    data = data[match.end() + int(match.group(1)):]

    def stop(self) -> None:
        self._done.set()
        self.join(timeout=15)

    def rate(self) -> float:
        if len(self.arrivals) < 2:
            return 0.0
        return (len(self.arrivals) - 1) / (self.arrivals[-1] - self.arrivals[0])


class ThrottledMjpegReader(threading.Thread):
    """Reads /cam<N>.mjpg no faster than `bytes_per_s`, as over a slow link,
    and notes when each frame's last byte came. The frames' stamps (the
    simulator's capture times) are decoded after the reading, so that the
    decoding never holds the reading up.

    Its receive buffer is fixed and small, as a slow link holds little in
    flight: left to the kernel's autotuning, it grows while the reader lags
    and holds half a second of frames the server can neither see nor bound
    (500 ms seen under AddressSanitizer, with a fast reader's at 30)."""

    RECEIVE_BUFFER = 64 << 10

    def __init__(self, port: int, path: str, bytes_per_s: float) -> None:
        super().__init__(daemon=True)
        self.port, self.path, self.rate = port, path, bytes_per_s
        self.frames: List[tuple] = []  # (CLOCK_MONOTONIC ns when complete, JPEG)
        self.received = 0
        self._done = threading.Event()

    def run(self) -> None:
        started = time.monotonic()
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, self.RECEIVE_BUFFER)
            sock.settimeout(10)
            sock.connect(("127.0.0.1", self.port))
            sock.sendall(request(self.path))
            data = b""
            while not self._done.is_set():
                # Never ahead of the link's pace: wait until the bytes so far
                # would have taken this long.
                ahead = self.received / self.rate - (time.monotonic() - started)
                if ahead > 0:
                    time.sleep(ahead)
                try:
                    chunk = sock.recv(16384)
                except socket.timeout:
                    continue
                if not chunk:
                    return
                self.received += len(chunk)
                data += chunk
                while True:
                    match = re.search(rb"Content-Type: image/jpeg\r\nContent-Length: (\d+)\r\n\r\n", data)
                    if not match or len(data) < match.end() + int(match.group(1)):
                        break
                    self.frames.append((time.clock_gettime_ns(time.CLOCK_MONOTONIC),
                                        data[match.end():match.end() + int(match.group(1))]))
                    data = data[match.end() + int(match.group(1)):]

    def stop(self) -> None:
        self._done.set()
        self.join(timeout=15)

    def ages_ms(self) -> List[float]:
        """How old each frame was when its last byte came."""
        import cv2
        import numpy as np
        from frame_stamp import stamp_at, stamp_difference_s, stamp_of
        ages = []
        for arrived, jpeg in self.frames:
            luma = cv2.imdecode(np.frombuffer(jpeg, np.uint8), cv2.IMREAD_GRAYSCALE)
            ages.append(stamp_difference_s(stamp_at(arrived), stamp_of(luma)) * 1e3)
        return ages


# Frames are decoded and scaled down to this many grey bytes: the test needs
# their arrival times, not their pixels.
SMALL = (32, 24)


class RtspReader(threading.Thread):
    """ffmpeg playing one RTSP session over TCP; notes when each frame arrived."""

    def __init__(self, url: str) -> None:
        super().__init__(daemon=True)
        self.arrivals: List[float] = []
        self.process = subprocess.Popen(
            ["ffmpeg", "-v", "error", "-rtsp_transport", "tcp", "-i", url, "-vf", f"scale={SMALL[0]}:{SMALL[1]}",
             "-pix_fmt", "gray", "-fps_mode", "passthrough", "-f", "rawvideo", "-"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def run(self) -> None:
        size = SMALL[0] * SMALL[1]
        assert self.process.stdout is not None
        while True:
            frame = self.process.stdout.read(size)
            if len(frame) < size:
                return
            self.arrivals.append(time.monotonic())

    def stop(self) -> str:
        alive = self.process.poll() is None
        self.process.terminate()
        _, err = self.process.communicate(timeout=15)
        self.join(timeout=15)
        return "" if alive else err.decode(errors="replace")


def request(path: str, auth: Optional[str] = None) -> bytes:
    head = f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
    if auth:
        head += "Authorization: Basic " + base64.b64encode(auth.encode()).decode() + "\r\n"
    return (head + "\r\n").encode()


def stalled_stream(port: int, path: str) -> socket.socket:
    """A stream that is requested and never read, with a small receive buffer."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.connect(("127.0.0.1", port))
    sock.sendall(request(path))
    return sock


class RtspSession:
    """One RTSP connection, spoken a request at a time, media interleaved over TCP."""

    def __init__(self, port: int, timeout: float = 10) -> None:
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.cseq = 0
        self.session: Optional[str] = None
        self.buffer = b""

    def send(self, method: str, url: str, headers: str = "") -> str:
        self.cseq += 1
        extra = f"Session: {self.session}\r\n" if self.session else ""
        self.sock.sendall(f"{method} {url} RTSP/1.0\r\nCSeq: {self.cseq}\r\n{extra}{headers}\r\n".encode())
        return self.reply()

    def reply(self) -> str:
        # Skip interleaved media ($ channel length payload) until a reply.
        while True:
            while len(self.buffer) < 4:
                self._fill()
            if self.buffer[:1] == b"$":
                length = int.from_bytes(self.buffer[2:4], "big")
                while len(self.buffer) < 4 + length:
                    self._fill()
                self.buffer = self.buffer[4 + length:]
                continue
            while b"\r\n\r\n" not in self.buffer:
                self._fill()
            head, _, rest = self.buffer.partition(b"\r\n\r\n")
            length = re.search(rb"Content-Length: (\d+)", head, re.I)
            body_length = int(length.group(1)) if length else 0
            while len(rest) < body_length:
                self._fill()
                head, _, rest = self.buffer.partition(b"\r\n\r\n")
            self.buffer = rest[body_length:]
            text = head.decode(errors="replace")
            session = re.search(r"Session: ([^;\r\n]+)", text)
            if session:
                self.session = session.group(1)
            return text

    def media_packets(self, count: int) -> int:
        """Reads `count` interleaved packets; returns how many came."""
        got = 0
        while got < count:
            while len(self.buffer) < 4:
                self._fill()
            if self.buffer[:1] != b"$":
                return got
            length = int.from_bytes(self.buffer[2:4], "big")
            while len(self.buffer) < 4 + length:
                self._fill()
            self.buffer = self.buffer[4 + length:]
            got += 1
        return got

    def _fill(self) -> None:
        chunk = self.sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed by the server")
        self.buffer += chunk

    def play(self, url: str) -> str:
        """DESCRIBE, SETUP over TCP and PLAY; returns the PLAY reply's status line."""
        described = self.send("DESCRIBE", url, "Accept: application/sdp\r\n")
        if " 200 " not in described.splitlines()[0]:
            return described.splitlines()[0]
        control = url + "/stream=0"
        self.send("SETUP", control, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n")
        return self.send("PLAY", url, "Range: npt=0-\r\n").splitlines()[0]

    def close(self) -> None:
        self.sock.close()
