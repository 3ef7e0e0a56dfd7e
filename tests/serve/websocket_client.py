"""A WebSocket client of the fewest parts (RFC 6455), to look at what the
server sends byte by byte: the handshake, then unmasked frames in, masked
frames out. No extensions, no fragmented messages."""
from __future__ import annotations

import base64
import os
import socket
import ssl
import struct
from typing import Dict, Optional, Tuple

TEXT, BINARY, CLOSE, PING, PONG = 1, 2, 8, 9, 10


class HandshakeRefused(AssertionError):
    def __init__(self, status: int, head: str) -> None:
        super().__init__(f"answered {status}: {head}")
        self.status = status


class WebSocket:
    def __init__(self, host: str, port: int, path: str, headers: Optional[Dict[str, str]] = None,
                 timeout: float = 10, receive_buffer: Optional[int] = None, cafile: Optional[str] = None) -> None:
        """`cafile`: over TLS (wss), trusting that certificate."""
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if receive_buffer is not None:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.sock.settimeout(timeout)
        self.sock.connect((host, port))
        if cafile is not None:
            context = ssl.create_default_context(cafile=cafile)
            # The tests' certificates name their address in the subject only.
            context.check_hostname = False
            self.sock = context.wrap_socket(self.sock, server_hostname=host)
        key = base64.b64encode(os.urandom(16)).decode()
        lines = [f"GET {path} HTTP/1.1", f"Host: {host}:{port}", "Upgrade: websocket", "Connection: Upgrade",
                 f"Sec-WebSocket-Key: {key}", "Sec-WebSocket-Version: 13"]
        lines += [f"{name}: {value}" for name, value in (headers or {}).items()]
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        self._buffer = b""
        while b"\r\n\r\n" not in self._buffer:
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            self._buffer += chunk
        head, _, self._buffer = self._buffer.partition(b"\r\n\r\n")
        status = int(head.split(b" ", 2)[1]) if head.startswith(b"HTTP/") else 0
        if status != 101:
            self.sock.close()
            raise HandshakeRefused(status, head.decode(errors="replace"))

    def _read(self, count: int) -> bytes:
        while len(self._buffer) < count:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("the server closed the connection")
            self._buffer += chunk
        data, self._buffer = self._buffer[:count], self._buffer[count:]
        return data

    def receive(self) -> Tuple[int, bytes]:
        """The next message: (opcode, payload). A close comes as CLOSE."""
        first, second = self._read(2)
        opcode, length = first & 0x0F, second & 0x7F
        if length == 126:
            length = struct.unpack(">H", self._read(2))[0]
        elif length == 127:
            length = struct.unpack(">Q", self._read(8))[0]
        mask = self._read(4) if second & 0x80 else None
        payload = self._read(length)
        if mask:
            payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        if opcode == PING:
            self.send(payload, PONG)
            return self.receive()
        return opcode, payload

    def send(self, payload: bytes, opcode: int = TEXT) -> None:
        mask = os.urandom(4)
        header = bytes([0x80 | opcode])
        if len(payload) < 126:
            header += bytes([0x80 | len(payload)])
        else:
            header += bytes([0x80 | 126]) + struct.pack(">H", len(payload))
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def close(self) -> None:
        self.sock.close()
