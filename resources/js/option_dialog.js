// "Option": the language of the console. OK stores the choice; a changed language applies
// at once to the whole page, and every dialog opened later speaks it.
import { act } from './api.js';
import { button, el, openDialog } from './form.js';
import { t } from './messages.js';

let open = false;

// `current`: "0" English, "1" Japanese. `apply(language)` switches the page.
export function openOptionDialog(current, apply) {
  if (open) return Promise.resolve();
  open = true;
  return new Promise((resolve) => {
    const d = openDialog(t('titleOption'), { width: 300, className: 'option-dialog' });
    const choices = [['0', 'lblEnglish'], ['1', 'lblJapanese']].map(([value, label]) => {
      const input = el('input', { type: 'radio', name: 'language', value, id: `language-${value}` });
      input.checked = value === (current === '1' ? '1' : '0');
      return el('label', { class: 'option-choice', for: input.id }, input, el('span', { text: t(label) }));
    });
    d.body.append(el('p', { text: t('optionText') }), ...choices);
    const finish = () => {
      d.close();
      document.removeEventListener('keydown', onKey, true);
      open = false;
      resolve();
    };
    const ok = async () => {
      const chosen = d.body.querySelector('input[name=language]:checked')?.value ?? '0';
      if (chosen !== current) {
        const answer = await act('language', { language: chosen });
        if (answer.ok) await apply(chosen);
      }
      finish();
    };
    const onKey = (event) => {
      if (event.key === 'Escape') finish();
      if (event.key === 'Enter') ok();
    };
    d.buttons.append(button('ok', ok), button('btnCancel', finish));
    document.addEventListener('keydown', onKey, true);
    d.body.querySelector('input:checked')?.focus();
  });
}
