// Export and import of the account list. The export file holds passwords, so it is written
// on the console's machine and never comes to the page: the dialog asks for its path there.
// An import comes from a file of this computer (uploaded, at most 50 MB) or from a path on
// the console's machine; the console imports one line every 30 ms, and a small window that
// leaves the page usable shows the progress.
import { act, getJson, upload } from './api.js';
import { messageBox } from './dialogs.js';
import { button, el, openDialog } from './form.js';
import { t } from './messages.js';

let open = false;

function pathField(id, label, value) {
  const input = el('input', { type: 'text', id, value, spellcheck: 'false', autocomplete: 'off' });
  input.value = value;
  return { input, row: el('div', { class: 'transfer-row' }, el('label', { for: id, text: t(label) }), input) };
}

function modal(title, build) {
  if (open) return Promise.resolve();
  open = true;
  return new Promise((resolve) => {
    const d = openDialog(title, { width: 520, className: 'transfer-dialog' });
    const finish = () => {
      d.close();
      document.removeEventListener('keydown', onKey, true);
      open = false;
      resolve();
    };
    const onKey = (event) => {
      if (event.key === 'Escape' && !document.querySelector('[role=alertdialog]')) finish();
    };
    document.addEventListener('keydown', onKey, true);
    build(d, finish);
  });
}

export function openExportDialog(programDir) {
  return modal(t('titleExport'), (d, finish) => {
    const { input, row } = pathField('export-path', 'lblFilePath', `${programDir.replace(/\/$/, '')}/export.csv`);
    d.body.append(row, el('p', { class: 'transfer-note', text: t('exportNote') }));
    let busy = false;
    const ok = async () => {
      if (busy) return;
      busy = true;
      const path = input.value;
      let answer = await act('export', { path }).finally(() => { busy = false; });
      // An existing file is replaced only when the user says so.
      if (answer.exists) {
        if (await messageBox(answer.message, { buttons: ['yes', 'no'] }) !== 'yes') {
          input.focus();
          return;
        }
        busy = true;
        answer = await act('export', { path, replace: true }).finally(() => { busy = false; });
      }
      if (!answer.ok) {
        await messageBox(answer.message ?? t('msgBadRequest'));
        input.focus();
        return;
      }
      finish();
      await messageBox(answer.message, { icon: '!' });
    };
    input.addEventListener('keydown', (event) => { if (event.key === 'Enter') ok(); });
    d.buttons.append(button('ok', ok), button('btnCancel', finish));
    input.focus();
    input.select();
  });
}

// `onDone`: refreshes the page after the import ended.
export function openImportDialog(onDone) {
  return modal(t('titleImport'), (d, finish) => {
    const file = el('input', { type: 'file', id: 'import-file', accept: '.csv,text/csv,text/plain' });
    const { input, row } = pathField('import-path', 'lblImportPath', '');
    d.body.append(
      el('div', { class: 'transfer-row' }, el('label', { for: 'import-file', text: t('lblImportFile') }), file),
      row,
    );
    let busy = false;
    const ok = async () => {
      if (busy) return;
      busy = true;
      let answer;
      try {
        const chosen = file.files?.[0];
        answer = chosen ? await upload('import', chosen.name, chosen) : await act('import-path', { path: input.value });
      } finally {
        busy = false;
      }
      if (answer.tooBig) answer.message = t('msgImportTooBig');
      if (!answer.ok) {
        await messageBox(answer.message ?? t('msgBadRequest'));
        return;
      }
      finish();
      followImport(answer.serial, answer.total, onDone);
    };
    d.buttons.append(button('ok', ok), button('btnCancel', finish));
    file.focus();
  });
}

// The progress window: lines done of the total and lines rejected so far, until the console
// reports the import with this serial ended; then the list is refreshed and the message shown.
async function followImport(serial, total, onDone) {
  const layer = document.getElementById('popup-layer');
  const box = el('div', { class: 'dialog popup import-progress', role: 'status' });
  const text = el('div', { class: 'import-progress-text' });
  const bar = el('progress', { max: String(Math.max(total, 1)), value: '0' });
  box.append(el('div', { class: 'dialog-title' }, el('span', { text: t('titleImporting') })),
    el('div', { class: 'dialog-body' }, text, bar));
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
