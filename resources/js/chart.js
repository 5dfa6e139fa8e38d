// Charts of an account's history, drawn as SVG by the page itself: a response-time chart
// (average line, min-max band, failure marks) and daily availability bars. The figures
// (scales, ticks, segments, bars) are plain functions of the points, so they can be checked
// without a browser; only render* touch the document.
//
// Times are the history routes' "YYYYMMDDhhmm" stamps in the console's local time. They are
// counted here as minutes on a clock without zones (Date.UTC of the same fields), so a day
// across a clock change keeps 1440 minutes and no point lands on another's place.

const SVG = 'http://www.w3.org/2000/svg';
export const STEP_MINUTES = { minute: 1, hour: 60, day: 1440 };
const DAY = 1440;

// Minutes of a 12-digit stamp (8 digits: its midnight), NaN for anything else.
export function stampMinutes(stamp) {
  const m = /^(\d{4})(\d{2})(\d{2})(?:(\d{2})(\d{2}))?$/.exec(String(stamp ?? ''));
  if (!m) return NaN;
  const [y, mo, d, h = 0, mi = 0] = m.slice(1).map((v) => Number(v ?? 0));
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59) return NaN;
  return Date.UTC(y, mo - 1, d, h, mi) / 60000;
}

const pad = (n, w = 2) => String(n).padStart(w, '0');

export function minutesStamp(minutes) {
  const d = new Date(minutes * 60000);
  return (
    pad(d.getUTCFullYear(), 4) +
    pad(d.getUTCMonth() + 1) +
    pad(d.getUTCDate()) +
    pad(d.getUTCHours()) +
    pad(d.getUTCMinutes())
  );
}

// The stamp of a moment by this browser's clock.
export function localStamp(date = new Date()) {
  return (
    pad(date.getFullYear(), 4) +
    pad(date.getMonth() + 1) +
    pad(date.getDate()) +
    pad(date.getHours()) +
    pad(date.getMinutes())
  );
}

// "2026/12/09 14:05" (or only the date) of a stamp; the stamp itself when it is no time.
export function showStamp(stamp, withTime = true) {
  const t = stampMinutes(stamp);
  if (!Number.isFinite(t)) return String(stamp ?? '');
  const s = minutesStamp(t);
  const date = `${s.slice(0, 4)}/${s.slice(4, 6)}/${s.slice(6, 8)}`;
  return withTime ? `${date} ${s.slice(8, 10)}:${s.slice(10, 12)}` : date;
}

// Maps [d0, d1] onto [r0, r1]. An empty domain (one point, one value) maps to the middle of
// the range rather than dividing by zero.
export function linearScale([d0, d1], [r0, r1]) {
  const width = d1 - d0;
  if (!Number.isFinite(width) || width === 0) return () => (r0 + r1) / 2;
  return (v) => r0 + ((v - d0) / width) * (r1 - r0);
}

// The smallest of 1, 2, 5 x 10^k at or above v (10 for nothing to show).
export function niceMax(v) {
  if (!Number.isFinite(v) || v <= 0) return 10;
  const power = 10 ** Math.floor(Math.log10(v));
  for (const f of [1, 2, 5, 10]) if (f * power >= v) return f * power;
  return 10 * power;
}

// Value ticks from 0 to niceMax(max) in round steps (a fifth of 1 or 5 x 10^k, a quarter of 2).
export function valueTicks(max) {
  const top = niceMax(max);
  const count = Math.round(top / 10 ** Math.floor(Math.log10(top))) === 2 ? 4 : 5;
  return Array.from({ length: count + 1 }, (_, i) => Number(((top * i) / count).toPrecision(6)));
}

