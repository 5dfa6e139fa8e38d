// An account's history in the browser, from a console whose store read the daily logs: the
// row's history button and View > History open the panel with a chart per check, its
// failures, the outage and the availability; the spans switch; the monthly report shows the
// month and downloads its CSV; both read in either colour scheme, on a phone, in Japanese.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import * as h from '../lib/console.mjs';

let dir;
let c;
let browser;

const MINUTE = 60e3;
// Three hours of checks every five minutes, the last one a minute ago; the HTTP port was
// refused from 60 to 40 minutes ago (five failed checks, one outage).
const RUNS = 36;
const downAt = (ago) => ago <= 60 && ago >= 40;
const agoOf = (i) => 1 + 5 * (RUNS - 1 - i);
const NOW = Date.now();
const when = (i) => new Date(NOW - agoOf(i) * MINUTE);
const pingMs = (i) => 10 + (i % 5);

before(async () => {
  dir = h.newProgramDir();
  h.applySetup(dir, {
    mailServer: '127.0.0.1',
    to: 'admin@localhost',
    interval: 0,
    sound: 0,
    accounts: [
      { name: 'web1', host: '127.0.0.1', ping: true, http: true },
      { name: 'quiet', host: '127.0.0.2', ping: true, custom: [['SSH', 22]] },
    ],
  });
  for (let i = 0; i < RUNS; i++) {
    const ago = agoOf(i);
    const at = when(i);
    const ms = pingMs(i);
    await h.appendDisplayLine(dir, String(ms), 'web1', `Ping OK time=${ms}ms`, at);
    if (downAt(ago)) {
      await h.appendDisplayLine(
        dir,
        '-0902',
        'web1',
        'HTTP Port 80 DOWN Error: CONNECT Domain/IP: 127.0.0.1',
        at,
      );
    } else {
      await h.appendDisplayLine(dir, String(ms + 20), 'web1', 'HTTP Port 80 OK', at);
    }
  }
  c = await h.startConsole(dir, { agents: h.makeAgents() });
  browser = await h.launchBrowser();
});

after(async () => {
  await browser?.close();
  const end = await c?.stop();
  assert.equal(end.code, 0, c.errors());
  assert.doesNotMatch(c.errors(), /Sanitizer/);
});

function rowOf(page, name, service) {
  return page
    .locator('#list .list-row', {
      has: page.locator('.cell[data-column="4"]', { hasText: service }),
    })
    .filter({ has: page.locator('.cell[data-column="2"]', { hasText: new RegExp(`^ ${name}$`) }) });
}

async function openPanelOfRow(page, name, service) {
  await rowOf(page, name, service).locator('.row-history').click();
  const panel = page.locator('.history-dialog');
  await panel.locator('.history-check .response-chart').first().waitFor();
  return panel;
}

