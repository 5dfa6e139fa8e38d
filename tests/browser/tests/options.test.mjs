// The last commands of the menu in the browser: the language option (the page switches at
// once), View/Erase Logs (a day's log in the pane, deleting, crafted names refused), the
// export to a path on the console's machine, and imports with their progress.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import * as h from '../lib/console.mjs';

let dir;
let c;
let browser;
let page;

const ja = JSON.parse(fs.readFileSync(path.resolve('../../resources/messages/ja.json'), 'utf8'));

function dialog(title) {
  return page.locator(`#modal-layer .dialog[role="dialog"][aria-label="${title}"]`);
}

async function answerBox(buttonName) {
  const box = page.locator('.dialog[role="alertdialog"]').last();
  await box.waitFor();
  const text = await box.locator('.dialog-text').textContent();
  await box.getByRole('button', { name: buttonName, exact: true }).click();
  return text;
}

async function menuCommand(id) {
  const item = page.locator(`.menu-item[data-cmd="${id}"]`);
  await item.locator('xpath=../..').locator('.menu-title').dispatchEvent('mousedown');
  await item.click();
}

// Waits until `predicate` (run in the page) holds. (The page's CSP rules out the polling of
// waitForFunction, which evaluates strings.)
function until(predicate, arg) {
  return h.waitFor(() => page.evaluate(predicate, arg), 15000);
}

// An action sent the way the page sends it, with whatever name the caller likes.
function rawAct(body) {
  return page.evaluate(async (b) => {
    const response = await fetch('/api/act', {
      method: 'POST',
      headers: {
        'X-Varn-Token': sessionStorage.getItem('varnToken'),
        'Content-Type': 'application/json',
      },
      body: JSON.stringify(b),
    });
    return response.json();
  }, body);
}

function csvLine(name, host = '127.0.0.1') {
  const f = Array(51).fill('0');
  for (const i of [
    3, 4, 12, 13, 14, 19, 21, 22, 23, 24, 26, 28, 30, 32, 34, 36, 37, 38, 39, 40, 41, 45, 49,
  ])
    f[i - 1] = '';
  f[0] = name;
  f[1] = host;
  f[4] = '1';
  f[49] = '1';
  return `${f.join(',')}\r\n`;
}

before(async () => {
  dir = h.newProgramDir();
  h.applySetup(dir, {
    mailServer: '127.0.0.1',
    to: 'admin@localhost',
    interval: 0,
    accounts: [{ name: 'web server', host: '127.0.0.1', ping: true }],
  });
  c = await h.startConsole(dir, {
    agents: h.makeAgents(),
    env: { LANG: 'en_US.UTF-8', LC_ALL: '', LC_MESSAGES: '' },
  });
  browser = await h.launchBrowser();
  page = await h.openConsole(browser.context, c, 1);
});

after(async () => {
  await browser?.close();
  const end = await c?.stop();
  assert.equal(end.code, 0, c.errors());
  assert.doesNotMatch(c.errors(), /Sanitizer/);
});

test('no command of the menu says it comes later', async () => {
  const texts = [];
  for (const id of [1265, 1269, 1083, 1287]) {
    await menuCommand(id);
    const open = page.locator('#modal-layer .dialog').last();
    await open.waitFor();
    texts.push(await open.textContent());
    await page.keyboard.press('Escape');
    await open.waitFor({ state: 'detached' });
  }
  for (const text of texts) assert.doesNotMatch(text, /not part of this version|later/);
});

test('Option: Japanese applies to the whole page at once, and to dialogs opened later', async () => {
  await menuCommand(1287);
  const option = dialog('Option');
  await option.getByText('Select a language.').waitFor();
  assert.equal(await option.getByLabel('English').isChecked(), true);
  await option.getByLabel('Japanese').check();
  await option.getByRole('button', { name: 'OK', exact: true }).click();
  await until(() => document.documentElement.lang === 'ja');
  await until((text) => document.querySelector('.menu-title')?.textContent === text, ja.menuFile);
  assert.equal(await page.locator('#list-header').getByText(ja.col2, { exact: true }).count(), 1);
  assert.equal(await page.locator('#pane-head span').first().textContent(), ja.paneTime);
  assert.equal(await page.locator('#groups legend').textContent(), ja.scanGroups);
  await until(
    (text) => document.getElementById('status-rows').textContent === text,
    ja.accounts.replace('%d', '1'),
  );
  assert.equal(h.iniValue(dir, 'LANGUAGE'), '1');
  await h.screenshot(page, 'option-ja');

  await menuCommand(1287);
  const again = dialog(ja.titleOption);
  await again.waitFor();
  await again.getByLabel(ja.lblEnglish).check();
  await again.getByRole('button', { name: ja.ok, exact: true }).click();
  await until(() => document.documentElement.lang === 'en');
  assert.equal(await page.locator('.menu-title').first().textContent(), 'File');
  assert.equal(h.iniValue(dir, 'LANGUAGE'), '0');
});

