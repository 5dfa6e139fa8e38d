// The chart module's figures, without a browser: times, scales, ticks, the line's segments
// and the daily bars, for the series that break naive charts (nothing, one point, only
// failures, holes, points out of order).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  bandPath,
  dailyBars,
  linePath,
  linearScale,
  minutesStamp,
  responseSeries,
  showAvailability,
  stampMinutes,
  timeTicks,
  valueTicks,
} from '../../../resources/js/chart.js';

// Points every `every` minutes from `start`, ms given by `ms(i)` (null: every check failed).
function series(start, count, every, ms = () => 20) {
  const t0 = stampMinutes(start);
  return Array.from({ length: count }, (_, i) => {
    const v = ms(i);
    const t = minutesStamp(t0 + i * every);
    return v === null
      ? { t, n: 1, fail: 1, code: -3, error: 'refused' }
      : { t, n: 1, fail: 0, min: v, avg: v, max: v };
  });
}

test('stamps read and written back, nonsense refused', () => {
  for (const s of ['202612312359', '202402290000', '202701010000', '197001010000']) {
    assert.equal(minutesStamp(stampMinutes(s)), s);
  }
  assert.equal(stampMinutes('20261209'), stampMinutes('202612090000'));
  // Across a year's end the minutes run on.
  assert.equal(stampMinutes('202701010000') - stampMinutes('202612312359'), 1);
  for (const bad of [
    '',
    null,
    undefined,
    '2026120912',
    '202613010000',
    '202612092460',
    'x'.repeat(12),
  ]) {
    assert.ok(Number.isNaN(stampMinutes(bad)), String(bad));
  }
});

test('scales of an empty domain and value ticks stay finite and round', () => {
  const s = linearScale([5, 5], [0, 100]);
  assert.equal(s(5), 50);
  assert.equal(s(1e9), 50);
  assert.equal(linearScale([NaN, 3], [10, 20])(2), 15);
  assert.equal(linearScale([0, 10], [100, 0])(2.5), 75);
  const cases = [
    [0, [0, 2, 4, 6, 8, 10]],
    [-4, [0, 2, 4, 6, 8, 10]],
    [7, [0, 2, 4, 6, 8, 10]],
    [12, [0, 5, 10, 15, 20]],
    [20, [0, 5, 10, 15, 20]],
    [250, [0, 100, 200, 300, 400, 500]],
    [0.3, [0, 0.1, 0.2, 0.3, 0.4, 0.5]],
  ];
  for (const [max, ticks] of cases) assert.deepEqual(valueTicks(max), ticks, `max ${max}`);
});

test('the line breaks at failures and holes, not at the agents usual interval', () => {
  const cases = [
    { name: 'nothing', points: [], segments: [], failures: 0 },
    { name: 'not an array', points: { t: '202612090000' }, segments: [], failures: 0 },
    { name: 'one point', points: series('202612090000', 1, 5), segments: [1], failures: 0 },
    {
      name: 'only failures',
      points: series('202612090000', 4, 5, () => null),
      segments: [],
      failures: 4,
    },
    {
      name: 'every five minutes',
      points: series('202612090000', 12, 5),
      segments: [12],
      failures: 0,
    },
    {
      name: 'a failure in the middle',
      points: series('202612090000', 7, 5, (i) => (i === 3 ? null : 10 + i)),
      segments: [3, 3],
      failures: 1,
    },
    {
      name: 'a two-hour hole',
      points: [...series('202612090000', 6, 5), ...series('202612090300', 6, 5)],
      segments: [6, 6],
      failures: 0,
    },
    {
      name: 'a port: checks that passed or failed, none with a time',
      points: series('202612090000', 6, 5, (i) => (i === 2 ? null : 0)).map((p) =>
        p.fail ? p : { t: p.t, n: 1, fail: 0 },
      ),
      segments: [],
      failures: 1,
      passes: 5,
    },
    {
      name: 'hourly points with one hour missing stay one line',
      points: [...series('202612090000', 5, 60), ...series('202612090600', 5, 60)],
      step: 'hour',
      segments: [10],
      failures: 0,
    },
  ];
  for (const c of cases) {
    const got = responseSeries(c.points, c.step ?? 'minute');
    assert.deepEqual(
      got.segments.map((s) => s.length),
      c.segments,
      c.name,
    );
    assert.equal(got.failures.length, c.failures, c.name);
    assert.equal(got.passes.length, c.passes ?? 0, c.name);
  }
});

test('points out of order, with bad times or partial failures are drawn in time order', () => {
  const points = [
    { t: '202612090010', n: 2, fail: 1, min: 30, avg: 30, max: 30 },
    { t: 'garbage', n: 1, fail: 0, avg: 999 },
    { t: '202612090000', n: 1, fail: 0, min: 10, avg: 12, max: 15 },
    { t: '202612090005', n: 1, fail: 0, avg: 20 },
  ];
  const { segments, failures, top } = responseSeries(points);
  assert.deepEqual(
    segments[0].map((p) => [p.t, p.avg, p.min, p.max]),
    [
      ['202612090000', 12, 10, 15],
      ['202612090005', 20, 20, 20],
      ['202612090010', 30, 30, 30],
    ],
  );
  assert.equal(failures.length, 1, 'a point with some failures is marked and still measured');
  assert.equal(top, 30, 'a dropped point does not stretch the scale');
});

