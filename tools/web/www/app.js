// boardhub in the browser: sign-in, folders and files, people and messages, the camera.
// Plain script, no build step; every call goes to the gateway's /api, which speaks to the
// board's server for this browser.
'use strict';

const $ = (id) => document.getElementById(id);
const state = { csrf: '', user: '', features: [], path: '/', writable: false, events: null, live: false,
  listing: null, up: null, sort: savedSort() };

// The order of the listing: a column and a direction, kept across folders (and visits).
function savedSort() {
  try {
    const s = JSON.parse(localStorage.getItem('bh-sort'));
    if (s && ['name', 'size', 'date'].includes(s.key) && (s.dir === 1 || s.dir === -1)) return s;
  } catch (e) { /* none kept */ }
  return { key: 'name', dir: 1 };
}

// "1 file", "2 files".
function count(n, word) {
  return n + ' ' + word + (n === 1 ? '' : 's');
}

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === 'class') e.className = v;
    else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
    else if (v !== false && v !== undefined && v !== null) e.setAttribute(k, v === true ? '' : v);
  }
  for (const c of children) if (c !== null && c !== undefined) e.append(c);
  return e;
}

// A name as the page shows it: characters that reorder or hide text (C0 and C1 controls, the
// bidirectional controls, U+200B, U+FEFF, U+2028, U+2029) are written as \u escapes, and a name
// of nothing but blanks or invisible characters is escaped whole, so no name reads as another.
const MISLEADING = /[\u0000-\u001f\u007f-\u009f\u061c\u200b\u200e\u200f\u202a-\u202e\u2028\u2029\u2066-\u2069\ufeff]/g;
const BLANK_ONLY = /^[\s\u00ad\u034f\u115f\u1160\u180e\u2000-\u200f\u2060-\u2064\u2800\u3164\ufe00-\ufe0f\ufeff\uffa0]*$/u;
const uEscape = (c) => '\\u' + c.codePointAt(0).toString(16).toUpperCase().padStart(4, '0');
function shownName(name) {
  if (name && BLANK_ONLY.test(name)) return [...name].map(uEscape).join('');
  return String(name).replace(MISLEADING, uEscape);
}

function show(node, text, ok) {
  node.textContent = text || '';
  node.hidden = !text;
  node.classList.toggle('ok', !!ok);
}

async function api(method, url, body) {
  const opts = { method, headers: {}, credentials: 'same-origin' };
  if (method !== 'GET') {
    opts.headers['Content-Type'] = 'application/json';
    opts.headers['X-CSRF-Token'] = state.csrf;
    opts.body = JSON.stringify(body || {});
  }
  let res;
  try {
    res = await fetch(url, opts);
  } catch (e) {
    return { status: 0, data: { error: 'The board cannot be reached.' } };
  }
  let data = {};
  try { data = await res.json(); } catch (e) { /* not JSON */ }
  if (res.status === 401 && url !== '/api/login') signedOut(data.reason);
  return { status: res.status, data };
}

function formatSize(n) {
  if (n < 1024) return n + ' B';
  const units = ['KiB', 'MiB', 'GiB', 'TiB'];
  let v = n / 1024, i = 0;
  while (v >= 1024 && i < units.length - 1) { v /= 1024; i++; }
  return v.toFixed(v < 10 ? 1 : 0) + ' ' + units[i];
}

const two = (n) => String(n).padStart(2, '0');

// A time as the page shows dates: local, 24-hour, "2026-12-08 21:55"; empty when unknown.
function formatDate(seconds) {
  if (typeof seconds !== 'number') return '';
  const d = new Date(seconds * 1000);
  if (isNaN(d.getTime())) return '';
  return String(d.getFullYear()).padStart(4, '0') + '-' + two(d.getMonth() + 1) + '-' + two(d.getDate()) +
    ' ' + two(d.getHours()) + ':' + two(d.getMinutes());
}

function encodePath(p) {
  return p.split('/').map(encodeURIComponent).join('/');
}

