// Every text of the page comes from the two message tables: both hold the same keys, and
// every key the page asks for by name is in both.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';

const resources = path.resolve('../../resources');
const table = (name) =>
  JSON.parse(fs.readFileSync(path.join(resources, 'messages', `${name}.json`), 'utf8'));
const en = table('en');
const ja = table('ja');

// Texts that read the same in both languages: product names, group and protocol names, "OK".
const SAME = new Set([
  'appTitle',
  'caption',
  'groupPING',
  'groupPORT',
  'groupHTTP',
  'groupFTP',
  'groupEMAIL',
  'ok',
  'lblPing',
  'lblHttpPort',
  'lblFtpPort',
  'lblSmtpPort',
  'lblPopPort',
  'lblSmtpId',
  'lblPopId',
  'lblPrimaryId',
]);

test('the English and Japanese tables hold the same keys, none left untranslated', () => {
  assert.deepEqual(
    Object.keys(ja).filter((k) => !(k in en)),
    [],
    'only in Japanese',
  );
  assert.deepEqual(
    Object.keys(en).filter((k) => !(k in ja)),
    [],
    'only in English',
  );
  for (const [key, text] of Object.entries(en)) {
    assert.equal(typeof text, 'string', key);
    assert.ok(text.length > 0 && ja[key].length > 0, `${key} is empty`);
    if (!SAME.has(key) && /[A-Za-z]{3}/.test(text))
      assert.notEqual(ja[key], text, `${key} is not translated`);
    // The same placeholders in the same order, so t() fills both alike.
    assert.deepEqual(
      ja[key].match(/%[sd]/g) ?? [],
      text.match(/%[sd]/g) ?? [],
      `${key} placeholders`,
    );
  }
});

test('every key the page names is in both tables', () => {
  const used = new Set();
  const js = fs
    .readdirSync(path.join(resources, 'js'))
    .filter((f) => f.endsWith('.js'))
    .map((f) => fs.readFileSync(path.join(resources, 'js', f), 'utf8'));
  for (const source of js) {
    for (const m of source.matchAll(/(?<![\w.$])t\(\s*'([A-Za-z0-9_]+)'/g)) used.add(m[1]);
  }
  const html = fs.readFileSync(path.join(resources, 'index.html'), 'utf8');
  for (const m of html.matchAll(/data-msg="([A-Za-z0-9_]+)"/g)) used.add(m[1]);
  assert.ok(used.size > 20, `only ${used.size} keys found: the patterns no longer match the page`);
  const missing = [...used].filter((k) => !(k in en) || !(k in ja));
  assert.deepEqual(missing, []);
});

test('the page itself carries no English text outside the tables', () => {
  const html = fs.readFileSync(path.join(resources, 'index.html'), 'utf8');
  // Text between tags, apart from the product name and version on the splash card.
  const texts = [...html.replace(/<(script|style)[\s\S]*?<\/\1>/g, '').matchAll(/>([^<>]+)</g)]
    .map((m) => m[1].trim())
    .filter(Boolean)
    .filter((s) => !/^(KT\.Varnock( 2\.0)?|2\.0|May 2002|Build 2\.0\.8)$/.test(s));
  assert.deepEqual(texts, []);
});
