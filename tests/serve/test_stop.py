"""The stop always ends: SIGTERM or SIGINT with every kind of client
connected, TLS or not, ends the server within 2 s, exit 0, every camera
closed and every frame released. make soak-serve repeats this many times."""
from __future__ import annotations

import os
import signal
import threading
import time
from pathlib import Path

import pytest

from conftest import SANITIZED, wait_for
from every_client import EveryClient, make_certificate

# The program's promise. A sanitized build runs every library it loads
# several times slower, the WebRTC stack's teardown included: there the
# bound only catches a stop that hangs.
STOP_LIMIT_S = 4.0 if SANITIZED else 2.0


def stop_with_every_client(start_server, workdir: Path, tls: bool, signo: int) -> float:
    args = ["--size", "320x240", "--fps", "15"]
    env = None
    cert = None
    if tls:
        cert, key = make_certificate(workdir)
        args += ["--tls-cert", str(cert), "--tls-key", str(key)]
        # As in the TLS test: the leak check at exit cannot stop the TLS library's threads.
        if "ASAN_OPTIONS" in os.environ:
            env = {"ASAN_OPTIONS": os.environ["ASAN_OPTIONS"] + ":detect_leaks=0"}
    server = start_server(*args, env=env)
    clients = EveryClient(server, tls, cert)
    try:
        clients.playing(server)
        clients.hang_up_one()
        start = time.monotonic()
        server.process.send_signal(signo)
        # The stop is over when the program says so; a sanitized build then
        # scans its heap for leaks at exit, which is the sanitizer's time.
        took = None
        while server.process.poll() is None and time.monotonic() - start < 30:
            if took is None and "every camera is closed" in server.stderr():
                took = time.monotonic() - start
            time.sleep(0.01)
        server.process.wait(timeout=30)
        if took is None:
            took = time.monotonic() - start
    finally:
        clients.close()
    log = server.stderr()
    server.stop()  # checks exit 0, no live device buffer and the closing line
    assert "held up" not in log, log
    return took


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
@pytest.mark.parametrize("signo", [signal.SIGTERM, signal.SIGINT], ids=["sigterm", "sigint"])
def test_a_stop_with_every_kind_of_client_ends_in_time(start_server, workdir: Path, tls: bool, signo: int) -> None:
    took = stop_with_every_client(start_server, workdir, tls, signo)
    assert took <= STOP_LIMIT_S, f"the stop took {took:.2f} s"


def handles(pid: int, signo: int) -> bool:
    """Whether the process has a handler of its own for the signal."""
    status = Path(f"/proc/{pid}/status").read_text()
    caught = int(next(line for line in status.splitlines() if line.startswith("SigCgt:")).split()[1], 16)
    return bool(caught & (1 << (signo - 1)))


def test_a_stop_during_the_start_is_a_stop_like_any_other(start_server, workdir: Path) -> None:
    # The start is held at a known point: the library's log is a pipe, and
    # opening it for writing waits for a reader. The stop comes there.
    log = workdir / "library-log.fifo"
    os.mkfifo(log)
    server = start_server("--size", "320x240", "--library-log", str(log), wait=False)
    wait_for(lambda: handles(server.process.pid, signal.SIGTERM) or server.process.poll() is not None, 20,
             "a handler for SIGTERM while the server starts")
    server.process.send_signal(signal.SIGTERM)
    reader = threading.Thread(target=lambda: Path(log).read_bytes(), daemon=True)
    reader.start()
    server.process.wait(timeout=30)
    server.stop()  # exit 0, the closing line, no device buffer live
