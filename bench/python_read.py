#!/usr/bin/python3
"""Reads frames through the Python package with pacing off, for timing and
for counting instructions.

    python_read.py <width> <height> <frames>            read and release, silently
    python_read.py --time <results.json> [repetitions]  CPU ns per frame against BM_MtRead

The package reads through libboardcam-mt, which keeps the camera's rate even
with pacing off, so the cost per frame is the process's CPU time, not the
wall time. The library's standard output goes to /dev/null, as in the C
benchmarks.
"""
import ctypes
import json
import os
import statistics
import sys
import time

import boardcam


def quiet_stdout() -> None:
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)


def simulator_without_pacing() -> None:
    board = ctypes.CDLL(os.environ["BOARDCAM_BENCH_BOARDSIM"])
    board.boardsim_set_pacing.argtypes = [ctypes.c_bool]
    board.boardsim_set_pacing(False)
    board.boardsim_journal_enable.argtypes = [ctypes.c_bool]
    board.boardsim_journal_enable(False)


def read_frames(cam: boardcam.Camera, frames: int) -> None:
    for _ in range(frames):
        cam.read().release()


def ns_per_frame(width: int, height: int, frames: int, repetitions: int) -> float:
    runs = []
    with boardcam.Camera(0, fps=240, width=width, height=height) as cam:
        read_frames(cam, 10)  # warm
        for _ in range(repetitions):
            start = time.process_time_ns()
            read_frames(cam, frames)
            runs.append((time.process_time_ns() - start) / frames)
    return statistics.median(runs), min(runs)


def library_ns(results: str, size: str) -> float:
    """The C loop at the same pace: BM_MtRead's median CPU ns per frame."""
    with open(results) as f:
        benchmarks = json.load(f)["benchmarks"]
    prefix = f"BM_MtRead/{size}/"
    times = [b["real_time"] for b in benchmarks
             if b.get("run_name", "").startswith(prefix) and b.get("aggregate_name", "median") == "median"]
    return times[0] if times else float("nan")


def main() -> int:
    simulator_without_pacing()
    if sys.argv[1] == "--time":
        results = sys.argv[2]
        repetitions = int(sys.argv[3]) if len(sys.argv) > 3 else 5
        stderr = sys.stderr
        quiet_stdout()
        print(f"\n{'size':<12} {'python ns':>12} {'python min':>12} {'paced C ns':>12} {'python/C':>16}",
              file=stderr)
        for width, height in ((640, 480), (1920, 1080)):
            median, fastest = ns_per_frame(width, height, 120, repetitions)
            library = library_ns(results, f"{width}/{height}")
            print(f"{width}/{height:<8} {median:12.0f} {fastest:12.0f} {library:12.0f} {median / library:16.3f}",
                  file=stderr)
        return 0
    width, height, frames = (int(v) for v in sys.argv[1:4])
    quiet_stdout()
    with boardcam.Camera(0, fps=240, width=width, height=height) as cam:
        read_frames(cam, frames)
    return 0


if __name__ == "__main__":
    sys.exit(main())
