// The main window: menu, toolbar with hover captions, group check boxes, the "Current
// Activity" buttons, the activity pane and the account list. The page follows the console
// by reading its state twice a second.
import { act, command, getJson, loadToken } from './api.js';
import { applyStaticTexts, loadMessages, t } from './messages.js';
import { messageBox } from './modal.js';
import { AccountList, compactScreen } from './list.js';
import { ActivityPane } from './pane.js';
import { Alarm } from './alarm.js';
import { openAddDialog } from './dialogs/account.js';
import { openEditDeleteDialog } from './dialogs/edit_delete.js';
import { openSetupDialog } from './dialogs/setup.js';
import { openOptionDialog } from './dialogs/option.js';
import { openLogsDialog } from './dialogs/logs.js';
import { openExportDialog } from './dialogs/export.js';
import { openImportDialog } from './dialogs/import.js';
import { followConsoleClock, openHistoryPanel } from './dialogs/history.js';
import { openReportDialog } from './dialogs/report.js';
import { openMaintenanceDialog } from './dialogs/maintenance.js';
import { commandNamed, commandWithId, loadFacts, scanGroups } from './facts.js';

// Toolbar buttons and menus by command name ('-' a separator); the console's command table
// gives each its number, caption, icon and whether it waits for a mail server.
const TOOLS = [
  'runScanNow',
  '-',
  'addServer',
  'addHttp',
  'addFtp',
  'addEmail',
  '-',
  'editDelete',
  'logs',
  '-',
  'enableAll',
  'disableAll',
];
const MENUS = [
  ['menuFile', ['setup', '-', 'import', 'export', '-', 'exit']],
  ['menuScan', ['runScanNow', '-', 'enableAll', 'disableAll', '-', 'reloadPane', 'refreshList']],
  ['menuAccount', ['addServer', 'addHttp', 'addFtp', 'addEmail', '-', 'editDelete', 'maintenance']],
  ['menuView', ['logs', 'option', '-', 'history', 'report']],
  ['menuHelp', ['about']],
];
// The check boxes: ALL, then the console's groups in their order.
const groupBoxes = () => [
  [commandNamed('groupAll').id, 'ALL'],
  ...scanGroups().map((g) => [g.command, g.name]),
];
// A command the console refuses until a mail server is set up.
const needsMail = (id) => commandWithId(id)?.needsMailServer === true;

let state = null;
let stopped = false;
let failures = 0;
const alarm = new Alarm();
const pane = new ActivityPane();
const list = new AccountList(() => poll());

function commandLabel(id) {
  return t(commandWithId(id).key);
}

async function runCommand(id) {
  closeMenus();
  const { name, accountType } = commandWithId(id);
  if (state && needsMail(id) && !state.mailConfigured) return;
  if (name === 'exit') return confirmQuit();
  if (name === 'about') return showSplash(true);
  if (name === 'setup') return openSetupDialog(poll);
  if (accountType >= 0) return openAddDialog(accountType, poll);
  if (name === 'editDelete') return openEditDeleteDialog(poll);
  if (name === 'option') return openOptionDialog(state.language, applyLanguage);
  if (name === 'logs') return openLogsDialog(poll);
  if (name === 'export') return openExportDialog(state.programDir);
  if (name === 'import') return openImportDialog(poll);
  if (name === 'history') return openSelectedHistory();
  if (name === 'report') return openReportDialog();
  if (name === 'maintenance') return openMaintenanceForSelected();
  await command(id);
  await poll();
}

// View > History: the panel of the selected row's account.
async function openSelectedHistory() {
  const row = await list.selectedRow();
  if (!row) return messageBox(t('histPickRow'));
  return openHistoryPanel(row.key, row.service.trim());
}

// Account > Maintenance: the windows, offering the selected row's account for a new one.
async function openMaintenanceForSelected() {
  const row = await list.selectedRow();
  // A window that opens or closes changes the rows' marks: the list is drawn again.
  return openMaintenanceDialog(row ? row.name.trim() : '', () => {
    list.shownKey = '';
    return poll();
  });
}

async function confirmQuit() {
  const answer = await messageBox(t('quitQuestion'), { buttons: ['yes', 'no'] });
  if (answer !== 'yes') return;
  try {
    await command(commandNamed('exit').id);
  } catch {
    // The console may end before its answer arrives.
  }
  showStopped(t('stopped'));
  awaitReturn();
}

// The Option dialog chose another language: every text of the page changes at once.
async function applyLanguage(language) {
  await loadMessages(language);
  document.title = t('appTitle');
  applyStaticTexts();
  buildMenus();
  buildToolbar();
  for (const label of document.querySelectorAll('#groups .group')) {
    label.querySelector('span').textContent = t(`group${label.dataset.group}`);
  }
  document.getElementById('pane-head').title = t('showActivity');
  list.shownKey = '';
  pane.shownKey = '';
  await poll();
}

function showStopped(text) {
  stopped = true;
  document.getElementById('stopped-text').textContent = text;
  document.getElementById('stopped').hidden = false;
  document.title = t('appTitle');
}