// Sign-in and sign-out

const REASONS = {
  replaced: 'You were signed out: your account signed in somewhere else.',
  expired: 'You were signed out after a while without activity.',
  closed: 'The connection to the board ended. Please sign in again.',
};

function signedOut(reason) {
  if (state.events) { state.events.close(); state.events = null; }
  stopLive();
  state.csrf = '';
  $('app').hidden = true;
  $('signin').hidden = false;
  show($('signin-note'), REASONS[reason] || '');
  $('password').value = '';
  $('user').focus();
}

function signedIn(info) {
  state.csrf = info.csrf;
  state.user = info.user;
  state.features = info.features || [];
  document.querySelectorAll('.title').forEach((t) => { t.textContent = info.title || 'boardhub'; });
  document.title = info.title || 'boardhub';
  $('me').textContent = info.user;
  $('pw-user').value = info.user;
  setNotice(info.notice);
  $('signin').hidden = true;
  $('app').hidden = false;
  $('messages').replaceChildren();
  $('no-messages').hidden = false;
  route();
  showRecent();
}

// The messages of this session that came before the page was loaded (again), then the live
// stream from the last of them on.
async function showRecent() {
  const r = await api('GET', '/api/recent');
  let after = '';
  if (r.status === 200) {
    for (const item of r.data.items) {
      const d = item.data || {};
      if (item.kind === 'message') addMessage(d.from, d.text, false, d.time);
      else if (item.kind === 'sent') addMessage('To ' + d.to, d.text, false, d.time);
      else if (item.kind === 'notice' && d.text) addMessage('Notice', d.text, true, d.time);
    }
    after = String(r.data.seq);
  }
  if (!$('app').hidden) openEvents(after);
}

$('signin-form').addEventListener('submit', async (ev) => {
  ev.preventDefault();
  const button = $('signin-button');
  button.disabled = true;
  show($('signin-note'), '');
  const r = await api('POST', '/api/login', { user: $('user').value, password: $('password').value });
  button.disabled = false;
  $('password').value = '';
  if (r.status === 200) signedIn(r.data);
  else { show($('signin-note'), r.data.error || 'Sign-in failed.'); $('password').focus(); }
});

$('signout').addEventListener('click', async () => {
  await api('POST', '/api/logout');
  signedOut('');
});

// Live events: messages, notices, the end of the session

function openEvents(after) {
  if (state.events) state.events.close();
  const es = new EventSource('/api/events' + (after ? '?after=' + encodeURIComponent(after) : ''));
  state.events = es;
  es.addEventListener('message', (e) => {
    const m = JSON.parse(e.data);
    addMessage(m.from, m.text, false, m.time);
    toast(m.from + ': ' + m.text);
  });
  es.addEventListener('notice', (e) => {
    const m = JSON.parse(e.data);
    setNotice(m.text);
    if (m.text) addMessage('Notice', m.text, true, m.time);
  });
  es.addEventListener('ended', (e) => {
    es.close();
    state.events = null;
    signedOut(JSON.parse(e.data).reason);
  });
  es.onerror = async () => {
    // A stream that cannot be reopened: ask whether the session still lives.
    if (es.readyState === EventSource.CLOSED) await api('GET', '/api/session');
  };
}

function setNotice(text) {
  show($('notice'), text || '');
}

// One clock for the whole page, as the shell's: 24-hour "HH:MM".
function clock(date) {
  return two(date.getHours()) + ':' + two(date.getMinutes());
}

function addMessage(from, text, notice, seconds) {
  const time = clock(seconds ? new Date(seconds * 1000) : new Date());
  const item = el('li', { class: notice ? 'notice-item' : '' },
    el('span', { class: 'time' }, time), el('span', { class: 'from' }, from), text);
  $('messages').append(item);
  $('no-messages').hidden = true;
  item.scrollIntoView({ block: 'nearest' });
}

let toastTimer = 0;
function toast(text) {
  const t = $('toast');
  t.textContent = text;
  t.hidden = false;
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => { t.hidden = true; }, 6000);
}

