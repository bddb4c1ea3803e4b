// The settings page: categories and items from the daemon's two XML documents, one editor per
// kind of item; only the items the person changed are saved.
import { command, commandFits, xml } from './api.js';
import { $, el, attempt, running, say } from './ui.js';

const IPV4 = /^(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})$/;
// Integer items come as "string" items holding a number, in float form above six digits.
const NUMBER = /^-?\d+(\.\d+)?(e[+-]\d+)?$/;

const text = (node, name) => node.querySelector(name)?.textContent ?? '';

// The editor kind of an item: the XML names string, float, selection (and boolean); an address
// or an integer is a "string" whose value shows what it is.
function kindOf(item) {
  if (item.type === 'float') return 'float';
  if (item.type === 'boolean') return 'boolean';
  if (item.type === 'selection') return item.choices.join(',') === 'true,false' ? 'boolean' : 'selection';
  if (IPV4.test(item.value)) return 'address';
  if (NUMBER.test(item.value)) return 'integer';
  return 'text';
}

function editorFor(item, id) {
  const common = { id, name: id, 'data-original': item.value };
  switch (item.kind) {
    case 'float':
      return el('input', { ...common, type: 'number', min: item.min, max: item.max, step: item.precision || 'any', value: item.value });
    case 'integer':
      return el('input', { ...common, type: 'text', inputmode: 'numeric', pattern: '-?[0-9]+|' + escapeRegex(item.value), value: item.value,
        title: 'A whole number' });
    case 'address':
      return el('input', { ...common, type: 'text', inputmode: 'decimal', pattern: '\\d{1,3}(\\.\\d{1,3}){3}', value: item.value,
        title: 'An address such as 192.168.0.1' });
    case 'boolean': {
      const box = el('input', { ...common, type: 'checkbox', role: 'switch' });
      box.checked = item.value === 'true';
      return box;
    }
    case 'selection': {
      const select = el('select', common, ...item.choices.map((c) => new Option(c, c)));
      if (!item.choices.includes(item.value)) select.append(new Option(item.value, item.value));
      select.value = item.value;
      return select;
    }
    default:
      return el('input', { ...common, type: 'text', value: item.value });
  }
}

// Many changes go in several saves, each within what the web server takes in one request line.
// A change too long on its own is refused by command() in words.
function batches(settings) {
  const all = [];
  let batch = [];
  for (const setting of settings) {
    if (batch.length && !commandFits({ TYPE: 'saveSettings', settings: [...batch, setting] })) {
      all.push(batch);
      batch = [];
    }
    batch.push(setting);
  }
  if (batch.length) all.push(batch);
  return all;
}

const escapeRegex = (s) => s.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
const valueOf = (input) => (input.type === 'checkbox' ? String(input.checked) : input.value);

export function setupSettings() {
  const form = $('#settings-form');
  const box = $('#settings-categories');
  const result = $('#settings-result');
  let items = [];

  const load = () => attempt(async () => {
    const [categories, itemDoc] = await Promise.all([
      xml({ TYPE: 'getSettingsCategoryXML' }), xml({ TYPE: 'getSettingsItemsXML' })]);
    items = [...itemDoc.querySelectorAll('settingItem')].map((node) => {
      const item = {
        itemName: text(node, 'itemName'), category: text(node, 'category'), type: text(node, 'type'),
        value: text(node, 'value'), min: text(node, 'min'), max: text(node, 'max'),
        precision: text(node, 'precision'),
        choices: text(node, 'valuemap') ? text(node, 'valuemap').split(',') : [],
      };
      item.kind = kindOf(item);
      return item;
    });
    const sections = [...categories.querySelectorAll('settingCategory')].map((node, c) => {
      const path = text(node, 'categoryName');
      const restart = text(node, 'needRestart');
      const fields = items.map((item, i) => ({ item, i })).filter(({ item }) => item.category === path)
        .map(({ item, i }) => {
          const id = `setting-${i}`;
          const editor = editorFor(item, id);
          editor.dataset.item = String(i);
          const bounds = item.kind === 'float' ? ` (${item.min} to ${item.max}, step ${item.precision})` : '';
          return el('div', { class: 'setting' },
            el('label', { for: id, text: item.itemName + bounds }), editor);
        });
      const legend = el('legend', { text: path });
      const restartButton = restart !== '__NOTHING'
        ? el('button', { type: 'button', text: `Restart ${restart || 'component'}`,
          onclick: () => attempt(() => command({ TYPE: 'restartComponent', filepath: path }),
            `Restart of ${restart || path} started`) })
        : '';
      return el('fieldset', { 'data-category': path, id: `category-${c}` }, legend, ...fields, restartButton);
    });
    box.replaceChildren(...sections);
    if (!sections.length) box.append(el('p', { text: 'No configuration file offers settings.' }));
  });

  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    const changed = [...form.querySelectorAll('[data-item]')].filter((e) => valueOf(e) !== e.dataset.original);
    const invalid = changed.find((e) => !e.checkValidity());
    if (invalid) {
      invalid.reportValidity();
      say(`${items[invalid.dataset.item].itemName}: ${invalid.validationMessage}`, 'error', 'saveSettings');
      return;
    }
    if (!changed.length) {
      result.textContent = 'Nothing changed.';
      return;
    }
    const settings = changed.map((e) => {
      const item = items[e.dataset.item];
      return { category: item.category, itemName: item.itemName, value: valueOf(e) };
    });
    result.textContent = 'Saving…';
    let saved = 0;
    try {
      await running(form.querySelector('[type=submit]'), 'Saving…', async () => {
        for (const batch of batches(settings)) {
          await command({ TYPE: 'saveSettings', settings: batch });
          saved += batch.length;
        }
      });
      result.textContent = `Saved ${settings.length} change${settings.length > 1 ? 's' : ''}: ` +
        settings.map((s) => `${s.itemName} = ${s.value}`).join(', ');
      await load();
    } catch (e) {
      const why = e.reply && !e.reply.MSG
        ? 'the robot could not write a configuration file, or the file would not read back with ' +
          'the new values (a value may not end in a blank or hold a line break)'
        : e.message;
      const part = saved && saved < settings.length ? ` (the first ${saved} of ${settings.length} changes were)` : '';
      result.textContent = `Not saved${part}: ${why}.`;
      say(result.textContent, 'error', 'saveSettings');
    }
  });
  $('#settings-reload').addEventListener('click', () => { result.textContent = ''; load(); });
  load();
}
