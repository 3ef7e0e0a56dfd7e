"""Cameras open only while someone watches, once however many watch, and close after the linger."""
from __future__ import annotations

import subprocess
import time

from conftest import run, wait_for


def watch_mjpeg(server, camera: int) -> subprocess.Popen:
    return subprocess.Popen(["curl", "-s", "-N", "-o", "/dev/null", server.url(f"/cam{camera}.mjpg")])


def watch_rtsp(server, camera: int) -> subprocess.Popen:
    return subprocess.Popen(["gst-launch-1.0", "-q", "rtspsrc", f"location={server.rtsp(camera)}",
                             "protocols=tcp", "!", "fakesink"], stdout=subprocess.DEVNULL)


def test_no_camera_opens_before_the_first_client(start_server) -> None:
    server = start_server("--size", "320x240")
    time.sleep(1.5)
    run(["curl", "-s", server.url("/")])
    run(["curl", "-s", server.url("/api/status")])
    run(["curl", "-s", server.url("/metrics")])
    assert server.opens(0) == 0 and server.opens(1) == 0, server.calls()


def test_many_clients_share_one_opening_and_the_camera_closes_after_the_linger(start_server) -> None:
    server = start_server("--size", "320x240", "--linger", "2")
    clients = [watch_mjpeg(server, 0) for _ in range(3)] + [watch_rtsp(server, 0) for _ in range(2)]
    clients += [watch_mjpeg(server, 1), watch_rtsp(server, 1)]
    try:
        time.sleep(3)
        assert server.opens(0) == 1 and server.opens(1) == 1, server.calls()
        assert run(["curl", "-s", "-f", "-o", "/dev/null", server.url("/cam0.jpg")]).returncode == 0
        assert server.opens(0) == 1
    finally:
        for client in clients:
            client.terminate()
            client.wait()
    left = time.monotonic()
    # Still open within the linger...
    time.sleep(1)
    assert server.closes(0) == 0 and server.closes(1) == 0, server.calls()
    # ...and closed once it has passed.
    wait_for(lambda: server.closes(0) == 1 and server.closes(1) == 1, 10, "both cameras to close")
    assert time.monotonic() - left >= 1.9
    assert server.opens(0) == 1 and server.opens(1) == 1


def test_a_client_within_the_linger_keeps_the_camera_open(start_server) -> None:
    server = start_server("--cameras", "1", "--size", "320x240", "--linger", "3")
    assert run(["curl", "-s", "-f", "-o", "/dev/null", server.url("/cam1.jpg")]).returncode == 0
    time.sleep(1)
    assert run(["curl", "-s", "--max-time", "1", "-o", "/dev/null", server.url("/cam1.mjpg")]).returncode == 28
    assert server.opens(1) == 1 and server.closes(1) == 0, server.calls()
    wait_for(lambda: server.closes(1) == 1, 10, "camera 1 to close")


def test_sigterm_while_streaming_closes_everything_quickly(start_server) -> None:
    server = start_server("--size", "640x480")
    clients = [watch_mjpeg(server, 0), watch_rtsp(server, 1)]
    try:
        wait_for(lambda: server.opens(0) == 1 and server.opens(1) == 1, 10, "both cameras to open")
        time.sleep(1)
        # stop() checks exit 0, no live device buffer and the closing line.
        assert server.stop() < 2
    finally:
        for client in clients:
            client.terminate()
            client.wait()
    assert server.closes(0) == 1 and server.closes(1) == 1, server.calls()
