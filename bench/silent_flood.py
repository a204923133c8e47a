#!/usr/bin/env python3
"""Opens COUNT TCP connections to HOST:PORT from the given loopback source addresses and
never sends a byte; each closed connection is opened again, until SECONDS have passed.
Waits up to 30 s for the port to listen first. Prints how many connections it opened and
how many the other side closed.

    silent_flood.py HOST PORT COUNT SECONDS SOURCE [SOURCE ...]
"""
import selectors
import signal
import socket
import sys
import time


def connect(host, port, source):
    s = socket.socket()
    s.setblocking(False)
    s.bind((source, 0))
    try:
        s.connect((host, port))
    except BlockingIOError:
        pass
    return s


def main():
    host, port, count, seconds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
    sources = sys.argv[5:] or ["127.0.0.10"]
    deadline = time.monotonic() + 30
    while True:
        try:
            socket.create_connection((host, port), timeout=1).close()
            break
        except OSError:
            if time.monotonic() > deadline:
                print("silent_flood: nothing listens on %s:%d" % (host, port))
                return 1
            time.sleep(0.05)
    sel = selectors.DefaultSelector()
    opened = closed = 0
    for i in range(count):
        sel.register(connect(host, port, sources[i % len(sources)]), selectors.EVENT_READ, i)
        opened += 1
    end = time.monotonic() + seconds
    counts = [opened, closed]
    # The bench stops the flood with SIGTERM once its measured run is over.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        flood(sel, host, port, sources, end, counts)
    except KeyboardInterrupt:
        pass
    opened, closed = counts
    print("silent_flood: opened %d connections, %d closed by the other side" % (opened, closed))
    return 0


def flood(sel, host, port, sources, end, counts):
    while time.monotonic() < end:
        for key, _ in sel.select(timeout=0.2):
            s = key.fileobj
            try:
                data = s.recv(4096)
            except OSError:
                data = b""
            if data:
                continue  # whatever the other side says goes unanswered
            sel.unregister(s)
            s.close()
            counts[1] += 1
            sel.register(connect(host, port, sources[key.data % len(sources)]),
                         selectors.EVENT_READ, key.data)
            counts[0] += 1


if __name__ == "__main__":
    sys.exit(main())
