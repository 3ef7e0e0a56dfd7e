#!/usr/bin/python3
"""boardcam-serve's WebRTC and slow-link figures, camera 0 at 1280x720 30 fps
on the scene, loopback: what a WebRTC viewer costs in bandwidth and server
CPU, its glass-to-glass latency and time to first frame in Chromium, and the
age of MJPEG frames on a link of half the stream's rate. Prints Markdown.

  webrtc_bench.py SERVE PLUGIN_DIR [SECONDS]

Chromium and the test clients of tests/serve are the viewers.
"""
from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import List

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "serve"))
from browser import Browser  # noqa: E402
from clients import MjpegReader, ThrottledMjpegReader  # noqa: E402
from serve_bench import Server, cpu_share  # noqa: E402

WIDTH, HEIGHT, FPS, BITRATE_KBPS = 1280, 720, 30, 4000
FLAGS = ["--autoplay-policy=no-user-gesture-required", "--allow-loopback-in-peer-connection"]
WHEP_CLIENT = str(Path(__file__).resolve().parent.parent / "tests" / "serve" / "whep_client.py")

# In the page: each frame of camera 0's video, as it is presented, is drawn
# to a canvas and its stamp (CLOCK_MONOTONIC, 0.1 ms units) read back; the
# page's clock is the same wall clock, less the offset the bench measured.
LATENCY_PROBE = """
(() => {
  const v = document.querySelector('#cam0 video');
  const canvas = document.createElement('canvas');
  const ctx = canvas.getContext('2d', { willReadFrequently: true });
  window.latencies = [];
  const seen = () => {
    if (v.videoWidth > 0) {
      canvas.width = v.videoWidth; canvas.height = 32;
      ctx.drawImage(v, 0, 0);
      const block = Math.max(2, Math.min(32, Math.floor(v.videoWidth / 32)) & ~1);
      const data = ctx.getImageData(0, 0, canvas.width, block).data;
      let value = 0;
      for (let bit = 0; bit < 32; ++bit) {
        const x = bit * block + (block >> 1), y = block >> 1;
        value = value * 2 + (data[(y * canvas.width + x) * 4] > 128 ? 1 : 0);
      }
      // Read when the frame is in the page's hands, as the other clients do.
      const monotonic = (performance.timeOrigin + performance.now() - OFFSET_MS) * 10;
      let age = (monotonic - value) % 4294967296;
      if (age > 2147483648) age -= 4294967296;
      if (age < -2147483648) age += 4294967296;
      window.latencies.push(age / 10);
    }
    v.requestVideoFrameCallback(seen);
  };
  v.requestVideoFrameCallback(seen);
  return true;
})()
"""

FIRST_FRAME_PROBE = """
window.firstFrame = null;
const poll = setInterval(() => {
  const v = document.querySelector('#cam0 video');
  if (v && v.getVideoPlaybackQuality().totalVideoFrames > 0) { window.firstFrame = performance.now(); clearInterval(poll); }
}, 2);
"""


def camera0(serve: str, plugins: str, *args: str) -> Server:
    """The server with camera 0 alone, at the figures' size and rate."""
    return Server(serve, plugins, "--cameras", "0", "--size", f"{WIDTH}x{HEIGHT}", "--fps", str(FPS), *args)


def h264_rate(server: Server, seconds: float) -> float:
    """The camera's H.264 as RTSP carries it, in Mbit/s: the bytes of its access units."""
    with tempfile.NamedTemporaryFile(suffix=".h264") as out:
        subprocess.run(["ffmpeg", "-v", "fatal", "-y", "-rtsp_transport", "tcp", "-i",
                        f"rtsp://127.0.0.1:{server.rtsp}/cam0", "-t", str(seconds + 1), "-c", "copy", "-f", "h264",
                        out.name], check=True, timeout=seconds + 60)
        return os.path.getsize(out.name) * 8 / (seconds + 1) / 1e6