// Time ticks between `from` and `to` (minutes), at most `most` of them, on whole hours, days
// or months. Returns [{ at, label }].
export function timeTicks(from, to, most = 6) {
  const span = to - from;
  if (!(span > 0) || most < 1) return [];
  const fixed = [60, 120, 180, 360, 720, DAY, 2 * DAY, 5 * DAY, 7 * DAY, 14 * DAY];
  const step = fixed.find((s) => span / s <= most);
  const out = [];
  if (step !== undefined) {
    const label = (at) => {
      const s = minutesStamp(at);
      return step < DAY
        ? `${s.slice(8, 10)}:${s.slice(10, 12)}`
        : `${s.slice(4, 6)}/${s.slice(6, 8)}`;
    };
    for (let at = Math.ceil(from / step) * step; at <= to; at += step) {
      out.push({ at, label: label(at) });
    }
    return out;
  }
  // Months: the first of every k-th month.
  const months = Math.ceil(span / (30.44 * DAY) / most);
  const start = new Date(from * 60000);
  let y = start.getUTCFullYear();
  let m = start.getUTCMonth() + 1;
  for (;;) {
    if (m > 11) {
      y += Math.floor(m / 12);
      m %= 12;
    }
    const at = Date.UTC(y, m, 1) / 60000;
    if (at > to) break;
    if (m % months === 0 || months === 1) out.push({ at, label: `${y}/${pad(m + 1)}` });
    m += 1;
  }
  return out;
}

// The points of a series ordered by time, those without a readable time dropped, and at most
// `most` of them (a route answer is not trusted to be small).
export function cleanPoints(points, most = 5000) {
  if (!Array.isArray(points)) return [];
  return points
    .slice(0, most)
    .map((p) => ({ ...p, x: stampMinutes(p?.t) }))
    .filter((p) => Number.isFinite(p.x))
    .sort((a, b) => a.x - b.x);
}

const measured = (p) => Number.isFinite(p.avg);

// The response-time series of a chart: runs of measured points joined by a line, broken where
// a point has no measurement (every check of it failed) and where the time to the next
// measured point is well beyond the usual spacing of the series (nothing was recorded in
// between: the console or the agents were away). Points with failures are listed apart, and
// so are points whose checks passed without a time (a port is open or not: no response time)
// and points with checks in a maintenance window.
// Returns { segments: [[{x, avg, min, max}]], failures: [{x, fail, n, code, error, t}],
// passes: [{x, n, t}], maintenance: [{x, maint, n, t}], top }.
export function responseSeries(points, step = 'minute') {
  const all = cleanPoints(points);
  const spacings = [];
  for (let i = 1; i < all.length; i++) spacings.push(all[i].x - all[i - 1].x);
  spacings.sort((a, b) => a - b);
  const usual = spacings.length ? spacings[Math.floor(spacings.length / 2)] : 0;
  const gap = Math.max(STEP_MINUTES[step] ?? 1, usual) * 2.5;
  const segments = [];
  const failures = [];
  const passes = [];
  const maintenance = [];
  let run = [];
  let last = null;
  let top = 0;
  for (const p of all) {
    if (p.fail > 0) failures.push(p);
    if (Number(p.maint) > 0) maintenance.push(p);
    if (!measured(p)) {
      if (Number(p.n) > Number(p.fail || 0) + Number(p.maint || 0)) passes.push(p);
      if (run.length) segments.push(run);
      run = [];
      last = null;
      continue;
    }
    if (last !== null && p.x - last > gap) {
      segments.push(run);
      run = [];
    }
    const min = Number.isFinite(p.min) ? p.min : p.avg;
    const max = Number.isFinite(p.max) ? p.max : p.avg;
    run.push({ x: p.x, avg: p.avg, min, max, t: p.t });
    top = Math.max(top, max);
    last = p.x;
  }
  if (run.length) segments.push(run);
  return { segments, failures, passes, maintenance, top };
}

const fixed = (v) => (Math.round(v * 10) / 10).toString();

// SVG path data of a line through a segment's averages ("" for fewer than two points: a lone
// point is drawn as a dot).
export function linePath(segment, xs, ys) {
  if (segment.length < 2) return '';
  return segment.map((p, i) => `${i ? 'L' : 'M'}${fixed(xs(p.x))} ${fixed(ys(p.avg))}`).join('');
}

// SVG path data of the band between a segment's minima and maxima ("" for fewer than two).
export function bandPath(segment, xs, ys) {
  if (segment.length < 2) return '';
  const upper = segment.map((p, i) => `${i ? 'L' : 'M'}${fixed(xs(p.x))} ${fixed(ys(p.max))}`);
  const lower = [...segment].reverse().map((p) => `L${fixed(xs(p.x))} ${fixed(ys(p.min))}`);
  return `${upper.join('')}${lower.join('')}Z`;
}

