// The simulator's panel: draws the state that the simulator publishes
// (Server-Sent Events from /api/events) and posts actions to /api/....
'use strict';
const $ = (id) => document.getElementById(id);
let last = null;          // latest state
let receivedAt = 0;       // when it arrived (performance.now())
let artworkKey = null;    // track whose artwork is drawn
let delayEdited = false;  // the delay field holds a value not yet applied

function mmss(ms) {
  const s = Math.max(0, Math.floor(ms / 1000));
  return Math.floor(s / 60) + ':' + String(s % 60).padStart(2, '0');
}

function say(text, bad) {
  $('status').textContent = text;
  $('status').className = bad ? 'err' : '';
}

async function act(group, name, params) {
  const query = new URLSearchParams(params || {}).toString();
  try {
    const res = await fetch('/api/' + group + '/' + name + (query ? '?' + query : ''), {method: 'POST'});
    const body = await res.json();
    say(body.ok ? name + ': done' : name + ': ' + body.error, !body.ok);
  } catch (e) {
    say(name + ': the simulator is not reachable', true);
  }
}

// The artwork as a client gets it: RGB565 little-endian rows.
async function drawArtwork() {
  const res = await fetch('/api/artwork?size=128');
  const w = +res.headers.get('X-Width'), h = +res.headers.get('X-Height');
  const stride = +res.headers.get('X-Rowstride');
  const px = new DataView(await res.arrayBuffer());
  const ctx = $('artwork').getContext('2d');
  const img = ctx.createImageData(w, h);
  for (let y = 0; y < h; y++) {
    for (let x = 0; x < w; x++) {
      const v = px.getUint16(y * stride + 2 * x, true), o = 4 * (y * w + x);
      img.data[o] = ((v >> 11) & 31) * 255 / 31;
      img.data[o + 1] = ((v >> 5) & 63) * 255 / 63;
      img.data[o + 2] = (v & 31) * 255 / 31;
      img.data[o + 3] = 255;
    }
  }
  ctx.putImageData(img, 0, 0);
}

function position() {
  if (!last) return 0;
  const speed = {3: 1, 1: 4, 2: -4}[last.state] || 0;
  const p = last.position_ms + (last.present ? speed * (performance.now() - receivedAt) : 0);
  return Math.min(Math.max(p, 0), last.length_ms);
}

function tick() {
  if (!last) return;
  const p = position();
  $('position').textContent = mmss(p);
  $('fill').style.width = (last.length_ms ? 100 * p / last.length_ms : 0) + '%';
}

function cell(row, text, cls) {
  const td = row.insertCell();
  td.textContent = text;
  if (cls) td.className = cls;
}

function renderClients(clients) {
  const box = $('clients');
  box.replaceChildren();
  if (!clients.length) {
    box.innerHTML = '<p class="small">No client connected.</p>';
    return;
  }
  for (const c of clients) {
    const div = document.createElement('div');
    div.className = 'client';
    div.id = 'client-' + c.id;
    const h = document.createElement('h3');
    h.textContent = 'Client ' + c.id + (c.session ? ' · session open' : '');
    const close = document.createElement('button');
    close.textContent = 'Close';
    close.onclick = () => act('fault', 'close_client', {id: c.id});
    h.appendChild(close);
    div.appendChild(h);
    const table = document.createElement('table');
    const head = table.createTHead().insertRow();
    for (const t of ['id', 'opcode', 'request', 'reply']) head.appendChild(document.createElement('th')).textContent = t;
    const body = table.createTBody();
    for (const e of c.recent.slice().reverse()) {
      const row = body.insertRow();
      cell(row, e.tid);
      cell(row, e.opcode);
      cell(row, e.name);
      cell(row, e.result, !e.answered ? 'lost' : e.result.startsWith('error') ? 'err' : '');
    }
    div.appendChild(table);
    box.appendChild(div);
  }
}

function render(s) {
  last = s;
  receivedAt = performance.now();
  $('present').textContent = s.present ? 'connected' : 'disconnected';
  $('present').className = 'badge ' + (s.present ? 'ok' : 'bad');
  $('title').textContent = s.title;
  $('artist').textContent = s.artist;
  $('album').textContent = s.album;
  $('state').textContent = s.state_name;
  $('track').textContent = (s.track_index + 1) + ' of ' + s.track_count;
  $('length').textContent = mmss(s.length_ms);
  if (document.activeElement !== $('shuffle')) $('shuffle').value = s.shuffle;
  if (document.activeElement !== $('repeat')) $('repeat').value = s.repeat;
  $('ignore_pings').checked = s.faults.ignore_pings;
  // The delay field shows the delay in force, unless the user is typing another.
  if (!delayEdited && document.activeElement !== $('delay-ms')) $('delay-ms').value = s.faults.delay_ms;
  const f = s.faults, active = [];
  if (f.delay_ms) active.push('replies delayed by ' + f.delay_ms + ' ms');
  if (f.drop_next_reply) active.push('the next reply will be left out');
  if (f.error_next) active.push('the next request gets the error "' + f.error_next + '"');
  if (f.ignore_pings) active.push('ping answers get no reply');
  $('active').textContent = active.length ? 'Active: ' + active.join('; ') + '.' : 'No fault active.';
  if (s.track_index !== artworkKey) {
    artworkKey = s.track_index;
    drawArtwork().catch(() => say('the artwork could not be loaded', true));
  }
  renderClients(s.clients);
  tick();
}

document.querySelectorAll('button[data-group]').forEach((b) => {
  b.onclick = () => act(b.dataset.group, b.dataset.name);
});
$('delay-ms').oninput = () => {
  delayEdited = true;
};
$('delay').onclick = () => {
  delayEdited = false;
  act('fault', 'delay', {ms: $('delay-ms').value});
};
$('error_next').onclick = () => act('fault', 'error_next', {text: $('error-text').value});
$('ignore_pings').onchange = (e) => act('fault', 'ignore_pings', {on: e.target.checked ? 1 : 0});
$('shuffle').onchange = (e) => act('device', 'shuffle', {mode: e.target.value});
$('repeat').onchange = (e) => act('device', 'repeat', {mode: e.target.value});
$('bar').onclick = (e) => {
  if (!last) return;
  const r = $('bar').getBoundingClientRect();
  const ms = Math.floor(last.length_ms * (e.clientX - r.left) / r.width);
  act('device', 'seek', {ms: Math.min(Math.max(ms, 0), last.length_ms - 1)});
};

const events = new EventSource('/api/events');
events.onmessage = (e) => render(JSON.parse(e.data));
events.onopen = () => {
  $('link').textContent = 'live';
  $('link').className = 'badge ok';
};
events.onerror = () => {
  $('link').textContent = 'reconnecting…';
  $('link').className = 'badge bad';
};
setInterval(tick, 200);
