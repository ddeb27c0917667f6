// The routes view: a card per route with its source, chart, targets and connections.
import * as api from './api.js';
import { disposeChart, updateChart } from './chart.js';
import { createConnectionsView, renderConnections } from './connections.js';
import { createRecordingsView, renderRecordings } from './recordings.js';
import { el, formatMbps, lastOf, setText, syncKeyed } from './dom.js';

const SOURCE_MODES = ['listen', 'pull', 'rendezvous'];
const TARGET_MODES = ['listen', 'push', 'rendezvous'];
const cards = new Map(); // route id -> card view

/*
 * "port 9000 · stream id cam1" for a stored URL: the port the endpoint listens on or
 * calls, and the stream id it serves. Query tokens are paired at '&' and '=' alike,
 * as the relay pairs them. Several endpoints may share a listening port.
 */
function endpointSummary(url) {
  const match = /^[^:]*:\/\/(\[[^\]]*\]|[^:/?]*)(?::(\d*))?[^?]*(?:\?(.*))?$/.exec(url ?? '');
  if (!match) return '';
  const tokens = (match[3] ?? '').split(/[&=]/).filter(Boolean);
  let streamid = '';
  for (let i = 0; i + 1 < tokens.length; i += 2) {
    if (tokens[i] === 'streamid') {
      streamid = tokens[i + 1];
      break;
    }
  }
  return `port ${match[2] || '80'} · ${streamid ? `stream id ${streamid}` : 'no stream id'}`;
}

// An on/off switch with its label.
function toggle(text, testid) {
  const input = el('input', { type: 'checkbox', role: 'switch', 'data-testid': testid });
  return { input, label: el('label', { class: 'switch' }, input, ` ${text}`) };
}

/*
 * A form to set an endpoint's mode and URL. While the operator edits it (from
 * the first change until a save succeeds) the poll leaves its fields alone.
 * save({mode, url}) runs on submit through actions.run, its error shown in the form.
 */
function endpointForm(name, modes, testid, actions, save) {
  const mode = el(
    'select',
    { 'data-testid': `${testid.prefix}-mode-${testid.suffix}` },
    ...modes.map((m) => el('option', { value: m, text: m })),
  );
  const url = el('input', {
    type: 'text',
    inputmode: 'url',
    spellcheck: 'false',
    autocomplete: 'off',
    placeholder: 'srt://0.0.0.0:9000',
    'data-testid': `${testid.prefix}-url-${testid.suffix}`,
  });
  const error = el('output', { class: 'error' });
  const summary = el('output', {
    class: 'endpoint-summary',
    'data-testid': `${testid.prefix}-summary-${testid.suffix}`,
  });
  const root = el(
    'form',
    { class: 'endpoint-form', 'aria-label': name },
    el('label', { class: 'mode' }, 'Mode', mode),
    el('label', { class: 'url' }, 'URL', url),
    el('button', {
      type: 'submit',
      'data-testid': `${testid.prefix}-save-${testid.suffix}`,
      text: 'Save',
    }),
    error,
    summary,
  );
  const form = { root, mode, url, summary, error, edited: false };
  root.addEventListener('input', () => {
    form.edited = true;
  });
  root.addEventListener('submit', (event) => {
    event.preventDefault();
    actions.run(
      error,
      () => save({ mode: mode.value, url: url.value.trim() }),
      () => {
        form.edited = false;
      },
    );
  });
  return form;
}

// An endpoint's mode and URL as text, for a key that may only read.
function endpointText(name) {
  const mode = el('span', { class: 'mode' });
  const url = el('code', { class: 'url' });
  const summary = el('output', { class: 'endpoint-summary' });
  // The note stands apart from the URL it describes.
  const root = el(
    'p',
    { class: 'endpoint-text', 'aria-label': name },
    mode,
    ' ',
    url,
    ' ',
    summary,
  );
  return { root, mode, url, summary, text: true };
}

function showEndpoint(form, endpoint) {
  setText(form.summary, endpoint.url ? endpointSummary(endpoint.url) : '');
  if (form.text) {
    setText(form.mode, endpoint.mode ?? '');
    setText(form.url, endpoint.url ?? '');
    return;
  }
  if (form.edited) return;
  if (form.mode.value !== endpoint.mode) form.mode.value = endpoint.mode;
  if (form.url.value !== endpoint.url) form.url.value = endpoint.url ?? '';
}

