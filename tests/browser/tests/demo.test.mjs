// The README's demo as a newcomer meets it: the start script sets up a program directory,
// the lamps turn green, the demo listener is stopped and a Down mail lands in caught-mail,
// the listener comes back and an Up mail follows. Needs root for the mail catcher's port 25.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import * as h from '../lib/console.mjs';

const root = path.resolve('../..');
const home = fs.mkdtempSync(path.join(os.tmpdir(), 'varn-demo-'));
let demo;
let browser;

after(async () => {
  await browser?.close();
  if (demo && demo.exitCode === null) {
    process.kill(-demo.pid, 'SIGTERM');
    await new Promise((resolve) => demo.once('exit', resolve));
    // The console ends after the script: its last exit write removes the address file.
    await h
      .waitFor(() => !fs.existsSync(path.join(home, 'temp', 'console-address.txt')), 20000)
      .catch(() => {});
  }
  // Agents started by the last scan run on by themselves until their checks end.
  await h.waitFor(() => spawnSync('pgrep', ['-f', home]).status !== 0, 60000, 250).catch(() => {});
  fs.rmSync(home, { recursive: true, force: true, maxRetries: 5 });
});

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

async function port25Free() {
  return new Promise((resolve) => {
    const server = net.createServer();
    server.once('error', () => resolve(false));
    server.listen(25, '127.0.0.1', () => server.close(() => resolve(true)));
  });
}

// The mails caught so far, as [file name, text].
function caught() {
  const folder = path.join(home, 'caught-mail');
  if (!fs.existsSync(folder)) return [];
  // The catcher writes a hidden file first and renames it when the mail is whole.
  return fs
    .readdirSync(folder)
    .filter((n) => n.endsWith('.eml') && !n.startsWith('.'))
    .sort()
    .map((n) => [n, fs.readFileSync(path.join(folder, n), 'latin1')]);
}

const skip =
  process.getuid() !== 0
    ? 'the mail catcher needs root for port 25'
    : !(await port25Free())
      ? '127.0.0.1:25 is in use'
      : false;

test(
  'demo: the listener goes down, a Down mail is caught, it comes back, an Up mail follows',
  { skip, timeout: 300000 },
  async () => {
    const port = await freePort();
    const listenerPort = await freePort();
    demo = spawn('bash', [path.join(root, 'scripts/start-demo.sh')], {
      env: {
        ...process.env,
        VARN_CONSOLE: h.KTVARNOCK,
        VARN_HOME: home,
        VARN_PORT: String(port),
        VARN_DEMO_LISTENER: String(listenerPort),
        ASAN_OPTIONS: 'detect_leaks=1',
      },
      stdio: ['ignore', 'pipe', 'pipe'],
      detached: true,
    });
    let out = '';
    demo.stdout.on('data', (d) => {
      out += d;
    });
    demo.stderr.on('data', (d) => {
      out += d;
    });
    const address = await h
      .waitFor(() => out.match(/(http:\/\/127\.0\.0\.1\S+)/)?.[1], 30000)
      .catch(() => {
        throw new Error(`the demo did not start:\n${out}`);
      });
    assert.match(out, new RegExp(`Alert mails land in: +${home}/caught-mail`));

    browser = await h.launchBrowser();
    const page = browser.context.pages()[0] ?? (await browser.context.newPage());
    await page.goto(address);
    await page.waitForSelector('#window:not([hidden])');
    const splash = page.locator('#splash');
    if (await splash.isVisible()) await splash.click();
    await page.locator('#list .list-row').nth(2).waitFor();

    const log = () => h.fullLog(home);
    const runScan = async () => {
      await page.locator('#toolbar button[data-cmd="1071"]').click();
    };
    // Every account is checked and found up.
    await runScan();
    await h.waitFor(() => /CUSTOM Port \d+ OK Domain\/IP: 127\.0\.0\.1/.test(log()), 60000, 250);

    // The listener stops: two failed checks in a row are a Down alert.
    const listenerPid = Number(fs.readFileSync(path.join(home, 'demo-listener.pid'), 'utf8'));
    process.kill(listenerPid, 'SIGTERM');
    const downLine = `CUSTOM Port ${listenerPort} DOWN Error: CONNECT`;
    const downs = () =>
      log()
        .split('\n')
        .filter((l) => l.includes(downLine)).length;
    for (let i = 0; i < 4 && caught().length === 0; i += 1) {
      const before = downs();
      await runScan();
      await h.waitFor(() => downs() > before || caught().length > 0, 60000, 250);
    }
    const [downFile, down] = await h.waitFor(() => caught()[0], 60000, 250);
    assert.match(down, /^Subject: Server Down: Demo listener\r?$/m, downFile);
    assert.match(down, /Error: CUSTOM Port \d+ DOWN Error: CONNECT/);
    assert.match(log(), /^10012 .*\[Down Mail Sent: Custom\]\s+admin@localhost/m);
    await h.screenshot(page, 'demo-down');

    // The listener comes back: the next successful check is an Up alert.
    const listener = spawn(
      'python3',
      [
        '-m',
        'http.server',
        String(listenerPort),
        '--bind',
        '127.0.0.1',
        '--directory',
        path.join(home, 'listener-root'),
      ],
      { stdio: 'ignore' },
    );
    try {
      await h.waitFor(
        () =>
          new Promise((resolve) => {
            const s = net.connect(listenerPort, '127.0.0.1', () => {
              s.destroy();
              resolve(true);
            });
            s.on('error', () => resolve(false));
          }),
        10000,
      );
      for (let i = 0; i < 4 && caught().length < 2; i += 1) {
        const before = log().length;
        await runScan();
        await h.waitFor(() => log().length > before || caught().length > 1, 60000, 250);
      }
      const [upFile, up] = await h.waitFor(() => caught()[1], 60000, 250);
      assert.match(up, /^Subject: Server Up: Demo listener\r?$/m, upFile);
      assert.equal(caught().length, 2, 'one Down and one Up mail, nothing else');
    } finally {
      listener.kill();
    }
  },
);
