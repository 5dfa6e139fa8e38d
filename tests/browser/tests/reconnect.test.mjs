// The console's address outlives a restart: a tab left open waits and reconnects by itself,
// a bookmark of the address still opens the console, and --new-token retires the old one
// with a page that only says where the new address is.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import * as h from '../lib/console.mjs';

const dir = h.newProgramDir();
h.applySetup(dir, {
  mailServer: '127.0.0.1',
  accounts: [
    { name: 'first', host: '127.0.0.1', ping: true },
    { name: 'second', host: '127.0.0.1', ping: true },
  ],
});
const agents = h.makeAgents();
const browser = await h.launchBrowser();
let c = await h.startConsole(dir, { agents });
const port = c.port;
const bookmark = c.address;
after(async () => {
  await c.stop();
  await browser.close();
});

const stoppedText = (page) => page.locator('#stopped-text').textContent();

test('the token is kept 0600 in the program directory and printed again after a restart', async () => {
  const file = path.join(dir, 'Setting', 'console.token');
  assert.equal(fs.readFileSync(file, 'utf8'), `${c.token}\n`);
  assert.equal(fs.statSync(file).mode & 0o777, 0o600);
  assert.equal(
    fs.readFileSync(path.join(dir, 'temp', 'console-address.txt'), 'utf8'),
    `${bookmark}\n`,
  );
});

test('an open tab waits while the console is stopped and reconnects when it is back', async () => {
  const page = await h.openConsole(browser.context, c, 2);
  await c.stop();
  await page.locator('#stopped').waitFor({ state: 'visible', timeout: 15000 });
  assert.match(await stoppedText(page), /Console stopped — waiting for it/);
  await h.screenshot(page, 'reconnect-waiting');
  c = await h.startConsole(dir, { agents, port });
  assert.equal(c.address, bookmark);
  // The page starts afresh by itself, with the token this tab kept.
  await page.locator('#list .list-row').nth(1).waitFor({ timeout: 20000 });
  await page.locator('#stopped').waitFor({ state: 'hidden' });
  assert.equal(page.url(), `${c.origin}/`);
  await page.close();
});

test('a bookmark of the address opens the console after a restart', async () => {
  await c.stop();
  c = await h.startConsole(dir, { agents, port });
  const page = await browser.context.newPage();
  await page.goto(bookmark);
  await page.locator('#list .list-row').nth(1).waitFor({ timeout: 10000 });
  await page.close();
});

test('after --new-token the old address gets only the text that says where the new one is', async () => {
  await c.stop();
  c = await h.startConsole(dir, { agents, port, extraArgs: ['--new-token'] });
  assert.notEqual(c.address, bookmark);
  const page = await browser.context.newPage();
  await page.goto(bookmark);
  const body = page.locator('body');
  await page.locator('body', { hasText: 'console-address.txt' }).waitFor({ timeout: 10000 });
  assert.match(
    await body.textContent(),
    /^This page has no valid access token\..*temp\/console-address\.txt/,
  );
  assert.equal(await page.locator('#list .list-row').count(), 0);
  // The data routes answer the same text, and nothing of the console's state.
  const answer = await fetch(`${c.origin}/api/state`, {
    headers: { 'X-Varn-Token': h.hexKey('x').padEnd(32, '0') },
  });
  assert.equal(answer.status, 403);
  const text = await answer.text();
  assert.match(text, /temp\/console-address\.txt/);
  assert.doesNotMatch(text, /first|second|programDir/);
  // A tab that was open on the old token learns it the same way when the console is back.
  await page.goto(c.address);
  await page.locator('#list .list-row').nth(1).waitFor({ timeout: 10000 });
  await c.stop();
  await page.locator('#stopped').waitFor({ state: 'visible', timeout: 15000 });
  c = await h.startConsole(dir, { agents, port, extraArgs: ['--new-token'] });
  await page
    .locator('#stopped-text', { hasText: 'console-address.txt' })
    .waitFor({ timeout: 20000 });
  await page.close();
});
