// Remote driving: while a direction is held the page adds velocity increments up to the chosen
// speed and then keeps the daemon's watchdog fed; letting go, Space, the STOP button, losing
// focus or leaving the page stops the robot. If the page vanishes silently, the daemon's watchdog
// stops it. While the daemon has no link to the robot, driving is switched off; stopping never is.
// One page drives at a time: the others show who drives, may take the drive over after asking,
// and never stop the robot by letting go of a button (the STOP button and Space always stop it).
import { command, sendStopNow } from './api.js';
import { driveAllowed, lastDriveState, onDriveState, onLink, setLink } from './link.js';
import { $, $$, attempt, confirmAction, say, sayError } from './ui.js';

const TICK_MS = 250;   // increments and heartbeats while a direction is held
const STEPS = 4;       // increments to reach the chosen speed
const ANOTHER = 'ANOTHER PAGE IS DRIVING';

// Unit direction per pad button: vx, vy (m/s) and omega (rad/s per m/s of speed).
const DIRECTIONS = {
  forward: [1, 0, 0], backward: [-1, 0, 0], left: [0, 1, 0], right: [0, -1, 0],
  turnLeft: [0, 0, 2], turnRight: [0, 0, -2],
};
// Fields where Space and the drive keys are typed; anywhere else Space only stops and the drive
// keys drive (a focused speed slider included: it never takes the arrow keys).
const TYPED = 'textarea, select, [contenteditable]:not([contenteditable=false]), input:not([type=checkbox], '
  + '[type=radio], [type=range], [type=button], [type=submit], [type=reset], [type=image], [type=file], [type=color])';
const KEYS = {
  ArrowUp: 'forward', KeyW: 'forward', ArrowDown: 'backward', KeyS: 'backward',
  ArrowLeft: 'left', KeyA: 'left', ArrowRight: 'right', KeyD: 'right',
  KeyQ: 'turnLeft', KeyE: 'turnRight',
};
// How a drive that this page did not end came to its end.
const ENDED = {
  request: 'Stopped by another page or program',
  takeover: 'Stopped: another page took the drive over',
  watchdog: 'Stopped: the robot heard nothing from this page for two seconds',
  bumper: 'Stopped: the bumper touched something',
  link: 'Stopped: the link to the robot was lost',
  shutdown: 'Stopped: the robot\'s web service is shutting down',
  reached: 'Arrived at the target',
};
// A turn of one radian counts like this many metres of way in a move's progress.
const METRES_PER_RADIAN = 0.2;

