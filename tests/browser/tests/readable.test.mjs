// The list and pane as a reader meets them: ellipses and hover texts, grey lamps for empty
// groups, a phone-sized screen, a dark colour scheme, dialogs readable in both schemes and
// usable on a phone, and a page that always shows its list.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import * as h from '../lib/console.mjs';

const LONG = 'WMWMWMWMWM wide name WMWMWMWMW'; // 31 bytes, the most a name keeps
let dir;
let c;
let browser;

before(async () => {
  dir = h.newProgramDir();
  h.applySetup(dir, {
    mailServer: '127.0.0.1',
    to: 'admin@localhost',
    interval: 0,
    sound: 0,
    accounts: [
      { name: LONG, host: '127.0.0.1', ping: true },
      { name: 'web', host: '127.0.0.1', http: true },
    ],
  });
  c = await h.startConsole(dir, { agents: h.makeAgents() });
  browser = await h.launchBrowser();
});

after(async () => {
  await browser?.close();
  const end = await c?.stop();
  assert.equal(end.code, 0, c.errors());
});

test('clipped cells end in an ellipsis and show their full text, times and duration on hover', async () => {
  const checked = new Date(Date.now() - 90e3);
  const started = new Date(Date.now() - 3600e3);
  h.writeStatus(
    dir,
    'PINGData',
    LONG,
    h.checkStatus({
      lastCheck: h.stamp(checked),
      errorDetected: h.stamp(checked),
      failCount: 2,
      lastFailure: h.stamp(checked),
      downSeconds: 600,
      start: started,
    }),
  );
  await h.appendDisplayLine(dir, '-0906', LONG, 'Request timed out');
  const page = await h.openConsole(browser.context, c, 2);
  const row = page.locator('#list .list-row', {
    has: page.locator('.cell[data-column="1"] img[alt="red"]'),
  });
  await row.waitFor();
  const name = row.locator('.cell[data-column="2"]');
  assert.equal(await name.getAttribute('title'), LONG);
  const clipped = await name.evaluate((el) => ({
    overflow: getComputedStyle(el).textOverflow,
    clipped: el.scrollWidth > el.clientWidth,
  }));
  assert.deepEqual(clipped, { overflow: 'ellipsis', clipped: true });
  const p = (n) => String(n).padStart(2, '0');
  const full =
    `${checked.getFullYear()}/${p(checked.getMonth() + 1)}/${p(checked.getDate())} ` +
    `${p(checked.getHours())}:${p(checked.getMinutes())}:${p(checked.getSeconds())}`;
  assert.equal(await row.locator('.cell[data-column="5"]').getAttribute('title'), full);
  assert.equal(await row.locator('.cell[data-column="6"]').getAttribute('title'), full);
  assert.match(
    await row.locator('.cell[data-column="7"]').getAttribute('title'),
    /^Down \d\d:\d\d:\d\d of \d\d:\d\d:\d\d monitored; available \d+\.\d{4}%$/,
  );
  // Every column title fits at the default widths, its sort mark beside it, not on it (the
  // last column reaches to the list's right edge once the page has told its width).
  await h.waitFor(
    async () =>
      (await page.locator('#list-header .col-title[data-column="7"]').boundingBox()).width > 150,
  );
  for (let col = 2; col < 8; col += 1) {
    const title = page.locator(`#list-header .col-title[data-column="${col}"]`);
    const fits = await title.evaluate((el) => {
      const text = el.querySelector('.title-text');
      const mark = el.querySelector('.sort-mark');
      const t = text.getBoundingClientRect();
      const m = mark?.getBoundingClientRect();
      return text.scrollWidth <= text.clientWidth && (!m || m.left >= t.right);
    });
    assert.ok(fits, `column ${col} title is clipped or covered`);
  }
  await page.close();
});

