// Ethernet and WLAN: read from the robot, changed through its reconfiguration scripts.
import { command } from './api.js';
import { $, $$, attempt, confirmAction } from './ui.js';

const CUT_WARNING = 'This change may cut the connection between this page and the robot. ' +
  'You may have to reconnect at the new address. Go ahead?';

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

  const submit = (form, build) => form.addEventListener('submit', async (event) => {
    event.preventDefault();
    if (!form.reportValidity()) return;
    if (!(await confirmAction(CUT_WARNING))) return;
    attempt(() => command(build(form.elements)), (reply) => reply.MSG || 'Change started');
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

function setOption(select, value) {
  if (![...select.options].some((o) => o.value === value)) select.append(new Option(value, value));
  select.value = value;
}
