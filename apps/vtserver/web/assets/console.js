// The web console's script: it reads the JSON API and builds each page.
// Everything a message or the log brings is put in as text (textContent,
// never markup), so a hostile subject stays a subject.
'use strict';

const csrfToken = document.querySelector('meta[name="vt-csrf"]').content;
const REFRESH_MS = 5000;
const LOG_REFRESH_MS = 2000;
// Messages waiting this long for a verdict mean the scanner has stopped.
const SCANNER_STALL_SECONDS = 300;
const ROUTES = [['mail', 'Mail'], ['B', 'Spam B'], ['C', 'Spam C'], ['D', 'Spam D']];
const SVG = 'http://www.w3.org/2000/svg';

function $(id) { return document.getElementById(id); }

// An element with attributes and children; strings become text nodes.
function el(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {})) {
    if (name === 'text') node.textContent = value;
    else if (name === 'className') node.className = value;
    else node.setAttribute(name, value);
  }
  for (const child of children) {
    node.append(typeof child === 'string' ? document.createTextNode(child) : child);
  }
  return node;
}

function svg(tag, attributes) {
  const node = document.createElementNS(SVG, tag);
  for (const [name, value] of Object.entries(attributes || {})) {
    node.setAttribute(name, String(value));
  }
  return node;
}

async function getJson(url) {
  const response = await fetch(url, { credentials: 'same-origin', cache: 'no-store' });
  const body = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(body.error || `HTTP ${response.status}`);
  return body;
}

async function postJson(url, data) {
  const response = await fetch(url, {
    method: 'POST',
    credentials: 'same-origin',
    headers: { 'Content-Type': 'application/json', 'X-VT-CSRF': csrfToken },
    body: JSON.stringify(data),
  });
  const body = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(body.error || `HTTP ${response.status}`);
  return body;
}

function showProblem(error) {
  const box = $('problem');
  if (!error) { box.hidden = true; return; }
  box.textContent = `Cannot read the server: ${error.message}`;
  box.hidden = false;
}

function stampUpdated() {
  $('updated').textContent = new Date().toLocaleTimeString();
  document.body.dataset.refreshes = String(Number(document.body.dataset.refreshes || 0) + 1);
}

// "1 message", "2 messages".
function count(n, noun) { return `${n} ${noun}${n === 1 ? '' : 's'}`; }

function number(value) { return value === null || value === undefined ? '–' : String(value); }

function bytes(value) {
  if (value < 1024) return `${value} B`;
  const units = ['KiB', 'MiB', 'GiB', 'TiB'];
  let scaled = value / 1024;
  let unit = 0;
  while (scaled >= 1024 && unit + 1 < units.length) { scaled /= 1024; unit += 1; }
  return `${scaled.toFixed(1)} ${units[unit]}`;
}

// "45s", "12m 03s", "2h 05m", "3d 04h", as `vtserver stats` prints ages.
function age(seconds) {
  const pad = (n) => String(n).padStart(2, '0');
  if (seconds < 60) return `${seconds}s`;
  if (seconds < 3600) return `${Math.floor(seconds / 60)}m ${pad(seconds % 60)}s`;
  if (seconds < 86400) return `${Math.floor(seconds / 3600)}h ${pad(Math.floor(seconds % 3600 / 60))}m`;
  return `${Math.floor(seconds / 86400)}d ${pad(Math.floor(seconds % 86400 / 3600))}h`;
}

function localTime(iso) {
  const date = new Date(iso);
  return Number.isNaN(date.getTime()) ? iso : date.toLocaleString();
}

// ---- Overview ---------------------------------------------------------------

function alertsOf(stats) {
  const alerts = [];
  if (stats.router.state === 'stopped') alerts.push('The router is not running.');
  if (stats.router.state === 'paused') alerts.push('The router is paused.');
  const waiting = stats.waiting;
  if (waiting && waiting.scanner > 0 &&
      waiting.scannerOldestAgeSeconds >= SCANNER_STALL_SECONDS) {
    alerts.push(`The scanner has stopped: ${count(waiting.scanner, 'message')} ${waiting.scanner === 1 ? 'waits' : 'wait'} for a verdict, ` +
                `the oldest for ${age(waiting.scannerOldestAgeSeconds)}.`);
  }
  if (stats.messagesInTwoPlaces > 0) {
    alerts.push(`${count(stats.messagesInTwoPlaces, 'message')} ${stats.messagesInTwoPlaces === 1 ? 'is' : 'are'} held by more than one database: ` +
                '\'vtserver check --repair\' finishes the moves.');
  }
  if (stats.smtp && !stats.smtp.running) {
    alerts.push('The SMTP service (vtserver smtp) has stopped without ending in order.');
  }
  if (stats.scanner && !stats.scanner.running) {
    alerts.push('The scanner service (vtserver scanner) has stopped without ending in order.');
  }
  if (stats.scanner && stats.scanner.running && stats.scanner.enginesDown.length > 0) {
    alerts.push(`Not answering: ${stats.scanner.enginesDown.join(', ')}. Mail waits for the scanner ` +
                'until the router releases it unscanned (ReleaseMailMinutes).');
  }
  if (stats.configurationError) alerts.push(`Configuration: ${stats.configurationError}`);
  return alerts;
}

