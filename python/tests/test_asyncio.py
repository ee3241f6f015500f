"""The asyncio face: calls that leave the event loop running, cancellation,
and the frames as an async iterator."""

import asyncio

import pytest

import ktcomm
from conftest import DEADLINE_MS, DEADLINE_S, frame


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, DEADLINE_S))


async def ticking_during(awaitable):
    """Awaits awaitable while another task ticks every 5 ms; returns its
    outcome (result or exception) and the number of ticks."""
    ticks = 0

    async def tick():
        nonlocal ticks
        while True:
            await asyncio.sleep(0.005)
            ticks += 1

    ticker = asyncio.create_task(tick())
    try:
        outcome = await awaitable
    except Exception as error:
        outcome = error
    ticker.cancel()
    return outcome, ticks


def test_calls_leave_the_loop_running(simulator):
    device = simulator("--reply", "3c=", "--reply", "24=2401")

    async def main():
        with ktcomm.Port(1, device=device) as port:
            silent = await ticking_during(port.acall(0x3C, timeout_ms=300))
            answered = await port.acall(0x24, timeout_ms=DEADLINE_MS, expect=0x24)
            raw = await port.araw_call(b"\x00\x80\x02\x10\x05", timeout_ms=DEADLINE_MS)
        return silent, answered, raw

    (error, ticks), answered, raw = run(main())
    assert isinstance(error, ktcomm.TimedOut)
    assert str(error) == "port 1: no frame within 300 ms"
    assert ticks >= 10  # at 5 ms each, the loop ran through most of the wait
    assert answered == (0x24, b"\x01")
    assert raw == (0x10, b"\x05")


def test_a_cancelled_call_hands_its_late_answer_to_the_iterator(line):
    async def main():
        loop = asyncio.get_running_loop()
        with ktcomm.Port(2, device=line.path) as port:
            waiting = asyncio.create_task(port.acall(0x10, timeout_ms=None))
            assert await loop.run_in_executor(None, line.read, 4) == frame(0x10)
            waiting.cancel()
            with pytest.raises(asyncio.CancelledError):
                await waiting
            line.write(frame(0x10, b"\x01") + frame(0x05))
            frames = port.aframes()
            got = [await frames.__anext__(), await frames.__anext__()]
            # The port takes calls again, and the iterator ends with the port.
            answered = asyncio.create_task(port.acall(0x24, timeout_ms=DEADLINE_MS))
            assert await loop.run_in_executor(None, line.read, 4) == frame(0x24)
            line.write(frame(0x24))
            assert await answered == (0x24, b"")
            port.close()
            rest = [each async for each in frames]
        return got, rest

    got, rest = run(main())
    assert got == [(2, 0x10, b"\x01"), (2, 0x05, b"")]
    assert rest == []


def test_the_iterator_streams_in_order_then_reports_the_lost_device(simulator):
    device = simulator("--stream", "500")

    async def main():
        with ktcomm.Port(3, device=device) as port:
            assert (await port.await_frame(timeout_ms=DEADLINE_MS))[0] == 0x1A
            numbers = []
            with pytest.raises(ktcomm.PortLost):
                async for each in port.aframes():
                    numbers.append(each.data[0])
                    if len(numbers) == 20:
                        simulator.kill()
            assert not port.is_open
            with pytest.raises(ktcomm.PortLost):
                await port.acall(0x10)
        return numbers

    numbers = run(main())
    assert len(numbers) >= 20
    assert [(b - a) % 256 for a, b in zip(numbers, numbers[1:])] == [1] * (len(numbers) - 1)


def test_the_iterator_needs_the_queue(line):
    async def main():
        with ktcomm.Port(4, device=line.path, on_frame=lambda frame: None) as port:
            with pytest.raises(ValueError, match="hands its frames to on_frame"):
                await port.aframes().__anext__()

    run(main())
