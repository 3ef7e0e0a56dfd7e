#!/usr/bin/python3
"""boardcam-serve's recording figures, camera 0 at 1280x720 30 fps on the
scene: the CPU recording adds to a camera already streaming, the bytes on
disk per hour at the default bit rate, the time to export ten minutes, and
the frames lost across 100 segment boundaries. Prints Markdown.

  record_bench.py SERVE PLUGIN_DIR [SECONDS]
"""
from __future__ import annotations

import datetime
import json
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import List

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "serve"))
from frame_stamp import stamp_at, stamp_difference_s, stamp_of  # noqa: E402
from serve_bench import Server, cpu_share  # noqa: E402

WIDTH, HEIGHT, FPS, BITRATE_KBPS = 1280, 720, 30, 4000


def segments(root: Path, camera: int = 0) -> List[Path]:
    return sorted((root / f"cam{camera}").glob("*/*.mp4"))


def rtsp_viewer(server: Server) -> subprocess.Popen:
    return subprocess.Popen(["ffmpeg", "-v", "quiet", "-rtsp_transport", "tcp", "-i",
                             f"rtsp://127.0.0.1:{server.rtsp}/cam0", "-c", "copy", "-f", "null", "-"],
                            stdin=subprocess.DEVNULL)


def bench_cpu_and_bytes(serve: str, plugins: str, seconds: float) -> None:
    """Each run streams camera 0 to one RTSP viewer, so that its encoder
    runs; every other run records it too. The runs alternate, three each."""
    shares = {False: [], True: []}
    rates: List[float] = []
    for run in range(6):
        record = run % 2 == 1
        root = Path(tempfile.mkdtemp(prefix="record-bench-"))
        args = ["--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}", "--fps", str(FPS)]
        if record:
            args += ["--record", str(root), "--segment-seconds", "3600"]
        server = Server(serve, plugins, *args, stamp=False)
        viewer = rtsp_viewer(server)
        time.sleep(3)
        before = sum(p.stat().st_size for p in segments(root))
        started = time.monotonic()
        shares[record].append(cpu_share(server, seconds))
        if record:
            rates.append((sum(p.stat().st_size for p in segments(root)) - before) / (time.monotonic() - started))
        viewer.terminate()
        viewer.wait()
        server.stop()
        shutil.rmtree(root)
    streaming, recording = np.median(shares[False]), np.median(shares[True])
    print(f"\nCPU of boardcam-serve, camera 0 at {WIDTH}x{HEIGHT} {FPS} fps, scene, one RTSP viewer "
          f"(% of one core, median of 3 runs of {seconds:.0f} s):\n")
    print("| | CPU |\n| --- | ---: |")
    print(f"| streaming | {streaming:.1f} |")
    print(f"| streaming and recording | {recording:.1f} |")
    print(f"| added by recording | {recording - streaming:.1f} |")
    per_hour = np.median(rates) * 3600
    stream = BITRATE_KBPS * 1000 / 8 * 3600
    print(f"\nOn disk at the default bit rate ({BITRATE_KBPS} kbit/s): {per_hour / 1e9:.2f} GB per hour, "
          f"{100 * per_hour / stream:.0f}% of the bit rate ({stream / 1e9:.2f} GB per hour).")


