// Message boxes (modal, with the console's captions and texts) and the activity pane's
// entry pop-ups (modeless; several may be open).
import { t } from './messages.js';

function element(tag, className, text) {
  const el = document.createElement(tag);
  if (className) el.className = className;
  if (text !== undefined) el.textContent = text;
  return el;
}

// Places a dialog next to the main window's upper left corner.
function placeNearCorner(dialog, offset = 0) {
  dialog.style.left = `${24 + offset}px`;
  dialog.style.top = `${70 + offset}px`;
}

// Resolves with the label key of the button pressed ('yes', 'no', 'ok').
export function messageBox(text, { caption = t('caption'), buttons = ['ok'], icon = '!' } = {}) {
  return new Promise((resolve) => {
    const layer = document.getElementById('modal-layer');
    const dialog = element('div', 'dialog');
    dialog.setAttribute('role', 'alertdialog');
    const title = element('div', 'dialog-title');
    title.append(element('span', '', caption));
    const body = element('div', 'dialog-body');
    if (icon) body.append(element('div', 'dialog-icon', icon));
    body.append(element('div', 'dialog-text', text.replace(/\r\n/g, '\n')));
    const row = element('div', 'dialog-buttons');
    const finish = (key) => {
      dialog.remove();
      document.removeEventListener('keydown', onKey, true);
      resolve(key);
    };
    const onKey = (event) => {
      if (event.key === 'Escape') finish(buttons.includes('no') ? 'no' : buttons[0]);
    };
    for (const key of buttons) {
      const button = element('button', '', t(key));
      button.dataset.key = key;
      button.addEventListener('click', () => finish(key));
      row.append(button);
    }
    dialog.append(title, body, row);
    placeNearCorner(dialog);
    layer.append(dialog);
    document.addEventListener('keydown', onKey, true);
    row.querySelector('button').focus();
  });
}

let popupCount = 0;

// The entry pop-up: title = the entry's decoded name; text = date, time, blank line, message.
export function entryPopup(entry) {
  const layer = document.getElementById('popup-layer');
  const dialog = element('div', 'dialog popup');
  const title = element('div', 'dialog-title');
  title.append(element('span', '', entry.name));
  const close = element('button', '', '\u2715');
  close.title = t('close');
  close.addEventListener('click', () => dialog.remove());
  title.append(close);
  const body = element('div', 'dialog-body');
  const text = element('textarea');
  text.readOnly = true;
  text.value = ` ${entry.date}\r\n ${entry.time}\r\n\r\n ${entry.message}`;
  body.append(text);
  dialog.append(title, body);
  placeNearCorner(dialog, (popupCount++ % 6) * 18);
  layer.append(dialog);
  return dialog;
}