// One bar per day from the day of `from` to the day of `to`: the share of successful checks
// outside maintenance windows in percent, or null for a day without such checks. `points`
// are daily points.
export function dailyBars(points, from, to) {
  const first = Math.floor(from / DAY) * DAY;
  const last = Math.floor(to / DAY) * DAY;
  const byDay = new Map();
  for (const p of cleanPoints(points)) {
    const day = Math.floor(p.x / DAY) * DAY;
    const had = byDay.get(day) ?? { n: 0, fail: 0 };
    const n = Math.max(0, (Number(p.n) || 0) - (Number(p.maint) > 0 ? Number(p.maint) : 0));
    const fail = Math.min(n, Number(p.fail) > 0 ? Number(p.fail) : 0);
    byDay.set(day, { n: had.n + n, fail: had.fail + fail });
  }
  const bars = [];
  for (let day = first; day <= last && bars.length < 400; day += DAY) {
    const d = byDay.get(day);
    const value = d && d.n > 0 ? (100 * (d.n - d.fail)) / d.n : null;
    bars.push({ day, stamp: minutesStamp(day).slice(0, 8), value });
  }
  return bars;
}

// How a share of successful checks is coloured.
export function availabilityTone(value) {
  if (value === null || value === undefined || !Number.isFinite(value)) return 'none';
  if (value >= 99.9) return 'ok';
  if (value >= 95) return 'warn';
  return 'bad';
}

// "99.861 %", or `none` for no checks in the span.
export function showAvailability(value, none) {
  if (value === null || value === undefined || !Number.isFinite(Number(value))) return none;
  const v = Number(value);
  const digits = v === 100 || v === 0 ? 0 : v >= 99 ? 3 : 1;
  return `${v.toFixed(digits)} %`;
}

function node(tag, attrs = {}, text) {
  const n = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs)) n.setAttribute(k, String(v));
  if (text !== undefined) n.textContent = text;
  return n;
}

function titled(n, text) {
  n.append(node('title', {}, text));
  return n;
}

const PAD = { left: 44, right: 8, top: 8, bottom: 20 };

