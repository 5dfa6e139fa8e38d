// The add and edit dialogs of the four account types, with their sub-dialogs (custom ports,
// the per-account message editors). The console checks the form and decides; the page only
// shows its answer and keeps every typed value when the form is refused.
import { act } from '../api.js';
import { messageBox, oneOpen, openModal } from '../modal.js';
import { editCustomPorts } from './custom_ports.js';
import { editTemplates } from './message_editor.js';
import { t } from '../messages.js';

const notMsg = (key) => (v) => !v[key];

// The ports an empty port field stands for (the console stores these when left empty).
function defaultPorts(type, v) {
  const implicit = v.secure && v.tlsMode === 'implicit';
  if (type === 1) return { port: v.secure ? 443 : 80 };
  if (type === 2) return { port: implicit ? 990 : 21 };
  // The POP3 side follows the TLS mode unless it has one of its own.
  const popImplicit = v.secure && (v.popTlsMode || v.tlsMode) === 'implicit';
  return { port: implicit ? 465 : 25, popPort: popImplicit ? 995 : 110 };
}

// The "Secure connection" group of the page, FTP and e-mail dialogs; server accounts have
// none. An HTTP Page Check's URL may name https:// and a port itself, which then win.
function secureGroup(type, max) {
  const on = (v) => v.secure;
  const items = [
    {
      id: 'secure',
      kind: 'check',
      label: ['', 'lblSecurePage', 'lblSecureFtp', 'lblSecureMail'][type],
    },
  ];
  if (type !== 1) {
    items.push({
      id: 'tlsMode',
      kind: 'select',
      label: 'lblAcctTlsMode',
      enabledIf: on,
      options: [
        ['starttls', t('optStartTls')],
        ['implicit', t('optImplicit')],
      ],
    });
  }
  if (type === 3) {
    items.push({
      id: 'popTlsMode',
      kind: 'select',
      label: 'lblAcctPopTlsMode',
      enabledIf: on,
      options: [
        ['', t('optPopTlsAsSmtp')],
        ['starttls', t('optStartTls')],
        ['implicit', t('optImplicit')],
      ],
    });
  }
  items.push({
    kind: 'row',
    items: [
      {
        id: 'port',
        kind: 'text',
        label: type === 3 ? 'lblAcctSmtpPort' : 'lblAcctPort',
        max: max.port,
        digits: true,
      },
      ...(type === 3
        ? [{ id: 'popPort', kind: 'text', label: 'lblAcctPopPort', max: max.popPort, digits: true }]
        : []),
    ],
  });
  items.push({ id: 'verify', kind: 'check', label: 'lblVerify', enabledIf: on });
  items.push({
    id: 'certDays',
    kind: 'text',
    label: 'lblAcctCertDays',
    max: max.certDays,
    digits: true,
    suffix: 'lblDays',
    enabledIf: on,
  });
  return { kind: 'group', label: 'grpSecure', class: 'secure', items };
}

