// "Setup": the alert mail servers, From and To, net-send destinations, the local alarm, the
// scan intervals and the log options, with the two global template editors. The console
// runs the checks of "OK" in their order and writes the settings only when all pass.
import { act, upload, waveUrl } from '../api.js';
import { sound } from '../alarm.js';
import { el } from '../form.js';
import { oneOpen, openModal, refuse } from '../modal.js';
import { editTemplates } from './message_editor.js';
import { t } from '../messages.js';
import { scanGroups } from '../facts.js';

// The console's scan groups: their names in the order of the interval boxes, and the groups in
// the order of the log switches (their order in the settings files).
const groupNames = () => scanGroups().map((g) => g.name);
const logOrder = () => [...scanGroups()].sort((a, b) => a.index - b.index);

// The 36 values of the interval and day lists, by position.
export function listValue(p) {
  return p < 5 ? p + 1 : (p + 1) * 5 - 20;
}
const OPTIONS = Array.from({ length: 36 }, (_, p) => [String(p), String(listValue(p))]);

// How the alert mail reaches each server; the port field follows the choice while it holds
// the default of the one before.
const SERVERS = ['primary', 'alternate'];
export function defaultMailPort(security) {
  return security === 'tls' ? 465 : 25;
}
function transportRow(server, labels) {
  return {
    kind: 'row',
    items: [
      {
        id: `${server}Security`,
        kind: 'select',
        label: labels[0],
        options: [
          ['none', t('optSecurityNone')],
          ['starttls', 'STARTTLS'],
          ['tls', 'TLS'],
        ],
      },
      { id: `${server}Port`, kind: 'text', label: labels[1], max: 5, digits: true },
    ],
  };
}

