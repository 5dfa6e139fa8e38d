// "Setup": the alert mail servers, From and To, net-send destinations, the local alarm, the
// scan intervals and the log options, with the two global template editors. The console
// runs the checks of "OK" in their order and writes the settings only when all pass.
import { act, getBytes, upload, waveUrl } from './api.js';
import { messageBox } from './dialogs.js';
import { Form, button, el, openDialog } from './form.js';
import { editTemplates } from './message_editor.js';
import { t } from './messages.js';
import { scanGroups } from './facts.js';

// The console's scan groups: their names in the order of the interval boxes, and the groups in
// the order of the log switches (their order in the settings files).
const groupNames = () => scanGroups().map((g) => g.name);
const logOrder = () => [...scanGroups()].sort((a, b) => a.index - b.index);

// The 36 values of the interval and day lists, by position.
export function listValue(p) {
  return p < 5 ? p + 1 : (p + 1) * 5 - 20;
}
const OPTIONS = Array.from({ length: 36 }, (_, p) => [String(p), String(listValue(p))]);

let open = false;

function spec(dialog, items) {
  const sound = (v) => v.soundAlarm;
  const wave = (v) => v.soundAlarm && v.soundKind === 'wave';
  return [
    { kind: 'group', label: 'grpPrimary', items: [
      { id: 'primaryServer', kind: 'text', label: 'lblOutgoing', max: 149, wide: true },
      { id: 'primaryAuth', kind: 'check', label: 'lblPrimaryAuth' },
      { kind: 'row', items: [
        { id: 'primaryUser', kind: 'text', label: 'lblPrimaryId', max: 64, enabledIf: (v) => v.primaryAuth },
        { id: 'primaryPassword', kind: 'password', label: 'lblPrimaryPassword', max: 15, enabledIf: (v) => v.primaryAuth },
      ] },
    ] },
    { kind: 'group', label: 'grpAlternate', items: [
      { id: 'alternateServer', kind: 'text', label: 'lblAltOutgoing', max: 149, wide: true },
      { id: 'alternateAuth', kind: 'check', label: 'lblAltAuth' },
      { kind: 'row', items: [
        { id: 'alternateUser', kind: 'text', label: 'lblAltId', max: 64, enabledIf: (v) => v.alternateAuth },
        { id: 'alternatePassword', kind: 'password', label: 'lblAltPassword', max: 15, enabledIf: (v) => v.alternateAuth },
      ] },
    ] },
    { id: 'from', kind: 'text', label: 'lblFrom', max: 149, wide: true },
    { id: 'to', kind: 'textarea', label: 'lblTo', rows: 2, max: 32000 },
    { id: 'netSend', kind: 'textarea', label: 'lblNetSend', rows: 2, max: 32000 },
    { kind: 'row', items: [
      { id: 'configureNotification', kind: 'button', label: 'btnConfigureNotification', onClick: () => dialog.editGlobal('mail') },
      { id: 'configureOnline', kind: 'button', label: 'btnConfigureOnline', onClick: () => dialog.editGlobal('online') },
    ] },
    { kind: 'group', label: 'grpAlarm', items: [
      { id: 'soundAlarm', kind: 'check', label: 'lblSoundAlarm' },
      { kind: 'row', items: [
        { id: 'useBeep', kind: 'radio', name: 'soundKind', value: 'beep', label: 'lblUseBeep', enabledIf: sound },
        { id: 'useWave', kind: 'radio', name: 'soundKind', value: 'wave', label: 'lblUseWave', enabledIf: sound },
      ] },
      { kind: 'row', items: [
        { id: 'waveFile', kind: 'text', label: 'lblSoundFile', max: 259, enabledIf: wave },
        { id: 'browse', kind: 'button', label: 'btnBrowse', enabledIf: wave, onClick: () => dialog.browse() },
        { id: 'soundTest', kind: 'button', label: 'btnSoundTest', enabledIf: sound, onClick: (form) => dialog.soundTest(form) },
      ] },
    ] },
    { kind: 'group', label: 'grpIntervals', class: 'intervals', items: groupNames().map((g) => ({ kind: 'row', items: [
      { id: `interval${g}`, kind: 'select', label: 'lblInterval', labelText: t(`group${g}`), options: OPTIONS },
      { kind: 'note', text: t('lblMin') },
      { kind: 'note', text: t('lblItems', items[g]) },
    ] })) },
    { kind: 'group', label: 'grpLog', class: 'logs', items: [
      ...logOrder().map(({ name: g, logLabel }) => ({ kind: 'row', items: [
        { id: `logOn${g}`, kind: 'check', label: logLabel },
        { id: `logAll${g}`, kind: 'radio', name: `logMode${g}`, value: 'all', label: 'lblAll', enabledIf: (v) => v[`logOn${g}`] },
        { id: `logErr${g}`, kind: 'radio', name: `logMode${g}`, value: 'error', label: 'lblErrorOnly', enabledIf: (v) => v[`logOn${g}`] },
      ] })),
      { kind: 'row', items: [
        { id: 'keepDays', kind: 'select', label: 'lblDeleteLogAfter', options: OPTIONS },
        { kind: 'note', text: t('lblDays') },
      ] },
    ] },
  ];
}

