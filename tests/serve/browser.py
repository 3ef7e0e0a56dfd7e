"""Headless Chromium driven over its DevTools protocol, for tests that watch
a page over time: the protocol runs over a pair of pipes
(--remote-debugging-pipe), one JSON message each, ended by a NUL byte."""
from __future__ import annotations

import base64
import fcntl
import json
import os
import select
import subprocess
import time
from pathlib import Path
from typing import Any, Dict, List, Optional


class BrowserError(AssertionError):
    pass


class Browser:
    """One headless Chromium with one page."""

    def __init__(self, workdir: Path, flags: Optional[List[str]] = None,
                 window: tuple = (1000, 700), prefix: Optional[List[str]] = None) -> None:
        """`prefix` runs Chromium through another command, as
        ["ip", "netns", "exec", NAME] for a viewer on another host."""
        commands_read, self._commands = os.pipe()
        self._events, events_write = os.pipe()

        def give_pipes() -> None:
            # Chromium reads its commands on descriptor 3 and answers on 4.
            commands = fcntl.fcntl(commands_read, fcntl.F_DUPFD_CLOEXEC, 10)
            events = fcntl.fcntl(events_write, fcntl.F_DUPFD_CLOEXEC, 10)
            os.dup2(commands, 3)
            os.dup2(events, 4)

        command = ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                   "--disable-background-networking", "--disable-component-update", "--disable-sync",
                   "--hide-scrollbars", f"--window-size={window[0]},{window[1]}",
                   f"--user-data-dir={workdir / 'chromium-profile'}", "--remote-debugging-pipe"]
        self.process = subprocess.Popen((prefix or []) + command + (flags or []) + ["about:blank"], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        # Descriptors 3 and 4 are made after the
                                        # close_fds sweep would run: keep it off.
                                        # Python's own descriptors are
                                        # close-on-exec anyway.
                                        close_fds=False, preexec_fn=give_pipes)
        os.close(commands_read)
        os.close(events_write)
        self._next_id = 0
        self._buffer = b""
        self.events: List[Dict[str, Any]] = []
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        self.call("Page.enable", session=True)
        self.call("Runtime.enable", session=True)
        self.call("Log.enable", session=True)

    def _send(self, message: Dict[str, Any]) -> None:
        os.write(self._commands, json.dumps(message).encode() + b"\0")

    def _receive(self, timeout: float) -> Optional[Dict[str, Any]]:
        deadline = time.monotonic() + timeout
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._events], [], [], left)[0]:
                return None
            chunk = os.read(self._events, 1 << 20)
            if not chunk:
                raise BrowserError("Chromium went away")
            self._buffer += chunk
        message, _, self._buffer = self._buffer.partition(b"\0")
        return json.loads(message)

    def call(self, method: str, params: Optional[Dict[str, Any]] = None, session: bool = False,
             timeout: float = 30) -> Dict[str, Any]:
        self._next_id += 1
        message: Dict[str, Any] = {"id": self._next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = self.session
        self._send(message)
        deadline = time.monotonic() + timeout
        while True:
            reply = self._receive(deadline - time.monotonic())
            if reply is None:
                raise BrowserError(f"no answer to {method} in {timeout} s")
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise BrowserError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self.events.append(reply)

    def open(self, url: str, before_scripts: Optional[str] = None) -> None:
        """Loads url; `before_scripts` runs in the page before any of its own."""
        if before_scripts:
            self.call("Page.addScriptToEvaluateOnNewDocument", {"source": before_scripts}, session=True)
        result = self.call("Page.navigate", {"url": url}, session=True)
        if result.get("errorText"):
            raise BrowserError(f"{url} did not load: {result['errorText']}")

    def evaluate(self, expression: str, timeout: float = 30) -> Any:
        """The value of a JavaScript expression in the page (promises awaited)."""
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True}, session=True, timeout=timeout)
        if "exceptionDetails" in result:
            raise BrowserError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_for(self, expression: str, timeout: float, what: str) -> Any:
        """Polls a JavaScript expression until it is truthy; returns its value."""
        deadline = time.monotonic() + timeout
        value = None
        while time.monotonic() < deadline:
            value = self.evaluate(expression)
            if value:
                return value
            time.sleep(0.2)
        try:
            page = self.evaluate("`${location.href} (${document.readyState}): ` + "
                                 "(document.body ? document.body.innerText.slice(0, 400) : '')", timeout=5)
        except BrowserError as e:
            page = str(e)
        raise BrowserError(f"timed out waiting for {what} ({expression!r} was {value!r}); "
                           f"the page was {page!r} and said {self.complaints()}")

    def complaints(self) -> List[str]:
        """The page's errors so far (failed loads, exceptions), for a failure's message."""
        said = []
        for event in self.events:
            params = event.get("params", {})
            if event.get("method") == "Log.entryAdded" and params["entry"].get("level") == "error":
                entry = params["entry"]
                said.append(f"{entry.get('text')} {entry.get('url', '')}".strip())
            elif event.get("method") == "Runtime.exceptionThrown":
                details = params["exceptionDetails"]
                said.append(details.get("exception", {}).get("description") or details.get("text", ""))
        return said[-10:]

    def screenshot(self, path: Path) -> None:
        data = self.call("Page.captureScreenshot", {"format": "png"}, session=True)["data"]
        path.write_bytes(base64.b64decode(data))

    def close(self) -> None:
        try:
            self._send({"id": self._next_id + 1, "method": "Browser.close"})
            self.process.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()
        os.close(self._commands)
        os.close(self._events)
