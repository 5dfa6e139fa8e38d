// Held and grouped alerts in the browser, in English and in Japanese: a parent that names no
// account is refused with its message, a known one reaches the side file; a row down
// behind its down parent says so; Setup's "Group alerts" and flapping switches reach
// Varnock.ini.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import * as h from '../lib/console.mjs';

let browser;
before(async () => {
  browser = await h.launchBrowser();
});
after(async () => {
  await browser?.close();
});

const LANGUAGES = [
  {
    name: 'en',
    lang: 'en_US.UTF-8',
    add: 'ADD PORT ITEM',
    serverName: 'Server Name:',
    domain: 'Domain or IP:',
    parent: 'Behind server (parent):',
    addButton: 'Add',
    closeButton: 'Close',
    ok: 'OK',
    unknown:
      "There is no account with the parent's server name. Please enter the name of an existing account, or leave it empty.",
    behind: 'down behind router',
    setup: 'Setup',
    group: 'Group alerts when more than N arrive within M seconds',
    flap: 'Quiet an account whose state changes more than K times within W minutes',
  },
  {
    name: 'ja',
    lang: 'ja_JP.UTF-8',
    add: 'ポート項目の追加',
    serverName: 'サーバー名:',
    domain: 'ドメインまたはIP:',
    parent: '親サーバー名 (この後ろに接続):',
    addButton: '追加',
    closeButton: '閉じる',
    ok: 'OK',
    unknown:
      '親サーバー名のアカウントがありません。既存のアカウントのサーバー名を入力するか、空欄にしてください。',
    behind: 'router の障害の配下',
    setup: '設定',
    group: 'M秒以内にN件を超えるアラートが届いたら1通にまとめる',
    flap: 'W分以内にK回を超えて状態が変わるアカウントのアラートを止める',
  },
];

for (const l of LANGUAGES) {
  test(`parents and alert grouping in ${l.name}`, async () => {
    const dir = h.newProgramDir();
    h.applySetup(dir, {
      mailServer: 'mail.example.org',
      to: 'ops@example.org',
      interval: 0,
      accounts: [
        { name: 'router', host: '127.0.0.1', ping: true },
        { name: 'leaf', host: '127.0.0.2', ping: true, parent: 'router' },
      ],
    });
    // Both down, each with its Down alert raised.
    const now = h.stamp();
    for (const name of ['router', 'leaf']) {
      h.writeStatus(
        dir,
        'PINGData',
        name,
        h.checkStatus({ lastCheck: now, errorDetected: now, failCount: 2, lastFailure: now }),
      );
    }
    const c = await h.startConsole(dir, {
      agents: h.makeAgents(),
      env: { LANG: l.lang, LC_ALL: '', LC_MESSAGES: '' },
    });
    const page = await browser.context.newPage();
    const dialog = (title) =>
      page.locator(`#modal-layer .dialog[role="dialog"][aria-label="${title}"]`);
    try {
      await page.goto(c.address);
      await page.locator('#window:not([hidden])').waitFor();
      if (await page.locator('#splash').isVisible()) await page.locator('#splash').click();
      const mark = page.locator('#list .list-row .alert-mark');
      await mark.waitFor();
      assert.equal(await mark.count(), 1);
      assert.equal(await mark.textContent(), l.behind);
      if (l.name === 'en') {
        for (const [scheme, width] of [
          ['light', 1100],
          ['dark', 1100],
          ['light', 390],
        ]) {
          await page.emulateMedia({ colorScheme: scheme });
          await page.setViewportSize({ width, height: 720 });
          await h.screenshot(page, `alert-mark-${scheme}-${width}`);
        }
        await page.emulateMedia({ colorScheme: 'light' });
        await page.setViewportSize({ width: 1100, height: 720 });
      }

      // The parent field of the add dialog.
      await page.evaluate(() => document.querySelector('.menu-item[data-cmd="1076"]').click());
      const add = dialog(l.add);
      await add.waitFor();
      await add.getByLabel(l.serverName).fill('web');
      await add.getByLabel(l.domain).fill('127.0.0.3');
      await add.getByLabel(l.parent).fill('nobody');
      await add.getByRole('button', { name: l.addButton, exact: true }).click();
      const box = page.locator('.dialog[role="alertdialog"]').last();
      assert.equal(await box.locator('.dialog-text').textContent(), l.unknown);
      await box.getByRole('button', { name: l.ok, exact: true }).click();
      const side = path.join(dir, 'AccountOptions', `${h.hexKey('web')}.ini`);
      assert.equal(fs.existsSync(side), false);
      await add.getByLabel(l.parent).fill('router');
      await h.screenshot(page, `add-server-parent-${l.name}`);
      await add.getByRole('button', { name: l.addButton, exact: true }).click();
      await h.waitFor(() => fs.existsSync(side));
      assert.equal(fs.readFileSync(side, 'latin1'), '[ACCOUNT]\nPARENT=router\n');
      await add.getByRole('button', { name: l.closeButton, exact: true }).click();

      // Setup's grouping switch with the suggested numbers.
      await page.evaluate(() => document.querySelector('.menu-item[data-cmd="1149"]').click());
      const setup = dialog(l.setup);
      await setup.waitFor();
      await setup.getByLabel(/^(From Address:|差出人アドレス:)$/).fill('varnock@example.org');
      const group = setup.getByLabel(l.group);
      await group.scrollIntoViewIfNeeded();
      await group.check();
      const flap = setup.getByLabel(l.flap);
      await flap.scrollIntoViewIfNeeded();
      await flap.check();
      if (l.name === 'en') {
        await page.emulateMedia({ colorScheme: 'dark' });
        await h.screenshot(page, 'setup-grouping-dark');
        await page.emulateMedia({ colorScheme: 'light' });
      }
      await h.screenshot(page, `setup-grouping-${l.name}`);
      await setup.getByRole('button', { name: l.ok, exact: true }).click();
      await setup.waitFor({ state: 'detached' });
      assert.equal(h.iniValue(dir, 'ALERTGROUPCOUNT'), '5');
      assert.equal(h.iniValue(dir, 'ALERTGROUPSECONDS'), undefined);
      assert.equal(h.iniValue(dir, 'FLAPCHANGES'), '4');
    } finally {
      await page.close();
      const end = await c.stop();
      assert.equal(end.code, 0, c.errors());
      assert.doesNotMatch(c.errors(), /Sanitizer/);
    }
  });
}
