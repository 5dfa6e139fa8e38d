// The page names no command and no scan group of its own: it draws its menus, toolbar and
// check boxes from the console's table and enables them by it, and it knows a busy answer by
// its key, whatever the text.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as h from '../lib/console.mjs';

// Serves the console's own answer to `action`, changed by `edit`.
async function editAnswer(page, action, edit) {
  await page.route('**/api/act', async (route) => {
    if (route.request().postDataJSON()?.action !== action) return route.continue();
    const response = await route.fetch();
    const answer = await response.json();
    await edit(answer, route, response);
  });
}

test('menus, toolbar and check boxes follow the command and group table the console sends', async () => {
  const dir = h.newProgramDir();
  const c = await h.startConsole(dir, {
    agents: h.makeAgents(),
    env: { LANG: 'en_US.UTF-8', LC_ALL: '', LC_MESSAGES: '' },
  });
  const browser = await h.launchBrowser();
  try {
    const page = await browser.context.newPage();
    let told = null;
    await editAnswer(page, 'page-facts', async (facts, route, response) => {
      told = structuredClone(facts);
      for (const row of facts.commands) {
        // Whether a command waits for a mail server is the table's word, not the page's.
        if (row.name === 'option') row.needsMailServer = true;
        if (row.name === 'runScanNow') row.needsMailServer = false;
        // Captions are the table's keys.
        if (row.name === 'about') row.key = 'cmd1287';
      }
      await route.fulfill({ response, json: facts });
    });
    await page.goto(c.address);
    // No mail server yet: the first-run prompt leads into Setup, which is cancelled.
    await page.locator('.dialog[role="alertdialog"] button').click();
    const setup = page.locator('.dialog[role="dialog"][aria-label="Setup"]');
    await setup.waitFor();
    await setup.getByRole('button', { name: 'Cancel', exact: true }).click();
    await page.locator('#window:not([hidden])').waitFor();
    assert.ok(told, 'the page asked for the table');

    assert.match(
      await page.locator('.menu-item[data-cmd="1287"]').getAttribute('class'),
      /disabled/,
    );
    assert.equal(await page.locator('#toolbar button[data-cmd="1071"]').isDisabled(), false);
    assert.equal(await page.locator('#toolbar button[data-cmd="1076"]').isDisabled(), true);
    assert.equal(await page.locator('.menu-item[data-cmd="1153"]').textContent(), 'Option');

    const byId = new Map(told.commands.map((row) => [row.id, row]));
    const drawn = await page.evaluate(() =>
      [...document.querySelectorAll('[data-cmd]')].map((el) => Number(el.dataset.cmd)),
    );
    assert.ok(drawn.length > 25, `only ${drawn.length} commands drawn`);
    for (const id of drawn) assert.ok(byId.has(id), `command ${id} is not in the table`);
    const icons = await page.evaluate(() =>
      [...document.querySelectorAll('#toolbar button')].map((b) => [
        Number(b.dataset.cmd),
        b.querySelector('img').getAttribute('src'),
      ]),
    );
    for (const [id, src] of icons) assert.equal(src, `/icons/${byId.get(id).icon}.svg`, String(id));

    const boxes = await page.evaluate(() =>
      [...document.querySelectorAll('#groups .group')].map((g) => [
        g.dataset.group,
        Number(g.querySelector('input').dataset.cmd),
      ]),
    );
    const all = told.commands.find((row) => row.name === 'groupAll').id;
    assert.deepEqual(boxes, [['ALL', all], ...told.groups.map((g) => [g.name, g.command])]);
  } finally {
    await browser.close();
    await c.stop();
  }
});

test("a busy answer is known by its key, and shown with the console's text", async () => {
  const dir = h.newProgramDir();
  const c = await h.startConsole(dir, {
    agents: h.makeAgents(),
    env: { LANG: 'en_US.UTF-8', LC_ALL: '', LC_MESSAGES: '' },
  });
  const browser = await h.launchBrowser();
  try {
    const page = await browser.context.newPage();
    let key = 'msgFilesBusy';
    await editAnswer(page, 'command', async (answer, route, response) => {
      const headers = { ...response.headers() };
      if (key) headers['x-varn-message-key'] = key;
      await route.fulfill({ response, headers, json: { ok: false, message: 'held elsewhere' } });
    });
    await page.goto(c.address);
    await page.locator('.dialog[role="alertdialog"] button').click();
    const setup = page.locator('.dialog[role="dialog"][aria-label="Setup"]');
    await setup.waitFor();
    await setup.getByRole('button', { name: 'Cancel', exact: true }).click();
    const splash = page.locator('#splash');
    if (await splash.isVisible()) await splash.click();

    await page.locator('.group[data-group="PING"] input').click();
    const box = page.locator('.dialog[role="alertdialog"]');
    await box.waitFor();
    assert.equal(await box.locator('.dialog-text').textContent(), 'held elsewhere');
    await box.locator('button').click();
    await box.waitFor({ state: 'detached' });

    // The same text without the key is no busy answer.
    key = '';
    await page.locator('.group[data-group="PING"] input').click();
    await new Promise((resolve) => setTimeout(resolve, 800));
    assert.equal(await page.locator('.dialog[role="alertdialog"]').count(), 0);
  } finally {
    await browser.close();
    await c.stop();
  }
});
