"""Many clients at once, and one that stops reading: nobody else notices."""
from __future__ import annotations

import json
import re
import subprocess
import time

from clients import MjpegReader, stalled_stream
from conftest import run, wait_for

SECONDS = 6


def rtsp_frames(server, camera: int) -> subprocess.Popen:
    """ffmpeg counting the access units of SECONDS of stream time."""
    return subprocess.Popen(["ffmpeg", "-v", "error", "-rtsp_transport", "tcp", "-i", server.rtsp(camera),
                             "-t", str(SECONDS), "-c", "copy", "-f", "null", "-progress", "pipe:1", "-"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def status(server) -> dict:
    return json.loads(run(["curl", "-s", server.url("/api/status")]).stdout)


def test_eight_mjpeg_and_four_rtsp_clients_all_get_their_frames(start_server) -> None:
    fps = 30
    server = start_server("--size", "320x240", "--fps", str(fps))
    readers = [MjpegReader(server.http_port, f"/cam{i % 2}.mjpg") for i in range(8)]
    for reader in readers:
        reader.start()
    players = [rtsp_frames(server, i % 2) for i in range(4)]
    time.sleep(SECONDS + 1)
    for reader in readers:
        reader.stop()
    for player in players:
        out, err = player.communicate(timeout=30)
        frames = [int(n) for n in re.findall(rb"^frame=(\d+)", out, re.M)]
        assert frames and frames[-1] >= 0.9 * fps * SECONDS, (frames[-1:], err.decode())
    for reader in readers:
        assert reader.status == 200
        assert reader.rate() >= 0.9 * fps, f"{reader.path}: {reader.rate():.1f} fps"
        assert len(reader.arrivals) >= 0.9 * fps * (SECONDS - 1)


def test_a_stalled_client_slows_nobody_and_is_counted_then_dropped(start_server) -> None:
    fps = 30
    server = start_server("--cameras", "0", "--size", "1280x720", "--fps", str(fps), "--jpeg-quality", "95")
    stalled = stalled_stream(server.http_port, "/cam0.mjpg")
    try:
        wait_for(lambda: status(server)["cameras"][0]["dropped"]["clients"] > 0, 20, "drops for the stalled client")
        reader = MjpegReader(server.http_port, "/cam0.mjpg")
        reader.start()
        time.sleep(4)
        reader.stop()
        assert reader.rate() >= 0.9 * fps, f"{reader.rate():.1f} fps beside a stalled client"
        camera = status(server)["cameras"][0]
        assert camera["measured_fps"] >= 0.9 * fps
        # Loose: only a camera held up by the stalled client loses this many.
        assert camera["dropped"]["camera"] <= 0.1 * camera["frames"]
        # Ten seconds without progress: the stalled client is let go.
        wait_for(lambda: status(server)["cameras"][0]["clients"]["mjpeg"] == 0, 20, "the stalled client to go")
        metrics = run(["curl", "-s", server.url("/metrics")]).stdout.decode()
        drops = re.search(r'boardcam_dropped_frames_total\{camera="0",reason="slow_client"\} (\d+)', metrics)
        assert drops and int(drops.group(1)) > 0
    finally:
        stalled.close()
