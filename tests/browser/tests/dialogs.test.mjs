// The account dialogs, Edit/Delete and Setup in the browser, from an empty program
// directory: Setup first, then accounts added, refused, edited and deleted through the
// forms, wave uploads, and no password ever reaching the page.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import * as h from '../lib/console.mjs';

const CANARY = 'Cn4ry-Pw9';
let dir;
let c;
let browser;
let page;
const bodies = [];

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

before(async () => {
  dir = h.newProgramDir();
  c = await h.startConsole(dir, {
    agents: h.makeAgents(),
    env: { LANG: 'en_US.UTF-8', LC_ALL: '', LC_MESSAGES: '' },
  });
  browser = await h.launchBrowser();
  page = await browser.context.newPage();
  page.on('response', async (response) => {
    try {
      bodies.push(`${response.url()}\n${await response.text()}`);
    } catch {
      // bodies of aborted requests are not readable
    }
  });
  await page.goto(c.address);
});

after(async () => {
  await browser?.close();
  const end = await c?.stop();
  assert.equal(end.code, 0, c.errors());
  assert.doesNotMatch(c.errors(), /Sanitizer/);
});

test('Setup from an empty directory: refusals in order, then the commands that need mail', async () => {
  assert.match(await answerBox('OK'), /Thank you for purchasing/);
  const setup = dialog('Setup');
  await setup.waitFor();
  assert.equal(await page.locator('#toolbar button[data-cmd="1076"]').isDisabled(), true);
  // A first setup shows every log option on with "All".
  for (const label of ['PING On', 'HTTP On', 'Email On', 'FTP On', 'Port On']) {
    assert.equal(await setup.getByLabel(label, { exact: true }).isChecked(), true, label);
  }
  await h.screenshot(page, 'setup-en');
  const ok = setup.getByRole('button', { name: 'OK', exact: true });
  await ok.click();
  assert.equal(await answerBox('OK'), 'Primary SMTP is blank. Please enter SMTP.');
  await setup.getByLabel('Outgoing mail [SMTP]:', { exact: true }).fill('mailhost');
  await setup.getByLabel('From Address:').fill('varnock@example.org');
  await setup.getByLabel('To Address:').fill('ops@example.org\nlead@example.org');
  await ok.click();
  assert.equal(await answerBox('OK'), 'Primary SMTP is incorrect. Please enter correct SMTP.');
  await setup.getByLabel('Outgoing mail [SMTP]:', { exact: true }).fill('mail.example.org');
  await setup.getByLabel('This SMTP Requires Authentication', { exact: true }).check();
  await setup.getByLabel('ID:', { exact: true }).fill('alerts');
  await ok.click();
  assert.equal(await answerBox('OK'), 'Primary SMTP User Password is blank.');
  // Every typed value is still there.
  assert.equal(
    await setup.getByLabel('To Address:').inputValue(),
    'ops@example.org\nlead@example.org',
  );
  await setup.getByLabel('Password:', { exact: true }).fill(CANARY);
  await setup.getByLabel('PING', { exact: true }).selectOption({ label: '10' });
  await ok.click();
  await setup.waitFor({ state: 'detached' });
  await h.waitFor(
    async () => !(await page.locator('#toolbar button[data-cmd="1076"]').isDisabled()),
  );
  const alert = fs.readFileSync(path.join(dir, 'Setting', 'Alert.dat'));
  assert.equal(alert.subarray(0, 16).toString('latin1'), 'mail.example.org');
  assert.equal(alert.readUInt32LE(456), 1008);
  assert.equal(fs.statSync(path.join(dir, 'Setting', 'Alert2.dat')).mode & 0o777, 0o600);
  const auth = fs.readFileSync(path.join(dir, 'Setting', 'Alert2.dat'));
  assert.equal(auth.subarray(66, 66 + CANARY.length).toString('latin1'), CANARY);
  assert.equal(fs.readFileSync(path.join(dir, 'Setting', 'Scan.dat')).readUInt16LE(0), 10);
  // Multi-line texts are stored with CR LF; the default templates are stored whole.
  const text = alert.toString('latin1');
  assert.equal(text.slice(1008, 1008 + 33), 'ops@example.org\r\nlead@example.org');
  assert.ok(
    text.includes('Server Down\r\nServer: %S, Domain/IP: %I, Scan Type: %C, Time: %T, Error: %E\0'),
  );
  for (const f of ['messagealert.dat', 'onlinealert.dat'])
    assert.ok(fs.existsSync(path.join(dir, 'temp', f)), f);
});

