// Ethernet and WLAN: read from the robot, changed through its reconfiguration scripts.
import { command } from './api.js';
import { $, $$, attempt, confirmAction, say, sayError } from './ui.js';

// Seconds the robot waits for a page to keep a network change before it undoes it.
const CONFIRM_WITHIN = 60;
const CUT_WARNING = 'This change may cut the connection between this page and the robot. ' +
  'Unless a page still reaches the robot afterwards and keeps it, the robot undoes it by itself ' +
  `${CONFIRM_WITHIN} seconds after applying it. Go ahead?`;
const NO_UNDO_WARNING = 'The robot cannot undo this change by itself (its present network files do ' +
  'not say how to go back). If it cuts the connection, you will need a cable to reach the robot. ' +
  'Apply it anyway?';

export function setupNetwork() {
  const eth = $('#eth-form');
  const wlan = $('#wlan-form');
  const hostapd = $('#hostapd-form');

  const showMode = () => {
    const client = wlan.elements.mode.value === 'client';
    $$('.client-only', wlan).forEach((e) => { e.hidden = !client; });
    $$('.master-only', wlan).forEach((e) => { e.hidden = client; });
  };
  wlan.elements.mode.addEventListener('change', showMode);
  for (const form of [eth, wlan]) {
    const dhcp = form.elements.DHCP;
    const sync = () => { form.elements.IP.disabled = dhcp.checked; form.elements.Netmask.disabled = dhcp.checked; };
    dhcp.addEventListener('change', sync);
    form.syncDhcp = sync;
  }
  for (const button of $$('.reveal')) {
    button.addEventListener('click', () => {
      const input = button.closest('fieldset').querySelector('[name=passphrase]');
      const show = input.type === 'password';
      input.type = show ? 'text' : 'password';
      button.setAttribute('aria-pressed', String(show));
      button.textContent = show ? 'Hide passphrase' : 'Show passphrase';
    });
  }

  const read = () => attempt(async () => {
    const [ethNow, wlanNow, conf] = await Promise.all([
      command({ TYPE: 'GetIFConf', IF: 'eth0' }), command({ TYPE: 'GetIFConf', IF: 'wlan0' }),
      command({ TYPE: 'getWLANConf' })]);
    $('#eth-now').textContent = `${ethNow.address} / ${ethNow.netmask}`;
    $('#wlan-now').textContent = `${wlanNow.address} / ${wlanNow.netmask}`;
    eth.elements.IP.value = ethNow.address === '0.0.0.0' ? '' : ethNow.address;
    eth.elements.Netmask.value = ethNow.netmask === '0.0.0.0' ? '' : ethNow.netmask;
    const w = wlan.elements;
    w.mode.value = conf.mode === 'client' ? 'client' : 'master';
    w.DHCP.checked = conf.isDHCP === 'True';
    w.IP.value = conf.address;
    w.Netmask.value = conf.netmask;
    w.ssid.value = w.mode.value === 'client' ? conf.client_ssid : conf.master_ssid;
    w.passphrase.value = w.mode.value === 'client' ? conf.client_psk : conf.master_passphrase;
    if (conf.client_proto) setOption(w.wpaMode, conf.client_proto);
    if (conf.master_cipher) setOption(w.cipher, conf.master_cipher);
    hostapd.elements.ssid.value = conf.master_ssid;
    hostapd.elements.rsnPairwise.value = conf.master_cipher;
    hostapd.elements.passphrase.value = conf.master_passphrase;
    showMode();
    wlan.syncDhcp();
  });
  $('#network-refresh').addEventListener('click', read);

  const change = watchNetworkChange(read);
  const submit = (form, build) => form.addEventListener('submit', async (event) => {
    event.preventDefault();
    if (!form.reportValidity()) return;
    if (!(await confirmAction(CUT_WARNING))) return;
    const request = build(form.elements);
    try {
      const reply = await command({ ...request, confirmWithin: CONFIRM_WITHIN });
      say(reply.MSG || 'Change started');
      change.own(reply.changeId);
    } catch (e) {
      if (e.reply?.MSG !== 'CANNOT UNDO THIS CHANGE') return sayError(e);
      if (!(await confirmAction(NO_UNDO_WARNING))) return;
      attempt(() => command(request), (reply) => reply.MSG || 'Change started');
    }
  });
  submit(eth, (f) => ({
    TYPE: 'SetEthConf', DHCP: f.DHCP.checked ? 'true' : 'false', IP: f.IP.value, Netmask: f.Netmask.value,
  }));
  submit(wlan, (f) => ({
    TYPE: 'SetWlanConf', mode: f.mode.value, DHCP: f.DHCP.checked ? 'true' : 'false', IP: f.IP.value,
    Netmask: f.Netmask.value, ssid: f.ssid.value, passphrase: f.passphrase.value,
    wpaMode: f.wpaMode.value, cipher: f.cipher.value,
  }));
  submit(hostapd, (f) => ({
    TYPE: 'SetHostapd', ssid: f.ssid.value, rsnPairwise: f.rsnPairwise.value, passphrase: f.passphrase.value,
  }));
  showMode();
  read();
}

