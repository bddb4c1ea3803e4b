// Distances around the robot outline, bumper, battery and chargers, inputs; outputs and relays
// as switches.
import { command, CommandError, describeError } from './api.js';
import { linkState, onLink, readDriveState } from './link.js';
import { $, el, poll, attempt } from './ui.js';

const SVG = 'http://www.w3.org/2000/svg';
const OUTPUTS = 8;   // positions 0-7 of "output" are digital outputs, 8 on relays
const fixed = (v, digits = 2) => (typeof v === 'number' ? v.toFixed(digits) : '–');

export function setupSensors(report) {
  const rays = $('#distance-rays');
  const texts = [];
  for (let i = 0; i < 9; i++) {
    // Sensor 0 looks forward (up on the drawing); the others follow every 40 degrees.
    const angle = (i * 40 - 90) * Math.PI / 180;
    const line = document.createElementNS(SVG, 'line');
    line.setAttribute('x1', 40 * Math.cos(angle));
    line.setAttribute('y1', 40 * Math.sin(angle));
    line.setAttribute('class', 'ray');
    const text = document.createElementNS(SVG, 'text');
    text.setAttribute('x', 92 * Math.cos(angle));
    text.setAttribute('y', 92 * Math.sin(angle) + 4);
    text.setAttribute('text-anchor', 'middle');
    rays.append(line, text);
    texts.push({ line, text, angle });
  }

  // Values the daemon holds from before the robot's link went quiet, or that could not be read
  // again, are shown greyed and marked as stale.
  const failed = new Set();
  const markStale = () => {
    const link = linkState();
    const stale = failed.size > 0 || (link !== 'up' && link !== 'unknown');
    $('#sensors').classList.toggle('stale', stale);
    $('#sensors-stale').hidden = !stale;
  };
  const outcome = (source, error) => {
    if (error) failed.add(source); else failed.delete(source);
    markStale();
    report(source, error);
  };
  onLink(markStale);

  // One request a poll: the drive state, distances, battery and I/O board in one reply.
  poll(async () => {
    const state = readState();
    await readDriveState(async () => part(await state, 'getDriveState'));
    try {
      const d = part(await state, 'getDistance');
      d.dist.forEach((value, i) => {
        if (!texts[i]) return;
        const length = 40 + Math.min(45, Math.max(2, value * 0.7));
        texts[i].line.setAttribute('x2', length * Math.cos(texts[i].angle));
        texts[i].line.setAttribute('y2', length * Math.sin(texts[i].angle));
        texts[i].text.textContent = fixed(value, 1);
      });
      $('#bumper').textContent = d.bumpTime < 1000 ? 'contact!' : `free (last contact ${(d.bumpTime / 1000).toFixed(0)}${d.bumpTime >= 100000 ? '+' : ''} s ago)`;
      showBattery(part(await state, 'getBatteryInfo'));
      outcome('sensors', null);
    } catch (e) {
      outcome('sensors', e);
    }
    try {
      showIo(part(await state, 'getIOBoardInfo'));
      outcome('io', null);
    } catch (e) {
      outcome('io', e);
    }
  }, 500);
}

// The daemon gathers the four replies in getState; an older one is asked for each.
const PARTS = ['getDriveState', 'getDistance', 'getBatteryInfo', 'getIOBoardInfo'];
let gathered = true;
async function readState() {
  if (gathered) {
    try {
      return await command({ TYPE: 'getState' });
    } catch (e) {
      if (e.reply?.MSG !== 'UNKNOWN COMMAND') throw e;
      gathered = false;
    }
  }
  const state = {};
  for (const name of PARTS) state[name] = await command({ TYPE: name }).catch((error) => ({ TYPE: 'ERR', error }));
  return state;
}

function part(state, name) {
  const reply = state[name];
  if (!reply || reply.TYPE === 'ERR') {
    throw reply?.error || new CommandError(name, describeError(reply?.MSG), reply);
  }
  return reply;
}

function showBattery(b) {
  const list = $('#battery');
  list.replaceChildren(
    el('dt', { text: 'Battery' }), el('dd', { text: `${fixed(b.voltage)} V, ${fixed(b.current)} A` }),
    el('dt', { text: 'Type' }), el('dd', { text: b.batteryType }),
    el('dt', { text: 'External power' }), el('dd', { text: b.ext_power ? 'yes' : 'no' }),
    el('dt', { text: 'Battery low' }), el('dd', { text: b.isBatteryLow ? 'YES' : 'no', class: b.isBatteryLow ? 'warn' : '' }),
    el('dt', { text: 'Shutdown counter' }), el('dd', { text: String(b.shutdownCounter) }),
    el('dt', { text: 'Chargers' }), el('dd', { text: String(b.numChargers) }));
  const body = $('#chargers tbody');
  body.replaceChildren(...[0, 1, 2].map((n) => {
    const c = (key) => b[`c${n}_${key}`];
    return el('tr', {}, el('td', { text: String(n) }), el('td', { text: c('state') }),
      el('td', { text: `${fixed(c('vol'))} V` }), el('td', { text: `${fixed(c('current'))} A` }),
      el('td', { text: `${fixed(c('temp1'), 1)} °C` }), el('td', { text: `${fixed(c('temp2'), 1)} °C` }),
      el('td', { text: `${fixed(c('time'), 0)} s` }),
      el('td', { text: `${c('major')}.${c('minor')}.${c('patch')}` }));
  }));
}

let outputs = [];
let relays = [];

function showIo(io) {
  $('#digital-in').replaceChildren(...io.digital.map((v, i) =>
    el('span', { class: v ? 'bit on' : 'bit', title: `Input ${i}`, text: String(i) })));
  $('#analog-in').textContent = io.analog.map((v) => fixed(v)).join('  ');
  outputs = io.digitalout;
  relays = io.relay;
  showSwitches('#outputs', 'Output', outputs, 0);
  showSwitches('#relays', 'Relay', relays, OUTPUTS);
}

function showSwitches(selector, label, values, offset) {
  const box = $(selector);
  values.forEach((value, i) => {
    let input = box.querySelector(`[data-index="${offset + i}"]`);
    if (!input) {
      input = el('input', { type: 'checkbox', role: 'switch', 'data-index': offset + i, onchange: sendOutputs });
      box.append(el('label', {}, input, ` ${label} ${i}`));
    }
    input.checked = Boolean(value);
  });
}

function sendOutputs(event) {
  const wanted = [...outputs];
  const relayWanted = [...relays];
  while (wanted.length < OUTPUTS) wanted.push(0);
  const index = Number(event.target.dataset.index);
  if (index < OUTPUTS) wanted[index] = event.target.checked ? 1 : 0;
  else relayWanted[index - OUTPUTS] = event.target.checked ? 1 : 0;
  attempt(async () => showIo(await command({ TYPE: 'getIOBoardInfo', output: [...wanted, ...relayWanted] })));
}
