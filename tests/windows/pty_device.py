#!/usr/bin/env python3
"""The device side of the Windows lane: pseudo-terminals that Wine maps to
COM ports, driven by the Windows test program over a line protocol on
127.0.0.1, since a program under Wine cannot see the pty's other side.

Usage: pty_device.py --ports N --map FILE [--echo K...]
Writes FILE with one "COM<k>=/dev/pts/<n>" line per port and a last line
"control=<tcp port>", then serves one client at a time until "quit" or
until the client has been gone for --idle seconds. Requests, one a line;
answers "ok ..." or "error ...":

  attr K          the line as the pty's termios has it:
                  ok baud=B data=D parity=N|E|O|M|S stop=1|2 crtscts=0|1
                  (a pty keeps the rate and the stop bits it is given; it
                  forces 8 data bits without parity)
  read K N MS     up to N bytes that come within MS ms: ok HEX...
  expect K N MS   exactly N bytes within MS ms, or what came: ok HEX...
  write K HEX     writes the bytes to the port: ok
  discard K       drops what the port wrote and nobody read: ok COUNT
  hangup K        closes the pty's other side, which hangs the port up: ok
  echo K on|off   the port's device sends back whatever it gets: ok
  quit            ends the helper: ok
Ports named by --echo echo from the start.
"""
import argparse
import os
import select
import socket
import termios
import time

BAUDS = {getattr(termios, "B%d" % b): b for b in (
    50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400,
    57600, 115200, 230400, 460800, 500000, 576000, 921600, 1000000)
    if hasattr(termios, "B%d" % b)}
CMSPAR = 0o10000000000


class Port:
    def __init__(self):
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        # Nobody holds the secondary side open but the port under test; the
        # primary alone keeps the pty alive.
        os.close(slave)
        os.set_blocking(self.master, False)
        self.echo = False

    def attr(self):
        # On the primary side, TCGETS answers with the secondary's termios.
        iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(self.master)
        size = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[cflag & termios.CSIZE]
        parity = "N"
        if cflag & termios.PARENB:
            odd = bool(cflag & termios.PARODD)
            if cflag & CMSPAR:
                parity = "M" if odd else "S"
            else:
                parity = "O" if odd else "E"
        return "baud=%d data=%d parity=%s stop=%d crtscts=%d raw=%d" % (
            BAUDS.get(ospeed, 0), size, parity, 2 if cflag & termios.CSTOPB else 1,
            1 if cflag & termios.CRTSCTS else 0,
            0 if lflag & (termios.ICANON | termios.ECHO | termios.ISIG) or oflag & termios.OPOST
            else 1)

    def read(self, count, ms, exact):
        got = b""
        deadline = time.monotonic() + ms / 1000.0
        while len(got) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.master], [], [], left)
            if not ready:
                continue
            try:
                chunk = os.read(self.master, count - len(got))
            except BlockingIOError:
                continue
            except OSError:  # EIO: nobody holds the secondary side
                time.sleep(0.005)
                continue
            got += chunk
            if not exact:
                break
        return got

    def write(self, data):
        deadline = time.monotonic() + 5
        while data and time.monotonic() < deadline:
            try:
                data = data[os.write(self.master, data):]
            except BlockingIOError:
                select.select([], [self.master], [], 0.05)

    def discard(self):
        dropped = 0
        while True:
            try:
                dropped += len(os.read(self.master, 4096))
            except (BlockingIOError, OSError):
                return dropped

    def hangup(self):
        if self.master >= 0:
            os.close(self.master)
            self.master = -1


def answer(ports, words):
    verb = words[0]
    if verb == "quit":
        return "ok"
    port = ports[int(words[1]) - 1]
    if port.master < 0:
        return "error hung up"
    if verb == "attr":
        return "ok " + port.attr()
    if verb in ("read", "expect"):
        return "ok " + port.read(int(words[2]), int(words[3]), verb == "expect").hex(" ")
    if verb == "write":
        port.write(bytes.fromhex("".join(words[2:])))
        return "ok"
    if verb == "discard":
        return "ok %d" % port.discard()
    if verb == "hangup":
        port.hangup()
        return "ok"
    if verb == "echo":
        port.echo = words[2] == "on"
        return "ok"
    return "error unknown request"


def echo_ready(ports, ready):
    for port in ports:
        if port.echo and port.master in ready:
            try:
                port.write(os.read(port.master, 4096))
            except (BlockingIOError, OSError):
                pass  # EIO while nobody holds the secondary side


def serve(client, ports, idle):
    """One client's requests, echoing meanwhile; True once told to quit."""
    pending = b""
    last = time.monotonic()
    while time.monotonic() - last < idle:
        echoing = [p.master for p in ports if p.echo and p.master >= 0]
        ready, _, _ = select.select([client] + echoing, [], [], 0.05 if echoing else 1)
        echo_ready(ports, ready)
        if client not in ready:
            continue
        chunk = client.recv(4096)
        if not chunk:
            return False
        last = time.monotonic()
        pending += chunk
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            words = line.decode().split()
            if not words:
                continue
            try:
                reply = answer(ports, words)
            except (ValueError, IndexError, OSError) as error:
                reply = "error %s" % error
            client.sendall((reply + "\n").encode())
            if words[0] == "quit":
                return True
    return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ports", type=int, default=4)
    parser.add_argument("--map", required=True)
    parser.add_argument("--echo", type=int, nargs="*", default=[])
    parser.add_argument("--idle", type=float, default=600)
    args = parser.parse_args()
    ports = [Port() for _ in range(args.ports)]
    for k in args.echo:
        ports[k - 1].echo = True
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    with open(args.map + ".new", "w") as out:
        for k, port in enumerate(ports, 1):
            out.write("COM%d=%s\n" % (k, port.path))
        out.write("control=%d\n" % server.getsockname()[1])
    os.rename(args.map + ".new", args.map)  # whole or not at all for the reader
    deadline = time.monotonic() + args.idle
    while time.monotonic() < deadline:
        echoing = [p.master for p in ports if p.echo and p.master >= 0]
        ready, _, _ = select.select([server] + echoing, [], [], 0.05 if echoing else 1)
        echo_ready(ports, ready)
        if server not in ready:
            continue
        client, _ = server.accept()
        with client:
            if serve(client, ports, args.idle):
                return
        deadline = time.monotonic() + args.idle


if __name__ == "__main__":
    main()
