#!/usr/bin/env python3
"""The account store against hostile conditions: kill -9 in the middle of command-line
imports (after the next start every account is whole: record, every status file, every
list row, each once; or wholly absent), two clients editing one account, and another
process holding the store's lock.

Usage: account_store_hostile_test.py KTVarnock [unittest arguments]
No network traffic but the console's own loopback page.
"""
import fcntl
import json
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import console_hostile_test as hostile

ACCOUNTS = 240
TRIALS = 40
PACING_S = 0.03  # the import writes one line every 30 ms

# Offsets of the account record's fixed part that decide its checks.
HOST, PING, HTTP_PORT, IS_PAGE, FTP_PORT, IS_FTP = 65, 451, 454, 464, 466, 476
SMTP_PORT, POP_PORT, IS_MAIL, CUSTOM_ON, CUSTOM_NAMES, CUSTOM_PORTS = 1078, 1088, 1100, 1414, 1418, 1744
FIXED = 1808
FOLDERS = ['PINGData', 'HTTPData', 'HTTPPageData', 'FTPPortData', 'FTPSendRecData', 'SMTPData', 'POPData',
           'EmailData', 'CustData']


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def field(record, offset, size=65):
    return record[offset:offset + size].split(b'\0', 1)[0]


def expected_parts(key, record):
    """The status folders and the list rows (as the store keeps them) of a whole record."""
    host = field(record, HOST).decode('latin-1')
    plain = [(PING, 'PINGData'), (HTTP_PORT, 'HTTPData'), (FTP_PORT, 'FTPPortData'), (SMTP_PORT, 'SMTPData'),
             (POP_PORT, 'POPData'), (IS_PAGE, 'HTTPPageData'), (IS_FTP, 'FTPSendRecData'), (IS_MAIL, 'EmailData')]
    folders, rows = set(), []
    for offset, folder in plain:
        if record[offset]:
            folders.add(folder)
            rows.append(f'{key}\t\t{folder}\t\t{host}'.lower())
    if record[CUSTOM_ON]:
        folders.add('CustData')
        for slot in range(5):
            name = field(record, CUSTOM_NAMES + 65 * slot).decode('latin-1')
            port = struct.unpack_from('<I', record, CUSTOM_PORTS + 4 * slot)[0]
            if name and port:
                rows.append(f'{key}({name})\t\tCustData\t\t{host}'.lower())
    return folders, rows


def index_rows(d):
    store = os.path.join(d, 'ListView')
    rows = []
    for name in os.listdir(store) if os.path.isdir(store) else []:
        if name.endswith('.key'):
            data = read(os.path.join(store, name))
            rows += [data[i:i + 150].split(b'\0', 1)[0].decode('latin-1') for i in range(0, len(data) - 149, 150)]
    return rows


def half_accounts(d):
    """Every key whose record, status files and rows do not agree, with what is wrong."""
    rows = index_rows(d)
    rows_of = {}
    for row in rows:
        key = row.split('\t', 1)[0].split('(', 1)[0]
        rows_of.setdefault(key, []).append(row)
    status_of = {}
    for folder in FOLDERS:
        path = os.path.join(d, folder)
        for name in os.listdir(path) if os.path.isdir(path) else []:
            if name != 'first.dat' and not name.startswith('.'):
                status_of.setdefault(name, set()).add(folder)
    records = set(n for n in os.listdir(os.path.join(d, 'AllData')) if not n.startswith('.'))
    faults = {}
    for key in records | set(rows_of) | set(status_of):
        have_rows, have_status = sorted(rows_of.get(key, [])), status_of.get(key, set())
        if key not in records:
            if have_rows or have_status:
                faults[key] = f'no record, rows {have_rows}, status files {sorted(have_status)}'
            continue
        record = read(os.path.join(d, 'AllData', key))
        if len(record) < FIXED:
            faults[key] = f'record of {len(record)} bytes'
            continue
        folders, want = expected_parts(key, record)
        if have_status != folders or have_rows != sorted(want):
            faults[key] = (f'status files {sorted(have_status)} for {sorted(folders)}, '
                           f'rows {have_rows} for {sorted(want)}')
    return faults


def csv_line(i, variant):
    """An account of one of the four types; the second variant gives the same names other
    domains and other checks, so a second import replaces the accounts of the first."""
    f = [''] * 51
    kind = i % 4
    f[0] = f'acct{i:04d}'
    f[1] = f'127.0.{variant}.{i % 250 + 1}'
    f[49], f[50] = '1', str(kind)
    f[41] = f[42] = f[45] = f[46] = '1'
    if kind == 0:
        f[4] = '1'
        f[5] = '1' if (i + variant) % 2 else '0'
        f[14] = '1' if variant else '0'
        f[15] = '1' if i % 3 == 0 else '0'
        if (i + variant) % 3 != 2:
            f[24], f[25], f[26] = '1', 'ssh', '22'
            if variant:
                f[27], f[28] = 'web', '8080'
    elif kind == 1:
        f[3], f[6], f[7], f[8] = '/index.html', '120', '1', str(variant)
    elif kind == 2:
        f[10], f[11], f[12], f[13] = '1', '/upload', 'ftpuser', 'secret'
    else:
        f[2], f[16], f[17], f[18] = '127.0.0.2', '240', '1', 'test@localhost'
        f[22], f[23] = 'pop', 'secret'
    return ','.join(f)