test('paths of one time span, one value or one point hold no NaN', () => {
  const xs = linearScale([100, 100], [0, 200]);
  const ys = linearScale([0, 0], [100, 0]);
  const segment = [
    { x: 100, avg: 0, min: 0, max: 0 },
    { x: 100, avg: 0, min: 0, max: 0 },
  ];
  assert.equal(linePath(segment, xs, ys), 'M100 50L100 50');
  assert.match(bandPath(segment, xs, ys), /^M100 50L100 50L100 50L100 50Z$/);
  assert.equal(linePath(segment.slice(0, 1), xs, ys), '');
  assert.equal(bandPath([], xs, ys), '');
});

test('daily bars: one per day of the span, a day without checks has none', () => {
  const from = stampMinutes('202612011530');
  const to = stampMinutes('202612041000');
  const points = [
    { t: '202612010000', n: 100, fail: 0 },
    { t: '202612030000', n: 200, fail: 50 },
    { t: '202612030000', n: 200, fail: 0 }, // a second point of one day adds to it
    { t: '202612040000', n: 0, fail: 0 },
    { t: '202612050000', n: 10, fail: 10 }, // after the span
  ];
  const bars = dailyBars(points, from, to);
  assert.deepEqual(
    bars.map((b) => [b.stamp, b.value]),
    [
      ['20261201', 100],
      ['20261202', null],
      ['20261203', 87.5],
      ['20261204', null],
    ],
  );
  // More failures than checks (a damaged answer) never gives a negative share.
  assert.equal(dailyBars([{ t: '202612010000', n: 2, fail: 5 }], from, from)[0].value, 0);
  assert.deepEqual(dailyBars(points, to, from), []);
  // Checks in a maintenance window count for neither side; a day of nothing else has none.
  const maint = [
    { t: '202612010000', n: 100, fail: 10, maint: 60 },
    { t: '202612020000', n: 30, fail: 0, maint: 30 },
  ];
  assert.deepEqual(
    dailyBars(maint, stampMinutes('202612010000'), stampMinutes('202612020000')).map(
      (b) => b.value,
    ),
    [75, null],
  );
  // A year's span gives a year of days and no more.
  const year = dailyBars([], stampMinutes('202512090000'), stampMinutes('202612090000'));
  assert.equal(year.length, 366);
});

test('time ticks fall on whole hours, days or months inside the span', () => {
  const cases = [
    { from: '202612082317', to: '202612092317', most: 6, step: 360, label: /^\d\d:00$/ },
    { from: '202612020000', to: '202612090000', most: 8, step: 1440, label: /^12\/\d\d$/ },
    { from: '202512090000', to: '202612090000', most: 6, step: null, label: /^20\d\d\/\d\d$/ },
  ];
  for (const c of cases) {
    const from = stampMinutes(c.from);
    const to = stampMinutes(c.to);
    const ticks = timeTicks(from, to, c.most);
    assert.ok(ticks.length >= 2 && ticks.length <= c.most, `${c.from}: ${ticks.length}`);
    for (const tick of ticks) {
      assert.ok(tick.at >= from && tick.at <= to, tick.label);
      assert.match(tick.label, c.label);
      if (c.step) assert.equal(tick.at % c.step, 0, tick.label);
      else assert.equal(minutesStamp(tick.at).slice(6), '010000', tick.label);
    }
  }
  assert.deepEqual(timeTicks(10, 10), []);
  assert.deepEqual(timeTicks(20, 10), []);
});

test('availability is shown with its digits, or as no checks', () => {
  const cases = [
    [null, 'none'],
    [undefined, 'none'],
    ['x', 'none'],
    [100, '100 %'],
    [0, '0 %'],
    [99.861, '99.861 %'],
    [87.25, '87.3 %'],
  ];
  for (const [v, text] of cases) assert.equal(showAvailability(v, 'none'), text, String(v));
});

test('maintenance points are listed apart and are no passes of their own', () => {
  const points = [
    { t: '202612011000', n: 1, fail: 0, maint: 1 },
    { t: '202612011001', n: 2, fail: 0, maint: 1 },
    { t: '202612011002', n: 1, fail: 0 },
  ];
  const { maintenance, passes, failures } = responseSeries(points);
  assert.deepEqual(
    maintenance.map((p) => p.t),
    ['202612011000', '202612011001'],
  );
  assert.deepEqual(
    passes.map((p) => p.t),
    ['202612011001', '202612011002'],
  );
  assert.equal(failures.length, 0);
});
