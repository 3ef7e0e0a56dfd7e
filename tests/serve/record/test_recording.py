"""Recording as ffprobe and ffmpeg see it: segments of H.264 in fragmented
MP4, one after another with no frame lost between them, surviving kill -9."""
from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import time
from pathlib import Path
from typing import List

import numpy as np
import pytest

from clients import MjpegReader, RtspReader
from conftest import run, status, wait_for
from frame_stamp import stamp_at, stamp_difference_s, stamp_of

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
        # Each full segment is its length, to within a frame or two; the
        # first starts when the camera's first frame comes, the last at the
        # stop. A sanitized server may drop a frame at the camera now and
        # then, which shortens no segment.
        for got in probes[1:-1]:
            assert abs(got["duration"] - SEGMENT_S) <= 2 / FPS, probes
            assert got["frames"] >= 0.9 * SEGMENT_S * FPS, probes
        total = sum(p["duration"] for p in probes)
        # Loose: the camera opens and the first key frame comes after start.
        assert wall - 3 <= total <= wall + 1, (total, wall, probes)
        # Between segments, the last frame of one and the first of the next
        # are one period apart: nothing lost, nothing repeated.
        for before, after in zip(found, found[1:]):
            last, first = stamp_of(luma_frames(before)[-1]), stamp_of(luma_frames(after)[0])
            gap = stamp_difference_s(first, last) * FPS
            assert 0.5 < gap < 1.5, (before.name, after.name, gap)


def test_kill_9_loses_about_the_last_second_and_the_server_starts_again(start_server, workdir: Path) -> None:
    root = workdir / "recordings"
    server = start_server("--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}", "--fps", str(FPS), "--record",
                          str(root), "--segment-seconds", "30", env={"BOARDSIM_STAMP": "1"})
    wait_for(lambda: segments(root, 0) and segments(root, 0)[0].stat().st_size > 100_000, 30,
             "a segment a few fragments long")
    time.sleep(3)
    server.process.send_signal(signal.SIGKILL)
    killed = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
    server.process.wait()
    server._stderr.close()
    cut = segments(root, 0)[0]
    got = probe(cut)
    assert got["codec"] == "h264" and got["frames"] >= 2 * FPS, got
    # Every fragment on disk plays, up to about a second before the kill
    # (0.6 to 1.5 s measured; make bench-record). Loose: a segment that
    # kept its frames until it was closed would lose them all.
    last = stamp_of(luma_frames(cut)[-1])
    lost_s = stamp_difference_s(stamp_at(killed), last)
    assert lost_s < 3, f"{lost_s:.2f} s lost"
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


@pytest.mark.parametrize("option,value,message", [
    ("--segment-seconds", "1", "segment length must be 2 to 86400 seconds"),
    ("--segment-seconds", "86401", "segment length must be 2 to 86400 seconds"),
    ("--keep-days", "-1", "days to keep must be 0 to 36500"),
    ("--keep-free", "100%", "free space to keep must be a percentage below 100"),
    ("--keep-free", "12X", "free space to keep must be a percentage below 100"),
    ("--record-cameras", "2", "cameras to record must be 0, 1 or 0,1"),
])
def test_recording_options_out_of_range_are_refused(option: str, value: str, message: str) -> None:
    done = subprocess.run([os.environ.get("BOARDCAM_SERVE", "boardcam-serve"), "--record", "/tmp", option, value],
                          capture_output=True, timeout=30)
    assert done.returncode == 2 and message.encode() in done.stderr, done.stderr


def test_status_and_metrics_say_what_is_recorded(start_server, workdir: Path) -> None:
    root = workdir / "recordings"
    server = start_server("--size", f"{WIDTH}x{HEIGHT}", "--record", str(root), "--record-cameras", "1",
                          "--segment-seconds", "2", "--linger", "1")
    wait_for(lambda: len(segments(root, 1)) >= 2, 30, "a finished segment of camera 1")
    cameras = status(server)["cameras"]
    # Recorded with no viewer, camera 1 stays open past the linger; camera
    # 0, with neither, was never opened.
    assert cameras[1]["streaming"] is True and cameras[0]["streaming"] is False, cameras
    assert server.opens(0) == 0 and server.opens(1) == 1 and server.closes(1) == 0, server.calls()
    assert cameras[0]["recording"] == {"on": False, "segment": None, "bytes": 0, "error": None}
    now = cameras[1]["recording"]
    assert now["on"] is True and now["error"] is None and now["bytes"] > 0, now
    assert now["segment"].startswith("cam1/") and (root / now["segment"]).exists(), now
    disk = status(server)["disk"]
    assert 0 < disk["free_bytes"] <= disk["total_bytes"], disk
    metrics = run(["curl", "-s", server.url("/metrics")]).stdout.decode()
    assert 'boardcam_recording{camera="1"} 1' in metrics
    assert 'boardcam_recording{camera="0"}' not in metrics
    assert re.search(r'boardcam_recorded_bytes_total\{camera="1"\} [1-9]\d*', metrics), metrics
    assert 'boardcam_recording_errors_total{camera="1"} 0' in metrics
    assert re.search(r"boardcam_record_disk_free_bytes [1-9]\d*", metrics), metrics
    assert not segments(root, 0)


