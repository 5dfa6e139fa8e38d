// The page's windows. Dialogs and message boxes are modal: they open through openModal in
// the modal layer, which keeps one of each kind open, stacks them (a message box over the
// dialog that asked), closes the top one on Escape, keeps Tab inside it and gives the focus
// back to what opened it. The activity pane's entry pop-ups are modeless; several may be open.
import { Form, button, el } from './form.js';
import { t } from './messages.js';

// The open modals, the top one last, and the kinds open or on their way.
const stack = [];
const held = new Set();

// Places a window next to the main window's upper left corner, `offset` further right and down.
function placeNearCorner(node, top, offset = 0) {
  node.style.left = `${24 + offset}px`;
  node.style.top = `${top + offset}px`;
}

// The tab stops of a modal in their order; a radio group is one stop (its checked radio).
function tabStops(node) {
  return [...node.querySelectorAll('button, input, select, textarea, [tabindex]')].filter(
    (e) =>
      !e.disabled &&
      e.tabIndex >= 0 &&
      e.checkVisibility() &&
      (e.type !== 'radio' ||
        e.checked ||
        !e.name ||
        !node.querySelector(`input[type=radio][name="${CSS.escape(e.name)}"]:checked`)),
  );
}

function sameStop(a, b) {
  return (
    a === b || (a?.type === 'radio' && b?.type === 'radio' && a.name !== '' && a.name === b.name)
  );
}

function keepTabInside(top, event) {
  const stops = tabStops(top.node);
  if (stops.length === 0) return;
  const at = document.activeElement;
  const [first, last] = [stops[0], stops.at(-1)];
  let next = null;
  if (!top.node.contains(at)) next = event.shiftKey ? last : first;
  else if (!event.shiftKey && sameStop(at, last)) next = first;
  else if (event.shiftKey && sameStop(at, first)) next = last;
  if (next) {
    event.preventDefault();
    next.focus();
  }
}

// One key handler for every modal: only the top one hears Escape (its Cancel or Close), Tab
// and its own Enter.
document.addEventListener(
  'keydown',
  (event) => {
    const top = stack.at(-1);
    if (!top) return;
    if (event.key === 'Escape') top.cancel();
    else if (event.key === 'Tab') keepTabInside(top, event);
    else if (event.key === 'Enter' && top.enter) top.enter(event);
  },
  true,
);

// Runs `open` (which opens a modal of kind `key` and resolves when it closes) unless a modal
// of that kind is open or on its way; meanwhile a second request is refused (resolves
// undefined). For dialogs that ask the console before they show.
export async function oneOpen(key, open) {
  if (held.has(key)) return undefined;
  held.add(key);
  try {
    return await open();
  } finally {
    held.delete(key);
  }
}

// Opens a modal dialog and returns its handle { node, body, buttons, form, close(result),
// closed }, or null when a dialog of the same `key` is open. Options:
//   title, width, className    the frame
//   spec, values               a Form drawn into the body (handle.form)
//   content                    further nodes of the body
//   buttons                    [{ label, run(m), submit, cancel, default }]: `submit` runs the
//                              submit flow, `cancel` closes (as Escape does)
//   submit                     { send(m), accepted(answer, m), refused(answer, m), icon }:
//                              `send` resolves with the console's answer (null: nothing to
//                              do); a refusal shows its message over the dialog, which stays
//                              open with every typed value
//   focus                      the control focused first, or a function of the handle giving
//                              it (default: the first tab stop; false: none yet)
//   enter                      what Enter anywhere does while this is the top modal
//   right                      placed at the right edge rather than the left
export function openModal(options) {
  const {
    key,
    title,
    width,
    className,
    spec,
    values,
    content = [],
    buttons = [],
    submit,
  } = options;
  if (key !== undefined && held.has(key)) return null;
  if (key !== undefined) held.add(key);
  const layer = document.getElementById('modal-layer');
  const depth = layer.querySelectorAll('.dialog').length;
  const node = el('div', {
    class: `dialog form-dialog ${className ?? ''}`,
    role: 'dialog',
    'aria-label': title,
  });
  const body = el('div', { class: 'form-body' });
  const row = el('div', { class: 'dialog-buttons' });
  node.append(el('div', { class: 'dialog-title' }, el('span', { text: title })), body, row);
  placeNearCorner(node, 40, depth * 22);
  if (width) node.style.width = `${width}px`;
  if (options.right) {
    node.style.left = 'auto';
    node.style.right = '24px';
  }
  let resolveClosed;
  const m = {
    node,
    body,
    buttons: row,
    form: spec ? new Form(spec, values ?? {}) : null,
    closed: new Promise((resolve) => {
      resolveClosed = resolve;
    }),
    close: (result) => {
      if (!pull(m)) return;
      if (key !== undefined) held.delete(key);
      resolveClosed(result);
    },
    submit: () => runSubmit(m, submit),
    enter: options.enter && (() => options.enter(m)),
  };
  m.cancel = () => m.close();
  if (m.form) body.append(m.form.root);
  body.append(...content);
  for (const b of buttons) {
    const run = b.submit ? () => m.submit() : b.cancel ? () => m.cancel() : () => b.run(m);
    row.append(button(b.label, run, b.default ? { class: 'default' } : {}));
  }
  push(m, layer, options.focus);
  return m;
}

