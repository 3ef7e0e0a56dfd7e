"""Many clients at once, each getting its frames."""
from __future__ import annotations

import re
import subprocess
import time

from clients import MjpegReader

SECONDS = 6


def rtsp_frames(server, camera: int) -> subprocess.Popen:
    """ffmpeg counting the access units of SECONDS of stream time."""
    return subprocess.Popen(["ffmpeg", "-v", "error", "-rtsp_transport", "tcp", "-i", server.rtsp(camera),
                             "-t", str(SECONDS), "-c", "copy", "-f", "null", "-progress", "pipe:1", "-"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


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
