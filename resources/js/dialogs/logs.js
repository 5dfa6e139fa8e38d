// "View/Erase Logs": the day logs of the Log folder. View (or a double-click) shows the
// chosen day in the activity pane; Delete asks first. The console accepts only names of
// its own listing.
import { act } from '../api.js';
import { el } from '../form.js';
import { messageBox, openModal } from '../modal.js';
import { t } from '../messages.js';

// `onView`: called after the pane was switched to a day's log.
export function openLogsDialog(onView) {
  const list = el('select', { class: 'logs-list', size: '12', 'aria-label': t('titleLogs') });
  const fill = (names) => {
    list.replaceChildren(...names.map((name) => el('option', { value: name, text: name })));
    if (names.length > 0) list.selectedIndex = 0;
  };
  const selected = () => (list.selectedIndex >= 0 ? list.value : '');
  const view = async () => {
    const name = selected();
    if (!name) return;
    const answer = await act('log-view', { name });
    if (answer.ok) await onView();
    else fill((await act('logs-list')).names ?? []);
  };
  const remove = async () => {
    const name = selected();
    if (!name) return;
    const answer = await messageBox(t('msgDeleteQuestion'), { buttons: ['yes', 'no'], icon: '!' });
    if (answer === 'yes') {
      const result = await act('log-delete', { name });
      // A file that could not be deleted leaves the list as it was.
      if (result.ok) fill(result.names ?? []);
    }
    list.focus();
  };
  // The pane behind shows what View chose: the dialog keeps to the right to leave it readable.
  const d = openModal({
    key: 'logs',
    title: t('titleLogs'),
    width: 320,
    className: 'logs-dialog',
    right: true,
    content: [list],
    buttons: [
      { label: 'btnView', run: view },
      { label: 'btnDelete', run: remove },
      { label: 'btnClose', cancel: true },
    ],
    focus: false,
  });
  if (!d) return Promise.resolve();
  list.addEventListener('dblclick', view);
  list.addEventListener('keydown', (event) => {
    if (event.key === 'Enter') view();
    if (event.key === 'Delete') remove();
  });
  act('logs-list').then((answer) => {
    fill(answer.names ?? []);
    list.focus();
  });
  return d.closed;
}