// The response-time chart of one check. `answer` is a history route answer; `labels` has
// `empty` (no result in the span), `ms` (unit), `failed`, `passed` and `maintenance` (the
// captions of a mark), `average` and `band` (of the line and the min-max band). Every text is
// set as text.
export function renderResponseChart(answer, { width = 640, height: tall = 170, labels }) {
  const from = stampMinutes(answer?.from);
  const to = stampMinutes(answer?.to);
  const { segments, failures, passes, maintenance, top } = responseSeries(
    answer?.points,
    answer?.step,
  );
  // Without a single time the chart is a strip of passed and failed checks, with no ms scale.
  const timed = segments.length > 0;
  const height = timed ? tall : Math.min(tall, 64);
  const svg = node('svg', {
    class: 'chart response-chart',
    width,
    height,
    viewBox: `0 0 ${width} ${height}`,
    role: 'img',
  });
  const x0 = PAD.left;
  const x1 = width - PAD.right;
  const y0 = height - PAD.bottom;
  const y1 = PAD.top;
  const xs = linearScale([from, to], [x0, x1]);
  const ticks = valueTicks(top);
  const ys = linearScale([0, ticks.at(-1)], [y0, y1]);
  for (const v of timed ? ticks : []) {
    const y = fixed(ys(v));
    svg.append(node('line', { class: 'chart-grid', x1: x0, x2: x1, y1: y, y2: y }));
    svg.append(
      node('text', { class: 'chart-label', x: x0 - 4, y: Number(y) + 4, 'text-anchor': 'end' }, v),
    );
  }
  if (timed) {
    svg.append(
      node('text', { class: 'chart-label', x: 2, y: y1 + 4, 'text-anchor': 'start' }, labels.ms),
    );
  }
  if (Number.isFinite(from) && Number.isFinite(to)) {
    for (const tick of timeTicks(from, to, Math.max(2, Math.floor((x1 - x0) / 80)))) {
      const x = fixed(xs(tick.at));
      svg.append(node('line', { class: 'chart-grid', x1: x, x2: x, y1: y0, y2: y1 }));
      svg.append(
        node(
          'text',
          { class: 'chart-label', x, y: height - 5, 'text-anchor': 'middle' },
          tick.label,
        ),
      );
    }
  }
  // Maintenance time is shaded over the whole height, under everything else.
  for (const p of maintenance) {
    svg.append(
      titled(
        node('rect', {
          class: 'chart-maint',
          x: Number(fixed(xs(p.x))) - 2,
          y: y1,
          width: 4,
          height: y0 - y1,
        }),
        `${showStamp(p.t)}  ${labels.maintenance} ${p.maint}/${p.n}`,
      ),
    );
  }
  svg.append(node('line', { class: 'chart-axis', x1: x0, x2: x1, y1: y0, y2: y0 }));
  for (const segment of segments) {
    const band = bandPath(segment, xs, ys);
    if (band) svg.append(titled(node('path', { class: 'chart-band', d: band }), labels.band));
    const line = linePath(segment, xs, ys);
    if (line) svg.append(titled(node('path', { class: 'chart-line', d: line }), labels.average));
    else {
      const [p] = segment;
      svg.append(
        titled(
          node('circle', { class: 'chart-dot', cx: fixed(xs(p.x)), cy: fixed(ys(p.avg)), r: 2.5 }),
          `${showStamp(p.t)}  ${p.avg} ${labels.ms}`,
        ),
      );
    }
  }
  const mark = timed ? 8 : 24;
  for (const p of timed ? [] : passes) {
    svg.append(
      titled(
        node('rect', {
          class: 'chart-pass',
          x: Number(fixed(xs(p.x))) - 1.5,
          y: y0 - mark,
          width: 3,
          height: mark,
        }),
        `${showStamp(p.t)}  ${labels.passed} ${p.n}`,
      ),
    );
  }
  for (const f of failures) {
    const x = fixed(xs(f.x));
    const caption = [showStamp(f.t), `${labels.failed} ${f.fail}/${f.n}`];
    if (f.code !== undefined) caption.push(String(f.code));
    if (f.error) caption.push(String(f.error).slice(0, 200));
    svg.append(
      titled(
        node('rect', {
          class: 'chart-fail',
          x: Number(x) - 1.5,
          y: y0 - mark,
          width: 3,
          height: mark,
        }),
        caption.join('  '),
      ),
    );
  }
  if (!timed && failures.length === 0 && passes.length === 0 && maintenance.length === 0) {
    svg.append(
      node(
        'text',
        { class: 'chart-empty', x: (x0 + x1) / 2, y: (y0 + y1) / 2, 'text-anchor': 'middle' },
        labels.empty,
      ),
    );
  }
  return svg;
}

// The daily availability bars of one check over [from, to] (minutes). `labels.none` names a
// day without checks.
export function renderAvailabilityBars(points, from, to, { width = 640, height = 46, labels }) {
  const bars = dailyBars(points, from, to);
  const svg = node('svg', {
    class: 'chart bars-chart',
    width,
    height,
    viewBox: `0 0 ${width} ${height}`,
    role: 'img',
  });
  const x0 = PAD.left;
  const x1 = width - PAD.right;
  const slot = bars.length ? (x1 - x0) / bars.length : 0;
  const gapWidth = slot > 4 ? 1 : 0;
  const barTop = 4;
  const barBottom = height - 4;
  svg.append(
    node('text', { class: 'chart-label', x: x0 - 4, y: barTop + 10, 'text-anchor': 'end' }, '%'),
  );
  bars.forEach((bar, i) => {
    const tone = availabilityTone(bar.value);
    // The height is the day's share; its colour tells 99.9 % from 99 %. A day without
    // checks is a low grey stub, never read as a bad day.
    const share = bar.value === null ? 0.2 : Math.max(0.06, bar.value / 100);
    const h = (barBottom - barTop) * Math.min(1, share);
    const text = `${showStamp(bar.stamp, false)}: ${bar.value === null ? labels.none : showAvailability(bar.value, labels.none)}`;
    svg.append(
      titled(
        node('rect', {
          class: `chart-bar bar-${tone}`,
          x: fixed(x0 + i * slot),
          y: fixed(barBottom - h),
          width: fixed(Math.max(0.5, slot - gapWidth)),
          height: fixed(h),
          'data-day': bar.stamp,
        }),
        text,
      ),
    );
  });
  return svg;
}