// What a waiting change of `command` made of the robot's network, read from the robot now.
async function describeChange(command_) {
  const addresses = async (name, interfaceName) => {
    const now = await command({ TYPE: 'GetIFConf', IF: interfaceName });
    return `${name} (${interfaceName}) was changed: it now has the address ${now.address} / ${now.netmask}.`;
  };
  try {
    if (command_ === 'SetEthConf') return await addresses('Ethernet', 'eth0');
    if (command_ === 'SetWlanConf') return await addresses('WLAN', 'wlan0');
    if (command_ === 'SetHostapd') {
      const conf = await command({ TYPE: 'getWLANConf' });
      return `The access point was changed: its network is now "${conf.master_ssid}".`;
    }
  } catch (e) {
    return `${command_} changed the network settings (they could not be read: ${e.message}).`;
  }
  return `${command_} changed the network settings.`;
}

// Watches the robot's pending network change. The change this page applied is kept by itself as
// soon as the daemon says it waits and this page still reaches it; any other waiting change is
// put to the person, who keeps or undoes it.
function watchNetworkChange(reread) {
  const box = $('#network-change');
  let own = '';
  let shown = '';
  let described = '';
  let timer = 0;
  const hide = () => { box.hidden = true; shown = ''; };
  const answer = (undo) => {
    const changeId = shown;
    hide();
    attempt(() => command({ TYPE: 'confirmNetwork', changeId, ...(undo ? { undo: true } : {}) }),
      undo ? 'The network change is being undone' : 'Network settings kept')
      .then(() => { schedule(500); reread(); });
  };
  $('#network-keep').addEventListener('click', () => answer(false));
  $('#network-undo').addEventListener('click', () => answer(true));

  const check = async () => {
    let now;
    try {
      now = await command({ TYPE: 'getNetworkChange' });
    } catch (e) {
      return own ? 1000 : 5000;  // out of reach for now: the robot undoes the change by itself
    }
    if (now.state === 'waiting' && now.changeId === own) {
      own = '';
      hide();
      await attempt(() => command({ TYPE: 'confirmNetwork', changeId: now.changeId }),
        'Network settings kept');
      reread();
      return 5000;
    }
    if (now.state === 'waiting') {
      shown = now.changeId;
      $('#network-change-text').textContent =
        `Keep these network settings? Undone in ${now.secondsLeft} s`;
      if (described !== now.changeId) {
        described = now.changeId;
        $('#network-change-what').textContent = await describeChange(now.command);
      }
      box.hidden = false;
    } else {
      hide();
      if (own && now.changeId === own && !now.pending) {
        own = '';
        if (now.state === 'rolled back') say('The network change was undone', 'error');
        reread();
      }
    }
    return now.pending || own ? 1000 : 5000;
  };
  const schedule = (ms) => {
    clearTimeout(timer);
    timer = setTimeout(async () => schedule(await check()), ms);
  };
  schedule(0);
  return { own: (changeId) => { own = changeId || ''; schedule(300); } };
}

function setOption(select, value) {
  if (![...select.options].some((o) => o.value === value)) select.append(new Option(value, value));
  select.value = value;
}