// Views, chosen by the address's fragment: #/files/<path>, #/people, #/camera

function route() {
  if ($('app').hidden) return;
  const hash = decodeURIComponent(location.hash.slice(1) || '/files/');
  let view = 'files';
  if (hash.startsWith('/people')) view = 'people';
  else if (hash.startsWith('/camera')) view = 'camera';
  for (const v of ['files', 'people', 'camera']) $('view-' + v).hidden = v !== view;
  document.querySelectorAll('header nav a').forEach((a) => {
    if (a.dataset.view === view) a.setAttribute('aria-current', 'page');
    else a.removeAttribute('aria-current');
  });
  if (view !== 'camera') stopLive();
  if (view === 'files') browse(hash.slice('/files'.length) || '/');
  if (view === 'people') refreshWho();
  if (view === 'camera') cameraState();
}
window.addEventListener('hashchange', route);

// Files

// Shows the folder at path. note ({ text, ok }) is the outcome of the action that led here,
// shown instead of the folder's own remarks so that it is not lost.
async function browse(path, note) {
  if (!path.startsWith('/')) path = '/' + path;
  if (path.length > 1 && path.endsWith('/')) path = path.slice(0, -1);
  // The filter is for one folder: another folder starts without it.
  if (path !== state.path) $('filter').value = '';
  state.path = path;
  const all = $('show-dot').checked ? '&all=1' : '';
  const r = await api('GET', '/api/list?path=' + encodeURIComponent(path) + all);
  if (state.path !== path) return;  // another folder was asked for meanwhile
  crumbs(path);
  const base = path === '/' ? '' : path;
  state.up = null;
  if (path !== '/') {
    const up = base.slice(0, base.lastIndexOf('/')) || '/';
    state.up = el('tr', {}, el('td', { colspan: 4 },
      el('a', { class: 'name', href: '#/files' + encodePath(up === '/' ? '/' : up) },
        el('span', { class: 'kind up', 'aria-hidden': 'true' }), 'Up one folder')));
  }
  state.writable = r.status === 200 && canWrite() && r.data.writable !== false;
  state.listing = r.status === 200 ? r.data : null;
  fileTools();
  $('zip').hidden = r.status !== 200;
  $('zip').href = '/api/zip?path=' + encodeURIComponent(path);
  if (r.status !== 200) {
    $('listing').querySelector('tbody').replaceChildren(...(state.up ? [state.up] : []));
    const why = sentence(r.data.error || 'the folder cannot be shown');
    show($('files-note'), note ? note.text + ' ' + why : why, false);
    return;
  }
  // A listing cut by the board is never shown as the whole folder.
  let cut = r.data.complete === false || r.data.incomplete ? 'This listing is incomplete: the board sent the ' +
    r.data.entries.length + ' entries that fit in one reply, and others may be missing.' : '';
  if (!cut && r.data.changed) cut = 'The folder changed while it was listed: some entries may be missing or out of date.';
  if (note) show($('files-note'), cut ? note.text + ' ' + cut : note.text, note.ok && !cut);
  else if (cut) show($('files-note'), cut, false);
  else if (!r.data.entries.length) show($('files-note'), 'This folder is empty.', true);
  else show($('files-note'), '');
  renderRows();
}

const collator = new Intl.Collator(undefined, { numeric: true, sensitivity: 'base' });
const folded = (text) => String(text).normalize('NFC').toLocaleLowerCase();

// Folders first, then the chosen column in the chosen direction; names settle ties.
function compareEntries(a, b) {
  if (a.dir !== b.dir) return a.dir ? -1 : 1;
  let c = 0;
  if (state.sort.key === 'size') c = a.dir ? (a.folders + a.files) - (b.folders + b.files) : a.size - b.size;
  else if (state.sort.key === 'date') c = (a.mtime ?? -Infinity) - (b.mtime ?? -Infinity) || 0;
  if (!c) c = collator.compare(a.name, b.name) || (a.name < b.name ? -1 : a.name > b.name ? 1 : 0);
  return c * state.sort.dir;
}