function spec(dialog, items) {
  const sound = (v) => v.soundAlarm;
  const wave = (v) => v.soundAlarm && v.soundKind === 'wave';
  return [
    {
      kind: 'group',
      label: 'grpPrimary',
      items: [
        { id: 'primaryServer', kind: 'text', label: 'lblOutgoing', max: 149, wide: true },
        transportRow('primary', ['lblPrimarySecurity', 'lblPrimaryPort']),
        { id: 'primaryAuth', kind: 'check', label: 'lblPrimaryAuth' },
        {
          kind: 'row',
          items: [
            {
              id: 'primaryUser',
              kind: 'text',
              label: 'lblPrimaryId',
              max: 64,
              enabledIf: (v) => v.primaryAuth,
            },
            {
              id: 'primaryPassword',
              kind: 'password',
              label: 'lblPrimaryPassword',
              max: 15,
              enabledIf: (v) => v.primaryAuth,
            },
          ],
        },
      ],
    },
    {
      kind: 'group',
      label: 'grpAlternate',
      items: [
        { id: 'alternateServer', kind: 'text', label: 'lblAltOutgoing', max: 149, wide: true },
        transportRow('alternate', ['lblAltSecurity', 'lblAltPort']),
        { id: 'alternateAuth', kind: 'check', label: 'lblAltAuth' },
        {
          kind: 'row',
          items: [
            {
              id: 'alternateUser',
              kind: 'text',
              label: 'lblAltId',
              max: 64,
              enabledIf: (v) => v.alternateAuth,
            },
            {
              id: 'alternatePassword',
              kind: 'password',
              label: 'lblAltPassword',
              max: 15,
              enabledIf: (v) => v.alternateAuth,
            },
          ],
        },
      ],
    },
    {
      kind: 'group',
      label: 'grpMailTls',
      items: [
        { id: 'mailVerify', kind: 'check', label: 'lblMailVerify' },
        {
          id: 'caFile',
          kind: 'text',
          label: 'lblCaFile',
          max: 1023,
          wide: true,
          enabledIf: (v) => v.mailVerify,
        },
      ],
    },
    { id: 'from', kind: 'text', label: 'lblFrom', max: 149, wide: true },
    { id: 'to', kind: 'textarea', label: 'lblTo', rows: 2, max: 32000 },
    { id: 'netSend', kind: 'textarea', label: 'lblNetSend', rows: 2, max: 32000 },
    {
      kind: 'row',
      items: [
        {
          id: 'configureNotification',
          kind: 'button',
          label: 'btnConfigureNotification',
          onClick: () => dialog.editGlobal('mail'),
        },
        {
          id: 'configureOnline',
          kind: 'button',
          label: 'btnConfigureOnline',
          onClick: () => dialog.editGlobal('online'),
        },
      ],
    },
    {
      kind: 'group',
      label: 'grpAlarm',
      items: [
        { id: 'soundAlarm', kind: 'check', label: 'lblSoundAlarm' },
        {
          kind: 'row',
          items: [
            {
              id: 'useBeep',
              kind: 'radio',
              name: 'soundKind',
              value: 'beep',
              label: 'lblUseBeep',
              enabledIf: sound,
            },
            {
              id: 'useWave',
              kind: 'radio',
              name: 'soundKind',
              value: 'wave',
              label: 'lblUseWave',
              enabledIf: sound,
            },
          ],
        },
        {
          kind: 'row',
          items: [
            { id: 'waveFile', kind: 'text', label: 'lblSoundFile', max: 259, enabledIf: wave },
            {
              id: 'browse',
              kind: 'button',
              label: 'btnBrowse',
              enabledIf: wave,
              onClick: () => dialog.browse(),
            },
            {
              id: 'soundTest',
              kind: 'button',
              label: 'btnSoundTest',
              enabledIf: sound,
              onClick: (form) => dialog.soundTest(form),
            },
          ],
        },
      ],
    },
    {
      kind: 'group',
      label: 'grpAlertGrouping',
      items: [
        { id: 'groupAlerts', kind: 'check', label: 'lblGroupAlerts' },
        {
          kind: 'row',
          items: [
            {
              id: 'groupCount',
              kind: 'text',
              label: 'lblGroupCount',
              max: 5,
              digits: true,
              enabledIf: (v) => v.groupAlerts,
            },
            {
              id: 'groupSeconds',
              kind: 'text',
              label: 'lblGroupSeconds',
              max: 4,
              digits: true,
              suffix: 'lblSeconds',
              enabledIf: (v) => v.groupAlerts,
            },
          ],
        },
        { id: 'flapWatch', kind: 'check', label: 'lblFlapWatch' },
        {
          kind: 'row',
          items: [
            {
              id: 'flapChanges',
              kind: 'text',
              label: 'lblFlapChanges',
              max: 4,
              digits: true,
              enabledIf: (v) => v.flapWatch,
            },
            {
              id: 'flapMinutes',
              kind: 'text',
              label: 'lblFlapMinutes',
              max: 4,
              digits: true,
              suffix: 'lblMin',
              enabledIf: (v) => v.flapWatch,
            },
          ],
        },
      ],
    },
    {
      kind: 'group',
      label: 'grpIntervals',
      class: 'intervals',
      items: groupNames().map((g) => ({
        kind: 'row',
        items: [
          {
            id: `interval${g}`,
            kind: 'select',
            label: 'lblInterval',
            labelText: t(`group${g}`),
            options: OPTIONS,
          },
          { kind: 'note', text: t('lblMin') },
          { kind: 'note', text: t('lblItems', items[g]) },
        ],
      })),
    },
    {
      kind: 'group',
      label: 'grpLog',
      class: 'logs',
      items: [
        ...logOrder().map(({ name: g, logLabel }) => ({
          kind: 'row',
          items: [
            { id: `logOn${g}`, kind: 'check', label: logLabel },
            {
              id: `logAll${g}`,
              kind: 'radio',
              name: `logMode${g}`,
              value: 'all',
              label: 'lblAll',
              enabledIf: (v) => v[`logOn${g}`],
            },
            {
              id: `logErr${g}`,
              kind: 'radio',
              name: `logMode${g}`,
              value: 'error',
              label: 'lblErrorOnly',
              enabledIf: (v) => v[`logOn${g}`],
            },
          ],
        })),
        {
          kind: 'row',
          items: [
            { id: 'keepDays', kind: 'select', label: 'lblDeleteLogAfter', options: OPTIONS },
            { kind: 'note', text: t('lblDays') },
          ],
        },
      ],
    },
  ];
}

function toValues(s) {
  const v = { ...s, soundKind: s.playWave ? 'wave' : 'beep', keepDays: String(s.keepDays) };
  for (const server of SERVERS) v[`${server}Port`] = String(s[`${server}Port`]);
  for (const g of groupNames()) {
    v[`interval${g}`] = String(s.groups[g].interval);
    v[`logOn${g}`] = s.groups[g].logOn;
    v[`logMode${g}`] = s.groups[g].logAll ? 'all' : 'error';
  }
  return v;
}

