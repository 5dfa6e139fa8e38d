// End to end from an empty directory: Setup names a local SMTP server (aiosmtpd) and the To
// address, an account for a closed port is added through the form, and two scans later the
// Down mail arrives through the real agents and the real alert mail sender.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import * as h from '../lib/console.mjs';

const BIN = path.dirname(h.KTVARNOCK);
const SMTP_HOST = '127.0.77.9';

function closedPort() {
  return new Promise((resolve) => {
    const server = net.createServer();
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function startSmtp(maildir) {
  // The alert mail sender always speaks to port 25.
  const child = spawn(
    '/usr/bin/python3',
    ['-m', 'aiosmtpd', '-n', '-l', `${SMTP_HOST}:25`, '-c', 'aiosmtpd.handlers.Mailbox', maildir],
    { stdio: ['ignore', 'ignore', 'pipe'] },
  );
  let err = '';
  child.stderr.on('data', (d) => {
    err += d;
  });
  return { child, errors: () => err };
}

function smtpListening() {
  return new Promise((resolve) => {
    const s = net.connect(25, SMTP_HOST, () => {
      s.destroy();
      resolve(true);
    });
    s.on('error', () => resolve(false));
  });
}

test('Setup, a closed-port account, and the Down mail arrives', { timeout: 180000 }, async (t) => {
  for (const program of ['AnyPortSentry', 'VarnPost', 'EchoSentry']) {
    if (!fs.existsSync(path.join(BIN, program))) return t.skip(`${program} is not built`);
  }
  const mailroot = fs.mkdtempSync(path.join(os.tmpdir(), 'varn-maildir-'));
  const maildir = path.join(mailroot, 'box'); // the handler makes the maildir itself
  const smtp = startSmtp(maildir);
  const up = await h.waitFor(smtpListening, 10000).catch(() => false);
  if (!up) {
    smtp.child.kill();
    return t.skip(`aiosmtpd did not listen on ${SMTP_HOST}:25: ${smtp.errors()}`);
  }
  const dir = h.newProgramDir();
  const c = await h.startConsole(dir, {
    agents: BIN,
    env: { LANG: 'en_US.UTF-8', LC_ALL: '', LC_MESSAGES: '' },
  });
  const browser = await h.launchBrowser();
  try {
    const page = await browser.context.newPage();
    await page.goto(c.address);
    await page.locator('.dialog[role="alertdialog"] button').click();
    const setup = page.locator('.dialog[aria-label="Setup"]');
    await setup.waitFor();
    await setup.getByLabel('Outgoing mail [SMTP]:', { exact: true }).fill(SMTP_HOST);
    await setup.getByLabel('From Address:').fill('varnock@example.org');
    await setup.getByLabel('To Address:').fill('ops@example.org');
    await setup.getByRole('button', { name: 'OK', exact: true }).click();
    await setup.waitFor({ state: 'detached' });

    const port = await closedPort();
    await h.waitFor(
      async () => !(await page.locator('#toolbar button[data-cmd="1076"]').isDisabled()),
    );
    // One account for the closed port, one for the SMTP server's open port.
    for (const [name, host, service, servicePort] of [
      ['closed port', '127.0.0.1', 'dead', port],
      ['open port', SMTP_HOST, 'smtp', 25],
    ]) {
      await page.locator('#toolbar button[data-cmd="1076"]').click();
      const add = page.locator('.dialog[aria-label="ADD PORT ITEM"]');
      await add.getByLabel('Server Name:').fill(name);
      await add.getByLabel('Domain or IP:').fill(host);
      await add.getByLabel('PING').uncheck();
      await add.getByLabel('Custom Port').check();
      await add.getByRole('button', { name: 'Setting', exact: true }).click();
      const custom = page.locator('.dialog[aria-label="Custom Port Settings"]');
      await custom.getByLabel('Service Name 1:').fill(service);
      await custom.getByLabel('Port 1:').fill(String(servicePort));
      await custom.getByRole('button', { name: 'OK', exact: true }).click();
      await custom.waitFor({ state: 'detached' });
      await add.getByRole('button', { name: 'Add', exact: true }).click();
      await h.waitFor(async () => (await add.getByLabel('Server Name:').inputValue()) === '');
      await add.getByRole('button', { name: 'Close', exact: true }).click();
    }
    await page.locator('#list .list-row').first().waitFor();

    // Two failed scans in a row raise the Down alert.
    const mails = () => {
      const folder = path.join(maildir, 'new');
      return fs.existsSync(folder)
        ? fs.readdirSync(folder).map((f) => fs.readFileSync(path.join(folder, f), 'latin1'))
        : [];
    };
    for (let scan = 0; scan < 4 && mails().length === 0; scan++) {
      await page.locator('#toolbar button[data-cmd="1071"]').click();
      await h.waitFor(
        async () =>
          (
            await page.locator('#list .list-row .cell[data-column="5"]').first().textContent()
          ).trim() !== '',
        20000,
      );
      await new Promise((r) => setTimeout(r, 4000));
    }
    const mail = await h
      .waitFor(() => mails()[0], 60000)
      .catch(() => {
        const listing = fs.readdirSync(dir, { recursive: true }).join(' ');
        throw new Error(
          `no mail arrived; log:\n${h.fullLog(dir)}\nfiles: ${listing}\nsmtp: ${smtp.errors()}\nconsole: ${c.errors()}`,
        );
      });
    assert.match(mail, /Subject: Server Down: closed port/);
    assert.match(mail, /To: .*ops@example\.org/);
    const row = (name) => page.locator('#list .list-row', { hasText: name });
    await h.waitFor(
      async () => (await row('closed port').locator('img.lamp').getAttribute('alt')) === 'red',
    );
    assert.equal(await row('open port').locator('img.lamp').getAttribute('alt'), 'green');
    assert.notEqual(
      (await row('open port').locator('.cell[data-column="5"]').textContent()).trim(),
      '',
    );
    await h.screenshot(page, 'e2e-down');
  } finally {
    await browser.close();
    await c.stop();
    smtp.child.kill();
    fs.rmSync(mailroot, { recursive: true, force: true });
  }
});
