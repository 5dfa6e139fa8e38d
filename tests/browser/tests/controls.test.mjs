// The main window's controls: group boxes, Run Scan Now, pause, the alarm, the activity
// pane, and the end of the console.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import * as h from '../lib/console.mjs';

let dir;
let agents;
let c;
let browser;
let page;

before(async () => {
  dir = h.newProgramDir();
  h.applySetup(dir, {
    mailServer: '127.0.0.1',
    to: 'admin@localhost',
    interval: 0,
    sound: 1,
    accounts: [
      { name: 'gamma', host: '127.0.0.1', ping: true },
      { name: 'echo', host: '127.0.0.1', smtp: true },
    ],
  });
  agents = h.makeAgents();
  c = await h.startConsole(dir, { agents });
  browser = await h.launchBrowser();
  page = await h.openConsole(browser.context, c, 2);
});

after(async () => {
  await browser?.close();
  await c?.stop();
});

const paneTop = () => page.locator('#pane .pane-row').first().locator('span').allTextContents();

test('the activity pane follows an appended line within a second or so', async () => {
  const started = Date.now();
  await h.appendDisplayLine(dir, '-0906', 'gamma', 'Request timed out');
  await h.waitFor(async () => (await paneTop())[2] === 'Request timed out', 5000, 50);
  const took = Date.now() - started;
  assert.ok(took < 3000, `the pane needed ${took} ms`);
  assert.equal((await paneTop())[1], 'gamma');
  assert.match(await page.locator('#pane .pane-row').first().getAttribute('class'), /failure/);
  // Double-click on the top row shows the newest entry, titled with its decoded name.
  await page.locator('#pane .pane-row').first().dblclick();
  const popup = page.locator('.popup').last();
  await popup.waitFor();
  assert.equal(await popup.locator('.dialog-title span').first().textContent(), 'gamma');
  assert.match(
    await popup.locator('textarea').inputValue(),
    /^ \d{4}\/\d\d\/\d\d\r?\n \d\d:\d\d[ap]m\r?\n\r?\n Request timed out/,
  );
  await h.screenshot(page, 'pane-popup');
  await popup.locator('.dialog-title button').click();
});

test('group check boxes flip their switch and write their log lines', async () => {
  await page.locator('.group[data-group="PING"] input').click();
  await h.waitFor(() =>
    /^10004 .*\[Scan PING checked\]\s+PING Item Disabled\.\r$/m.test(h.fullLog(dir)),
  );
  await h.waitFor(async () => !(await page.locator('.group[data-group="ALL"] input').isChecked()));
  await page.locator('.group[data-group="ALL"] input').click();
  await h.waitFor(() => /\[Scan ALL checked\]\s+All Item Enabled\./.test(h.fullLog(dir)));
  await h.waitFor(async () => page.locator('.group[data-group="PING"] input').isChecked());
  await page.locator('.group[data-group="ALL"] input').click();
  await h.waitFor(() => /\[Scan ALL checked\]\s+All Item Disabled\./.test(h.fullLog(dir)));
  await page.locator('.group[data-group="ALL"] input').click();
  await h.waitFor(() => (h.fullLog(dir).match(/All Item Enabled\./g) ?? []).length === 2);
});

test('Run Scan Now starts every agent with the program directory and 1', async () => {
  const before = h.startedAgents(agents).length;
  await page.locator('#toolbar button[data-cmd="1071"]').click();
  await h.waitFor(() => h.startedAgents(agents).length >= before + 9);
  const lines = h.startedAgents(agents).slice(before);
  // Each agent is a process of its own and writes its line when it runs, so the lines come in
  // any order; the order of the launches is the scheduler's tests' business.
  assert.deepEqual(lines.map((l) => l.split(' ')[0]).sort(), [
    'AnyPortSentry',
    'EchoSentry',
    'FilePortSentry',
    'MailInSentry',
    'MailOutSentry',
    'PageSentry',
    'RoundTripSentry',
    'WebPortSentry',
    'XferSentry',
  ]);
  for (const line of lines) assert.equal(line.slice(line.indexOf(' ') + 1), `${dir} 1`);
  await h.waitFor(() => /\[Run Scan Now clicked\]\s+Scan Started/.test(h.fullLog(dir)));
});

