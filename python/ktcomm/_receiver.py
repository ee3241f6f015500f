"""Where a port's frames go: to the call waiting for one, else to the
application.

A waiting call does not use the library's waiting functions. Those hand the
frame over and keep the decoder holding it until the caller has collected
it, and bytes that arrive meanwhile are dropped: a frame right behind the
answer is lost. Instead the call becomes the receiver of the port's posts,
then sends without waiting (KTSendCommand, KTSendData), and the post
callback hands it the first frame it wants. Every frame is posted, in the
order the worker decoded it, and goes either to the call or to the
application; none is held, so none is lost. The caller waits on a
threading.Event or an asyncio future, which Ctrl-C and task cancellation
end at once, and the port is free again at that moment.

A protocol-2 frame with data is posted when the byte after it (its
trailer) arrives, as the library posts all such frames.
"""

from __future__ import annotations

import asyncio
import threading
import time
import traceback
from typing import Callable, NamedTuple

from .errors import (KT_NOT_OPEN, KT_OVERFLOW, KT_TIMED_OUT, KTcommError, Overflow, PortLost,
                     PortNotOpen, TimedOut)


class Frame(NamedTuple):
    """A frame the port received: port number, command byte and data bytes."""
    port: int
    command: int
    data: bytes


class Call:
    """One waiting call: the command byte it wants (None: any), its deadline
    on time.monotonic() (None: none), whether a receive overflow fails it,
    and its outcome once decided. Decided under the receiver's lock only."""

    def __init__(self, expect: int | None, deadline: float | None, describe: str,
                 overflow_fails: bool = False) -> None:
        self.expect = expect
        self.deadline = deadline
        self.describe = describe  # "no frame ... within N ms", for TimedOut
        self.overflow_fails = overflow_fails
        self.done = threading.Event()
        self.frame: Frame | None = None
        self.error: KTcommError | None = None
        self.listeners: list[Callable[[], None]] = []

    def wants(self, frame: Frame) -> bool:
        return self.expect is None or frame.command == self.expect


class Receiver:
    """The routing of one Port. post and the alerts run on the port's worker
    thread, the rest on the caller's thread or event loop."""

    def __init__(self, number: int, deliver: Callable[[Frame], object]) -> None:
        self.number = number
        self._deliver_to = deliver

        # Changed under the lock; lost and closed are read without it.
        self._lock = threading.Lock()
        self._call: Call | None = None  # the waiting call, at most one
        self.lost = False
        self.closed = False
        self._wakers: set[Callable[[], None]] = set()

    # --- the worker's side

    def post(self, frame: Frame) -> None:
        with self._lock:
            call = self._call
            if call is not None and call.wants(frame):
                self._decide_locked(call, frame=frame)
            else:
                self._deliver_locked(frame)

    def hung_up(self) -> None:
        """The device is gone: the waiting call fails, later ones are refused."""
        with self._lock:
            self.lost = True
            if self._call is not None:
                self._decide_locked(self._call, error=self.lost_error())
            self._wake_locked()

    def overflowed(self) -> None:
        """The receive buffer overflowed: a waiting raw_call fails."""
        with self._lock:
            call = self._call
            if call is not None and call.overflow_fails:
                self._decide_locked(call, error=Overflow(
                    f"port {self.number}: the receive buffer overflowed (see rx_size)",
                    KT_OVERFLOW))

    def lost_error(self) -> PortLost:
        return PortLost(f"port {self.number}: the device hung up", None)

    # --- calls

    def start(self, call: Call, send: Callable[[], None] | None) -> None:
        """Makes call the port's waiting call, then sends. Raises PortLost,
        PortNotOpen, KTcommError when another call waits, or what send raises
        (the call is withdrawn then)."""
        with self._lock:
            if self.lost:
                raise self.lost_error()
            if self.closed:
                raise PortNotOpen(f"port {self.number} is not open", KT_NOT_OPEN)
            if self._call is not None:
                raise KTcommError(f"port {self.number}: another call is already waiting")
            # Before the send, so that an answer arriving at once comes here.
            self._call = call
        if send is not None:
            try:
                send()
            except BaseException:
                self.abandon(call)
                raise

    def expire(self, call: Call) -> None:
        """The call's deadline has passed; a frame that came first stays its."""
        with self._lock:
            if not call.done.is_set():
                self._decide_locked(call, error=TimedOut(
                    f"port {self.number}: {call.describe}", KT_TIMED_OUT))

    def abandon(self, call: Call) -> None:
        """The caller stopped waiting (Ctrl-C, a cancelled task). A frame
        already decided for it goes to the application instead, after what
        has arrived since."""
        with self._lock:
            if not call.done.is_set():
                self._decide_locked(call, error=KTcommError(
                    f"port {self.number}: the call was abandoned"))
            elif call.frame is not None:
                frame, call.frame = call.frame, None
                self._deliver_locked(frame)

    def wait(self, call: Call) -> Frame:
        """Blocks until call is decided; returns its frame or raises."""
        try:
            left = None if call.deadline is None else max(0.0, call.deadline - time.monotonic())
            if not call.done.wait(left):
                self.expire(call)
            return self._outcome(call)
        except BaseException:
            self.abandon(call)
            raise

    async def await_(self, call: Call) -> Frame:
        """As wait(), on an event loop, which it never blocks."""
        loop = asyncio.get_running_loop()
        decided = loop.create_future()

        def settle() -> None:
            if not decided.done():
                decided.set_result(None)

        def listener() -> None:
            try:
                loop.call_soon_threadsafe(settle)
            except RuntimeError:  # the loop is closed: nobody awaits
                pass

        with self._lock:
            if call.done.is_set():
                settle()
            else:
                call.listeners.append(listener)
        timer = None
        if call.deadline is not None:
            timer = loop.call_later(max(0.0, call.deadline - time.monotonic()), self.expire, call)
        try:
            await decided
            return self._outcome(call)
        except BaseException:
            self.abandon(call)
            raise
        finally:
            if timer is not None:
                timer.cancel()

    @staticmethod
    def _outcome(call: Call) -> Frame:
        if call.error is not None:
            raise call.error
        assert call.frame is not None
        return call.frame

    def _decide_locked(self, call: Call, frame: Frame | None = None,
                       error: KTcommError | None = None) -> None:
        call.frame, call.error = frame, error
        if self._call is call:
            self._call = None
        call.done.set()
        for listener in call.listeners:
            listener()

    def _deliver_locked(self, frame: Frame) -> None:
        # Under the lock, so that the application sees frames in the order
        # they were decoded, whichever thread hands them on.
        try:
            self._deliver_to(frame)
        except Exception:
            traceback.print_exc()
        self._wake_locked()

    # --- the application's waiters for frames (the asyncio iterator)

    def add_waker(self, wake: Callable[[], None]) -> None:
        with self._lock:
            self._wakers.add(wake)

    def remove_waker(self, wake: Callable[[], None]) -> None:
        with self._lock:
            self._wakers.discard(wake)

    def _wake_locked(self) -> None:
        for wake in list(self._wakers):
            wake()

    def close(self) -> None:
        """Fails the waiting call; refuses calls from now on."""
        with self._lock:
            self.closed = True
            if self._call is not None:
                self._decide_locked(self._call, error=PortNotOpen(
                    f"port {self.number} was closed while a call waited", KT_NOT_OPEN))
            self._wake_locked()