// The rows of the current listing: sorted, and narrowed by the filter box.
function renderRows() {
  const body = $('listing').querySelector('tbody');
  const arrow = state.sort.dir > 0 ? ' \u25b2' : ' \u25bc';
  for (const th of $('listing').querySelectorAll('th[data-sort]')) {
    const on = th.dataset.sort === state.sort.key;
    th.setAttribute('aria-sort', on ? (state.sort.dir > 0 ? 'ascending' : 'descending') : 'none');
    for (const b of th.querySelectorAll('button'))
      b.querySelector('.arrow').textContent = (b.dataset.key || th.dataset.sort) === state.sort.key ? arrow : '';
  }
  const rows = state.up ? [state.up] : [];
  if (!state.listing) return body.replaceChildren(...rows);
  const base = state.path === '/' ? '' : state.path;
  const want = folded($('filter').value.trim());
  const shown = state.listing.entries.filter((e) => !want || folded(e.name).includes(want)).sort(compareEntries);
  for (const e of shown) rows.push(entryRow(base, e));
  if (want && !shown.length)
    rows.push(el('tr', { class: 'no-match' }, el('td', { colspan: 4 }, 'No entry matches \u201c' + $('filter').value.trim() + '\u201d.')));
  body.replaceChildren(...rows);
}

$('filter').addEventListener('input', renderRows);
// A phone has no date column: its Date button sits beside Size.
for (const button of document.querySelectorAll('#listing th[data-sort] button')) {
  button.addEventListener('click', () => {
    const key = button.dataset.key || button.closest('th').dataset.sort;
    // A new column starts with names A to Z, sizes and dates largest and newest first.
    state.sort = state.sort.key === key ? { key, dir: -state.sort.dir } : { key, dir: key === 'name' ? 1 : -1 };
    try { localStorage.setItem('bh-sort', JSON.stringify(state.sort)); } catch (e) { /* not kept */ }
    renderRows();
  });
}

// A name with places to break a line after "_", "-" and "." (for names without blanks).
function breakable(name) {
  const out = [];
  for (const part of shownName(name).split(/(?<=[_.\-])/)) out.push(part, el('wbr'));
  out.pop();
  return el('span', {}, ...out);
}

// The icon of an entry: the server's preview picture when it has one (a folder's .folder.png,
// a file's snapshot in .folder/snap), loaded when it comes into view; the plain icon when
// there is none or it does not load.
function kindIcon(kind, preview) {
  const plain = () => el('span', { class: 'kind ' + kind, 'aria-hidden': 'true' });
  if (!preview) return plain();
  const img = el('img', { class: 'kind thumb', src: preview, alt: '', loading: 'lazy', width: 32, height: 32 });
  img.addEventListener('error', () => img.replaceWith(plain()), { once: true });
  return img;
}

function entryRow(base, e) {
  const full = base + '/' + e.name;
  const date = el('td', { class: 'date' }, formatDate(e.mtime));
  // On a phone the date goes under the size (the style sheet shows one or the other).
  const under = () => {
    const [day, time] = formatDate(e.mtime).split(' ');
    return el('span', { class: 'date-under' }, ...(day ? [el('span', {}, day), ' ', el('span', {}, time)] : []));
  };
  if (e.dir && e.closed) {
    return el('tr', { class: 'closed' },
      el('td', {}, el('span', { class: 'kind lock', 'aria-hidden': 'true' }), breakable(e.name),
        el('span', { class: 'sr' }, ' (closed folder)')),
      el('td', { class: 'num' }, 'closed', under()), date, el('td', { class: 'act' }));
  }
  if (e.dir) {
    const icon = kindIcon('folder', e.preview && '/files' + encodePath(full + '/.folder.png'));
    return el('tr', {},
      el('td', {}, el('a', { class: 'name', href: '#/files' + encodePath(full) }, icon, breakable(e.name))),
      el('td', { class: 'num' }, count(e.folders, 'folder') + ', ' + count(e.files, 'file'), under()), date,
      el('td', { class: 'act' }, ...rowActions(e)));
  }
  const url = '/files' + encodePath(full);
  const icon = kindIcon('file', e.preview && '/files' + encodePath(base + '/.folder/snap/' + e.name + '.png'));
  return el('tr', {},
    el('td', {}, el('a', { class: 'name', href: url, download: shownName(e.name) }, icon, breakable(e.name))),
    el('td', { class: 'num' }, formatSize(e.size), under()), date,
    el('td', { class: 'act' }, el('a', { href: url + '?inline=1', target: '_blank', rel: 'noopener',
      'aria-label': 'Open ' + shownName(e.name) }, 'Open'), ...rowActions(e)));
}

