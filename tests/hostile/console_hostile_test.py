#!/usr/bin/env python3
"""Hostile clients against the console's web server: every bound holds, nothing leaks.

Usage: console_hostile_test.py KTVarnock [unittest arguments]
Traffic goes to 127.0.0.0/8 only.
"""
import fcntl
import glob
import hashlib
import http.client
import json
import os
import re
import shutil
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import unittest

KTVARNOCK = None
CANARY = 'Cnry7q9zXw'  # at most 15 bytes: it fits an account's password field


def vm(pid, field):
    with open(f'/proc/{pid}/status') as f:
        for line in f:
            if line.startswith(field + ':'):
                return int(line.split()[1]) * 1024
    return 0


class Console:
    """A console in a fresh program directory, on a port of the system's choice."""

    def __init__(self, setup=None, args=(), cwd=None):
        self.dir = cwd or tempfile.mkdtemp(prefix='varn-hostile-')
        env = dict(os.environ, ASAN_OPTIONS='detect_leaks=0')
        if setup is not None:
            path = os.path.join(tempfile.gettempdir(), f'varn-setup-{os.getpid()}.json')
            with open(path, 'w') as f:
                json.dump(setup, f)
            subprocess.run([KTVARNOCK, '--setup', path], cwd=self.dir, check=True, env=env)
            os.remove(path)
        self.out = open(os.path.join(tempfile.gettempdir(), f'varn-out-{os.getpid()}-{id(self)}'), 'w+')
        self.proc = subprocess.Popen([KTVARNOCK, '--port', '0', '--agents', '/nonexistent', *args],
                                     cwd=self.dir, stdout=self.out, stderr=subprocess.STDOUT, env=env)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            self.out.seek(0)
            m = re.search(r'(https?)://([0-9.]+|\[[0-9a-f:]+\]):(\d+)/#token=([0-9a-f]{32})', self.out.read())
            if m:
                self.scheme, self.host, self.port, self.token = m.group(1), m.group(2).strip('[]'), int(m.group(3)), m.group(4)
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        self.stop()
        raise RuntimeError('console did not start: ' + self.output())

    def output(self):
        self.out.seek(0)
        return self.out.read()

    def hostport(self):
        return f'{self.host}:{self.port}'

    def conn(self, timeout=10, source=None):
        """`source`: the local address to connect from (another 127.x address)."""
        bind = (source, 0) if source else None
        if self.scheme == 'https':
            ctx = ssl.create_default_context(cafile=self.cafile)
            return http.client.HTTPSConnection(self.host, self.port, timeout=timeout, context=ctx,
                                               source_address=bind)
        return http.client.HTTPConnection(self.host, self.port, timeout=timeout, source_address=bind)

    def request(self, method, path, headers=None, body=None, token=True, source=None):
        h = {'Host': self.hostport()}
        if token:
            h['X-Varn-Token'] = self.token
        h.update(headers or {})
        c = self.conn(source=source)
        try:
            c.request(method, path, body=body, headers=h)
            r = c.getresponse()
            return r.status, r.read()
        finally:
            c.close()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()


def raw(port, data, read=True, timeout=10, host='127.0.0.1'):
    """Sends bytes as they are; returns what came back until the server closed or went quiet."""
    s = socket.create_connection((host, port), timeout=timeout)
    got = b''
    try:
        try:
            s.sendall(data)
        except (ConnectionResetError, BrokenPipeError):
            pass  # the server answered before taking all of it
        while read:
            chunk = s.recv(65536)
            if not chunk:
                break
            got += chunk
    except (ConnectionResetError, socket.timeout):
        pass
    finally:
        s.close()
    return got


def flood(port, head, piece, total):
    """Sends `head`, then `piece` again and again up to `total` bytes or until the server
    stops taking them; returns the bytes it took."""
    s = socket.create_connection(('127.0.0.1', port), timeout=10)
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


def read_bytes(path):
    with open(path, 'rb') as f:
        return f.read()


def tree_digest(root):
    """Path -> (mode, SHA-256) of every file below `root` but the console's logs and scratch."""
    digest = {}
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root)
        if rel.split(os.sep)[0] in ('Log', 'temp'):
            continue
        for name in files:
            path = os.path.join(folder, name)
            with open(path, 'rb') as f:
                digest[os.path.normpath(os.path.join(rel, name))] = (
                    os.lstat(path).st_mode, hashlib.sha256(f.read()).hexdigest())
    return digest


