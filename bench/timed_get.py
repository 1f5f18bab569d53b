"""One GET /forecast on a fresh connection, timed; shared by the HTTP benchmarks."""
import socket
import time


def timed_get(host, port):
    """Milliseconds to connect, from the request sent to the first byte of the answer, and in
    all; None when it failed. A slow connect is the client's or the kernel's time: the server
    takes no part in the handshake."""
    start = time.monotonic()
    try:
        with socket.create_connection((host, port), timeout=30) as s:
            connected = time.monotonic()
            s.sendall(b"GET /forecast HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            answer = s.recv(65536)
            first = time.monotonic()
            while chunk := s.recv(65536):
                answer += chunk
    except OSError:
        return None
    if not answer.startswith(b"HTTP/1.1 200"):
        return None
    end = time.monotonic()
    return tuple(1000 * t for t in (connected - start, first - connected, end - start))
