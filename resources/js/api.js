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