function closeMenus() {
  for (const menu of document.querySelectorAll('.menu.open')) menu.classList.remove('open');
}

function buildMenus() {
  const bar = document.getElementById('menubar');
  bar.replaceChildren();
  for (const [title, items] of MENUS) {
    const menu = document.createElement('div');
    menu.className = 'menu';
    const head = document.createElement('div');
    head.className = 'menu-title';
    head.textContent = t(title);
    head.addEventListener('mousedown', (event) => {
      event.stopPropagation();
      const open = menu.classList.contains('open');
      closeMenus();
      if (!open) menu.classList.add('open');
    });
    head.addEventListener('mouseenter', () => {
      if (document.querySelector('.menu.open') && !menu.classList.contains('open')) {
        closeMenus();
        menu.classList.add('open');
      }
    });
    const box = document.createElement('div');
    box.className = 'menu-items';
    for (const name of items) {
      if (name === '-') {
        box.append(Object.assign(document.createElement('div'), { className: 'menu-sep' }));
        continue;
      }
      const { id } = commandNamed(name);
      const item = document.createElement('div');
      item.className = 'menu-item';
      item.dataset.cmd = String(id);
      item.textContent = commandLabel(id);
      item.addEventListener('mousedown', (event) => event.stopPropagation());
      item.addEventListener('click', () => {
        if (!item.classList.contains('disabled')) runCommand(id);
      });
      box.append(item);
    }
    menu.append(head, box);
    bar.append(menu);
  }
  document.addEventListener('mousedown', closeMenus);
}

function buildToolbar() {
  const bar = document.getElementById('toolbar');
  bar.replaceChildren();
  let caption = null;
  for (const tool of TOOLS) {
    if (tool === '-') {
      bar.append(Object.assign(document.createElement('div'), { className: 'tool-sep' }));
      continue;
    }
    const { id, icon } = commandNamed(tool);
    const button = document.createElement('button');
    button.className = 'tool';
    button.dataset.cmd = String(id);
    button.setAttribute('aria-label', commandLabel(id));
    const img = document.createElement('img');
    img.src = `/icons/${icon}.svg`;
    img.alt = '';
    button.append(img);
    button.addEventListener('mouseenter', (event) => {
      caption?.remove();
      caption = document.createElement('div');
      caption.className = 'caption';
      caption.textContent = commandLabel(id);
      caption.style.left = `${event.clientX + 8}px`;
      caption.style.top = `${button.getBoundingClientRect().bottom + 4}px`;
      document.body.append(caption);
    });
    button.addEventListener('mouseleave', () => {
      caption?.remove();
      caption = null;
    });
    button.addEventListener('click', () => {
      caption?.remove();
      caption = null;
      runCommand(id);
    });
    bar.append(button);
  }
}

function buildGroups() {
  const box = document.getElementById('groups');
  for (const [id, name] of groupBoxes()) {
    const label = document.createElement('label');
    label.className = 'group';
    label.dataset.group = name;
    const check = document.createElement('input');
    check.type = 'checkbox';
    check.dataset.cmd = String(id);
    check.addEventListener('click', async (event) => {
      event.preventDefault();
      await command(id);
      await poll();
    });
    const text = document.createElement('span');
    text.textContent = t(`group${name}`);
    label.append(check, text);
    if (name !== 'ALL') {
      const lamp = document.createElement('img');
      lamp.className = 'group-lamp';
      lamp.alt = '';
      label.append(lamp);
    }
    box.append(label);
  }
  for (const button of document.querySelectorAll('#activity-box .owner-button')) {
    button.dataset.cmd = String(commandNamed(button.dataset.command).id);
    button.addEventListener('click', async () => {
      await command(Number(button.dataset.cmd));
      await poll();
    });
  }
}

function showGroups(s) {
  let all = true;
  for (const { name } of scanGroups()) {
    const g = s.groups[name];
    all = all && g.on;
    const label = document.querySelector(`.group[data-group="${name}"]`);
    label.querySelector('input').checked = g.on;
    label.classList.toggle('down', g.on && g.down);
    label.classList.toggle('busy', g.busy);
    const lamp = label.querySelector('img');
    const colour = !g.on ? 'white' : g.empty ? 'grey' : g.down ? 'red' : 'green';
    lamp.src = `/icons/lamp-${colour}.svg`;
    lamp.title = g.empty ? t('noAccounts') : g.down ? t('down') : g.busy ? t('busy') : '';
  }
  document.querySelector('.group[data-group="ALL"] input').checked = all;
  const scan = document.getElementById('btn-scan');
  scan.querySelector('img').src = `/icons/${s.paused ? 'scanstart' : 'scanpause'}.svg`;
  scan.querySelector('span').textContent = s.paused ? t('startScan') : t('pauseScan');
  scan.classList.toggle('paused', s.paused);
  const sound = document.getElementById('btn-sound');
  sound.querySelector('img').src = `/icons/${s.soundPaused ? 'soundstart' : 'soundpause'}.svg`;
  sound.querySelector('span').textContent = s.soundPaused ? t('startSound') : t('pauseSound');
  sound.classList.toggle('paused', s.soundPaused);
  const notes = [];
  if (s.paused) notes.push(t('scanPaused'));
  if (s.soundPaused) notes.push(t('soundPaused'));
  const note = document.getElementById('status-note');
  note.classList.toggle('alarm-note', s.alarm.active);
  if (s.alarm.active) {
    const down = Object.keys(s.groups).filter((g) => s.groups[g].on && s.groups[g].down);
    notes.unshift(`\u26a0 ${t('alarmTitle')}: ${down.join(', ')}`);
    if (!alarm.unlocked && !s.alarm.wave) notes.push(t('clickForSound'));
  }
  note.textContent = notes.join(' \u00b7 ');
}

