// Version, the installed packages and the debug channel; the menu switches.
import { command, SLOW_REQUEST_TIMEOUT_MS } from './api.js';
import { $, el, attempt, running } from './ui.js';

// Rows shown at most: a longer list is narrowed with the filter.
const MAX_ROWS = 500;

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

  let packages = null;
  const show = () => {
    if (!packages) return;
    const filter = $('#package-filter').value.toLowerCase();
    const matching = packages.filter((p) => p.nme.toLowerCase().includes(filter));
    const rows = matching.slice(0, MAX_ROWS);
    $('#packages tbody').replaceChildren(...rows.map((p) =>
      el('tr', {}, el('td', { text: p.sts }), el('td', { text: p.nme }), el('td', { text: p.ver }))));
    const of = filter ? `${matching.length} matching the filter (of ${packages.length} installed)`
      : `${packages.length} installed`;
    $('#package-count').textContent = `Showing ${rows.length} of ${of}`
      + (rows.length < matching.length ? '; narrow the filter to see the others.' : '.');
  };
  $('#package-filter').addEventListener('input', show);
  const check = $('#update-check');
  check.addEventListener('click', () => attempt(() => running(check, 'Checking installed packages…', async () => {
    // The package manager's listing can take a while on a busy robot: the daemon gives it 25 s,
    // the web server waits 30 s for the daemon.
    packages = (await command({ TYPE: 'updateCheck' }, { signal: AbortSignal.timeout(SLOW_REQUEST_TIMEOUT_MS) })).DATA;
    show();
    return packages.length;
  }), (n) => `${n} packages installed`));

  const form = $('#debug-form');
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    attempt(() => command({ TYPE: 'sendDebugMessage', message: form.elements.message.value }),
      'Debug message sent');
  });
}
