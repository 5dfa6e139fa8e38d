// Test support: a console on a temporary program directory, stand-in agents, status
// records written the way the agents write them, and a headless chromium.
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

// Every temporary folder a test makes is removed when the test file ends.
const made = [];
process.on('exit', () => {
  for (const dir of made) fs.rmSync(dir, { recursive: true, force: true });
});
function tempDir(prefix) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  made.push(dir);
  return dir;
}

export const KTVARNOCK = process.env.KTVARNOCK ?? path.resolve('../../build/bin/KTVarnock');

export function hexKey(name) {
  return Buffer.from(name, 'latin1').subarray(0, 31).toString('hex');
}

// Writes settings and accounts through the console's own setup routine.
export function applySetup(dir, setup) {
  const file = path.join(dir, '.setup.json');
  fs.writeFileSync(file, JSON.stringify(setup));
  const r = spawnSync(KTVARNOCK, ['--setup', file], { cwd: dir, encoding: 'utf8' });
  fs.rmSync(file);
  if (r.status !== 0) throw new Error(`setup failed: ${r.stderr}`);
}

// Stand-in agents: each appends one line to a file of the bin directory with its name and
// its arguments, so a test sees which agents started with which command line.
export function makeAgents() {
  const bin = tempDir('varn-agents-');
  const names = [
    'EchoSentry',
    'PageSentry',
    'RoundTripSentry',
    'XferSentry',
    'WebPortSentry',
    'MailOutSentry',
    'MailInSentry',
    'FilePortSentry',
    'AnyPortSentry',
  ];
  for (const name of names) {
    const script = path.join(bin, name);
    fs.writeFileSync(script, `#!/bin/sh\necho "${name} $*" >> "${bin}/started.log"\n`);
    fs.chmodSync(script, 0o755);
  }
  return bin;
}

export function startedAgents(bin) {
  const file = path.join(bin, 'started.log');
  return fs.existsSync(file) ? fs.readFileSync(file, 'utf8').split('\n').filter(Boolean) : [];
}

// A 14-digit local time stamp.
export function stamp(d = new Date()) {
  const p = (n, w = 2) => String(n).padStart(w, '0');
  return `${p(d.getFullYear(), 4)}${p(d.getMonth() + 1)}${p(d.getDate())}${p(d.getHours())}${p(d.getMinutes())}${p(d.getSeconds())}`;
}

// An 84-byte status record as the agents keep it.
export function checkStatus({
  enabled = 1,
  lastCheck = '',
  errorDetected = '',
  failCount = 0,
  lastFailure = '',
  downSeconds = 0,
  start = new Date(),
} = {}) {
  const b = Buffer.alloc(84);
  b.writeUInt32LE(enabled, 0);
  b.write(lastCheck, 4, 18, 'latin1');
  b.write(errorDetected, 24, 18, 'latin1');
  b.writeInt8(failCount, 43);
  b.write(lastFailure, 44, 19, 'latin1');
  b.writeUInt32LE(downSeconds, 64);
  const fields = [
    start.getFullYear(),
    start.getMonth() + 1,
    start.getDay(),
    start.getDate(),
    start.getHours(),
    start.getMinutes(),
    start.getSeconds(),
    0,
  ];
  fields.forEach((v, i) => b.writeUInt16LE(v, 68 + 2 * i));
  return b;
}

// Replaces a status record at once (temporary file and rename), as the agents do.
export function writeStatus(dir, folder, name, record) {
  const target = path.join(dir, folder, hexKey(name));
  const tmp = path.join(dir, folder, `.${hexKey(name)}.tmp`);
  fs.writeFileSync(tmp, record);
  fs.renameSync(tmp, target);
}

export function readStatus(dir, folder, name) {
  return fs.readFileSync(path.join(dir, folder, hexKey(name)));
}

export function displayLog(dir) {
  const d = new Date();
  const p = (n, w = 2) => String(n).padStart(w, '0');
  const file = path.join(
    dir,
    'Log',
    'Disp',
    `${p(d.getFullYear(), 4)}${p(d.getMonth() + 1)}${p(d.getDate())}.log`,
  );
  return fs.existsSync(file) ? fs.readFileSync(file, 'latin1') : '';
}

