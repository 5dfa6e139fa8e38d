// The account list: an owner-drawn header (sort by click, boundaries dragged with the
// mouse) and a virtual list whose rows the console reads at the moment they are shown.
import { act, getJson } from './api.js';
import { t } from './messages.js';
import { messageBox } from './modal.js';
import { openEditDialog } from './dialogs/account.js';
import { openHistoryPanel } from './dialogs/history.js';

const ROW_H = 20;
// Columns whose keys are stored reversed: their arrow is drawn the other way round, so
// that it always means the same visible order.
const REVERSED = new Set([1, 5, 6]);

// What a cell says on hover: the full text of a clipped cell, the full date and seconds of
// a time, what the duration's figures mean, and that a white lamp has no result yet.
export function hoverText(column, row) {
  switch (column) {
    case 1:
      return row.lamp === 'white' ? t('notCheckedYet') : '';
    case 2:
      return row.alertMark ? `${row.name} — ${alertNote(row)}` : row.name;
    case 3:
      return row.domain.trim();
    case 4:
      return row.service;
    case 5:
      return row.lastCheckFull || '';
    case 6:
      return row.errorDetectedFull || '';
    case 7: {
      const m = /^(\S+)\/(\S+) (\S+)%$/.exec(row.duration.trim());
      return m ? t('durationTip', m[1], m[2], m[3]) : row.duration;
    }
    default:
      return '';
  }
}

// What the row says about its alerts: down behind its parent, or flapping.
export function alertNote(row) {
  if (row.alertMark === 'behindParent') return t('noteBehindParent', row.alertParent);
  if (row.alertMark === 'flapping') return t('noteFlapping');
  if (row.alertMark === 'maintenance') return t('noteMaintenance');
  return '';
}

// A narrow screen shows lamp, server and last check; a tap on a row shows the rest.
export const compactScreen = window.matchMedia('(max-width: 699px)');

export class AccountList {
  constructor(onChanged) {
    this.header = document.getElementById('list-header');
    this.list = document.getElementById('list');
    this.scroll = document.getElementById('list-scroll');
    this.scrollSize = document.getElementById('list-scroll-size');
    this.dragLine = document.getElementById('drag-line');
    this.onChanged = onChanged;
    this.state = null;
    this.top = 0;
    this.selected = -1;
    this.shownKey = '';
    this.loading = false;
    this.drag = null;
    this.bind();
  }

  visibleRows() {
    return Math.max(1, Math.floor(this.list.clientHeight / ROW_H));
  }

  bind() {
    this.scroll.addEventListener('scroll', () => {
      this.top = Math.round(this.scroll.scrollTop / ROW_H);
      this.refresh();
    });
    this.list.addEventListener(
      'wheel',
      (event) => {
        event.preventDefault();
        this.scrollBy(Math.sign(event.deltaY));
      },
      { passive: false },
    );
    this.list.addEventListener('mousedown', (event) => this.onListPress(event));
    this.list.addEventListener('dblclick', (event) => this.onDoubleClick(event));
    this.header.addEventListener('mousemove', (event) => this.onHeaderMove(event));
    this.header.addEventListener('mousedown', (event) => this.onHeaderPress(event));
    window.addEventListener('mousemove', (event) => this.onDragMove(event));
    window.addEventListener('mouseup', (event) => this.onDragEnd(event));
  }

  scrollBy(lines) {
    const max = Math.max(0, (this.state?.rows ?? 0) - this.visibleRows());
    this.top = Math.min(max, Math.max(0, this.top + lines));
    this.scroll.scrollTop = this.top * ROW_H;
    this.refresh();
  }

  update(state) {
    this.state = state;
    this.scrollSize.style.height = `${state.rows * ROW_H + (this.list.clientHeight % ROW_H)}px`;
    const max = Math.max(0, state.rows - this.visibleRows());
    if (this.top > max) this.top = max;
    this.drawHeader();
    this.refresh();
  }

  headerX(event) {
    return Math.round(event.clientX - this.header.getBoundingClientRect().left);
  }

  boundaryAt(x) {
    const { left, right } = this.state.columns;
    for (let k = 3; k < 8; k++) {
      if (x >= right[k - 1] - 3 && x <= left[k] + 2) return k;
    }
    return 0;
  }

  columnAt(x) {
    const { left, right } = this.state.columns;
    for (let c = 0; c < 8; c++) if (x > left[c] && x < right[c]) return c;
    return -1;
  }

