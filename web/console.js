// The Orvala web console: signs in to a remote object over the HTTP
// endpoint (docs/http.md) and drives it. Plain script, no build step and
// nothing loaded from elsewhere.
'use strict';

const $ = (id) => document.getElementById(id);

const state = {
  secret: '',
  id: '',          // the remote object
  provider: '',
  fields: [],      // plain fields of the provider, as the packet describes them
  rows: [],        // {values, original, status, changed: Set, error}
  more: false,     // whether the provider's fetch has rows left
  start: 0,        // first row shown
  end: 0,          // one past the last row shown
  methods: [],
};

class ApiError extends Error {}

async function api(method, path, body) {
  const headers = {Authorization: 'Bearer ' + state.secret};
  if (body !== undefined) headers['Content-Type'] = 'application/json';
  const res = await fetch(path, {method, headers,
                                 body: body === undefined ? undefined : JSON.stringify(body)});
  const text = await res.text();
  const json = text ? JSON.parse(text) : null;
  if (!res.ok) throw new ApiError((json && json.error) || res.status + ' ' + res.statusText);
  return json;
}

// A call on the object; a failed status is thrown with the server's message.
async function call(method, args) {
  const reply = await api('POST', `/v1/objects/${state.id}/calls/${method}`, args);
  if (reply.status !== '0x00000000') throw new ApiError(reply.error || reply.status);
  return reply;
}

// ---- sign in ------------------------------------------------------------

async function signIn(event) {
  event.preventDefault();
  $('signin-message').textContent = '';
  state.secret = $('secret').value;
  try {
    state.id = (await api('POST', '/v1/objects')).id;
    await call('OpenDB');
    const login = await call('Login', {UserName: $('user').value, Password: $('password').value,
                                       Anno: Number($('year').value),
                                       ID_Ditta: $('company').value});
    if (!login.result || login.result.value !== 0) {
      await release();
      throw new ApiError('Sign-in refused: check the user, password, year and company');
    }
    sessionStorage.setItem('orvala', JSON.stringify({secret: state.secret, id: state.id,
                                                     who: $('user').value}));
    await enter($('user').value);
  } catch (e) {
    $('signin-message').textContent = e.message;
  }
}

async function release() {
  if (state.id) {
    try { await api('DELETE', `/v1/objects/${state.id}`); } catch (e) { /* already gone */ }
  }
  state.id = '';
}

async function signOut() {
  await release();
  sessionStorage.removeItem('orvala');
  location.reload();
}

async function enter(who) {
  $('signin').hidden = true;
  $('work').hidden = false;
  $('signout').hidden = false;
  $('who').textContent = who;
  await Promise.all([loadProviders(), loadMethods()]);
  pollStatus();
}

// ---- providers ----------------------------------------------------------

let providerNames = [];

async function loadProviders() {
  const reply = await call('AS_GetProviderNames');
  providerNames = (reply.result && reply.result.value) || [];
  showProviders();
}

function showProviders() {
  const filter = $('provider-filter').value.toUpperCase();
  const list = $('providers');
  list.replaceChildren();
  for (const name of providerNames) {
    if (filter && !name.toUpperCase().includes(filter)) continue;
    const item = document.createElement('li');
    item.textContent = name;
    item.dataset.provider = name;
    if (name === state.provider) item.className = 'chosen';
    item.addEventListener('click', () => openProvider(name));
    list.appendChild(item);
  }
}

// ---- the grid -----------------------------------------------------------

const pageSize = () => Math.max(1, Number($('page-size').value) || 10);

function gridMessage(text) { $('grid-message').textContent = text || ''; }

async function openProvider(name) {
  state.provider = name;
  state.rows = [];
  state.fields = [];
  state.start = 0;
  state.end = 0;
  $('grid-title').textContent = name;
  showProviders();
  gridMessage('');
  try {
    await fetchSlice(true);
    state.end = Math.min(pageSize(), state.rows.length);
    render();
  } catch (e) {
    gridMessage(e.message);
  }
}