test('Setup again: the stored password stays untouched and only shows as stored', async () => {
  await page.locator('.menu-title', { hasText: 'File' }).click();
  await page.locator('.menu-item[data-cmd="1149"]').click();
  const setup = dialog('Setup');
  await setup.waitFor();
  const pw = setup.getByLabel('Password:', { exact: true });
  assert.equal(await pw.inputValue(), '');
  assert.equal(await pw.getAttribute('placeholder'), '(a password is stored)');
  // Browse uploads the chosen file into Wave; a file that is no wave is refused.
  await setup.getByLabel('Sound Local Alarm').check();
  await setup.getByLabel('Use .wav File').check();
  const chooser = setup.locator('input[type="file"]');
  await chooser.setInputFiles({
    name: 'notes.wav',
    mimeType: 'audio/wav',
    buffer: Buffer.from('plain text'),
  });
  assert.equal(await answerBox('OK'), 'The file is not a wave file (RIFF/WAVE).');
  assert.equal(await setup.getByLabel('Sound File:').inputValue(), '');
  await setup.getByRole('button', { name: 'OK', exact: true }).click();
  assert.equal(await answerBox('OK'), 'Sound File is blank');
  const wave = Buffer.concat([
    Buffer.from('RIFF'),
    Buffer.alloc(4),
    Buffer.from('WAVEfmt '),
    Buffer.alloc(32),
  ]);
  await chooser.setInputFiles({ name: 'siren.wav', mimeType: 'audio/wav', buffer: wave });
  await h.waitFor(async () => (await setup.getByLabel('Sound File:').inputValue()) === 'siren.wav');
  await setup.getByRole('button', { name: 'OK', exact: true }).click();
  await setup.waitFor({ state: 'detached' });
  assert.deepEqual(fs.readdirSync(path.join(dir, 'Wave')), ['siren.wav']);
  const auth = fs.readFileSync(path.join(dir, 'Setting', 'Alert2.dat'));
  assert.equal(auth.subarray(66, 66 + CANARY.length).toString('latin1'), CANARY);
});

test('a wave upload with a bad name or a body that is no wave file is refused', async () => {
  const post = (name, body) =>
    page.request.post(`${c.origin}/api/upload?kind=wave&name=${encodeURIComponent(name)}`, {
      headers: { 'X-Varn-Token': c.token, 'Content-Type': 'application/octet-stream' },
      data: body,
    });
  const wave = Buffer.concat([
    Buffer.from('RIFF'),
    Buffer.alloc(4),
    Buffer.from('WAVEfmt '),
    Buffer.alloc(32),
  ]);
  for (const [name, body, message] of [
    ['../evil.wav', wave, /file name cannot be used/],
    ['.hidden.wav', wave, /file name cannot be used/],
    ['a\\b.wav', wave, /file name cannot be used/],
    ['notes.wav', Buffer.from('just some text, not a sound'), /not a wave file/],
  ]) {
    const answer = await (await post(name, body)).json();
    assert.equal(answer.ok, false, name);
    assert.match(answer.message, message, name);
  }
  assert.deepEqual(fs.readdirSync(path.join(dir, 'Wave')), ['siren.wav']);
  const good = await (await post('alarm.wav', wave)).json();
  assert.deepEqual(good, { ok: true, name: 'alarm.wav' });
  assert.deepEqual(fs.readFileSync(path.join(dir, 'Wave', 'alarm.wav')), wave);
});

