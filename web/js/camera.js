// The live picture. One long-lived request streams the camera (multipart/x-mixed-replace), read
// with fetch() so that the page knows each picture's sequence number and age and notices a stall.
// When the stream fails, stalls or falls behind (the link carries less than the camera sends and
// parts come ever later), the page asks for the frame after the one it shows ("after"),
// one request at a time, and tries the stream again now and then. Either way at most one camera
// request is open: the browser's other connections stay free, and a stop never queues behind them.
import { command, commandUrl, describeError, PAGE_HEADERS } from './api.js';
import { $, $$, attempt } from './ui.js';

// The daemon sends a part at least this often: a live frame about ten times a second, the
// no-camera picture within a second of the last frame and then every 5 s.
const STALL_LIVE_MS = 2500;
const STALL_NO_CAMERA_MS = 8000;
const MAX_LAG_MS = 1000;         // parts coming this much later than the first did: a backlog on the way
const STREAM_AGAIN_MS = 15000;   // from the next-frame requests the stream is tried again
const RETRY_MS = 1000;           // after a request that failed
const MIN_REQUEST_MS = 100;      // a daemon that does not wait for the next frame is asked ten times a second
const MAX_HEADER_BYTES = 4096;

const encoder = new TextEncoder();
const HEADER_END = encoder.encode('\r\n\r\n');

function indexOf(bytes, pattern, from = 0) {
  outer: for (let i = from; i <= bytes.length - pattern.length; i++) {
    for (let j = 0; j < pattern.length; j++) if (bytes[i + j] !== pattern[j]) continue outer;
    return i;
  }
  return -1;
}

// Reads the parts of a multipart stream from `reader` and hands each picture to `picture`; each
// part says its length. Returns when the stream ends; throws when it is not the daemon's.
async function readParts(reader, picture) {
  let buffer = new Uint8Array(0);
  for (;;) {
    const { value, done } = await reader.read();
    if (done) return;
    const joined = new Uint8Array(buffer.length + value.length);
    joined.set(buffer);
    joined.set(value, buffer.length);
    buffer = joined;
    for (;;) {
      const end = indexOf(buffer, HEADER_END);
      if (end < 0) {
        if (buffer.length > MAX_HEADER_BYTES) throw new Error('the camera stream could not be read');
        break;
      }
      const fields = {};
      for (const line of new TextDecoder('latin1').decode(buffer.subarray(0, end)).split('\r\n')) {
        const colon = line.indexOf(':');
        if (colon > 0) fields[line.slice(0, colon).trim().toLowerCase()] = line.slice(colon + 1).trim();
      }
      // The boundary between parts, or the empty part before the end.
      if (!('content-length' in fields)) { buffer = buffer.subarray(end + 4); continue; }
      const length = Number(fields['content-length']);
      if (!(length >= 0)) throw new Error('the camera stream could not be read');
      if (buffer.length < end + 4 + length) break;
      picture(new Blob([buffer.slice(end + 4, end + 4 + length)], { type: fields['content-type'] || 'image/jpeg' }),
        Number(fields['x-frame-sequence']), Number(fields['x-frame-age-ms']), Number(fields['x-frame-sent-ms']));
      buffer = buffer.subarray(end + 4 + length);
    }
  }
}

async function failure(response) {
  const reply = response.status === 403 ? await response.json().catch(() => null) : null;
  return new Error(reply && reply.MSG ? describeError(reply.MSG) : `the web server answered ${response.status}`);
}