test('a confirmed failure sounds the alarm visibly; pause stops launches and silences it', async () => {
  const buttonHeights = () =>
    page
      .locator('#btn-scan, #btn-sound')
      .evaluateAll((buttons) => buttons.map((b) => b.getBoundingClientRect().height));
  const calmHeights = await buttonHeights();
  const down = Buffer.alloc(20);
  down.writeUInt32LE(1, 16);
  fs.writeFileSync(path.join(dir, 'portSMTPPara.dat'), down);
  await h.waitFor(async () => /ALARM/.test(await page.title()), 5000);
  await h.waitFor(async () =>
    (await page.locator('.group[data-group="PORT"] img').getAttribute('src')).includes('red'),
  );
  const state1 = await (
    await page.request.get(`${c.origin}/api/state`, { headers: { 'X-Varn-Token': c.token } })
  ).json();
  await new Promise((r) => setTimeout(r, 2200));
  const state2 = await (
    await page.request.get(`${c.origin}/api/state`, { headers: { 'X-Varn-Token': c.token } })
  ).json();
  assert.ok(state2.alarm.count >= state1.alarm.count + 1, 'the alarm repeats every second');
  await h.screenshot(page, 'alarm');
  // The banner never wraps the activity buttons, also on a narrow desktop window.
  const size = page.viewportSize();
  for (const width of [size.width, 760]) {
    await page.setViewportSize({ width, height: size.height });
    assert.ok(await page.locator('#status-note.alarm-note').isVisible(), `banner at ${width} px`);
    assert.deepEqual(await buttonHeights(), calmHeights, `button heights at ${width} px`);
  }
  await page.setViewportSize(size);

  await page.locator('#btn-scan').click();
  await h.waitFor(() => /Scan Pause Clicked\s+Scan Disabled\./.test(h.fullLog(dir)));
  await h.waitFor(async () => !/ALARM/.test(await page.title()));
  const paused = await (
    await page.request.get(`${c.origin}/api/state`, { headers: { 'X-Varn-Token': c.token } })
  ).json();
  assert.equal(paused.paused, true);
  assert.equal(paused.alarm.active, false);
  await new Promise((r) => setTimeout(r, 1500));
  const still = await (
    await page.request.get(`${c.origin}/api/state`, { headers: { 'X-Varn-Token': c.token } })
  ).json();
  assert.equal(still.alarm.count, paused.alarm.count, 'no alarm while paused');
  const before = h.startedAgents(agents).length;
  await page.locator('#toolbar button[data-cmd="1071"]').click();
  await new Promise((r) => setTimeout(r, 1000));
  assert.equal(h.startedAgents(agents).length, before, 'no agent starts while paused');
  await page.locator('#btn-scan').click();
  await h.waitFor(() => /Scan Start Clicked\s+Scan Enabled\./.test(h.fullLog(dir)));

  await page.locator('#btn-sound').click();
  await h.waitFor(() => /Sound Pause Clicked\s+Sound Disabled\./.test(h.fullLog(dir)));
  await h.waitFor(async () => !/ALARM/.test(await page.title()));
  await page.locator('#btn-sound').click();
  await h.waitFor(() => /Sound Start Clicked\s+Sound Enabled\./.test(h.fullLog(dir)));
  fs.rmSync(path.join(dir, 'portSMTPPara.dat'));
});

test('menu Exit asks, and Yes ends the console with its exit writes', async () => {
  await page.locator('.menu-title', { hasText: 'File' }).dispatchEvent('mousedown');
  await page.locator('.menu-item[data-cmd="1017"]').click();
  const box = page.locator('.dialog[role="alertdialog"]');
  await box.waitFor();
  assert.match(await box.textContent(), /Would you like to quit KT\.Varnock 2\.0\?/);
  await box.locator('button[data-key="no"]').click();
  assert.equal(c.child.exitCode, null);
  await page.locator('.menu-title', { hasText: 'File' }).dispatchEvent('mousedown');
  await page.locator('.menu-item[data-cmd="1017"]').click();
  await page.locator('.dialog[role="alertdialog"] button[data-key="yes"]').click();
  const end = await c.exited;
  assert.equal(end.code, 0);
  assert.doesNotMatch(c.errors(), /Sanitizer/);
  await page.locator('#stopped').waitFor();
  // One message, and one that holds: the page does reconnect by itself.
  assert.equal(
    await page.locator('#stopped-text').textContent(),
    'The KT.Varnock 2.0 console has stopped. This page reconnects by itself when the console is started again.',
  );
  assert.equal(fs.statSync(path.join(dir, 'Setting', 'Schedule.dat')).size, 20);
  assert.equal(h.iniValue(dir, 'LASTLIST3'), '250');
  assert.equal(h.iniValue(dir, 'LANGUAGE'), '0');
});

test('one console per program directory; SIGTERM ends it with the exit writes', async () => {
  fs.rmSync(path.join(dir, 'Setting', 'Schedule.dat'));
  c = await h.startConsole(dir, { agents });
  const { spawnSync } = await import('node:child_process');
  const second = spawnSync(h.KTVARNOCK, ['--port', '0'], {
    cwd: dir,
    encoding: 'utf8',
    timeout: 10000,
  });
  assert.equal(second.status, 0);
  assert.equal(second.stderr.trim().split('\n').length, 1);
  assert.match(second.stderr, /already running/);
  const end = await c.stop();
  assert.equal(end.code, 0);
  assert.equal(fs.statSync(path.join(dir, 'Setting', 'Schedule.dat')).size, 20);
  // The display log folder is emptied at every start.
  c = await h.startConsole(dir, { agents });
  const disp = h.displayLog(dir);
  assert.equal(disp.split('\r\n').filter(Boolean).length, 1);
  assert.match(disp, /^10001 /);
});

test('SIGHUP (a closed terminal, an ended session) ends the console with the exit writes too', async () => {
  await c.stop();
  fs.rmSync(path.join(dir, 'Setting', 'Schedule.dat'));
  // Folders that hold passwords are tightened at start if someone widened them.
  fs.chmodSync(path.join(dir, 'AllData'), 0o755);
  fs.chmodSync(path.join(dir, 'Setting'), 0o775);
  c = await h.startConsole(dir, { agents });
  assert.equal(fs.statSync(path.join(dir, 'AllData')).mode & 0o777, 0o700);
  assert.equal(fs.statSync(path.join(dir, 'Setting')).mode & 0o777, 0o700);
  c.child.kill('SIGHUP');
  const end = await c.exited;
  assert.deepEqual(end, { code: 0, signal: null });
  assert.equal(fs.statSync(path.join(dir, 'Setting', 'Schedule.dat')).size, 20);
  assert.match(c.output(), /console stopped/);
});