test('add a server account through the form; a refused form keeps every value', async () => {
  await page.locator('#toolbar button[data-cmd="1076"]').click();
  const add = dialog('ADD PORT ITEM');
  await add.waitFor();
  await h.screenshot(page, 'add-server-en');
  await add.getByLabel('Server Name:').fill('web one');
  await add.getByLabel('Domain or IP:').fill('127.0.0.1');
  await add.getByLabel('HTTP (Port80)').check();
  await add.getByLabel('Additional Emails', { exact: true }).check();
  await add.getByLabel('Additional email addresses').fill('a..b@example.org');
  await add.getByRole('button', { name: 'Add', exact: true }).click();
  assert.equal(
    await answerBox('OK'),
    'Additional Email address is incorrect. Please enter correct Additional Email Address.',
  );
  assert.equal(await add.getByLabel('Server Name:').inputValue(), 'web one');
  assert.equal(await add.getByLabel('Domain or IP:').inputValue(), '127.0.0.1');
  assert.equal(await add.getByLabel('HTTP (Port80)').isChecked(), true);
  assert.equal(fs.readdirSync(path.join(dir, 'AllData')).length, 0, 'nothing written');
  await add.getByLabel('Additional email addresses').fill('Ops <ops@example.org>, b@example.org');
  // Custom ports through the sub-dialog, with its own checks.
  await add.getByLabel('Custom Port').check();
  await add.getByRole('button', { name: 'Setting', exact: true }).click();
  const custom = dialog('Custom Port Settings');
  await custom.getByLabel('Service Name 1:').fill('ssh');
  await custom.getByLabel('Port 1:').fill('22');
  await custom.getByLabel('Service Name 5:').fill('alt');
  await custom.getByLabel('Port 5:').fill('22');
  await h.screenshot(page, 'custom-en');
  await custom.getByRole('button', { name: 'OK', exact: true }).click();
  assert.equal(await answerBox('OK'), 'Port number is duplicated. Please check again.');
  await custom.getByLabel('Port 5:').fill('2222');
  await custom.getByRole('button', { name: 'OK', exact: true }).click();
  await custom.waitFor({ state: 'detached' });
  await add.getByRole('button', { name: 'Add', exact: true }).click();
  // The dialog stays open with a new form: PING ticked, the rest cleared.
  await h.waitFor(async () => (await add.getByLabel('Server Name:').inputValue()) === '');
  assert.equal(await add.getByLabel('PING').isChecked(), true);
  assert.equal(await add.getByLabel('HTTP (Port80)').isChecked(), false);
  assert.equal(await add.getByLabel('Additional email addresses').isDisabled(), true);
  // The same name again is refused before anything else.
  await add.getByLabel('Server Name:').fill('web one');
  await add.getByRole('button', { name: 'Add', exact: true }).click();
  assert.equal(await answerBox('OK'), 'Specified Server Name already exists.');
  await add.getByRole('button', { name: 'Close', exact: true }).click();
  const key = h.hexKey('web one');
  const record = fs.readFileSync(path.join(dir, 'AllData', key));
  assert.equal(record[454], 1, 'HTTP port check');
  assert.equal(record.readUInt32LE(1744 + 16), 2222);
  assert.equal(fs.statSync(path.join(dir, 'AllData', key)).mode & 0o777, 0o600);
  for (const folder of ['PINGData', 'HTTPData', 'CustData'])
    assert.ok(fs.existsSync(path.join(dir, folder, key)), folder);
  assert.match(
    h.displayLog(dir),
    new RegExp(`10007 .* ${Buffer.from('[Account Created]').toString('hex')}\\s+web one\\r\\n`),
  );
  await page.locator('#list .list-row').nth(3).waitFor(); // PING, HTTP and two custom rows
});

test('edit the account from a row double-click: the row changes', async () => {
  const row = page.locator('#list .list-row', { hasText: 'web one' }).first();
  await row.locator('.cell[data-column="3"]').dblclick();
  const edit = dialog('Edit Item');
  await edit.waitFor();
  assert.equal(await edit.getByLabel('Server Name:').inputValue(), 'web one');
  await edit.getByLabel('Domain or IP:').fill('127.0.0.2');
  await edit.getByRole('button', { name: 'Save', exact: true }).click();
  await edit.waitFor({ state: 'detached' });
  await h.waitFor(
    async () =>
      (await page
        .locator('#list .list-row .cell[data-column="3"]', { hasText: '127.0.0.2' })
        .count()) === 4,
  );
  const log = h.displayLog(dir);
  assert.match(log, /10009 .*\r\n10008 /);
});

