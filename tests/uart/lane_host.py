#!/usr/bin/env python3
"""The host side of the real-driver lane: boots the guest under QEMU (TCG),
serves the far ends of its serial lines and does what the guest asks for.

The guest's console (ttyS0) carries its report and its requests: a line
"@@<what>" asks the host for something and the guest waits for "go".
  ttyS1 (16550A, I/O 0x2F8)  -> a pipe pair; the host reads it, or holds it
                                 unread to keep output waiting in the guest
  usb-serial (FTDI) on xHCI  -> a socket; the host echoes every byte
  monitor                    -> a socket; device_del / device_add of the adapter

Prints the guest's lines, then "N passed, N failed"; exits non-zero on any
failure, a missing check, or a guest that does not finish in time.
"""
import argparse
import fcntl
import os
import select
import socket
import subprocess
import sys
import time

CHECKS = range(1, 12)
USB_DEVICE = "usb-serial,bus=xhci.0,chardev=usbline,id=adapter"


def pattern(size, seed):
    """The guest's Pattern(): bytes 0x20..0x7E from a fixed generator."""
    state = (seed * 2654435761 + 1) & 0xFFFFFFFF
    out = bytearray(size)
    for i in range(size):
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        out[i] = 0x20 + (state >> 16) % 0x5F
    return bytes(out)


# What the guest's drain check sends: 6000 bytes, then 500 while the first
# are still leaving.
DRAIN_FIRST = pattern(6000, 4)
DRAIN_SECOND = pattern(500, 5)


def listener(path):
    if os.path.exists(path):
        os.unlink(path)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.bind(path)
    sock.listen(1)
    return sock


def accept(sock, deadline):
    sock.settimeout(max(0.1, deadline - time.monotonic()))
    conn, _ = sock.accept()
    conn.setblocking(False)
    return conn


