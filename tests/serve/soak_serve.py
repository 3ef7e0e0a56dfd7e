"""make soak-serve: boardcam-serve as a service runs it, for a while.

First STOPS stops with every kind of client connected (TLS every other
time, SIGINT every third), each of which must end in 2 s with exit 0 and
every camera closed. Then SECONDS of a changing mix of clients: MJPEG, RTSP,
snapshots, status, churn; a camera fault window every few minutes; a stop
and a restart every 10 minutes. Prints what it did; exits non-zero on the
first fault.

Run with the same environment as the server's tests (see CMakeLists.txt).
"""
from __future__ import annotations

import argparse
import json
import os
import random
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import List

sys.path.insert(0, str(Path(__file__).parent))
from clients import MjpegReader  # noqa: E402
from conftest import Server  # noqa: E402
from every_client import EveryClient, end_processes, make_certificate  # noqa: E402

STOP_LIMIT_S = 2.0
FPS = 15
RESTART_EVERY_S = 600
# A fault window on a camera every FAULT_EVERY_S (or thrice in a short
# soak), a few reads long, counted in reads of that camera.
FAULT_EVERY_S = 180


def fault_windows(seconds: float) -> str:
    every = min(FAULT_EVERY_S, max(seconds / 3, 5))
    windows = []
    for k in range(1, int(seconds / every) + 2):
        start = int(k * every * FPS)
        windows.append(f"ReadFrameFromCamera:{k % 2}@{start}+3")
    return ",".join(windows)


def stop_and_check(server: Server, signo: int = signal.SIGTERM) -> float:
    start = time.monotonic()
    server.process.send_signal(signo)
    server.process.wait(timeout=30)
    took = time.monotonic() - start
    log = server.stderr()
    server.stop()  # exit 0, no live buffer, the closing line
    if "held up" in log:
        raise AssertionError("the watchdog ended the stop:\n" + log)
    if took > STOP_LIMIT_S:
        raise AssertionError(f"the stop took {took:.2f} s")
    return took


def stops(count: int, workdir: Path) -> None:
    cert, key = make_certificate(workdir)
    times: List[float] = []
    for n in range(count):
        tls = n % 2 == 1
        run_dir = workdir / f"stop{n}"
        run_dir.mkdir()
        args = ["--size", "320x240", "--fps", str(FPS)]
        if tls:
            args += ["--tls-cert", str(cert), "--tls-key", str(key)]
        server = Server(args, None, run_dir)
        clients = EveryClient(server, tls, cert)
        try:
            clients.playing(server)
            clients.hang_up_one()
            times.append(stop_and_check(server, signal.SIGINT if n % 3 == 2 else signal.SIGTERM))
        finally:
            clients.close()
    times.sort()
    print(f"soak-serve: {count} stops with every kind of client: median {times[len(times) // 2]:.2f} s, "
          f"longest {times[-1]:.2f} s, every one exit 0 with every camera closed", flush=True)


def resources(pid: int) -> tuple:
    threads = len(os.listdir(f"/proc/{pid}/task"))
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    return threads, fds


