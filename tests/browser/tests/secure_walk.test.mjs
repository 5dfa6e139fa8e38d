// A newcomer's walk through secure accounts with the real agents, in English and Japanese:
// from an empty folder, Setup sends the alert mail through a relay that requires STARTTLS
// and AUTH and trusts the test authority; then an HTTPS page, a mail round trip through a
// STARTTLS relay and a POP3S mailbox, and an FTPS account turn green, while an
// expired and a wrongly named certificate turn their rows red with texts that say so and
// their Down mails go out through the secure relay.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import * as h from '../lib/console.mjs';

const BIN = path.dirname(h.KTVARNOCK);
const SERVERS = path.resolve(BIN, '../tests/secure_walk_servers');
const AGENTS = ['PageSentry', 'RoundTripSentry', 'XferSentry', 'VarnPost'];
const messages = (lang) =>
  JSON.parse(fs.readFileSync(new URL(`../../../resources/messages/${lang}.json`, import.meta.url)));

let servers = null;
let skipReason = '';
before(async () => {
  const missing = [SERVERS, ...AGENTS.map((a) => path.join(BIN, a))].filter(
    (f) => !fs.existsSync(f),
  );
  if (missing.length) {
    skipReason = `not built: ${missing.join(' ')}`;
    return;
  }
  const child = spawn(SERVERS, [], { stdio: ['pipe', 'pipe', 'pipe'] });
  let out = '';
  let err = '';
  child.stdout.on('data', (d) => {
    out += d;
  });
  child.stderr.on('data', (d) => {
    err += d;
  });
  const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  const first = await Promise.race([
    h.waitFor(() => out.includes('\n'), 60000).then(() => 'ready'),
    exited,
  ]);
  if (first !== 'ready') {
    skipReason = `the test servers did not start (${first}): ${err}`;
    return;
  }
  servers = { ...JSON.parse(out), child, exited };
});
after(async () => {
  if (!servers) return;
  servers.child.stdin.end();
  await servers.exited;
});

// The alert mails the secure relay delivered for the mailbox "ops".
function alertMails() {
  const folder = path.join(servers.alertMail, 'ops', 'new');
  return fs.existsSync(folder)
    ? fs.readdirSync(folder).map((f) => fs.readFileSync(path.join(folder, f), 'latin1'))
    : [];
}

