// Remote driving: while a direction is held the page adds velocity increments up to the chosen
// speed and then keeps the daemon's watchdog fed; letting go, Space, the STOP button, losing
// focus or leaving the page stops the robot. If the page vanishes silently, the daemon's watchdog
// stops it. While the daemon has no link to the robot, driving is switched off; stopping never is.
import { command, sendStopNow } from './api.js';
import { driveAllowed, onLink, setLink } from './link.js';
import { $, $$, attempt, sayError } from './ui.js';

const TICK_MS = 250;   // increments and heartbeats while a direction is held
const STEPS = 4;       // increments to reach the chosen speed

// Unit direction per pad button: vx, vy (m/s) and omega (rad/s per m/s of speed).
const DIRECTIONS = {
  forward: [1, 0, 0], backward: [-1, 0, 0], left: [0, 1, 0], right: [0, -1, 0],
  turnLeft: [0, 0, 2], turnRight: [0, 0, -2],
};
// Fields where Space is typed; anywhere else Space only stops.
const TYPED = 'textarea, select, [contenteditable]:not([contenteditable=false]), input:not([type=checkbox], '
  + '[type=radio], [type=range], [type=button], [type=submit], [type=reset], [type=image], [type=file], [type=color])';
const KEYS = {
  ArrowUp: 'forward', KeyW: 'forward', ArrowDown: 'backward', KeyS: 'backward',
  ArrowLeft: 'left', KeyA: 'left', ArrowRight: 'right', KeyD: 'right',
  KeyQ: 'turnLeft', KeyE: 'turnRight',
};

export function setupDrive() {
  const state = $('#drive-state');
  const speedInput = $('#drive-speed');
  const speedOut = $('#drive-speed-out');
  let held = null;      // the direction held now
  let steps = 0;        // increments sent since the last stop
  let timer = 0;
  let busy = false;     // a drive request is on its way
  const idleText = () => (driveAllowed() ? 'Stopped' : 'Robot not connected: driving is off');

  speedInput.addEventListener('input', () => {
    speedOut.textContent = `${Number(speedInput.value).toFixed(2)} m/s`;
  });

  // Drive commands leave one after the other, so a stop can never be overtaken by an increment
  // that was still on its way.
  let chain = Promise.resolve();
  const queue = (object) => {
    const sent = chain.then(() => command(object)).catch((e) => {
      // The daemon knows before the next poll does.
      if (e.reply?.MSG === 'NO CONNECTION TO THE ROBOT') setLink('down');
      throw e;
    });
    chain = sent.catch(() => {});
    return sent;
  };
  const send = async (object) => {
    busy = true;
    try { await queue(object); } catch (e) { sayError(e); release(); } finally { busy = false; }
  };
  let moveUntil = 0;  // a position move is kept alive until then
  const tick = () => {
    if (!held || busy) return;
    if (held === 'move') {
      if (performance.now() < moveUntil) {
        send({ TYPE: 'HEARTBEAT' });
      } else {
        // The move should be over; if not, the daemon's watchdog ends it two seconds on.
        clearInterval(timer);
        held = null;
        state.textContent = idleText();
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
    if (held === direction || !driveAllowed()) return;
    if (held) stop();
    held = direction;
    steps = 0;
    state.textContent = `Driving: ${direction}`;
    $$('[data-dir]').forEach((b) => b.classList.toggle('active', b.dataset.dir === direction));
    tick();
    timer = setInterval(tick, TICK_MS);
  };
  const stop = () => {
    clearInterval(timer);
    timer = 0;
    held = null;
    steps = 0;
    state.textContent = idleText();
    $$('[data-dir]').forEach((b) => b.classList.remove('active'));
    return queue({ TYPE: 'stop' }).catch(sayError);
  };
  const stopButton = $('#stop-all');
  stopButton.addEventListener('click', () => stop());
  const release = () => { if (held) stop(); };

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

  // Space is caught before any control sees it: a focused button, switch or link is not pressed
  // (they act on keyup or click), and one press sends one stop however long it is held.
  const space = (event) => {
    if (event.code !== 'Space' || event.target.closest?.(TYPED)) return;
    event.preventDefault();
    event.stopImmediatePropagation();
    if (event.type === 'keydown' && !event.repeat) stop();
  };
  window.addEventListener('keydown', space, true);
  window.addEventListener('keyup', space, true);

  const typing = (target) => target.closest?.('input, select, textarea, dialog');
  document.addEventListener('keydown', (event) => {
    if (typing(event.target) || event.ctrlKey || event.altKey || event.metaKey) return;
    if (KEYS[event.code]) {
      event.preventDefault();
      if (!event.repeat) press(KEYS[event.code]);
    }
  });
  document.addEventListener('keyup', (event) => {
    if (KEYS[event.code] === held) release();
  });
  window.addEventListener('blur', release);
  document.addEventListener('visibilitychange', () => { if (document.hidden) release(); });
  window.addEventListener('pagehide', () => { if (held) { held = null; clearInterval(timer); sendStopNow(); } });

  const form = $('#position-form');
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    if (!driveAllowed()) return;
    const data = new FormData(form);
    const number = (name) => Number(data.get(name));
    if (held) stop();
    const move = {
      TYPE: 'positionDrive', x: number('x'), y: number('y'), omega: number('phi') * Math.PI / 180,
      vel: number('vel'), rotvel: number('rotvel'), mode: Math.trunc(number('mode')),
    };
    // The daemon stops a move that hears nothing for two seconds, so the page keeps it alive
    // for as long as the move may take: the way at the chosen speed, the slow last 0.3 m,
    // the turn, and some slack.
    const way = Math.hypot(move.x, move.y);
    const speed = Math.min(0.5, Math.max(0.04, move.vel));
    const seconds = way / speed + Math.min(way, 0.3) / 0.04 +
      2 * Math.abs(number('phi')) / Math.max(5, move.rotvel) + 3;
    attempt(async () => {
      const reply = await queue(move);
      held = 'move';
      moveUntil = performance.now() + seconds * 1000;
      state.textContent = `Moving to (${move.x}, ${move.y})`;
      clearInterval(timer);
      timer = setInterval(tick, TICK_MS);
      return reply;
    }, (reply) => `Moving: ${reply.MSG || 'started'}`);
  });
  $('#position-stop').addEventListener('click', () => stop());

  // Everything that makes the robot move is off while it cannot be reached; the stops stay on.
  const moving = [...$$('[data-dir]:not([data-dir=stop])'), speedInput,
    ...[...form.elements].filter((e) => e.id !== 'position-stop' && e.tagName !== 'FIELDSET')];
  onLink(() => {
    const allowed = driveAllowed();
    moving.forEach((e) => { e.disabled = !allowed; });
    if (!allowed && held) stop();
    if (!held) state.textContent = idleText();
  });
}
