// Start-up on a fresh or prepared program directory: folders and files, language, the
// first-run prompt, and the commands that need a mail server.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import * as h from '../lib/console.mjs';

const FOLDERS = [
  'PINGData',
  'HTTPData',
  'HTTPPageData',
  'FTPPortData',
  'FTPSendRecData',
  'SMTPData',
  'POPData',
  'EmailData',
  'CustData',
];

test('start-up prepares the program directory in its order', async () => {
  const dir = h.newProgramDir();
  fs.mkdirSync(path.join(dir, 'Log', 'Disp'), { recursive: true });
  fs.writeFileSync(path.join(dir, 'Log', 'Disp', '20200101.log'), 'old\r\n');
  fs.writeFileSync(path.join(dir, 'Log', '20200101.log'), 'old\r\n');
  fs.writeFileSync(path.join(dir, 'pingPara.dat'), Buffer.alloc(8, 1));
  fs.writeFileSync(path.join(dir, 'portCUSTPara.dat'), Buffer.alloc(20, 1));
  const c = await h.startConsole(dir, {
    agents: h.makeAgents(),
    env: { LANG: 'C', LC_ALL: '', LC_MESSAGES: '' },
  });
  try {
    for (const f of FOLDERS)
      assert.equal(fs.readFileSync(path.join(dir, f, 'first.dat'), 'latin1'), '1', f);
    for (const f of [
      'Wave',
      'MailBox',
      'ListView',
      'ListViewEnable',
      'ListViewDuration',
      'Setting',
      'AllData',
      'temp',
    ]) {
      assert.ok(fs.statSync(path.join(dir, f)).isDirectory(), f);
    }
    assert.equal(fs.existsSync(path.join(dir, 'pingPara.dat')), false);
    assert.equal(fs.existsSync(path.join(dir, 'portCUSTPara.dat')), false);
    assert.equal(fs.existsSync(path.join(dir, 'Log', '20200101.log')), false, 'old logs deleted');
    assert.deepEqual(fs.readdirSync(path.join(dir, 'Log', 'Disp')).length, 1);
    assert.match(
      h.displayLog(dir),
      /^10001 \d{4}\/\d\d\/\d\d  \d\d:\d\d[ap]m  5b50726f6772616d20537461727465645d\s+\r\n$/,
    );
    const address = fs.readFileSync(path.join(dir, 'temp', 'console-address.txt'), 'utf8');
    assert.equal(address.trim(), c.address);
    assert.equal(fs.statSync(path.join(dir, 'temp', 'console-address.txt')).mode & 0o777, 0o600);
  } finally {
    const end = await c.stop();
    assert.equal(end.code, 0);
  }
  // The settings keep their defaults at exit: all five switches on without a mail server.
  assert.deepEqual(
    [...fs.readFileSync(path.join(dir, 'Setting', 'Schedule.dat'))],
    [1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0],
  );
});

test('without a mail server the commands are disabled and the first paint prompts once', async () => {
  const dir = h.newProgramDir();
  const agents = h.makeAgents();
  const c = await h.startConsole(dir, {
    agents,
    env: { LANG: 'en_US.UTF-8', LC_ALL: '', LC_MESSAGES: '' },
  });
  const browser = await h.launchBrowser();
  try {
    const page = await browser.context.newPage();
    await page.goto(c.address);
    const box = page.locator('.dialog[role="alertdialog"]');
    await box.waitFor();
    assert.equal(await box.locator('.dialog-title').textContent(), 'KT.Varnock');
    assert.match(
      await box.textContent(),
      /Thank you for purchasing KT\.Varnock 2\.0\. \nYou must set up the initial settings before using this software\.\nPlease go to \[File\] menu, select \[Global Setup\], and complete Initial Setup\./,
    );
    await h.screenshot(page, 'first-run');
    await box.locator('button').click();
    // The prompt leads into Setup; Cancel leaves everything as it was.
    const setup = page.locator('.dialog[role="dialog"][aria-label="Setup"]');
    await setup.waitFor();
    await setup.getByRole('button', { name: 'Cancel', exact: true }).click();
    for (const id of [1071, 1076, 1091, 1065, 1077, 1081, 1083, 1285, 1289]) {
      assert.equal(
        await page.locator(`#toolbar button[data-cmd="${id}"]`).isDisabled(),
        true,
        String(id),
      );
    }
    assert.match(
      await page.locator('.menu-item[data-cmd="1265"]').getAttribute('class'),
      /disabled/,
    );
    // Disabled means disabled in the console too, not only in the page.
    const r = await page.request.post(`${c.origin}/api/act`, {
      headers: { 'X-Varn-Token': c.token, 'Content-Type': 'application/json' },
      data: { action: 'command', id: 1071 },
    });
    assert.equal((await r.json()).ok, false);
    assert.deepEqual(h.startedAgents(agents).length, 0);
    await page.reload();
    await page.locator('#window:not([hidden])').waitFor();
    await new Promise((res) => setTimeout(res, 800));
    assert.equal(
      await page.locator('.dialog[role="alertdialog"]').count(),
      0,
      'at most once per run',
    );
  } finally {
    await browser.close();
    await c.stop();
  }
});

test('a Japanese locale gives the Japanese texts; LANGUAGE decides when set', async () => {
  const dir = h.newProgramDir();
  h.applySetup(dir, {
    mailServer: '127.0.0.1',
    interval: 0,
    accounts: [{ name: 'lima', host: '127.0.0.1', ping: true }],
  });
  let c = await h.startConsole(dir, {
    agents: h.makeAgents(),
    env: { LANG: 'ja_JP.UTF-8', LC_ALL: '', LC_MESSAGES: '' },
  });
  const browser = await h.launchBrowser();
  try {
    let page = await h.openConsole(browser.context, c, 1);
    assert.equal(
      await page.locator('#list-header .col-title[data-column="2"] .title-text').textContent(),
      'サーバー',
    );
    assert.equal(await page.locator('.menu-title').first().textContent(), 'ファイル');
    await h.screenshot(page, 'japanese');
    await c.stop();
    assert.equal(h.iniValue(dir, 'LANGUAGE'), '1');
    fs.writeFileSync(
      path.join(dir, 'Varnock.ini'),
      fs.readFileSync(path.join(dir, 'Varnock.ini'), 'latin1').replace('LANGUAGE=1', 'LANGUAGE=0'),
    );
    c = await h.startConsole(dir, {
      agents: h.makeAgents(),
      env: { LANG: 'ja_JP.UTF-8', LC_ALL: '', LC_MESSAGES: '' },
    });
    page = await h.openConsole(browser.context, c, 1);
    assert.equal(
      await page.locator('#list-header .col-title[data-column="2"] .title-text').textContent(),
      'Server',
    );
  } finally {
    await browser.close();
    await c.stop();
  }
});
