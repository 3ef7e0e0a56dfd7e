"""A user's own program on a camera, through the boardcam package: reads
camera CAMERA at FPS (0: whatever it runs at) and prints a JSON line per
frame, {"sequence", "dropped", "stamp"} (the simulator's BOARDSIM_STAMP
capture time in the frame's pixels), then {"done": true}. With --forever it
reads until killed, printing {"frames": N} every second instead.

    camera_program.py CAMERA FPS FRAMES [--width W --height H] [--forever]
"""
from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import boardcam  # noqa: E402
from frame_stamp import stamp_of  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("camera", type=int)
    parser.add_argument("fps", type=int)
    parser.add_argument("frames", type=int)
    parser.add_argument("--width", type=int, default=0)
    parser.add_argument("--height", type=int, default=0)
    parser.add_argument("--forever", action="store_true")
    args = parser.parse_args()
    try:
        cam = boardcam.Camera(args.camera, fps=args.fps, width=args.width, height=args.height)
    except boardcam.CameraBusyError as refused:
        print(json.dumps({"refused": str(refused)}), flush=True)
        return 3
    print(json.dumps({"opened": [cam.width, cam.height, cam.fps]}), flush=True)
    count, shown = 0, time.monotonic()
    with cam:
        while args.forever or count < args.frames:
            with cam.read() as frame:
                count += 1
                if args.forever:
                    if time.monotonic() - shown >= 1:
                        print(json.dumps({"frames": count}), flush=True)
                        shown = time.monotonic()
                    continue
                print(json.dumps({"sequence": frame.sequence, "dropped": frame.dropped,
                                  "stamp": stamp_of(frame.y)}), flush=True)
    print(json.dumps({"done": True}), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
