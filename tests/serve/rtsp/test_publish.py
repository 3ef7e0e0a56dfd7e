"""--publish pushes each camera to a media server that records it."""
from __future__ import annotations

import os
import subprocess
import threading
import time
from collections import Counter


def test_each_camera_arrives_at_the_media_server(start_server) -> None:
    receiver = subprocess.Popen([os.environ["BOARDCAM_TEST_RECORD_RECEIVER"]], stdout=subprocess.PIPE, text=True)
    try:
        port = int(receiver.stdout.readline().split()[1])
        frames: Counter = Counter()

        def count() -> None:
            for line in receiver.stdout:
                frames[line.split()[1]] += 1

        threading.Thread(target=count, daemon=True).start()
        server = start_server("--size", "320x240", "--publish", f"rtsp://127.0.0.1:{port}/live")
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and min(frames["/live/cam0"], frames["/live/cam1"]) < 60:
            time.sleep(0.2)
        assert frames["/live/cam0"] >= 60 and frames["/live/cam1"] >= 60, dict(frames)
        # Publishing holds the cameras open without any viewer.
        assert server.opens(0) == 1 and server.opens(1) == 1
    finally:
        receiver.terminate()
        receiver.wait()
