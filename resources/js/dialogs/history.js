// An account's history: for the last 24 hours, 7 days, 30 days or year, one response-time
// chart per check with its availability over the span and its daily availability bars, and
// the outages of the span (start, end, length, error). Everything comes from the console's
// history routes; the panel only draws it.
import { getJson } from '../api.js';
import { el } from '../form.js';
import { messageBox, oneOpen, openModal } from '../modal.js';
import { t } from '../messages.js';
import {
  localStamp,
  minutesStamp,
  renderAvailabilityBars,
  renderResponseChart,
  showAvailability,
  showStamp,
  stampMinutes,
  availabilityTone,
} from '../chart.js';

export const SPANS = [
  { id: 'day', label: 'span24h', minutes: 1440 },
  { id: 'week', label: 'span7d', minutes: 7 * 1440 },
  { id: 'month', label: 'span30d', minutes: 30 * 1440 },
  { id: 'year', label: 'span1y', minutes: 365 * 1440, step: 'day' },
];
// The outage list shows this many rows at most; the rest is counted.
const MOST_OUTAGES = 300;

const query = (params) => new URLSearchParams(params).toString();

// A check's name in the page's language ("Mail round trip"), its own name when the table has
// none (a check the page does not know yet).
export function checkLabel(check) {
  const key = `check${check}`;
  const text = t(key);
  return text === key ? String(check) : text;
}

// "45 min", "2 h 05 min", "3 d 4 h" in the page's language.
export function outageLength(minutes) {
  const m = Math.max(0, Math.round(Number(minutes) || 0));
  if (m < 60) return t('lenMinutes', m);
  if (m < 1440) return t('lenHours', Math.floor(m / 60), String(m % 60).padStart(2, '0'));
  return t('lenDays', Math.floor(m / 1440), Math.floor((m % 1440) / 60));
}

function outageTable(outages) {
  const shown = outages.slice(0, MOST_OUTAGES);
  const head = el(
    'tr',
    {},
    ...['histCheck', 'histStart', 'histEnd', 'histLength', 'histError'].map((k) =>
      el('th', { text: t(k) }),
    ),
  );
  const rows = shown.map((o) =>
    el(
      'tr',
      { class: o.end === null || o.end === undefined ? 'ongoing' : '' },
      el('td', { text: checkLabel(o.check) }),
      el('td', { class: 'num', text: showStamp(o.start) }),
      el('td', { class: 'num', text: o.end ? showStamp(o.end) : t('histOngoing') }),
      el('td', { class: 'num', text: outageLength(o.minutes) }),
      el('td', { class: 'error', text: String(o.error ?? '') }),
    ),
  );
  const table = el('table', { class: 'history-table outages' }, el('thead', {}, head));
  table.append(el('tbody', {}, ...rows));
  const parts = [table];
  if (outages.length > shown.length) {
    parts.push(
      el('div', { class: 'form-note', text: t('histMore', outages.length - shown.length) }),
    );
  }
  return parts;
}

// How far the console's clock is ahead of this browser's, in minutes: the history is kept
// in the console's local time, so the spans end at the console's present minute.
let clockOffset = 0;
export function followConsoleClock(consoleNow, browserNow = new Date()) {
  const offset = stampMinutes(consoleNow) - stampMinutes(localStamp(browserNow));
  if (Number.isFinite(offset)) clockOffset = offset;
}

// The console's present minute, YYYYMMDDhhmm.
export function consoleNow(browserNow = new Date()) {
  return minutesStamp(stampMinutes(localStamp(browserNow)) + clockOffset);
}

// The span [from, to] as stamps, ending at the console's present minute.
export function spanStamps(span, browserNow = new Date()) {
  const to = consoleNow(browserNow);
  return { from: minutesStamp(stampMinutes(to) - span.minutes), to };
}

