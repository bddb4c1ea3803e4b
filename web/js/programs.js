// The program store: list, rename, delete, run, stop, and the running program's output.
import { command } from './api.js';
import { $, el, attempt, confirmAction, poll, say } from './ui.js';

const STATES = ['not running', 'starting', 'running'];

export function setupPrograms(report) {
  const list = $('#program-list tbody');
  const consoleBox = $('#console');
  const stateLine = $('#program-state');

  const refresh = () => attempt(async () => {
    const reply = await command({ TYPE: 'getProgramList' });
    list.replaceChildren(...reply.DATA.map((file) => el('tr', {},
      el('td', { text: file.fileName }),
      el('td', { text: `${file.fileSize} B` }),
      el('td', { class: 'actions' },
        el('button', { type: 'button', text: 'Run', 'aria-label': `Run ${file.fileName}`, onclick: () => run(file.fileName) }),
        el('button', { type: 'button', text: 'Rename', 'aria-label': `Rename ${file.fileName}`, onclick: () => rename(file.fileName) }),
        el('button', { type: 'button', text: 'Delete', 'aria-label': `Delete ${file.fileName}`, onclick: () => remove(file.fileName) })))));
    if (!reply.DATA.length) list.append(el('tr', {}, el('td', { colspan: 3, text: 'The store is empty.' })));
  });
  const run = (name) => attempt(() => command({ TYPE: 'runProgram', programName: name }),
    `Started ${name}`);
  const rename = async (name) => {
    const newName = prompt(`New name for ${name}:`, name);
    if (!newName || newName === name) return;
    await attempt(() => command({ TYPE: 'renameFile', fileName: name, newFileName: newName }),
      `Renamed ${name} to ${newName}`);
    refresh();
  };
  const remove = async (name) => {
    if (!(await confirmAction(`Delete the program ${name}? This cannot be undone.`))) return;
    await attempt(() => command({ TYPE: 'deleteFile', fileName: name }), `Deleted ${name}`);
    refresh();
  };

  $('#program-refresh').addEventListener('click', refresh);
  $('#program-stop').addEventListener('click', () =>
    attempt(() => command({ TYPE: 'killProcess' }), 'Program stopped'));
  $('#console-clear').addEventListener('click', () => { consoleBox.textContent = ''; });

  let wasRunning = false;
  poll(async () => {
    try {
      const info = await command({ TYPE: 'getProcessInfo' });
      if (info.output) {
        const atEnd = consoleBox.scrollTop + consoleBox.clientHeight >= consoleBox.scrollHeight - 4;
        consoleBox.append(info.output);
        if (atEnd) consoleBox.scrollTop = consoleBox.scrollHeight;
      }
      const running = info.hasProcess === 1;
      stateLine.textContent = running
        ? `${info.currentProcess}: ${STATES[info.processState] || info.processState}`
        : 'No program running';
      if (wasRunning && !running) say('The program has ended');
      wasRunning = running;
      report('programs', null);
    } catch (e) {
      report('programs', e);
    }
  }, () => (wasRunning ? 500 : 2000));  // while nothing runs, a program started elsewhere shows within 2 s
  refresh();
}
