// One message table per language; every text the page shows comes from it.
let table = {};

export async function loadMessages(language) {
  const file = language === '1' ? 'ja' : 'en';
  const response = await fetch(`/messages/${file}.json`, { credentials: 'same-origin' });
  table = await response.json();
  document.documentElement.lang = file;
}

// t('accounts', 3) fills %s / %d in order.
export function t(key, ...args) {
  let text = table[key] ?? key;
  for (const arg of args) text = text.replace(/%[sd]/, String(arg));
  return text;
}

export function applyStaticTexts(root = document) {
  for (const el of root.querySelectorAll('[data-msg]')) el.textContent = t(el.dataset.msg);
}
