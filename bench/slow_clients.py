#!/usr/bin/env python3
"""Holds idle and trickling connections to an HTTP server and times normal requests meanwhile.

Usage: slow_clients.py HOST PORT [IDLE] [TRICKLING] [SECONDS]   (default 2000 200 20)

Idle connections send nothing; trickling ones send a request head one byte a second. Both
come from 127.0.0.2 upwards, at most 50 per address, so that a per-address bound does not
refuse them outright; a closed one is opened again at once, so the counts are held whatever
the server closes. The normal requests come from 127.0.0.1, one connection each, made by another process than
the one that holds the connections, so that its turnover never delays their timing.
"""
import selectors
import socket
import statistics
import sys
import multiprocessing
import time

from timed_get import timed_get

host, port = sys.argv[1], int(sys.argv[2])
idle_wanted = int(sys.argv[3]) if len(sys.argv) > 3 else 2000
trickle_wanted = int(sys.argv[4]) if len(sys.argv) > 4 else 200
seconds = float(sys.argv[5]) if len(sys.argv) > 5 else 20
PER_ADDRESS = 50
HEAD = b"GET /forecast HTTP/1.1\r\nHost: x\r\nX-Slow: " + b"a" * 4000 + b"\r\n\r\n"

selector = selectors.DefaultSelector()
held = {}  # socket -> [kind, bytes sent]
reopened = 0


def source(index):
    return f"127.0.{2 + index // PER_ADDRESS // 250}.{2 + index // PER_ADDRESS % 250}"


def open_one(index, kind):
    global reopened
    s = socket.socket()
    s.setblocking(False)
    s.bind((source(index), 0))
    try:
        s.connect((host, port))
    except BlockingIOError:
        pass
    held[s] = [kind, 0, index]
    selector.register(s, selectors.EVENT_READ)
    reopened += 1


def hold(stop, reopens):
    for i in range(idle_wanted):
        open_one(i, "idle")
    for i in range(trickle_wanted):
        open_one(idle_wanted + i, "trickle")
    next_byte = time.monotonic() + 1
    while not stop.is_set():
        for key, _ in selector.select(timeout=0.1):
            s = key.fileobj
            try:
                data = s.recv(65536)
            except OSError:
                data = b""
            if not data:  # closed by the server: hold another in its place
                kind, _, index = held.pop(s)
                selector.unregister(s)
                s.close()
                open_one(index, kind)
        if time.monotonic() >= next_byte:
            next_byte += 1
            for s, state in held.items():
                if state[0] == "trickle" and state[1] < len(HEAD):
                    try:
                        s.send(HEAD[state[1]:state[1] + 1])
                        state[1] += 1
                    except OSError:
                        pass
    for s in held:
        s.close()
    reopens.value = reopened


stop = multiprocessing.Event()
reopens = multiprocessing.Value("q", 0)
holder = multiprocessing.Process(target=hold, args=(stop, reopens))
holder.start()
time.sleep(3)  # let the connections be made
# The first connection in a process loads the resolver's libraries, a few milliseconds of the
# client's own that no server can save.
timed_get(host, port)
times, failures = [], 0
deadline = time.monotonic() + seconds
while time.monotonic() < deadline:
    timing = timed_get(host, port)
    if timing:
        times.append(timing)
    else:
        failures += 1
    time.sleep(0.2)
stop.set()
holder.join()
times.sort(key=lambda t: t[2])
if times:
    slowest = times[-1]
    times = [t[2] for t in times]
    p90 = times[min(len(times) - 1, int(len(times) * 0.9))]
    print(f"{idle_wanted} idle and {trickle_wanted} trickling connections held "
          f"({reopens.value - idle_wanted - trickle_wanted} reopened after the server closed them):")
    print(f"  GET /forecast: {len(times)} answered, median {statistics.median(times):.1f} ms, "
          f"90% {p90:.1f} ms, slowest {times[-1]:.1f} ms; {failures} failed")
    print(f"  the slowest: {slowest[0]:.1f} ms to connect, {slowest[1]:.1f} ms from the request "
          f"to the answer's first byte")
else:
    print(f"  GET /forecast: none of {failures} answered")
