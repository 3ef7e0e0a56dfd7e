"""A client that stops reading: nobody else notices, its losses are counted, and it is let go."""
from __future__ import annotations

import json
import re
import time

from clients import MjpegReader, stalled_stream
from conftest import run, wait_for


def status(server) -> dict:
    return json.loads(run(["curl", "-s", server.url("/api/status")]).stdout)


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
