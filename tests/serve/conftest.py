"""boardcam-serve as its users run it, watched by real clients.

CTest runs each case in a process of its own and says where things are:
BOARDCAM_SERVE (the program), BOARDCAM_TEST_GST_PLUGIN_DIR (the plugin),
BOARDCAM_TEST_CAPTURE (the capture tool, for reference frames) and
BOARDCAM_TEST_ARTEFACTS (where screenshots are kept).
"""
from __future__ import annotations

import atexit
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Dict, Iterator, List, Optional

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from reference_frames import ReferenceFrames  # noqa: E402

SERVE = os.environ.get("BOARDCAM_SERVE", "boardcam-serve")
# A sanitized build runs the server and every library it loads several times
# slower; tests whose loose bounds are near that cost widen them there.
SANITIZED = "ASAN_OPTIONS" in os.environ or "TSAN_OPTIONS" in os.environ
ADDRESS_LINE = re.compile(r"page at (https?)://[^ ]+:(\d+)/, streams at (rtsps?)://[^ ]+:(\d+)/")

# Each test process is a board of its own: the simulator's cameras and
# libboardcam-mt's sharing live in a runtime folder made for it, so that
# tests run in parallel never find each other's cameras in use. The servers
# and programs a test starts inherit it and share the test's board.
_RUNTIME_DIR = tempfile.mkdtemp(prefix="boardcam-test-")
os.environ["BOARDSIM_RUNTIME_DIR"] = os.environ["BOARDCAM_RUNTIME_DIR"] = _RUNTIME_DIR
atexit.register(shutil.rmtree, _RUNTIME_DIR, True)


class Server:
    """One running boardcam-serve on free ports, with the simulator's call log."""

    def __init__(self, args: List[str], env: Optional[Dict[str, str]], workdir: Path, wait: bool = True) -> None:
        self.workdir = workdir
        self.calls_path = workdir / "calls.log"
        self.stderr_path = workdir / "serve.err"
        environment = dict(os.environ)
        environment.update({
            "GST_PLUGIN_PATH": os.environ.get("BOARDCAM_TEST_GST_PLUGIN_DIR", ""),
            "BOARDSIM_CALL_LOG": str(self.calls_path),
            "GST_REGISTRY": str(workdir / "registry.bin"),
            # Plugins are scanned in the server itself: a scanner process
            # could not load a plugin built with a sanitizer.
            "GST_REGISTRY_FORK": "no",
        })
        if "ASAN_OPTIONS" in environment:
            # Freed memory held back for use-after-free checks would look
            # like growth to the tests that watch the server's memory; and
            # the suppressions of other projects' leaks need whole stacks
            # through libraries built without frame pointers.
            environment["ASAN_OPTIONS"] += ":quarantine_size_mb=8:fast_unwind_on_malloc=0"
        if "TSAN_OPTIONS" in environment:
            # GLib's slice allocator, which ThreadSanitizer cannot see, hands
            # a buffer freed on one thread to another; through malloc the
            # reuse is seen for what it is.
            environment["G_SLICE"] = "always-malloc"
        if os.environ.get("BOARDCAM_TEST_GST_SYSTEM_PLUGINS"):
            environment["GST_PLUGIN_SYSTEM_PATH"] = os.environ["BOARDCAM_TEST_GST_SYSTEM_PLUGINS"]
        environment.update(env or {})
        command = [SERVE, "--rtsp-port", "0", "--http-port", "0", "--library-log", str(workdir / "boardcam.log")]
        self._stderr = open(self.stderr_path, "w")
        self.process = subprocess.Popen(command + args, stdout=subprocess.DEVNULL, stderr=self._stderr,
                                        env=environment, cwd=workdir)
        self.http_port = self.rtsp_port = 0
        self.http_scheme, self.rtsp_scheme = "http", "rtsp"
        if wait:
            self.wait_for_addresses()

    def wait_for_addresses(self) -> None:
        """Until the program says where it serves: it has started."""
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            match = ADDRESS_LINE.search(self.stderr())
            if match:
                self.http_scheme, self.http_port = match.group(1), int(match.group(2))
                self.rtsp_scheme, self.rtsp_port = match.group(3), int(match.group(4))
                return
            if self.process.poll() is not None:
                raise AssertionError("boardcam-serve exited at start:\n" + self.stderr())
            time.sleep(0.05)
        raise AssertionError("boardcam-serve did not start:\n" + self.stderr())

    def stderr(self) -> str:
        self._stderr.flush()
        return self.stderr_path.read_text(errors="replace")

    def url(self, path: str) -> str:
        return f"{self.http_scheme}://127.0.0.1:{self.http_port}{path}"

    def rtsp(self, camera: int) -> str:
        return f"{self.rtsp_scheme}://127.0.0.1:{self.rtsp_port}/cam{camera}"

    def calls(self) -> List[str]:
        """The simulator's media calls so far, as "OpenCamera 0 1" lines, reads left out."""
        if not self.calls_path.exists():
            return []
        return [line for line in self.calls_path.read_text().splitlines() if not line.startswith("ReadFrame")]

    def opens(self, camera: int) -> int:
        return sum(1 for line in self.calls() if line.startswith(f"OpenCamera {camera} "))

    def closes(self, camera: int) -> int:
        return sum(1 for line in self.calls() if line.startswith(f"CloseCamera {camera} "))

    def stop(self, timeout: float = 10) -> float:
        """SIGTERM; returns the seconds it took to exit, which must be cleanly.
        A server already stopped and checked is not checked again."""
        if self._stderr.closed:
            return 0.0
        if self.process.poll() is None:
            start = time.monotonic()
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(timeout=timeout)
            took = time.monotonic() - start
        else:
            took = 0.0
        self._stderr.close()
        err = self.stderr_path.read_text(errors="replace")
        assert self.process.returncode == 0, f"exit {self.process.returncode}:\n{err}"
        assert "still live" not in err, err
        assert "every camera is closed" in err, err
        return took