def test_segments_older_than_the_kept_days_are_deleted_at_start(start_server, workdir: Path) -> None:
    root = workdir / "recordings"
    old = root / "cam0" / "2026-01-01" / "10-00-00.mp4"
    recent = root / "cam0" / "2026-01-02" / "10-00-00.mp4"
    for path, days in ((old, 8), (recent, 6)):
        path.parent.mkdir(parents=True)
        path.write_bytes(b"\0" * 1000)
        when = time.time() - days * 86400
        os.utime(path, (when, when))
    server = start_server("--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}", "--record", str(root), "--keep-days", "7")
    wait_for(lambda: not old.exists(), 30, "the old segment deleted")
    assert recent.exists()
    assert "deleted 1 old segments" in server.stderr()


@pytest.fixture
def small_disk(workdir: Path):
    """A 6 MiB filesystem of its own, where this machine lets the test mount one."""
    mount = workdir / "small"
    mount.mkdir()
    if os.geteuid() != 0 or run(["mount", "-t", "tmpfs", "-o", "size=6m", "tmpfs", str(mount)]).returncode != 0:
        pytest.skip("no filesystem can be mounted here")
    yield mount
    run(["umount", "-l", str(mount)])


def used_bytes(root: Path) -> int:
    return sum(p.stat().st_size for p in root.rglob("*.mp4"))


def test_low_free_space_deletes_the_oldest_segments(start_server, small_disk: Path) -> None:
    server = start_server("--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}", "--record", str(small_disk),
                          "--segment-seconds", "2", "--keep-free", "50%", env={"BOARDSIM_PATTERN": "scene"})

    def written() -> int:
        return status(server)["cameras"][0]["recording"]["bytes"]

    # More written than the disk holds, and still recording.
    wait_for(lambda: written() > 8 << 20, 120, "more than the disk holds written",
             lambda: (status(server)["cameras"][0]["recording"], used_bytes(small_disk)))
    assert status(server)["cameras"][0]["recording"]["on"] is True
    assert used_bytes(small_disk) < 6 << 20
    assert "deleted" in server.stderr()


def test_a_full_disk_pauses_recording_streaming_goes_on_and_it_resumes(start_server, small_disk: Path) -> None:
    server = start_server("--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}", "--record", str(small_disk),
                          "--segment-seconds", "2", "--keep-free", "0", env={"BOARDSIM_PATTERN": "scene"})
    wait_for(lambda: status(server)["cameras"][0]["recording"]["error"] is not None, 120, "recording paused",
             lambda: (status(server)["cameras"][0]["recording"], used_bytes(small_disk)))
    paused = status(server)["cameras"][0]["recording"]
    assert paused["on"] is False, paused
    metrics = run(["curl", "-s", server.url("/metrics")]).stdout.decode()
    assert 'boardcam_recording{camera="0"} 0' in metrics
    assert re.search(r'boardcam_recording_errors_total\{camera="0"\} [1-9]', metrics), metrics
    # Streaming goes on: a snapshot now is a new frame.
    assert len(run(["curl", "-s", "--max-time", "10", server.url("/cam0.jpg")]).stdout) > 1000
    assert status(server)["cameras"][0]["streaming"] is True
    # Space returns: recording resumes in a new segment by itself.
    before = set(small_disk.rglob("*.mp4"))
    for path in before:
        path.unlink()
    wait_for(lambda: status(server)["cameras"][0]["recording"]["on"] is True, 30, "recording resumed")
    wait_for(lambda: set(small_disk.rglob("*.mp4")) - before, 30, "a new segment")


def top_level_boxes(path: Path) -> List[str]:
    """The file's top-level MP4 boxes; "partial" for one cut short."""
    data, at, boxes = path.read_bytes(), 0, []
    while at + 8 <= len(data):
        size, kind = int.from_bytes(data[at:at + 4], "big"), data[at + 4:at + 8].decode("latin-1")
        if size == 1:
            size = int.from_bytes(data[at + 8:at + 16], "big")
        if size < 8 or at + size > len(data):
            return boxes + ["partial"]
        boxes.append(kind)
        at += size
    return boxes + (["partial"] if at != len(data) else [])