test('a row opens its account history: a chart per check, the failures, the outage and the availability', async () => {
  const page = await h.openConsole(browser.context, c, 4);
  // The store catches up with the logs at start; the panel shows what it read.
  const panel = await h.waitFor(
    async () => {
      const p = await openPanelOfRow(page, 'web1', 'HTTP');
      if ((await p.locator('.outages tbody tr').count()) > 0) return p;
      await p.getByRole('button', { name: 'Close' }).click();
      return null;
    },
    20000,
    500,
  );
  assert.equal(await panel.getAttribute('aria-label'), 'History: web1');
  // The row's own check comes first.
  assert.deepEqual(
    await panel.locator('.history-check').evaluateAll((s) => s.map((e) => e.dataset.check)),
    ['HTTP', 'PING'],
  );
  const chart = (check) => panel.locator(`.history-check[data-check="${check}"]`);
  // The ping line joins its points across the agents' five minutes: one line, no failures.
  const ping = chart('PING');
  assert.equal(await ping.locator('path.chart-line').count(), 1);
  const vertices = (await ping.locator('path.chart-line').getAttribute('d')).split(/[ML]/).length;
  assert.ok(vertices > RUNS / 2, `the ping line has ${vertices} points`);
  assert.equal(await ping.locator('.chart-fail').count(), 0);
  assert.match(await ping.locator('.availability').textContent(), /^Availability 100 %$/);
  // A port check has no time: its chart is a strip of passed and failed checks.
  const http = chart('HTTP');
  const failed = Array.from({ length: RUNS }, (_, i) => agoOf(i)).filter(downAt).length;
  assert.equal(await http.locator('path.chart-line').count(), 0);
  assert.equal(await http.locator('.chart-fail').count(), failed);
  assert.equal(await http.locator('.chart-pass').count(), RUNS - failed);
  assert.match(await http.locator('.chart-fail title').first().textContent(), /CONNECT/);
  const share = (await http.locator('.availability').textContent()).match(/([\d.]+) %/);
  assert.ok(share, 'the span has an availability');
  const expected = (100 * (RUNS - failed)) / RUNS;
  assert.ok(Math.abs(Number(share[1]) - expected) < 0.1, `${share[1]} against ${expected}`);
  assert.ok((await http.locator('.bars-chart .chart-bar').count()) >= 1);
  // The outage: its check, a start and an end (it ended), its length and the error.
  const outage = panel.locator('.outages tbody tr').first();
  const cells = await outage.locator('td').allTextContents();
  assert.equal(cells[0], 'HTTP port');
  assert.match(cells[1], /^\d{4}\/\d\d\/\d\d \d\d:\d\d$/);
  assert.match(cells[2], /^\d{4}\/\d\d\/\d\d \d\d:\d\d$/);
  assert.match(cells[3], /^\d+ min$/);
  assert.match(cells[4], /CONNECT Domain\/IP: 127\.0\.0\.1/);
  await h.screenshot(page, 'history-24h');

  // Another span: the same checks over 7 days, a bar per day, the span named.
  await panel.getByRole('button', { name: '7 days' }).click();
  await h.waitFor(async () =>
    /^7 days: /.test(await panel.locator('.history-summary').textContent()),
  );
  assert.equal(
    await panel.getByRole('button', { name: '7 days' }).getAttribute('aria-pressed'),
    'true',
  );
  assert.equal(
    await panel.getByRole('button', { name: '24 hours' }).getAttribute('aria-pressed'),
    'false',
  );
  const bars = await chart('PING').locator('.bars-chart .chart-bar').count();
  assert.ok(bars === 8, `7 days from the first day's midnight are 8 bars, not ${bars}`);
  assert.ok((await chart('HTTP').locator('.chart-fail').count()) >= 1);
  assert.equal(await panel.locator('.outages tbody tr').count(), 1);
  await panel.getByRole('button', { name: '1 year' }).click();
  await h.waitFor(async () =>
    /^1 year: /.test(await panel.locator('.history-summary').textContent()),
  );
  assert.ok((await chart('PING').locator('.bars-chart .chart-bar').count()) >= 365);
  await h.screenshot(page, 'history-year');
  await panel.getByRole('button', { name: 'Close' }).click();
  await page.close();
});

test('a group that logs errors only shows no availability for its checks, and says why', async () => {
  // Scan.dat byte 15 + group: 1 logs every result, 0 errors only; the ping group is 0.
  const scan = path.join(dir, 'Setting', 'Scan.dat');
  const before = fs.readFileSync(scan);
  const errorsOnly = Buffer.from(before);
  errorsOnly[15] = 0;
  fs.writeFileSync(scan, errorsOnly);
  try {
    const page = await h.openConsole(browser.context, c, 4);
    const panel = await openPanelOfRow(page, 'web1', 'HTTP');
    const ping = panel.locator('.history-check[data-check="PING"]');
    await ping.locator('.errors-only').waitFor();
    assert.equal(await ping.locator('.availability').textContent(), 'Availability not known');
    assert.equal(await ping.locator('.bars-chart').count(), 0);
    // The port group still logs every result.
    const http = panel.locator('.history-check[data-check="HTTP"]');
    assert.match(await http.locator('.availability').textContent(), /^Availability [\d.]+ %$/);
    assert.equal(await http.locator('.errors-only').count(), 0);
    await h.screenshot(page, 'history-errors-only');
    await page.close();
  } finally {
    fs.writeFileSync(scan, before);
  }
});