function clean(values) {
  return {values: values.slice(), original: values.slice(), status: 'clean', changed: new Set(),
          error: null};
}

// The next slice of the provider's rows; the first asks for the field
// descriptions and restarts the fetch (Options 1 + 2).
async function fetchSlice(first) {
  const count = pageSize();
  const reply = await call('AS_GetRecords', {ProviderName: state.provider, Count: count,
                                              Options: first ? 3 : 0});
  if (first) state.fields = reply.fields.filter((f) => f.type !== 'Nested');
  const plain = reply.fields.map((f, i) => [f, i]).filter(([f]) => f.type !== 'Nested');
  for (const row of reply.rows) state.rows.push(clean(plain.map(([, i]) => row[i])));
  state.more = reply.recsOut === count;
}

async function showRange(start, end) {
  while (state.more && state.rows.length < end) await fetchSlice(false);
  state.start = Math.max(0, Math.min(start, Math.max(state.rows.length - 1, 0)));
  state.end = Math.min(end, state.rows.length);
  render();
}

const editable = (field) => field.type !== 'Blob';

// The value typed into a cell, as the field's type reads it.
function parseCell(field, text) {
  if (text === '' && field.type !== 'String' && field.type !== 'Memo') return null;
  switch (field.type) {
    case 'SmallInt': case 'Integer': case 'LargeInt': case 'BigInt':
      return field.scale ? text : Number.parseInt(text, 10);
    case 'Float': case 'Double': return Number.parseFloat(text);
    case 'Boolean': return text.toLowerCase() === 'true';
    default: return text;
  }
}

const shown = (value) => (value === null || value === undefined ? '' : String(value));

function render() {
  const head = $('grid').tHead;
  const body = $('grid').tBodies[0];
  head.replaceChildren();
  body.replaceChildren();
  const header = head.insertRow();
  header.appendChild(document.createElement('th'));
  for (const f of state.fields) {
    const th = document.createElement('th');
    th.textContent = f.name;
    th.title = `${f.type}${f.size ? ' (' + f.size + ')' : ''}${f.required ? ', required' : ''}`;
    header.appendChild(th);
  }
  for (let r = state.start; r < state.end; ++r) renderRow(body, r);
  const total = state.rows.length + (state.more ? '+' : '');
  $('page-info').textContent = state.rows.length
      ? `rows ${state.start + 1}–${state.end} of ${total}` : 'no rows';
}

function renderRow(body, r) {
  const row = state.rows[r];
  const tr = body.insertRow();
  tr.dataset.row = r;
  tr.className = row.status === 'clean' ? '' : row.status;
  const action = tr.insertCell();
  const del = document.createElement('button');
  del.textContent = row.status === 'deleted' ? 'Undelete' : 'Delete';
  del.className = 'delete-row';
  del.addEventListener('click', () => toggleDelete(r));
  action.appendChild(del);
  state.fields.forEach((f, i) => {
    const td = tr.insertCell();
    td.textContent = shown(row.values[i]);
    td.dataset.field = f.name;
    if (row.changed.has(i)) td.classList.add('changed');
    if (editable(f) && row.status !== 'deleted') {
      td.contentEditable = 'true';
      td.addEventListener('blur', () => edit(r, i, td.textContent));
    }
  });
  if (row.error) {
    const note = body.insertRow();
    note.className = 'error-row';
    note.dataset.errorFor = r;
    const cell = note.insertCell();
    cell.colSpan = state.fields.length + 1;
    const text = document.createElement('span');
    text.className = 'error-message';
    text.textContent = row.error + ' ';
    cell.appendChild(text);
    for (const [label, how] of [["Take the database's values", 'take'], ['Retry', 'retry']]) {
      const b = document.createElement('button');
      b.textContent = label;
      b.className = how;
      b.addEventListener('click', () => reconcile(r, how));
      cell.appendChild(b);
    }
  }
}

function edit(r, i, text) {
  const row = state.rows[r];
  const value = parseCell(state.fields[i], text);
  if (shown(value) === shown(row.values[i])) return;
  row.values[i] = value;
  if (row.status === 'inserted') {
    row.changed.add(i);
  } else {
    if (shown(value) === shown(row.original[i])) row.changed.delete(i); else row.changed.add(i);
    row.status = row.changed.size ? 'modified' : 'clean';
  }
  render();
}

