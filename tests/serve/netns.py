"""A viewer on another host, behind a link of a chosen rate: a network
namespace joined to this one by a veth pair, with a token bucket (tc tbf) on
the server's side shaping what goes to the viewer. Traffic stays inside the
pair. Needs root (the tests run as root in CI).

Each side's queue is an htb with two classes: 1:10, everything, under the
token bucket when the link is limited; and 1:20, which drops every packet (a
pfifo of no room), where a u32 filter sends UDP when UDP is blocked."""
from __future__ import annotations

import os
import subprocess
import time
from typing import List, Optional


def run(*command: str) -> None:
    subprocess.run(list(command), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def available() -> bool:
    """Whether namespaces, veth pairs and tc can be made here."""
    if os.geteuid() != 0:
        return False
    try:
        with SlowLink(index=99) as _:
            return True
    except (subprocess.CalledProcessError, OSError):
        return False


class SlowLink:
    """Server side 10.X.Y.1 in this namespace, viewer 10.X.Y.2 in its own.
    `index` tells links of one process apart; the process id those of
    processes that run at once."""

    def __init__(self, index: int = 0) -> None:
        pid = os.getpid()
        tag = f"{pid % 1000000}{index}"
        self.namespace = f"bcv{tag}"
        self.server_side = f"bcs{tag}"
        self.viewer_side = f"bcw{tag}"
        subnet = (pid * 7 + index) % 60000
        self.server_address = f"10.{200 + subnet // 250 % 50}.{subnet % 250}.1"
        self.viewer_address = f"10.{200 + subnet // 250 % 50}.{subnet % 250}.2"
        self.made: List[str] = []

    def __enter__(self) -> "SlowLink":
        try:
            run("ip", "netns", "add", self.namespace)
            self.made.append("namespace")
            run("ip", "link", "add", self.server_side, "type", "veth", "peer", "name", self.viewer_side)
            self.made.append("link")
            # No IPv6 link-local addresses: one that appears a moment after the
            # link is up is a network change to Chromium, which then fails
            # whatever it was loading (a page's script, once and for good).
            run("ip", "link", "set", self.server_side, "addrgenmode", "none")
            run("ip", "link", "set", self.viewer_side, "addrgenmode", "none")
            run("ip", "link", "set", self.viewer_side, "netns", self.namespace)
            run("ip", "addr", "add", self.server_address + "/30", "dev", self.server_side)
            run("ip", "link", "set", self.server_side, "up")
            run("ip", "-n", self.namespace, "addr", "add", self.viewer_address + "/30", "dev", self.viewer_side)
            run("ip", "-n", self.namespace, "link", "set", self.viewer_side, "up")
            run("ip", "-n", self.namespace, "link", "set", "lo", "up")
            for side in ([], ["ip", "netns", "exec", self.namespace]):
                self._queues(side, self.server_side if not side else self.viewer_side)
            self._wait_until_up()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc: object) -> None:
        if "link" in self.made:
            subprocess.run(["ip", "link", "del", self.server_side], stderr=subprocess.DEVNULL)
        if "namespace" in self.made:
            subprocess.run(["ip", "netns", "del", self.namespace], stderr=subprocess.DEVNULL)
        self.made = []

    def _wait_until_up(self) -> None:
        """Both ends carry traffic before anything is started on them."""
        deadline = time.monotonic() + 20
        while True:
            states = [subprocess.run(["ip"] + side + ["-o", "link", "show", "dev", device], capture_output=True,
                                     text=True).stdout
                      for side, device in (([], self.server_side), (["-n", self.namespace], self.viewer_side))]
            if all(" state UP " in state for state in states):
                return
            if time.monotonic() > deadline:
                raise OSError(f"the link between {self.server_side} and {self.viewer_side} stayed {states}")
            time.sleep(0.05)

    @staticmethod
    def _queues(side: List[str], device: str) -> None:
        tc = side + ["tc"]
        run(*tc, "qdisc", "add", "dev", device, "root", "handle", "1:", "htb", "default", "10", "r2q", "1000")
        run(*tc, "class", "add", "dev", device, "parent", "1:", "classid", "1:10", "htb", "rate", "10gbit")
        run(*tc, "class", "add", "dev", device, "parent", "1:", "classid", "1:20", "htb", "rate", "8kbit",
            "quantum", "1514")
        run(*tc, "qdisc", "add", "dev", device, "parent", "1:20", "handle", "20:", "pfifo", "limit", "0")

    def prefix(self) -> List[str]:
        """Runs a command on the viewer's host."""
        return ["ip", "netns", "exec", self.namespace]

    def limit(self, kbit: Optional[int]) -> None:
        """Shapes what the server sends the viewer to `kbit` kbit/s, with a
        quarter of a second of queue; None frees the link."""
        if kbit is None:
            subprocess.run(["tc", "qdisc", "del", "dev", self.server_side, "parent", "1:10"],
                           stderr=subprocess.DEVNULL)
            return
        run("tc", "qdisc", "replace", "dev", self.server_side, "parent", "1:10", "handle", "10:", "tbf",
            "rate", f"{kbit}kbit", "burst", "16kb", "latency", "250ms")

    def block_udp(self) -> None:
        """Drops every UDP packet, both ways: only TCP gets through."""
        for side, device in (([], self.server_side), (self.prefix(), self.viewer_side)):
            run(*side, "tc", "filter", "add", "dev", device, "parent", "1:", "protocol", "ip", "prio", "1", "u32",
                "match", "ip", "protocol", "17", "0xff", "flowid", "1:20")

    def block_tcp_ports(self, first: int, count: int) -> None:
        """Drops TCP to and from the server's ports [first, first + count), both
        ways; `count` a power of two and `first` a multiple of it."""
        assert count & (count - 1) == 0 and first % count == 0
        mask = f"0x{0xFFFF & ~(count - 1):04x}"
        for side, device, field in (([], self.server_side, "sport"), (self.prefix(), self.viewer_side, "dport")):
            run(*side, "tc", "filter", "add", "dev", device, "parent", "1:", "protocol", "ip", "prio", "2", "u32",
                "match", "ip", "protocol", "6", "0xff", "match", "ip", field, str(first), mask, "flowid", "1:20")