function crumbs(path) {
  const nav = $('crumbs');
  nav.replaceChildren(el('a', { href: '#/files/' }, 'Home'));
  let acc = '';
  for (const part of path.split('/').filter(Boolean)) {
    acc += '/' + part;
    nav.append(el('span', { class: 'sep', 'aria-hidden': 'true' }, '/'),
      el('a', { href: '#/files' + encodePath(acc) }, shownName(part)));
  }
  const last = nav.lastElementChild;
  if (last) last.setAttribute('aria-current', 'location');
}

// Tools for a server that takes changes, in a folder where a write can work (the server
// still decides each one).
const canWrite = () => state.features.includes('write');

function fileTools() {
  const tools = $('file-tools');
  tools.replaceChildren();
  if (!state.writable) return;
  const picker = el('input', { type: 'file', multiple: true, id: 'upload-input', class: 'sr',
    onchange: () => { upload([...picker.files]); picker.value = ''; } });
  tools.append(
    el('label', { class: 'button', for: 'upload-input', tabindex: '0',
      onkeydown: (e) => { if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); picker.click(); } } },
      'Upload files'), picker,
    el('button', { type: 'button', onclick: newFolder }, 'New folder'),
    el('span', { class: 'muted hint drop-hint' }, 'or drop files on the list'),
    el('div', { id: 'progress', class: 'progress', hidden: true, role: 'status' }));
}

function joined(name) {
  return (state.path === '/' ? '' : state.path) + '/' + name;
}

async function writeCall(url, body, done) {
  const r = await api('POST', url, body);
  if (r.status === 401) return;
  if (r.status === 200) browse(state.path, { text: done, ok: true });
  else show($('files-note'), sentence(r.data.error || 'the board refused'), false);
}

// A reason from the gateway as a sentence of its own.
function sentence(text) {
  text = String(text);
  return text.charAt(0).toUpperCase() + text.slice(1) + (/[.!?]$/.test(text) ? '' : '.');
}

function newFolder() {
  const name = prompt('Name of the new folder');
  if (name) writeCall('/api/mkdir', { path: joined(name) }, 'Folder ' + shownName(name) + ' made.');
}

function renameEntry(name) {
  const to = prompt('New name for ' + shownName(name), name);
  if (to && to !== name) writeCall('/api/rename', { from: joined(name), to: joined(to) }, 'Renamed to ' + shownName(to) + '.');
}

function deleteEntry(name, dir) {
  if (confirm('Delete ' + (dir ? 'the folder ' : '') + shownName(name) + '?'))
    writeCall('/api/delete', { path: joined(name) }, shownName(name) + ' deleted.');
}

// Uploads one file after another, with a progress line; a name that exists is asked about.
async function upload(files) {
  const progress = $('progress');
  const notes = [];
  let allOk = true;
  for (const file of files) {
    let replace = false;
    for (;;) {
      const r = await sendFile(file, replace, progress);
      if (r.status === 409 && !replace && r.data.reason === 'EXISTS' && confirm(file.name + ' exists. Replace it?')) {
        replace = true;
        continue;
      }
      if (r.status === 401) return;
      if (r.status === 200) notes.push(shownName(file.name) + ' uploaded.');
      else {
        allOk = false;
        notes.push(shownName(file.name) + ' not uploaded: ' + (r.data.error || 'the board refused') + '.');
      }
      break;
    }
  }
  progress.hidden = true;
  browse(state.path, { text: notes.join(' '), ok: allOk });
}

