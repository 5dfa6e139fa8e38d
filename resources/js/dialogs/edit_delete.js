// The Edit/Delete dialog: every account (up to 30,000) in a virtual list with the three
// columns "Server", "Domain or IP" and "Service". Only the rows in view are asked from the
// console. Click selects, double-click or Enter edits, Delete asks and deletes, the wheel
// scrolls one row per notch.
import { act } from '../api.js';
import { el } from '../form.js';
import { messageBox, openModal } from '../modal.js';
import { openEditDialog } from './account.js';
import { t } from '../messages.js';

const ROW_H = 20;
const VISIBLE = 14;

class EditDeleteDialog {
  constructor(onChange) {
    this.onChange = onChange;
    this.total = 0;
    this.first = 0;
    this.selected = 0;
    this.rows = new Map();
    this.fetching = 0;
    const head = el(
      'div',
      { class: 'ed-head' },
      el('span', { text: t('colServer') }),
      el('span', { text: t('colDomain') }),
      el('span', { text: t('colService') }),
    );
    this.list = el('div', {
      class: 'ed-list',
      tabindex: '0',
      role: 'listbox',
      'aria-label': t('titleEditDelete'),
    });
    this.list.style.height = `${ROW_H * VISIBLE}px`;
    this.scroll = el('div', { class: 'ed-scroll' }, el('div', { class: 'ed-scroll-size' }));
    this.scroll.style.height = `${ROW_H * VISIBLE}px`;
    this.d = openModal({
      key: 'edit-delete',
      title: t('titleEditDelete'),
      width: 620,
      className: 'edit-delete',
      content: [head, el('div', { class: 'ed-frame' }, this.list, this.scroll)],
      buttons: [
        { label: 'btnEdit', run: () => this.edit() },
        { label: 'btnDelete', run: () => this.remove() },
        { label: 'btnClose', cancel: true },
      ],
    });
    if (!this.d) return;
    this.list.addEventListener('mousedown', (event) => this.select(this.rowAt(event)));
    this.list.addEventListener('dblclick', (event) => {
      this.select(this.rowAt(event));
      this.edit();
    });
    this.list.addEventListener(
      'wheel',
      (event) => {
        event.preventDefault();
        if (this.total > VISIBLE) this.scrollTo(this.first + Math.sign(event.deltaY));
      },
      { passive: false },
    );
    this.scroll.addEventListener('scroll', () =>
      this.scrollTo(Math.round(this.scroll.scrollTop / ROW_H), true),
    );
    this.list.addEventListener('keydown', (event) => this.onKey(event));
    this.ready = this.reload(true).then(() => this.list.focus());
  }

  rowAt(event) {
    const y = event.clientY - this.list.getBoundingClientRect().top;
    return Math.min(this.first + Math.floor(y / ROW_H), this.total - 1);
  }

  async reload(refresh) {
    const answer = await act('accounts-list', { first: this.first, count: VISIBLE + 1, refresh });
    this.total = answer.total;
    this.rows.clear();
    for (const r of answer.rows) this.rows.set(r.index, r);
    this.scroll.firstChild.style.height = `${Math.max(this.total, 1) * ROW_H}px`;
    this.draw();
  }

  async fill() {
    const missing = [];
    for (let i = this.first; i < Math.min(this.first + VISIBLE + 1, this.total); i++)
      if (!this.rows.has(i)) missing.push(i);
    if (missing.length === 0) return;
    const ticket = ++this.fetching;
    const answer = await act('accounts-list', {
      first: missing[0],
      count: missing.at(-1) - missing[0] + 1,
    });
    if (ticket !== this.fetching && answer.rows.length === 0) return;
    for (const r of answer.rows) this.rows.set(r.index, r);
    if (this.rows.size > 2000) {
      for (const k of this.rows.keys())
        if (k < this.first - 200 || k > this.first + 200) this.rows.delete(k);
    }
    this.draw();
  }

  draw() {
    const nodes = [];
    for (let i = this.first; i < Math.min(this.first + VISIBLE, this.total); i++) {
      const r = this.rows.get(i);
      const row = el('div', {
        class: `ed-row${i === this.selected ? ' selected' : ''}`,
        role: 'option',
        'aria-selected': String(i === this.selected),
      });
      row.dataset.index = String(i);
      if (r) {
        row.dataset.key = r.key;
        row.append(
          el('span', { text: r.name ?? '' }),
          el('span', { text: r.domain ?? '' }),
          el('span', { text: r.service ?? '' }),
        );
      } else {
        row.append(el('span'), el('span'), el('span'));
      }
      nodes.push(row);
    }
    this.list.replaceChildren(...nodes);
    this.fill();
  }

  scrollTo(first, fromBar = false) {
    const max = Math.max(this.total - VISIBLE, 0);
    this.first = Math.max(0, Math.min(first, max));
    if (!fromBar) this.scroll.scrollTop = this.first * ROW_H;
    this.draw();
  }

  select(index) {
    if (this.total === 0 || index < 0) return;
    this.selected = Math.min(index, this.total - 1);
    if (this.selected < this.first) this.scrollTo(this.selected);
    else if (this.selected >= this.first + VISIBLE) this.scrollTo(this.selected - VISIBLE + 1);
    else this.markSelection();
  }

  // Only the marks change, so a double-click lands on the row it started on.
  markSelection() {
    for (const row of this.list.children) {
      const on = Number(row.dataset.index) === this.selected;
      row.classList.toggle('selected', on);
      row.setAttribute('aria-selected', String(on));
    }
  }

  onKey(event) {
    const moves = { ArrowDown: 1, ArrowUp: -1, PageDown: VISIBLE, PageUp: -VISIBLE };
    if (event.key in moves) {
      event.preventDefault();
      this.select(Math.max(0, this.selected + moves[event.key]));
    } else if (event.key === 'Home') this.select(0);
    else if (event.key === 'End') this.select(this.total - 1);
    else if (event.key === 'Enter') this.edit();
    else if (event.key === 'Delete') this.remove();
  }

  keyOfSelected() {
    return this.rows.get(this.selected)?.key;
  }

  async edit() {
    if (this.total === 0) return;
    const key = this.keyOfSelected();
    if (!key) return;
    await openEditDialog(key, this.onChange);
    await this.reload(true);
    this.list.focus();
  }

  async remove() {
    if (this.total === 0) return;
    const key = this.keyOfSelected();
    if (!key) return;
    const answer = await messageBox(t('msgDeleteQuestion'), { buttons: ['yes', 'no'], icon: '!' });
    if (answer !== 'yes') {
      this.list.focus();
      return;
    }
    const revision = this.rows.get(this.selected)?.revision;
    const result = await act('account-delete', { key, revision });
    // Changed or deleted by another client since the list was read: nothing was removed.
    if (!result.ok && result.message) await messageBox(result.message, { icon: '\u2715' });
    this.total = result.total ?? this.total;
    // The selection stays in the list; the last page stays full.
    if (this.selected >= this.total) this.selected = Math.max(this.total - 1, 0);
    if (this.first > Math.max(this.total - VISIBLE, 0))
      this.first = Math.max(this.total - VISIBLE, 0);
    await this.reload(false);
    this.scroll.scrollTop = this.first * ROW_H;
    await this.onChange();
    this.list.focus();
  }
}

// At most one Edit/Delete dialog is open at a time.
export function openEditDeleteDialog(onChange) {
  return new EditDeleteDialog(onChange).d?.closed;
}
