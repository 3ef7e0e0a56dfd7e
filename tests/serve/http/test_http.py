"""HTTP as browsers and scripts use it: curl for snapshots, streams and errors."""
from __future__ import annotations

import json
import socket
import subprocess
import time

import cv2
import numpy as np

from conftest import jpeg_parts, run


def fetch(url: str, *extra: str) -> subprocess.CompletedProcess:
    return run(["curl", "-s", "-k", "-w", "\n%{http_code}", *extra, url])


def status_code(result: subprocess.CompletedProcess) -> int:
    return int(result.stdout.rsplit(b"\n", 1)[1])


def test_snapshot_decodes_at_each_cameras_size(start_server) -> None:
    server = start_server("--size", "640x480,320x240")
    for camera, (width, height) in enumerate([(640, 480), (320, 240)]):
        got = run(["curl", "-s", "-f", "-D", "-", server.url(f"/cam{camera}.jpg")])
        assert got.returncode == 0
        head, _, body = got.stdout.partition(b"\r\n\r\n")
        assert b"image/jpeg" in head
        image = cv2.imdecode(np.frombuffer(body, dtype=np.uint8), cv2.IMREAD_COLOR)
        assert image is not None and image.shape == (height, width, 3)


def test_mjpeg_gives_about_the_cameras_rate_of_valid_jpegs(start_server) -> None:
    server = start_server("--size", "320x240", "--fps", "30")
    seconds = 4
    got = run(["curl", "-s", "-N", "--max-time", str(seconds), server.url("/cam1.mjpg")])
    parts = jpeg_parts(got.stdout)
    # Loose bound: a fault (a frame per client encode, a stall) loses far more.
    assert len(parts) >= 0.8 * 30 * (seconds - 1), len(parts)
    for part in parts[:: max(1, len(parts) // 10)]:
        image = cv2.imdecode(np.frombuffer(part, dtype=np.uint8), cv2.IMREAD_COLOR)
        assert image is not None and image.shape == (240, 320, 3)


def test_status_and_metrics_describe_the_cameras(start_server) -> None:
    server = start_server("--size", "320x240,640x480", "--fps", "15,30")
    streaming = subprocess.Popen(["curl", "-s", "-N", "-o", "/dev/null", server.url("/cam0.mjpg")])
    try:
        time.sleep(2.5)
        status = json.loads(run(["curl", "-s", server.url("/api/status")]).stdout)
        metrics = run(["curl", "-s", server.url("/metrics")]).stdout.decode()
    finally:
        streaming.terminate()
        streaming.wait()
    cam0, cam1 = status["cameras"]
    assert (cam0["id"], cam0["width"], cam0["height"], cam0["fps"]) == (0, 320, 240, 15)
    assert (cam1["id"], cam1["width"], cam1["height"], cam1["fps"]) == (1, 640, 480, 30)
    assert cam0["streaming"] and not cam1["streaming"]
    assert 12 <= cam0["measured_fps"] <= 16 and cam1["measured_fps"] == 0
    assert cam0["clients"] == {"rtsp": 0, "mjpeg": 1, "webrtc": 0, "mse": 0} and cam0["frames"] >= 20
    assert set(cam0["dropped"]) == {"camera", "clients"}
    assert status["uptime_s"] >= 2
    assert 'boardcam_streaming{camera="0"} 1' in metrics and 'boardcam_streaming{camera="1"} 0' in metrics
    assert 'boardcam_clients{camera="0",protocol="mjpeg"} 1' in metrics
    assert 'boardcam_dropped_frames_total{camera="0",reason="camera"}' in metrics
    assert "# TYPE boardcam_frames_total counter" in metrics


def test_unknown_paths_bad_methods_and_malformed_requests(start_server) -> None:
    server = start_server("--cameras", "1", "--size", "320x240")
    for path in ("/cam0.jpg", "/cam0.mjpg", "/cam2.jpg", "/nothing", "/api/status/x"):
        assert status_code(fetch(server.url(path))) == 404, path
    assert status_code(fetch(server.url("/"), "-X", "POST")) == 405
    with socket.create_connection(("127.0.0.1", server.http_port), timeout=5) as raw:
        raw.sendall(b"GARBAGE\r\n\r\n")
        assert raw.recv(100).split(b" ")[1] == b"400"
    assert status_code(fetch(server.url("/cam1.jpg"))) == 200


def test_clients_beyond_the_limit_get_503(start_server) -> None:
    server = start_server("--size", "320x240", "--max-clients", "2")
    watchers = [subprocess.Popen(["curl", "-s", "-N", "-o", "/dev/null", server.url(f"/cam{c}.mjpg")])
                for c in (0, 1)]
    try:
        time.sleep(1.5)
        assert status_code(fetch(server.url("/cam0.mjpg"), "--max-time", "3")) == 503
        assert status_code(fetch(server.url("/cam1.jpg"))) == 503
        probe = run(["ffprobe", "-v", "error", "-rtsp_transport", "tcp", server.rtsp(0)])
        assert b"503" in probe.stderr, probe.stderr.decode()
        # The page and the status are not streams: still served.
        assert status_code(fetch(server.url("/api/status"))) == 200
    finally:
        for watcher in watchers:
            watcher.terminate()
            watcher.wait()
    time.sleep(0.5)
    assert status_code(fetch(server.url("/cam0.jpg"))) == 200