function sendFile(file, replace, progress) {
  return new Promise((resolve) => {
    const xhr = new XMLHttpRequest();
    const path = joined(file.name);
    xhr.open('POST', '/api/upload?path=' + encodeURIComponent(path) + (replace ? '&replace=1' : ''));
    xhr.setRequestHeader('X-CSRF-Token', state.csrf);
    xhr.setRequestHeader('Content-Type', 'application/octet-stream');
    progress.hidden = false;
    progress.textContent = 'Uploading ' + file.name + ' ...';
    xhr.upload.onprogress = (e) => {
      if (e.lengthComputable)
        progress.textContent = 'Uploading ' + file.name + ': ' + Math.floor(e.loaded * 100 / e.total) + ' % of ' + formatSize(e.total);
    };
    const finish = () => {
      let data = {};
      try { data = JSON.parse(xhr.responseText); } catch (e) { /* not JSON */ }
      if (xhr.status === 401) signedOut(data.reason);
      resolve({ status: xhr.status, data });
    };
    xhr.onload = finish;
    xhr.onerror = finish;
    xhr.send(file);
  });
}

const dropZone = $('view-files');
dropZone.addEventListener('dragover', (e) => {
  if (!state.writable) return;
  e.preventDefault();
  dropZone.classList.add('dropping');
});
dropZone.addEventListener('dragleave', () => dropZone.classList.remove('dropping'));
dropZone.addEventListener('drop', (e) => {
  dropZone.classList.remove('dropping');
  if (!state.writable) return;
  e.preventDefault();
  const files = [...e.dataTransfer.files];
  if (files.length) upload(files);
});

// Rename and Delete: side by side on a wide screen, in a small menu per row on a phone (the
// style sheet shows one or the other).
function rowActions(e) {
  // Renaming or deleting an entry writes in its folder; a file's own mark says the same.
  if (!state.writable || (!e.dir && e.writable === false)) return [];
  const buttons = () => [
    el('button', { type: 'button', class: 'link', 'aria-label': 'Rename ' + shownName(e.name), onclick: () => renameEntry(e.name) }, 'Rename'),
    el('button', { type: 'button', class: 'link', 'aria-label': 'Delete ' + shownName(e.name), onclick: () => deleteEntry(e.name, e.dir) }, 'Delete'),
  ];
  const menu = el('details', { class: 'row-menu' },
    el('summary', { 'aria-label': 'More for ' + shownName(e.name) }, '\u22ef'),
    el('div', { class: 'menu' }, ...buttons()));
  return [el('span', { class: 'row-buttons' }, ...buttons()), menu];
}

$('show-dot').addEventListener('change', () => browse(state.path));

// People

async function refreshWho() {
  const r = await api('GET', '/api/who');
  if (r.status !== 200) return;
  const list = $('who'), names = $('who-names');
  list.replaceChildren();
  names.replaceChildren();
  const seen = new Set();
  for (const u of r.data.users) {
    list.append(el('li', {}, u === '' ? el('span', { class: 'muted' }, '(not signed in)') : u,
      u === state.user ? el('span', { class: 'muted' }, ' (you)') : null));
    if (u && !seen.has(u)) { seen.add(u); names.append(el('option', { value: u })); }
  }
}
$('who-refresh').addEventListener('click', refreshWho);

$('message-form').addEventListener('submit', async (ev) => {
  ev.preventDefault();
  const to = $('msg-to').value, text = $('msg-text').value;
  const r = await api('POST', '/api/message', { to, text });
  if (r.status === 401) return;
  if (r.status === 200) {
    show($('message-note'), 'Message sent to ' + to + '.', true);
    addMessage('To ' + to, text, false);
    $('msg-text').value = '';
  } else show($('message-note'), sentence(r.data.error || 'not sent'));
});