@pytest.fixture
def workdir() -> Iterator[Path]:
    with tempfile.TemporaryDirectory(prefix="boardcam-serve-") as path:
        yield Path(path)


@pytest.fixture
def start_server(workdir: Path) -> Iterator:
    """start_server(*args, env=None, wait=True) -> Server, started unless `wait`
    is False; every server is stopped and checked at the end."""
    servers: List[Server] = []

    def start(*args: str, env: Optional[Dict[str, str]] = None, wait: bool = True) -> Server:
        server = Server(list(args), env, workdir, wait)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.stop()


def run(command: List[str], timeout: float = 30, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run(command, capture_output=True, timeout=timeout, **kwargs)


def status(server) -> dict:
    """The server's /api/status, as curl gets it."""
    return json.loads(run(["curl", "-s", server.url("/api/status")]).stdout)


@pytest.fixture(scope="session")
def board() -> ReferenceFrames:
    return ReferenceFrames()


def psnr(a: np.ndarray, b: np.ndarray) -> float:
    mse = float(np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2))
    return 99.0 if mse == 0 else 10 * np.log10(255.0 ** 2 / mse)


def jpeg_parts(stream: bytes) -> List[bytes]:
    """The complete JPEGs of a multipart MJPEG capture."""
    parts = []
    for chunk in stream.split(b"--boardcamframe\r\n")[1:]:
        head, _, body = chunk.partition(b"\r\n\r\n")
        match = re.search(rb"Content-Length: (\d+)", head)
        if match and len(body) >= int(match.group(1)):
            parts.append(body[: int(match.group(1))])
    return parts


def play_with_rtspsrc(url: str, buffers: int, *properties: str) -> None:
    """Plays `buffers` decoded buffers of `url` through GStreamer's rtspsrc.

    Success is the end of stream that the sink posts after its last buffer.
    rtspsrc's own stop that follows sends PAUSE and then closes, and the close
    can cancel the PAUSE still in flight; on a loaded machine that posts an
    error and fails gst-launch although every buffer arrived.
    """
    played = run(["gst-launch-1.0", "rtspsrc", f"location={url}", *properties, "!", "decodebin", "!",
                  "fakesink", f"num-buffers={buffers}"], timeout=60)
    out = played.stdout.decode(errors="replace")
    ended = out.find("Got EOS from element")
    failed = out.find("ERROR:")
    assert ended >= 0 and (failed < 0 or failed > ended), out[-3000:] + played.stderr.decode(errors="replace")


def wait_for(predicate, timeout: float, what: str, detail: Optional[Callable[[], object]] = None) -> None:
    """Polls predicate until it holds; on timeout, fails saying what was
    awaited and, when given, what detail() shows of the state then."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    shown = f": {detail()}" if detail else ""
    raise AssertionError(f"timed out waiting for {what}{shown}")
