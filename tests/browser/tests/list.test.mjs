// The account list in the browser: lamps, times, sorting, column boundaries, enable boxes.
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

const ACCOUNTS = [
  { name: 'alpha', host: '127.0.0.1', ping: true },
  { name: 'bravo', host: '127.0.0.2', ping: true },
  { name: 'charlie', host: '127.0.0.3', ping: true },
  {
    name: 'delta',
    host: '127.0.0.4',
    custom: [
      ['SSH', 22],
      ['rsync', 873],
    ],
  },
];

function rowOf(name) {
  return page.locator('#list .list-row', {
    has: page.locator('.cell[data-column="2"]', {
      hasText: new RegExp(`^ ${name.replace(/[()]/g, '\\$&')}$`),
    }),
  });
}

async function lampOf(name) {
  return rowOf(name).locator('img.lamp').getAttribute('alt');
}

async function serverColumn() {
  return page.locator('#list .list-row .cell[data-column="2"]').allTextContents();
}

before(async () => {
  dir = h.newProgramDir();
  h.applySetup(dir, {
    mailServer: '127.0.0.1',
    to: 'admin@localhost',
    interval: 0,
    sound: 0,
    accounts: ACCOUNTS,
  });
  agents = h.makeAgents();
  c = await h.startConsole(dir, { agents });
  browser = await h.launchBrowser();
  page = await h.openConsole(browser.context, c, 5);
});

after(async () => {
  await browser?.close();
  const end = await c?.stop();
  assert.equal(end.code, 0, c.errors());
  assert.doesNotMatch(c.errors(), /Sanitizer/);
});

test('lamps: white until the first check, yellow after one failure, red after two, green again', async () => {
  const lampTip = (name) => rowOf(name).locator('.cell[data-column="1"]').getAttribute('title');
  assert.equal(await lampOf('alpha'), 'white');
  assert.equal(await lampTip('alpha'), 'not checked yet');
  const now = h.stamp();
  h.writeStatus(
    dir,
    'PINGData',
    'alpha',
    h.checkStatus({ lastCheck: now, failCount: 1, lastFailure: now }),
  );
  await h.appendDisplayLine(dir, '-0906', 'alpha', 'Timed out');
  await h.waitFor(async () => (await lampOf('alpha')) === 'yellow');
  h.writeStatus(
    dir,
    'PINGData',
    'alpha',
    h.checkStatus({ lastCheck: now, failCount: 2, errorDetected: now, lastFailure: now }),
  );
  await h.appendDisplayLine(dir, '-0906', 'alpha', 'Timed out');
  await h.waitFor(async () => (await lampOf('alpha')) === 'red');
  await h.screenshot(page, 'list-red');
  h.writeStatus(
    dir,
    'PINGData',
    'alpha',
    h.checkStatus({ lastCheck: now, downSeconds: 30, start: new Date(Date.now() - 3600e3) }),
  );
  await h.appendDisplayLine(dir, '00001', 'alpha', '1ms');
  await h.waitFor(async () => (await lampOf('alpha')) === 'green');
  assert.equal(await lampTip('alpha'), null);
  // bravo's record was never written by a check: it keeps saying so.
  assert.equal(await lampOf('bravo'), 'white');
  assert.equal(await lampTip('bravo'), 'not checked yet');
});

test('last check and error times use the 12-hour clock with am/pm', async () => {
  // Stamps relative to today, so the test reads the same at any hour: bravo was checked
  // yesterday, charlie carries tomorrow's 23:30 and so is the newest whatever the time is.
  const day = (offset, hour, minute) => {
    const d = new Date();
    d.setDate(d.getDate() + offset);
    d.setHours(hour, minute, 0, 0);
    return h.stamp(d);
  };
  h.writeStatus(
    dir,
    'PINGData',
    'bravo',
    h.checkStatus({ lastCheck: day(-1, 12, 5), errorDetected: day(-1, 0, 7), failCount: 3 }),
  );
  h.writeStatus(dir, 'PINGData', 'charlie', h.checkStatus({ lastCheck: day(1, 23, 30) }));
  await h.appendDisplayLine(dir, '00002', 'bravo', '2ms');
  await h.waitFor(
    async () =>
      (await rowOf('bravo').locator('.cell[data-column="5"]').textContent()) === ' 00:05pm',
  );
  assert.equal(await rowOf('bravo').locator('.cell[data-column="6"]').textContent(), ' 00:07am');
  assert.equal(await rowOf('charlie').locator('.cell[data-column="5"]').textContent(), ' 11:30pm');
  assert.equal(await rowOf('delta(SSH)').locator('.cell[data-column="5"]').textContent(), '');
  assert.equal(
    await rowOf('delta(SSH)').locator('.cell[data-column="4"]').textContent(),
    ' CUSTOM',
  );
  assert.match(
    await rowOf('alpha').locator('.cell[data-column="7"]').textContent(),
    /^ 00:00:30\/01:00:\d\d 99\.\d{4}%$/,
  );
});

test('sorting by Last Check puts never-scanned rows first descending, last ascending', async () => {
  const header = page.locator('#list-header .col-title[data-column="5"]');
  await header.click({ position: { x: 30, y: 8 } });
  await h.waitFor(async () => (await serverColumn())[0] !== ' alpha');
  let names = await serverColumn();
  assert.deepEqual(names.slice(0, 2).sort(), [' delta(SSH)', ' delta(rsync)']);
  await header.click({ position: { x: 30, y: 8 } });
  await h.waitFor(async () => (await serverColumn())[0] === ' charlie'); // 11:30pm is newest
  names = await serverColumn();
  assert.deepEqual(names.slice(3).sort(), [' delta(SSH)', ' delta(rsync)']);
  assert.equal(
    await page.locator('#list-header .col-title[data-column="5"] .sort-mark').count(),
    1,
  );
});

