// The activity pane: today's display log, newest line at the top, three cells per row.
import { command, getJson } from './api.js';
import { entryPopup } from './modal.js';
import { commandNamed } from './facts.js';
import { t } from './messages.js';

const ROW_H = 20;

export class ActivityPane {
  constructor() {
    this.pane = document.getElementById('pane');
    this.scroll = document.getElementById('pane-scroll');
    this.scrollSize = document.getElementById('pane-scroll-size');
    this.first = 0;
    this.total = 0;
    this.version = -1;
    this.shownKey = '';
    this.entries = [];
    this.loading = false;
    this.scroll.addEventListener('scroll', () => {
      this.first = Math.round(this.scroll.scrollTop / ROW_H);
      this.refresh();
    });
    this.pane.addEventListener(
      'wheel',
      (event) => {
        event.preventDefault();
        this.scrollBy(Math.sign(event.deltaY));
      },
      { passive: false },
    );
    this.pane.addEventListener('mouseenter', () => {
      if (document.hasFocus()) this.pane.focus({ preventScroll: true });
    });
    this.pane.addEventListener('keydown', (event) => {
      if (event.key === 'ArrowDown') this.scrollBy(1);
      if (event.key === 'ArrowUp') this.scrollBy(-1);
    });
    // A day's log from "View/Erase Logs" stays in the pane until the way back is taken.
    this.viewing = document.getElementById('pane-viewing');
    document
      .getElementById('pane-today')
      .addEventListener('click', () => command(commandNamed('reloadPane').id));
    this.pane.addEventListener('dblclick', (event) => {
      const y = event.clientY - this.pane.getBoundingClientRect().top;
      const entry = this.entries[Math.floor(y / ROW_H)];
      if (entry) entryPopup(entry);
    });
  }

  visibleRows() {
    return Math.max(1, Math.floor(this.pane.clientHeight / ROW_H));
  }

  maxFirst() {
    return Math.max(0, this.total - this.visibleRows());
  }

  scrollBy(lines) {
    this.first = Math.min(this.maxFirst(), Math.max(0, this.first + lines));
    this.scroll.scrollTop = this.first * ROW_H;
    this.refresh();
  }

  update(state) {
    this.viewing.hidden = !state.paneLog;
    this.pane.classList.toggle('viewing-log', Boolean(state.paneLog));
    if (state.paneLog)
      document.getElementById('pane-viewing-text').textContent = t('paneViewing', state.paneLog);
    if (state.paneLog !== this.log) {
      this.log = state.paneLog;
      this.first = 0;
      this.scroll.scrollTop = 0;
    }
    this.total = state.paneLines;
    this.version = state.paneVersion;
    this.scrollSize.style.height = `${this.total * ROW_H + (this.pane.clientHeight % ROW_H)}px`;
    if (this.first > this.maxFirst()) this.first = this.maxFirst();
    this.refresh();
  }

  async refresh() {
    const count = this.visibleRows() + 1;
    const key = `${this.first}:${count}:${this.version}`;
    if (key === this.shownKey) return;
    if (this.loading) {
      this.again = true;
      return;
    }
    this.loading = true;
    try {
      const data = await getJson(`/api/pane?first=${this.first}&count=${count}`);
      this.shownKey = key;
      this.entries = data.lines;
      this.draw();
    } finally {
      this.loading = false;
      if (this.again) {
        this.again = false;
        this.refresh();
      }
    }
  }

  draw() {
    const fragment = document.createDocumentFragment();
    for (const entry of this.entries) {
      const row = document.createElement('div');
      row.className = `pane-row ${entry.tone}`;
      for (const text of [entry.time, entry.name, entry.message]) {
        const cell = document.createElement('span');
        cell.textContent = text;
        row.append(cell);
      }
      fragment.append(row);
    }
    this.pane.replaceChildren(fragment);
  }
}
