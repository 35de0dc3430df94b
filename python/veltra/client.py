"""A small blocking client session for scripts: connect, log in, look up rooms, teleport, move,
chat, and read the commands the server sends, each step with a time-out.

    with veltra.Session("127.0.0.1", 6650) as s:
        s.login("ana")
        room = s.room_id("Brackenvel#ChatHall")
        s.teleport(room, x=10, y=20)
        s.say("hello")
        for cmd in s.commands(seconds=5):
            print(cmd.describe())
"""
from __future__ import annotations

import collections
import socket
import time
from typing import Callable, Iterator

from . import _veltra
from ._veltra import Framer, build, parse


class LoginError(ConnectionError):
    """The server refused the login; code is its error number."""

    def __init__(self, code: int) -> None:
        super().__init__("login refused: error %d" % code)
        self.code = code


class Session:
    """One connection to a world server. Every wait ends after `timeout` seconds with
    TimeoutError; a closed connection raises ConnectionError. With record=True every frame
    received is kept, whole, in `frames`."""

    def __init__(self, host: str, port: int, *, timeout: float = 5.0, record: bool = False) -> None:
        self.timeout = timeout
        self.frames: list[bytes] | None = [] if record else None
        self._sock = socket.create_connection((host, port), timeout=timeout)
        self._framer = Framer()
        self._pending: collections.deque = collections.deque()
        self._unfed = b""

    # ---- sending -------------------------------------------------------------------
    def send(self, frame: bytes) -> None:
        """Sends one whole frame (or several, joined)."""
        self._sock.sendall(frame)

    def login(self, user: str, password: str = "") -> None:
        """Sends the login and waits for the server's answer; LoginError when refused."""
        from . import PropertyId, SessionInit  # the package imports this module first
        self.send(build.login(user, password))
        reply = self.wait_for(lambda c: isinstance(c, SessionInit))
        errors = [p.value for p in reply.props if p.id == PropertyId.ERROR]
        code = int(errors[0]) if errors and errors[0].lstrip("-").isdigit() else 0
        if code != 0:
            raise LoginError(code)

    def room_id(self, name: str) -> int:
        """The number of the room with this name, as the server answers it."""
        from . import RoomId
        self.send(build.room_id_request(name))
        return self.wait_for(lambda c: isinstance(c, RoomId) and c.room_name == name).room_number

    def teleport(self, room: int, x: int = 0, y: int = 0, z: int = 0, dir: int = 0) -> None:
        self.send(build.teleport(room, x=x, y=y, z=z, dir=dir))

    def move(self, x: int, y: int, z: int = 0, dir: int = 0) -> None:
        self.send(build.longloc(_veltra.OBJ_CLIENT, x, y, z, dir))

    def say(self, text: str) -> None:
        """A chat line; the server fills in the sender."""
        self.send(build.text("", text))

    def close(self) -> None:
        """Logs out (without waiting long for the answer) and closes the connection."""
        from . import PropertyId
        try:
            self.send(build.session_exit([(PropertyId.ERROR, "0")]))
            self._sock.settimeout(min(self.timeout, 1.0))
            self._sock.recv(4096)
        except OSError:
            pass
        self._sock.close()

    def __enter__(self) -> "Session":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # ---- receiving -----------------------------------------------------------------
    def receive(self, timeout: float | None = None) -> object:
        """The next command the server sent, waiting at most timeout (default: the session's)."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        while not self._pending:
            frame = self._framer.next()
            if frame is not None:
                if self.frames is not None:
                    self.frames.append(frame)
                self._pending.extend(parse(frame))
                continue
            if self._unfed:
                self._unfed = self._unfed[self._framer.feed(self._unfed):]
                continue
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no command within %.1f s" % (self.timeout if timeout is None else timeout))
            self._sock.settimeout(left)
            try:
                data = self._sock.recv(4096)
            except socket.timeout:
                continue
            if not data:
                raise ConnectionError("the server closed the connection")
            self._unfed = data[self._framer.feed(data):]
        return self._pending.popleft()

    def wait_for(self, match: Callable[[object], bool], timeout: float | None = None) -> object:
        """Reads commands until one matches and returns it; the others are dropped."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        while True:
            cmd = self.receive(max(0.0, deadline - time.monotonic()))
            if match(cmd):
                return cmd

    def commands(self, seconds: float) -> Iterator[object]:
        """Every command received within the next `seconds`."""
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return
            try:
                yield self.receive(left)
            except TimeoutError:
                return
