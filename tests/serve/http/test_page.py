"""The page as a browser shows it: headless Chromium playing both cameras
over WebRTC, falling back to MJPEG, switching, reconnecting and resting."""
from __future__ import annotations

import os
import re
import shutil
import socket
import time
from pathlib import Path
from typing import Dict, List

import cv2
import pytest

from browser import Browser
from conftest import run, status, wait_for
from pictures import matching_cells, reference_bgr

WIDTH, HEIGHT = 320, 240
WINDOW = (1000, 700)
# The page's grid: 8 px padding and gap, two tiles side by side, each
# picture as wide as its tile.
TILE_WIDTH = (WINDOW[0] - 3 * 8) // 2
PICTURE_HEIGHT = TILE_WIDTH * HEIGHT // WIDTH
# Autoplay without a click, as a viewer's click on the page would allow;
# and loopback for WebRTC, which Chromium otherwise leaves out.
FLAGS = ["--autoplay-policy=no-user-gesture-required", "--allow-loopback-in-peer-connection"]
NO_WEBRTC = "delete window.RTCPeerConnection; delete window.webkitRTCPeerConnection;"
NO_MSE = "delete window.MediaSource; delete window.ManagedMediaSource;"


def assert_pictures_are_their_cameras(browser: Browser, board, workdir: Path, name: str) -> None:
    shot = workdir / name
    browser.screenshot(shot)
    artefacts = os.environ.get("BOARDCAM_TEST_ARTEFACTS")
    if artefacts:
        shutil.copy(shot, Path(artefacts) / name)
    image = cv2.imread(str(shot))
    assert image.shape[1] == WINDOW[0] and image.shape[0] > 8 + PICTURE_HEIGHT, image.shape
    pictures = [image[8:8 + PICTURE_HEIGHT, x:x + TILE_WIDTH] for x in (8, 8 + TILE_WIDTH + 8)]
    references = [reference_bgr(board, camera) for camera in (0, 1)]
    for camera in (0, 1):
        own = matching_cells(pictures[camera], references[camera])
        other = matching_cells(pictures[camera], references[1 - camera])
        assert own >= 0.8 and other < own - 0.3, f"tile {camera}: {own:.2f} like its camera, {other:.2f} like the other"


def tiles(browser: Browser) -> List[Dict]:
    return browser.evaluate("""[...document.querySelectorAll('.tile')].map(t => ({
        transport: t.dataset.transport, tier: t.dataset.tier || null, decoded: Number(t.dataset.framesDecoded || 0), size: t.dataset.frameSize,
        label: t.querySelector('.transport span').textContent,
        fps: t.querySelector('.transport span').dataset.rxFps, mbps: t.querySelector('.transport span').dataset.rxMbps,
        img: t.querySelector('img').complete ? t.querySelector('img').naturalWidth : 0,
        shown: t.querySelector('video').getVideoPlaybackQuality().totalVideoFrames}))""")


def playing_webrtc(browser: Browser) -> bool:
    shown = tiles(browser)
    return len(shown) == 2 and all(t["transport"] == "webrtc" and t["decoded"] > 0 for t in shown)


@pytest.fixture
def browser(workdir: Path):
    opened = Browser(workdir, FLAGS, WINDOW)
    yield opened
    opened.close()


def test_chromium_plays_both_cameras_over_webrtc(start_server, board, workdir: Path, browser: Browser) -> None:
    server = start_server("--size", f"{WIDTH}x{HEIGHT}")
    browser.open(server.url("/"))
    wait_for(lambda: playing_webrtc(browser), 30, "both tiles playing over WebRTC")
    # Frames keep coming: the video's count of frames rises at every look
    # for 5 s (the page's own figures change once a second).
    counts = [[t["shown"] for t in tiles(browser)]]
    for _ in range(5):
        time.sleep(1)
        counts.append([t["shown"] for t in tiles(browser)])
    for camera in (0, 1):
        series = [c[camera] for c in counts]
        assert all(b > a for a, b in zip(series, series[1:])), f"camera {camera} decoded {series}"
    for camera, shown in enumerate(tiles(browser)):
        assert shown["transport"] == "webrtc" and shown["size"] == f"{WIDTH}x{HEIGHT}", shown
        # The tier the server sends it: the main stream, on a free link.
        assert re.fullmatch(r"WebRTC \u00b7 main \u00b7 \d+ fps \u00b7 \d+\.\d Mbit/s", shown["label"]), shown
        assert shown["tier"] == "main", shown
        assert float(shown["fps"]) > 5 and float(shown["mbps"]) > 0, shown
    assert_pictures_are_their_cameras(browser, board, workdir, "page-webrtc.png")
    cameras = status(server)["cameras"]
    assert [c["clients"]["webrtc"] for c in cameras] == [1, 1]
    assert [c["clients"]["mjpeg"] for c in cameras] == [0, 0]
    text = browser.evaluate("document.body.innerText")
    assert text.count(f"{WIDTH}\u00d7{HEIGHT}") == 2 and text.count(" of 30") == 2 and "1 WebRTC" in text
    # Served by the program alone: the page, its modules and its style come
    # from the server, and nothing from elsewhere.
    loaded = browser.evaluate('performance.getEntriesByType("resource").map((e) => e.name)')
    origin = server.url("/")
    assert all(url.startswith(origin) for url in loaded), loaded
    modules = {url[len(origin):].split("?")[0] for url in loaded if "/page/" in url}
    assert {"page/status.js", "page/tile.js", "page/whep.js", "page/recordings.js", "page/style.css"} <= modules, loaded
    for path in ["/"] + sorted("/" + m for m in modules):
        text = run(["curl", "-s", server.url(path)]).stdout.decode()
        assert "http://" not in text and "https://" not in text, path
    assert 'name="viewport"' in run(["curl", "-s", server.url("/")]).stdout.decode()