function toggleDelete(r) {
  const row = state.rows[r];
  if (row.status === 'inserted') {
    state.rows.splice(r, 1);
    state.end = Math.min(state.end, state.rows.length);
  } else if (row.status === 'deleted') {
    row.status = row.changed.size ? 'modified' : 'clean';
  } else {
    row.status = 'deleted';
  }
  render();
}

function insertRow() {
  if (!state.fields.length) return;
  const row = clean(state.fields.map(() => null));
  row.status = 'inserted';
  state.rows.splice(state.end, 0, row);
  state.end += 1;
  render();
}

const byName = (values, pick) => {
  const out = {};
  state.fields.forEach((f, i) => { if (!pick || pick(i)) out[f.name] = values[i]; });
  return out;
};

// Sends every change; a row the database refused stays changed and shows
// the server's message under it.
async function apply() {
  gridMessage('');
  const modify = [], insert = [], remove = [];
  for (const row of state.rows) {
    row.error = null;
    if (row.status === 'modified') modify.push(row);
    else if (row.status === 'inserted') insert.push(row);
    else if (row.status === 'deleted') remove.push(row);
  }
  const sent = [...modify, ...insert, ...remove];
  if (!sent.length) return gridMessage('Nothing to apply');
  // Every old value travels, so a row changed by someone else is not found.
  const delta = {
    modify: modify.map((row) => ({old: byName(row.original),
                                  new: byName(row.values, (i) => row.changed.has(i))})),
    insert: insert.map((row) => byName(row.values, (i) => row.changed.has(i))),
    delete: remove.map((row) => byName(row.original)),
  };
  try {
    const reply = await call('AS_ApplyUpdates', {ProviderName: state.provider, Delta: delta,
                                                 MaxErrors: -1});
    const failed = new Map();
    for (const e of reply.errors) if (!e.path) failed.set(e.record - 1, e.message);
    sent.forEach((row, k) => {
      if (failed.has(k)) {
        row.error = failed.get(k);
        return;
      }
      if (row.status === 'deleted') {
        row.status = 'gone';
        return;
      }
      row.original = row.values.slice();
      row.changed.clear();
      row.status = 'clean';
    });
    state.rows = state.rows.filter((row) => row.status !== 'gone');
    state.end = Math.min(state.end, state.rows.length);
    gridMessage(reply.errorCount ? `${reply.errorCount} row(s) not applied` : 'Applied');
  } catch (e) {
    gridMessage(e.message);
  }
  render();
}

// The database's rows of the provider now; the fetch restarts, and is
// left closed.
async function databaseRows() {
  const reply = await call('AS_GetRecords', {ProviderName: state.provider, Count: -1, Options: 3});
  const plain = reply.fields.map((f, i) => [f, i]).filter(([f]) => f.type !== 'Nested');
  return reply.rows.map((row) => plain.map(([, i]) => row[i]));
}

// A refused row: take what the database holds now (dropping the change),
// or retry the change over what the database holds now. Rows are matched
// by their first field.
async function reconcile(r, how) {
  const row = state.rows[r];
  try {
    const current = (await databaseRows()).find((v) => shown(v[0]) === shown(row.original[0]));
    state.more = false;
    if (!current) {
      state.rows.splice(r, 1);
      state.end = Math.min(state.end, state.rows.length);
      gridMessage('The row is no longer in the database');
      return render();
    }
    row.error = null;
    if (how === 'take') {
      Object.assign(row, clean(current));
      render();
      return gridMessage("The database's values were taken");
    }
    const values = current.slice();
    for (const i of row.changed) values[i] = row.values[i];
    row.original = current;
    row.values = values;
    row.status = 'modified';
    await apply();
  } catch (e) {
    gridMessage(e.message);
  }
}

