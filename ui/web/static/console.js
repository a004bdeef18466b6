// The Velkan console in the browser. It renders what the server sends (list rows, the sheet's
// page state, message boxes) and reports what the operator does; the logic stays on the server.
'use strict';

let csrf = '';
let queue = Promise.resolve();  // state-changing calls run one after another, in order

async function call(method, path, body) {
  const headers = {'Content-Type': 'application/json'};
  if (method !== 'GET') headers['X-CSRF-Token'] = csrf;
  const res = await fetch(path, {method, headers, credentials: 'same-origin',
                                 body: body === undefined ? undefined : JSON.stringify(body)});
  if (res.status === 401) { location.reload(); throw new Error('login required'); }
  const data = await res.json().catch(() => ({}));
  if (!res.ok) throw Object.assign(new Error(data.error || res.statusText), {status: res.status, data});
  return data;
}
function post(path, body) {
  const next = queue.then(() => call('POST', path, body || {}));
  queue = next.catch(() => {});
  return next;
}
function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === 'class') e.className = v; else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
    else e.setAttribute(k, v);
  }
  for (const c of children) e.append(c);
  return e;
}

// ---- message boxes: shown one after another ----
const messageQueue = [];
let messageShowing = false;
function showMessages(list) {
  messageQueue.push(...(list || []));
  if (!messageShowing) nextMessage();
}
function nextMessage() {
  const m = messageQueue.shift();
  const dlg = document.getElementById('message');
  if (!m) { messageShowing = false; return; }
  messageShowing = true;
  document.getElementById('message-caption').textContent = m.caption;
  document.getElementById('message-text').textContent = m.text;
  dlg.showModal();
}
document.getElementById('message').addEventListener('close', nextMessage);

// ---- views ----
let currentView = 'overview';
function showView(name) {
  currentView = name;
  for (const b of document.querySelectorAll('header nav button'))
    b.classList.toggle('active', b.dataset.view === name);
  for (const s of document.querySelectorAll('.view')) s.classList.toggle('hidden', s.id !== name);
  if (name === 'sheet') openSheet();
  if (lists[name]) lists[name].refresh();
}
for (const b of document.querySelectorAll('header nav button'))
  b.addEventListener('click', () => showView(b.dataset.view));
document.getElementById('logout').addEventListener('click', async () => {
  await post('/api/logout'); location.reload();
});

// ---- virtual lists: only the visible rows are fetched ----
const ROW = 26;
class VirtualList {
  constructor(box) {
    this.box = box;
    this.name = box.dataset.list;
    this.selected = -1;
    this.identity = '';
    this.head = el('div', {class: 'head'});
    this.spacer = el('div', {class: 'spacer'});
    this.body = el('div');
    box.append(this.head, this.spacer, this.body);
    box.addEventListener('scroll', () => this.refresh());
    box.addEventListener('contextmenu', (e) => this.menu(e));
  }
  async refresh() {
    if (this.box.offsetParent === null) return;
    const top = Math.floor(this.box.scrollTop / ROW);
    const count = Math.ceil(this.box.clientHeight / ROW) + 1;
    const data = await call('GET', `/api/${this.name}?top=${top}&count=${count}`);
    this.render(data);
  }
  render(data) {
    if (this.head.childElementCount !== data.columns.length) {
      this.head.replaceChildren(...data.columns.map(c => el('div', {class: 'cell', style: `width:${c.width}px`}, c.title)));
    }
    this.widths = data.columns.map(c => c.width);
    this.spacer.style.height = `${data.count * ROW}px`;
    if (this.selected >= data.count) { this.selected = -1; this.identity = ''; }
    const headHeight = this.head.offsetHeight;
    this.body.replaceChildren(...data.rows.map(r => {
      const row = el('div', {class: 'row' + (r.index === this.selected ? ' selected' : ''),
                             style: `top:${headHeight + r.index * ROW}px`, 'data-index': r.index},
                     ...r.cells.map((t, c) => el('div', {class: 'cell', style: `width:${this.widths[c]}px`}, t)));
      row.addEventListener('mousedown', () => this.select(r.index, r.cells[0]));
      return row;
    }));
  }
  select(index, identity) {
    this.selected = index;
    this.identity = identity;
    for (const r of this.body.children) r.classList.toggle('selected', Number(r.dataset.index) === index);
  }
  async menu(e) {
    e.preventDefault();
    const rowEl = e.target.closest('.row');
    if (!rowEl) this.select(-1, '');
    const {items} = await post(`/api/${this.name}/menu`, {row: this.selected});
    const menu = document.getElementById('context-menu');
    if (!items.length) return;
    const row = this.selected, identity = this.identity;
    menu.replaceChildren(...items.map(it => {
      if (it.separator) return el('li', {class: 'separator'});
      const li = el('li', {class: it.enabled ? 'enabled' : 'disabled', role: 'menuitem',
                           'aria-disabled': String(!it.enabled)}, it.text);
      if (it.enabled) li.addEventListener('click', async () => {
        hideMenu();
        try { await post(`/api/${this.name}/command`, {row, identity, command: it.id}); }
        catch (err) { showMessages([{caption: '通道', text: err.message}]); }
        this.refresh();
      });
      return li;
    }));
    menu.style.left = `${e.clientX}px`;
    menu.style.top = `${e.clientY}px`;
    menu.classList.remove('hidden');
  }
}
function hideMenu() { document.getElementById('context-menu').classList.add('hidden'); }
document.addEventListener('click', (e) => { if (!e.target.closest('#context-menu')) hideMenu(); });
const lists = {};
for (const box of document.querySelectorAll('.vlist')) lists[box.dataset.list] = new VirtualList(box);

