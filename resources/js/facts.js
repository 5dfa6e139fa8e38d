// What the console tells the page once at start: the commands of the main window (id,
// caption key, icon, whether they wait for a mail server) and the scan groups in the order
// the page shows them. The page names commands by these rows, never by number.
import { act } from './api.js';

let commands = [];
let groups = [];

export async function loadFacts() {
  const answer = await act('page-facts');
  if (!answer.ok) throw new Error('the console sent no command table');
  commands = answer.commands;
  groups = answer.groups;
}

// The command row named `name` ("runScanNow"), or the one with the number `id`.
export function commandNamed(name) {
  const row = commands.find((c) => c.name === name);
  if (!row) throw new Error(`unknown command ${name}`);
  return row;
}
export const commandWithId = (id) => commands.find((c) => c.id === id);

// [{ name: 'PING', index, command, logLabel }, ...] in the order of the check boxes.
export const scanGroups = () => groups;
