// The robot's page: every section starts here.
import { onTraffic } from './api.js';
import { setupCamera } from './camera.js';
import { setupDrive } from './drive.js';
import { setupSensors } from './sensors.js';
import { setupPrograms } from './programs.js';
import { setupNetwork } from './network.js';
import { setupSettings } from './settings.js';
import { setupSystem } from './system.js';
import { $, say } from './ui.js';

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

onTraffic((ok) => {
  const line = $('#connection');
  line.textContent = ok ? 'Connected' : 'No connection to the robot';
  line.className = ok ? 'ok' : 'bad';
});

setupCamera();
setupDrive();
setupSensors(report);
setupPrograms(report);
setupNetwork();
setupSettings();
setupSystem();
