// The import of an account list, from a file of this computer (uploaded, at most 50 MB) or
// from a path on the console's machine. The console imports one line every 30 ms, and a
// small window that leaves the page usable shows the progress.
import { act, getJson, upload } from '../api.js';
import { el, pathField } from '../form.js';
import { messageBox, openModal } from '../modal.js';
import { t } from '../messages.js';

// `onDone`: refreshes the page after the import ended.
export function openImportDialog(onDone) {
  const file = el('input', { type: 'file', id: 'import-file', accept: '.csv,text/csv,text/plain' });
  const { input, row } = pathField('import-path', 'lblImportPath', '');
  const d = openModal({
    // One transfer dialog at a time: an export or an import.
    key: 'transfer',
    title: t('titleImport'),
    width: 520,
    className: 'transfer-dialog',
    content: [
      el(
        'div',
        { class: 'transfer-row' },
        el('label', { for: 'import-file', text: t('lblImportFile') }),
        file,
      ),
      row,
    ],
    buttons: [
      { label: 'ok', submit: true },
      { label: 'btnCancel', cancel: true },
    ],
    submit: {
      icon: '!',
      send: async () => {
        const chosen = file.files?.[0];
        const answer = chosen
          ? await upload('import', chosen.name, chosen)
          : await act('import-path', { path: input.value });
        if (answer.tooBig) answer.message = t('msgImportTooBig');
        return answer;
      },
      accepted: (answer, m) => {
        m.close();
        followImport(answer.serial, answer.total, onDone);
      },
    },
  });
  return d ? d.closed : Promise.resolve();
}

// The progress window: lines done of the total and lines rejected so far, until the console
// reports the import with this serial ended; then the list is refreshed and the message shown.
async function followImport(serial, total, onDone) {
  const layer = document.getElementById('popup-layer');
  const box = el('div', { class: 'dialog popup import-progress', role: 'status' });
  const text = el('div', { class: 'import-progress-text' });
  const bar = el('progress', { max: String(Math.max(total, 1)), value: '0' });
  box.append(
    el('div', { class: 'dialog-title' }, el('span', { text: t('titleImporting') })),
    el('div', { class: 'dialog-body' }, text, bar),
  );
  layer.append(box);
  const show = (done, rejected) => {
    text.textContent = t('importProgress', done, total, rejected);
    bar.value = done;
  };
  show(0, 0);
  let last = null;
  for (;;) {
    await new Promise((r) => setTimeout(r, 500));
    let state;
    try {
      state = await getJson('/api/state');
    } catch {
      continue;
    }
    const job = state.import;
    if (job.last.serial >= serial) {
      last = job.last;
      break;
    }
    if (job.serial === serial) show(job.done, job.rejected);
  }
  show(last.total, last.rejected);
  box.remove();
  await onDone();
  let message = t('msgImportDone');
  if (last.rejected > 0) message += `\n\n${t('msgImportRejected', last.rejected, last.report)}`;
  await messageBox(message, { icon: '!' });
}
