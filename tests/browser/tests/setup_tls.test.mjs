// Setup's alert mail transport in the browser, in English and in Japanese: the port follows
// the security choice, a bad port is refused with its message and nothing written, and
// STARTTLS on 587 reaches Varnock.ini as MAILSECURITY and MAILPORT (nothing else added).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import * as h from '../lib/console.mjs';

let browser;
before(async () => {
  browser = await h.launchBrowser();
});
after(async () => {
  await browser?.close();
});

const LANGUAGES = [
  {
    name: 'en',
    lang: 'en_US.UTF-8',
    title: 'Setup',
    security: 'Security:',
    port: 'Port:',
    ok: 'OK',
    altSecurity: 'Alternate Security:',
    none: 'None',
    portBad: 'Primary SMTP port is incorrect. Please enter a port from 1 to 65535.',
  },
  {
    name: 'ja',
    lang: 'ja_JP.UTF-8',
    title: '設定',
    security: 'セキュリティ:',
    port: 'ポート:',
    ok: 'OK',
    altSecurity: '代替セキュリティ:',
    none: 'なし',
    portBad: 'プライマリSMTPのポートが正しくありません。1から65535のポートを入力してください。',
  },
];

for (const l of LANGUAGES) {
  test(`Setup in ${l.name}: STARTTLS on port 587 is stored, a bad port refused`, async () => {
    const dir = h.newProgramDir();
    h.applySetup(dir, {
      mailServer: 'mail.example.org',
      to: 'ops@example.org',
      interval: 0,
      accounts: [],
    });
    const c = await h.startConsole(dir, {
      agents: h.makeAgents(),
      env: { LANG: l.lang, LC_ALL: '', LC_MESSAGES: '' },
    });
    const page = await browser.context.newPage();
    try {
      await page.goto(c.address);
      await page.locator('#window:not([hidden])').waitFor();
      if (await page.locator('#splash').isVisible()) await page.locator('#splash').click();
      const open = async () => {
        await page.evaluate(() => document.querySelector('.menu-item[data-cmd="1149"]').click());
        const d = page.locator(`#modal-layer .dialog[role="dialog"][aria-label="${l.title}"]`);
        await d.waitFor();
        return d;
      };
      let setup = await open();
      const security = setup.getByLabel(l.security, { exact: true });
      const port = setup.getByLabel(l.port, { exact: true });
      assert.equal(await port.inputValue(), '25');
      const alt = setup.getByLabel(l.altSecurity, { exact: true });
      assert.equal(await alt.inputValue(), 'none');
      assert.equal(await alt.evaluate((s) => s.selectedOptions[0].textContent), l.none);
      // The default port follows the choice; a typed port stays.
      for (const [choice, shown] of [
        ['TLS', '465'],
        ['STARTTLS', '25'],
      ]) {
        await security.selectOption({ label: choice });
        assert.equal(await port.inputValue(), shown, choice);
      }
      await setup.getByLabel(/^(From Address:|差出人アドレス:)$/).fill('varnock@example.org');
      await port.fill('0');
      await setup.getByRole('button', { name: l.ok, exact: true }).click();
      const box = page.locator('.dialog[role="alertdialog"]');
      assert.equal(await box.locator('.dialog-text').textContent(), l.portBad);
      await box.getByRole('button').click();
      assert.equal(h.iniValue(dir, 'MAILSECURITY'), undefined, 'nothing written');
      await port.fill('587');
      await setup.getByRole('button', { name: l.ok, exact: true }).click();
      await setup.waitFor({ state: 'detached' });
      assert.equal(h.iniValue(dir, 'MAILPORT'), '587');
      assert.equal(h.iniValue(dir, 'MAILSECURITY'), 'starttls');
      for (const key of ['ALTMAILPORT', 'ALTMAILSECURITY', 'MAILVERIFY', 'TLSCAFILE']) {
        assert.equal(h.iniValue(dir, key), undefined, key);
      }
      // Opened again, the dialog shows what was stored.
      setup = await open();
      assert.equal(await setup.getByLabel(l.security, { exact: true }).inputValue(), 'starttls');
      assert.equal(await setup.getByLabel(l.port, { exact: true }).inputValue(), '587');
      if (l.name === 'en') {
        for (const [scheme, width] of [
          ['light', 1100],
          ['dark', 1100],
          ['light', 390],
        ]) {
          await page.emulateMedia({ colorScheme: scheme });
          await page.setViewportSize({ width, height: 900 });
          await h.screenshot(page, `setup-tls-${scheme}-${width}`);
        }
      } else {
        await h.screenshot(page, 'setup-tls-ja');
      }
    } finally {
      await page.close();
      const end = await c.stop();
      assert.equal(end.code, 0, c.errors());
      assert.doesNotMatch(c.errors(), /Sanitizer/);
    }
  });
}
