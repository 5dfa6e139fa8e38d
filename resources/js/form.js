// A small form builder for the dialogs: each dialog describes its controls as data (id,
// label key, kind, limit, enabling rule) and this module draws them, reads their values and
// re-applies the enabling rules on every change. Every control has its label bound with
// <label for>, so it can be found by its words.
import { t } from './messages.js';

let serial = 0;

export function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (v === undefined || v === null || v === false) continue;
    if (k === 'class') node.className = v;
    else if (k === 'text') node.textContent = v;
    else if (k.startsWith('on')) node.addEventListener(k.slice(2), v);
    else node.setAttribute(k, v === true ? '' : v);
  }
  for (const c of children) if (c) node.append(c);
  return node;
}

export function button(labelKey, onClick, attrs = {}) {
  return el('button', { type: 'button', text: t(labelKey), onclick: onClick, ...attrs });
}

// Draws the controls of `spec` into `parent`. Returns a Form that reads and writes them.
export class Form {
  constructor(spec, values) {
    this.spec = spec;
    this.controls = new Map();
    this.values = values;
    this.root = el('div', { class: 'form-grid' });
    for (const item of spec) this.root.append(this.draw(item));
    this.root.addEventListener('input', () => this.refresh());
    this.root.addEventListener('change', () => this.refresh());
    this.set(values);
  }

  draw(item) {
    if (item.kind === 'group') {
      const box = el(
        'fieldset',
        { class: `form-group ${item.class ?? ''}` },
        el('legend', { text: t(item.label) }),
      );
      for (const child of item.items) box.append(this.draw(child));
      return box;
    }
    if (item.kind === 'row') {
      const row = el('div', { class: 'form-inline' });
      for (const child of item.items) row.append(this.draw(child));
      return row;
    }
    if (item.kind === 'note')
      return el('div', { class: 'form-note', text: item.text ?? t(item.label) });
    const id = `f${++serial}-${item.id}`;
    const label = el('label', { for: id, text: item.labelText ?? t(item.label) });
    let input;
    let wrap;
    switch (item.kind) {
      case 'check':
      case 'radio':
        input = el('input', {
          id,
          type: item.kind === 'check' ? 'checkbox' : 'radio',
          name: item.name,
        });
        wrap = el('div', { class: 'form-check' }, input, label);
        break;
      case 'textarea':
        input = el('textarea', {
          id,
          maxlength: item.max,
          rows: item.rows ?? 3,
          spellcheck: 'false',
        });
        wrap = el('div', { class: 'form-field wide' }, label, input);
        break;
      case 'select':
        input = el('select', { id });
        for (const [value, text] of item.options) input.append(el('option', { value, text }));
        wrap = el('div', { class: 'form-field' }, label, input);
        break;
      case 'button':
        input = el('button', {
          id,
          type: 'button',
          text: t(item.label),
          onclick: () => item.onClick(this),
        });
        wrap = el('div', { class: 'form-button' }, input);
        break;
      default:
        input = el('input', {
          id,
          type: item.kind === 'password' ? 'password' : 'text',
          maxlength: item.max,
          inputmode: item.digits ? 'numeric' : undefined,
          autocomplete: item.kind === 'password' ? 'new-password' : 'off',
          spellcheck: 'false',
        });
        // Digit fields keep what was typed: the console refuses a sign or other text with its
        // message rather than the page turning "-5" into "5" without a word.
        wrap = el('div', { class: `form-field ${item.wide ? 'wide' : ''}` }, label, input);
        if (item.suffix) wrap.append(el('span', { class: 'form-suffix', text: t(item.suffix) }));
    }
    if (item.kind === 'password') {
      const clear = el('button', {
        type: 'button',
        class: 'pw-clear',
        text: t('btnClearPassword'),
        'aria-label': `${t('btnClearPassword')} ${t(item.label)}`,
      });
      clear.addEventListener('click', () => {
        this.stored[item.id] = false;
        input.value = '';
        input.placeholder = '';
        clear.hidden = true;
      });
      wrap.append(clear);
      this.controls.set(`${item.id}:clear`, clear);
    }
    this.controls.set(item.id, { item, input, wrap });
    return wrap;
  }

  // Fills the controls; password fields only learn whether a password is stored.
  set(values) {
    this.stored = {};
    for (const { item, input } of this.controls.values()) {
      if (!item) continue;
      const v = values[item.id];
      if (item.kind === 'check') input.checked = Boolean(v);
      else if (item.kind === 'radio') input.checked = values[item.name] === item.value;
      else if (item.kind === 'password') {
        this.stored[item.id] = Boolean(values[`${item.id}Stored`]);
        input.value = '';
        input.placeholder = this.stored[item.id] ? t('passwordStored') : '';
        this.controls.get(`${item.id}:clear`).hidden = !this.stored[item.id];
      } else if (item.kind !== 'button') input.value = v ?? '';
    }
    this.refresh();
  }

  // The values of the controls. A password left untouched is not sent (the stored one
  // stays); a cleared one is sent empty.
  get() {
    const out = {};
    for (const { item, input } of this.controls.values()) {
      if (!item || item.kind === 'button') continue;
      if (item.kind === 'check') out[item.id] = input.checked;
      else if (item.kind === 'radio') {
        if (input.checked) out[item.name] = item.value;
      } else if (item.kind === 'password') {
        if (input.value !== '') out[item.id] = input.value;
        else if (!this.stored[item.id]) out[item.id] = '';
      } else if (item.kind === 'select') out[item.id] = Number(input.value);
      // Multi-line texts keep the files' CR LF line ends (a browser hands back LF only).
      else if (item.kind === 'textarea') out[item.id] = input.value.replace(/\r?\n/g, '\r\n');
      else out[item.id] = input.value;
    }
    return out;
  }

  input(id) {
    return this.controls.get(id)?.input;
  }

  refresh() {
    const v = this.get();
    for (const { item, input } of this.controls.values()) {
      if (item?.enabledIf) input.disabled = !item.enabledIf(v);
    }
  }
}

// A labelled one-line field for a path, in the transfer dialogs' two-column row.
export function pathField(id, label, value) {
  const input = el('input', { type: 'text', id, value, spellcheck: 'false', autocomplete: 'off' });
  input.value = value;
  return {
    input,
    row: el('div', { class: 'transfer-row' }, el('label', { for: id, text: t(label) }), input),
  };
}