class Lane:
    def __init__(self, args):
        self.args = args
        self.qemu = None
        self.work = args.work
        self.console_buffer = b""
        self.lines = []
        self.exit_status = None
        self.holding = False        # ttyS1's far end is not read
        self.collecting = None      # bytes read for the drain check
        self.collect_idle_until = 0.0

    def start(self):
        w = self.work
        os.makedirs(w, exist_ok=True)
        con = listener(os.path.join(w, "console.sock"))
        mon = listener(os.path.join(w, "monitor.sock"))
        usb = listener(os.path.join(w, "usb.sock"))
        uart = os.path.join(w, "uart")
        for end in (".in", ".out"):
            if os.path.exists(uart + end):
                os.unlink(uart + end)
            os.mkfifo(uart + end)
        # Open both ends before QEMU does, so that its opens do not block.
        self.uart_out = os.open(uart + ".out", os.O_RDONLY | os.O_NONBLOCK)
        self.uart_in = os.open(uart + ".in", os.O_RDWR | os.O_NONBLOCK)
        # One page: a few KiB unread are enough to keep the guest's output waiting.
        fcntl.fcntl(self.uart_out, fcntl.F_SETPIPE_SZ, 4096)
        command = [
            "qemu-system-x86_64", "-accel", "tcg", "-nodefaults", "-display", "none",
            "-no-reboot", "-m", "384M", "-smp", "1",
            "-kernel", self.args.kernel, "-initrd", self.args.initrd,
            "-append", "console=ttyS0 quiet loglevel=3 panic=-1",
            "-chardev", "socket,id=con,path=" + os.path.join(w, "console.sock"),
            "-serial", "chardev:con",
            "-chardev", "pipe,id=uart,path=" + uart,
            "-serial", "chardev:uart",
            "-chardev", "socket,id=mon,path=" + os.path.join(w, "monitor.sock"),
            "-mon", "chardev=mon,mode=readline",
            "-chardev", "socket,id=usbline,path=" + os.path.join(w, "usb.sock"),
            "-device", "qemu-xhci,id=xhci",
            "-device", USB_DEVICE,
        ]
        # QEMU's own limit holds even if this script dies.
        limit = ["timeout", "-k", "5", str(self.args.timeout + 10)]
        self.qemu = subprocess.Popen(limit + command, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        self.console = accept(con, deadline)
        self.monitor = accept(mon, deadline)
        self.usb = accept(usb, deadline)
        for sock in (con, mon, usb):
            sock.close()

    def say(self, text):
        print(text, flush=True)

    def tell_guest(self, text):
        self.console.sendall(text.encode() + b"\n")

    def monitor_command(self, text):
        self.monitor.sendall(text.encode() + b"\n")

    def on_line(self, line):
        if not line.startswith("@@"):
            self.lines.append(line)
            self.say(line)
            return
        what = line[2:].strip()
        if what == "drain-hold":
            self.drain_uart()
            self.holding = True
            self.tell_guest("go")
        elif what == "drain-read":
            self.holding = False
            self.collecting = b""
            self.collect_idle_until = time.monotonic() + 3
            self.tell_guest("go")
        elif what == "unplug":
            self.monitor_command("device_del adapter")
            self.tell_guest("go")
        elif what == "replug":
            self.monitor_command("device_add " + USB_DEVICE)
            self.tell_guest("go")
        elif what.startswith("exit "):
            self.exit_status = int(what.split()[1])

    def drain_uart(self):
        try:
            while os.read(self.uart_out, 65536):
                pass
        except BlockingIOError:
            pass

    def read_uart(self):
        try:
            data = os.read(self.uart_out, 65536)
        except BlockingIOError:
            return
        if self.collecting is not None:
            self.collecting += data
            self.collect_idle_until = time.monotonic() + 2
            if len(self.collecting) >= len(DRAIN_FIRST) + len(DRAIN_SECOND):
                self.drain_verdict()

    def drain_verdict(self):
        got = self.collecting
        self.collecting = None
        whole = got == DRAIN_FIRST + DRAIN_SECOND
        if not whole:
            first = 0
            while first < min(len(got), len(DRAIN_FIRST)) and got[first] == DRAIN_FIRST[first]:
                first += 1
            rest = got[first:]
            self.say(f"host: drain: {len(got)} bytes at the far end; the first send "
                     f"({len(DRAIN_FIRST)} bytes) matched for {first}, then "
                     f"{'the second send whole' if rest == DRAIN_SECOND else 'other bytes'}")
        # Answer with a protocol 1 frame the guest's port decodes.
        os.write(self.uart_in, bytes([0x00, 0x80, 0x02, 0x1A, 1 if whole else 0]))

    def run(self):
        try:
            return self.serve()
        finally:
            if self.qemu is not None and self.qemu.poll() is None:
                self.stop_qemu()

    def stop_qemu(self):
        # SIGTERM, which timeout(1) passes on to QEMU; SIGKILL would not be.
        self.qemu.terminate()
        try:
            self.qemu.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.qemu.kill()
            self.qemu.wait()

    def serve(self):
        self.start()
        deadline = time.monotonic() + self.args.timeout
        while self.qemu.poll() is None:
            now = time.monotonic()
            if now > deadline:
                self.say(f"host: the guest did not finish within {self.args.timeout} s")
                self.stop_qemu()
                break
            if self.collecting is not None and now > self.collect_idle_until:
                self.drain_verdict()
            watched = [self.console, self.usb, self.monitor]
            if not self.holding:
                watched.append(self.uart_out)
            ready, _, _ = select.select(watched, [], [], 0.2)
            for source in ready:
                if source is self.uart_out:
                    self.read_uart()
                    continue
                try:
                    data = source.recv(65536)
                except BlockingIOError:
                    continue
                if not data:
                    continue
                if source is self.usb:
                    self.usb.sendall(data)  # the adapter's far end echoes
                elif source is self.console:
                    self.console_buffer += data
                    while b"\n" in self.console_buffer:
                        raw, self.console_buffer = self.console_buffer.split(b"\n", 1)
                        self.on_line(raw.decode(errors="replace").rstrip("\r"))
        self.qemu.wait()
        return self.summary()

    def summary(self):
        passed = failed = 0
        seen = set()
        for line in self.lines:
            words = line.split()
            if len(words) < 2 or words[0] not in ("ok", "FAIL", "skip") or not words[1].isdigit():
                continue
            seen.add(int(words[1]))
            # In the lane everything is there: a skipped check is not shown.
            if words[0] == "ok":
                passed += 1
            else:
                failed += 1
        for number in CHECKS:
            if number not in seen:
                self.say(f"FAIL  {number} not reported by the guest")
                failed += 1
        if self.exit_status is None:
            self.say("host: the guest's check program did not finish")
            failed += 1
        print(f"{passed} passed, {failed} failed", flush=True)
        return 0 if failed == 0 and self.exit_status == 0 else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kernel", required=True)
    parser.add_argument("--initrd", required=True)
    parser.add_argument("--work", required=True, help="folder for sockets and pipes")
    parser.add_argument("--timeout", type=int, default=150, help="seconds for the guest")
    sys.exit(Lane(parser.parse_args()).run())


if __name__ == "__main__":
    main()
