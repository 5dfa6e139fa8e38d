// The four template editors: "Notification Message" (mail: subject and body for down and
// up) and "Online Message" (down and up), per account or global. The account's editors hand
// their texts back to the account dialog; the global ones are saved by the caller.
import { el } from '../form.js';
import { openModal } from '../modal.js';
import { t } from '../messages.js';

const LEGEND = ['legendS', 'legendC', 'legendT', 'legendI', 'legendE'];

// Resolves with the edited texts, or null on Cancel. `texts`: mail [down subject, up subject,
// down body, up body]; online [down, up].
export function editTemplates({ kind, global, texts }) {
  const mail = kind === 'mail';
  const title = t(
    mail
      ? global
        ? 'titleGlobalNotification'
        : 'titleNotification'
      : global
        ? 'titleGlobalOnline'
        : 'titleOnline',
  );
  const spec = mail
    ? [
        {
          kind: 'group',
          label: 'grpDown',
          items: [
            {
              id: 'downSubject',
              kind: 'text',
              label: 'lblSubject',
              labelText: t('lblDownSubject'),
              max: 4000,
              wide: true,
            },
            { id: 'downBody', kind: 'textarea', label: 'lblDownBody', rows: 4, max: 16000 },
          ],
        },
        {
          kind: 'group',
          label: 'grpUp',
          items: [
            {
              id: 'upSubject',
              kind: 'text',
              label: 'lblSubject',
              labelText: t('lblUpSubject'),
              max: 4000,
              wide: true,
            },
            { id: 'upBody', kind: 'textarea', label: 'lblUpBody', rows: 4, max: 16000 },
          ],
        },
      ]
    : [
        { id: 'downBody', kind: 'textarea', label: 'lblDownBody', rows: 4, max: 16000 },
        { id: 'upBody', kind: 'textarea', label: 'lblUpBody', rows: 4, max: 16000 },
      ];
  const values = mail
    ? { downSubject: texts[0], upSubject: texts[1], downBody: texts[2], upBody: texts[3] }
    : { downBody: texts[0], upBody: texts[1] };
  const d = openModal({
    title,
    width: 520,
    className: 'template-dialog',
    spec,
    values,
    content: [el('div', { class: 'legend' }, ...LEGEND.map((k) => el('span', { text: t(k) })))],
    buttons: [
      {
        label: 'ok',
        run: (m) => {
          const v = m.form.get();
          m.close(
            mail ? [v.downSubject, v.upSubject, v.downBody, v.upBody] : [v.downBody, v.upBody],
          );
        },
      },
      { label: 'btnCancel', cancel: true },
    ],
  });
  return d.closed.then((result) => result ?? null);
}