export function fullLog(dir) {
  const d = new Date();
  const p = (n, w = 2) => String(n).padStart(w, '0');
  const file = path.join(
    dir,
    'Log',
    `${p(d.getFullYear(), 4)}${p(d.getMonth() + 1)}${p(d.getDate())}.log`,
  );
  return fs.existsSync(file) ? fs.readFileSync(file, 'latin1') : '';
}

export function iniValue(dir, key) {
  const file = path.join(dir, 'Varnock.ini');
  if (!fs.existsSync(file)) return undefined;
  const m = fs.readFileSync(file, 'latin1').match(new RegExp(`^${key}=(.*)$`, 'mi'));
  return m ? m[1].trim() : undefined;
}

export function newProgramDir() {
  return tempDir('varn-console-');
}

export async function waitFor(predicate, timeoutMs = 10000, stepMs = 100) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = await predicate();
    if (value) return value;
    if (Date.now() > end) throw new Error('timed out waiting');
    await new Promise((r) => setTimeout(r, stepMs));
  }
}

// Starts the console in `dir`; resolves with its address once it printed it.
export async function startConsole(dir, { agents, env = {}, port = 0, extraArgs = [] } = {}) {
  const args = ['--port', String(port), ...extraArgs];
  if (agents) args.push('--agents', agents);
  const child = spawn(KTVARNOCK, args, {
    cwd: dir,
    env: { ...process.env, ASAN_OPTIONS: 'detect_leaks=1', ...env },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  let out = '';
  let err = '';
  child.stdout.on('data', (d) => {
    out += d;
  });
  child.stderr.on('data', (d) => {
    err += d;
  });
  const exited = new Promise((resolve) =>
    child.on('exit', (code, signal) => resolve({ code, signal })),
  );
  const address = await waitFor(() => out.match(/(http:\/\/\S+)/)?.[1], 15000).catch(() => {
    throw new Error(`console did not start: ${err}`);
  });
  const url = new URL(address);
  return {
    child,
    dir,
    address,
    exited,
    origin: url.origin,
    port: Number(url.port),
    token: /token=([0-9a-f]+)/.exec(url.hash)?.[1],
    output: () => out,
    errors: () => err,
    async stop() {
      if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
      return exited;
    },
  };
}

export async function launchBrowser() {
  const userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'varn-chromium-'));
  const context = await chromium.launchPersistentContext(userDataDir, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1100, height: 720 },
    args: [
      '--no-sandbox',
      '--disable-gpu',
      '--disable-quic',
      '--no-first-run',
      '--disable-background-networking',
      '--disable-component-update',
      '--disable-sync',
      '--autoplay-policy=no-user-gesture-required',
    ],
  });
  return {
    context,
    async close() {
      await context.close();
      fs.rmSync(userDataDir, { recursive: true, force: true });
    },
  };
}

export const ARTIFACTS = path.resolve('artifacts');
export async function screenshot(page, name) {
  fs.mkdirSync(ARTIFACTS, { recursive: true });
  await page.screenshot({ path: path.join(ARTIFACTS, `${name}.png`) });
}

// Opens the console's page and waits until the list shows `rows` rows.
export async function openConsole(context, c, rows) {
  const page = context.pages()[0] ?? (await context.newPage());
  await page.goto(c.address);
  await page.waitForSelector('#window:not([hidden])');
  if (rows !== undefined) {
    await page
      .locator('#list .list-row')
      .nth(rows - 1)
      .waitFor();
  }
  await closeSplash(page);
  return page;
}

// The splash closes by itself after a moment and at once on a click. A slow machine may
// close it between the look and the click, so the click gives up quickly: either way it is
// gone when this resolves.
export async function closeSplash(page) {
  const splash = page.locator('#splash');
  if (await splash.isVisible()) await splash.click({ timeout: 3000 }).catch(() => {});
  await splash.waitFor({ state: 'hidden' });
}

// Appends a check result line to both daily logs, as an agent does (at `d`, into that
// day's files).
export async function appendDisplayLine(dir, code, name, text, d = new Date()) {
  const p = (n, w = 2) => String(n).padStart(w, '0');
  const day = `${p(d.getFullYear(), 4)}${p(d.getMonth() + 1)}${p(d.getDate())}`;
  const hour = d.getHours();
  const time = `${p(hour % 12)}:${p(d.getMinutes())}${hour >= 12 ? 'pm' : 'am'}`;
  const head = `${code.padStart(5, '0')} ${day.slice(0, 4)}/${day.slice(4, 6)}/${day.slice(6)}  ${time}  `;
  const line = (field) => `${head}${field.padEnd(65, ' ').slice(0, 65)} ${text}\r\n`;
  fs.mkdirSync(path.join(dir, 'Log', 'Disp'), { recursive: true });
  fs.appendFileSync(path.join(dir, 'Log', `${day}.log`), line(name), 'latin1');
  fs.appendFileSync(path.join(dir, 'Log', 'Disp', `${day}.log`), line(hexKey(name)), 'latin1');
}