test('View/Erase Logs: a day in the pane, the way back, Delete, crafted names refused', async () => {
  const pad = (s) => s.padEnd(65, ' ');
  fs.writeFileSync(
    path.join(dir, 'Log', '20200101.log'),
    `10001 2020/01/01  09:00am  ${pad('[Program Started]')} \r\n-0906 2020/01/01  09:01am  ${pad('old server')} Time out\r\n`,
    'latin1',
  );
  fs.writeFileSync(path.join(dir, 'Log', '.hidden.log'), 'x');
  await page.locator('#toolbar button[data-cmd="1083"]').click();
  const logs = dialog('View/Erase Logs');
  const list = logs.locator('select');
  await list.locator('option').first().waitFor({ state: 'attached' });
  const names = await list.locator('option').allTextContents();
  assert.ok(names.includes('20200101.log'), names.join());
  assert.ok(!names.includes('.hidden.log'));
  assert.equal(await list.inputValue(), names[0]);

  await list.selectOption('20200101.log');
  await logs.getByRole('button', { name: 'View', exact: true }).click();
  await page.locator('#pane-viewing').waitFor();
  assert.match(await page.locator('#pane-viewing-text').textContent(), /20200101\.log/);
  await page.locator('#pane .pane-row').filter({ hasText: 'old server' }).waitFor();
  const first = page.locator('#pane .pane-row').first();
  assert.deepEqual(await first.locator('span').allTextContents(), [
    '09:01am',
    'old server',
    'Time out',
  ]);
  assert.match(await first.getAttribute('class'), /failure/);
  await h.screenshot(page, 'log-view');

  // Names that are not in the listing are refused and delete nothing.
  for (const name of ['../Varnock.ini', 'Disp', '.hidden.log', '/etc/hostname', '20200101.log/']) {
    const answer = await rawAct({ action: 'log-delete', name });
    assert.equal(answer.ok, false, name);
    assert.equal((await rawAct({ action: 'log-view', name })).ok, false, name);
  }
  assert.ok(fs.existsSync(path.join(dir, 'Varnock.ini')));
  assert.ok(fs.existsSync(path.join(dir, 'Log', '.hidden.log')));

  await list.selectOption('20200101.log');
  await logs.getByRole('button', { name: 'Delete', exact: true }).click();
  assert.equal(await answerBox('No'), 'Would you like to delete the selected item?');
  assert.ok(fs.existsSync(path.join(dir, 'Log', '20200101.log')));
  await list.selectOption('20200101.log');
  await logs.getByRole('button', { name: 'Delete', exact: true }).click();
  await answerBox('Yes');
  await until(
    () =>
      ![...document.querySelectorAll('.logs-list option')].some((o) => o.value === '20200101.log'),
  );
  assert.ok(!fs.existsSync(path.join(dir, 'Log', '20200101.log')));
  assert.ok(
    fs.readdirSync(path.join(dir, 'Log')).some((n) => /^\d{8}\.log$/.test(n)),
    "today's log stays",
  );
  await logs.getByRole('button', { name: 'Close', exact: true }).click();

  await page.locator('#pane-today').click();
  await page.locator('#pane-viewing').waitFor({ state: 'hidden' });
  await page.locator('#pane .pane-row').filter({ hasText: '[Program Started]' }).first().waitFor();
});