// The security lists are read as they stand: one with no choice (settings that could not be
// read) is sent empty, for the console to ask for one.
function fromValues(v, form) {
  const groups = {};
  for (const g of groupNames()) {
    groups[g] = {
      interval: v[`interval${g}`],
      logOn: v[`logOn${g}`],
      logAll: v[`logMode${g}`] !== 'error',
    };
  }
  const out = {
    primaryServer: v.primaryServer,
    primaryAuth: v.primaryAuth,
    primaryUser: v.primaryUser,
    alternateServer: v.alternateServer,
    alternateAuth: v.alternateAuth,
    alternateUser: v.alternateUser,
    from: v.from,
    to: v.to,
    netSend: v.netSend,
    soundAlarm: v.soundAlarm,
    playWave: v.soundKind === 'wave',
    waveFile: v.waveFile,
    groups,
    keepDays: v.keepDays,
    mailVerify: v.mailVerify,
    caFile: v.caFile,
    groupAlerts: v.groupAlerts,
    groupCount: v.groupCount,
    groupSeconds: v.groupSeconds,
    flapWatch: v.flapWatch,
    flapChanges: v.flapChanges,
    flapMinutes: v.flapMinutes,
  };
  for (const server of SERVERS) {
    out[`${server}Security`] = form.input(`${server}Security`).value;
    out[`${server}Port`] = v[`${server}Port`];
  }
  if ('primaryPassword' in v) out.primaryPassword = v.primaryPassword;
  if ('alternatePassword' in v) out.alternatePassword = v.alternatePassword;
  return out;
}

class SetupDialog {
  constructor(setup, onChange) {
    this.setup = setup;
    this.onChange = onChange;
    const items = Object.fromEntries(groupNames().map((g) => [g, setup.groups[g].items]));
    this.file = el('input', {
      type: 'file',
      accept: '.wav,audio/wav',
      hidden: true,
      'aria-label': t('btnBrowse'),
    });
    this.file.addEventListener('change', () => this.uploadChosen());
    this.d = openModal({
      title: t('titleSetup'),
      width: 640,
      className: 'setup-dialog',
      spec: spec(this, items),
      values: toValues(setup),
      content: [this.file],
      buttons: [
        { label: 'ok', submit: true, default: true },
        { label: 'btnCancel', cancel: true },
      ],
      submit: {
        send: () => act('setup-save', { form: fromValues(this.form.get(), this.form) }),
        accepted: async () => {
          await this.onChange();
          this.d.close();
        },
      },
    });
    this.form = this.d.form;
    for (const server of SERVERS) this.followPort(server);
  }

  // The port shows the default of the chosen security (also as its placeholder), and a port
  // that was the default of the previous choice becomes the new one's.
  followPort(server) {
    const security = this.form.input(`${server}Security`);
    const port = this.form.input(`${server}Port`);
    let before = security.value;
    port.placeholder = String(defaultMailPort(before));
    security.addEventListener('change', () => {
      const typed = port.value.trim();
      if (typed === '' || typed === String(defaultMailPort(before)))
        port.value = String(defaultMailPort(security.value));
      before = security.value;
      port.placeholder = String(defaultMailPort(before));
    });
  }

  async editGlobal(kind) {
    const texts = await editTemplates({
      kind,
      global: true,
      texts: kind === 'mail' ? this.setup.mailTemplates : this.setup.onlineTemplates,
    });
    if (!texts) return;
    const answer = await act('templates-save', { kind, texts });
    if (!answer.ok) return refuse(answer);
    if (kind === 'mail') this.setup.mailTemplates = texts;
    else this.setup.onlineTemplates = texts;
  }

  browse() {
    this.file.value = '';
    this.file.click();
  }

  async uploadChosen() {
    const chosen = this.file.files[0];
    if (!chosen) return;
    const answer = await upload('wave', chosen.name, chosen);
    if (!answer.ok) {
      await refuse(answer, { fallback: 'msgWaveTooBig' });
      return;
    }
    this.form.input('waveFile').value = answer.name;
    this.form.refresh();
  }

  // The sound the alarm would play, through the alarm's own output.
  soundTest(form) {
    const v = form.get();
    if (!sound.open()) return;
    if (v.soundKind !== 'wave') sound.beep();
    else if (v.waveFile) sound.playWave(waveUrl(v.waveFile));
  }
}

export function openSetupDialog(onChange) {
  return oneOpen('setup', async () => {
    const answer = await act('setup-load');
    if (!answer.ok) return;
    await new SetupDialog(answer.setup, onChange).d.closed;
  });
}