// WCAG relative luminance and contrast of computed colours ("rgb(...)" or "rgba(...)"; an
// alpha below 1 is laid over `under`, white unless given).
function channels(colour) {
  const [r, g, b, a = 1] = colour.match(/[\d.]+/g).map(Number);
  return { r, g, b, a };
}
export function over(colour, under = 'rgb(255, 255, 255)') {
  const top = channels(colour);
  const low = channels(under);
  const mix = (x, y) => Math.round(x * top.a + y * (1 - top.a));
  return `rgb(${mix(top.r, low.r)}, ${mix(top.g, low.g)}, ${mix(top.b, low.b)})`;
}
export function luminance(colour) {
  const { r, g, b } = channels(colour);
  const [R, G, B] = [r, g, b].map((v) => {
    const s = v / 255;
    return s <= 0.03928 ? s / 12.92 : ((s + 0.055) / 1.055) ** 2.4;
  });
  return 0.2126 * R + 0.7152 * G + 0.0722 * B;
}
export function contrast(a, b) {
  const [x, y] = [luminance(a), luminance(b)].sort((m, n) => n - m);
  return (x + 0.05) / (y + 0.05);
}

// The texts of a dialog as the eye meets them: every control and every element with text of
// its own, with its colour and the backgrounds behind it (the layers up to the first opaque
// one; a gradient counts with each of its colours). `skipDisabled` leaves out disabled
// controls and their labels. Returns the texts whose contrast is below `least`.
export async function poorContrast(dialog, { least = 4.5, skipDisabled = false } = {}) {
  const samples = await dialog.evaluate((root, skip) => {
    const out = [];
    const transparent = (c) => /rgba\(.*,\s*0\)$/.test(c) || c === 'transparent';
    const backs = (start) => {
      const layers = [];
      for (let el = start; el; el = el.parentElement) {
        const style = getComputedStyle(el);
        const stops = style.backgroundImage.match(/rgba?\([^)]*\)/g);
        if (stops) return { layers, base: stops };
        if (!transparent(style.backgroundColor)) {
          if (!/rgba/.test(style.backgroundColor)) return { layers, base: [style.backgroundColor] };
          layers.push(style.backgroundColor);
        }
      }
      return { layers, base: ['rgb(255, 255, 255)'] };
    };
    const disabled = (el) =>
      el.matches(':disabled') || (el.tagName === 'LABEL' && el.control?.disabled);
    const add = (el, what, colour, bg = backs(el)) => out.push({ what, colour, ...bg });
    const name = (el) =>
      `${el.tagName.toLowerCase()}${el.id ? `#${el.id}` : ''} "${(el.textContent || el.value || el.placeholder || '').trim().slice(0, 30)}"`;
    for (const el of root.querySelectorAll('*')) {
      if (!el.checkVisibility()) continue;
      if (skip && disabled(el)) continue;
      const style = getComputedStyle(el);
      const control = el.matches(
        'input:not([type=checkbox]):not([type=radio]), select, textarea, button',
      );
      const ownText = [...el.childNodes].some(
        (n) => n.nodeType === Node.TEXT_NODE && n.textContent.trim(),
      );
      if (control || ownText) add(el, name(el), style.color);
      if (el.matches('input[placeholder]:placeholder-shown:not([placeholder=""])')) {
        add(el, `placeholder of ${name(el)}`, getComputedStyle(el, '::placeholder').color);
      }
      if (el.matches('input[type=file]')) {
        const button = getComputedStyle(el, '::file-selector-button');
        const own = button.backgroundColor;
        add(
          el,
          `button of ${name(el)}`,
          button.color,
          transparent(own) ? backs(el) : { layers: [], base: [own] },
        );
      }
    }
    return out;
  }, skipDisabled);
  const poor = [];
  for (const s of samples) {
    for (const base of s.base) {
      const back = s.layers.reduceRight((under, layer) => over(layer, under), over(base));
      const ratio = contrast(over(s.colour, back), back);
      if (ratio < least) poor.push(`${s.what}: ${s.colour} on ${back} = ${ratio.toFixed(2)}`);
    }
  }
  return poor;
}