function renderOverview(data) {
  const stats = data.stats;
  const state = $('router-state');
  state.textContent = stats.router.state;
  state.className = `big state-${stats.router.state}`;
  $('router-status').textContent = stats.router.status || '';
  const today = stats.router.today || {};
  $('today-mail').textContent = number(today.mail);
  $('today-b').textContent = number(today.spamB);
  $('today-c').textContent = number(today.spamC);
  $('today-d').textContent = number(today.spamD);
  const waiting = stats.waiting || {};
  $('waiting-interception').textContent = number(waiting.interception);
  $('held').textContent = number(waiting.held);
  $('waiting-scanner').textContent = number(waiting.scanner);
  $('scanner-oldest').textContent =
    waiting.scannerOldestAgeSeconds === null || waiting.scannerOldestAgeSeconds === undefined
      ? '–' : age(waiting.scannerOldestAgeSeconds);
  $('two-places').textContent = number(stats.messagesInTwoPlaces);
  const delivery = stats.delivery || {};
  $('delivery-waiting').textContent = number(delivery.waiting);
  $('delivery-deferred').textContent = number(delivery.deferred);
  $('delivery-dead').textContent = number(delivery.dead);
  $('delivery-last').textContent =
    delivery.lastDeferral ? `Last deferral: ${delivery.lastDeferral}` : '';

  const alerts = alertsOf(stats);
  $('alert').textContent = alerts.join(' ');
  $('alert').hidden = alerts.length === 0;

  const quarantines = $('quarantines');
  quarantines.replaceChildren(...stats.quarantines.map((q) => {
    const fill = el('progress', { max: '1', value: String(Math.min(1, q.fillRatio)) });
    let current = q.path === null ? '(none configured)' : q.path;
    if (q.path !== null && !q.exists) current += ' (not made yet)';
    if (q.error) current += ` (${q.error})`;
    return el('tr', { className: q.error ? 'error' : '' },
      el('td', { text: q.perimeter }),
      el('td', { className: 'num', text: String(q.messages) }),
      el('td', { className: 'num', text: String(q.files) }),
      el('td', { className: 'num', text: bytes(q.usedBytes) }),
      el('td', { className: 'num', text: bytes(q.limitBytes) }),
      el('td', {}, fill, ` ${(q.fillRatio * 100).toFixed(1)}%`),
      el('td', { text: current }));
  }));

  const databases = $('databases');
  databases.replaceChildren(...stats.databases.map((d) => el('tr', { className: d.error ? 'error' : '' },
    el('td', { text: d.path }),
    el('td', { className: 'num', text: number(d.documents) }),
    el('td', { className: 'num', text: bytes(d.sizeBytes) }),
    el('td', { text: d.error || '' }))));

  renderFlow(data.flow);
}