// Opens the panel of account `key` (a row's account; `check` the row's own check, shown
// first). Resolves when it closes.
export function openHistoryPanel(key, check = '') {
  return oneOpen('history', async () => {
    let facts;
    try {
      facts = await getJson(`/api/history/checks?${query({ key })}`);
    } catch (error) {
      await messageBox(error.text ?? t('histUnavailable'));
      return;
    }
    const checks = Array.isArray(facts.checks) ? facts.checks.slice(0, 20).map(String) : [];
    const own = checks.indexOf(check);
    if (own > 0) checks.unshift(...checks.splice(own, 1));
    const spanBar = el('div', { class: 'span-bar', role: 'group', 'aria-label': t('histSpan') });
    const summary = el('div', { class: 'history-summary', 'aria-live': 'polite' });
    const charts = el('div', { class: 'history-charts' });
    const outages = el('div', { class: 'history-outages' });
    const panel = openModal({
      key: 'history-panel',
      title: t('titleHistory', String(facts.name ?? '').trim()),
      width: 760,
      className: 'history-dialog',
      content: [spanBar, summary, charts, el('h3', { text: t('histOutages') }), outages],
      buttons: [{ label: 'btnClose', cancel: true }],
      focus: false,
    });
    if (!panel) return;
    let serial = 0;
    const show = async (span) => {
      const mine = ++serial;
      for (const b of spanBar.children) b.setAttribute('aria-pressed', b.dataset.span === span.id);
      summary.textContent = t('histLoading');
      const { from, to } = spanStamps(span);
      // The bars count whole days: from the midnight of the span's first day.
      const dayFrom = `${from.slice(0, 8)}0000`;
      const series = (c, step, start) => {
        const params = { key, check: c, from: start, to };
        if (step) params.step = step;
        return getJson(`/api/history?${query(params)}`).catch((error) => ({
          failed: error.text ?? t('histUnavailable'),
        }));
      };
      const answers = await Promise.all(
        checks.map(async (c) => {
          const chart = await series(c, span.step, from);
          const days = span.step === 'day' ? chart : await series(c, 'day', dayFrom);
          return { check: c, chart, days };
        }),
      );
      const outageAnswer = await getJson(`/api/outages?${query({ key, from, to })}`).catch(
        (error) => ({ failed: error.text ?? t('histUnavailable') }),
      );
      if (mine !== serial || !panel.node.isConnected) return;
      draw(span, from, to, answers, outageAnswer);
    };
    const draw = (span, from, to, answers, outageAnswer) => {
      const width = Math.max(280, Math.min(720, charts.clientWidth || 720));
      const labels = {
        ms: t('histMs'),
        empty: t('histNoData'),
        failed: t('histFailed'),
        passed: t('histPassed'),
        maintenance: t('histMaintenance'),
        average: t('histAverage'),
        band: t('histBand'),
        none: t('histNoChecks'),
      };
      charts.replaceChildren();
      for (const { check: c, chart, days } of answers) {
        const head = el('div', { class: 'chart-head' }, el('span', { text: checkLabel(c) }));
        const box = el('section', { class: 'history-check', 'data-check': c }, head);
        if (chart.failed) {
          box.append(el('div', { class: 'form-note', text: chart.failed }));
        } else {
          const share =
            chart.successesLogged === false
              ? t('histUnknown')
              : showAvailability(chart.availability, labels.none);
          head.append(
            el('span', {
              class: `availability tone-${availabilityTone(chart.availability)}`,
              text: t('histAvailability', share),
            }),
          );
          box.append(renderResponseChart(chart, { width, labels }));
          // Checks in a maintenance window count neither as up nor as down.
          if (Number(chart.maintenance) > 0) {
            box.append(
              el('div', {
                class: 'form-note maintenance-note',
                text: t('histMaintenanceNote', String(chart.maintenance)),
              }),
            );
          }
          // A group logging errors only leaves its successes out of the logs.
          if (chart.successesLogged === false) {
            box.append(el('div', { class: 'form-note errors-only', text: t('histErrorsOnly') }));
          } else if (!days.failed) {
            box.append(
              renderAvailabilityBars(days.points, stampMinutes(from), stampMinutes(to), {
                width,
                labels,
              }),
            );
          }
        }
        charts.append(box);
      }
      if (answers.length === 0)
        charts.append(el('div', { class: 'form-note', text: labels.empty }));
      if (outageAnswer.failed) {
        outages.replaceChildren(el('div', { class: 'form-note', text: outageAnswer.failed }));
      } else {
        const list = Array.isArray(outageAnswer.outages) ? outageAnswer.outages : [];
        outages.replaceChildren(
          ...(list.length
            ? outageTable(list)
            : [el('div', { class: 'form-note', text: t('histNoOutages') })]),
        );
      }
      summary.textContent = t('histSpanText', t(span.label), showStamp(from), showStamp(to));
    };
    for (const span of SPANS) {
      spanBar.append(
        el('button', {
          type: 'button',
          class: 'span-button',
          'data-span': span.id,
          text: t(span.label),
          onclick: () => show(span),
        }),
      );
    }
    spanBar.firstChild.focus();
    await show(SPANS[0]);
    await panel.closed;
  });
}
