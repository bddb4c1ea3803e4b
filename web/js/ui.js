// Small helpers the sections share: messages, elements, confirmation.

export const $ = (selector, root = document) => root.querySelector(selector);
export const $$ = (selector, root = document) => [...root.querySelectorAll(selector)];

export function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes)) {
    if (key === 'text') node.textContent = value;
    else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else if (value === true) node.setAttribute(key, '');
    else if (value !== false && value != null) node.setAttribute(key, value);
  }
  node.append(...children);
  return node;
}

// The error notice shown for each command: a new one replaces it, a success ends it.
const errorOf = new Map();

// A message the person sees; errors stay until dismissed or until `command` succeeds, others fade.
export function say(text, kind = 'info', command = '') {
  const box = $('#messages');
  const item = el('p', { class: kind },
    el('span', { text }),
    el('button', { type: 'button', 'aria-label': 'Dismiss', text: '×', onclick: () => item.remove() }));
  box.append(item);
  while (box.children.length > 6) box.firstElementChild.remove();
  if (kind !== 'error') setTimeout(() => item.remove(), 5000);
  if (command) {
    errorOf.get(command)?.remove();
    errorOf.set(command, item);
  }
  return item;
}

export function sayError(error) {
  say(String(error.message || error), 'error', error.command || '');
}

// The command succeeded: its error notice is out of date.
export function clearError(command) {
  errorOf.get(command)?.remove();
  errorOf.delete(command);
}

// Runs a slow action from `button`: the button says it runs and takes no second click meanwhile.
export async function running(button, text, action) {
  const label = button.textContent;
  button.disabled = true;
  button.textContent = text;
  button.setAttribute('aria-busy', 'true');
  try {
    return await action();
  } finally {
    button.disabled = false;
    button.textContent = label;
    button.removeAttribute('aria-busy');
  }
}

// Runs an action from a button or form and shows its failure in words.
export async function attempt(action, success) {
  try {
    const result = await action();
    if (success) say(typeof success === 'function' ? success(result) : success);
    return result;
  } catch (e) {
    sayError(e);
    return undefined;
  }
}

export function confirmAction(text) {
  const dialog = $('#confirm');
  $('#confirm-text').textContent = text;
  return new Promise((resolve) => {
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'ok'), { once: true });
    dialog.returnValue = '';
    dialog.showModal();
    $('#confirm-ok').focus();
  });
}

// Calls `step` again `interval` ms (or what the function `interval` says) after the previous
// call ended: requests never pile up.
export function poll(step, interval) {
  let stopped = false;
  const run = async () => {
    const started = performance.now();
    try { await step(); } catch (e) { /* the step shows its own errors */ }
    const ms = typeof interval === 'function' ? interval() : interval;
    if (!stopped) setTimeout(run, Math.max(0, ms - (performance.now() - started)));
  };
  run();
  return () => { stopped = true; };
}