class Mix:
    """Clients that come and go at random, all of them bounded in time."""

    def __init__(self, server: Server, rng: random.Random) -> None:
        self.server, self.rng = server, rng
        self.readers: List[MjpegReader] = []
        self.players: List[subprocess.Popen] = []
        self.counts = {"mjpeg": 0, "rtsp": 0, "webrtc": 0, "snapshot": 0, "status": 0, "churn": 0}

    def step(self) -> None:
        choice = self.rng.choice(["mjpeg", "rtsp", "webrtc", "snapshot", "status", "churn", "leave"])
        camera = self.rng.randrange(2)
        if choice == "mjpeg" and len(self.readers) < 4:
            reader = MjpegReader(self.server.http_port, f"/cam{camera}.mjpg")
            reader.start()
            self.readers.append(reader)
        elif choice == "rtsp" and len(self.players) < 3:
            self.players.append(subprocess.Popen(
                ["ffmpeg", "-v", "error", "-rtsp_transport", self.rng.choice(["tcp", "udp"]), "-i",
                 self.server.rtsp(camera), "-t", str(self.rng.randint(3, 20)), "-f", "null", "-"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL))
        elif choice == "webrtc" and len(self.players) < 3:
            # Some leave with DELETE, some vanish and are noticed by their silence.
            whep = [sys.executable, str(Path(__file__).with_name("whep_client.py")), self.server.url(f"/cam{camera}/whep"),
                    "--seconds", str(self.rng.randint(2, 15)), "--no-decode"]
            if self.rng.random() < 0.3:
                whep.append("--no-delete")
            self.players.append(subprocess.Popen(whep, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                                 stdin=subprocess.DEVNULL))
        elif choice == "snapshot":
            subprocess.run(["curl", "-s", "-o", "/dev/null", "--max-time", "10", self.server.url(f"/cam{camera}.jpg")],
                           timeout=20)
        elif choice == "status":
            got = subprocess.run(["curl", "-s", "--max-time", "10", self.server.url("/api/status")],
                                 capture_output=True, timeout=20)
            json.loads(got.stdout)
        elif choice == "churn":
            for _ in range(20):
                with socket.create_connection(("127.0.0.1", self.rng.choice(
                        [self.server.http_port, self.server.rtsp_port])), timeout=5):
                    pass
        elif choice == "leave":
            if self.readers:
                self.readers.pop(self.rng.randrange(len(self.readers))).stop()
            return
        else:
            return
        self.counts[choice] += 1
        self.players = [p for p in self.players if p.poll() is None]

    def close(self) -> None:
        for reader in self.readers:
            reader.stop()
        end_processes(self.players)
        self.readers, self.players = [], []


def soak(seconds: float, workdir: Path, seed: int) -> None:
    rng = random.Random(seed)
    env = {"BOARDSIM_FAIL": fault_windows(seconds)}
    end = time.monotonic() + seconds
    restarts = 0
    while True:
        run_dir = workdir / f"soak{restarts}"
        run_dir.mkdir()
        server = Server(["--size", "320x240", "--fps", str(FPS), "--linger", "1"], env, run_dir)
        time.sleep(0.5)
        baseline = resources(server.process.pid)
        mix = Mix(server, rng)
        run_end = min(end, time.monotonic() + RESTART_EVERY_S)
        try:
            while time.monotonic() < run_end:
                mix.step()
                if server.process.poll() is not None:
                    raise AssertionError("the server died:\n" + server.stderr())
                time.sleep(rng.uniform(0.05, 0.5))
        finally:
            mix.close()
        # Back to its resting size once everyone left and the linger passed.
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and resources(server.process.pid)[1] > baseline[1] + 4:
            time.sleep(0.2)
        after = resources(server.process.pid)
        status = json.loads(subprocess.run(["curl", "-s", server.url("/api/status")], capture_output=True,
                                           timeout=20).stdout)
        errors = sum(c["errors_total"] for c in status["cameras"])
        took = stop_and_check(server)
        print(f"soak-serve: run {restarts}: {mix.counts}, camera errors {errors}, threads {baseline[0]}->{after[0]}, "
              f"descriptors {baseline[1]}->{after[1]}, stop {took:.2f} s", flush=True)
        if after[1] > baseline[1] + 4:
            raise AssertionError(f"descriptors did not come back: {baseline[1]} -> {after[1]}")
        restarts += 1
        if time.monotonic() >= end:
            break
    print(f"soak-serve: {seconds:.0f} s with {restarts} run(s), every stop clean", flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stops", type=int, default=50)
    parser.add_argument("--seconds", type=float, default=600)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="boardcam-soak-") as path:
        workdir = Path(path)
        if args.stops > 0:
            stops(args.stops, workdir)
        if args.seconds > 0:
            soak(args.seconds, workdir, args.seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
