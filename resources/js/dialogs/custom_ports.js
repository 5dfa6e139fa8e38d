// "Custom Port Settings": the five service names and ports of a server account. The console
// checks the rows; the account dialog keeps them until it is saved.
import { act } from '../api.js';
import { openModal } from '../modal.js';
import { t } from '../messages.js';

// Resolves with the five rows as entered, or null on Cancel.
export function editCustomPorts(rows, limits = {}) {
  const spec5 = [];
  for (let i = 0; i < 5; i++) {
    spec5.push({
      kind: 'row',
      items: [
        {
          id: `name${i}`,
          kind: 'text',
          label: 'lblServiceName',
          labelText: t('lblServiceName', i + 1),
          max: limits.customName ?? 64,
        },
        {
          id: `port${i}`,
          kind: 'text',
          label: 'lblPort',
          labelText: `${t('lblPort').replace(/:$/, '')} ${i + 1}:`,
          max: limits.customPort ?? 5,
          digits: true,
        },
      ],
    });
  }
  const values = {};
  rows.forEach((r, i) => {
    values[`name${i}`] = r.name;
    values[`port${i}`] = r.port;
  });
  const entered = (d) => {
    const v = d.form.get();
    return [0, 1, 2, 3, 4].map((i) => ({ name: v[`name${i}`], port: v[`port${i}`] }));
  };
  const d = openModal({
    title: t('titleCustom'),
    width: 460,
    className: 'custom-dialog',
    spec: spec5,
    values,
    buttons: [
      { label: 'ok', submit: true },
      { label: 'btnCancel', cancel: true },
    ],
    submit: {
      send: (m) => {
        m.rows = entered(m);
        return act('custom-check', { customRows: m.rows });
      },
      accepted: (answer, m) => m.close(m.rows),
    },
  });
  return d.closed.then((result) => result ?? null);
}
