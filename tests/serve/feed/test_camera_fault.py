"""A camera that fails and comes back: its viewers stay, hear why, and get
frames again; the other camera is not disturbed.

The simulator fails camera 1's reads 45 to 48. Each failure closes the
camera, and each retry (after 1, 2, 4 and 8 s) uses up one of the failing
reads, so the camera fails for about 15 s and then recovers.
"""
from __future__ import annotations

import time
from pathlib import Path
from browser import Browser
from clients import MjpegReader, RtspReader
from conftest import run, status, wait_for

FPS = 15
FAULT = "ReadFrameFromCamera:1@45+4"
def camera(server, camera_id: int) -> dict:
    return next(c for c in status(server)["cameras"] if c["id"] == camera_id)


def test_a_failing_camera_reports_why_keeps_its_viewers_and_recovers(start_server, workdir: Path) -> None:
    server = start_server("--size", "320x240", "--fps", str(FPS), env={"BOARDSIM_FAIL": FAULT})
    mjpeg = [MjpegReader(server.http_port, f"/cam{i}.mjpg") for i in (0, 1)]
    for reader in mjpeg:
        reader.start()
    rtsp = RtspReader(server.rtsp(1))
    rtsp.start()
    started = time.monotonic()
    frames_at_start = camera(server, 0)["frames"]

    wait_for(lambda: camera(server, 1)["error"] is not None, 30, "camera 1's error in the status")
    failed_at = time.monotonic()
    failing = camera(server, 1)
    assert "Could not read a frame from camera 1" in failing["error"]["message"]
    assert failing["error"]["since"].endswith("Z") and failing["streaming"] is False
    assert failing["errors_total"] >= 1
    assert camera(server, 0)["error"] is None

    metrics = run(["curl", "-s", server.url("/metrics")]).stdout.decode()
    assert 'boardcam_camera_errors_total{camera="0"} 0' in metrics
    assert 'boardcam_camera_errors_total{camera="1"} ' in metrics
    assert 'boardcam_camera_errors_total{camera="1"} 0' not in metrics

    snapshot = run(["curl", "-s", "-w", "\n%{http_code}", server.url("/cam1.jpg")]).stdout.decode()
    assert snapshot.endswith("\n503") and "Could not read a frame from camera 1" in snapshot, snapshot

    browser = Browser(workdir)
    try:
        browser.open(server.url("/"))
        shown = browser.wait_for("document.querySelector('#cam1 .fault')?.textContent", 20,
                                 "the tile to show the error")
        assert "Could not read a frame from camera 1" in shown and "retrying" in shown, shown
        assert browser.evaluate("document.querySelector('#cam0 .fault').textContent") == ""
        assert "retrying" in browser.evaluate("document.querySelector('#cam1 dd.fps').textContent")

        wait_for(lambda: camera(server, 1)["error"] is None, 60, "camera 1 to recover")
        recovered_at = time.monotonic()
        wait_for(lambda: len(mjpeg[1].arrivals) > 0 and mjpeg[1].arrivals[-1] > recovered_at + 1, 30,
                 "MJPEG frames of camera 1 after the recovery")
        wait_for(lambda: len(rtsp.arrivals) > 0 and rtsp.arrivals[-1] > recovered_at + 1, 30,
                 "RTSP frames of camera 1 after the recovery")
        recovered = camera(server, 1)
        assert recovered["error"] is None and recovered["streaming"] is True
        assert recovered["errors_total"] == 4, recovered
        browser.wait_for("document.querySelector('#cam1 .fault').textContent === ''", 20,
                         "the tile to clear the error")
        assert browser.evaluate("document.querySelector('#cam1 dd.errors').textContent") == "4"
    finally:
        browser.close()

    ended = time.monotonic()
    frames_read = camera(server, 0)["frames"] - frames_at_start
    for reader in mjpeg:
        reader.stop()
    rtsp_error = rtsp.stop()
    assert rtsp_error == "", "the RTSP session ended on its own:\n" + rtsp_error

    # One session and one connection each, with frames on both sides of the outage.
    for arrivals in (mjpeg[1].arrivals, rtsp.arrivals):
        assert any(t < failed_at for t in arrivals) and any(t > recovered_at for t in arrivals)
    # Camera 0 ran at its rate through it all, and its viewer got its frames.
    seconds = ended - started
    assert frames_read >= 0.9 * FPS * seconds, f"camera 0 read {frames_read} frames in {seconds:.1f} s"
    assert len(mjpeg[0].arrivals) >= 0.9 * frames_read, f"{len(mjpeg[0].arrivals)} of {frames_read}"
    # Each attempt is logged once, not once a frame; the recovery once.
    log = server.stderr()
    assert log.count("camera 1: Could not read a frame") == 4, log
    assert "retrying in 1 s" in log and "retrying in 8 s" in log, log
    assert log.count("frames flow again after 4 failures") == 1, log
    assert "camera 0:" not in log, log