def test_sigterm_closes_every_segment_properly(start_server, workdir: Path) -> None:
    root = workdir / "recordings"
    server = start_server("--size", f"{WIDTH}x{HEIGHT}", "--fps", str(FPS), "--record", str(root),
                          "--segment-seconds", "60", env={"BOARDSIM_STAMP": "1"})
    wait_for(lambda: all(segments(root, c) and segments(root, c)[0].stat().st_size > 30_000 for c in (0, 1)), 30,
             "both cameras a few fragments into a segment")
    time.sleep(2)
    server.process.send_signal(signal.SIGTERM)
    signalled = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
    assert server.process.wait(timeout=15) == 0
    for camera in (0, 1):
        (segment,) = segments(root, camera)
        # Every fragment whole, and the index that closes a segment last.
        boxes = top_level_boxes(segment)
        assert boxes[:2] == ["ftyp", "moov"] and boxes[-1] == "mfra" and "partial" not in boxes, boxes
        # Nothing held back at the stop: the last frame recorded was taken
        # just before the signal, not a group of pictures (a second) or a
        # fragment earlier.
        last = stamp_of(luma_frames(segment)[-1])
        # A frame captured after the signal, while the stop ran, is no frame
        # held back: its difference is negative.
        before_s = stamp_difference_s(stamp_at(signalled), last)
        assert before_s < 0.5, f"camera {camera}: the last frame came {before_s:.2f} s before the signal"


def test_a_failing_camera_ends_its_segment_and_recording_goes_on_in_a_new_one(start_server, workdir: Path) -> None:
    # Camera 1's reads 45 to 48 fail: about 3 s recorded at 15 fps, some
    # 15 s of retries, then frames again.
    fps = 15
    root = workdir / "recordings"
    server = start_server("--size", f"{WIDTH}x{HEIGHT}", "--fps", str(fps), "--record", str(root),
                          "--segment-seconds", "300", env={"BOARDSIM_FAIL": "ReadFrameFromCamera:1@45+4"})

    def recording(camera: int) -> dict:
        return status(server)["cameras"][camera]["recording"]

    wait_for(lambda: recording(1)["error"] is not None, 30, "camera 1's recording paused")
    paused = recording(1)
    assert "camera 1 is failing" in paused["error"] and paused["on"] is False, paused
    (before,) = segments(root, 1)
    # Ended properly at the fault, not left open over it.
    assert top_level_boxes(before)[-1] == "mfra", top_level_boxes(before)
    assert abs(probe(before)["frames"] - 44) <= 2, probe(before)
    wait_for(lambda: recording(1)["on"] is True, 60, "camera 1 recording again")
    wait_for(lambda: len(segments(root, 1)) == 2 and probe(segments(root, 1)[1])["frames"] >= fps, 30,
             "a new segment of camera 1 with its frames",
             lambda: ([(p.name, probe(p)["frames"]) for p in segments(root, 1)], server.stderr()[-2000:]))
    metrics = run(["curl", "-s", server.url("/metrics")]).stdout.decode()
    # The camera's fault is the camera's error, not the recording's.
    assert 'boardcam_recording_errors_total{camera="1"} 0' in metrics
    assert 'boardcam_camera_errors_total{camera="1"} 0' not in metrics
    # Camera 0 recorded on in its one segment.
    assert len(segments(root, 0)) == 1 and recording(0)["on"] is True


def test_recording_beside_four_viewers_takes_no_frame_of_theirs_and_no_second_encoder(start_server, workdir: Path
                                                                                       ) -> None:
    seconds = 8
    root = workdir / "recordings"
    server = start_server("--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}", "--fps", str(FPS), "--record",
                          str(root), "--segment-seconds", "2", env={"GST_DEBUG": "x264enc:4", "GST_DEBUG_NO_COLOR": "1"})
    wait_for(lambda: len(segments(root, 0)) >= 2, 30, "recording under way")
    viewers = [MjpegReader(server.http_port, "/cam0.mjpg") for _ in range(2)]
    viewers += [RtspReader(server.rtsp(0)) for _ in range(2)]
    for viewer in viewers:
        viewer.start()
    time.sleep(2)
    since = time.monotonic()
    time.sleep(seconds)
    until = time.monotonic()
    # What a viewer that ended early said, to tell its failure from slowness.
    said = [viewer.stop() for viewer in viewers]
    for viewer, err in zip(viewers, said):
        got = sum(since <= t < until for t in viewer.arrivals)
        assert got >= 0.9 * FPS * seconds, \
            f"{type(viewer).__name__}: {got} frames in {seconds} s; {err}\n{server.stderr()[-2000:]}"
    assert len(segments(root, 0)) >= 5
    # One capture and one encoder for the recording and every viewer.
    assert server.opens(0) == 1, server.calls()
    opened = re.findall(r"x264enc\d*>\S* profile ", server.stderr())
    assert len(opened) == 1, opened