def mjpeg_rate(server: Server, seconds: float) -> float:
    reader = MjpegReader(server.http, "/cam0.mjpg")
    reader.start()
    time.sleep(seconds)
    reader.stop()
    size = len(subprocess.run(["curl", "-s", server.url("/cam0.jpg")], capture_output=True).stdout)
    return reader.rate() * size * 8 / 1e6


def browser_receives(browser: Browser, seconds: float) -> tuple:
    """(Mbit/s, fps) camera 0's tile received over `seconds`, from getStats()."""
    stats = """(async () => { const pc = document.querySelector('#cam0').player.pc; let r = null;
      (await pc.getStats()).forEach(s => { if (s.type === 'inbound-rtp' && s.kind === 'video') r = s; });
      const t = (await pc.getStats()).values(); let transport = 0;
      for (const s of t) if (s.type === 'transport') transport = s.bytesReceived;
      return [r.bytesReceived, r.framesDecoded, transport, performance.now()]; })()"""
    first = browser.evaluate(stats)
    time.sleep(seconds)
    last = browser.evaluate(stats)
    elapsed = (last[3] - first[3]) / 1000
    # The transport's bytes include RTP, SRTP and RTCP's overhead: what the link carries.
    return (last[2] - first[2]) * 8 / elapsed / 1e6, (last[1] - first[1]) / elapsed


def playing(browser: Browser, timeout: float = 30) -> None:
    browser.wait_for("(() => { const t = document.querySelector('#cam0'); return t && t.dataset.transport === "
                     "'webrtc' && document.querySelector('#cam0 video').getVideoPlaybackQuality().totalVideoFrames"
                     " > 0; })()", timeout, "camera 0 playing over WebRTC")


def bench_bandwidth_and_latency(serve: str, plugins: str, seconds: float, workdir: Path) -> None:
    server = camera0(serve, plugins)
    rtsp = h264_rate(server, seconds)
    mjpeg = mjpeg_rate(server, seconds)
    browser = Browser(workdir, FLAGS)
    try:
        browser.open(server.url("/"))
        playing(browser)
        time.sleep(2)
        webrtc, fps = browser_receives(browser, seconds)
        offset_ms = (time.time() - time.monotonic()) * 1000
        browser.evaluate(LATENCY_PROBE.replace("OFFSET_MS", f"{offset_ms:.3f}"))
        time.sleep(seconds)
        latencies = browser.evaluate("window.latencies") or []
    finally:
        browser.close()
        server.stop()
    print(f"\nBandwidth of one viewer of camera 0, {WIDTH}x{HEIGHT} at {FPS} fps, scene, "
          f"--bitrate {BITRATE_KBPS}, {seconds:.0f} s each (Mbit/s):\n")
    print("| what the viewer gets | Mbit/s | × the H.264 |\n| --- | ---: | ---: |")
    print(f"| the camera's H.264, as RTSP carries it (access units) | {rtsp:.2f} | 1.00 |")
    print(f"| WebRTC in Chromium (its transport's bytes: RTP, SRTP, RTCP), {fps:.1f} fps | {webrtc:.2f} | "
          f"{webrtc / rtsp:.2f} |")
    print(f"| MJPEG, a reader as fast as loopback | {mjpeg:.1f} | {mjpeg / rtsp:.1f} |")
    values = latencies[5:]
    if values:
        print(f"\nGlass-to-glass latency in Chromium over WebRTC (stamp read from the presented frame at "
              f"requestVideoFrameCallback), {len(values)} frames: p50 {np.percentile(values, 50):.1f} ms, "
              f"p95 {np.percentile(values, 95):.1f} ms")