// Stacked bars, one a minute: mail, B, C, D from the bottom.
function renderFlow(flow) {
  const width = 960;
  const height = 240;
  const left = 40;
  const bottom = 20;
  const top = 10;
  const minutes = flow.minutes;
  const totals = [];
  for (let i = 0; i < minutes; i += 1) {
    totals.push(ROUTES.reduce((sum, [key]) => sum + flow.series[key][i], 0));
  }
  const peak = Math.max(1, ...totals);
  const plotHeight = height - bottom - top;
  const step = (width - left) / minutes;
  const chart = svg('svg', { viewBox: `0 0 ${width} ${height}`, role: 'img',
    'aria-label': 'Messages per minute by route' });
  chart.append(svg('line', { class: 'axis', x1: left, y1: height - bottom, x2: width, y2: height - bottom }));
  chart.append(svg('line', { class: 'axis', x1: left, y1: top, x2: left, y2: height - bottom }));
  const peakLabel = svg('text', { x: left - 4, y: top + 8, 'text-anchor': 'end' });
  peakLabel.textContent = String(peak);
  chart.append(peakLabel);
  const zero = svg('text', { x: left - 4, y: height - bottom, 'text-anchor': 'end' });
  zero.textContent = '0';
  chart.append(zero);
  const start = new Date(flow.start).getTime();
  for (let i = 0; i < minutes; i += 1) {
    let y = height - bottom;
    for (const [key] of ROUTES) {
      const count = flow.series[key][i];
      if (count === 0) continue;
      const h = (count / peak) * plotHeight;
      y -= h;
      const bar = svg('rect', { class: key, x: left + i * step, y, width: Math.max(step - 0.5, 0.5), height: h });
      const title = svg('title');
      title.textContent = `${new Date(start + i * 60000).toLocaleTimeString()}: ${count} ${key}`;
      bar.append(title);
      chart.append(bar);
    }
    const time = new Date(start + i * 60000);
    if (time.getMinutes() === 0 || (minutes <= 60 && time.getMinutes() % 10 === 0)) {
      const label = svg('text', { x: left + i * step, y: height - 5, 'text-anchor': 'middle' });
      label.textContent = time.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' });
      chart.append(label);
    }
  }
  const legend = el('div', { className: 'legend' }, ...ROUTES.map(([key, name]) => {
    const sum = flow.series[key].reduce((a, b) => a + b, 0);
    return el('span', {}, el('span', { className: `swatch ${key}` }), `${name}: ${sum}`);
  }));
  $('flow-chart').replaceChildren(chart, legend);
  $('flow-note').textContent = flow.logFound
    ? 'From the router\u2019s "Moved … messages" lines in the server log (none are written at ConsoleLogLevel 1).'
    : 'The server log does not exist yet.';
}

function startOverview() {
  let timer = null;
  const refresh = async () => {
    clearTimeout(timer);
    try {
      renderOverview(await getJson(`/api/overview?hours=${$('flow-hours').value}`));
      showProblem(null);
      stampUpdated();
    } catch (error) {
      showProblem(error);
    }
    timer = setTimeout(refresh, REFRESH_MS);
  };
  $('flow-hours').addEventListener('change', refresh);
  refresh();
}

// ---- Log ----------------------------------------------------------------------

function startLog() {
  const list = $('log-lines');
  const filter = $('log-filter');
  let position = null;
  const matches = (text) => text.toLowerCase().includes(filter.value.toLowerCase());
  const showCount = () => {
    const all = list.children.length;
    const shown = Array.from(list.children).filter((li) => !li.hidden).length;
    $('log-count').textContent = filter.value ? `${shown} of ${all} lines` : `${all} lines`;
  };
  const append = (lines) => {
    const follow = $('log-follow').checked;
    for (const line of lines) {
      const item = el('li', { text: line });
      if (/\b(Error|Unable|failed)\b/.test(line)) item.className = 'failure';
      item.hidden = !matches(line);
      list.append(item);
    }
    while (list.children.length > 5000) list.firstElementChild.remove();
    if (follow && lines.length > 0) list.scrollTop = list.scrollHeight;
  };
  const refresh = async () => {
    try {
      const url = position ? `/api/log?file=${encodeURIComponent(position.file)}&offset=${position.offset}` : '/api/log';
      const data = await getJson(url);
      if (data.reset) list.replaceChildren();
      append(data.lines);
      position = data.file === null ? null : { file: data.file, offset: data.offset };
      showCount();
      showProblem(null);
      stampUpdated();
    } catch (error) {
      showProblem(error);
    }
    setTimeout(refresh, LOG_REFRESH_MS);
  };
  filter.addEventListener('input', () => {
    for (const li of list.children) li.hidden = !matches(li.textContent);
    showCount();
  });
  $('log-form').addEventListener('submit', (event) => event.preventDefault());
  refresh();
}

// ---- Quarantine -------------------------------------------------------------------

