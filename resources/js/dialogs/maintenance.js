// "Maintenance": the maintenance windows, in which the checks run and are logged but no
// alert goes out. A window is for one account or for all, once (from a date and time to
// another) or every week (a day, from a time to another; an end not after the start runs
// past midnight). The console checks every field and answers with the list as it stands.
import { act } from '../api.js';
import { el } from '../form.js';
import { messageBox, openModal, refuse } from '../modal.js';
import { t } from '../messages.js';

const pad = (n) => String(n).padStart(2, '0');
const localStamp = (d) =>
  `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}T${pad(d.getHours())}:${pad(d.getMinutes())}`;

// What the list shows of one window.
export function windowText(w) {
  const who = w.all ? t('maintAllAccounts') : w.account;
  const when =
    w.kind === 'weekly'
      ? t('maintWeeklyText', t(`day${w.day}`), w.from, w.to)
      : t('maintOnceText', String(w.from).replace('T', ' '), String(w.to).replace('T', ' '));
  const state =
    w.state === 'now' ? t('maintStateNow') : w.state === 'ended' ? t('maintStateEnded') : '';
  return `${who}: ${when}${state ? ` (${state})` : ''}`;
}

function radio(name, value, label, checked) {
  const input = el('input', { type: 'radio', name, value, id: `maint-${name}-${value}` });
  input.checked = checked;
  const choice = el('label', { class: 'option-choice', for: input.id }, input);
  choice.append(el('span', { text: t(label) }));
  return { input, choice };
}

function labelled(id, label, input) {
  input.id = id;
  return el('span', { class: 'maint-field' }, el('label', { for: id, text: t(label) }), input);
}

// `account`: the server name of the selected row, offered for a window of one account.
// `onChanged`: called after a window was added or removed.
export function openMaintenanceDialog(account = '', onChanged = () => {}) {
  const list = el('select', {
    class: 'maint-list',
    size: '7',
    'aria-label': t('titleMaintenance'),
  });
  const none = el('p', { class: 'form-note maint-none', text: t('maintNone') });
  const fill = (windows) => {
    list.replaceChildren(
      ...windows.map((w) =>
        el('option', { value: w.line, class: `maint-${w.state}`, text: windowText(w) }),
      ),
    );
    list.hidden = windows.length === 0;
    none.hidden = windows.length > 0;
    if (windows.length > 0) list.selectedIndex = 0;
  };

  const all = radio('who', 'all', 'lblMaintAll', account === '');
  const one = radio('who', 'one', 'lblMaintOne', account !== '');
  const name = el('input', {
    type: 'text',
    maxlength: '62',
    value: account,
    'aria-label': t('lblMaintOne'),
  });
  name.id = 'maint-account';
  one.choice.append(name);
  const once = radio('when', 'once', 'lblMaintOnce', true);
  const weekly = radio('when', 'weekly', 'lblMaintWeekly', false);

  const start = new Date();
  start.setMinutes(0, 0, 0);
  start.setHours(start.getHours() + 1);
  const end = new Date(start.getTime() + 2 * 3600 * 1000);
  const onceFrom = el('input', { type: 'datetime-local', value: localStamp(start) });
  const onceTo = el('input', { type: 'datetime-local', value: localStamp(end) });
  const day = el(
    'select',
    {},
    ...[0, 1, 2, 3, 4, 5, 6].map((d) => el('option', { value: String(d), text: t(`day${d}`) })),
  );
  day.value = String(start.getDay());
  const weekFrom = el('input', { type: 'time', value: '02:00' });
  const weekTo = el('input', { type: 'time', value: '04:00' });
  const onceRow = el(
    'div',
    { class: 'maint-times maint-once' },
    labelled('maint-once-from', 'lblMaintFrom', onceFrom),
    labelled('maint-once-to', 'lblMaintTo', onceTo),
  );
  const weekRow = el(
    'div',
    { class: 'maint-times maint-weekly' },
    labelled('maint-day', 'lblMaintDay', day),
    labelled('maint-week-from', 'lblMaintFrom', weekFrom),
    labelled('maint-week-to', 'lblMaintTo', weekTo),
  );
  const follow = () => {
    name.disabled = !one.input.checked;
    onceRow.hidden = !once.input.checked;
    weekRow.hidden = once.input.checked;
  };
  for (const r of [all, one, once, weekly]) r.input.addEventListener('change', follow);
  follow();

  const add = async () => {
    const fields = { all: all.input.checked, account: name.value.trim() };
    if (once.input.checked)
      Object.assign(fields, { kind: 'once', from: onceFrom.value, to: onceTo.value });
    else
      Object.assign(fields, {
        kind: 'weekly',
        day: Number(day.value),
        from: weekFrom.value,
        to: weekTo.value,
      });
    const answer = await act('maintenance-add', fields);
    if (!answer.ok) {
      await refuse(answer);
      (answer.key === 'msgMaintNoAccount'
        ? name
        : once.input.checked
          ? onceFrom
          : weekFrom
      ).focus();
      return;
    }
    fill(answer.windows ?? []);
    list.selectedIndex = list.options.length - 1;
    await onChanged();
  };
  const remove = async () => {
    if (list.selectedIndex < 0 || list.hidden) return;
    const line = list.value;
    if ((await messageBox(t('msgDeleteQuestion'), { buttons: ['yes', 'no'], icon: '!' })) !== 'yes')
      return;
    const answer = await act('maintenance-delete', { line });
    if (!answer.ok) await refuse(answer);
    else {
      fill(answer.windows ?? []);
      await onChanged();
    }
    list.focus();
  };

  const d = openModal({
    key: 'maintenance',
    title: t('titleMaintenance'),
    width: 560,
    className: 'maint-dialog',
    content: [
      el('p', { class: 'form-note', text: t('maintIntro') }),
      list,
      none,
      el(
        'fieldset',
        { class: 'maint-new' },
        el('legend', { text: t('lblMaintWho') }),
        all.choice,
        one.choice,
      ),
      el(
        'fieldset',
        { class: 'maint-new' },
        el('legend', { text: t('lblMaintWhen') }),
        el('div', { class: 'maint-kinds' }, once.choice, weekly.choice),
        onceRow,
        weekRow,
      ),
    ],
    buttons: [
      { label: 'btnAdd', run: add },
      { label: 'btnDelete', run: remove },
      { label: 'btnClose', cancel: true },
    ],
    focus: false,
  });
  if (!d) return Promise.resolve();
  list.addEventListener('keydown', (event) => {
    if (event.key === 'Delete') remove();
  });
  act('maintenance-list').then((answer) => {
    fill(answer.windows ?? []);
    (account ? name : all.input).focus();
  });
  return d.closed;
}
