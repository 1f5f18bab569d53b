#!/usr/bin/env python3
"""Prints a page's DOM as headless Chromium has it once the script CONDITION holds there, or
after 30 s. --dump-dom waits for virtual time, which an open event stream stops for ever; this
asks over the DevTools protocol instead. Usage: page_dom.py CONDITION URL [CHROMIUM_ARGUMENT...]"""
import base64, json, os, socket, struct, subprocess, sys, tempfile, time, urllib.request


def evaluate(address, expression):
    host_port, path = address[len('ws://'):].split('/', 1)
    host, port = host_port.split(':')
    connection = socket.create_connection((host, int(port)), timeout=30)
    key = base64.b64encode(os.urandom(16)).decode()
    connection.sendall((f'GET /{path} HTTP/1.1\r\nHost: {host_port}\r\nUpgrade: websocket\r\n'
                        f'Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n'
                        'Sec-WebSocket-Version: 13\r\n\r\n').encode())
    stream = connection.makefile('rb')
    while stream.readline() not in (b'\r\n', b''):
        pass
    payload = json.dumps({'id': 1, 'method': 'Runtime.evaluate',
                          'params': {'expression': expression, 'returnByValue': True}}).encode()
    mask = os.urandom(4)
    length = bytes([0x80 | len(payload)]) if len(payload) < 126 else \
        bytes([0x80 | 126]) + struct.pack('>H', len(payload))
    connection.sendall(b'\x81' + length + mask +
                       bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))
    while True:  # Chromium sends whole text frames
        _, second = stream.read(2)
        size = second & 0x7f
        if size == 126:
            size = struct.unpack('>H', stream.read(2))[0]
        elif size == 127:
            size = struct.unpack('>Q', stream.read(8))[0]
        message = json.loads(stream.read(size))
        if message.get('id') == 1:
            return message['result']['result'].get('value')


def main():
    condition, url, extra = sys.argv[1], sys.argv[2], sys.argv[3:]
    # Its helper processes may still write to the profile as it ends.
    with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as profile:
        chromium = subprocess.Popen(
            ['chromium', '--headless', '--no-sandbox', '--disable-gpu', f'--user-data-dir={profile}',
             '--remote-debugging-port=0', *extra, url], stderr=subprocess.DEVNULL)
        try:
            active = os.path.join(profile, 'DevToolsActivePort')
            for _ in range(300):
                if os.path.exists(active) and open(active).read().count('\n') >= 1:
                    break
                time.sleep(0.1)
            port = open(active).read().split('\n')[0]
            targets = json.load(urllib.request.urlopen(f'http://127.0.0.1:{port}/json/list'))
            page = next(t for t in targets if t['type'] == 'page')['webSocketDebuggerUrl']
            deadline = time.monotonic() + 30
            while not evaluate(page, f'!!({condition})') and time.monotonic() < deadline:
                time.sleep(0.1)
            sys.stdout.write(evaluate(page, 'document.documentElement.outerHTML'))
        finally:
            chromium.terminate()
            chromium.wait()


main()