for (const lang of ['en', 'ja']) {
  test(
    `secure accounts turn green or red with the real agents (${lang})`,
    {
      timeout: 300000,
    },
    async (t) => {
      if (!servers) return t.skip(skipReason);
      const m = messages(lang);
      const s = servers;
      const dir = h.newProgramDir();
      const c = await h.startConsole(dir, {
        agents: BIN,
        env: {
          LANG: lang === 'en' ? 'en_US.UTF-8' : 'ja_JP.UTF-8',
          LC_ALL: '',
          LC_MESSAGES: '',
          VARN_ROUNDTRIP_TEST_PAUSE_MS: '1000',
        },
      });
      const browser = await h.launchBrowser();
      const page = await browser.context.newPage();
      const dialog = (title) => page.locator(`#modal-layer .dialog[aria-label="${title}"]`);
      const field = (d, key) => d.getByLabel(m[key], { exact: true });
      try {
        await page.goto(c.address);
        await page.locator('.dialog[role="alertdialog"] button').click();
        const setup = dialog(m.titleSetup);
        await setup.waitFor();
        await field(setup, 'lblOutgoing').fill('127.0.0.1');
        await field(setup, 'lblPrimarySecurity').selectOption('starttls');
        await field(setup, 'lblPrimaryPort').fill(String(s.alertRelay));
        await field(setup, 'lblPrimaryAuth').check();
        await field(setup, 'lblPrimaryId').fill(s.relayUser);
        await field(setup, 'lblPrimaryPassword').fill(s.relayPassword);
        await field(setup, 'lblCaFile').fill(s.ca);
        await field(setup, 'lblFrom').fill('varnock@example.org');
        await field(setup, 'lblTo').fill('ops@example.org');
        await setup.getByRole('button', { name: m.ok, exact: true }).click();
        await setup.waitFor({ state: 'detached' });

        const addButton = (cmd) => page.locator(`#toolbar button[data-cmd="${cmd}"]`);
        await h.waitFor(async () => !(await addButton(1091).isDisabled()));
        // Each account through its add dialog: [command, title, fields, boxes, selects].
        const name = (n) => `${n} ${lang}`;
        const https = (port) => `https://127.0.0.1:${port}/index.htm`;
        const accounts = [
          [
            1091,
            'titleAdd1',
            { lblServerName: name('https ok'), lblPageUrl: https(s.https.valid) },
          ],
          [
            1091,
            'titleAdd1',
            { lblServerName: name('expired'), lblPageUrl: https(s.https.expired) },
          ],
          [
            1091,
            'titleAdd1',
            { lblServerName: name('misnamed'), lblPageUrl: https(s.https.misnamed) },
          ],
          [
            1077,
            'titleAdd3',
            {
              lblServerName: name('mail tls'),
              lblSmtpServer: '127.0.0.1',
              lblPopServer: '127.0.0.1',
              lblSendTestTo: `${s.mailUser}@localhost`,
              lblPopId: s.mailUser,
              lblPopPassword: s.mailPassword,
            },
            ['lblSmtpAuth', 'lblSecureMail'],
            {
              lblSmtpId: s.mailUser,
              lblSmtpPassword: s.mailPassword,
              lblAcctSmtpPort: String(s.smtp),
              lblAcctPopPort: String(s.popImplicit),
            },
            { lblAcctTlsMode: 'starttls', lblAcctPopTlsMode: 'implicit' },
          ],
          [
            1065,
            'titleAdd2',
            {
              lblServerName: name('ftps'),
              lblDomain: '127.0.0.1',
              lblFtpAccount: s.ftpUser,
              lblFtpPassword: s.ftpPassword,
            },
            ['lblSecureFtp'],
            { lblAcctPort: String(s.ftp) },
          ],
        ];
        for (const [cmd, title, fields, boxes = [], after = {}, choices = {}] of accounts) {
          await addButton(cmd).click();
          const add = dialog(m[title]);
          await add.waitFor();
          for (const [key, value] of Object.entries(fields)) await field(add, key).fill(value);
          for (const key of boxes) await field(add, key).check();
          for (const [key, value] of Object.entries(after)) await field(add, key).fill(value);
          for (const [key, value] of Object.entries(choices)) {
            await field(add, key).selectOption(value);
          }
          await add.getByRole('button', { name: m.btnAdd, exact: true }).click();
          await h
            .waitFor(async () => (await field(add, 'lblServerName').inputValue()) === '')
            .catch(async () => {
              const box = page.locator('.dialog[role="alertdialog"] .dialog-text');
              throw new Error(`${fields.lblServerName} refused: ${await box.allTextContents()}`);
            });
          await add.getByRole('button', { name: m.btnClose, exact: true }).click();
          await add.waitFor({ state: 'detached' });
        }
        const mailOptions = fs.readFileSync(
          path.join(dir, 'AccountOptions', `${h.hexKey(name('mail tls'))}.ini`),
          'latin1',
        );
        assert.match(mailOptions, /^SECURE=1\nPORT=\d+\nPOPPORT=\d+\nPOPTLSMODE=implicit$/m);
        const row = (n) => page.locator('#list .list-row', { hasText: name(n) });
        const lamp = (n) => row(n).locator('img.lamp').getAttribute('alt');
        const expected = {
          'https ok': 'green',
          expired: 'red',
          misnamed: 'red',
          'mail tls': 'green',
          ftps: 'green',
        };
        await row('ftps').waitFor();

        // Scans until every row has its colour and both Down mails went out.
        const downFor = (n) =>
          alertMails().find((mail) => mail.includes(`Server Down: ${name(n)}`));
        const done = async () => {
          for (const [n, colour] of Object.entries(expected)) {
            if ((await lamp(n)) !== colour) return false;
          }
          return downFor('expired') && downFor('misnamed');
        };
        const deadline = Date.now() + 200000;
        while (!(await done())) {
          if (Date.now() > deadline) {
            const lamps = await Promise.all(Object.keys(expected).map(lamp));
            throw new Error(
              `lamps ${lamps}; mails ${alertMails().length}; log:\n${h.fullLog(dir)}\n${c.errors()}`,
            );
          }
          if (!(await addButton(1071).isDisabled())) await addButton(1071).click();
          await new Promise((r) => setTimeout(r, 4000));
        }

        // The activity pane's log says why the red rows are red.
        const pane = h.displayLog(dir);
        assert.match(
          pane,
          /TLS_CERT_EXPIRED Domain\/IP: 127\.0\.0\.1 \(certificate ended \d{4}-\d\d-\d\d\)/,
        );
        assert.match(pane, /TLS_CERT_HOSTNAME Domain\/IP: 127\.0\.0\.1/);
        assert.match(downFor('expired'), /TLS_CERT_EXPIRED/);
        assert.match(downFor('misnamed'), /TLS_CERT_HOSTNAME/);
        assert.equal(downFor('https ok'), undefined);

        for (const [scheme, width] of [
          ['light', 1100],
          ['dark', 1100],
          ['light', 390],
        ]) {
          await page.emulateMedia({ colorScheme: scheme });
          await page.setViewportSize({ width, height: 720 });
          await h.screenshot(page, `secure-walk-${lang}-${scheme}-${width}`);
        }
        await page.emulateMedia({ colorScheme: 'light' });
        await page.setViewportSize({ width: 1100, height: 720 });

        // Edit/Delete names the secure services.
        await addButton(1081).click();
        const list = dialog(m.titleEditDelete);
        for (const [n, service] of [
          ['https ok', /HTTPS Page Check/],
          ['ftps', /FTPS File Transfer/],
        ]) {
          const entry = list.locator('.ed-row', { hasText: name(n) });
          await entry.waitFor();
          assert.match(await entry.textContent(), service);
        }
      } finally {
        await browser.close();
        const end = await c.stop();
        assert.equal(end.code, 0, c.errors());
        assert.doesNotMatch(c.errors(), /Sanitizer/);
      }
    },
  );
}