test('a group without accounts has a grey lamp; a group with accounts a coloured one', async () => {
  const page = await h.openConsole(browser.context, c, 2);
  const lamp = (g) => page.locator(`.group[data-group="${g}"] img`).getAttribute('src');
  await h.waitFor(async () => (await lamp('FTP')) === '/icons/lamp-grey.svg');
  assert.equal(await lamp('EMAIL'), '/icons/lamp-grey.svg');
  assert.equal(await lamp('HTTP'), '/icons/lamp-grey.svg'); // a page check group: none here
  assert.notEqual(await lamp('PING'), '/icons/lamp-grey.svg');
  assert.notEqual(await lamp('PORT'), '/icons/lamp-grey.svg');
  await page.close();
});

test('on a 390 px phone: no sideways scrolling, lamp, server and last check visible, the rest on tap', async () => {
  const page = await browser.context.newPage();
  await page.setViewportSize({ width: 390, height: 800 });
  await page.goto(c.address);
  await page.locator('#list .list-row').nth(1).waitFor();
  const splash = page.locator('#splash');
  if (await splash.isVisible()) await splash.click();
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 390));
  const row = page.locator('#list .list-row').first();
  for (const col of [1, 2, 5]) {
    const box = await row.locator(`.cell[data-column="${col}"]`).boundingBox();
    assert.ok(box && box.x >= 0 && box.x + box.width <= 390, `column ${col} is not on screen`);
  }
  for (const col of [0, 3, 4, 6, 7]) {
    assert.equal(
      await row.locator(`.cell[data-column="${col}"]`).isVisible(),
      false,
      `column ${col}`,
    );
  }
  assert.equal(await page.locator('#pane-body').isVisible(), false);
  await page.locator('#pane-head').click();
  assert.equal(await page.locator('#pane-body').isVisible(), true);
  await row.click();
  const details = page.locator('.dialog[role="alertdialog"]');
  await details.waitFor();
  assert.match(await details.textContent(), /Domain or IP: 127\.0\.0\.1/);
  await h.screenshot(page, 'phone-390');
  await details.locator('button').click();
  await page.close();
});

test('a dark colour scheme keeps the status colours readable (contrast at least 4.5:1)', async () => {
  // (The light scheme keeps the pure red of failure lines, 4:1 on white, as it always was.)
  for (const scheme of ['dark', 'light']) {
    const page = await browser.context.newPage();
    await page.emulateMedia({ colorScheme: scheme });
    await page.goto(c.address);
    await page.locator('#list .list-row').first().waitFor();
    const colours = await page.evaluate(() => {
      const probe = (cls) => {
        const row = document.createElement('div');
        row.className = `pane-row ${cls}`;
        row.append(document.createElement('span'));
        document.getElementById('pane').append(row);
        const colour = getComputedStyle(row).color;
        row.remove();
        return colour;
      };
      return {
        panel: getComputedStyle(document.getElementById('pane-frame')).backgroundColor,
        face: getComputedStyle(document.getElementById('window')).backgroundColor,
        text: getComputedStyle(document.body).color,
        failure: probe('failure'),
        event: probe('event'),
        normal: probe('normal'),
      };
    });
    if (scheme === 'dark')
      assert.ok(h.luminance(colours.panel) < 0.1, `dark panel: ${colours.panel}`);
    // The light scheme keeps the pure red of failure lines as it always was.
    for (const key of scheme === 'dark' ? ['failure', 'event', 'normal'] : ['event', 'normal']) {
      const ratio = h.contrast(colours[key], colours.panel);
      assert.ok(
        ratio >= 4.5,
        `${scheme} ${key} ${colours[key]} on ${colours.panel}: ${ratio.toFixed(2)}`,
      );
    }
    assert.ok(h.contrast(colours.text, colours.face) >= 4.5, `${scheme} text on face`);
    if (scheme === 'dark') await h.screenshot(page, 'dark');
    await page.close();
  }
});

// Every dialog of the page, its sub-dialogs and a message box, as forEachDialog opens them.
const DIALOGS = [
  'Setup',
  'Global Notification Message',
  'Global Online Message',
  'ADD PORT ITEM',
  'Custom Port Settings',
  'Notification Message',
  'Online Message',
  'ADD HTTP ITEM',
  'ADD FTP ITEM',
  'ADD EMAIL ITEM',
  'Edit/Delete',
  'Edit Item',
  'KT.Varnock',
  'View/Erase Logs',
  'Maintenance Windows',
  'Option',
  'Select file(s) To Export',
  'Select file(s) To Import',
  'KT.Varnock',
];