test('add an e-mail account; its passwords never come back to the page', async () => {
  await page.locator('#toolbar button[data-cmd="1077"]').click();
  const add = dialog('ADD EMAIL ITEM');
  await add.getByLabel('Server Name:').fill('mail rt');
  await add.getByLabel('SMTP Server (Domain or IP):').fill('127.0.0.1');
  await add.getByLabel('POP Server Domain or IP:').fill('127.0.0.1');
  await add.getByLabel('Send test mail to:').fill('rt@example.org');
  await add.getByLabel('POP ID:').fill('rt');
  await add.getByRole('button', { name: 'Add', exact: true }).click();
  assert.equal(
    await answerBox('OK'),
    'POP User Password is blank. Please enter POP User Password.',
  );
  await add.getByLabel('POP Password:', { exact: true }).fill(CANARY);
  await h.screenshot(page, 'add-email-en');
  await add.getByRole('button', { name: 'Add', exact: true }).click();
  await h.waitFor(async () => (await add.getByLabel('Server Name:').inputValue()) === '');
  await add.getByRole('button', { name: 'Close', exact: true }).click();
  // Edit it: the password shows as stored and stays when untouched.
  await page.locator('#toolbar button[data-cmd="1081"]').click();
  const list = dialog('Edit/Delete');
  await list.locator('.ed-row', { hasText: 'mail rt' }).dblclick();
  const edit = dialog('Edit Item');
  await edit.waitFor();
  assert.equal(
    await edit.getByLabel('POP Password:', { exact: true }).getAttribute('placeholder'),
    '(a password is stored)',
  );
  await edit.getByRole('button', { name: 'Save', exact: true }).click();
  await edit.waitFor({ state: 'detached' });
  const record = fs.readFileSync(path.join(dir, 'AllData', h.hexKey('mail rt')));
  assert.equal(record.subarray(1398, 1398 + CANARY.length).toString('latin1'), CANARY);
  await list.getByRole('button', { name: 'Close', exact: true }).click();
  assert.ok(bodies.length > 20);
  for (const body of bodies)
    assert.ok(!body.includes(CANARY), `a response held the password: ${body.slice(0, 200)}`);
});

test('HTTP Page Check and FTP Transfer accounts through their forms', async () => {
  await page.locator('#toolbar button[data-cmd="1091"]').click();
  const http = dialog('ADD HTTP ITEM');
  assert.equal(await http.getByLabel('Time Out:').inputValue(), '120');
  await http.getByLabel('Server Name:').fill('docs');
  await http.getByLabel('Page URL: http://').fill('127.0.0.1:8080\\docs/index.html');
  await http.getByLabel('Scan links in the downloaded page').check();
  // A sign is not dropped by the page: the console refuses the number as typed.
  await http.getByLabel('Time Out:').fill('-5');
  await http.getByRole('button', { name: 'Add', exact: true }).click();
  assert.equal(
    await answerBox('OK'),
    'Time Out is out of range. Please enter a number of seconds from 0 to 32767.',
  );
  assert.equal(fs.existsSync(path.join(dir, 'AllData', h.hexKey('docs'))), false);
  await http.getByLabel('Time Out:').fill('120');
  await http.getByRole('button', { name: 'Add', exact: true }).click();
  await h.waitFor(async () => (await http.getByLabel('Server Name:').inputValue()) === '');
  await http.getByRole('button', { name: 'Close', exact: true }).click();
  const page1 = fs.readFileSync(path.join(dir, 'AllData', h.hexKey('docs')));
  assert.equal(page1.subarray(65, 65 + 14).toString('latin1'), '127.0.0.1:8080');
  assert.equal(page1.subarray(195, 195 + 16).toString('latin1'), '/docs/index.html');
  assert.deepEqual([page1[464], page1[465], page1.readUInt16LE(456), page1[1805]], [1, 1, 120, 1]);

  await page.locator('#toolbar button[data-cmd="1065"]').click();
  const ftp = dialog('ADD FTP ITEM');
  await ftp.getByLabel('Server Name:').fill('drop');
  await ftp.getByLabel('Domain or IP:').fill('127.0.0.1');
  await ftp.getByRole('button', { name: 'Add', exact: true }).click();
  assert.equal(await answerBox('OK'), 'FTP User is blank. Please enter FTP User.');
  await ftp.getByLabel('FTP Account:').fill('up');
  await ftp.getByLabel('Password:', { exact: true }).fill(CANARY);
  await ftp.getByLabel('Destination Directory:').fill('/incoming');
  await ftp.getByRole('button', { name: 'Add', exact: true }).click();
  await h.waitFor(async () => (await ftp.getByLabel('Server Name:').inputValue()) === '');
  await ftp.getByRole('button', { name: 'Close', exact: true }).click();
  const drop = fs.readFileSync(path.join(dir, 'AllData', h.hexKey('drop')));
  assert.equal(drop.subarray(997, 999).toString('latin1'), 'up');
  assert.equal(drop.subarray(1062, 1062 + CANARY.length).toString('latin1'), CANARY);
  assert.equal(drop.subarray(737, 746).toString('latin1'), '/incoming');
  assert.deepEqual([drop[476], drop[1805]], [1, 2]);
  for (const name of ['docs', 'drop']) {
    await page.locator('#toolbar button[data-cmd="1081"]').click();
    const list = dialog('Edit/Delete');
    await list.locator('.ed-row', { hasText: name }).click();
    await list.locator('.ed-list').press('Delete');
    await answerBox('Yes');
    await h.waitFor(async () => (await list.locator('.ed-row', { hasText: name }).count()) === 0);
    await list.getByRole('button', { name: 'Close', exact: true }).click();
  }
  for (const body of bodies) assert.ok(!body.includes(CANARY), 'a response held the password');
});

