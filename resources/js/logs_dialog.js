// "View/Erase Logs": the day logs of the Log folder. View (or a double-click) shows the
// chosen day in the activity pane; Delete asks first. The console accepts only names of
// its own listing.
import { act } from './api.js';
import { messageBox } from './dialogs.js';
import { button, el, openDialog } from './form.js';
import { t } from './messages.js';

let open = false;

// `onView`: called after the pane was switched to a day's log.
export function openLogsDialog(onView) {
  if (open) return Promise.resolve();
  open = true;
  return new Promise((resolve) => {
    const d = openDialog(t('titleLogs'), { width: 320, className: 'logs-dialog' });
    // The pane behind shows what View chose: the dialog keeps to the right to leave it readable.
    d.dialog.style.left = 'auto';
    d.dialog.style.right = '24px';
    const list = el('select', { class: 'logs-list', size: '12', 'aria-label': t('titleLogs') });
    d.body.append(list);

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
    const finish = () => {
      d.close();
      document.removeEventListener('keydown', onKey, true);
      open = false;
      resolve();
    };
    const onKey = (event) => {
      if (event.key === 'Escape' && !document.querySelector('[role=alertdialog]')) finish();
    };
    list.addEventListener('dblclick', view);
    list.addEventListener('keydown', (event) => {
      if (event.key === 'Enter') view();
      if (event.key === 'Delete') remove();
    });
    d.buttons.append(button('btnView', view), button('btnDelete', remove), button('btnClose', finish));
    document.addEventListener('keydown', onKey, true);
    act('logs-list').then((answer) => {
      fill(answer.names ?? []);
      list.focus();
    });
  });
}
