"""Recording as ffprobe and ffmpeg see it: segments of H.264 in fragmented
MP4, one after another with no frame lost between them, surviving kill -9."""
from __future__ import annotations

import json
import os
import signal
import subprocess
import time
from pathlib import Path
from typing import List

import numpy as np
import pytest

from conftest import run, wait_for
from frame_stamp import STAMP_UNIT_NS, stamp_of

WIDTH, HEIGHT, FPS, SEGMENT_S = 320, 240, 30, 4


def segments(root: Path, camera: int) -> List[Path]:
    return sorted((root / f"cam{camera}").glob("*/*.mp4"))


def probe(path: Path) -> dict:
    out = run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v", "-show_entries",
               "stream=codec_name,width,height,nb_read_frames:format=duration", "-of", "json", str(path)]).stdout
    got = json.loads(out)
    stream = got["streams"][0] if got.get("streams") else {}
    return {"codec": stream.get("codec_name"), "size": (stream.get("width"), stream.get("height")),
            "frames": int(stream.get("nb_read_frames", 0)), "duration": float(got.get("format", {}).get("duration", 0))}


def luma_frames(path: Path) -> np.ndarray:
    raw = run(["ffmpeg", "-v", "error", "-i", str(path), "-f", "rawvideo", "-pix_fmt", "gray", "-"], timeout=60).stdout
    return np.frombuffer(raw, np.uint8).reshape(-1, HEIGHT, WIDTH)


def test_segments_of_both_cameras_follow_one_another_without_a_lost_frame(start_server, workdir: Path) -> None:
    root = workdir / "recordings"
    server = start_server("--size", f"{WIDTH}x{HEIGHT}", "--fps", str(FPS), "--record", str(root),
                          "--segment-seconds", str(SEGMENT_S), env={"BOARDSIM_STAMP": "1"})
    started = time.monotonic()
    # Three segments finished per camera, and a fourth begun.
    wait_for(lambda: all(len(segments(root, c)) >= 4 for c in (0, 1)), 60, "four segments per camera",
             lambda: [list(map(str, segments(root, c))) for c in (0, 1)])
    took = server.stop()
    wall = time.monotonic() - started - took
    for camera in (0, 1):
        found = segments(root, camera)
        probes = [probe(p) for p in found]
        for path, got in zip(found, probes):
            assert got["codec"] == "h264" and got["size"] == (WIDTH, HEIGHT), (path, got)
        for got in probes[:-1]:
            # Each full segment is its length, to within a frame.
            assert abs(got["frames"] - SEGMENT_S * FPS) <= 1, probes
        total = sum(p["frames"] for p in probes) / FPS
        # Loose: the camera opens and the first key frame comes after start.
        assert wall - 3 <= total <= wall + 1, (total, wall, probes)
        # Between segments, the last frame of one and the first of the next
        # are one period apart: nothing lost, nothing repeated.
        period_units = 1e9 / FPS / STAMP_UNIT_NS
        for before, after in zip(found, found[1:]):
            last, first = stamp_of(luma_frames(before)[-1]), stamp_of(luma_frames(after)[0])
            gap = ((first - last) % (1 << 32)) / period_units
            assert 0.5 < gap < 1.5, (before.name, after.name, gap)


def test_kill_9_loses_at_most_the_last_fragment_and_the_server_starts_again(start_server, workdir: Path) -> None:
    root = workdir / "recordings"
    server = start_server("--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}", "--fps", str(FPS), "--record",
                          str(root), "--segment-seconds", "30")
    wait_for(lambda: segments(root, 0) and segments(root, 0)[0].stat().st_size > 100_000, 30,
             "a segment a few fragments long")
    time.sleep(3)
    server.process.send_signal(signal.SIGKILL)
    server.process.wait()
    server._stderr.close()
    cut = segments(root, 0)[0]
    got = probe(cut)
    # Fragments of a second: what was written more than a second before the
    # kill plays.
    assert got["codec"] == "h264" and got["frames"] >= 2 * FPS, got
    again = start_server("--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}", "--fps", str(FPS), "--record",
                         str(root), "--segment-seconds", "30")
    wait_for(lambda: len(segments(root, 0)) >= 2, 30, "a new segment after the restart")
    again.stop()
    assert probe(cut)["frames"] == got["frames"], "the cut segment was written again"


def test_an_unwritable_directory_is_refused_at_start(workdir: Path) -> None:
    if os.geteuid() == 0:
        target = "/proc/boardcam-cannot-record-here"
    else:
        locked = workdir / "locked"
        locked.mkdir(mode=0o500)
        target = str(locked / "recordings")
    done = subprocess.run([os.environ.get("BOARDCAM_SERVE", "boardcam-serve"), "--record", target],
                          capture_output=True, timeout=30)
    assert done.returncode != 0
    assert f"cannot record into {target}" in done.stderr.decode(), done.stderr


@pytest.mark.parametrize("value", ["0", "1", "x", "86401"])
def test_a_segment_length_out_of_range_is_refused(value: str) -> None:
    done = subprocess.run([os.environ.get("BOARDCAM_SERVE", "boardcam-serve"), "--record", "/tmp",
                           "--segment-seconds", value], capture_output=True, timeout=30)
    assert done.returncode == 2 and b"segment length must be 2 to 86400 seconds" in done.stderr, done.stderr