test('Edit/Delete: keyboard, the question, and the selection after a delete', async () => {
  await page.locator('#toolbar button[data-cmd="1081"]').click();
  const list = dialog('Edit/Delete');
  await list.locator('.ed-row').nth(1).waitFor();
  assert.deepEqual(await list.locator('.ed-row span:nth-child(3)').allTextContents(), [
    'Email Send/Receive',
    'PING,HTTP,CUSTOM',
  ]);
  await h.screenshot(page, 'edit-delete-en');
  await list.locator('.ed-list').press('ArrowDown');
  assert.match(await list.locator('.ed-row.selected').textContent(), /web one/);
  await list.locator('.ed-list').press('Delete');
  assert.equal(await answerBox('No'), 'Would you like to delete the selected item?');
  assert.ok(fs.existsSync(path.join(dir, 'AllData', h.hexKey('web one'))));
  await list.locator('.ed-list').press('Delete');
  await answerBox('Yes');
  await h.waitFor(async () => (await list.locator('.ed-row').count()) === 1);
  assert.match(await list.locator('.ed-row.selected').textContent(), /mail rt/);
  assert.equal(fs.existsSync(path.join(dir, 'AllData', h.hexKey('web one'))), false);
  for (const folder of ['PINGData', 'HTTPData', 'CustData'])
    assert.equal(fs.existsSync(path.join(dir, folder, h.hexKey('web one'))), false);
  await list.getByRole('button', { name: 'Close', exact: true }).click();
  await h.waitFor(async () => (await page.locator('#list .list-row').count()) === 1);
});

test('modals: one of a kind, Escape closes only the top one, Tab stays inside, the opener gets the focus back', async () => {
  const layer = page.locator('#modal-layer > .dialog');
  const focused = () =>
    page.evaluate(() => {
      const a = document.activeElement;
      return `${a.closest('.dialog')?.getAttribute('aria-label') ?? ''}|${a.id.replace(/^f\d+-/, '') || a.textContent}`;
    });
  // The layer covers the menu: a second request comes from the page's code, at once after
  // the first (while the first still asks the console) and again once it shows.
  const twice = (first, second) =>
    page.evaluate(
      ([a, b]) => {
        for (const id of [a, b]) document.querySelector(`.menu-item[data-cmd="${id}"]`).click();
      },
      [first, second],
    );
  for (const [first, second, title] of [
    [1076, 1091, 'ADD PORT ITEM'],
    [1149, 1149, 'Setup'],
    [1081, 1081, 'Edit/Delete'],
    [1083, 1083, 'View/Erase Logs'],
    [1287, 1287, 'Option'],
    [1269, 1265, 'Select file(s) To Export'],
    [1265, 1269, 'Select file(s) To Import'],
  ]) {
    await twice(first, second);
    await dialog(title).waitFor();
    await twice(second, second);
    await new Promise((r) => setTimeout(r, 400));
    assert.equal(await layer.count(), 1, title);
    await page.keyboard.press('Escape');
    await h.waitFor(async () => (await layer.count()) === 0, 5000);
  }

  const tool = page.locator('#toolbar button[data-cmd="1076"]');
  await tool.click();
  const add = dialog('ADD PORT ITEM');
  await add.waitFor();
  assert.equal(await focused(), 'ADD PORT ITEM|name');
  // A refusal's message box over the dialog: Escape takes the box only, and the button
  // that asked has the focus again.
  await add.getByRole('button', { name: 'Add', exact: true }).click();
  await page.locator('.dialog[role="alertdialog"]').waitFor();
  assert.equal(await layer.count(), 2);
  await page.keyboard.press('Escape');
  await page.locator('.dialog[role="alertdialog"]').waitFor({ state: 'detached' });
  assert.equal(await layer.count(), 1);
  assert.equal(await focused(), 'ADD PORT ITEM|Add');
  // Tab from the last button comes round to the first field, Shift+Tab back.
  await add.getByRole('button', { name: 'Close', exact: true }).focus();
  await page.keyboard.press('Tab');
  assert.equal(await focused(), 'ADD PORT ITEM|name');
  await page.keyboard.press('Shift+Tab');
  assert.equal(await focused(), 'ADD PORT ITEM|Close');
  // A sub-dialog over the dialog: Escape closes the sub-dialog, then the dialog.
  await add.getByLabel('Custom Port').check();
  await add.getByRole('button', { name: 'Setting', exact: true }).click();
  await dialog('Custom Port Settings').waitFor();
  assert.equal(await focused(), 'Custom Port Settings|name0');
  await page.keyboard.press('Escape');
  await dialog('Custom Port Settings').waitFor({ state: 'detached' });
  assert.equal(await focused(), 'ADD PORT ITEM|customSetting');
  // (The pointer leaves the pane's place first: the pane takes the focus when it comes under it.)
  await page.mouse.move(2, 715);
  await page.keyboard.press('Escape');
  await add.waitFor({ state: 'detached' });
  assert.equal(await tool.evaluate((el) => el === document.activeElement), true);
});