test("the spans end at the console's minute whatever the browser's clock says", async () => {
  const page = await browser.context.newPage();
  await page.clock.setSystemTime(new Date(Date.now() + 9 * 3600e3 + 17 * MINUTE));
  await page.goto(c.address);
  await page.locator('#list .list-row').nth(3).waitFor();
  await h.closeSplash(page);
  const panel = await openPanelOfRow(page, 'web1', 'PING');
  await h.waitFor(async () =>
    /^24 hours: /.test(await panel.locator('.history-summary').textContent()),
  );
  const summary = await panel.locator('.history-summary').textContent();
  const end = summary
    .match(/to (\d{4})\/(\d\d)\/(\d\d) (\d\d):(\d\d)$/)
    .slice(1)
    .map(Number);
  const shown = new Date(end[0], end[1] - 1, end[2], end[3], end[4]).getTime();
  assert.ok(Math.abs(shown - Date.now()) < 3 * MINUTE, `the span ends at ${summary}`);
  assert.equal(await panel.locator('.history-check[data-check="PING"] .chart-fail').count(), 0);
  assert.ok((await panel.locator('.history-check[data-check="HTTP"] .chart-fail').count()) > 0);
  await panel.getByRole('button', { name: 'Close' }).click();
  await page.close();
});

test('View > History asks for a row, then opens the selected one; the row keeps its own clicks', async () => {
  const page = await h.openConsole(browser.context, c, 4);
  const viewHistory = () =>
    page.evaluate(() => document.querySelector('.menu-item[data-cmd="1410"]').click());
  await viewHistory();
  const box = page.locator('.dialog[role="alertdialog"]');
  await box.waitFor();
  assert.match(await box.textContent(), /Select an account in the list first\./);
  await box.getByRole('button', { name: 'OK' }).click();
  // A press on the button neither selects the row nor switches its check box.
  const row = rowOf(page, 'quiet', 'PING');
  await row.locator('.row-history').click();
  const panel = page.locator('.history-dialog');
  await panel.waitFor();
  assert.equal(await panel.getAttribute('aria-label'), 'History: quiet');
  assert.equal(await row.getAttribute('class'), 'list-row');
  assert.equal(await row.locator('img.check').getAttribute('alt'), 'on');
  // The outages arrive after the panel opens.
  await panel.locator('.history-outages', { hasText: /No outage in this span\./ }).waitFor();
  await panel.getByRole('button', { name: 'Close' }).click();
  // A custom port's row is its account's too.
  await page.locator('#list .list-row', { hasText: 'quiet(SSH)' }).locator('.row-history').click();
  await panel.waitFor();
  assert.equal(await panel.getAttribute('aria-label'), 'History: quiet');
  await panel.getByRole('button', { name: 'Close' }).click();
  await rowOf(page, 'web1', 'PING').locator('.cell[data-column="3"]').click();
  await viewHistory();
  await panel.locator('.history-check').first().waitFor();
  assert.equal(await panel.getAttribute('aria-label'), 'History: web1');
  assert.equal(await panel.locator('.history-check').first().getAttribute('data-check'), 'PING');
  await panel.getByRole('button', { name: 'Close' }).click();
  await page.close();
});

test('View > Report: the month of every account and check, and its CSV', async () => {
  const page = await h.openConsole(browser.context, c, 4);
  await page.evaluate(() => document.querySelector('.menu-item[data-cmd="1411"]').click());
  const report = page.locator('.report-dialog');
  // The month the outage began in (the three hours of checks may cross a month's end).
  const monthOf = (d) => `${d.getFullYear()}-${String(d.getMonth() + 1).padStart(2, '0')}`;
  const first = Array.from({ length: RUNS }, (_, i) => i).find((i) => downAt(agoOf(i)));
  const value = monthOf(when(first));
  const inMonth = Array.from({ length: RUNS }, (_, i) => i).filter(
    (i) => monthOf(when(i)) === value,
  );
  const pingAverage = inMonth.reduce((sum, i) => sum + pingMs(i), 0) / inMonth.length;
  await report.getByLabel('Month').fill(value);
  const httpRow = report.locator('tbody tr[data-check="HTTP"]', { hasText: 'web1' });
  await httpRow.waitFor();
  const cells = await httpRow.locator('td').allTextContents();
  assert.deepEqual(cells.slice(0, 2), ['web1', 'HTTP port']);
  assert.match(cells[2], /^\d+(\.\d+)? %$/);
  assert.equal(cells[3], '1');
  assert.match(cells[4], /^\d+ min$/);
  assert.equal(cells[5], '-', 'a port has no response time');
  const ping = await report
    .locator('tbody tr[data-check="PING"]', { hasText: 'web1' })
    .locator('td')
    .allTextContents();
  assert.deepEqual(ping.slice(2), ['100 %', '0', '-', `${Math.round(pingAverage)} ms`]);
  const [download] = await Promise.all([
    page.waitForEvent('download'),
    report.getByRole('button', { name: 'Download CSV' }).click(),
  ]);
  assert.match(download.suggestedFilename(), /\.csv$/);
  const csv = fs.readFileSync(await download.path(), 'utf8');
  assert.match(csv, /web1/);
  assert.ok(csv.trim().split('\n').length >= 3, csv);
  // A month without history says so rather than showing an empty table.
  await report.getByLabel('Month').fill('2001-01');
  await report.locator('.report-result', { hasText: 'No history for this month.' }).waitFor();
  await report.getByRole('button', { name: 'Close' }).click();
  await page.close();
});