$('notice-form').addEventListener('submit', async (ev) => {
  ev.preventDefault();
  const r = await api('POST', '/api/notice', { text: $('notice-text').value });
  if (r.status === 401) return;
  const done = $('notice-text').value ? 'Notice set.' : 'Notice cleared.';
  show($('notice-note'), r.status === 200 ? done : sentence(r.data.error || 'not set'), r.status === 200);
  if (r.status === 200 && !$('notice-text').value) setNotice('');
});

// The longest password the board stores, in bytes of UTF-8.
const PASSWORD_MAX = 31;

$('password-form').addEventListener('submit', async (ev) => {
  ev.preventDefault();
  if ($('pw-new').value !== $('pw-again').value) {
    show($('password-note'), 'The two new passwords differ.');
    return;
  }
  const bytes = new TextEncoder().encode($('pw-new').value).length;
  if (bytes > PASSWORD_MAX) {
    show($('password-note'), 'The new password is ' + bytes + ' bytes long; the board takes at most ' +
      PASSWORD_MAX + ' bytes (a Korean letter takes 3). Nothing was changed.');
    return;
  }
  const r = await api('POST', '/api/password', { current: $('pw-current').value, new: $('pw-new').value });
  if (r.status === 401) return;
  show($('password-note'), r.status === 200 ? 'Password changed.' : sentence(r.data.error || 'not changed'),
    r.status === 200);
  for (const id of ['pw-current', 'pw-new', 'pw-again']) $(id).value = '';
});

// Camera

// Whether the server has a camera: without one the page says so and offers nothing.
async function cameraState() {
  const r = await api('GET', '/api/camera');
  if (r.status === 401) return;
  const none = r.status === 200 && r.data.camera === false;
  $('snap').hidden = none;
  $('live').hidden = none;
  if (none) {
    stopLive();
    $('snap-save').hidden = true;
    $('camera-img').removeAttribute('src');
    show($('camera-note'), 'The server has no camera.');
  } else if (r.status !== 200) {
    show($('camera-note'), sentence(r.data.error || 'the camera cannot be reached'));
  } else if ($('camera-note').textContent === 'The server has no camera.') {
    show($('camera-note'), '');
  }
}

function stopLive() {
  if (!state.live) return;
  state.live = false;
  $('camera-img').removeAttribute('src');
  $('live').textContent = 'Start live view';
  $('live').setAttribute('aria-pressed', 'false');
}

$('snap').addEventListener('click', async () => {
  stopLive();
  show($('camera-note'), '');
  const res = await fetch('/camera/snapshot.jpg', { credentials: 'same-origin' });
  if (res.status !== 200) {
    let data = {};
    try { data = await res.json(); } catch (e) { /* not JSON */ }
    if (res.status === 401) return signedOut(data.reason);
    show($('camera-note'), sentence(data.error || 'no picture'));
    return;
  }
  const url = URL.createObjectURL(await res.blob());
  $('camera-img').src = url;
  $('camera-img').alt = 'Snapshot from the camera';
  const save = $('snap-save');
  save.href = url;
  save.hidden = false;
});

$('live').addEventListener('click', () => {
  if (state.live) return stopLive();
  show($('camera-note'), '');
  state.live = true;
  const img = $('camera-img');
  img.alt = 'Live view from the camera';
  img.onerror = () => { if (state.live) { stopLive(); show($('camera-note'), 'The live view stopped.'); } };
  img.src = '/camera/live?t=' + Date.now();
  $('live').textContent = 'Stop live view';
  $('live').setAttribute('aria-pressed', 'true');
  $('snap-save').hidden = true;
});

// Start: a browser that is still signed in goes straight to its page.
(async () => {
  const r = await fetch('/api/session', { credentials: 'same-origin' });
  let data = {};
  try { data = await r.json(); } catch (e) { /* not JSON */ }
  if (r.status === 200) signedIn(data);
  else signedOut(data.reason);
})();