function createTargetRow(rid, tid, actions) {
  const editable = !actions.readOnly;
  const on = editable ? toggle('On', `target-toggle-${rid}-${tid}`) : null;
  const onText = el('span', { class: 'switch-state' });
  const error = el('output', { class: 'error' });
  const form = editable
    ? endpointForm(
        `Target ${tid} settings`,
        TARGET_MODES,
        { prefix: 'target', suffix: `${rid}-${tid}` },
        actions,
        (values) => api.updateTarget(rid, tid, { enabled: on.input.checked, ...values }),
      )
    : endpointText(`Target ${tid} settings`);
  on?.input.addEventListener('change', () =>
    actions.run(error, () => api.enableTarget(rid, tid, on.input.checked)),
  );
  const remove = el('button', {
    type: 'button',
    class: 'danger',
    text: 'Delete',
    'aria-label': `Delete target ${tid}`,
    'data-testid': `delete-target-${rid}-${tid}`,
  });
  remove.addEventListener('click', async () => {
    if (await actions.confirm(`Delete target ${tid} of route ${rid}? Its peers are disconnected.`))
      actions.run(error, () => api.deleteTarget(rid, tid));
  });
  const state = el('span', { class: 'state' });
  const peers = el('td', { 'data-label': 'Peers', 'data-testid': `target-peers-${rid}-${tid}` });
  const out = el('td', { 'data-label': 'Out' });
  const root = el(
    'tr',
    { 'data-testid': `target-row-${rid}-${tid}` },
    el('th', { scope: 'row', 'data-label': 'Target' }, `${tid} `, state),
    el('td', { 'data-label': 'Switch' }, editable ? on.label : onText),
    el('td', { 'data-label': 'Endpoint', class: 'endpoint' }, form.root),
    peers,
    out,
    el('td', { class: 'row-actions' }, ...(editable ? [remove, error] : [])),
  );
  return { root, on, onText, form, state, peers, out };
}

// An enabled endpoint the relay could not open (a busy port, a refusing peer) is
// marked: the relay keeps trying, with growing pauses.
const NOT_OPEN = 'not open, retrying';

function updateTargetRow(row, target) {
  if (row.on) row.on.input.checked = target.enabled === 1;
  setText(row.onText, target.enabled === 1 ? 'on' : 'off');
  showEndpoint(row.form, target);
  const retrying = target.endpointState === 'retrying';
  const state = retrying ? NOT_OPEN : target.connected ? 'connected' : 'idle';
  setText(row.state, target.sourceTime ? `${state}, source time` : state);
  row.state.classList.toggle('live', target.connected);
  row.state.classList.toggle('down', retrying);
  setText(row.peers, target.peers == null ? '–' : String(target.peers));
  setText(row.out, formatMbps(target.mbps));
}

