// "Option": the language of the console. OK stores the choice; a changed language applies
// at once to the whole page, and every dialog opened later speaks it.
import { act } from '../api.js';
import { el } from '../form.js';
import { openModal } from '../modal.js';
import { t } from '../messages.js';

// `current`: "0" English, "1" Japanese. `apply(language)` switches the page.
export function openOptionDialog(current, apply) {
  const choices = [
    ['0', 'lblEnglish'],
    ['1', 'lblJapanese'],
  ].map(([value, label]) => {
    const input = el('input', { type: 'radio', name: 'language', value, id: `language-${value}` });
    input.checked = value === (current === '1' ? '1' : '0');
    return el(
      'label',
      { class: 'option-choice', for: input.id },
      input,
      el('span', { text: t(label) }),
    );
  });
  const ok = async (d) => {
    const chosen = d.body.querySelector('input[name=language]:checked')?.value ?? '0';
    if (chosen !== current) {
      const answer = await act('language', { language: chosen });
      if (answer.ok) await apply(chosen);
    }
    d.close();
  };
  const d = openModal({
    key: 'option',
    title: t('titleOption'),
    width: 300,
    className: 'option-dialog',
    content: [el('p', { text: t('optionText') }), ...choices],
    buttons: [
      { label: 'ok', run: ok },
      { label: 'btnCancel', cancel: true },
    ],
    enter: ok,
  });
  return d ? d.closed : Promise.resolve();
}