def test_without_webrtc_the_page_plays_mse_and_without_either_mjpeg(start_server, board, workdir: Path,
                                                                     browser: Browser) -> None:
    server = start_server("--size", f"{WIDTH}x{HEIGHT}")
    browser.open(server.url("/"), before_scripts=NO_WEBRTC)
    label = re.compile(r"MSE \u00b7 main \u00b7 \d+ fps \u00b7 \d+\.\d Mbit/s")
    wait_for(lambda: [(t["transport"], t["size"], bool(label.fullmatch(t["label"])))
                      for t in tiles(browser) if t["decoded"] > 10] == [("mse", f"{WIDTH}x{HEIGHT}", True)] * 2,
             30, "both tiles playing MSE, their labels saying so")
    time.sleep(1)
    assert_pictures_are_their_cameras(browser, board, workdir, "page-mse.png")
    assert [c["clients"]["mse"] for c in status(server)["cameras"]] == [1, 1]
    assert [c["clients"]["webrtc"] for c in status(server)["cameras"]] == [0, 0]

    browser.open(server.url("/"), before_scripts=NO_WEBRTC + NO_MSE)
    wait_for(lambda: [(t["transport"], t["img"]) for t in tiles(browser)] == [("mjpeg", WIDTH)] * 2, 30,
             "both tiles showing MJPEG")
    assert all("MJPEG" in t["label"] for t in tiles(browser))
    # The picture is live, not the first frame: give it a moment to be the scene.
    time.sleep(1)
    assert_pictures_are_their_cameras(browser, board, workdir, "page-mjpeg.png")
    wait_for(lambda: [c["clients"]["mjpeg"] for c in status(server)["cameras"]] == [1, 1], 10, "MJPEG clients")
    wait_for(lambda: [c["clients"]["mse"] for c in status(server)["cameras"]] == [0, 0], 10,
             "the MSE viewers of the page before to leave")


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def test_the_viewer_switches_and_the_page_comes_back_after_a_restart(start_server, browser: Browser) -> None:
    port = free_port()
    server = start_server("--size", f"{WIDTH}x{HEIGHT}", "--http-port", str(port), "--linger", "0")
    browser.open(server.url("/"))
    wait_for(lambda: playing_webrtc(browser), 30, "both tiles playing over WebRTC")
    # By hand: camera 0 to MJPEG and back; camera 1 is untouched.
    browser.evaluate("document.querySelector('#cam0 button').click()")
    wait_for(lambda: tiles(browser)[0]["transport"] == "mjpeg" and tiles(browser)[0]["img"] == WIDTH, 20,
             "camera 0 on MJPEG")
    wait_for(lambda: [c["clients"]["webrtc"] for c in status(server)["cameras"]] == [0, 1], 20,
             "camera 0's WebRTC session ended")
    browser.evaluate("document.querySelector('#cam0 button').click()")
    wait_for(lambda: playing_webrtc(browser), 30, "camera 0 back on WebRTC")

    server.stop()
    time.sleep(2)
    again = start_server("--size", f"{WIDTH}x{HEIGHT}", "--http-port", str(port))
    back = time.monotonic()

    def playing_again() -> bool:
        return [c["clients"]["webrtc"] for c in status(again)["cameras"]] == [1, 1] and playing_webrtc(browser)

    # Loose: the page tries again within seconds of the server being back;
    # only a page that never reconnects, or waits for WebRTC's own timeouts,
    # takes this long.
    wait_for(playing_again, 20, "both tiles playing again after the restart",
             lambda: (tiles(browser), [c["clients"] for c in status(again)["cameras"]], again.stderr()[-3000:]))
    took = time.monotonic() - back
    first = [t["shown"] for t in tiles(browser)]
    time.sleep(1)
    assert all(t["shown"] > f for t, f in zip(tiles(browser), first)), "the new sessions' frames stopped"
    print(f"playing again {took:.1f} s after the server was back")


def test_a_hidden_tab_stops_its_streams_and_plays_again_when_shown(start_server, browser: Browser) -> None:
    server = start_server("--size", f"{WIDTH}x{HEIGHT}", "--linger", "0")
    browser.open(server.url("/"))
    wait_for(lambda: playing_webrtc(browser), 30, "both tiles playing over WebRTC")
    page = browser.call("Target.getTargets")["targetInfos"]
    ours = next(t["targetId"] for t in page if t["type"] == "page" and t["url"].startswith(server.url("/")))
    other = browser.call("Target.createTarget", {"url": "about:blank"})["targetId"]
    browser.call("Target.activateTarget", {"targetId": other})
    assert browser.evaluate("document.visibilityState") == "hidden"
    wait_for(lambda: all(c["clients"]["webrtc"] == 0 and not c["streaming"] for c in status(server)["cameras"]), 30,
             "the hidden tab's streams stopped and the cameras closed")
    browser.call("Target.activateTarget", {"targetId": ours})
    wait_for(lambda: [c["clients"]["webrtc"] for c in status(server)["cameras"]] == [1, 1], 30,
             "the shown tab's streams back")
    wait_for(lambda: playing_webrtc(browser), 30, "both tiles playing again")