export function setupDrive() {
  const state = $('#drive-state');
  const speedInput = $('#drive-speed');
  const speedOut = $('#drive-speed-out');
  const owner = $('#drive-owner');
  const ownerText = $('#drive-owner-text');
  const takeOverButton = $('#take-over');
  const progress = $('#move-progress');
  let held = null;      // the direction held now, or 'move'
  let steps = 0;        // increments sent since the last stop
  let timer = 0;
  let busy = false;     // a drive request is on its way
  let mine = false;     // this page holds the drive, as far as it knows
  let other = null;     // the driver that holds the drive, when it is another page
  // What this page holds now: its number, when its first command left, when it was answered,
  // and whether the daemon has said the robot drives since then.
  let hold = 0;
  let holdSentAt = null;
  let holdAnsweredAt = null;
  let seenDriving = false;
  let answeredAt = -Infinity; // when the daemon last answered one of this page's drive commands
  let move = null;            // the position move under way: where it started, its time limit
  let note = '';              // how this page's last drive ended, when it did not end it itself
  const canDrive = () => driveAllowed() && !other;
  const idleText = () => (!driveAllowed() ? 'Robot not connected: driving is off'
    : note || (other ? 'Another page drives the robot' : 'Stopped'));

  speedInput.addEventListener('input', () => {
    speedOut.textContent = `${Number(speedInput.value).toFixed(2)} m/s`;
  });

  // Drive commands leave one after the other, so a stop can never be overtaken by an increment
  // that was still on its way. `what` is a command, or a function that gives one (or nothing)
  // once the commands before it are answered. Their answers say whether this page drives.
  let chain = Promise.resolve();
  const queue = (what, of = 0) => {
    const sent = chain.then(async () => {
      const object = typeof what === 'function' ? what() : what;
      if (!object) return null;
      const drives = object.TYPE !== 'stop';
      if (of && of === hold && holdSentAt === null) holdSentAt = performance.now();
      try {
        const reply = await command(object);
        if (drives) mine = true;
        return reply;
      } catch (e) {
        if (e.reply?.MSG === ANOTHER) mine = false;
        // The daemon knows before the next poll does.
        if (e.reply?.MSG === 'NO CONNECTION TO THE ROBOT') setLink('down');
        throw e;
      } finally {
        if (drives) answeredAt = performance.now();
        if (of && of === hold && holdAnsweredAt === null) holdAnsweredAt = answeredAt;
      }
    });
    chain = sent.catch(() => {});
    return sent;
  };
  // A drive command of a held direction or move: refused, the page lets go without a stop.
  const send = async (object) => {
    busy = true;
    try {
      await queue(object, hold);
    } catch (e) {
      if (e.reply?.MSG === ANOTHER) {
        end('Not driving: another page drives the robot');
      } else {
        sayError(e);
        release();
      }
    } finally {
      busy = false;
    }
  };
  // Something new to hold: a direction or a move.
  const begin = (what) => {
    held = what;
    note = '';
    hold += 1;
    holdSentAt = null;
    holdAnsweredAt = null;
    seenDriving = false;
  };
  // Ends what this page holds, on the page only; a move's progress stays shown if asked.
  const end = (text, keepProgress = false) => {
    clearInterval(timer);
    timer = 0;
    held = null;
    steps = 0;
    move = null;
    progress.hidden = !keepProgress;
    note = text || '';
    state.textContent = idleText();
    $$('[data-dir]').forEach((b) => b.classList.remove('active'));
  };

  const tick = () => {
    if (!held || busy) return;
    if (held === 'move') {
      if (!move) return;
      const now = performance.now();
      // A daemon that cannot tell the end leaves the page to guess it: the move should be over;
      // if not, its watchdog ends it two seconds on.
      const guessing = !('lastStop' in (lastDriveState() || {}));
      if (guessing && now >= move.until) {
        end();
      } else if (now < move.limit) {
        send({ TYPE: 'HEARTBEAT' });
      } else {
        stop();
        say('The move took far longer than it should have: the robot was stopped', 'error');
      }
    } else if (steps < STEPS) {
      const [vx, vy, omega] = DIRECTIONS[held];
      const step = Number(speedInput.value) / STEPS;
      steps += 1;
      send({ TYPE: 'velDrive', vx: vx * step, vy: vy * step, omega: omega * step });
    } else {
      send({ TYPE: 'HEARTBEAT' });
    }
  };
  const press = (direction) => {
    if (held === direction || !canDrive()) return;
    if (held) stop();
    begin(direction);
    state.textContent = `Driving: ${direction}`;
    $$('[data-dir]').forEach((b) => b.classList.toggle('active', b.dataset.dir === direction));
    tick();
    timer = setInterval(tick, TICK_MS);
  };
  // The STOP button, Space and the stop buttons: a stop from anyone, always sent.
  const stop = () => {
    end();
    return queue({ TYPE: 'stop' }).catch(sayError);
  };
  // Letting go: only the page that drives stops the robot; a refused page must not stop the one
  // that drives. Decided once the commands before it are answered.
  const release = () => {
    if (!held) return;
    end();
    queue(() => (mine ? { TYPE: 'stop' } : null)).catch(sayError);
  };
  const stopButton = $('#stop-all');
  stopButton.addEventListener('click', () => stop());

  for (const button of $$('[data-dir]')) {
    const direction = button.dataset.dir;
    if (direction === 'stop') {
      button.addEventListener('click', () => stop());
      continue;
    }
    button.addEventListener('pointerdown', (event) => {
      button.setPointerCapture?.(event.pointerId);
      press(direction);
    });
    for (const type of ['pointerup', 'pointercancel', 'lostpointercapture']) {
      button.addEventListener(type, release);
    }
    // Keyboard users: Enter on a focused pad button holds it while the key is down.
    button.addEventListener('keydown', (event) => {
      if (event.key === 'Enter' && !event.repeat) { event.preventDefault(); press(direction); }
    });
    button.addEventListener('keyup', (event) => { if (event.key === 'Enter') release(); });
    button.addEventListener('contextmenu', (event) => event.preventDefault());
  }

  // Space and the drive keys are caught before any control sees them: a focused button, switch or
  // link is not pressed by Space (they act on keyup or click), one press sends one stop however
  // long it is held, and a focused slider does not move with the arrow keys.
  const keys = (event) => {
    if (event.target.closest?.(TYPED)) return;
    if (event.code === 'Space') {
      event.preventDefault();
      event.stopImmediatePropagation();
      if (event.type === 'keydown' && !event.repeat) stop();
      return;
    }
    if (!KEYS[event.code] || event.ctrlKey || event.altKey || event.metaKey || event.target.closest?.('dialog')) return;
    event.preventDefault();
    if (event.type === 'keyup') {
      if (KEYS[event.code] === held) release();
    } else if (!event.repeat) {
      press(KEYS[event.code]);
    }
  };
  window.addEventListener('keydown', keys, true);
  window.addEventListener('keyup', keys, true);
  window.addEventListener('blur', release);
  document.addEventListener('visibilitychange', () => { if (document.hidden) release(); });
  window.addEventListener('pagehide', () => {
    if (held) { held = null; clearInterval(timer); if (mine) sendStopNow(); }
  });

  const form = $('#position-form');
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    if (!canDrive()) return;
    const data = new FormData(form);
    const number = (name) => Number(data.get(name));
    if (held) stop();
    const request = {
      TYPE: 'positionDrive', x: number('x'), y: number('y'), omega: number('phi') * Math.PI / 180,
      vel: number('vel'), rotvel: number('rotvel'), mode: Math.trunc(number('mode')),
    };
    // The daemon stops a move that hears nothing for two seconds, so the page keeps it alive
    // until the daemon says it has ended. What the move should take (the way at the chosen speed,
    // the slow last 0.3 m, the turn, some slack) is all a daemon that cannot tell the end leaves to
    // go by; three times that is the most the page keeps a move alive.
    const way = Math.hypot(request.x, request.y);
    const speed = Math.min(0.5, Math.max(0.04, request.vel));
    const seconds = way / speed + Math.min(way, 0.3) / 0.04 +
      2 * Math.abs(number('phi')) / Math.max(5, request.rotvel) + 3;
    begin('move');
    const thisMove = hold;
    attempt(async () => {
      let reply;
      try {
        reply = await queue(request, thisMove);
      } catch (e) {
        if (hold === thisMove) end();
        throw e;
      }
      if (hold !== thisMove || held !== 'move') return reply;  // stopped meanwhile
      move = {
        way, turn: Math.abs(request.omega),
        until: performance.now() + seconds * 1000, limit: performance.now() + (3 * seconds + 10) * 1000,
      };
      state.textContent = `Moving to (${request.x}, ${request.y})`;
      progress.value = 0;
      progress.hidden = false;
      clearInterval(timer);
      timer = setInterval(tick, TICK_MS);
      return reply;
    }, (reply) => `Moving: ${reply.MSG || 'started'}`);
  });
  $('#position-stop').addEventListener('click', () => stop());

  // Who drives, and whether this page's drive goes on.
  const angle = (radians) => `${Math.round(Math.abs(radians) * 180 / Math.PI)}°`;
  onDriveState((drive, askedAt) => {
    // A reading asked for before this page's last drive command was answered may predate it.
    if (askedAt < answeredAt) return;
    const driver = drive && 'driver' in drive ? drive.driver : undefined;
    if (driver !== undefined) {
      other = driver && !driver.you ? driver : null;
      if (driver?.you) mine = true;
      else if (other) mine = false;
    }
    owner.hidden = !driver;
    takeOverButton.hidden = !other;
    if (driver) {
      ownerText.textContent = driver.you ? 'You are driving'
        : `Driven from ${driver.address || 'an unknown address'} (${driver.agent || 'unknown browser'}) `
          + `for ${Math.round(driver.sinceMs / 1000)} s`;
    }
    showAllowed();
    if (!held || !drive || holdAnsweredAt === null || askedAt < holdAnsweredAt) return;
    if (drive.mode !== 'stopped') {
      seenDriving = true;
      if (held === 'move' && drive.target && move) {
        const left = drive.target.distanceLeft + METRES_PER_RADIAN * Math.abs(drive.target.angleLeft);
        const total = move.way + METRES_PER_RADIAN * move.turn;
        progress.value = total > 0 ? Math.min(1, Math.max(0, 1 - left / total)) : 0;
        state.textContent = `Moving: ${drive.target.distanceLeft.toFixed(2)} m and ${angle(drive.target.angleLeft)} left`;
      }
      return;
    }
    // It ended before this page saw it drive, if it ended after this page's command left.
    const age = drive.lastStop?.ageMs;
    if (!seenDriving && !(age >= 0 && askedAt - age > holdSentAt)) return;
    // The drive ended without this page: say how, and let go without a stop of its own.
    const reason = drive.lastStop?.reason;
    const arrived = held === 'move' && reason === 'reached';
    end(ENDED[reason] || 'Stopped', arrived);
    if (arrived) progress.value = 1;
    say(arrived ? 'The move has arrived at its target' : state.textContent);
  });

  takeOverButton.addEventListener('click', async () => {
    if (!other) return;
    const from = `${other.address || 'an unknown address'} (${other.agent || 'unknown browser'})`;
    if (!(await confirmAction(`The page at ${from} drives the robot now. Take the drive over? The robot `
      + 'stops first; then this page drives it, and the other page can only watch.'))) return;
    if (held) release();
    attempt(async () => {
      await queue({ TYPE: 'velDrive', vx: 0, vy: 0, omega: 0, takeOver: true });
      other = null;
      takeOverButton.hidden = true;
      ownerText.textContent = 'You are driving';
      showAllowed();
    }, 'You have the drive: the robot was stopped for you');
  });

  // Everything that makes the robot move is off while it cannot be reached, and the pad and the
  // move while another page drives; the stops stay on.
  const pad = $$('[data-dir]:not([data-dir=stop])');
  const moveButton = $('#position-form [type=submit]');
  const formFields = [...form.elements].filter((e) => e.id !== 'position-stop' && e.tagName !== 'FIELDSET' && e !== moveButton);
  const showAllowed = () => {
    const linked = driveAllowed();
    [speedInput, ...formFields].forEach((e) => { e.disabled = !linked; });
    [...pad, moveButton].forEach((e) => { e.disabled = !canDrive(); });
    if (!held) state.textContent = idleText();
  };
  onLink(() => {
    if (!driveAllowed() && held) stop();
    showAllowed();
  });

  placeControls();
}

// At phone width the pad and the drive's state sit right under the camera picture, so that both
// fit one screen; wider, they stay in the drive section.
function placeControls() {
  const controls = $('#drive-controls');
  const home = $('#drive-controls-home');
  const phone = matchMedia('(max-width: 520px)');
  const place = () => {
    if (phone.matches) $('#camera figure').after(controls);
    else home.after(controls);
  };
  phone.addEventListener('change', place);
  place();
}
