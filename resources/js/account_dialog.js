// The add and edit dialogs of the four account types, the custom port sub-dialog and the
// per-account message editors. The console checks the form and decides; the page only
// shows its answer and keeps every typed value when the form is refused.
import { act } from './api.js';
import { messageBox } from './dialogs.js';
import { Form, button, el, openDialog } from './form.js';
import { editTemplates } from './message_editor.js';
import { t } from './messages.js';

let open = false;

const notMsg = (key) => (v) => !v[key];

function spec(type, dialog) {
  const server = type === 0;
  const http = type === 1;
  const ftp = type === 2;
  const email = type === 3;
  const items = [
    { id: 'name', kind: 'text', label: 'lblServerName', max: 31 },
    { id: 'domain', kind: 'text', label: http ? 'lblPageUrl' : email ? 'lblSmtpServer' : 'lblDomain', max: http ? 255 : 64, wide: http },
  ];
  if (email) items.push({ id: 'popServer', kind: 'text', label: 'lblPopServer', max: 64 });
  if (http) {
    items.push({ id: 'httpTimeout', kind: 'text', label: 'lblTimeOut', max: 5, digits: true, suffix: 'lblSeconds' });
    items.push({ id: 'checkLinks', kind: 'check', label: 'lblScanLinks' });
  }
  if (email) items.push({ id: 'emailTimeout', kind: 'text', label: 'lblTimeOut', max: 5, digits: true, suffix: 'lblSeconds' });
  if (server) {
    items.push({ kind: 'group', label: 'grpChecks', class: 'checks', items: [
      { id: 'ping', kind: 'check', label: 'lblPing' },
      { id: 'http', kind: 'check', label: 'lblHttpPort' },
      { id: 'ftp', kind: 'check', label: 'lblFtpPort' },
      { id: 'smtp', kind: 'check', label: 'lblSmtpPort' },
      { id: 'pop', kind: 'check', label: 'lblPopPort' },
      { kind: 'row', items: [
        { id: 'custom', kind: 'check', label: 'lblCustomPort' },
        { id: 'customSetting', kind: 'button', label: 'btnSetting', onClick: () => dialog.editCustom() },
      ] },
    ] });
  }
  if (ftp) {
    items.push({ id: 'ftpUser', kind: 'text', label: 'lblFtpAccount', max: 64 });
    items.push({ id: 'ftpPassword', kind: 'password', label: 'lblFtpPassword', max: 15 });
    items.push({ id: 'remoteDir', kind: 'text', label: 'lblDestDir', max: 259, wide: true });
  }
  if (email) {
    items.push({ id: 'testRecipient', kind: 'text', label: 'lblSendTestTo', max: 149, wide: true });
    items.push({ id: 'smtpAuth', kind: 'check', label: 'lblSmtpAuth' });
    items.push({ id: 'smtpUser', kind: 'text', label: 'lblSmtpId', max: 64, enabledIf: (v) => v.smtpAuth });
    items.push({ id: 'smtpPassword', kind: 'password', label: 'lblSmtpPassword', max: 15, enabledIf: (v) => v.smtpAuth });
    items.push({ id: 'popUser', kind: 'text', label: 'lblPopId', max: 64 });
    items.push({ id: 'popPassword', kind: 'password', label: 'lblPopPassword', max: 15 });
  }
  items.push({ kind: 'group', label: 'grpMail', items: [
    { kind: 'row', items: [
      { id: 'useDefaultMessage', kind: 'check', label: 'lblUseDefaultMessage' },
      { id: 'configureMessage', kind: 'button', label: 'btnConfigureMessage', enabledIf: notMsg('useDefaultMessage'), onClick: () => dialog.editMail() },
    ] },
    { id: 'defaultEmail', kind: 'check', label: 'lblDefaultEmail' },
    { id: 'additionalEmails', kind: 'check', label: 'lblAdditionalEmails' },
    { id: 'additionalEmailsText', kind: 'textarea', label: 'lblAdditionalEmailsText', rows: 2, max: 32000, enabledIf: (v) => v.additionalEmails },
  ] });
  items.push({ kind: 'group', label: 'grpOnline', items: [
    { kind: 'row', items: [
      { id: 'useDefaultOnline', kind: 'check', label: 'lblUseDefaultOnline' },
      { id: 'configureOnline', kind: 'button', label: 'btnConfigure', enabledIf: notMsg('useDefaultOnline'), onClick: () => dialog.editOnline() },
    ] },
    { id: 'defaultDest', kind: 'check', label: 'lblDefaultDest' },
    { id: 'additionalDest', kind: 'check', label: 'lblAdditionalDest' },
    { id: 'additionalDestText', kind: 'textarea', label: 'lblAdditionalDestText', rows: 2, max: 32000, enabledIf: (v) => v.additionalDest },
  ] });
  items.push({ kind: 'group', label: 'grpStatus', class: 'status', items: [{ kind: 'row', items: [
    { id: 'enable', kind: 'radio', name: 'state', value: 'enable', label: 'lblEnable' },
    { id: 'disable', kind: 'radio', name: 'state', value: 'disable', label: 'lblDisable' },
  ] }] });
  return items;
}