// The controls of a dialog that cannot be reached: scrolled into view, a control must lie
// wholly inside the viewport with nothing over its centre, and the page itself must not
// have scrolled (it cannot, for a finger). One line per control that fails.
export async function unreachableControls(dialog) {
  return dialog.evaluate((root) => {
    const out = [];
    for (const el of root.querySelectorAll('button, input, select, textarea')) {
      if (!el.checkVisibility()) continue;
      el.scrollIntoView({ block: 'nearest', inline: 'nearest' });
      const r = el.getBoundingClientRect();
      const hit = document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2);
      const inside =
        r.left >= 0 && r.top >= 0 && r.right <= innerWidth + 0.5 && r.bottom <= innerHeight + 0.5;
      const free =
        hit === el || el.contains(hit) || (hit?.tagName === 'LABEL' && hit.control === el);
      if (inside && free && window.scrollX === 0 && window.scrollY === 0) continue;
      out.push(
        `${el.tagName.toLowerCase()} "${(el.textContent || el.id).trim().slice(0, 30)}" at ` +
          `${Math.round(r.left)},${Math.round(r.top)}-${Math.round(r.right)},${Math.round(r.bottom)}, ` +
          `covered by ${hit?.tagName.toLowerCase()}.${hit?.className}`,
      );
    }
    return out;
  });
}

// Opens every dialog of the page in turn, with the sub-dialogs of Setup, of an account
// dialog and of Edit/Delete and a message box, hands each to `visit(title, dialog)` while
// it is the top one, and closes it with its own Close, Cancel or No button (a real click,
// which also shows the button can be reached). Resolves with the titles visited.
export async function forEachDialog(page, visit) {
  const layer = page.locator('#modal-layer > .dialog');
  const titles = [];
  const command = (id) =>
    page.evaluate((cmd) => document.querySelector(`.menu-item[data-cmd="${cmd}"]`).click(), id);
  const pressIn = (d, name) =>
    d.getByRole('button', { name, exact: true }).click({ timeout: 3000 });
  const one = async (depth, open, closeName, inner) => {
    await open();
    const d = layer.nth(depth);
    await d.waitFor();
    const title =
      (await d.getAttribute('aria-label')) ?? (await d.locator('.dialog-title').textContent());
    titles.push(title);
    await visit(title, d);
    if (inner) await inner(d);
    await pressIn(d.locator('.dialog-buttons'), closeName);
    await waitFor(async () => (await layer.count()) === depth, 5000);
  };
  const sub = (parent, opener, closeName, prepare) =>
    one(
      1,
      async () => {
        if (prepare) await prepare(parent);
        await pressIn(parent, opener);
      },
      closeName,
    );
  await one(
    0,
    () => command(1149),
    'Cancel',
    async (d) => {
      await sub(d, 'Configure Notification Message', 'Cancel');
      await sub(d, 'Configure Online Message', 'Cancel');
    },
  );
  await one(
    0,
    () => command(1076),
    'Close',
    async (d) => {
      await sub(d, 'Setting', 'Cancel');
      await sub(d, 'Configure Message', 'Cancel', (p) =>
        p.getByLabel('Use Default Message', { exact: true }).uncheck(),
      );
      await sub(d, 'Configure', 'Cancel', (p) =>
        p.getByLabel('Use Default Message (online)', { exact: true }).uncheck(),
      );
    },
  );
  for (const id of [1091, 1065, 1077]) await one(0, () => command(id), 'Close');
  await one(
    0,
    () => command(1081),
    'Close',
    async (d) => {
      await d.locator('.ed-row[data-key]').first().waitFor();
      await sub(d, 'Edit', 'Close');
      await sub(d, 'Delete', 'No');
    },
  );
  await one(0, () => command(1083), 'Close');
  await one(0, () => command(1412), 'Close');
  await one(0, () => command(1287), 'Cancel');
  await one(0, () => command(1269), 'Cancel');
  await one(0, () => command(1265), 'Cancel');
  await one(0, () => command(1017), 'No');
  return titles;
}
