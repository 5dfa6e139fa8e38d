#!/usr/bin/env python3
"""The attacks on the console's web server, with figures: memory of the console and the
time the page takes to answer. Loopback only.

Usage: console_attack.py KTVarnock [MB]   (MB: size of each flood, 100 unless given)
"""
import gzip
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time


def vm(pid, field):
    with open(f'/proc/{pid}/status') as f:
        for line in f:
            if line.startswith(field + ':'):
                return int(line.split()[1]) >> 10
    return 0


def flood(port, head, piece, total):
    s = socket.create_connection(('127.0.0.1', port), timeout=30)
    sent = 0
    try:
        s.sendall(head)
        while sent < total:
            s.sendall(piece)
            sent += len(piece)
    except OSError:
        pass
    finally:
        s.close()
    return sent


def answer_time(port, request, limit=15):
    """Seconds until the first byte of an answer (None: none within `limit`)."""
    start = time.monotonic()
    s = socket.create_connection(('127.0.0.1', port), timeout=limit)
    try:
        s.sendall(request)
        return time.monotonic() - start if s.recv(1) else None
    except OSError:
        return None
    finally:
        s.close()


def main():
    binary = os.path.abspath(sys.argv[1])
    mb = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    home = tempfile.mkdtemp(prefix='varn-attack-')
    out = open(os.path.join(home, '.out'), 'w+')
    proc = subprocess.Popen([binary, '--port', '0', '--agents', '/nonexistent'], cwd=home, stdout=out,
                            stderr=subprocess.STDOUT, env=dict(os.environ, ASAN_OPTIONS='detect_leaks=0'))
    try:
        for _ in range(200):
            out.seek(0)
            m = re.search(r':(\d+)/[?#]token=([0-9a-f]{32})', out.read())
            if m:
                break
            time.sleep(0.05)
        port, token = int(m.group(1)), m.group(2)
        host = f'127.0.0.1:{port}'.encode()
        page = b'GET /?token=' + token.encode() + b' HTTP/1.1\r\nHost: ' + host + b'\r\nCookie: varn_token=' + \
            token.encode() + b'\r\nX-Varn-Token: ' + token.encode() + b'\r\nConnection: close\r\n\r\n'
        auth = b'Host: ' + host + b'\r\nCookie: varn_token=' + token.encode() + b'\r\nX-Varn-Token: ' + \
            token.encode() + b'\r\n'
        print(f'{binary}: start RSS {vm(proc.pid, "VmRSS")} MB, page answers in '
              f'{answer_time(port, page) * 1000:.1f} ms')
        attacks = [
            (f'{mb} MB of small request headers', b'GET / HTTP/1.1\r\nHost: ' + host + b'\r\n', b'X-A: b\r\n' * 8192),
            (f'one {mb} MB request line', b'GET /', b'a' * 65536),
            (f'a chunked {mb} MB body (with the token)', b'POST /api/act HTTP/1.1\r\n' + auth +
             b'Transfer-Encoding: chunked\r\n\r\n', b'ffff\r\n' + b'[' * 65535 + b'\r\n'),
        ]
        for name, head, piece in attacks:
            start = time.monotonic()
            taken = flood(port, head, piece, mb << 20)
            print(f'  {name}: {taken >> 20} MB taken in {time.monotonic() - start:.1f} s; '
                  f'RSS {vm(proc.pid, "VmRSS")} MB, peak {vm(proc.pid, "VmHWM")} MB, alive {proc.poll() is None}')
        deep = gzip.compress(b'[' * 1000000 + b']' * 1000000)
        s = socket.create_connection(('127.0.0.1', port), timeout=30)
        s.sendall(b'POST /api/act HTTP/1.1\r\n' + auth + b'Content-Type: application/json\r\nContent-Encoding: gzip\r\n'
                  b'Content-Length: ' + str(len(deep)).encode() + b'\r\nConnection: close\r\n\r\n' + deep)
        try:
            reply = s.recv(100).split(b'\r\n')[0].decode(errors='replace')
        except OSError as e:
            reply = str(e)
        s.close()
        time.sleep(0.5)
        print(f'  {len(deep)} bytes of gzip inflating to JSON 1,000,000 deep: "{reply}"; alive {proc.poll() is None}')
        if proc.poll() is not None:
            return
        for count, pause in ((8, 3), (200, 1)):
            socks = [socket.create_connection(('127.0.0.1', port)) for _ in range(count)]
            for s in socks:
                s.sendall(b'GET / HTTP/1.1\r\nHost: ')
            stop = threading.Event()

            def trickle(socks=socks, pause=pause):
                while not stop.wait(pause):
                    for s in socks:
                        try:
                            s.sendall(b'a')
                        except OSError:
                            pass

            t = threading.Thread(target=trickle)
            t.start()
            time.sleep(1)
            took = answer_time(port, page)
            stop.set()
            t.join()
            for s in socks:
                s.close()
            shown = 'no answer within 15 s' if took is None else f'{took * 1000:.1f} ms'
            print(f'  {count} connections trickling a byte every {pause} s: the page answers in {shown}')
    finally:
        proc.terminate()
        try:
            proc.wait(15)
        except subprocess.TimeoutExpired:
            proc.kill()
        out.close()
        shutil.rmtree(home, ignore_errors=True)


if __name__ == '__main__':
    main()
