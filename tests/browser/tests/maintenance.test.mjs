// The Maintenance dialog in English and in Japanese: it offers the selected row's account,
// refuses an unknown one with its message, stores a one-off window of that account and a
// weekly one of every account in the file the agents read, removes one after asking, and
// the row in a window wears the maintenance lamp while the others do not.
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
    title: 'Maintenance Windows',
    none: 'No maintenance window is set.',
    one: 'One account (server name):',
    all: 'All accounts',
    once: 'Once',
    weekly: 'Every week',
    from: 'From:',
    to: 'To:',
    day: 'Day:',
    add: 'Add',
    remove: 'Delete',
    close: 'Close',
    yes: 'Yes',
    ok: 'OK',
    unknown:
      'There is no account with this server name. Please enter the name of an existing account, or choose all accounts.',
    now: '(in progress)',
    mark: 'maintenance',
  },
  {
    name: 'ja',
    lang: 'ja_JP.UTF-8',
    title: 'メンテナンス期間',
    none: 'メンテナンス期間は設定されていません。',
    one: '1つのアカウント (サーバー名):',
    all: 'すべてのアカウント',
    once: '1回',
    weekly: '毎週',
    from: '開始:',
    to: '終了:',
    day: '曜日:',
    add: '追加',
    remove: '削除',
    close: '閉じる',
    yes: 'はい',
    ok: 'OK',
    unknown:
      'このサーバー名のアカウントはありません。既存のアカウント名を入力するか、すべてのアカウントを選んでください。',
    now: '(実施中)',
    mark: 'メンテナンス中',
  },
];

const pad = (n) => String(n).padStart(2, '0');
const inputStamp = (d) =>
  `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}T${pad(d.getHours())}:${pad(d.getMinutes())}`;
const fileStamp = (d) => inputStamp(d).replace(/[-T:]/g, '');

for (const l of LANGUAGES) {
  test(`the Maintenance dialog in ${l.name}`, async () => {
    const dir = h.newProgramDir();
    h.applySetup(dir, {
      mailServer: 'mail.example.org',
      to: 'ops@example.org',
      interval: 0,
      accounts: [
        { name: 'db1', host: '127.0.0.1', ping: true },
        { name: 'web1', host: '127.0.0.2', ping: true },
      ],
    });
    const file = path.join(dir, 'Setting', 'Maintenance.txt');
    const c = await h.startConsole(dir, {
      agents: h.makeAgents(),
      env: { LANG: l.lang, LC_ALL: '', LC_MESSAGES: '' },
    });
    const page = await browser.context.newPage();
    const rowOf = (name) =>
      page.locator('#list .list-row').filter({
        has: page.locator('.cell[data-column="2"]', { hasText: new RegExp(`^ ${name}`) }),
      });
    try {
      await page.goto(c.address);
      await rowOf('db1').waitFor();
      await h.closeSplash(page);
      await rowOf('db1').locator('.cell[data-column="3"]').click();
      await page.evaluate(() => document.querySelector('.menu-item[data-cmd="1412"]').click());
      const d = page.locator(`#modal-layer .dialog[aria-label="${l.title}"]`);
      await d.waitFor();
      await d.getByText(l.none).waitFor();
      const name = d.getByRole('textbox', { name: l.one });
      assert.equal(await name.inputValue(), 'db1');
      assert.equal(await d.getByRole('radio', { name: l.one }).isChecked(), true);
      assert.equal(await d.getByRole('radio', { name: l.once }).isChecked(), true);

      // An account that does not exist is refused with the language's message.
      await name.fill('nobody');
      await d.getByRole('button', { name: l.add, exact: true }).click();
      const box = page.locator('.dialog[role="alertdialog"]').last();
      assert.equal(await box.locator('.dialog-text').textContent(), l.unknown);
      await box.getByRole('button', { name: l.ok, exact: true }).click();
      assert.equal(fs.existsSync(file), false);

      // A one-off window around now for db1.
      const from = new Date(Date.now() - 3600e3);
      const to = new Date(Date.now() + 3600e3);
      await name.fill('db1');
      await d.locator('.maint-once').getByLabel(l.from).fill(inputStamp(from));
      await d.locator('.maint-once').getByLabel(l.to).fill(inputStamp(to));
      await d.getByRole('button', { name: l.add, exact: true }).click();
      const options = d.locator('.maint-list option');
      await h.waitFor(async () => (await options.count()) === 1);
      assert.match(
        await options.first().textContent(),
        new RegExp(`^db1: .*${l.now.replace(/[()]/g, '\\$&')}$`),
      );
      const onceLine = `once ${h.hexKey('db1')} ${fileStamp(from)} ${fileStamp(to)}`;
      assert.equal(fs.readFileSync(file, 'latin1'), `${onceLine}\n`);

      // The row in the window wears the lamp and the note; the other does not.
      await rowOf('db1').locator('img.maint-badge').waitFor();
      assert.equal(await rowOf('db1').locator('.alert-mark.maintenance').textContent(), l.mark);
      assert.equal(await rowOf('web1').locator('img.maint-badge').count(), 0);

      // A weekly window of every account, then removed again after the question.
      await d.getByRole('radio', { name: l.all }).check();
      assert.equal(await name.isDisabled(), true);
      await d.getByRole('radio', { name: l.weekly }).check();
      assert.equal(await d.locator('.maint-once').isVisible(), false);
      await d.locator('.maint-weekly').getByLabel(l.day).selectOption('3');
      await d.locator('.maint-weekly').getByLabel(l.from).fill('23:30');
      await d.locator('.maint-weekly').getByLabel(l.to).fill('01:15');
      await d.getByRole('button', { name: l.add, exact: true }).click();
      await h.waitFor(async () => (await options.count()) === 2);
      assert.equal(fs.readFileSync(file, 'latin1'), `${onceLine}\nweekly * 3 2330 0115\n`);
      if (l.name === 'en') {
        for (const [scheme, width] of [
          ['light', 1100],
          ['dark', 1100],
          ['light', 390],
        ]) {
          await page.emulateMedia({ colorScheme: scheme });
          await page.setViewportSize({ width, height: 780 });
          await h.screenshot(page, `maintenance-${scheme}-${width}`);
        }
        await page.emulateMedia({ colorScheme: 'light' });
        await page.setViewportSize({ width: 1100, height: 720 });
      }
      await d.locator('.maint-list').selectOption('weekly * 3 2330 0115');
      await d.getByRole('button', { name: l.remove, exact: true }).click();
      await page
        .locator('.dialog[role="alertdialog"]')
        .last()
        .getByRole('button', { name: l.yes, exact: true })
        .click();
      await h.waitFor(async () => (await options.count()) === 1);
      assert.equal(fs.readFileSync(file, 'latin1'), `${onceLine}\n`);

      // The last one removed: the file goes and the lamp with it.
      await d.locator('.maint-list').selectOption(onceLine);
      await d.getByRole('button', { name: l.remove, exact: true }).click();
      await page
        .locator('.dialog[role="alertdialog"]')
        .last()
        .getByRole('button', { name: l.yes, exact: true })
        .click();
      await d.getByText(l.none).waitFor();
      assert.equal(fs.existsSync(file), false);
      await h.waitFor(async () => (await rowOf('db1').locator('img.maint-badge').count()) === 0);
      await d.getByRole('button', { name: l.close, exact: true }).click();
      await d.waitFor({ state: 'detached' });
    } finally {
      await page.close();
      const end = await c.stop();
      assert.equal(end.code, 0, c.errors());
      assert.doesNotMatch(c.errors(), /Sanitizer/);
    }
  });
}
