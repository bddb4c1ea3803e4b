// The live picture: the next image is asked for only once the last one has arrived, about ten
// a second (the robot's frame rate). The daemon answers a JPEG frame, or its no-camera PNG while
// the robot sends none; the caption says which.
import { command, commandUrl, describeError, PAGE_HEADERS } from './api.js';
import { $, $$, attempt } from './ui.js';

const FRAME_INTERVAL_MS = 100;
const RETRY_MS = 1000;

export function setupCamera() {
  const image = $('#camera-image');
  const info = $('#camera-info');
  let counter = 0;
  let shown = '';        // the object URL on screen
  let running = false;
  // Read by the browser tests and the page figures.
  const stats = window.cameraStats = { firstPictureMs: null, firstLiveMs: null, pictures: 0, live: false };

  const fetchOne = async () => {
    // A key inside the JSON defeats caches; a suffix after the JSON would make it invalid.
    const response = await fetch(commandUrl({ TYPE: 'getimage', t: ++counter }), {
      cache: 'no-store', headers: PAGE_HEADERS, signal: AbortSignal.timeout(8000),
    });
    if (response.status === 403) {
      const reply = await response.json().catch(() => null);
      if (reply && reply.MSG) throw new Error(describeError(reply.MSG));
    }
    if (!response.ok) throw new Error(`the web server answered ${response.status}`);
    const live = (response.headers.get('Content-Type') || '').trim().startsWith('image/jpeg');
    const blob = await response.blob();
    const url = URL.createObjectURL(blob);
    await new Promise((resolve, reject) => {
      image.onload = resolve;
      image.onerror = () => reject(new Error('the picture could not be shown'));
      image.src = url;
    });
    if (shown) URL.revokeObjectURL(shown);
    shown = url;
    const now = Math.round(performance.now());
    stats.pictures += 1;
    stats.live = live;
    if (stats.firstPictureMs === null) stats.firstPictureMs = now;
    if (live && stats.firstLiveMs === null) stats.firstLiveMs = now;
    image.width = image.naturalWidth;
    image.height = image.naturalHeight;
    info.textContent = live
      ? `${image.naturalWidth} × ${image.naturalHeight}`
      : 'No camera picture from the robot at the moment';
  };

  const loop = async () => {
    if (document.hidden) { running = false; return; }  // the robot switches its camera off
    running = true;
    const started = performance.now();
    let wait = FRAME_INTERVAL_MS;
    try {
      await fetchOne();
    } catch (e) {
      info.textContent = `No picture: ${e.message}`;
      wait = RETRY_MS;
    }
    setTimeout(loop, Math.max(0, wait - (performance.now() - started)));
  };
  document.addEventListener('visibilitychange', () => { if (!document.hidden && !running) loop(); });

  for (const button of $$('[data-res]')) {
    button.addEventListener('click', () => attempt(
      () => command({ TYPE: 'changeRes', res: button.dataset.res }),
      `Camera switched to ${button.dataset.res} resolution`));
  }
  loop();
}
