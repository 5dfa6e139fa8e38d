// The export of the account list. The export file holds passwords, so it is written on the
// console's machine and never comes to the page: the dialog asks for its path there.
import { act } from '../api.js';
import { el, pathField } from '../form.js';
import { messageBox, openModal } from '../modal.js';
import { t } from '../messages.js';

export function openExportDialog(programDir) {
  const { input, row } = pathField(
    'export-path',
    'lblFilePath',
    `${programDir.replace(/\/$/, '')}/export.csv`,
  );
  const d = openModal({
    // One transfer dialog at a time: an export or an import.
    key: 'transfer',
    title: t('titleExport'),
    width: 520,
    className: 'transfer-dialog',
    content: [row, el('p', { class: 'transfer-note', text: t('exportNote') })],
    buttons: [
      { label: 'ok', submit: true },
      { label: 'btnCancel', cancel: true },
    ],
    submit: {
      icon: '!',
      send: async () => {
        const path = input.value;
        const answer = await act('export', { path });
        // An existing file is replaced only when the user says so.
        if (!answer.exists) return answer;
        if ((await messageBox(answer.message, { buttons: ['yes', 'no'] })) !== 'yes') {
          input.focus();
          return null;
        }
        return act('export', { path, replace: true });
      },
      refused: () => input.focus(),
      accepted: async (answer, m) => {
        m.close();
        await messageBox(answer.message, { icon: '!' });
      },
    },
    focus: () => input,
  });
  if (!d) return Promise.resolve();
  input.addEventListener('keydown', (event) => {
    if (event.key === 'Enter') d.submit();
  });
  input.select();
  return d.closed;
}
