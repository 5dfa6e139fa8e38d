// The monthly availability report: a month picker, per account and check the availability,
// the number of outages, the longest one and the average response time, and the same table
// as a CSV file to download.
import { getDownload, getJson } from '../api.js';
import { el } from '../form.js';
import { messageBox, openModal } from '../modal.js';
import { t } from '../messages.js';
import { availabilityTone, showAvailability } from '../chart.js';
import { checkLabel, consoleNow, openHistoryPanel, outageLength } from './history.js';

// The table shows this many rows at most (the CSV has them all).
const MOST_ROWS = 5000;

// "YYYYMM" of the picker's "YYYY-MM", or "" when it holds no month.
export function monthOf(value) {
  const m = /^(\d{4})-(\d{2})$/.exec(value ?? '');
  return m && Number(m[2]) >= 1 && Number(m[2]) <= 12 ? `${m[1]}${m[2]}` : '';
}

// The console's present month as the picker writes it.
function thisMonth() {
  const now = consoleNow();
  return `${now.slice(0, 4)}-${now.slice(4, 6)}`;
}

function reportTable(rows) {
  const shown = rows.slice(0, MOST_ROWS);
  const head = el(
    'tr',
    {},
    ...['col2', 'histCheck', 'repAvailability', 'repOutages', 'repLongest', 'repAverage'].map((k) =>
      el('th', { text: t(k) }),
    ),
  );
  const none = t('histNoChecks');
  const body = shown.map((r) =>
    el(
      'tr',
      { 'data-key': String(r.key ?? ''), 'data-check': String(r.check ?? '') },
      el('td', { text: String(r.name ?? '').trim() }),
      el('td', { text: checkLabel(r.check) }),
      el('td', {
        class: `num tone-${availabilityTone(r.availability)}`,
        text: showAvailability(r.availability, none),
      }),
      el('td', { class: 'num', text: String(Number(r.outages) || 0) }),
      el('td', {
        class: 'num',
        text: Number(r.longestMinutes) > 0 ? outageLength(r.longestMinutes) : '-',
      }),
      el('td', {
        class: 'num',
        text: Number.isFinite(r.avgMs) ? `${Math.round(r.avgMs)} ${t('histMs')}` : '-',
      }),
    ),
  );
  const table = el('table', { class: 'history-table report' }, el('thead', {}, head));
  table.append(el('tbody', {}, ...body));
  // A row opens its account's history over the report.
  table.addEventListener('click', (event) => {
    const row = event.target.closest('tbody tr');
    if (row?.dataset.key) openHistoryPanel(row.dataset.key, row.dataset.check);
  });
  return table;
}

export function openReportDialog() {
  const picker = el('input', { type: 'month', id: 'report-month', value: thisMonth() });
  const pick = el(
    'div',
    { class: 'report-pick' },
    el('label', { for: 'report-month', text: t('repMonth') }),
    picker,
  );
  const result = el('div', { class: 'report-result' });
  let serial = 0;
  const load = async () => {
    const month = monthOf(picker.value);
    const mine = ++serial;
    if (!month) {
      result.replaceChildren(el('div', { class: 'form-note', text: t('repPickMonth') }));
      return;
    }
    result.replaceChildren(el('div', { class: 'form-note', text: t('histLoading') }));
    let answer;
    try {
      answer = await getJson(`/api/report?${new URLSearchParams({ month })}`);
    } catch (error) {
      answer = { failed: error.text ?? t('histUnavailable') };
    }
    if (mine !== serial) return;
    const rows = Array.isArray(answer.rows) ? answer.rows : [];
    if (answer.failed)
      result.replaceChildren(el('div', { class: 'form-note', text: answer.failed }));
    else if (rows.length === 0)
      result.replaceChildren(el('div', { class: 'form-note', text: t('repEmpty') }));
    else result.replaceChildren(reportTable(rows));
  };
  const download = async () => {
    const month = monthOf(picker.value);
    if (!month) return messageBox(t('repPickMonth'));
    try {
      const query = new URLSearchParams({ month, format: 'csv' });
      const file = await getDownload(`/api/report?${query}`, `report-${month}.csv`);
      const url = URL.createObjectURL(file.blob);
      const link = el('a', { href: url, download: file.name });
      document.body.append(link);
      link.click();
      link.remove();
      setTimeout(() => URL.revokeObjectURL(url), 10000);
    } catch {
      await messageBox(t('histUnavailable'));
    }
  };
  const d = openModal({
    key: 'report',
    title: t('titleReport'),
    width: 760,
    className: 'history-dialog report-dialog',
    content: [pick, result],
    buttons: [
      { label: 'btnCsv', run: download },
      { label: 'btnClose', cancel: true },
    ],
  });
  if (!d) return Promise.resolve();
  picker.addEventListener('change', load);
  load();
  return d.closed;
}
