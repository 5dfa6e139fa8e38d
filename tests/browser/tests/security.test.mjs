// Requests that lack the token, come from another origin or name another Host change
// nothing and get no data.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import * as h from '../lib/console.mjs';

let dir;
let c;

before(async () => {
  dir = h.newProgramDir();
  h.applySetup(dir, {
    mailServer: '127.0.0.1',
    interval: 0,
    wave: 'chime.wav',
    accounts: [{ name: 'kilo', host: '127.0.0.1', ping: true }],
  });
  fs.mkdirSync(path.join(dir, 'Wave'), { recursive: true });
  fs.writeFileSync(path.join(dir, 'Wave', 'chime.wav'), Buffer.alloc(4000, 7));
  c = await h.startConsole(dir, { agents: h.makeAgents() });
});

after(async () => {
  await c?.stop();
});

// A raw request, so that the Host header can be anything.
function request({ method = 'GET', path = '/', headers = {}, body } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request({ host: '127.0.0.1', port: c.port, method, path, headers }, (res) => {
      let data = '';
      res.on('data', (d) => {
        data += d;
      });
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: data }));
    });
    req.on('error', reject);
    if (body) req.write(body);
    req.end();
  });
}

const host = () => `127.0.0.1:${c.port}`;
const toggle = JSON.stringify({ action: 'toggle', row: 0 });
const enabled = () => h.readStatus(dir, 'PINGData', 'kilo').readUInt32LE(0);
const withToken = () => ({ Host: host(), 'X-Varn-Token': c.token });

test('the page needs no token and sets no cookie; the data routes need the token header', async () => {
  const r = await request({ path: '/', headers: { Host: host() } });
  assert.equal(r.status, 200);
  assert.equal(r.headers['set-cookie'], undefined);
  assert.equal(r.headers['content-security-policy'], "default-src 'self'; frame-ancestors 'none'");
  assert.equal(r.headers['access-control-allow-origin'], undefined);
  const ok = await request({ path: '/api/state', headers: withToken() });
  assert.equal(ok.status, 200);
  assert.equal(JSON.parse(ok.body).rows, 1);
  assert.doesNotMatch(ok.body, new RegExp(c.token), 'the state does not hand out the token');
  assert.equal(ok.headers['set-cookie'], undefined);
});

test('reads without the token, with a wrong token or another Host get no data', async () => {
  const cases = [
    { path: '/api/state', headers: { Host: host() } },
    {
      path: '/api/rows?first=0&count=5',
      headers: { Host: host(), Cookie: `varn_token=${c.token}` },
    },
    {
      path: '/api/rows?first=0&count=5',
      headers: { Host: host(), 'X-Varn-Token': '0123456789abcdef0123456789abcdef' },
    },
    { path: `/api/state?token=${c.token}`, headers: { Host: host() } },
    { path: '/api/wave', headers: { Host: host() } },
    { path: '/api/state', headers: { ...withToken(), Host: `evil.example:${c.port}` } },
    { path: '/', headers: { Host: 'attacker.test' } },
    { path: '/api/pane', headers: { ...withToken(), 'Sec-Fetch-Site': 'cross-site' } },
  ];
  for (const req of cases) {
    const r = await request(req);
    assert.equal(r.status, 403, JSON.stringify(req));
    assert.doesNotMatch(r.body, /kilo|rows|6b696c6f/);
    assert.equal(r.headers['set-cookie'], undefined);
  }
});

test('state changes need the token header and the own origin', async () => {
  const base = { 'Content-Type': 'application/json', ...withToken() };
  const refused = [
    { ...base, 'X-Varn-Token': '' },
    { ...base, 'X-Varn-Token': 'f'.repeat(32) },
    { ...base, 'X-Varn-Token': '', Cookie: `varn_token=${c.token}` },
    { ...base, Origin: 'http://evil.example' },
    { ...base, Host: `localhost.evil:${c.port}` },
    { ...base, 'Sec-Fetch-Site': 'cross-site' },
  ];
  for (const headers of refused) {
    const r = await request({ method: 'POST', path: '/api/act', headers, body: toggle });
    assert.equal(r.status, 403, JSON.stringify(headers));
    assert.equal(enabled(), 1, 'nothing changed');
  }
  // A GET never changes anything.
  const get = await request({ path: '/api/act', headers: base });
  assert.notEqual(get.status, 200);
  assert.equal(enabled(), 1);
  const ok = await request({
    method: 'POST',
    path: '/api/act',
    headers: { ...base, Origin: `http://${host()}` },
    body: toggle,
  });
  assert.equal(ok.status, 200);
  assert.equal(enabled(), 0);
});

test('the page takes the token out of the address and keeps it for this tab only', async () => {
  const browser = await h.launchBrowser();
  try {
    const page = await h.openConsole(browser.context, c, 1);
    assert.equal(new URL(page.url()).hash, '', 'the address bar no longer shows the token');
    assert.equal(await page.evaluate(() => sessionStorage.getItem('varnToken')), c.token);
    assert.deepEqual(await browser.context.cookies(), []);
    // The wave file is a data route: the page fetches it with the token, into memory.
    const bytes = await page.evaluate(
      async () => (await (await import('/js/api.js')).getBytes('/api/wave')).byteLength,
    );
    assert.equal(bytes, 4000);
    // A reload in the same tab still works without the token in the address.
    await page.reload();
    await page.locator('#list .list-row').first().waitFor();
  } finally {
    await browser.close();
  }
});

test('a page of another origin cannot drive the console from the browser', async () => {
  const browser = await h.launchBrowser();
  const evil = http.createServer((req, res) => {
    res.setHeader('Content-Type', 'text/html');
    res.end(`<form id="f" method="POST" action="http://127.0.0.1:${c.port}/api/act" enctype="text/plain">
      <input name='{"action":"command","id":1017,"x":"' value='"}'></form>
      <script>fetch("http://127.0.0.1:${c.port}/api/state").then(r => r.text()).then(t => document.title = "read:" + t)
        .catch(() => document.title = "blocked"); </script>`);
  });
  await new Promise((r) => evil.listen(0, '127.0.0.1', r));
  try {
    const page = await browser.context.newPage();
    // The browser has the console open in this tab, as a real administrator's would.
    await page.goto(c.address);
    await page.locator('#window:not([hidden])').waitFor();
    await page.goto(`http://127.0.0.1:${evil.address().port}/`);
    await h.waitFor(async () => (await page.title()) !== '', 5000);
    assert.doesNotMatch(await page.title(), /read:.*rows/);
    assert.equal(await page.evaluate(() => sessionStorage.getItem('varnToken')), null);
    assert.deepEqual(await browser.context.cookies(), []);
    await page.evaluate(() => document.getElementById('f').submit());
    await new Promise((r) => setTimeout(r, 1000));
    assert.equal(c.child.exitCode, null, 'the console is still running');
    assert.equal(enabled(), 0, 'nothing changed');
  } finally {
    evil.close();
    await browser.close();
  }
});