test('a click on Server rebuilds nothing', async () => {
  const storeFiles = () =>
    [
      'ListViewEnable',
      'ListViewStatus',
      'ListViewIP',
      'ListViewService',
      'ListViewLast',
      'ListViewError',
      'ListViewDuration',
    ].map((s) =>
      fs
        .readdirSync(path.join(dir, s))
        .map((f) => `${s}/${f}:${fs.statSync(path.join(dir, s, f)).mtimeMs}`)
        .join(','),
    );
  const keys = () =>
    [
      'LASTENABLESORT',
      'LASTSTATUSSORT',
      'LASTIPSORT',
      'LASTSERVICESORT',
      'LASTCHECKSORT',
      'LASTERRORDETECTEDSORT',
      'LASTDURATIONSORT',
    ].map((k) => h.iniValue(dir, k));
  const beforeFiles = storeFiles();
  const beforeKeys = keys();
  const server = page.locator('#list-header .col-title[data-column="2"]');
  await server.click({ position: { x: 30, y: 8 } }); // first click: descending
  await h.waitFor(async () => (await serverColumn())[0] === ' delta(SSH)');
  await server.click({ position: { x: 30, y: 8 } });
  await h.waitFor(async () => (await serverColumn())[0] === ' alpha');
  assert.deepEqual(storeFiles(), beforeFiles);
  assert.deepEqual(keys(), beforeKeys);
});

test('the enable box writes the status file and the log', async () => {
  const box = rowOf('charlie').locator('.cell[data-column="0"]');
  await box.click();
  await h.waitFor(() => h.readStatus(dir, 'PINGData', 'charlie').readUInt32LE(0) === 0);
  await h.waitFor(
    async () => (await rowOf('charlie').locator('img.check').getAttribute('alt')) === 'off',
  );
  await h.waitFor(() => /^10005 .*charlie\s+Scan Data Disabled\.\r$/m.test(h.fullLog(dir)));
  await rowOf('delta(rsync)').locator('.cell[data-column="0"]').click();
  await h.waitFor(() => h.readStatus(dir, 'CustData', 'delta').readUInt32LE(84) === 0);
  assert.equal(
    h.readStatus(dir, 'CustData', 'delta').readUInt32LE(0),
    1,
    'the other service stays on',
  );
  await h.waitFor(() => /Custom Scan Data \[rsync\] Disabled\./.test(h.fullLog(dir)));
});

test('Enable All and Disable All change every row', async () => {
  const flags = () => [
    h.readStatus(dir, 'PINGData', 'alpha').readUInt32LE(0),
    h.readStatus(dir, 'PINGData', 'charlie').readUInt32LE(0),
    h.readStatus(dir, 'CustData', 'delta').readUInt32LE(0),
    h.readStatus(dir, 'CustData', 'delta').readUInt32LE(84),
  ];
  await page.locator('#toolbar button[data-cmd="1289"]').click();
  await h.waitFor(() => flags().every((f) => f === 0));
  await h.waitFor(() => /Uncheck All Clicked\s+Uncheck All/.test(h.fullLog(dir)));
  await h.waitFor(async () => (await page.locator('#list img.check[alt="on"]').count()) === 0);
  await page.locator('#toolbar button[data-cmd="1285"]').click();
  await h.waitFor(() => flags().every((f) => f === 1));
  await h.waitFor(() => /Check All Clicked\s+Check All/.test(h.fullLog(dir)));
});

test('a double-click on a damaged account says so', async () => {
  const file = path.join(dir, 'AllData', h.hexKey('bravo'));
  const record = fs.readFileSync(file);
  record[1805] = 9;
  fs.writeFileSync(file, record);
  await rowOf('bravo').locator('.cell[data-column="3"]').dblclick();
  const box = page.locator('.dialog[role="alertdialog"]');
  await box.waitFor();
  assert.match(
    await box.textContent(),
    /Specified account is damaged\. Please delete this account and re-register\./,
  );
  await box.locator('button').click();
});

test('a boundary dragged far left keeps 15 px per column and survives a restart', async () => {
  const title = page.locator('#list-header .col-title[data-column="5"]');
  const box = await title.boundingBox();
  await page.mouse.move(box.x + 1, box.y + 8);
  await page.mouse.down();
  await page.mouse.move(box.x - 200, box.y + 8, { steps: 4 });
  await page.mouse.move(0, box.y + 8, { steps: 4 });
  await page.mouse.up();
  const state = await h.waitFor(async () => {
    const s = await (
      await page.request.get(`${c.origin}/api/state`, { headers: { 'X-Varn-Token': c.token } })
    ).json();
    return s.columns.left[5] < 200 ? s : null;
  });
  for (let i = 0; i < 8; i++) {
    assert.ok(
      state.columns.right[i] - state.columns.left[i] + 1 >= 15,
      `column ${i}: ${JSON.stringify(state.columns)}`,
    );
  }
  await h.screenshot(page, 'list-dragged');
  const end = await c.stop();
  assert.equal(end.code, 0);
  assert.equal(Number(h.iniValue(dir, 'LASTLIST5')), state.columns.left[5]);
  c = await h.startConsole(dir, { agents });
  page = await h.openConsole(browser.context, c, 5);
  const again = await (
    await page.request.get(`${c.origin}/api/state`, { headers: { 'X-Varn-Token': c.token } })
  ).json();
  assert.deepEqual(again.columns.left.slice(3, 7), state.columns.left.slice(3, 7));
  const shown = await page.locator('#list-header .col-title[data-column="5"]').boundingBox();
  const header = await page.locator('#list-header').boundingBox();
  assert.ok(Math.abs(shown.x - header.x - state.columns.left[5]) <= 1);
});