def bench_first_frame(serve: str, plugins: str, runs: int, workdir: Path) -> None:
    server = camera0(serve, plugins, "--linger", "1")
    browser = Browser(workdir, FLAGS)
    times = {"closed": [], "open": []}
    try:
        browser.call("Page.addScriptToEvaluateOnNewDocument", {"source": FIRST_FRAME_PROBE}, session=True)
        for state in ("closed", "open"):
            keeper = None
            if state == "open":
                keeper = subprocess.Popen([sys.executable, WHEP_CLIENT, server.url("/cam0/whep"), "--seconds",
                                           "600", "--no-decode"], stdout=subprocess.DEVNULL,
                                          stderr=subprocess.DEVNULL)
            for _ in range(runs):
                browser.call("Page.navigate", {"url": "about:blank"}, session=True)
                deadline = time.monotonic() + 20
                while server.streaming() != (state == "open") and time.monotonic() < deadline:
                    time.sleep(0.1)
                browser.call("Page.navigate", {"url": server.url("/")}, session=True)
                times[state].append(browser.wait_for("window.firstFrame", 20, "the first frame") / 1000)
            if keeper is not None:
                keeper.terminate()
                keeper.wait()
    finally:
        browser.close()
        server.stop()
    print(f"\nFrom page load (navigation start) to camera 0's first decoded WebRTC frame in Chromium, "
          f"{runs} runs each (s):\n")
    print("| camera | median | worst | goal |\n| --- | ---: | ---: | ---: |")
    print(f"| closed (opened for the page) | {np.median(times['closed']):.3f} | {max(times['closed']):.3f} | 1.5 |")
    print(f"| already open for another viewer | {np.median(times['open']):.3f} | {max(times['open']):.3f} | 1 |")


def bench_cpu(serve: str, plugins: str, seconds: float) -> None:
    server = camera0(serve, plugins, "--max-clients", "32")
    viewers: List[subprocess.Popen] = []
    shares = {}
    try:
        for count in (1, 2, 4, 8):
            while len(viewers) < count:
                viewers.append(subprocess.Popen([sys.executable, WHEP_CLIENT, server.url("/cam0/whep"), "--seconds",
                                                 "600", "--no-decode"], stdout=subprocess.DEVNULL,
                                                stderr=subprocess.DEVNULL))
            time.sleep(4)
            shares[count] = cpu_share(server, seconds)
    finally:
        for viewer in viewers:
            viewer.terminate()
            viewer.wait()
        server.stop()
    print(f"\nCPU of boardcam-serve with N WebRTC viewers of camera 0 (webrtcbin receivers that do not decode, "
          f"in processes of their own), % of one core over {seconds:.0f} s:\n")
    print("| viewers | CPU |\n| ---: | ---: |")
    for count, share in shares.items():
        print(f"| {count} | {share:.1f} |")
    print(f"\nEach viewer after the first adds {(shares[8] - shares[1]) / 7:.2f}% of a core (goal: at most 2%).")


def bench_slow_mjpeg(serve: str, plugins: str, seconds: float) -> None:
    server = camera0(serve, plugins)
    try:
        size = len(subprocess.run(["curl", "-s", "--max-time", "10", server.url("/cam0.jpg")],
                                  capture_output=True).stdout)
        rate = size * FPS
        reader = ThrottledMjpegReader(server.http, "/cam0.mjpg", rate / 2)
        reader.start()
        time.sleep(seconds)
        reader.stop()
    finally:
        server.stop()
    ages = reader.ages_ms()[5:]
    print(f"\nMJPEG reader on a link of half the stream's rate ({rate * 4e-6:.1f} of {rate * 8e-6:.1f} Mbit/s), "
          f"{seconds:.0f} s: {len(reader.frames) / seconds:.1f} fps, frame age p50 {np.percentile(ages, 50):.0f} ms, "
          f"p95 {np.percentile(ages, 95):.0f} ms (goal 150 / 300)")


def main() -> None:
    serve, plugins = sys.argv[1], sys.argv[2]
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 10
    with tempfile.TemporaryDirectory(prefix="webrtc-bench-") as work:
        bench_bandwidth_and_latency(serve, plugins, seconds, Path(work) / "a")
        bench_first_frame(serve, plugins, 5, Path(work) / "b")
    bench_cpu(serve, plugins, seconds / 2)
    bench_slow_mjpeg(serve, plugins, seconds * 2)


if __name__ == "__main__":
    main()