function toValues(s) {
  const v = { ...s, soundKind: s.playWave ? 'wave' : 'beep', keepDays: String(s.keepDays) };
  for (const g of groupNames()) {
    v[`interval${g}`] = String(s.groups[g].interval);
    v[`logOn${g}`] = s.groups[g].logOn;
    v[`logMode${g}`] = s.groups[g].logAll ? 'all' : 'error';
  }
  return v;
}

function fromValues(v) {
  const groups = {};
  for (const g of groupNames()) {
    groups[g] = { interval: v[`interval${g}`], logOn: v[`logOn${g}`], logAll: v[`logMode${g}`] !== 'error' };
  }
  const out = {
    primaryServer: v.primaryServer, primaryAuth: v.primaryAuth, primaryUser: v.primaryUser,
    alternateServer: v.alternateServer, alternateAuth: v.alternateAuth, alternateUser: v.alternateUser,
    from: v.from, to: v.to, netSend: v.netSend, soundAlarm: v.soundAlarm,
    playWave: v.soundKind === 'wave', waveFile: v.waveFile, groups, keepDays: v.keepDays,
  };
  if ('primaryPassword' in v) out.primaryPassword = v.primaryPassword;
  if ('alternatePassword' in v) out.alternatePassword = v.alternatePassword;
  return out;
}

class SetupDialog {
  constructor(setup, onChange) {
    this.setup = setup;
    this.onChange = onChange;
    const items = Object.fromEntries(groupNames().map((g) => [g, setup.groups[g].items]));
    this.d = openDialog(t('titleSetup'), { width: 640, className: 'setup-dialog' });
    this.form = new Form(spec(this, items), toValues(setup));
    this.file = el('input', { type: 'file', accept: '.wav,audio/wav', hidden: true, 'aria-label': t('btnBrowse') });
    this.file.addEventListener('change', () => this.uploadChosen());
    this.d.body.append(this.form.root, this.file);
    this.d.buttons.append(button('ok', () => this.submit(), { class: 'default' }), button('btnCancel', () => this.finish()));
    this.closed = new Promise((resolve) => { this.resolveClosed = resolve; });
    this.form.input('primaryServer').focus();
  }

  async editGlobal(kind) {
    const texts = await editTemplates({ kind, global: true, texts: kind === 'mail' ? this.setup.mailTemplates : this.setup.onlineTemplates });
    if (!texts) return;
    const answer = await act('templates-save', { kind, texts });
    if (!answer.ok) return messageBox(answer.message, { icon: '\u2715' });
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
      await messageBox(answer.message ?? t('msgWaveTooBig'), { icon: '\u2715' });
      return;
    }
    this.form.input('waveFile').value = answer.name;
    this.form.refresh();
  }

  async soundTest(form) {
    const v = form.get();
    const Context = window.AudioContext || window.webkitAudioContext;
    if (!Context) return;
    this.context ??= new Context();
    if (v.soundKind === 'wave') {
      if (!v.waveFile) return;
      // A sound still playing is not cut off.
      if (this.playing) return;
      // The file is a data route: fetched with the token, played from memory.
      this.playing = true;
      try {
        const buffer = await this.context.decodeAudioData(await getBytes(waveUrl(v.waveFile)));
        const source = this.context.createBufferSource();
        source.buffer = buffer;
        source.connect(this.context.destination);
        source.onended = () => {
          this.playing = false;
        };
        source.start();
      } catch {
        this.playing = false;
      }
      return;
    }
    const osc = this.context.createOscillator();
    const gain = this.context.createGain();
    osc.type = 'square';
    osc.frequency.value = 500;
    gain.gain.value = 0.12;
    osc.connect(gain).connect(this.context.destination);
    osc.start();
    osc.stop(this.context.currentTime + 0.3);
  }

  async submit() {
    let answer;
    try {
      answer = await act('setup-save', { form: fromValues(this.form.get()) });
    } catch {
      answer = { ok: false };  // refused before it reached the console (too large, say)
    }
    if (!answer.ok) {
      await messageBox(answer.message ?? t('msgBadRequest'), { icon: '\u2715' });
      return;
    }
    await this.onChange();
    this.finish();
  }

  finish() {
    this.d.close();
    open = false;
    this.resolveClosed();
  }
}

export async function openSetupDialog(onChange) {
  if (open) return;
  const answer = await act('setup-load');
  if (!answer.ok) return;
  open = true;
  await new SetupDialog(answer.setup, onChange).closed;
}