async function dialogPage({ scheme, width, height }) {
  const page = await browser.context.newPage();
  await page.setViewportSize({ width, height });
  await page.emulateMedia({ colorScheme: scheme });
  await page.goto(c.address);
  await page.locator('#list .list-row').nth(1).waitFor();
  const splash = page.locator('#splash');
  if (await splash.isVisible()) await splash.click();
  return page;
}

test('every field, button, note and message box of every dialog reads at 4.5:1 in both schemes', async () => {
  // (Disabled controls are greyed out in the light scheme as they always were.)
  for (const scheme of ['dark', 'light']) {
    const page = await dialogPage({ scheme, width: 1100, height: 720 });
    const poor = [];
    const titles = await h.forEachDialog(page, async (title, dialog) => {
      if (title === 'Setup' || title === 'ADD EMAIL ITEM')
        await h.screenshot(page, `dialog-${scheme}-${title.replace(/\W+/g, '-')}`);
      poor.push(
        ...(await h.poorContrast(dialog, { skipDisabled: scheme === 'light' })).map(
          (p) => `${title}: ${p}`,
        ),
      );
    });
    assert.deepEqual(titles, DIALOGS);
    assert.deepEqual(poor, [], `${scheme} scheme`);
    await page.close();
  }
});

test('on a 390 x 844 phone every dialog fits the width and every control of it can be reached', async () => {
  const page = await dialogPage({ scheme: 'light', width: 390, height: 844 });
  const out = [];
  const titles = await h.forEachDialog(page, async (title, dialog) => {
    const box = await dialog.boundingBox();
    if (box.x < 0 || box.x + box.width > 390 || box.y < 0 || box.y + box.height > 844) {
      out.push(`${title}: the dialog lies at ${box.x},${box.y} ${box.width}x${box.height}`);
    }
    out.push(...(await h.unreachableControls(dialog)).map((why) => `${title}: ${why}`));
    if (title === 'Setup' || title === 'Edit/Delete')
      await h.screenshot(page, `phone-${title.replace(/\W+/g, '-')}`);
  });
  assert.deepEqual(titles, DIALOGS);
  assert.deepEqual(out, []);
  await page.close();
});

test('the splash says click to start, the About window click to close; the version lines keep off the edge', async () => {
  const page = await browser.context.newPage();
  await page.goto(c.address);
  const splash = page.locator('#splash');
  await splash.waitFor({ timeout: 5000 });
  assert.equal(await splash.locator('.splash-hint').textContent(), 'Click anywhere to start');
  await splash.click();
  await splash.waitFor({ state: 'hidden' });
  await page.evaluate(() => document.querySelector('.menu-item[data-cmd="1153"]').click());
  await splash.waitFor();
  assert.equal(await splash.locator('.splash-hint').textContent(), 'Click anywhere to close');
  const card = await splash.locator('.splash-card').boundingBox();
  const version = await splash.locator('.splash-version').boundingBox();
  const logo = await splash.locator('.splash-logo').boundingBox();
  assert.ok(
    version.x - card.x >= 10 && version.y - card.y >= 10,
    `version lines at ${version.x - card.x},${version.y - card.y} of the card`,
  );
  assert.ok(version.x + version.width < logo.x, 'the version lines reach the logo');
  await splash.click();
  await splash.waitFor({ state: 'hidden' });
  await page.close();
});

test('three tabs reloaded twenty times each always show the list', async () => {
  const tabs = await Promise.all([0, 1, 2].map(() => browser.context.newPage()));
  for (let round = 0; round < 20; round += 1) {
    await Promise.all(
      tabs.map(async (tab) => {
        await tab.goto(c.address);
        await tab.locator('#list .list-row').nth(1).waitFor({ timeout: 10000 });
      }),
    );
  }
  await Promise.all(tabs.map((tab) => tab.close()));
});
