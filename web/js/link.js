// Whether the daemon reaches the robot, as its getDriveState says. "unknown" while the daemon
// cannot be asked (it is down, or too old to know the command): the page then drives as it
// always did and leaves the refusal to the daemon.
import { command } from './api.js';

const STATES = ['up', 'stale', 'down'];
// An older daemon answers UNKNOWN COMMAND; it is asked again now and then, not on every poll.
const ASK_OLD_DAEMON_EVERY_MS = 30000;

let state = 'unknown';
let drive = null;   // the daemon's last getDriveState reply
const listeners = [];
let askAfter = 0;

export const linkState = () => state;
// Driving is refused only when the daemon says the robot is not there.
export const driveAllowed = () => state === 'up' || state === 'unknown';
export const lastDriveState = () => drive;

// Told every reading of the drive state (null when there was none) and when it was asked for
// (performance.now()): a reading asked for before a drive command was answered may predate it.
const readers = [];
export function onDriveState(listener) { readers.push(listener); }

export function onLink(listener) {
  listeners.push(listener);
  listener(state);
}

export function setLink(next) {
  if (next === state) return;
  state = next;
  listeners.forEach((l) => l(state));
}

// One reading of the daemon's drive state (`read` gives the reply); errors never leave it.
export async function readDriveState(read = () => command({ TYPE: 'getDriveState' })) {
  if (performance.now() < askAfter) return;
  const askedAt = performance.now();
  try {
    drive = await read();
    // Any value but the three known ones is not a link that can drive.
    if (!('link' in drive)) setLink('unknown');
    else setLink(STATES.includes(drive.link) ? drive.link : 'down');
  } catch (e) {
    drive = null;
    if (e.reply?.MSG === 'UNKNOWN COMMAND') askAfter = performance.now() + ASK_OLD_DAEMON_EVERY_MS;
    setLink('unknown');
  }
  readers.forEach((l) => l(drive, askedAt));
}