function createCard(route, actions) {
  const rid = route.id;
  const editable = !actions.readOnly;
  const card = { targets: new Map(), actions };
  const error = el('output', { class: 'error' });
  card.on = editable ? toggle('Source on', `route-toggle-${rid}`) : null;
  card.on?.input.addEventListener('change', () =>
    actions.run(error, () => api.enableSource(rid, card.on.input.checked)),
  );
  const remove = el('button', {
    type: 'button',
    class: 'danger',
    text: 'Delete route',
    'data-testid': `delete-route-${rid}`,
  });
  remove.addEventListener('click', async () => {
    if (
      await actions.confirm(`Delete route ${rid} with all its targets? Every peer is disconnected.`)
    )
      actions.run(error, () => api.deleteRoute(rid));
  });
  card.bitrate = el('span', { class: 'bitrate', 'data-testid': `route-bitrate-${rid}` });
  card.state = el('span', { class: 'state' });
  card.source = editable
    ? endpointForm(
        `Source of route ${rid}`,
        SOURCE_MODES,
        { prefix: 'source', suffix: rid },
        actions,
        (values) => api.updateSource(rid, { enabled: card.on.input.checked, ...values }),
      )
    : endpointText(`Source of route ${rid}`);
  card.chart = el('div', {
    class: 'chart',
    role: 'img',
    'data-testid': `chart-${rid}`,
    'aria-label': `Incoming and outgoing Mbit/s of route ${rid} over the last 15 minutes`,
  });
  card.targetBody = el('tbody');
  card.noTargets = el('p', { class: 'muted', text: 'No targets yet.' });
  const targetError = el('output', { class: 'error' });
  const add = el('button', {
    type: 'button',
    text: 'Add target',
    'data-testid': `add-target-${rid}`,
  });
  add.addEventListener('click', () => actions.run(targetError, () => api.addTarget(rid)));
  card.targetTable = el(
    'table',
    { class: 'stack targets' },
    el('caption', { text: `Targets of route ${rid}` }),
    el(
      'thead',
      {},
      el(
        'tr',
        {},
        ...['Target', 'Switch', 'Mode and URL', 'Peers', 'Out', ''].map((name) =>
          el('th', { scope: 'col', text: name }),
        ),
      ),
    ),
    card.targetBody,
  );
  card.connections = createConnectionsView(rid);
  card.recordings = createRecordingsView(rid, actions);

  card.root = el(
    'article',
    { class: 'route', 'data-testid': `route-row-${rid}`, 'aria-labelledby': `route-${rid}` },
    el(
      'header',
      { class: 'route-head' },
      el('h3', { id: `route-${rid}`, text: `Route ${rid}` }),
      el('span', { class: 'bitrate-label' }, 'In ', card.bitrate),
      el('a', {
        href: `#events-${rid}`,
        text: 'Events',
        'aria-label': `Events of route ${rid}`,
        'data-testid': `route-events-${rid}`,
      }),
      ...(editable ? [card.on.label, remove, error] : []),
    ),
    el('div', { class: 'source' }, el('h4', {}, 'Source ', card.state), card.source.root),
    card.chart,
    el(
      'div',
      { class: 'targets-head' },
      el('h4', { text: 'Targets' }),
      ...(editable ? [add, targetError] : []),
    ),
    card.targetTable,
    card.noTargets,
    el(
      'details',
      { class: 'connections-box', open: '' },
      el('summary', { text: 'Connections' }),
      card.connections.root,
    ),
    el(
      'details',
      { class: 'recordings-box' },
      el('summary', { text: 'Recordings' }),
      card.recordings.root,
    ),
  );
  card.dispose = () => disposeChart(card.chart);
  return card;
}

function updateCard(card, route) {
  const inMbps = lastOf(route.history?.in_mbps);
  setText(card.bitrate, formatMbps(inMbps));
  if (card.on) card.on.input.checked = route.enabled === 1;
  showEndpoint(card.source, route);
  const retrying = route.endpoints?.source === 'retrying';
  setText(
    card.state,
    route.enabled !== 1
      ? 'off'
      : route.active
        ? 'connected'
        : retrying
          ? NOT_OPEN
          : 'waiting for a peer',
  );
  card.state.classList.toggle('live', route.enabled === 1 && route.active);
  card.state.classList.toggle('down', route.enabled === 1 && retrying);

  const targets = Object.entries(route.targets ?? {})
    .map(([tid, target]) => ({ ...target, id: Number(tid) }))
    .sort((a, b) => a.id - b.id)
    .map((target) => {
      const peers = Array.isArray(route.connections)
        ? route.connections.filter((c) => c.side === 'target' && c.target_id === target.id)
        : null;
      return {
        ...target,
        connected: route.activeTargets?.includes(target.id) ?? false,
        endpointState: route.endpoints?.targets?.[target.id] ?? null,
        peers: peers?.length ?? null,
        // Its subscribers get each message stamped with its origin time.
        sourceTime: peers?.some((c) => c.source_time) ?? false,
        mbps: lastOf(route.history?.targets?.[target.id]),
      };
    });
  syncKeyed(
    card.targetBody,
    card.targets,
    targets,
    (t) => t.id,
    (t) => createTargetRow(route.id, t.id, card.actions),
    updateTargetRow,
  );
  card.targetTable.hidden = targets.length === 0;
  card.noTargets.hidden = targets.length !== 0;
  updateChart(card.chart, route.history);
  renderConnections(card.connections, route.connections, card.actions);
  renderRecordings(card.recordings, route.recordings);
}

/*
 * Renders routes (the poll's merged view of each route: document entry, id,
 * active flag, active targets, history, connections) into container.
 * actions.run(errorNode, call, onSuccess) and actions.confirm(text) come from app.js.
 */
export function renderRoutes(container, routes, actions) {
  syncKeyed(
    container,
    cards,
    routes,
    (r) => r.id,
    (r) => createCard(r, actions),
    updateCard,
  );
}
