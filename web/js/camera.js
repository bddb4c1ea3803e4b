// The live picture: the next image is asked for only once the last one has arrived.
import { command, commandUrl } from './api.js';
import { $, $$, attempt } from './ui.js';

const FRAME_INTERVAL_MS = 100;  // the robot sends about ten frames a second

export function setupCamera() {
  const image = $('#camera-image');
  const info = $('#camera-info');
  let counter = 0;
  let timer = 0;
  let started = 0;
  let running = false;
  window.cameraStats = { firstPictureMs: null, pictures: 0, fallbacks: 0 };

  const next = () => {
    timer = 0;
    if (document.hidden) { running = false; return; }
    running = true;
    started = performance.now();
    // A key inside the JSON defeats the browser cache; a suffix after it would not be JSON.
    image.src = commandUrl({ TYPE: 'getimage', t: ++counter });
  };
  const schedule = () => {
    const wait = Math.max(0, FRAME_INTERVAL_MS - (performance.now() - started));
    timer = setTimeout(next, wait);
  };
  image.addEventListener('load', () => {
    window.cameraStats.pictures += 1;
    if (window.cameraStats.firstPictureMs === null) {
      window.cameraStats.firstPictureMs = Math.round(performance.now());
    }
    info.textContent = `${image.naturalWidth} × ${image.naturalHeight}`;
    image.width = image.naturalWidth;
    image.height = image.naturalHeight;
    schedule();
  });
  image.addEventListener('error', () => {
    info.textContent = 'No picture: the robot or the web server did not answer';
    started = performance.now() + 900;  // try again in about a second
    schedule();
  });
  document.addEventListener('visibilitychange', () => {
    if (!document.hidden && !running && !timer) next();
  });
  for (const button of $$('[data-res]')) {
    button.addEventListener('click', () => attempt(
      () => command({ TYPE: 'changeRes', res: button.dataset.res }),
      `Camera switched to ${button.dataset.res} resolution`));
  }
  next();
}