test('the dialogs in Japanese', async () => {
  const jdir = h.newProgramDir();
  h.applySetup(jdir, {
    mailServer: '127.0.0.1',
    to: 'admin@localhost',
    interval: 0,
    accounts: [{ name: 'lima', host: '127.0.0.1', ping: true }],
  });
  const jc = await h.startConsole(jdir, {
    agents: h.makeAgents(),
    env: { LANG: 'ja_JP.UTF-8', LC_ALL: '', LC_MESSAGES: '' },
  });
  const jpage = await browser.context.newPage();
  try {
    await jpage.goto(jc.address);
    await jpage.locator('#window:not([hidden])').waitFor();
    if (await jpage.locator('#splash').isVisible()) await jpage.locator('#splash').click();
    const shots = [
      [1076, 'ポート項目の追加', 'add-server-ja'],
      [1091, 'HTTP項目の追加', 'add-http-ja'],
      [1065, 'FTP項目の追加', 'add-ftp-ja'],
      [1077, 'EMAIL項目の追加', 'add-email-ja'],
    ];
    for (const [cmd, title, shot] of shots) {
      await jpage.locator(`#toolbar button[data-cmd="${cmd}"]`).click();
      const d = jpage.locator(`.dialog[aria-label="${title}"]`);
      await d.waitFor();
      await d.getByRole('button', { name: '追加', exact: true }).click();
      const box = jpage.locator('.dialog[role="alertdialog"]');
      assert.equal(
        await box.locator('.dialog-text').textContent(),
        'サーバー名が空白です。サーバー名を入力してください。',
      );
      await box.getByRole('button').click();
      await h.screenshot(jpage, shot);
      await d.getByRole('button', { name: '閉じる', exact: true }).click();
    }
    await jpage.locator('.menu-title', { hasText: 'ファイル' }).click();
    await jpage.locator('.menu-item[data-cmd="1149"]').click();
    const setup = jpage.locator('.dialog[aria-label="設定"]');
    await setup.waitFor();
    await h.screenshot(jpage, 'setup-ja');
    await setup.getByRole('button', { name: '通知メッセージの設定' }).click();
    const editor = jpage.locator('.dialog[aria-label="全体通知メッセージ"]');
    assert.equal(await editor.getByLabel('ダウン時の件名:').inputValue(), 'Server Down: %S');
    await h.screenshot(jpage, 'global-notification-ja');
    await editor.getByRole('button', { name: 'キャンセル' }).click();
    await setup.getByRole('button', { name: 'キャンセル' }).click();
    await jpage.locator('#toolbar button[data-cmd="1081"]').click();
    await jpage.locator('.dialog[aria-label="編集/削除"] .ed-row').first().waitFor();
    await h.screenshot(jpage, 'edit-delete-ja');
  } finally {
    await jpage.close();
    await jc.stop();
  }
});
