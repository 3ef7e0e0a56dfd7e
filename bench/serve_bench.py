#!/usr/bin/python3
"""boardcam-serve's figures on the simulated scene: glass-to-glass latency
(RTSP and MJPEG), CPU per camera and per added client, and time to first
frame. Prints Markdown tables.

  serve_bench.py SERVE PLUGIN_DIR [SECONDS]

The simulator stamps each frame's capture time into its pixels
(BOARDSIM_STAMP=1); a client decodes the stamp from what it received and
compares it with the clock, so the figure covers the sensor, both encoders,
the network stack, the client's decoder and everything between.
"""
from __future__ import annotations

import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Dict, List, Optional

import cv2
import gi
import numpy as np

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402

# The tests' reading of the simulator's stamp: one decoder for both.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "serve"))
from frame_stamp import age_ms as latency_ms  # noqa: E402

WIDTH, HEIGHT, FPS = 1280, 720, 30


class Server:
    """One boardcam-serve on free ports, the simulated scene stamped with
    each frame's capture time unless told otherwise."""

    def __init__(self, serve: str, plugins: str, *args: str, stamp: bool = True) -> None:
        self.dir = tempfile.mkdtemp(prefix="serve-bench-")
        env = dict(os.environ, GST_PLUGIN_PATH=plugins, BOARDSIM_PATTERN="scene",
                   BOARDSIM_CALL_LOG=os.path.join(self.dir, "calls"))
        if stamp:
            env["BOARDSIM_STAMP"] = "1"
        self.err = open(os.path.join(self.dir, "err"), "w+")
        self.process = subprocess.Popen([serve, "--rtsp-port", "0", "--http-port", "0", "--library-log",
                                         os.path.join(self.dir, "boardcam.log"), *args],
                                        stderr=self.err, stdout=subprocess.DEVNULL, env=env)
        while True:
            self.err.seek(0)
            match = re.search(r"http://[^:]+:(\d+)/, streams at rtsp://[^:]+:(\d+)/", self.err.read())
            if match:
                self.http, self.rtsp = int(match.group(1)), int(match.group(2))
                return
            if self.process.poll() is not None:
                raise SystemExit("boardcam-serve did not start")
            time.sleep(0.05)

    def url(self, path: str) -> str:
        return f"http://127.0.0.1:{self.http}{path}"

    def cpu_seconds(self) -> float:
        fields = open(f"/proc/{self.process.pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def streaming(self, camera: int = 0) -> bool:
        out = subprocess.run(["curl", "-s", self.url("/api/status")], capture_output=True).stdout
        return json.loads(out)["cameras"][camera]["streaming"]

    def stop(self) -> None:
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=10)


class RtspClient:
    """rtspsrc latency=0, decoded to grey; notes each frame's latency."""

    def __init__(self, url: str) -> None:
        self.pipeline = Gst.parse_launch(
            f"rtspsrc location={url} latency=0 protocols=tcp ! rtph264depay ! avdec_h264 ! videoconvert ! "
            "video/x-raw,format=GRAY8 ! appsink name=sink emit-signals=true sync=false max-buffers=2 drop=true")
        self.latencies: List[float] = []
        self.first_frame: Optional[float] = None
        self.started = time.monotonic()
        self.pipeline.get_by_name("sink").connect("new-sample", self._on_sample)

    def _on_sample(self, sink) -> Gst.FlowReturn:
        sample = sink.emit("pull-sample")
        if self.first_frame is None:
            self.first_frame = time.monotonic() - self.started
        caps = sample.get_caps().get_structure(0)
        width, height = caps.get_value("width"), caps.get_value("height")
        buffer = sample.get_buffer()
        ok, info = buffer.map(Gst.MapFlags.READ)
        if ok:
            stride = len(info.data) // height
            luma = np.frombuffer(info.data, dtype=np.uint8).reshape(height, stride)[:, :width]
            self.latencies.append(latency_ms(luma))
            buffer.unmap(info)
        return Gst.FlowReturn.OK

    def start(self) -> "RtspClient":
        self.started = time.monotonic()
        self.pipeline.set_state(Gst.State.PLAYING)
        return self

    def stop(self) -> None:
        self.pipeline.set_state(Gst.State.NULL)


class MjpegClient(threading.Thread):
    """Reads an MJPEG stream, decodes each JPEG, notes its latency."""

    def __init__(self, port: int, camera: int) -> None:
        super().__init__(daemon=True)
        self.port, self.camera = port, camera
        self.latencies: List[float] = []
        self.done = threading.Event()

    def run(self) -> None:
        with socket.create_connection(("127.0.0.1", self.port)) as sock:
            sock.sendall(f"GET /cam{self.camera}.mjpg HTTP/1.1\r\nHost: x\r\n\r\n".encode())
            data = b""
            while not self.done.is_set():
                data += sock.recv(1 << 20)
                while True:
                    match = re.search(rb"Content-Length: (\d+)\r\n\r\n", data)
                    if not match or len(data) < match.end() + int(match.group(1)):
                        break
                    jpeg = data[match.end(): match.end() + int(match.group(1))]
                    data = data[match.end() + int(match.group(1)):]
                    luma = cv2.imdecode(np.frombuffer(jpeg, dtype=np.uint8), cv2.IMREAD_GRAYSCALE)
                    self.latencies.append(latency_ms(luma))