// The stack's own steps: the opener is what had the focus; it gets it back on close.
function push(m, layer, focus) {
  m.opener = document.activeElement;
  stack.push(m);
  layer.append(m.node);
  const first =
    typeof focus === 'function' ? focus(m) : (focus ?? tabStops(m.body)[0] ?? tabStops(m.node)[0]);
  if (first) first.focus();
}

function pull(m) {
  const at = stack.indexOf(m);
  if (at < 0) return false;
  stack.splice(at, 1);
  m.node.remove();
  const below = stack.at(-1);
  const opener = m.opener;
  if (opener?.isConnected && opener !== document.body && (!below || below.node.contains(opener))) {
    opener.focus({ preventScroll: true });
  }
  return true;
}

async function runSubmit(m, submit) {
  if (!submit || m.sending) return;
  m.sending = true;
  let answer;
  try {
    answer = await submit.send(m);
  } catch {
    answer = { ok: false }; // refused before it reached the console (too large, say)
  } finally {
    m.sending = false;
  }
  if (!answer) return;
  if (!answer.ok) {
    await refuse(answer, { icon: submit.icon });
    await submit.refused?.(answer, m);
    return;
  }
  await submit.accepted?.(answer, m);
}

// Shows why the console refused (or the page's own words when it gave none).
export function refuse(answer, { icon = '\u2715', fallback = 'msgBadRequest' } = {}) {
  return messageBox(answer.message ?? t(fallback), { icon });
}

// Resolves with the label key of the button pressed ('yes', 'no', 'ok'); Escape answers
// 'no' when there is one, else the first button.
export function messageBox(text, { caption = t('caption'), buttons = ['ok'], icon = '!' } = {}) {
  return new Promise((resolve) => {
    const layer = document.getElementById('modal-layer');
    const node = el('div', { class: 'dialog', role: 'alertdialog' });
    const body = el(
      'div',
      { class: 'dialog-body' },
      icon ? el('div', { class: 'dialog-icon', text: icon }) : null,
      el('div', { class: 'dialog-text', text: text.replace(/\r\n/g, '\n') }),
    );
    const row = el('div', { class: 'dialog-buttons' });
    const m = {
      node,
      cancel: () => finish(buttons.includes('no') ? 'no' : buttons[0]),
    };
    const finish = (key) => {
      if (pull(m)) resolve(key);
    };
    for (const key of buttons)
      row.append(el('button', { text: t(key), 'data-key': key, onclick: () => finish(key) }));
    node.append(el('div', { class: 'dialog-title' }, el('span', { text: caption })), body, row);
    placeNearCorner(node, 70);
    push(m, layer, row.querySelector('button'));
  });
}

let popupCount = 0;

// The entry pop-up: title = the entry's decoded name; text = date, time, blank line, message.
export function entryPopup(entry) {
  const layer = document.getElementById('popup-layer');
  const dialog = el('div', { class: 'dialog popup' });
  const close = el('button', { text: '\u2715', title: t('close'), onclick: () => dialog.remove() });
  const text = el('textarea');
  text.readOnly = true;
  text.value = ` ${entry.date}\r\n ${entry.time}\r\n\r\n ${entry.message}`;
  dialog.append(
    el('div', { class: 'dialog-title' }, el('span', { text: entry.name }), close),
    el('div', { class: 'dialog-body' }, text),
  );
  placeNearCorner(dialog, 70, (popupCount++ % 6) * 18);
  layer.append(dialog);
  return dialog;
}