def status_of(answer):
    m = re.match(rb'HTTP/1\.[01] (\d{3})', answer)
    return int(m.group(1)) if m else None


class HostileClients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.c = Console(setup={'mailServer': '127.0.0.1', 'interval': 0, 'accounts': [
            {'name': 'kilo', 'host': '127.0.0.1', 'ping': True},
            {'name': 'ftpacct', 'host': '127.0.0.1', 'type': 'ftp', 'ftpUser': 'u', 'ftpPassword': CANARY}]})
        # The mail account's password lives in Alert2.dat; a canary there must never leave.
        with open(os.path.join(cls.c.dir, 'Setting', 'Alert2.dat'), 'ab') as f:
            f.write(CANARY.encode())
        cls.answers = []

    @classmethod
    def tearDownClass(cls):
        cls.c.stop()
        shutil.rmtree(cls.c.dir, ignore_errors=True)

    def keep(self, answer):
        """Records an answer (bytes, or a status and bytes) for the leak check at the end."""
        self.answers.append(answer[1] if isinstance(answer, tuple) else answer)
        return answer

    def test_access_matrix(self):
        c = self.c
        routes = [('GET', '/api/state', None), ('GET', '/api/rows?first=0&count=5', None),
                  ('GET', '/api/pane', None), ('GET', '/api/wave', None),
                  ('POST', '/api/act', json.dumps({'action': 'toggle', 'row': 0})),
                  ('POST', '/api/upload?kind=wave&name=a.wav', b'RIFF')]
        variants = {
            'no token': ({}, False),
            'wrong token': ({'X-Varn-Token': '0' * 32}, False),
            'token as cookie': ({'Cookie': f'varn_token={c.token}'}, False),
            'foreign Host': ({'Host': f'evil.example:{c.port}'}, True),
            'foreign Origin': ({'Origin': 'http://evil.example'}, True),
            'cross-site fetch': ({'Sec-Fetch-Site': 'cross-site'}, True),
        }
        for method, path, body in routes:
            for name, (headers, token) in variants.items():
                with self.subTest(route=path, variant=name):
                    status, data = self.keep(c.request(method, path, headers=headers, body=body, token=token))
                    self.assertEqual(status, 403)
                    self.assertNotIn(b'kilo', data)
        # The static page needs no token, but another Host still gets nothing.
        self.assertEqual(c.request('GET', '/', token=False)[0], 200)
        self.assertEqual(c.request('GET', '/', headers={'Host': 'evil.example'}, token=False)[0], 403)
        status, data = self.keep(c.request('GET', '/api/state'))
        self.assertEqual(status, 200)
        self.assertNotIn(c.token.encode(), data, 'the state does not hand out the token')
        self.assertEqual(json.loads(data)['rows'], 2)

    def test_bodies_and_headers_are_bounded(self):
        c = self.c
        hp = c.hostport().encode()
        tok = c.token.encode()
        head = b'POST /api/act HTTP/1.1\r\nHost: ' + hp + b'\r\nX-Varn-Token: ' + tok + b'\r\n'
        cases = {
            'long request line': (b'GET /' + b'a' * 9000 + b' HTTP/1.1\r\nHost: ' + hp + b'\r\n\r\n', {414, 431, 400}),
            'long header': (b'GET / HTTP/1.1\r\nHost: ' + hp + b'\r\nX-A: ' + b'a' * 9000 + b'\r\n\r\n', {431, 400}),
            '101 headers': (b'GET / HTTP/1.1\r\nHost: ' + hp + b'\r\n' +
                            b''.join(b'X-%d: 1\r\n' % i for i in range(101)) + b'\r\n', {431}),
            '64 KB of headers': (b'GET / HTTP/1.1\r\nHost: ' + hp + b'\r\n' +
                                 b''.join(b'X-%d: ' % i + b'a' * 4000 + b'\r\n' for i in range(90)) + b'\r\n', {431, 400}),
            'JSON body over 64 KB': (head + b'Content-Length: 65537\r\n\r\n', {413}),
            'wave upload over 10 MB': (b'POST /api/upload?kind=wave&name=a HTTP/1.1\r\nHost: ' + hp +
                                       b'\r\nX-Varn-Token: ' + tok + b'\r\nContent-Length: 10485761\r\n\r\n', {413}),
            'gzip body': (head + b'Content-Encoding: gzip\r\nContent-Length: 2\r\n\r\n{}', {415}),
            'huge length': (head + b'Content-Length: 99999999999999999999999\r\n\r\n', {413, 400}),
        }
        for name, (request, expected) in cases.items():
            with self.subTest(name):
                answer = self.keep(raw(c.port, request))
                self.assertIn(status_of(answer), expected, answer[:200])
        # A chunked body without a length is cut off at the bound: never taken, never answered 200.
        chunk = b'%x\r\n' % 16384 + b'[' * 16384 + b'\r\n'
        answer = self.keep(raw(c.port, head + b'Transfer-Encoding: chunked\r\n\r\n' + chunk * 6 + b'0\r\n\r\n'))
        self.assertNotEqual(status_of(answer), 200)
        # An import may be larger than a wave file, but not without end.
        status, data = self.keep(c.request('POST', '/api/upload?kind=import&name=x', body=b'x' * (11 << 20)))
        self.assertEqual(status, 200)
        self.assertFalse(json.loads(data)['ok'])
        answer = self.keep(raw(c.port, b'POST /api/upload?kind=import&name=x HTTP/1.1\r\nHost: ' + hp +
                               b'\r\nX-Varn-Token: ' + tok + b'\r\nContent-Length: 52428801\r\n\r\n'))
        self.assertEqual(status_of(answer), 413)
        self.assertIsNone(c.proc.poll())

    def test_floods_are_cut_off_and_memory_stays_flat(self):
        c = self.c
        hp = c.hostport().encode()
        start = vm(c.proc.pid, 'VmRSS')
        cases = {
            'small headers': (b'GET / HTTP/1.1\r\nHost: ' + hp + b'\r\n', b'X-A: b\r\n' * 8192),
            'one request line': (b'GET /', b'a' * 65536),
            'chunked body': (b'POST /api/act HTTP/1.1\r\nHost: ' + hp + b'\r\nX-Varn-Token: ' + c.token.encode() +
                             b'\r\nTransfer-Encoding: chunked\r\n\r\n', b'ffff\r\n' + b'[' * 65535 + b'\r\n'),
        }
        for name, (head, piece) in cases.items():
            with self.subTest(name):
                taken = flood(c.port, head, piece, 200 << 20)
                self.assertLess(taken, 50 << 20, 'the server stopped reading long before the end')
        grown = vm(c.proc.pid, 'VmRSS') - start
        print(f'floods: RSS grew by {grown >> 20} MB', file=sys.stderr)
        self.assertLess(grown, 32 << 20)
        self.assertIsNone(c.proc.poll())

    def test_only_a_few_uploads_are_held_at_once(self):
        c = self.c
        head = (f'POST /api/upload?kind=import&name=x HTTP/1.1\r\nHost: {c.hostport()}\r\n'
                f'X-Varn-Token: {c.token}\r\nContent-Length: {5 << 20}\r\n\r\n').encode()
        held = []
        try:
            for _ in range(2):
                s = socket.create_connection(('127.0.0.1', c.port), timeout=10)
                s.sendall(head + b'x' * 1000)
                held.append(s)
            time.sleep(0.3)
            answer = self.keep(raw(c.port, head + b'x' * 1000))
            self.assertEqual(status_of(answer), 503)
        finally:
            for s in held:
                s.close()
        # Once those are gone, an upload is taken again.
        time.sleep(0.3)
        status, _ = c.request('POST', '/api/upload?kind=wave&name=a.wav', body=b'RIFF')
        self.assertEqual(status, 200)

    def test_deep_json_is_refused_without_a_crash(self):
        head = (f'POST /api/act HTTP/1.1\r\nHost: {self.c.hostport()}\r\nX-Varn-Token: {self.c.token}\r\n'
                f'Content-Length: 1000000\r\nConnection: close\r\n\r\n').encode()
        self.assertEqual(status_of(self.keep(raw(self.c.port, head + b'[' * 1000000))), 413)
        cases = [('[' * 65536, 400), ('[' * 33 + ']' * 33, 400),
                 ('{"action":' * 6000, 400), ('{"action":"x"' + '}' * 10, 400), ('', 400)]
        for body, expected in cases:
            with self.subTest(size=len(body)):
                status, _ = self.keep(self.c.request('POST', '/api/act', body=body,
                                                     headers={'Content-Type': 'application/json'}))
                self.assertEqual(status, expected)
        self.assertIsNone(self.c.proc.poll())
        self.assertEqual(self.c.request('GET', '/api/state')[0], 200)

    def test_trickling_connections_do_not_starve_the_page(self):
        c = self.c
        before = vm(c.proc.pid, 'VmRSS')
        socks = []
        stop = threading.Event()
        for _ in range(200):
            s = socket.create_connection(('127.0.0.1', c.port), timeout=5)
            s.sendall(b'GET / HTTP/1.1\r\nHost: ')
            socks.append(s)

        def trickle():
            while not stop.is_set():
                for s in socks:
                    try:
                        s.sendall(b'a')
                    except OSError:
                        pass
                stop.wait(1)

        t = threading.Thread(target=trickle)
        t.start()
        try:
            times = []
            for _ in range(5):
                start = time.monotonic()
                status, _ = c.request('GET', '/', token=False)
                times.append(time.monotonic() - start)
                self.assertEqual(status, 200)
                self.assertEqual(c.request('GET', '/api/state')[0], 200)
            print(f'page with 200 trickling connections: median {statistics.median(times) * 1000:.1f} ms, '
                  f'RSS {before >> 20} -> {vm(c.proc.pid, "VmRSS") >> 20} MB', file=sys.stderr)
            self.assertLess(max(times), 5.0)
            self.assertLess(vm(c.proc.pid, 'VmRSS') - before, 64 << 20)
        finally:
            stop.set()
            t.join()
            for s in socks:
                s.close()

    def test_kept_alive_requests_do_not_wait_for_acknowledgements(self):
        conn = self.c.conn()
        times = []
        try:
            for _ in range(40):
                start = time.monotonic()
                conn.request('GET', '/js/api.js', headers={'Host': self.c.hostport()})
                r = conn.getresponse()
                r.read()
                self.assertEqual(r.status, 200)
                times.append(time.monotonic() - start)
        finally:
            conn.close()
        median = statistics.median(times)
        print(f'kept-alive request: median {median * 1000:.2f} ms', file=sys.stderr)
        # A stall on delayed acknowledgements costs 40 ms on every request.
        self.assertLess(median, 0.030)

    def test_a_held_status_lock_makes_an_action_fail_soon(self):
        c = self.c
        record = os.path.join(c.dir, 'PINGData', 'kilo')
        before = open(record, 'rb').read() if os.path.exists(record) else None
        lock_path = os.path.join(c.dir, 'temp', 'locks', 'PINGData.lock')
        os.makedirs(os.path.dirname(lock_path), exist_ok=True)
        rows = json.loads(c.request('GET', '/api/rows?first=0&count=5')[1])
        row = next(i for i, r in enumerate(rows['rows']) if 'kilo' in json.dumps(r))
        with open(lock_path, 'a') as holder:
            fcntl.flock(holder, fcntl.LOCK_EX)
            start = time.monotonic()
            status, data = self.keep(c.request('POST', '/api/act', body=json.dumps({'action': 'toggle', 'row': row}),
                                               headers={'Content-Type': 'application/json'}))
            took = time.monotonic() - start
            # Reads take no lock: the page keeps answering meanwhile.
            self.assertEqual(c.request('GET', '/api/state')[0], 200)
            fcntl.flock(holder, fcntl.LOCK_UN)
        print(f'action under a held lock answered in {took:.2f} s', file=sys.stderr)
        self.assertLess(took, 5.0)
        self.assertGreater(took, 1.0, 'it waited for the lock a while first')
        self.assertIn(status, (200, 503))
        answer = json.loads(data)
        self.assertFalse(answer['ok'])
        self.assertIn(answer['message'], ('the status files are busy; try again', 'console busy'))
        after = open(record, 'rb').read() if os.path.exists(record) else None
        self.assertEqual(before, after, 'nothing written')

    def test_wave_names_that_cannot_be_stored_are_refused_by_name(self):
        c = self.c
        wave = b'RIFF\x04\x00\x00\x00WAVEfmt '
        wave_dir = os.path.join(c.dir, 'Wave')
        cases = {
            '250 bytes': ('a' * 246 + '.wav', 'bad name'),
            '255 bytes': ('b' * 251 + '.wav', 'bad name'),
            '259 bytes': ('c' * 255 + '.wav', 'bad name'),
            'NUL inside': ('x%00y.wav', 'bad name'),
            'NUL at the end': ('z.wav%00', 'bad name'),
            '247 bytes': ('d' * 243 + '.wav', 'stored'),
        }
        for label, (name, expected) in cases.items():
            with self.subTest(label):
                status, data = c.request('POST', f'/api/upload?kind=wave&name={name}', body=wave)
                self.assertEqual(status, 200)
                answer = json.loads(data)
                if expected == 'stored':
                    self.assertTrue(answer['ok'], answer)
                    self.assertTrue(os.path.exists(os.path.join(wave_dir, answer['name'])))
                else:
                    self.assertFalse(answer['ok'])
                    self.assertEqual(answer.get('key'), 'msgWaveBadName', answer)
                    self.assertEqual(answer['message'], 'This file name cannot be used for a sound file.')
        stored = os.listdir(wave_dir) if os.path.isdir(wave_dir) else []
        for cut in ('x', 'z.wav'):
            self.assertNotIn(cut, stored, 'the part before the NUL is never stored')
        # Nor is a NUL in a name read back.
        self.assertEqual(c.request('GET', '/api/wave?name=' + 'd' * 243 + '.wav%00x')[0], 404)

    def test_export_writes_only_where_it_may(self):
        c = self.c
        out = tempfile.mkdtemp(prefix='varn-export-')
        try:
            os.mkdir(os.path.join(out, 'real'))
            os.symlink(os.path.join(out, 'real'), os.path.join(out, 'linked'))
            os.symlink(c.dir, os.path.join(out, 'program'))
            keep = os.path.join(out, 'keep.csv')
            with open(keep, 'w') as f:
                f.write('keep me')
            os.chmod(keep, 0o644)
            record = sorted(os.listdir(os.path.join(c.dir, 'AllData')))[0]
            before = tree_digest(c.dir)

            def export(path, **extra):
                status, data = c.request('POST', '/api/act', body=json.dumps({'action': 'export', 'path': path, **extra}),
                                         headers={'Content-Type': 'application/json'})
                self.assertEqual(status, 200)
                return json.loads(data)

            refused = {
                'the mail settings': (os.path.join(c.dir, 'Setting', 'Alert.dat'), 'inside the program directory'),
                'an account record': (os.path.join(c.dir, 'AllData', record), 'inside the program directory'),
                'a relative path': ('Setting/Alert.dat', 'inside the program directory'),
                'a new folder inside': ('made/list.csv', 'inside the program directory'),
                'a link to a folder': (os.path.join(out, 'linked', 'list.csv'), 'symbolic link'),
                'a link to the program': (os.path.join(out, 'program', 'Setting', 'Alert.dat'), 'symbolic link'),
                'a link to its export': (os.path.join(out, 'program', 'export.csv'), 'symbolic link'),
            }
            for label, (path, reason) in refused.items():
                with self.subTest(label):
                    answer = export(path, replace=True)
                    self.assertFalse(answer['ok'], answer)
                    self.assertIn(reason, answer['message'])
            self.assertEqual(tree_digest(c.dir), before, 'nothing in the program directory changed')
            self.assertEqual(os.listdir(os.path.join(out, 'real')), [])

            # An existing file: asked first, untouched until the answer is yes; then replaced by a
            # new file, and the old one keeps its mode.
            answer = export(keep)
            self.assertFalse(answer['ok'])
            self.assertTrue(answer['exists'])
            self.assertEqual(answer['message'], f'{keep} exists. Replace it?')
            self.assertEqual(read_bytes(keep), b'keep me')
            self.assertEqual(os.stat(keep).st_mode & 0o777, 0o644)
            with open(keep) as old:
                self.assertTrue(export(keep, replace=True)['ok'])
                self.assertEqual(os.fstat(old.fileno()).st_mode & 0o777, 0o644)
                self.assertEqual(old.read(), 'keep me')
            self.assertEqual(os.stat(keep).st_mode & 0o777, 0o600)
            self.assertIn(b'kilo', read_bytes(keep))

            # The program directory's own export.csv is the one file it may write there.
            own = os.path.join(c.dir, 'export.csv')
            self.assertTrue(export(own)['ok'])
            self.assertTrue(export(own)['exists'])
            self.assertTrue(export('export.csv', replace=True)['ok'])
            after = tree_digest(c.dir)
            after.pop('export.csv')
            self.assertEqual(after, before)
            self.assertEqual(os.stat(own).st_mode & 0o777, 0o600)
        finally:
            shutil.rmtree(out, ignore_errors=True)
            if os.path.exists(os.path.join(c.dir, 'export.csv')):
                os.remove(os.path.join(c.dir, 'export.csv'))

    def test_zz_memory_stays_bounded_and_no_secret_leaks(self):
        c = self.c
        self.assertLess(vm(c.proc.pid, 'VmHWM'), 600 << 20)
        for answer in self.answers:
            self.assertNotIn(CANARY.encode(), answer)
        for path in glob.glob('/proc/[0-9]*/cmdline'):
            try:
                with open(path, 'rb') as f:
                    self.assertNotIn(CANARY.encode(), f.read(), path)
            except OSError:
                pass
        self.assertNotIn(CANARY, c.output())
        for root, _, files in os.walk(c.dir):
            if os.path.basename(root).lower() in ('setting', 'status', 'data') or 'Data' in root:
                continue
            for name in files:
                if name.lower().endswith(('.log', '.txt')):
                    with open(os.path.join(root, name), 'rb') as f:
                        self.assertNotIn(CANARY.encode(), f.read(), name)