async function reload() {
  const keepStart = state.start;
  const keepEnd = state.end;
  await openProvider(state.provider);
  await showRange(keepStart, Math.max(keepEnd, keepStart + pageSize()));
}

// ---- method calls -------------------------------------------------------

async function loadMethods() {
  state.methods = await api('GET', '/v1/methods');
  const select = $('method');
  select.replaceChildren();
  for (const m of state.methods) {
    const option = document.createElement('option');
    option.value = m.name;
    option.textContent = m.name;
    select.appendChild(option);
  }
  methodForm();
}

function methodForm() {
  const method = state.methods.find((m) => m.name === $('method').value);
  const form = $('call-form');
  form.replaceChildren();
  if (!method) return;
  for (const arg of method.args) {
    if (arg.direction === 'out') continue;
    const label = document.createElement('label');
    label.textContent = `${arg.name} (${arg.direction} ${arg.type}) `;
    const input = document.createElement('input');
    input.name = arg.name;
    input.dataset.type = arg.type;
    label.appendChild(input);
    form.appendChild(label);
  }
}

function argumentValue(input) {
  const text = input.value;
  switch (input.dataset.type) {
    case 'I4': return Number.parseInt(text || '0', 10);
    case 'R8': return Number.parseFloat(text || '0');
    case 'BSTR': return text;
    default:
      if (text === '') return {vt: 'EMPTY'};
      try { return JSON.parse(text); } catch (e) { return text; }
  }
}

async function callMethod() {
  const args = {};
  for (const input of $('call-form').querySelectorAll('input')) {
    args[input.name] = argumentValue(input);
  }
  try {
    const reply = await api('POST', `/v1/objects/${state.id}/calls/${$('method').value}`, args);
    $('call-answer').textContent = JSON.stringify(reply, null, 2);
  } catch (e) {
    $('call-answer').textContent = e.message;
  }
}

// ---- status -------------------------------------------------------------

let lastCalls = null;

async function pollStatus() {
  try {
    const status = await api('GET', '/v1/status');
    const now = Date.now();
    $('status-objects').textContent =
        `${status.objects.socket + status.objects.http} (socket ${status.objects.socket}, ` +
        `HTTP ${status.objects.http})`;
    if (lastCalls) {
      const rate = (status.calls - lastCalls.calls) / ((now - lastCalls.at) / 1000);
      $('status-rate').textContent = rate.toFixed(1);
    }
    lastCalls = {calls: status.calls, at: now};
    $('status-location').textContent = status.databaseLocation || '(none stored)';
  } catch (e) {
    $('status-location').textContent = e.message;
  }
  setTimeout(pollStatus, 2000);
}

// ---- start --------------------------------------------------------------

$('signin-form').addEventListener('submit', signIn);
$('signout').addEventListener('click', signOut);
$('provider-filter').addEventListener('input', showProviders);
$('next-page').addEventListener('click', () => {
  const n = pageSize();
  showRange(state.end, state.end + n).catch((e) => gridMessage(e.message));
});
$('prev-page').addEventListener('click', () => {
  const n = pageSize();
  showRange(Math.max(0, state.start - n), Math.max(0, state.start - n) + n)
      .catch((e) => gridMessage(e.message));
});
$('grid-scroll').addEventListener('scroll', (event) => {
  const box = event.target;
  if (box.scrollTop + box.clientHeight >= box.scrollHeight - 4 && state.more) {
    showRange(state.start, state.end + pageSize()).catch((e) => gridMessage(e.message));
  }
});
$('insert-row').addEventListener('click', insertRow);
$('apply').addEventListener('click', apply);
$('reload').addEventListener('click', () => reload().catch((e) => gridMessage(e.message)));
$('method').addEventListener('change', methodForm);
$('call-button').addEventListener('click', callMethod);

(async () => {
  const saved = JSON.parse(sessionStorage.getItem('orvala') || 'null');
  if (!saved) return;
  state.secret = saved.secret;
  state.id = saved.id;
  try {
    await call('GetSession');
    await enter(saved.who);
  } catch (e) {
    sessionStorage.removeItem('orvala');
    state.id = '';
  }
})();
