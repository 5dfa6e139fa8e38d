// Talking to the console. The access token comes in the address's fragment
// (#token=...), which the browser never sends anywhere; the page keeps it in this tab's
// session storage, removes it from the address bar, and sends it in a header on every
// data and action request. There is no cookie.
const KEY = 'varnToken';
let token = '';

// Takes the token out of the address (once) or from the tab's storage.
export function loadToken() {
  const match = /(?:^#|&)token=([0-9a-f]+)/.exec(window.location.hash);
  if (match) {
    token = match[1];
    try {
      sessionStorage.setItem(KEY, token);
    } catch {
      // Storage may be off; the token then lives as long as the page.
    }
    history.replaceState(null, '', window.location.pathname + window.location.search);
  } else {
    try {
      token = sessionStorage.getItem(KEY) ?? '';
    } catch {
      token = '';
    }
  }
  return token !== '';
}

function headers(extra = {}) {
  return { 'X-Varn-Token': token, ...extra };
}

// The console could not do it now (its main loop or the status files are held elsewhere);
// the page tells the user with the console's own text. Such an answer names itself by the
// key in this header.
const MESSAGE_KEY = 'X-Varn-Message-Key';
const BUSY_KEYS = new Set(['consoleBusy', 'msgFilesBusy']);
function reportBusy(message) {
  window.dispatchEvent(new CustomEvent('varn-busy', { detail: message }));
}

// An error whose message names the HTTP status; 503 means the console is busy.
function failure(response) {
  if (response.status === 503) reportBusy('console busy');
  const error = new Error(`HTTP ${response.status}`);
  error.status = response.status;
  return error;
}

// A refusal of a data route (400, 404) carries the console's words in `error.text`.
export async function getJson(url) {
  const response = await fetch(url, { cache: 'no-store', credentials: 'omit', headers: headers() });
  if (!response.ok) {
    const error = failure(response);
    const body = await response.json().catch(() => ({}));
    if (typeof body?.error === 'string') error.text = body.error;
    throw error;
  }
  return response.json();
}

// A file the console makes for download (the monthly report's CSV), read with the token:
// { blob, name } with the name the console gives it, else `fallback`.
export async function getDownload(url, fallback) {
  const response = await fetch(url, { cache: 'no-store', credentials: 'omit', headers: headers() });
  if (!response.ok) throw failure(response);
  const disposition = response.headers.get('Content-Disposition') ?? '';
  const named = /filename="?([\w.-]{1,80})"?/.exec(disposition);
  return { blob: await response.blob(), name: named ? named[1] : fallback };
}

// Bytes of a data route (the wave file), read with the token.
export async function getBytes(url) {
  const response = await fetch(url, { cache: 'no-store', credentials: 'omit', headers: headers() });
  if (!response.ok) throw failure(response);
  return response.arrayBuffer();
}

export async function act(action, fields = {}) {
  const response = await fetch('/api/act', {
    method: 'POST',
    credentials: 'omit',
    headers: headers({ 'Content-Type': 'application/json' }),
    body: JSON.stringify({ action, ...fields }),
  });
  if (response.status === 503) {
    const body = await response.json().catch(() => ({}));
    reportBusy(body.message || 'console busy');
    return { ok: false, message: body.message || 'console busy' };
  }
  if (!response.ok) throw failure(response);
  const answer = await response.json();
  if (answer.ok === false && BUSY_KEYS.has(response.headers.get(MESSAGE_KEY)))
    reportBusy(answer.message);
  return answer;
}

export const command = (id) => act('command', { id });

// A raw upload (a wave file for the alarm); the console answers with JSON.
export async function upload(kind, name, blob) {
  const query = new URLSearchParams({ kind, name });
  const response = await fetch(`/api/upload?${query}`, {
    method: 'POST',
    credentials: 'omit',
    headers: headers({ 'Content-Type': 'application/octet-stream' }),
    body: blob,
  });
  if (response.status === 413) return { ok: false, tooBig: true };
  if (!response.ok) throw new Error(`HTTP ${response.status}`);
  return response.json();
}

// The address of a sound file of the Wave folder (the stored one when no name is given).
export function waveUrl(name) {
  return name ? `/api/wave?${new URLSearchParams({ name })}` : '/api/wave';
}