// ---- the configuration sheet ----
let sheet = null;
let shownDialog = 0;
async function openSheet() { applySheet(await post('/api/sheet/open', {page: 0})); }
function applySheet(answer) {
  sheet = answer.sheet;
  showMessages(sheet.messages);
  renderSheet();
  return answer;
}
// Typing is reported after a short pause, and at once before any other action, so the server
// sees the operator's actions in the order they happened.
let pendingInput = null;
let pendingTimer = 0;
function flushInput() {
  clearTimeout(pendingTimer);
  if (!pendingInput) return;
  const {id, input} = pendingInput;
  pendingInput = null;
  sheetEvent({id, event: 'change', value: input.value});
}
function sheetEvent(ev) {
  if (pendingInput && pendingInput.id !== ev.id) flushInput();
  return post('/api/sheet/event', ev).then(applySheet).catch(err =>
    document.getElementById('sheet-status').textContent = err.message);
}
function renderSheet() {
  document.getElementById('sheet-caption').textContent = sheet.caption;
  const tabs = document.getElementById('sheet-tabs');
  tabs.replaceChildren(...sheet.tabs.map((t, i) => el('button', {
    class: i === sheet.active ? 'active' : '', role: 'tab', 'aria-selected': String(i === sheet.active),
    onclick: () => { flushInput(); post('/api/sheet/page', {index: i}).then(applySheet); }}, t)));
  document.getElementById('sheet-apply').disabled = !sheet.modified;
  const page = document.getElementById('sheet-page');
  if (shownDialog !== sheet.page.dialog || !page.childElementCount) {
    shownDialog = sheet.page.dialog;
    page.replaceChildren(...buildPage(sheet.page.controls));
  }
  updatePage(sheet.page.controls);
}
function buildPage(controls) {
  const out = [];
  let box = null;  // the group box the controls go into
  const add = (node) => (box || {append: (n) => out.push(n)}).append(node);
  for (const c of controls) {
    const id = `ctl-${c.id}`;
    if (c.kind === 'group') { box = el('fieldset', {}, el('legend', {}, c.label)); out.push(box); continue; }
    if (c.kind === 'static') { add(el('div', {class: 'ctl explain'}, c.label)); continue; }
    if (c.kind === 'edit' || c.kind === 'number' || c.kind === 'password') {
      const input = el('input', {id, type: c.kind === 'password' ? 'password' : 'text', 'data-id': c.id,
                                 'aria-label': c.label || `IP ${c.id}`});
      input.addEventListener('input', () => {
        document.getElementById('sheet-apply').disabled = false;
        if (pendingInput && pendingInput.id !== c.id) flushInput();
        pendingInput = {id: c.id, input};
        clearTimeout(pendingTimer);
        pendingTimer = setTimeout(flushInput, 400);
      });
      input.addEventListener('change', flushInput);
      const row = c.kind === 'number' && c.label && !c.label.endsWith('：')
          ? el('div', {class: 'ctl'}, input, el('label', {for: id}, c.label))
          : el('div', {class: 'ctl'}, el('label', {for: id}, c.label), input);
      add(row);
    } else if (c.kind === 'check' || c.kind === 'radio') {
      const input = el('input', {id, type: c.kind === 'check' ? 'checkbox' : 'radio', 'data-id': c.id});
      if (c.group) input.name = c.group;
      input.addEventListener('click', (e) => {
        e.preventDefault();  // the server decides the new state
        sheetEvent({id: c.id, event: 'click'});
      });
      add(el('div', {class: 'ctl'}, input, el('label', {for: id}, c.label)));
    } else if (c.kind === 'combo') {
      const select = el('select', {id, 'data-id': c.id}, ...c.items.map((t, i) => el('option', {value: i}, t)));
      select.addEventListener('change', () => sheetEvent({id: c.id, event: 'select', selected: Number(select.value)}));
      add(el('div', {class: 'ctl'}, el('label', {for: id}, c.label), select));
    } else if (c.kind === 'list') {
      box = null;
      add(el('div', {class: 'ctl'}, el('div', {},
          el('div', {class: 'iphead'}, c.column ? c.column.title : c.label),
          el('div', {id, class: 'iplist', 'data-id': c.id, role: 'listbox'}))));
    } else if (c.kind === 'button') {
      add(el('button', {id, 'data-id': c.id, onclick: () => sheetEvent({id: c.id, event: 'click'})}, c.label));
    }
  }
  return out;
}
function updatePage(controls) {
  for (const c of controls) {
    if (!c.id) continue;
    const node = document.getElementById(`ctl-${c.id}`);
    if (!node) continue;
    node.disabled = !c.enabled;
    if ('value' in c && document.activeElement !== node) node.value = c.value;
    if ('checked' in c) node.checked = c.checked;
    if (c.kind === 'combo') node.value = String(c.selected);
    if (c.kind === 'list') {
      node.classList.toggle('disabled', !c.enabled);
      node.replaceChildren(...c.rows.map((r, i) => {
        const item = el('div', {class: r.selected ? 'selected' : '', role: 'option'}, r.text);
        item.addEventListener('click', (e) => {
          if (!c.enabled) return;
          const now = c.rows.map((x, j) => j === i ? !x.selected : (e.ctrlKey ? x.selected : false));
          sheetEvent({id: c.id, event: 'select', selected: now.flatMap((s, j) => s ? [j] : [])});
        });
        return item;
      }));
    }
  }
}
async function applyClicked(close) {
  const status = document.getElementById('sheet-status');
  status.textContent = '';
  flushInput();
  const answer = await post('/api/sheet/apply').then(applySheet);
  if (!answer.applied) return;
  status.textContent = answer.saved ? '设置已应用并保存' : '设置已应用，但未能保存：' + answer.saveError;
  const r = answer.restart;
  document.getElementById('restart').classList.toggle('hidden', !r.listener && !r.backend);
  document.getElementById('restart-listener').classList.toggle('hidden', !r.listener);
  document.getElementById('restart-backend').classList.toggle('hidden', !r.backend);
  if (close && !r.listener && !r.backend) openSheet();
}
document.getElementById('sheet-apply').addEventListener('click', () => applyClicked(false));
document.getElementById('sheet-ok').addEventListener('click', () => applyClicked(true));
document.getElementById('sheet-cancel').addEventListener('click', () => {
  pendingInput = null;
  clearTimeout(pendingTimer);
  document.getElementById('sheet-status').textContent = '';
  document.getElementById('restart').classList.add('hidden');
  openSheet();
});
for (const what of ['listener', 'backend']) {
  document.getElementById(`restart-${what}`).addEventListener('click', async () => {
    const result = document.getElementById('restart-result');
    try {
      const r = await post('/api/restart', {what});
      result.textContent = what === 'listener' ? `已在端口 ${r.port} 上重新监听` : '已重新连接数据库';
      document.getElementById(`restart-${what}`).classList.add('hidden');
    } catch (err) {
      result.textContent = '失败：' + ((err.data && err.data.error) || err.message);
    }
  });
}

