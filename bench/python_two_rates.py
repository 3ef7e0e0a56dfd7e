#!/usr/bin/python3
"""Two cameras at two rates from two Python threads, on the simulator's
free-running sensors: each camera's achieved rate against its configured one.

    python_two_rates.py SECONDS

Rates are frames over the time from the first arrival to the last. Results
go to standard error as Markdown rows; the library's reports to /dev/null.
"""
import os
import sys
import threading

import boardcam

MIXES = ((1, 60), (5, 60), (15, 30), (30, 30), (60, 240))


def read_for(camera_id: int, fps: int, seconds: float, arrivals: list) -> None:
    with boardcam.Camera(camera_id, fps=fps, width=320, height=240) as cam:
        first = None
        while True:
            with cam.read() as frame:
                first = frame.timestamp_ns if first is None else first
                arrivals.append(frame.timestamp_ns)
                if frame.timestamp_ns - first >= seconds * 1e9:
                    return


def rate(arrivals: list) -> float:
    return (len(arrivals) - 1) * 1e9 / (arrivals[-1] - arrivals[0]) if len(arrivals) > 1 else 0.0


def main() -> int:
    seconds = float(sys.argv[1])
    stderr = sys.stderr
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    for mix in MIXES:
        arrivals = ([], [])
        threads = [threading.Thread(target=read_for, args=(i, mix[i], seconds, arrivals[i])) for i in (0, 1)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        r0, r1 = rate(arrivals[0]), rate(arrivals[1])
        print(f"| Python   | {mix[0]:3d} + {mix[1]:3d} | {r0:7.2f} | {r1:7.2f} | {r0 / mix[0]:5.3f} | {r1 / mix[1]:5.3f} |",
              file=stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
