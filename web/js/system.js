// Version, the installed packages and the debug channel; the menu switches.
import { command, SLOW_REQUEST_TIMEOUT_MS } from './api.js';
import { $, el, attempt } from './ui.js';

export function setupSystem() {
  attempt(async () => {
    let reply;
    try {
      reply = await command({ TYPE: 'getVersion' });
    } catch (e) {
      // A robot without a version file gets a bare ERR: the version is not known, nothing failed.
      if (!e.reply || e.reply.MSG) throw e;
      $('#version-line').textContent = 'Version unknown';
      return;
    }
    $('#version').textContent = reply.DATA || '(empty version file)';
  });
  attempt(async () => {
    const reply = await command({ TYPE: 'getMenuItems' });
    const on = (name) => reply.DATA.some((item) => item.name === name && item.sts === 1);
    $('#update-box').hidden = !on('Update');
  });

  let packages = [];
  const show = () => {
    const filter = $('#package-filter').value.toLowerCase();
    $('#packages tbody').replaceChildren(...packages.filter((p) => p.nme.toLowerCase().includes(filter))
      .slice(0, 500).map((p) => el('tr', {}, el('td', { text: p.sts }), el('td', { text: p.nme }), el('td', { text: p.ver }))));
  };
  $('#package-filter').addEventListener('input', show);
  $('#update-check').addEventListener('click', () => attempt(async () => {
    // The package manager's listing can take a while on a busy robot: the daemon gives it 25 s,
    // the web server waits 30 s for the daemon.
    packages = (await command({ TYPE: 'updateCheck' }, { signal: AbortSignal.timeout(SLOW_REQUEST_TIMEOUT_MS) })).DATA;
    show();
    return packages.length;
  }, (n) => `${n} packages installed`));

  const form = $('#debug-form');
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    attempt(() => command({ TYPE: 'sendDebugMessage', message: form.elements.message.value }),
      'Debug message sent');
  });
}