def bench_export(serve: str, plugins: str) -> None:
    """Ten minutes made of ten copies of one minute recorded, named one
    minute apart: the export reads them as the server's own segments."""
    root = Path(tempfile.mkdtemp(prefix="record-bench-"))
    server = Server(serve, plugins, "--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}", "--fps", str(FPS), "--record",
                    str(root), "--segment-seconds", "60", stamp=False)
    while len(segments(root)) < 2:
        time.sleep(0.5)
    server.stop()
    minute = segments(root)[0]
    day = datetime.datetime(2026, 1, 1, 10, 0, 0, tzinfo=datetime.timezone.utc)
    copies = root / "cam0" / "2026-01-01"
    copies.mkdir()
    for k in range(10):
        shutil.copy(minute, copies / (day + datetime.timedelta(minutes=k)).strftime("%H-%M-%S.mp4"))
    server = Server(serve, plugins, "--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}", "--record", str(root),
                    "--keep-days", "0", "--keep-free", "0", stamp=False)
    url = server.url("/api/export?camera=0&start=2026-01-01T10:00:00Z&duration=600")
    times, size, played = [], 0, 0.0
    for _ in range(5):
        out = subprocess.run(["curl", "-s", "-o", str(root / "export.mp4"), "-w", "%{time_total} %{size_download}",
                              url], capture_output=True, text=True).stdout.split()
        times.append(float(out[0]))
        size = int(out[1])
    probe = json.loads(subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "json",
                                       str(root / "export.mp4")], capture_output=True).stdout)
    played = float(probe["format"]["duration"])
    server.stop()
    shutil.rmtree(root)
    print(f"\nExport of 10 minutes ({size / 1e6:.0f} MB, {played:.1f} s played) over loopback, 5 runs (s):\n")
    print("| median | worst |\n| ---: | ---: |")
    print(f"| {np.median(times):.3f} | {max(times):.3f} |")


def bench_boundaries(serve: str, plugins: str) -> None:
    """100 boundaries of 2 s segments, at 320x240 so that decoding them all
    back stays quick; each boundary's two frames should be one period apart."""
    root = Path(tempfile.mkdtemp(prefix="record-bench-"))
    server = Server(serve, plugins, "--cameras", "0", "--size", "320x240", "--fps", str(FPS), "--record", str(root),
                    "--segment-seconds", "2")
    while len(segments(root)) < 102:
        time.sleep(1)
    server.stop()
    found = segments(root)[:101]
    ends = []
    for path in found:
        raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-f", "rawvideo", "-pix_fmt", "gray", "-"],
                             capture_output=True).stdout
        frames = np.frombuffer(raw, np.uint8).reshape(-1, 240, 320)
        ends.append((stamp_of(frames[0]), stamp_of(frames[-1])))
    lost = repeated = 0
    for (_, last), (first, _) in zip(ends, ends[1:]):
        gap = round(stamp_difference_s(first, last) * FPS)
        lost += max(0, gap - 1)
        repeated += gap < 1
    shutil.rmtree(root)
    print(f"\nAcross {len(found) - 1} segment boundaries (2 s segments, 320x240 {FPS} fps): "
          f"{lost} frames lost, {repeated} repeated.")


def bench_kill(serve: str, plugins: str) -> None:
    """What kill -9 loses: the capture time of the last frame that plays,
    against the moment of the kill."""
    losses = []
    for k in range(6):
        root = Path(tempfile.mkdtemp(prefix="record-bench-"))
        server = Server(serve, plugins, "--cameras", "0", "--size", "320x240", "--fps", str(FPS), "--record",
                        str(root), "--segment-seconds", "60")
        time.sleep(5 + 0.29 * k)
        server.process.kill()
        killed = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
        server.process.wait()
        raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(segments(root)[0]), "-f", "rawvideo", "-pix_fmt",
                              "gray", "-"], capture_output=True).stdout
        last = stamp_of(np.frombuffer(raw, np.uint8).reshape(-1, 240, 320)[-1])
        losses.append(stamp_difference_s(stamp_at(killed), last))
        shutil.rmtree(root)
    print(f"\nkill -9 while recording, {len(losses)} runs: the last second(s) lost, median {np.median(losses):.2f} s, "
          f"worst {max(losses):.2f} s.")


def main() -> None:
    serve, plugins = sys.argv[1], sys.argv[2]
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 10
    bench_cpu_and_bytes(serve, plugins, seconds)
    bench_export(serve, plugins)
    bench_kill(serve, plugins)
    bench_boundaries(serve, plugins)


if __name__ == "__main__":
    main()
