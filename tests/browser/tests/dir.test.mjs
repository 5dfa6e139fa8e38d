// The program directory: the current folder or --dir DIR, never a folder full of other
// things unless the administrator says so with --init.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import * as h from '../lib/console.mjs';

const run = (args, cwd) =>
  spawnSync(h.KTVARNOCK, args, {
    cwd,
    encoding: 'utf8',
    timeout: 20000,
    env: { ...process.env, ASAN_OPTIONS: 'detect_leaks=1' },
  });

test('a folder that is neither empty nor a program directory is refused and left as it was', () => {
  const home = h.newProgramDir();
  fs.writeFileSync(path.join(home, 'notes.txt'), 'mine');
  fs.mkdirSync(path.join(home, 'src'));
  const r = run(['--port', '0'], home);
  assert.equal(r.status, 1);
  assert.match(r.stderr, /is not empty and is not a program directory.*--dir DIR.*--init/s);
  assert.deepEqual(fs.readdirSync(home).sort(), ['notes.txt', 'src']);
  // A setup is refused the same way.
  const setup = path.join(h.newProgramDir(), 'setup.json');
  fs.writeFileSync(setup, JSON.stringify({ interval: 1 }));
  assert.equal(run(['--setup', setup], home).status, 1);
  assert.deepEqual(fs.readdirSync(home).sort(), ['notes.txt', 'src']);
  // --init takes it all the same.
  assert.equal(run(['--setup', setup, '--init'], home).status, 0);
  assert.ok(fs.existsSync(path.join(home, 'Setting', 'Scan.dat')));
});

test('--dir names the program directory, made when missing, whatever the current folder', async () => {
  const elsewhere = h.newProgramDir();
  fs.writeFileSync(path.join(elsewhere, 'keep.txt'), 'x');
  const target = path.join(h.newProgramDir(), 'monitor');
  const setup = path.join(elsewhere, 'setup.json');
  fs.writeFileSync(
    setup,
    JSON.stringify({ accounts: [{ name: 'one', host: '127.0.0.1', ping: true }] }),
  );
  const r = run(['--dir', target, '--setup', setup], elsewhere);
  assert.equal(r.status, 0, r.stderr);
  assert.ok(fs.existsSync(path.join(target, 'AllData', h.hexKey('one'))));
  assert.deepEqual(fs.readdirSync(elsewhere).sort(), ['keep.txt', 'setup.json']);
  // A program directory is always usable, also when it holds files of its own.
  fs.writeFileSync(path.join(target, 'export.csv'), '');
  assert.equal(run(['--dir', target, '--setup', setup], elsewhere).status, 0);
});