  drawHeader() {
    const s = this.state;
    const key = JSON.stringify([
      s.columns,
      s.sortColumn,
      s.descending,
      document.documentElement.lang,
    ]);
    if (key === this.headerKey) return;
    this.headerKey = key;
    this.header.replaceChildren();
    for (let c = 0; c < 8; c++) {
      const cell = document.createElement('div');
      cell.className = 'col-title';
      cell.dataset.column = String(c);
      cell.style.left = `${s.columns.left[c]}px`;
      cell.style.width = `${s.columns.right[c] - s.columns.left[c] + 1}px`;
      const text = document.createElement('span');
      text.className = 'title-text';
      text.textContent = t(`col${c}`);
      cell.title = t(`col${c}`);
      cell.append(text);
      if (c === s.sortColumn) {
        const mark = document.createElement('span');
        const up = s.descending[c] === REVERSED.has(c);
        mark.className = `sort-mark ${up ? 'up' : 'down'}`;
        cell.append(mark);
      }
      this.header.append(cell);
    }
  }

  onHeaderMove(event) {
    if (!this.state || this.drag) return;
    const hot = this.state.rows > 0 && this.boundaryAt(this.headerX(event)) > 0;
    this.header.classList.toggle('resizing', hot);
  }

  async onHeaderPress(event) {
    if (!this.state || this.state.rows === 0 || event.button !== 0) return;
    const x = this.headerX(event);
    const k = this.boundaryAt(x);
    if (k > 0) {
      event.preventDefault();
      this.drag = { k, x };
      this.showDragLine(event.clientX);
      return;
    }
    await act('sort', { column: this.columnAt(x) });
    this.onChanged();
    this.list.focus();
  }

  showDragLine(clientX) {
    const headerBox = this.header.getBoundingClientRect();
    const listBox = this.list.getBoundingClientRect();
    const x = Math.min(Math.max(clientX, headerBox.left), headerBox.right - 2);
    this.dragLine.hidden = false;
    this.dragLine.style.left = `${x}px`;
    this.dragLine.style.top = `${headerBox.top}px`;
    this.dragLine.style.height = `${listBox.bottom - headerBox.top}px`;
  }

  onDragMove(event) {
    if (!this.drag) return;
    this.showDragLine(event.clientX);
  }

  async onDragEnd(event) {
    if (!this.drag) return;
    const { k } = this.drag;
    this.drag = null;
    this.dragLine.hidden = true;
    this.header.classList.remove('resizing');
    const x = Math.min(Math.max(this.headerX(event), 0), this.header.clientWidth);
    await act('drag', { boundary: k, x });
    this.onChanged();
  }

  rowAt(event) {
    const y = event.clientY - this.list.getBoundingClientRect().top;
    return this.top + Math.floor(y / ROW_H);
  }

  async onListPress(event) {
    if (!this.state || event.button !== 0) return;
    const row = this.rowAt(event);
    if (row >= this.state.rows) return;
    this.selected = row;
    this.markSelection();
    if (compactScreen.matches) {
      await this.showDetails(row);
      return;
    }
    const x = event.clientX - this.list.getBoundingClientRect().left;
    const { left, right } = this.state.columns;
    if (x > left[0] && x < right[0]) {
      await act('toggle', { row });
      this.onChanged();
    }
  }

  async onDoubleClick(event) {
    if (!this.state) return;
    const row = this.rowAt(event);
    if (row >= this.state.rows || row >= 30000) return;
    const x = event.clientX - this.list.getBoundingClientRect().left;
    if (x < this.state.columns.right[0]) return;
    const answer = await act('open', { row });
    if (!answer.ok) return;
    if (answer.damaged) {
      await messageBox(t('damaged'));
    } else {
      await openEditDialog(answer.key, () => this.onChanged());
    }
  }

  async showDetails(index) {
    const data = await getJson(`/api/rows?first=${index}&count=1`);
    const row = data.rows[0];
    if (!row || !row.valid) return;
    const lines = [
      `${t('col2')}: ${row.name.trim()}`,
      `${t('col3')}: ${row.domain.trim()}`,
      `${t('col4')}: ${row.service}`,
      `${t('col5')}: ${row.lastCheckFull || hoverText(1, row) || '-'}`,
      `${t('col6')}: ${row.errorDetectedFull || '-'}`,
      `${t('col7')}: ${hoverText(7, row) || '-'}`,
      `${t('col0')}: ${row.enabled ? t('enabledYes') : t('enabledNo')}`,
    ];
    await messageBox(lines.join('\n'), { icon: 'i', caption: row.name.trim() });
  }