function spec(type, dialog) {
  const server = type === 0;
  const http = type === 1;
  const ftp = type === 2;
  const email = type === 3;
  // The byte limits of the controls come from the console with the form.
  const max = dialog.limits;
  const items = [
    { id: 'name', kind: 'text', label: 'lblServerName', max: max.name },
    {
      id: 'domain',
      kind: 'text',
      label: http ? 'lblPageUrl' : email ? 'lblSmtpServer' : 'lblDomain',
      max: max.domain,
      wide: http,
    },
  ];
  if (email)
    items.push({ id: 'popServer', kind: 'text', label: 'lblPopServer', max: max.popServer });
  if (http) {
    items.push({
      id: 'httpTimeout',
      kind: 'text',
      label: 'lblTimeOut',
      max: max.httpTimeout,
      digits: true,
      suffix: 'lblSeconds',
    });
    items.push({ id: 'checkLinks', kind: 'check', label: 'lblScanLinks' });
  }
  if (email)
    items.push({
      id: 'emailTimeout',
      kind: 'text',
      label: 'lblTimeOut',
      max: max.emailTimeout,
      digits: true,
      suffix: 'lblSeconds',
    });
  if (server) {
    items.push({
      kind: 'group',
      label: 'grpChecks',
      class: 'checks',
      items: [
        { id: 'ping', kind: 'check', label: 'lblPing' },
        { id: 'http', kind: 'check', label: 'lblHttpPort' },
        { id: 'ftp', kind: 'check', label: 'lblFtpPort' },
        { id: 'smtp', kind: 'check', label: 'lblSmtpPort' },
        { id: 'pop', kind: 'check', label: 'lblPopPort' },
        {
          kind: 'row',
          items: [
            { id: 'custom', kind: 'check', label: 'lblCustomPort' },
            {
              id: 'customSetting',
              kind: 'button',
              label: 'btnSetting',
              onClick: () => dialog.editCustom(),
            },
          ],
        },
      ],
    });
  }
  if (ftp) {
    items.push({ id: 'ftpUser', kind: 'text', label: 'lblFtpAccount', max: max.ftpUser });
    items.push({
      id: 'ftpPassword',
      kind: 'password',
      label: 'lblFtpPassword',
      max: max.ftpPassword,
    });
    items.push({
      id: 'remoteDir',
      kind: 'text',
      label: 'lblDestDir',
      max: max.remoteDir,
      wide: true,
    });
  }
  if (email) {
    items.push({
      id: 'testRecipient',
      kind: 'text',
      label: 'lblSendTestTo',
      max: max.testRecipient,
      wide: true,
    });
    items.push({ id: 'smtpAuth', kind: 'check', label: 'lblSmtpAuth' });
    items.push({
      id: 'smtpUser',
      kind: 'text',
      label: 'lblSmtpId',
      max: max.smtpUser,
      enabledIf: (v) => v.smtpAuth,
    });
    items.push({
      id: 'smtpPassword',
      kind: 'password',
      label: 'lblSmtpPassword',
      max: max.smtpPassword,
      enabledIf: (v) => v.smtpAuth,
    });
    items.push({ id: 'popUser', kind: 'text', label: 'lblPopId', max: max.popUser });
    items.push({
      id: 'popPassword',
      kind: 'password',
      label: 'lblPopPassword',
      max: max.popPassword,
    });
  }
  if (!server) items.push(secureGroup(type, max));
  // Alerts of an account behind a parent wait while the parent is down.
  items.push({ id: 'parent', kind: 'text', label: 'lblAcctParent', max: max.parent });
  items.push({
    kind: 'group',
    label: 'grpMail',
    items: [
      {
        kind: 'row',
        items: [
          { id: 'useDefaultMessage', kind: 'check', label: 'lblUseDefaultMessage' },
          {
            id: 'configureMessage',
            kind: 'button',
            label: 'btnConfigureMessage',
            enabledIf: notMsg('useDefaultMessage'),
            onClick: () => dialog.editMail(),
          },
        ],
      },
      { id: 'defaultEmail', kind: 'check', label: 'lblDefaultEmail' },
      { id: 'additionalEmails', kind: 'check', label: 'lblAdditionalEmails' },
      {
        id: 'additionalEmailsText',
        kind: 'textarea',
        label: 'lblAdditionalEmailsText',
        rows: 2,
        max: max.additionalEmailsText,
        enabledIf: (v) => v.additionalEmails,
      },
    ],
  });
  items.push({
    kind: 'group',
    label: 'grpOnline',
    items: [
      {
        kind: 'row',
        items: [
          { id: 'useDefaultOnline', kind: 'check', label: 'lblUseDefaultOnline' },
          {
            id: 'configureOnline',
            kind: 'button',
            label: 'btnConfigure',
            enabledIf: notMsg('useDefaultOnline'),
            onClick: () => dialog.editOnline(),
          },
        ],
      },
      { id: 'defaultDest', kind: 'check', label: 'lblDefaultDest' },
      { id: 'additionalDest', kind: 'check', label: 'lblAdditionalDest' },
      {
        id: 'additionalDestText',
        kind: 'textarea',
        label: 'lblAdditionalDestText',
        rows: 2,
        max: max.additionalDestText,
        enabledIf: (v) => v.additionalDest,
      },
    ],
  });
  items.push({
    kind: 'group',
    label: 'grpStatus',
    class: 'status',
    items: [
      {
        kind: 'row',
        items: [
          { id: 'enable', kind: 'radio', name: 'state', value: 'enable', label: 'lblEnable' },
          { id: 'disable', kind: 'radio', name: 'state', value: 'disable', label: 'lblDisable' },
        ],
      },
    ],
  });
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
    this.limits = form.limits ?? {};
    const title = this.editing ? t('titleEdit') : t(`titleAdd${type}`);
    this.d = openModal({
      title,
      width: 560,
      className: 'account-dialog',
      spec: spec(type, this),
      buttons: [
        { label: this.editing ? 'btnSave' : 'btnAdd', submit: true, default: true },
        { label: 'btnClose', cancel: true },
      ],
      submit: {
        send: () =>
          act('account-save', {
            form: this.values(),
            originalKey: this.originalKey,
            revision: this.revision,
          }),
        accepted: () => this.accepted(),
      },
    });
    this.form = this.d.form;
    if (type !== 0) {
      this.form.root.addEventListener('change', (e) => this.showDefaultPorts(e.target));
      this.form.root.addEventListener('input', (e) => this.showDefaultPorts(e.target));
    }
    this.load(form);
    this.form.input('name').focus();
  }

  // What the sub-dialogs hand back travels with the dialog.
  load(form) {
    this.extra = {
      customRows: form.customRows,
      mailTemplates: form.mailTemplates,
      onlineTemplates: form.onlineTemplates,
    };
    this.form.set(toFormValues(form));
    this.showDefaultPorts();
  }

  // An empty port field shows the port it stands for. A page URL's scheme and the HTTPS
  // box follow each other: the box rewrites a scheme typed, a scheme typed sets the box.
  showDefaultPorts(changed) {
    if (this.type === 0) return;
    const v = this.values();
    if (this.type === 1) {
      const box = this.form.input('secure');
      const url = this.form.input('domain');
      const scheme = /^(https?):\/\//i.exec(url.value);
      if (scheme && changed === box) {
        url.value = (box.checked ? 'https://' : 'http://') + url.value.slice(scheme[0].length);
      } else if (scheme && box.checked !== (scheme[1].toLowerCase() === 'https')) {
        box.checked = !box.checked;
        this.form.refresh();
      }
      v.secure = box.checked;
    }
    for (const [id, port] of Object.entries(defaultPorts(this.type, v))) {
      const input = this.form.input(id);
      if (input) input.placeholder = String(port);
    }
  }

  values() {
    const v = this.form.get();
    if (this.type !== 0 && this.type !== 1) v.tlsMode = this.form.input('tlsMode').value;
    if (this.type === 3) v.popTlsMode = this.form.input('popTlsMode').value;
    const out = { ...v, type: this.type, enabled: v.state !== 'disable', ...this.extra };
    delete out.state;
    return out;
  }

  async accepted() {
    await this.onChange();
    if (this.editing) return this.d.close();
    // Add keeps the dialog open with a new form.
    const fresh = await act('account-new', { type: this.type });
    this.load(fresh.form);
    this.form.input('name').focus();
  }

  async editCustom() {
    const rows = await editCustomPorts(this.extra.customRows ?? [], this.limits);
    if (rows) this.extra.customRows = rows;
  }

  async editMail() {
    const texts = await editTemplates({
      kind: 'mail',
      global: false,
      texts: this.extra.mailTemplates,
    });
    if (texts) this.extra.mailTemplates = texts;
  }

  async editOnline() {
    const texts = await editTemplates({
      kind: 'online',
      global: false,
      texts: this.extra.onlineTemplates,
    });
    if (texts) this.extra.onlineTemplates = texts;
  }
}

// Opens the add dialog of a type. At most one account dialog is open at a time.
export function openAddDialog(type, onChange) {
  return oneOpen('account', async () => {
    const answer = await act('account-new', { type });
    if (!answer.ok) return;
    await new AccountDialog(type, answer.form, '', onChange).d.closed;
  });
}

// Opens the edit dialog of the account `key`; a damaged account only gets its message.
export function openEditDialog(key, onChange) {
  return oneOpen('account', async () => {
    const answer = await act('account-load', { key });
    if (!answer.ok) {
      if (answer.damaged) await messageBox(answer.message ?? t('damaged'));
      return;
    }
    await new AccountDialog(answer.form.type, answer.form, key, onChange, answer.revision).d.closed;
  });
}
