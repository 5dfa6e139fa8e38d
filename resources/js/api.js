// Talking to the console. Reads are GETs; everything that changes state is a POST that
// carries the access token in a header as well as in the cookie.
let csrf = '';

export function setToken(token) {
  csrf = token;
}

export async function getJson(url) {
  const response = await fetch(url, { cache: 'no-store', credentials: 'same-origin' });
  if (!response.ok) throw new Error(`HTTP ${response.status}`);
  return response.json();
}

export async function act(action, fields = {}) {
  const response = await fetch('/api/act', {
    method: 'POST',
    credentials: 'same-origin',
    headers: { 'Content-Type': 'application/json', 'X-Varn-Token': csrf },
    body: JSON.stringify({ action, ...fields }),
  });
  if (!response.ok) throw new Error(`HTTP ${response.status}`);
  return response.json();
}

export const command = (id) => act('command', { id });

// A raw upload (a wave file for the alarm); the console answers with JSON.
export async function upload(kind, name, blob) {
  const query = new URLSearchParams({ kind, name });
  const response = await fetch(`/api/upload?${query}`, {
    method: 'POST',
    credentials: 'same-origin',
    headers: { 'Content-Type': 'application/octet-stream', 'X-Varn-Token': csrf },
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