export function setupCamera() {
  const image = $('#camera-image');
  const info = $('#camera-info');
  let counter = 0;
  let shown = '';          // the object URL on screen
  let decoding = false;    // a picture is being decoded; the newest one that came meanwhile waits
  let waiting = null;
  let running = false;
  let stream = null;       // aborts the stream
  let lastPart = 0;        // when the stream's last part came (performance.now())
  let shownAt = 0;         // when the picture on screen arrived, and its age then
  let shownAge = 0;
  let problem = '';
  // Read by the browser tests and the page figures.
  const stats = window.cameraStats = {
    firstPictureMs: null, firstLiveMs: null, pictures: 0, live: false, sequence: 0, mode: 'stream', stalls: 0,
    behind: 0,
  };

  const caption = () => {
    if (problem) { info.textContent = `No picture: ${problem}`; return; }
    if (!stats.pictures) return;
    if (!stats.live) { info.textContent = 'No camera picture from the robot at the moment'; return; }
    const age = (shownAge + performance.now() - shownAt) / 1000;
    info.textContent = `${image.naturalWidth} × ${image.naturalHeight}` + (age >= 1 ? `, ${age.toFixed(0)} s old` : '');
  };
  setInterval(caption, 1000);

  const display = async ({ blob, sequence, ageMs, arrived }) => {
    const url = URL.createObjectURL(blob);
    try {
      await new Promise((resolve, reject) => {
        image.onload = resolve;
        image.onerror = () => reject(new Error('the picture could not be shown'));
        image.src = url;
      });
    } catch (e) {
      URL.revokeObjectURL(url);
      throw e;
    }
    if (shown) URL.revokeObjectURL(shown);
    shown = url;
    const live = blob.type.startsWith('image/jpeg');
    const now = Math.round(performance.now());
    stats.pictures += 1;
    stats.live = live;
    if (Number.isFinite(sequence)) stats.sequence = sequence;
    if (stats.firstPictureMs === null) stats.firstPictureMs = now;
    if (live && stats.firstLiveMs === null) stats.firstLiveMs = now;
    shownAt = arrived;
    shownAge = Number.isFinite(ageMs) ? ageMs : 0;
    problem = '';
    image.width = image.naturalWidth;
    image.height = image.naturalHeight;
    caption();
  };
  // Pictures that come while one is decoded do not pile up: the newest waits, older ones go.
  const show = async (blob, sequence, ageMs) => {
    const picture = { blob, sequence, ageMs, arrived: performance.now() };
    if (decoding) { waiting = picture; return; }
    decoding = true;
    try {
      for (let next = picture; next; next = waiting, waiting = null) {
        try { await display(next); } catch (e) { problem = e.message; caption(); }
      }
    } finally {
      decoding = false;
    }
  };

  const readStream = async () => {
    const controller = new AbortController();
    stream = controller;
    lastPart = performance.now();
    const watch = setInterval(() => {
      if (performance.now() - lastPart > (stats.live ? STALL_LIVE_MS : STALL_NO_CAMERA_MS)) {
        stats.stalls += 1;
        controller.abort();
      }
    }, 500);
    try {
      const response = await fetch(commandUrl({ TYPE: 'getimage', stream: true }), {
        cache: 'no-store', headers: PAGE_HEADERS, signal: controller.signal,
      });
      if (!response.ok) throw await failure(response);
      if (!(response.headers.get('Content-Type') || '').startsWith('multipart/')) {
        // A daemon without streams answers one picture (or refuses, too busy).
        if ((response.headers.get('Content-Type') || '').startsWith('image/')) await show(await response.blob());
        throw new Error('no camera stream');
      }
      stats.mode = 'stream';
      problem = '';
      // How much later than the daemon sent it a part comes, above the least seen: what the way
      // holds back. A picture's age counts it.
      let least = Infinity;
      await readParts(response.body.getReader(), (blob, sequence, ageMs, sentMs) => {
        lastPart = performance.now();
        const lag = Number.isFinite(sentMs) ? lastPart - sentMs - (least = Math.min(least, lastPart - sentMs)) : 0;
        if (lag > MAX_LAG_MS) {
          stats.behind += 1;
          controller.abort();
          return;
        }
        show(blob, sequence, ageMs + lag);
      });
    } finally {
      clearInterval(watch);
      if (stream === controller) stream = null;
    }
  };

  // One request for the frame after the one on screen; the daemon answers when it comes.
  const nextFrame = async () => {
    const response = await fetch(commandUrl({ TYPE: 'getimage', after: stats.sequence, t: ++counter }), {
      cache: 'no-store', headers: PAGE_HEADERS, signal: AbortSignal.timeout(8000),
    });
    if (!response.ok) throw await failure(response);
    if (!(response.headers.get('Content-Type') || '').startsWith('image/')) {
      const reply = await response.json().catch(() => null);
      throw new Error(describeError(reply && reply.MSG));
    }
    const sequence = Number(response.headers.get('X-Frame-Sequence'));
    const ageMs = Number(response.headers.get('X-Frame-Age-Ms'));
    await show(await response.blob(), sequence, ageMs);
  };

  const loop = async () => {
    if (running) return;
    running = true;
    while (!document.hidden) {  // a hidden page asks for nothing: the robot switches its camera off
      try {
        // The daemon ended it (it stops, or a newer viewer took its place): opened again.
        await readStream();
        await new Promise((resolve) => setTimeout(resolve, RETRY_MS));
        continue;
      } catch (e) {
        if (e.name !== 'AbortError' && e.message !== 'no camera stream') { problem = e.message; caption(); }
      }
      if (document.hidden) break;
      stats.mode = 'next frame';
      const until = performance.now() + STREAM_AGAIN_MS;
      while (!document.hidden && performance.now() < until) {
        const started = performance.now();
        let wait = MIN_REQUEST_MS;
        try {
          await nextFrame();
        } catch (e) {
          problem = e.message;
          caption();
          wait = RETRY_MS;
        }
        await new Promise((resolve) => setTimeout(resolve, Math.max(0, wait - (performance.now() - started))));
      }
    }
    running = false;
  };
  document.addEventListener('visibilitychange', () => {
    if (document.hidden) stream?.abort();
    else loop();
  });

  for (const button of $$('[data-res]')) {
    button.addEventListener('click', () => attempt(
      () => command({ TYPE: 'changeRes', res: button.dataset.res }),
      `Camera switched to ${button.dataset.res} resolution`));
  }
  loop();
}