function startQuarantine() {
  const pageSize = 50;
  let offset = 0;
  let total = 0;

  const selected = () => Array.from(document.querySelectorAll('#messages input.select:checked'))
    .map((box) => box.closest('tr').dataset.unid);
  const updateButtons = () => {
    const none = selected().length === 0;
    $('release').disabled = none;
    $('delete').disabled = none;
  };
  const say = (text, ok) => {
    $('result').textContent = text;
    $('result').className = ok ? 'ok' : 'failed';
  };

  const showMessage = async (unid) => {
    try {
      const message = await getJson(`/api/quarantine/message?id=${encodeURIComponent(unid)}`);
      $('detail-title').textContent = `Message ${message.unid} in ${message.database} (${localTime(message.date)})`;
      $('detail-items').replaceChildren(...message.itemList.map(({ name, value }) => {
        const text = Array.isArray(value) ? value.join('; ') : (value === null ? '' : String(value));
        return el('tr', {}, el('th', { text: name }), el('td', { text }));
      }));
      $('detail').hidden = false;
      $('detail').scrollIntoView();
    } catch (error) {
      say(error.message, false);
    }
  };

  const load = async () => {
    const params = new URLSearchParams({
      perimeter: $('perimeter').value,
      from: $('search-from').value,
      subject: $('search-subject').value,
      offset: String(offset),
      limit: String(pageSize),
    });
    try {
      const page = await getJson(`/api/quarantine?${params}`);
      total = page.total;
      if (page.messages.length === 0 && offset > 0 && total > 0) {
        // The last page emptied (released or deleted): show the one before.
        offset = Math.floor((total - 1) / pageSize) * pageSize;
        await load();
        return;
      }
      const target = $('release-to');
      const names = Array.from(target.options).map((option) => option.value);
      if (names.join('\n') !== page.mailBoxes.join('\n')) {
        target.replaceChildren(...page.mailBoxes.map((name) => el('option', { value: name, text: name })));
      }
      $('messages').replaceChildren(...page.messages.map((m) => {
        const open = el('button', { type: 'button', className: 'link open', text: m.subject || '(no subject)' });
        open.addEventListener('click', () => showMessage(m.unid));
        const box = el('input', { type: 'checkbox', className: 'select', 'aria-label': 'Select' });
        box.addEventListener('change', updateButtons);
        const row = el('tr', {},
          el('td', {}, box),
          el('td', { className: 'date', text: localTime(m.date) }),
          el('td', { className: 'perimeter', text: m.perimeter }),
          el('td', { className: 'from', text: m.from }),
          el('td', { className: 'subject' }, open));
        row.dataset.unid = m.unid;
        return row;
      }));
      if (page.messages.length === 0) {
        $('messages').append(el('tr', {}, el('td', { colspan: '5', text: 'No quarantined messages match.' })));
      }
      $('page-info').textContent = page.messages.length === 0
        ? (total === 0 ? 'No messages' : `None past ${total}`)
        : `${offset + 1}–${offset + page.messages.length} of ${total}`;
      $('prev').disabled = offset === 0;
      $('next').disabled = offset + pageSize >= total;
      $('select-all').checked = false;
      updateButtons();
      showProblem(null);
      stampUpdated();
    } catch (error) {
      showProblem(error);
    }
  };

  const change = async (action, body, verb) => {
    $('release').disabled = true;
    $('delete').disabled = true;
    try {
      const answer = await postJson(`/api/quarantine/${action}`, body);
      const failed = answer.results.filter((r) => !r.ok);
      const done = answer.results.length - failed.length;
      say(`${done} ${verb}.` + failed.map((r) => ` ${r.error}`).join(''), failed.length === 0);
    } catch (error) {
      say(error.message, false);
    }
    $('detail').hidden = true;
    await load();
  };

  $('search-form').addEventListener('submit', (event) => {
    event.preventDefault();
    offset = 0;
    load();
  });
  $('perimeter').addEventListener('change', () => { offset = 0; load(); });
  $('prev').addEventListener('click', () => { offset = Math.max(0, offset - pageSize); load(); });
  $('next').addEventListener('click', () => { offset += pageSize; load(); });
  $('select-all').addEventListener('change', () => {
    for (const box of document.querySelectorAll('#messages input.select')) box.checked = $('select-all').checked;
    updateButtons();
  });
  $('release').addEventListener('click', () => {
    const ids = selected();
    change('release', { ids, to: $('release-to').value }, `released to ${$('release-to').value}`);
  });
  $('delete').addEventListener('click', () => {
    const ids = selected();
    if (!window.confirm(`Delete ${count(ids.length, 'quarantined message')} for good?`)) return;
    change('delete', { ids }, 'deleted');
  });
  load();
}

const pages = { overview: startOverview, log: startLog, quarantine: startQuarantine };
pages[document.body.dataset.page]();
