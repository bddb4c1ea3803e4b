// Remote driving: while a direction is held the page adds velocity increments up to the chosen
// speed and then keeps the daemon's watchdog fed; letting go, Space, losing focus or leaving the
// page stops the robot. If the page vanishes silently, the daemon's watchdog stops it.
import { command, sendStopNow } from './api.js';
import { $, $$, attempt, sayError } from './ui.js';

const TICK_MS = 250;   // increments and heartbeats while a direction is held
const STEPS = 4;       // increments to reach the chosen speed

// Unit direction per pad button: vx, vy (m/s) and omega (rad/s per m/s of speed).
const DIRECTIONS = {
  forward: [1, 0, 0], backward: [-1, 0, 0], left: [0, 1, 0], right: [0, -1, 0],
  turnLeft: [0, 0, 2], turnRight: [0, 0, -2],
};
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

  speedInput.addEventListener('input', () => {
    speedOut.textContent = `${Number(speedInput.value).toFixed(2)} m/s`;
  });

  // Drive commands leave one after the other, so a stop can never be overtaken by an increment
  // that was still on its way.
  let chain = Promise.resolve();
  const queue = (object) => {
    const sent = chain.then(() => command(object));
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
        state.textContent = 'Stopped';
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
    if (held === direction) return;
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
    state.textContent = 'Stopped';
    $$('[data-dir]').forEach((b) => b.classList.remove('active'));
    return queue({ TYPE: 'stop' }).catch(sayError);
  };
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
    // Keyboard users: Enter or Space on a focused pad button holds it while the key is down.
    button.addEventListener('keydown', (event) => {
      if (event.key === 'Enter' && !event.repeat) { event.preventDefault(); press(direction); }
    });
    button.addEventListener('keyup', (event) => { if (event.key === 'Enter') release(); });
    button.addEventListener('contextmenu', (event) => event.preventDefault());
  }

  const typing = (target) => target.closest?.('input, select, textarea, dialog');
  document.addEventListener('keydown', (event) => {
    if (typing(event.target) || event.ctrlKey || event.altKey || event.metaKey) return;
    if (event.code === 'Space') {
      // Space still presses a focused button or switch; it stops the robot in any case.
      if (!event.target.closest?.('button, a, [role=switch]')) event.preventDefault();
      stop();
    } else if (KEYS[event.code]) {
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
}
