// Secure page accounts through the HTTP Page Check dialog, in English and in Japanese: the
// https URL and the "Secure connection" group write the account's side file, the edit
// dialog shows the https URL again, Edit/Delete says HTTPS, and deleting removes the file.
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

function sideFile(dir, name) {
  return path.join(dir, 'AccountOptions', `${h.hexKey(name)}.ini`);
}

const LANGUAGES = [
  {
    lang: 'en_US.UTF-8',
    suffix: 'en',
    add: 'ADD HTTP ITEM',
    edit: 'Edit Item',
    list: 'Edit/Delete',
    name: 'Server Name:',
    url: 'Page URL: http://',
    secure: 'Use HTTPS',
    certDays: 'Fail when the certificate expires within:',
    addButton: 'Add',
    saveButton: 'Save',
    closeButton: 'Close',
    yes: 'Yes',
    ok: 'OK',
    range:
      'Certificate warning days are out of range. Please enter a number of days from 0 to 3650.',
  },
  {
    lang: 'ja_JP.UTF-8',
    suffix: 'ja',
    add: 'HTTP項目の追加',
    edit: '項目の編集',
    list: '編集/削除',
    name: 'サーバー名:',
    url: 'ページURL: http://',
    secure: 'HTTPSを使用',
    certDays: '証明書の有効期限までこの日数以内なら失敗:',
    addButton: '追加',
    saveButton: '保存',
    closeButton: '閉じる',
    yes: 'はい',
    ok: 'OK',
    range: '証明書の警告日数が範囲外です。0～3650の日数を入力してください。',
  },
];

for (const l of LANGUAGES) {
  test(`HTTPS page accounts through the dialog (${l.suffix})`, async () => {
    const dir = h.newProgramDir();
    h.applySetup(dir, {
      mailServer: '127.0.0.1',
      to: 'admin@localhost',
      interval: 0,
      accounts: [],
    });
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

      // A URL that names https:// and a port.
      await page.locator('#toolbar button[data-cmd="1091"]').click();
      const add = dialog(l.add);
      await add.waitFor();
      await h.screenshot(page, `add-http-secure-${l.suffix}`);
      await add.getByLabel(l.name).fill('secure one');
      await add.getByLabel(l.url).fill('https://127.0.0.1:8443/health');
      assert.equal(await add.getByLabel(l.secure).isChecked(), true);
      await add.getByRole('button', { name: l.addButton, exact: true }).click();
      await h.waitFor(async () => (await add.getByLabel(l.name).inputValue()) === '');
      const one = fs.readFileSync(sideFile(dir, 'secure one'), 'latin1');
      assert.match(one, /^\[ACCOUNT\]\n/);
      assert.match(one, /^SECURE=1$/m);
      assert.match(one, /^PORT=8443$/m);
      assert.equal(fs.statSync(sideFile(dir, 'secure one')).mode & 0o777, 0o600);
      const record = fs.readFileSync(path.join(dir, 'AllData', h.hexKey('secure one')));
      assert.equal(record.subarray(65, 65 + 10).toString('latin1'), '127.0.0.1\0');

      // The box instead of a scheme, and a refused then accepted warning time.
      await add.getByLabel(l.name).fill('secure two');
      await add.getByLabel(l.url).fill('127.0.0.1/status');
      await add.getByLabel(l.secure).check();
      await add.getByLabel(l.certDays).fill('4000');
      await add.getByRole('button', { name: l.addButton, exact: true }).click();
      const box = page.locator('.dialog[role="alertdialog"]').last();
      assert.equal(await box.locator('.dialog-text').textContent(), l.range);
      await box.getByRole('button', { name: l.ok, exact: true }).click();
      assert.equal(fs.existsSync(sideFile(dir, 'secure two')), false);
      await add.getByLabel(l.certDays).fill('30');
      await add.getByRole('button', { name: l.addButton, exact: true }).click();
      await h.waitFor(async () => (await add.getByLabel(l.name).inputValue()) === '');
      await add.getByRole('button', { name: l.closeButton, exact: true }).click();
      const two = fs.readFileSync(sideFile(dir, 'secure two'), 'latin1');
      assert.match(two, /^SECURE=1$/m);
      assert.match(two, /^CERTDAYS=30$/m);
      assert.doesNotMatch(two, /^PORT=/m);

      // Edit/Delete says HTTPS; the edit dialog shows the https URL again.
      await page.locator('#toolbar button[data-cmd="1081"]').click();
      const list = dialog(l.list);
      const row = list.locator('.ed-row', { hasText: 'secure one' });
      await row.waitFor();
      assert.match(await row.textContent(), /HTTPS Page Check/);
      await row.dblclick();
      const edit = dialog(l.edit);
      await edit.waitFor();
      assert.equal(await edit.getByLabel(l.url).inputValue(), 'https://127.0.0.1:8443/health');
      await page.emulateMedia({ colorScheme: 'dark' });
      await h.screenshot(page, `edit-http-secure-dark-${l.suffix}`);
      await page.setViewportSize({ width: 390, height: 844 });
      await h.screenshot(page, `edit-http-secure-390-${l.suffix}`);
      await page.emulateMedia({ colorScheme: 'light' });
      await edit.getByRole('button', { name: l.saveButton, exact: true }).click();
      await edit.waitFor({ state: 'detached' });
      assert.equal(fs.readFileSync(sideFile(dir, 'secure one'), 'latin1'), one);

      // Deleting the account removes its side file.
      await list.locator('.ed-row', { hasText: 'secure one' }).click();
      await list.locator('.ed-list').press('Delete');
      const question = page.locator('.dialog[role="alertdialog"]').last();
      await question.getByRole('button', { name: l.yes, exact: true }).click();
      await h.waitFor(async () => !fs.existsSync(sideFile(dir, 'secure one')));
      await list.getByRole('button', { name: l.closeButton, exact: true }).click();
    } finally {
      await page.close();
      const end = await c.stop();
      assert.equal(end.code, 0, c.errors());
      assert.doesNotMatch(c.errors(), /Sanitizer/);
    }
  });
}
