// The robot's page: every section starts here.
import { FRAMED, onCommandOk, onTraffic, sendStopNow } from './api.js';
import { setupCamera } from './camera.js';
import { setupDrive } from './drive.js';
import { setupSensors } from './sensors.js';
import { setupPrograms } from './programs.js';
import { setupNetwork } from './network.js';
import { setupSettings } from './settings.js';
import { setupSystem } from './system.js';
import { onLink } from './link.js';
import { $, $$, clearError, el, say } from './ui.js';

// Polled sections report here; a failure is said once, not on every poll.
const failing = new Map();
function report(source, error) {
  const was = failing.get(source);
  if (error && !was) {
    failing.set(source, say(`${source}: ${error.message}`, 'error'));
  } else if (!error && was) {
    was.remove();
    failing.delete(source);
  }
}

// The daemon may answer while its own link to the robot is down: the line tells the two apart.
let daemonAnswers = null;
let link = 'unknown';
function showConnection() {
  const line = $('#connection');
  if (daemonAnswers === null) return;
  const robotThere = link === 'up' || link === 'unknown';
  line.textContent = !daemonAnswers ? 'No connection to the robot'
    : robotThere ? 'Connected' : 'Robot not connected';
  line.className = daemonAnswers && robotThere ? 'ok' : 'bad';
  line.title = daemonAnswers && !robotThere
    ? `The robot's web service answers, but its link to the robot is ${link}` : '';
}
// Shown in another site's frame, under a bait of that site, a click could drive the robot or
// change it: the page reads nothing, sends nothing but a stop and says why.
function refuseFramed() {
  for (const control of $$('button, input, select, textarea')) control.disabled = control.id !== 'stop-all';
  $('main').inert = true;
  const line = $('#connection');
  line.textContent = 'Not connected: this page is inside another page';
  line.className = 'bad';
  $('#messages').append(el('p', { class: 'error', id: 'framed', role: 'alert' },
    el('span', {}, 'This page of the robot is shown inside another page (a frame), where a hidden click '
      + 'could drive the robot or change its settings. Here it only stops the robot (STOP). Open the '
      + 'robot\'s page on its own: ',
    el('a', { href: location.href, target: '_blank', rel: 'noopener noreferrer', text: location.href }))));
  $('#stop-all').addEventListener('click', () => sendStopNow());
}

if (FRAMED) {
  refuseFramed();
} else {
  onCommandOk(clearError);
  onTraffic((ok) => { if (ok !== daemonAnswers) { daemonAnswers = ok; showConnection(); } });
  onLink((state) => { link = state; showConnection(); });

  setupCamera();
  setupDrive();
  setupSensors(report);
  setupPrograms(report);
  setupNetwork();
  setupSettings();
  setupSystem();
}