class ImportKilledMidway(unittest.TestCase):
    def test_every_account_is_whole_or_absent_after_the_restart(self):
        d = tempfile.mkdtemp(prefix='varn-crash-')
        files = []
        for variant in (0, 1):
            path = os.path.join(d, f'import{variant}.csv')
            with open(path, 'w', newline='') as f:
                f.write(''.join(csv_line(i, variant) + '\r\n' for i in range(ACCOUNTS)))
            files.append(path)
        home = os.path.join(d, 'home')
        env = dict(os.environ, ASAN_OPTIONS='detect_leaks=0')
        rng = random.Random(os.environ.get('VARN_CRASH_SEED', time.time_ns()))
        broken, repaired, killed_lines, seen = [], 0, [], {}
        try:
            for trial in range(TRIALS):
                importer = subprocess.Popen([hostile.KTVARNOCK, '--dir', home, '--import', files[trial % 2]],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
                time.sleep(rng.uniform(0.2, ACCOUNTS * PACING_S * 0.9))
                importer.send_signal(signal.SIGKILL)
                importer.wait()
                pending = os.path.exists(os.path.join(home, 'temp', 'accountchange.dat'))
                # Both kinds of start finish what the import left: the console's and the
                # command line's.
                if trial % 2 == 0:
                    console = hostile.Console(cwd=home)
                    said = console.output()
                    console.stop()
                else:
                    r = subprocess.run([hostile.KTVARNOCK, '--dir', home, '--export', os.path.join(d, 'out.csv'),
                                        '--replace'],
                                       capture_output=True, text=True, timeout=120, env=env)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    said = r.stderr
                if pending:
                    repaired += 1
                    self.assertIn('account change was cut short', said)
                self.assertFalse(os.path.exists(os.path.join(home, 'temp', 'accountchange.dat')))
                faults = half_accounts(home)
                killed_lines.append(len(os.listdir(os.path.join(home, 'AllData'))))
                # A half account stays half: count each trial that made a new one.
                fresh = {key: fault for key, fault in faults.items() if seen.get(key) != fault}
                seen = faults
                if fresh:
                    broken.append((trial, fresh))
            print(f'{len(broken)} of {TRIALS} kill trials left a half account; {repaired} restarts '
                  f'finished a change cut short', file=sys.stderr)
            self.assertEqual(broken, [], 'half accounts after the restart')
            # The trials did stop imports at many points, not always before the first line.
            self.assertGreater(max(killed_lines), ACCOUNTS // 4)
        finally:
            shutil.rmtree(d, ignore_errors=True)


def act(console, action, **body):
    status, data = console.request('POST', '/api/act', body=json.dumps({'action': action, **body}),
                                   headers={'Content-Type': 'application/json'})
    return status, json.loads(data)


class ClientsOfOneStore(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.c = hostile.Console(setup={'mailServer': '127.0.0.1', 'interval': 0, 'accounts': [
            {'name': 'shared', 'host': '127.0.0.1', 'type': 'ftp', 'ftpUser': 'u', 'ftpPassword': 'pw1'}]})

    @classmethod
    def tearDownClass(cls):
        cls.c.stop()
        shutil.rmtree(cls.c.dir, ignore_errors=True)

    def accounts(self):
        return sorted(os.listdir(os.path.join(self.c.dir, 'AllData')))

    def test_a_stale_dialog_is_refused_and_writes_nothing(self):
        shared = 'shared'.encode().hex()
        _, a = act(self.c, 'account-load', key=shared)
        _, b = act(self.c, 'account-load', key=shared)
        form_a = dict(a['form'], name='renamedA')
        _, saved = act(self.c, 'account-save', form=form_a, originalKey=shared, revision=a['revision'])
        self.assertTrue(saved['ok'])
        before = self.accounts()
        status, refused = act(self.c, 'account-save', form=dict(b['form'], name='renamedB'), originalKey=shared,
                              revision=b['revision'])
        self.assertEqual(status, 200)
        self.assertFalse(refused['ok'])
        self.assertEqual(refused['message'],
                         'This account was changed or deleted meanwhile. Close the dialog and open it again.')
        self.assertEqual(self.accounts(), before)
        self.assertIn('renamedA'.encode().hex(), before)
        self.assertNotIn('renamedB'.encode().hex(), before)
        self.assertNotIn(shared, before)
        record = read(os.path.join(self.c.dir, 'AllData', 'renamedA'.encode().hex()))
        self.assertEqual(field(record, 1062, 16), b'pw1', 'the password stays')

    def test_a_held_store_lock_makes_changes_busy_and_reads_answer(self):
        lock_path = os.path.join(self.c.dir, 'temp', 'locks', 'AccountStore')
        os.makedirs(os.path.dirname(lock_path), exist_ok=True)
        form = {'type': 0, 'name': 'newone', 'domain': '127.0.0.3', 'ping': True}
        with open(lock_path, 'a') as holder:
            fcntl.flock(holder, fcntl.LOCK_EX)
            start = time.monotonic()
            status, answer = act(self.c, 'account-save', form=form)
            took = time.monotonic() - start
            state_start = time.monotonic()
            state = self.c.request('GET', '/api/state')[0]
            state_took = time.monotonic() - state_start
            fcntl.flock(holder, fcntl.LOCK_UN)
        print(f'save under a held store lock answered in {took:.2f} s, the state in {state_took:.2f} s',
              file=sys.stderr)
        self.assertEqual(status, 200)
        self.assertEqual(answer, {'ok': False, 'message': 'the status files are busy; try again'})
        self.assertLess(took, 3.5)
        self.assertEqual(state, 200)
        self.assertLess(state_took, 2.0)
        self.assertNotIn('newone'.encode().hex(), self.accounts())
        # Once the lock is free again, the same save goes through.
        self.assertTrue(act(self.c, 'account-save', form=form)[1]['ok'])


if __name__ == '__main__':
    hostile.KTVARNOCK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