class SlowCrowd(unittest.TestCase):
    """Many connections without the token, each trickling its request, from one address."""

    CROWD = 600
    SLOW = '127.0.0.2'

    @classmethod
    def setUpClass(cls):
        cls.c = Console(setup={'mailServer': '127.0.0.1', 'interval': 0, 'accounts': [
            {'name': 'kilo', 'host': '127.0.0.1', 'ping': True}]})

    @classmethod
    def tearDownClass(cls):
        cls.c.stop()
        shutil.rmtree(cls.c.dir, ignore_errors=True)

    def open_crowd(self, count, source):
        socks = []
        for _ in range(count):
            s = socket.socket()
            s.settimeout(5)
            s.bind((source, 0))
            try:
                s.connect((self.c.host, self.c.port))
                s.sendall(b'GET / HTTP/1.1\r\nHost: ')
            except OSError:
                pass  # refused or closed at once: it holds nothing
            socks.append(s)
        return socks

    def test_the_page_answers_while_600_connections_trickle_from_one_address(self):
        c = self.c
        socks = self.open_crowd(self.CROWD, self.SLOW)
        stop = threading.Event()

        def trickle():
            while not stop.is_set():
                for s in socks:
                    try:
                        s.send(b'a')
                    except OSError:
                        pass
                stop.wait(1)

        t = threading.Thread(target=trickle)
        t.start()
        times = {'another address': [], 'the same address': []}
        failures = []
        try:
            # Longer than the time a request may take: the crowd keeps trickling past it.
            end = time.monotonic() + 13
            while time.monotonic() < end:
                for label, source in (('another address', '127.0.0.3'), ('the same address', self.SLOW)):
                    for path, token in (('/', False), ('/api/state', True)):
                        start = time.monotonic()
                        try:
                            status, _ = c.request('GET', path, token=token, source=source)
                        except OSError as e:
                            status = repr(e)
                        times[label].append(time.monotonic() - start)
                        if status != 200:
                            failures.append((label, path, status))
                time.sleep(0.2)
            # Every one of the crowd was closed by the server, though it never stopped sending.
            still_open = 0
            for s in socks:
                s.setblocking(False)
                try:
                    if s.recv(1) != b'':
                        still_open += 1
                except BlockingIOError:
                    still_open += 1
                except OSError:
                    pass
        finally:
            stop.set()
            t.join()
            for s in socks:
                s.close()
        for label, values in times.items():
            print(f'page and state with {self.CROWD} trickling connections, from {label}: '
                  f'median {statistics.median(values) * 1000:.1f} ms, longest {max(values) * 1000:.0f} ms, '
                  f'{len(values)} requests', file=sys.stderr)
        print(f'trickling connections still open after 13 s: {still_open}; failures: {len(failures)}',
              file=sys.stderr)
        self.assertEqual(failures, [])
        for label, values in times.items():
            with self.subTest(label):
                self.assertLess(statistics.median(values), 0.100)
                self.assertLess(max(values), 2.0)
        self.assertEqual(still_open, 0)
        output = c.output()
        self.assertIn('connections that brought no whole request within 10 s', output,
                      'the closed connections are logged')
        self.assertLess(output.count('\n'), 200, 'but not one line each')
        self.assertIsNone(c.proc.poll())

    def test_a_request_trickled_within_the_idle_time_is_cut_at_its_deadline(self):
        s = socket.socket()
        s.settimeout(2)
        s.bind(('127.0.0.4', 0))
        s.connect((self.c.host, self.c.port))
        start = time.monotonic()
        closed = None
        try:
            s.sendall(b'GET / HTTP/1.1\r\nHost: ')
            while time.monotonic() - start < 25:
                try:
                    s.sendall(b'a')
                    if s.recv(1) == b'':
                        closed = time.monotonic() - start
                        break
                except socket.timeout:
                    continue
                except OSError:
                    closed = time.monotonic() - start
                    break
        finally:
            s.close()
        print(f'a trickled request was cut after {closed} s', file=sys.stderr)
        self.assertIsNotNone(closed, 'the server never closed it')
        self.assertGreater(closed, 8)
        self.assertLess(closed, 15)