def percentiles(values: List[float]) -> str:
    values = values[5:]  # the first frames include the camera's start
    return f"{np.percentile(values, 50):.1f} | {np.percentile(values, 95):.1f} | {len(values)}"


def bench_latency(serve: str, plugins: str, seconds: float) -> None:
    server = Server(serve, plugins, "--size", f"{WIDTH}x{HEIGHT}", "--fps", str(FPS))
    rtsp = [RtspClient(f"rtsp://127.0.0.1:{server.rtsp}/cam{c}").start() for c in (0, 1)]
    mjpeg = [MjpegClient(server.http, c) for c in (0, 1)]
    for client in mjpeg:
        client.start()
    time.sleep(seconds)
    for client in rtsp:
        client.stop()
    for client in mjpeg:
        client.done.set()
    server.stop()
    print(f"\nGlass-to-glass latency, {WIDTH}x{HEIGHT} at {FPS} fps, both cameras, scene, localhost, "
          f"{seconds:.0f} s, all four streams at once (ms):\n")
    print("| stream | camera | p50 | p95 | frames |\n| --- | ---: | ---: | ---: | ---: |")
    for c in (0, 1):
        print(f"| RTSP (rtspsrc latency=0, avdec_h264) | {c} | {percentiles(rtsp[c].latencies)} |")
    for c in (0, 1):
        print(f"| MJPEG (decoded with OpenCV) | {c} | {percentiles(mjpeg[c].latencies)} |")


def cpu_share(server: Server, seconds: float) -> float:
    before, start = server.cpu_seconds(), time.monotonic()
    time.sleep(seconds)
    return 100 * (server.cpu_seconds() - before) / (time.monotonic() - start)


def bench_cpu(serve: str, plugins: str, seconds: float) -> None:
    print(f"\nCPU of boardcam-serve, one camera at {WIDTH}x{HEIGHT} {FPS} fps, scene (% of one core, "
          f"{seconds:.0f} s each):\n")
    print("| clients | MJPEG | H.264 (RTSP over TCP) |\n| --- | ---: | ---: |")
    results: Dict[str, Dict[int, float]] = {"mjpeg": {}, "rtsp": {}}
    for kind in ("mjpeg", "rtsp"):
        server = Server(serve, plugins, "--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}", "--fps", str(FPS),
                        stamp=False)
        time.sleep(1)
        results[kind][0] = cpu_share(server, seconds)
        clients: List[subprocess.Popen] = []
        for count in (1, 2, 4, 8):
            while len(clients) < count:
                if kind == "mjpeg":
                    command = ["curl", "-s", "-N", "-o", "/dev/null", f"http://127.0.0.1:{server.http}/cam0.mjpg"]
                else:
                    command = ["ffmpeg", "-v", "quiet", "-rtsp_transport", "tcp", "-i",
                               f"rtsp://127.0.0.1:{server.rtsp}/cam0", "-c", "copy", "-f", "null", "-"]
                clients.append(subprocess.Popen(command, stdin=subprocess.DEVNULL))
            time.sleep(1.5)
            results[kind][count] = cpu_share(server, seconds)
        for client in clients:
            client.terminate()
            client.wait()
        server.stop()
    for count in (0, 1, 2, 4, 8):
        print(f"| {count} | {results['mjpeg'][count]:.1f} | {results['rtsp'][count]:.1f} |")
    for kind in ("mjpeg", "rtsp"):
        per_client = (results[kind][8] - results[kind][1]) / 7
        print(f"\n{kind.upper()}: each client after the first adds {per_client:.2f}% of a core.")


def bench_first_frame(serve: str, plugins: str, runs: int) -> None:
    server = Server(serve, plugins, "--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}", "--fps", str(FPS),
                    "--linger", "1", stamp=False)
    url = f"rtsp://127.0.0.1:{server.rtsp}/cam0"

    def first_frame() -> float:
        client = RtspClient(url).start()
        while client.first_frame is None and time.monotonic() - client.started < 10:
            time.sleep(0.005)
        client.stop()
        return client.first_frame if client.first_frame is not None else float("inf")

    closed = []
    for _ in range(runs):
        time.sleep(2.5)  # past the linger: the camera is closed
        closed.append(first_frame())
    watcher = RtspClient(url).start()
    time.sleep(2)
    streaming = [first_frame() for _ in range(runs)]
    watcher.stop()
    server.stop()
    print(f"\nTime to first decoded frame for a new RTSP client, {WIDTH}x{HEIGHT} at {FPS} fps, {runs} runs (s):\n")
    print("| camera | median | worst |\n| --- | ---: | ---: |")
    print(f"| closed (opened for the client) | {np.median(closed):.3f} | {max(closed):.3f} |")
    print(f"| already streaming to another client | {np.median(streaming):.3f} | {max(streaming):.3f} |")


def main() -> None:
    serve, plugins = sys.argv[1], sys.argv[2]
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 10
    Gst.init(None)
    bench_latency(serve, plugins, seconds)
    bench_first_frame(serve, plugins, 5)
    bench_cpu(serve, plugins, seconds / 2)


if __name__ == "__main__":
    main()
