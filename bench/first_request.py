#!/usr/bin/env python3
"""The first GET /forecast after a quiet while: the HTTP API (bench/serve_api over a scratch
SQLite file) beside nginx serving the same bytes as a static file, both idle meanwhile; then
the same with idle connections held to each (from 127.0.0.2 upwards, at most 50 an address,
and opened again when a server closes them, so the count is held).

Usage: bench/first_request.py [BUILD_DIR] [IDLE_SECONDS] [ROUNDS] [HELD]
       (default build-bench 60 3 2000). Needs nginx (Debian nginx-light).
"""
import multiprocessing
import os
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from timed_get import timed_get

build = sys.argv[1] if len(sys.argv) > 1 else "build-bench"
idle_seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
held_wanted = int(sys.argv[4]) if len(sys.argv) > 4 else 2000
PER_ADDRESS = 50


def timed(port):
    """timed_get on this machine's port; a failed request ends the run."""
    timing = timed_get("127.0.0.1", port)
    if timing is None:
        raise RuntimeError(f"port {port} gave no 200 answer")
    return timing


def hold(ports, stop):
    selector = selectors.DefaultSelector()

    def open_one(port, index):
        s = socket.socket()
        s.setblocking(False)
        s.bind((f"127.0.{2 + index // PER_ADDRESS // 250}.{2 + index // PER_ADDRESS % 250}", 0))
        try:
            s.connect(("127.0.0.1", port))
        except BlockingIOError:
            pass
        selector.register(s, selectors.EVENT_READ, (port, index))

    for port in ports:
        for i in range(held_wanted):
            open_one(port, i)
    while not stop.is_set():
        for key, _ in selector.select(timeout=0.1):
            try:
                data = key.fileobj.recv(65536)
            except OSError:
                data = b""
            if not data:
                selector.unregister(key.fileobj)
                key.fileobj.close()
                open_one(*key.data)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


scratch = tempfile.mkdtemp()
processes = []
try:
    api = subprocess.Popen([os.path.join(build, "bench", "serve_api"), "0"],
                           stdout=subprocess.PIPE, text=True)
    processes.append(api)
    api_port = int(api.stdout.readline().strip().rsplit(":", 1)[1])
    # nginx serves what the API answers, byte for byte; its workers run as nobody.
    www = os.path.join(scratch, "www")
    os.makedirs(www)
    os.makedirs(os.path.join(scratch, "logs"))
    body = subprocess.run(["curl", "-sf", f"http://127.0.0.1:{api_port}/forecast"],
                          check=True, capture_output=True).stdout
    with open(os.path.join(www, "forecast"), "wb") as f:
        f.write(body)
    for path, mode in ((scratch, 0o755), (www, 0o755), (os.path.join(www, "forecast"), 0o644)):
        os.chmod(path, mode)
    web_port = free_port()
    with open(os.path.join(scratch, "nginx.conf"), "w") as f:
        f.write(f"""worker_processes auto;
pid {scratch}/nginx.pid;
error_log {scratch}/logs/error.log;
events {{ worker_connections 8192; }}
worker_rlimit_nofile 20000;
http {{
  access_log off;
  server {{
    listen 127.0.0.1:{web_port};
    root {www};
    location = /forecast {{ default_type application/json; }}
  }}
}}
""")
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    processes.append(subprocess.Popen([nginx, "-e", f"{scratch}/logs/error.log", "-p", scratch,
                                       "-c", f"{scratch}/nginx.conf", "-g", "daemon off;"]))
    for _ in range(100):
        try:
            timed(web_port)
            break
        except OSError:
            time.sleep(0.05)
    # The first connection in a process loads the resolver's libraries, a few milliseconds of
    # the client's own that no server can save.
    timed(api_port)
    timed(web_port)

    for held in (0, held_wanted):
        stop = multiprocessing.Event()
        holder = None
        if held:
            holder = multiprocessing.Process(target=hold, args=((api_port, web_port), stop))
            holder.start()
        results = {"API": [], "nginx": []}
        for round in range(rounds):
            time.sleep(idle_seconds)
            # Each goes first every other round: the client's own first call after a sleep
            # costs it something too.
            order = [("API", api_port), ("nginx", web_port)]
            for name, port in order[::-1] if round % 2 else order:
                results[name].append(timed(port))
        stop.set()
        if holder:
            holder.join()
        print(f"first GET /forecast after {idle_seconds:.0f} s idle, {held} idle connections "
              f"held to each, {rounds} rounds (connect / request to first byte / total, ms):")
        for name, runs in results.items():
            print(f"  {name:6} " + "; ".join(f"{c:.2f} / {f:.2f} / {t:.2f}" for c, f, t in runs))
finally:
    for process in processes:
        process.terminate()
        process.wait()
    shutil.rmtree(scratch, ignore_errors=True)