test('the panel and the report read at 4.5:1 in both schemes and fit a phone', async () => {
  for (const [scheme, width, height] of [
    ['dark', 1100, 720],
    ['light', 1100, 720],
    ['dark', 390, 844],
  ]) {
    const page = await browser.context.newPage();
    await page.setViewportSize({ width, height });
    await page.emulateMedia({ colorScheme: scheme });
    await page.goto(c.address);
    await page.locator('#list .list-row').nth(3).waitFor();
    await h.closeSplash(page);
    const panel = await openPanelOfRow(page, 'web1', 'HTTP');
    await panel.locator('.outages tbody tr').first().waitFor();
    assert.deepEqual(await h.poorContrast(panel), [], `${scheme} panel`);
    if (width < 700) {
      assert.deepEqual(await h.unreachableControls(panel), [], 'panel on a phone');
      const box = await panel.boundingBox();
      assert.ok(box.x >= 0 && box.x + box.width <= width, 'the panel fits the width');
      const chartBox = await panel.locator('.response-chart').first().boundingBox();
      assert.ok(chartBox.x + chartBox.width <= width, 'the chart fits the width');
      await h.screenshot(page, `history-phone-${scheme}`);
    }
    await panel.getByRole('button', { name: 'Close' }).click();
    await page.evaluate(() => document.querySelector('.menu-item[data-cmd="1411"]').click());
    const report = page.locator('.report-dialog');
    await report.locator('tbody tr').first().waitFor();
    assert.deepEqual(await h.poorContrast(report), [], `${scheme} report`);
    if (width < 700) assert.deepEqual(await h.unreachableControls(report), [], 'report on a phone');
    await report.getByRole('button', { name: 'Close' }).click();
    await page.close();
  }
});

test('in Japanese the panel names its spans, checks and outages in Japanese', async () => {
  const page = await h.openConsole(browser.context, c, 4);
  await page.evaluate(async () => {
    const token = sessionStorage.getItem('varnToken');
    await fetch('/api/act', {
      method: 'POST',
      headers: { 'X-Varn-Token': token, 'Content-Type': 'application/json' },
      body: JSON.stringify({ action: 'language', language: '1' }),
    });
  });
  await page.reload();
  await page.locator('#list .list-row').nth(3).waitFor();
  await h.closeSplash(page);
  const panel = await openPanelOfRow(page, 'web1', 'HTTP');
  await panel.locator('.outages tbody tr').first().waitFor();
  assert.equal(await panel.getAttribute('aria-label'), '履歴: web1');
  assert.deepEqual(await panel.locator('.span-button').allTextContents(), [
    '24時間',
    '7日間',
    '30日間',
    '1年間',
  ]);
  assert.match(
    await panel.locator('.history-check[data-check="HTTP"] .availability').textContent(),
    /^稼働率 /,
  );
  assert.equal(await panel.locator('.outages td').first().textContent(), 'HTTPポート');
  assert.match(await panel.locator('.outages td').nth(3).textContent(), /^\d+分$/);
  await h.screenshot(page, 'history-ja');
  await panel.getByRole('button', { name: '閉じる' }).click();
  await page.close();
});