test("Export writes the file on the console's machine, 0600, missing folders made, asks before replacing", async () => {
  await menuCommand(1269);
  const box = dialog('Select file(s) To Export');
  const input = box.getByLabel('File path:');
  assert.equal(await input.inputValue(), `${dir}/export.csv`);
  await input.fill('');
  await box.getByRole('button', { name: 'OK', exact: true }).click();
  assert.equal(await answerBox('OK'), 'File Path is blank. Please enter File Path.');
  // Inside the program directory only its own export.csv may be written.
  await input.fill(path.join(dir, 'exports', 'list.csv'));
  await box.getByRole('button', { name: 'OK', exact: true }).click();
  assert.match(
    await answerBox('OK'),
    /^Nothing was exported: the path lies inside the program directory/,
  );
  assert.ok(!fs.existsSync(path.join(dir, 'exports')));
  const target = path.join(h.newProgramDir(), 'exports', 'today', 'list.csv');
  await input.fill(target);
  await box.getByRole('button', { name: 'OK', exact: true }).click();
  assert.equal(
    await answerBox('OK'),
    `Export processing was successful.\nFile path is [${target}]`,
  );
  assert.equal(fs.statSync(target).mode & 0o777, 0o600);
  assert.match(fs.readFileSync(target, 'latin1'), /^web server,127\.0\.0\.1,/);

  // An existing file is replaced only after a Yes.
  fs.writeFileSync(target, 'kept');
  await menuCommand(1269);
  await input.fill(target);
  await box.getByRole('button', { name: 'OK', exact: true }).click();
  assert.equal(await answerBox('No'), `${target} exists. Replace it?`);
  assert.equal(fs.readFileSync(target, 'latin1'), 'kept');
  await box.getByRole('button', { name: 'OK', exact: true }).click();
  assert.equal(await answerBox('Yes'), `${target} exists. Replace it?`);
  assert.equal(
    await answerBox('OK'),
    `Export processing was successful.\nFile path is [${target}]`,
  );
  assert.match(fs.readFileSync(target, 'latin1'), /^web server,127\.0\.0\.1,/);
  assert.match(ja.msgExportReplace, /^%s .+置き換えますか/);
});

test('Import from a path: the list follows, rejected lines are counted', async () => {
  const file = path.join(dir, 'small.csv');
  fs.writeFileSync(file, csvLine('alpha') + csvLine('') + csvLine('beta'));
  await menuCommand(1265);
  const box = dialog('Select file(s) To Import');
  await box.getByLabel("Or a path on the console's machine:").fill(file);
  await box.getByRole('button', { name: 'OK', exact: true }).click();
  const text = await answerBox('OK');
  assert.match(text, /^Import processing was successful\./);
  assert.match(text, /1 lines were rejected; they are listed in .*uploadlog\/\d{8}\.log/);
  await until(() => document.getElementById('status-rows').textContent === '3 rows');
});

test('Import of 5,000 uploaded lines shows its progress while the page stays usable', async () => {
  let csv = csvLine(''); // one rejected line first
  for (let i = 0; i < 4999; i++) csv += csvLine(`bulk-${String(i).padStart(4, '0')}`);
  const file = path.join(h.newProgramDir(), 'bulk.csv');
  fs.writeFileSync(file, csv);
  await menuCommand(1265);
  const box = dialog('Select file(s) To Import');
  await box.locator('input[type=file]').setInputFiles(file);
  await box.getByRole('button', { name: 'OK', exact: true }).click();
  const progress = page.locator('.import-progress');
  await progress.waitFor();
  const done = async () => {
    const m = /^(\d+) of 5000 lines done, (\d+) rejected$/.exec(
      await progress.locator('.import-progress-text').textContent(),
    );
    assert.ok(m, 'progress text');
    return { done: Number(m[1]), rejected: Number(m[2]) };
  };
  const early = await h.waitFor(async () => {
    const p = await done();
    return p.done > 10 && p;
  }, 20000);
  assert.equal(early.rejected, 1);
  // The page answers meanwhile: a dialog opens and closes, and the progress goes on.
  await menuCommand(1153);
  await page.locator('#splash').waitFor();
  await page.locator('#splash').click();
  await page.locator('#splash').waitFor({ state: 'hidden' });
  const later = await h.waitFor(async () => {
    const p = await done();
    return p.done > early.done + 10 && p;
  }, 20000);
  assert.ok(later.done < 5000);
  assert.equal(await progress.locator('progress').getAttribute('max'), '5000');
  await h.screenshot(page, 'import-progress');
});
