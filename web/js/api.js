// Talks to the daemon: one JSON command per GET, the JSON text itself as the query string.

// Relative, so the page works under any prefix the web server gives it.
const ENDPOINT = 'webgated';
const REQUEST_TIMEOUT_MS = 8000;
// For a command that waits for a tool on the robot (updateCheck): as long as the web server waits.
export const SLOW_REQUEST_TIMEOUT_MS = 30000;
// A new id for every load of the page: the daemon lets one page at a time drive and tells the
// others who drives. It tells pages apart and proves nothing (getRandomValues works over plain http).
export const DRIVER_ID = [...crypto.getRandomValues(new Uint8Array(16))]
  .map((b) => b.toString(16).padStart(2, '0')).join('');
// The robot's own page says so with every command: a page of another site cannot send these
// headers without the daemon's consent, which it never gives.
export const PAGE_HEADERS = { 'X-Webgated-Page': '1', 'X-Webgated-Driver': DRIVER_ID };

// The daemon decodes only %20, %22, %7B and %7D. Every other character that a browser would
// escape, or that would end the query (# and %), travels as a JSON \u escape instead; they can
// only occur inside JSON strings, where such escapes are valid.
export function encodeCommand(object) {
  return JSON.stringify(object)
    .replace(/[^\x21-\x7e]|[#%<>'`&^|]/g, (c) =>
      c === ' ' ? ' ' : '\\u' + c.charCodeAt(0).toString(16).padStart(4, '0'))
    .replace(/ /g, '%20').replace(/"/g, '%22').replace(/\{/g, '%7B').replace(/\}/g, '%7D');
}

// Inside another site's frame a hidden click could drive the robot: the page then only stops it.
export const FRAMED = window.top !== window;

// A command travels in the request line. The packaged web server snippets take 64 KiB (nginx) and
// about 32 KiB (lighttpd) of request header; the page sends at most 16 KiB, so a prefix and the
// other headers always fit.
export const MAX_COMMAND_BYTES = 16384;

export const commandFits = (object) => ENDPOINT.length + 1 + encodeCommand(object).length <= MAX_COMMAND_BYTES;

export function commandUrl(object) {
  if (FRAMED && object.TYPE !== 'stop') {
    throw new CommandError(object.TYPE, 'this page is shown inside another page, where it only stops the robot');
  }
  const url = ENDPOINT + '?' + encodeCommand(object);
  // Text only: every character beyond ASCII travels as a \u escape, one byte each.
  if (url.length > MAX_COMMAND_BYTES) {
    throw new CommandError(object.TYPE, `the command is too long for the robot's web server (${url.length} bytes, `
      + `at most ${MAX_COMMAND_BYTES})`);
  }
  return url;
}

// Error of a command, with the words a person reads.
export class CommandError extends Error {
  constructor(type, text, reply) {
    super(`${type}: ${text}`);
    this.command = type;
    this.reply = reply;
  }
}

const WORDS = {
  'MISSING PARAMETER(S)': 'a value is missing',
  'INVALID PARAMETER(S)': 'a value is not valid',
  'UNKNOWN COMMAND': 'the daemon does not know this command',
  'NO TYPE FIELD FOUND': 'the request had no command name',
  'NO JSON OBJ RECIEVED': 'the daemon could not read the request',
  'NO RUNNING PROGRAM': 'no program is running',
  'NO CONNECTION TO THE ROBOT': 'the robot is not connected to its web service, so it was not told',
  'File name is invalid.': 'the file name is not valid (letters, digits, _ - . only)',
  'CANNOT UNDO THIS CHANGE': 'the robot could not undo this change by itself, so it did not make it',
  'NETWORK CHANGE PENDING': 'another network change waits to be kept or undone first',
  'NETWORK CHANGE STILL RUNNING': 'the network change is still being applied',
  'NO NETWORK CHANGE PENDING': 'no network change waits any more',
  'CROSS-SITE REQUEST REFUSED': 'the robot refused a request that did not come from its own page',
  'ANOTHER PAGE IS DRIVING': 'another page drives the robot now; take the drive over to drive',
  'HOST NOT ALLOWED': 'the robot does not answer under this address; use its IP address, or add '
    + 'this name to [Access] hosts of its webgated.conf',
};

export function describeError(msg) {
  if (!msg) return 'the operation failed';
  return WORDS[msg] ? `${WORDS[msg]} (${msg})` : msg;
}

let listeners = [];
export function onTraffic(listener) { listeners.push(listener); }
// Told the name of every command that succeeded: an error notice of the same command is over.
const succeeded = [];
export function onCommandOk(listener) { succeeded.push(listener); }

async function get(object, options = {}) {
  const url = commandUrl(object);
  let response;
  try {
    // No request waits without a limit: a stop queued behind one must still leave.
    response = await fetch(url, {
      cache: 'no-store', headers: PAGE_HEADERS, signal: AbortSignal.timeout(REQUEST_TIMEOUT_MS), ...options,
    });
  } catch (e) {
    listeners.forEach((l) => l(false));
    throw new CommandError(object.TYPE, 'no answer from the robot (' + e.message + ')');
  }
  if (!response.ok) {
    listeners.forEach((l) => l(false));
    // A refusal of the daemon's own carries its reason.
    const reply = response.status === 403 ? await response.json().catch(() => null) : null;
    if (reply && reply.TYPE === 'ERR') throw new CommandError(object.TYPE, describeError(reply.MSG), reply);
    throw new CommandError(object.TYPE, `the web server answered ${response.status} ${response.statusText}`);
  }
  listeners.forEach((l) => l(true));
  return response;
}

// Sends a command and returns its JSON reply; an "ERR" reply, an empty or broken one throws.
export async function command(object, options) {
  const response = await get(object, options);
  const text = await response.text();
  if (!text) throw new CommandError(object.TYPE, 'the daemon sent an empty answer');
  let reply;
  try {
    reply = JSON.parse(text);
  } catch (e) {
    throw new CommandError(object.TYPE, 'the answer was not readable JSON');
  }
  if (reply.TYPE === 'ERR') throw new CommandError(object.TYPE, describeError(reply.MSG), reply);
  succeeded.forEach((l) => l(object.TYPE));
  return reply;
}

// Sends a command whose answer is an XML document.
export async function xml(object) {
  const response = await get(object);
  const text = await response.text();
  const doc = new DOMParser().parseFromString(text, 'application/xml');
  if (doc.querySelector('parsererror')) {
    throw new CommandError(object.TYPE, 'the answer was not a readable XML document');
  }
  succeeded.forEach((l) => l(object.TYPE));
  return doc;
}

// A stop that still leaves when the page is going away.
export function sendStopNow() {
  try {
    fetch(commandUrl({ TYPE: 'stop' }), { cache: 'no-store', headers: PAGE_HEADERS, keepalive: true }).catch(() => {});
  } catch (e) { /* the page is closing */ }
}