class ListeningAddress(unittest.TestCase):
    def test_a_port_in_use_ends_the_second_console_before_it_writes(self):
        first = Console()
        second_dir = tempfile.mkdtemp(prefix='varn-hostile-')
        try:
            r = subprocess.run([KTVARNOCK, '--port', str(first.port)], cwd=second_dir, capture_output=True,
                               text=True, timeout=20)
            self.assertNotEqual(r.returncode, 0)
            self.assertIn('in use', r.stderr)
            self.assertEqual(os.listdir(second_dir), [])
            self.assertEqual(first.request('GET', '/api/state')[0], 200)
        finally:
            first.stop()
            shutil.rmtree(first.dir, ignore_errors=True)
            shutil.rmtree(second_dir, ignore_errors=True)

    def test_export_from_the_command_line_follows_the_same_rules(self):
        home = tempfile.mkdtemp(prefix='varn-hostile-')
        out = tempfile.mkdtemp(prefix='varn-export-')
        env = dict(os.environ, ASAN_OPTIONS='detect_leaks=0')
        try:
            setup = os.path.join(out, 'setup.json')
            with open(setup, 'w') as f:
                json.dump({'accounts': [{'name': 'kilo', 'host': '127.0.0.1', 'ping': True}]}, f)
            subprocess.run([KTVARNOCK, '--dir', home, '--setup', setup], check=True, env=env, capture_output=True)
            os.mkdir(os.path.join(out, 'real'))
            os.symlink(os.path.join(out, 'real'), os.path.join(out, 'linked'))
            before = tree_digest(home)

            def export(path, *flags):
                return subprocess.run([KTVARNOCK, '--dir', home, '--export', path, *flags], env=env,
                                      capture_output=True, text=True, timeout=20)

            for path, reason in ((os.path.join(home, 'Setting', 'Alert.dat'), 'inside the program directory'),
                                 (os.path.join(out, 'linked', 'list.csv'), 'symbolic link'),
                                 (setup, 'exists')):
                with self.subTest(path):
                    r = export(path, '--replace') if reason != 'exists' else export(path)
                    self.assertEqual(r.returncode, 1, r.stderr)
                    self.assertIn(reason, r.stderr)
            self.assertEqual(tree_digest(home), before)
            self.assertEqual(os.listdir(os.path.join(out, 'real')), [])
            self.assertIn(b'"kilo"', read_bytes(setup))
            r = export(setup, '--replace')
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn(b'kilo,127.0.0.1', read_bytes(setup))
            self.assertEqual(os.stat(setup).st_mode & 0o777, 0o600)
        finally:
            shutil.rmtree(home, ignore_errors=True)
            shutil.rmtree(out, ignore_errors=True)

    def test_import_without_pacing_takes_every_line_and_only_from_the_command_line(self):
        home = tempfile.mkdtemp(prefix='varn-hostile-')
        fresh = tempfile.mkdtemp(prefix='varn-hostile-')
        setup = home + '-setup.json'
        env = dict(os.environ, ASAN_OPTIONS='detect_leaks=0')
        try:
            names = ['node-%03d' % i for i in range(120)]
            with open(setup, 'w') as f:
                json.dump({'accounts': [{'name': n, 'host': '127.0.0.1', 'ping': True} for n in names]}, f)
            subprocess.run([KTVARNOCK, '--dir', home, '--setup', setup], check=True, env=env, capture_output=True)
            csv = os.path.join(home, 'export.csv')
            subprocess.run([KTVARNOCK, '--dir', home, '--export', csv], check=True, env=env, capture_output=True)
            for flags in (['--no-pacing'], ['--export', os.path.join(fresh, 'x.csv'), '--no-pacing']):
                with self.subTest(flags):
                    r = subprocess.run([KTVARNOCK, '--dir', fresh, *flags], env=env, capture_output=True, timeout=20)
                    self.assertEqual(r.returncode, 2)
            # 120 lines paced would take 3.6 s at the least; one after the other far less.
            r = subprocess.run([KTVARNOCK, '--dir', fresh, '--import', csv, '--no-pacing'], env=env,
                               capture_output=True, text=True, timeout=60)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn('without pauses', r.stderr)
            self.assertIn('120 of 120 lines imported', r.stderr)
            self.assertEqual(sorted(os.listdir(os.path.join(fresh, 'AllData'))),
                             sorted(os.listdir(os.path.join(home, 'AllData'))))
        finally:
            shutil.rmtree(home, ignore_errors=True)
            shutil.rmtree(fresh, ignore_errors=True)
            if os.path.exists(setup):
                os.remove(setup)

    def test_other_addresses_need_tls(self):
        d = tempfile.mkdtemp(prefix='varn-hostile-')
        try:
            for address in ('0.0.0.0', '::', '10.1.2.3'):
                r = subprocess.run([KTVARNOCK, '--port', '0', '--listen', address], cwd=d,
                                   capture_output=True, text=True, timeout=20)
                self.assertEqual(r.returncode, 1, address)
                self.assertIn('SSH tunnel', r.stderr)
            r = subprocess.run([KTVARNOCK, '--port', '0', '--tls-cert', '/nonexistent'], cwd=d,
                               capture_output=True, text=True, timeout=20)
            self.assertNotEqual(r.returncode, 0)
            self.assertEqual(os.listdir(d), [])
        finally:
            shutil.rmtree(d, ignore_errors=True)

    def test_tls_on_another_loopback_address(self):
        d = tempfile.mkdtemp(prefix='varn-tls-')
        cert, key = os.path.join(d, 'cert.pem'), os.path.join(d, 'key.pem')
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', cert,
                        '-days', '2', '-subj', '/CN=127.0.0.2', '-addext', 'subjectAltName=IP:127.0.0.2'],
                       check=True, capture_output=True)
        home = os.path.join(d, 'home')
        os.mkdir(home)
        c = Console(args=('--listen', '127.0.0.2', '--tls-cert', cert, '--tls-key', key), cwd=home)
        c.cafile = cert
        try:
            self.assertEqual((c.scheme, c.host), ('https', '127.0.0.2'))
            status, data = c.request('GET', '/api/state')
            self.assertEqual(status, 200)
            self.assertIn(b'"rows"', data)
            self.assertEqual(c.request('GET', '/api/state', token=False)[0], 403)
            status, _ = c.request('POST', '/api/act', body='{"action":"nothing"}',
                                  headers={'Origin': f'https://127.0.0.2:{c.port}'})
            self.assertEqual(status, 200)
            # Plain HTTP on the TLS port gets no page.
            self.assertNotIn(b'<html', raw(c.port, b'GET / HTTP/1.1\r\nHost: x\r\n\r\n', host='127.0.0.2', timeout=5))
        finally:
            c.stop()
            shutil.rmtree(d, ignore_errors=True)


if __name__ == '__main__':
    KTVARNOCK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