  // The selected row as the console reads it now, or null (none selected, or gone).
  async selectedRow() {
    if (!this.state || this.selected < 0 || this.selected >= this.state.rows) return null;
    const data = await getJson(`/api/rows?first=${this.selected}&count=1`);
    const row = data.rows[0];
    return row?.valid && row.key ? row : null;
  }

  // The small history button at the end of a row's server cell. It keeps its presses to
  // itself, so the row's own click, check box and double-click work as before.
  historyButton(row) {
    const b = document.createElement('button');
    b.type = 'button';
    b.className = 'row-history';
    b.title = t('rowHistory');
    b.setAttribute('aria-label', t('rowHistory'));
    const img = document.createElement('img');
    img.src = '/icons/history.svg';
    img.alt = '';
    b.append(img);
    for (const type of ['mousedown', 'dblclick']) {
      b.addEventListener(type, (event) => event.stopPropagation());
    }
    b.addEventListener('click', (event) => {
      event.stopPropagation();
      openHistoryPanel(row.key, row.service.trim());
    });
    return b;
  }

  markSelection() {
    for (const el of this.list.children) {
      el.classList.toggle('selected', Number(el.dataset.index) === this.selected);
    }
  }

  async refresh(force = false) {
    if (!this.state) return;
    const count = this.visibleRows() + 1;
    const key = `${this.top}:${count}:${this.state.listVersion}:${this.headerKey}`;
    if (!force && key === this.shownKey) return;
    if (this.loading) {
      this.again = true;
      return;
    }
    this.loading = true;
    try {
      const data = await getJson(`/api/rows?first=${this.top}&count=${count}`);
      this.shownKey = key;
      this.draw(data.rows);
    } finally {
      this.loading = false;
      if (this.again) {
        this.again = false;
        this.refresh();
      }
    }
  }

  draw(rows) {
    const { left, right } = this.state.columns;
    const fragment = document.createDocumentFragment();
    for (const row of rows) {
      const el = document.createElement('div');
      el.className = 'list-row';
      el.dataset.index = String(row.index);
      el.style.top = `${(row.index - this.top) * ROW_H}px`;
      if (row.valid) {
        const cells = [
          ['en', row.enabled ? 'checkon' : 'checkoff'],
          ['st', `lamp-${row.lamp}`],
          ['text', ` ${row.name}`],
          ['text', row.domain],
          ['text', row.service],
          ['mono', row.lastCheck ? ` ${row.lastCheck}` : ''],
          ['mono', row.errorDetected ? ` ${row.errorDetected}` : ''],
          ['mono', row.duration],
        ];
        cells.forEach(([kind, value], c) => {
          const cell = document.createElement('div');
          cell.className = `cell ${kind}`;
          cell.dataset.column = String(c);
          cell.style.left = `${left[c]}px`;
          cell.style.width = `${right[c] - left[c] + 1}px`;
          if (c < 2) {
            const img = document.createElement('img');
            img.src = `/icons/${value}.svg`;
            img.alt = c === 0 ? (row.enabled ? 'on' : 'off') : row.lamp;
            img.className = c === 0 ? 'check' : 'lamp';
            cell.append(img);
            // In a maintenance window the lamp wears a wrench: checks run, alerts wait.
            if (c === 1 && row.alertMark === 'maintenance') {
              const badge = document.createElement('img');
              badge.src = '/icons/maintenance.svg';
              badge.alt = t('noteMaintenance');
              badge.className = 'maint-badge';
              cell.append(badge);
            }
          } else {
            cell.textContent = value;
            if (c === 2 && row.key) {
              cell.classList.add('has-history');
              cell.append(this.historyButton(row));
            }
            if (c === 2 && row.alertMark) {
              const note = document.createElement('span');
              note.className = `alert-mark ${row.alertMark}`;
              note.textContent = alertNote(row);
              cell.append(note);
            }
          }
          const tip = hoverText(c, row);
          if (tip) cell.title = tip;
          el.append(cell);
        });
      } else {
        el.classList.add('blank');
      }
      fragment.append(el);
    }
    this.list.replaceChildren(fragment);
    this.markSelection();
  }
}