function toFormValues(form) {
  return { ...form, state: form.enabled ? 'enable' : 'disable' };
}

class AccountDialog {
  constructor(type, form, originalKey, onChange, revision = '') {
    this.type = type;
    this.originalKey = originalKey;
    // The state of the record the dialog was loaded from: the console refuses the save
    // when another client changed or deleted the account meanwhile.
    this.revision = revision;
    this.onChange = onChange;
    this.extra = {};
    this.editing = Boolean(originalKey);
    const title = this.editing ? t('titleEdit') : t(`titleAdd${type}`);
    this.d = openDialog(title, { width: 560, className: 'account-dialog' });
    this.form = new Form(spec(type, this), {});
    this.d.body.append(this.form.root);
    this.d.buttons.append(
      button(this.editing ? 'btnSave' : 'btnAdd', () => this.submit(), { class: 'default' }),
      button('btnClose', () => this.finish()),
    );
    this.load(form);
    this.d.dialog.addEventListener('keydown', (event) => {
      if (event.key === 'Escape' && this.d.dialog === document.querySelector('#modal-layer .dialog:last-child')) this.finish();
    });
    this.form.input('name').focus();
    this.closed = new Promise((resolve) => { this.resolveClosed = resolve; });
  }

  // What the sub-dialogs hand back travels with the dialog.
  load(form) {
    this.extra = {
      customRows: form.customRows,
      mailTemplates: form.mailTemplates,
      onlineTemplates: form.onlineTemplates,
    };
    this.form.set(toFormValues(form));
  }

  values() {
    const v = this.form.get();
    const out = { ...v, type: this.type, enabled: v.state !== 'disable', ...this.extra };
    delete out.state;
    return out;
  }

  async submit() {
    let answer;
    try {
      answer = await act('account-save', { form: this.values(), originalKey: this.originalKey, revision: this.revision });
    } catch {
      answer = { ok: false };  // refused before it reached the console (too large, say)
    }
    if (!answer.ok) {
      await messageBox(answer.message ?? t('msgBadRequest'), { icon: '\u2715' });
      return;
    }
    await this.onChange();
    if (this.editing) return this.finish();
    // Add keeps the dialog open with a new form.
    const fresh = await act('account-new', { type: this.type });
    this.load(fresh.form);
    this.form.input('name').focus();
  }

  finish() {
    this.d.close();
    open = false;
    this.resolveClosed();
  }

  async editCustom() {
    const rows = this.extra.customRows ?? [];
    const d = openDialog(t('titleCustom'), { width: 460, className: 'custom-dialog' });
    const spec5 = [];
    for (let i = 0; i < 5; i++) {
      spec5.push({ kind: 'row', items: [
        { id: `name${i}`, kind: 'text', label: 'lblServiceName', labelText: t('lblServiceName', i + 1), max: 64 },
        { id: `port${i}`, kind: 'text', label: 'lblPort', labelText: `${t('lblPort').replace(/:$/, '')} ${i + 1}:`, max: 5, digits: true },
      ] });
    }
    const values = {};
    rows.forEach((r, i) => { values[`name${i}`] = r.name; values[`port${i}`] = r.port; });
    const form = new Form(spec5, values);
    d.body.append(form.root);
    d.buttons.append(
      button('ok', async () => {
        const v = form.get();
        const next = [0, 1, 2, 3, 4].map((i) => ({ name: v[`name${i}`], port: v[`port${i}`] }));
        const answer = await act('custom-check', { customRows: next });
        if (!answer.ok) {
          await messageBox(answer.message, { icon: '\u2715' });
          return;
        }
        this.extra.customRows = next;
        d.close();
      }),
      button('btnCancel', () => d.close()),
    );
    form.input('name0').focus();
  }

  async editMail() {
    const texts = await editTemplates({ kind: 'mail', global: false, texts: this.extra.mailTemplates });
    if (texts) this.extra.mailTemplates = texts;
  }

  async editOnline() {
    const texts = await editTemplates({ kind: 'online', global: false, texts: this.extra.onlineTemplates });
    if (texts) this.extra.onlineTemplates = texts;
  }
}

// Opens the add dialog of a type. At most one account dialog is open at a time.
export async function openAddDialog(type, onChange) {
  if (open) return;
  const answer = await act('account-new', { type });
  if (!answer.ok) return;
  open = true;
  await new AccountDialog(type, answer.form, '', onChange).closed;
}

// Opens the edit dialog of the account `key`; a damaged account only gets its message.
export async function openEditDialog(key, onChange) {
  if (open) return;
  const answer = await act('account-load', { key });
  if (!answer.ok) {
    if (answer.damaged) await messageBox(answer.message ?? t('damaged'));
    return;
  }
  open = true;
  await new AccountDialog(answer.form.type, answer.form, key, onChange, answer.revision).closed;
}