function enableCommands(s) {
  for (const el of document.querySelectorAll('[data-cmd]')) {
    const id = Number(el.dataset.cmd);
    const off = needsMail(id) && !s.mailConfigured;
    if (el.tagName === 'BUTTON') el.disabled = off;
    else el.classList.toggle('disabled', off);
  }
}

let lastWindow = '';
function reportWindow() {
  const rect = {
    left: window.screenX,
    top: window.screenY,
    right: window.screenX + window.outerWidth,
    bottom: window.screenY + window.outerHeight,
  };
  const key = JSON.stringify(rect);
  if (key === lastWindow) return;
  lastWindow = key;
  act('window', rect).catch(() => {});
}

let lastWidth = 0;
function reportLayout() {
  reportWindow();
  const width = document.getElementById('list').clientWidth;
  if (width > 0 && width !== lastWidth) {
    lastWidth = width;
    act('layout', { width })
      .then(() => poll())
      .catch(() => {});
  }
}

let polling = false;
async function poll() {
  if (stopped || polling) return;
  polling = true;
  try {
    state = await getJson('/api/state');
    failures = 0;
    followConsoleClock(state.now);
    enableCommands(state);
    showGroups(state);
    alarm.update(state);
    pane.update(state);
    list.update(state);
    document.getElementById('status-rows').textContent = t('accounts', state.rows);
    document.getElementById('status-dir').textContent = state.programDir;
  } catch (error) {
    if (error.status === 403) {
      showStopped(t('refused'));
    } else if (++failures >= 4) {
      showStopped(t('waitingForConsole'));
      awaitReturn();
    }
  } finally {
    polling = false;
  }
}

// While the console is away the page asks every two seconds; when it answers again the page
// starts afresh with the token this tab keeps, and a console that no longer knows the token
// gets the refusal text.
let awaiting = false;
function awaitReturn() {
  if (awaiting) return;
  awaiting = true;
  const ask = async () => {
    try {
      await getJson('/api/state');
      window.location.reload();
      return;
    } catch (error) {
      if (error.status === 403) {
        document.getElementById('stopped-text').textContent = t('refused');
        return;
      }
    }
    setTimeout(ask, 2000);
  };
  setTimeout(ask, 2000);
}

// The splash at start and the About window share one place; a click or a key closes it.
// Resolves when it is closed.
function showSplash(about) {
  const splash = document.getElementById('splash');
  splash.querySelector('.splash-hint').textContent = about ? t('clickToClose') : t('clickToStart');
  splash.hidden = false;
  return new Promise((resolve) => {
    const close = () => {
      splash.hidden = true;
      splash.removeEventListener('click', close);
      window.removeEventListener('keydown', close);
      resolve();
    };
    splash.addEventListener('click', close);
    window.addEventListener('keydown', close);
    if (!about) setTimeout(close, 2500);
  });
}

// One notice at a time when the console cannot act now.
let busyShown = false;
window.addEventListener('varn-busy', async (event) => {
  if (busyShown) return;
  busyShown = true;
  await messageBox(event.detail);
  busyShown = false;
});

// A new address pasted into this tab changes only the fragment, which loads nothing: the page
// starts afresh so that the new token is taken.
window.addEventListener('hashchange', () => {
  if (/token=/.test(window.location.hash)) window.location.reload();
});

async function start() {
  loadToken();
  try {
    state = await getJson('/api/state');
  } catch (error) {
    // Without the console's state the language is the browser's.
    await loadMessages(navigator.language?.startsWith('ja') ? '1' : '0').catch(() => {});
    if (error.status === 403) {
      document.body.textContent = t('refused');
    } else {
      showStopped(t('waitingForConsole'));
      awaitReturn();
    }
    return;
  }
  await loadMessages(state.language);
  await loadFacts();
  document.title = t('appTitle');
  applyStaticTexts();
  const paneHead = document.getElementById('pane-head');
  paneHead.title = t('showActivity');
  paneHead.addEventListener('click', () => {
    if (compactScreen.matches) document.getElementById('pane-frame').classList.toggle('open');
  });
  const splashClosed = showSplash(false);
  buildMenus();
  buildToolbar();
  buildGroups();
  document.getElementById('window').hidden = false;
  new ResizeObserver(reportLayout).observe(document.getElementById('list'));
  await poll();
  reportLayout();
  setInterval(poll, 500);
  await splashClosed;
  const first = await act('first-prompt');
  if (first.show) {
    await messageBox(t('firstRun'));
    await openSetupDialog(poll);
  }
}

start();