// ---- overview: live charts from the same counters as /metrics ----
const SERVICES = ['init', 'search', 'present', 'es', 'close'];
const COLOURS = {init: '#1f77b4', search: '#d62728', present: '#2ca02c', es: '#9467bd', close: '#8c564b'};
const HISTORY = 600;  // ten minutes, one point a second
const series = {rps: Object.fromEntries(SERVICES.map(s => [s, []])), latency: Object.fromEntries(SERVICES.map(s => [s, []]))};
let previous = null;
// The canvas is drawn at the size it is shown (a phone's width, the screen's pixel ratio), so
// that the axis labels keep their size instead of shrinking with a scaled-down picture.
function fitCanvas(canvas) {
  const ratio = window.devicePixelRatio || 1;
  const w = canvas.clientWidth || 900, h = canvas.clientHeight || 200;
  if (canvas.width !== Math.round(w * ratio) || canvas.height !== Math.round(h * ratio)) {
    canvas.width = Math.round(w * ratio);
    canvas.height = Math.round(h * ratio);
  }
  const ctx = canvas.getContext('2d');
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  return {ctx, w, h};
}
function drawChart(canvas, data, unit) {
  const {ctx, w, h} = fitCanvas(canvas);
  const pad = 36;
  ctx.clearRect(0, 0, w, h);
  let max = 1;
  for (const s of SERVICES) for (const v of data[s]) max = Math.max(max, v);
  ctx.strokeStyle = '#ddd'; ctx.fillStyle = '#555'; ctx.font = '11px sans-serif';
  for (let i = 0; i <= 4; i++) {
    const y = h - pad / 2 - (h - pad) * i / 4;
    ctx.beginPath(); ctx.moveTo(pad, y); ctx.lineTo(w, y); ctx.stroke();
    ctx.fillText((max * i / 4).toFixed(max < 4 ? 2 : 0), 2, y + 4);
  }
  for (const s of SERVICES) {
    ctx.strokeStyle = COLOURS[s]; ctx.lineWidth = 1.5; ctx.beginPath();
    data[s].forEach((v, i) => {
      const x = pad + (w - pad) * (i + HISTORY - data[s].length) / (HISTORY - 1);
      const y = h - pad / 2 - (h - pad) * v / max;
      i ? ctx.lineTo(x, y) : ctx.moveTo(x, y);
    });
    ctx.stroke();
  }
  ctx.fillStyle = '#333'; ctx.fillText(unit, w - 60, 12);
}
// One point of both charts from two readings of the counters `dt` seconds apart; the total rate.
function addPoint(before, after, dt) {
  let total = 0;
  for (const s of SERVICES) {
    const dc = after[s].count - before[s].count;
    const ds = after[s].seconds - before[s].seconds;
    total += dc / dt;
    series.rps[s].push(dc / dt);
    series.latency[s].push(dc > 0 ? 1000 * ds / dc : 0);
    for (const k of ['rps', 'latency']) if (series[k][s].length > HISTORY) series[k][s].shift();
  }
  return total;
}
// The server keeps the last ten minutes of the counters: the charts start with them.
async function loadHistory() {
  const samples = await call('GET', '/api/metrics/history');
  for (let i = 1; i < samples.length; i++) {
    const dt = samples[i].t - samples[i - 1].t;
    if (dt > 0) addPoint(samples[i - 1].services, samples[i].services, dt);
  }
}
async function sampleMetrics() {
  const m = await call('GET', '/api/metrics');
  const now = performance.now();
  if (previous) {
    const total = addPoint(previous.m.services, m.services, (now - previous.at) / 1000);
    document.getElementById('fig-rps').textContent = total.toFixed(1);
  }
  previous = {at: now, m};
  document.getElementById('fig-sessions').textContent = m.sessions;
  document.getElementById('fig-hits').textContent = m.hits;
  document.getElementById('fig-refused').textContent = m.refused.ipfilter + m.refused.forbidden + (m.refused.service || 0);
  if (currentView === 'overview') {
    drawChart(document.getElementById('chart-rps'), series.rps, '次/秒');
    drawChart(document.getElementById('chart-latency'), series.latency, '毫秒');
  }
}
document.getElementById('legend').append(...SERVICES.map(s =>
  el('span', {}, el('i', {style: `background:${COLOURS[s]}`}), s)));

// ---- start ----
(async () => {
  // State-changing calls queue behind the session's token: a click right after the page
  // appears must not reach the server without it (and fail unseen).
  const session = call('GET', '/api/session').then((s) => { csrf = s.csrf; });
  queue = session.catch(() => {});
  await session;
  setInterval(() => { if (lists[currentView]) lists[currentView].refresh().catch(() => {}); }, 1000);
  await loadHistory().catch(() => {});
  setInterval(() => sampleMetrics().catch(() => {}), 1000);
  sampleMetrics().catch(() => {});
})();
