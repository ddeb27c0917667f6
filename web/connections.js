// The connections of one route: a row per connected peer, each with a kick button.
import * as api from './api.js';
import { el, formatMbps, setText, syncKeyed } from './dom.js';

const COLUMNS = [
  'Side',
  'Peer',
  'Stream id',
  'Connected since',
  'Latency',
  'RTT',
  'Bitrate',
  'Lost / resent',
  '',
];
// the columns with values
const CELLS = ['side', 'peer', 'stream', 'since', 'latency', 'rtt', 'mbps', 'lost'];

// The table of a route's connections; render fills it.
export function createConnectionsView(rid) {
  const body = el('tbody');
  const empty = el('p', { class: 'muted', text: 'No peers connected.' });
  const table = el(
    'table',
    { class: 'stack connections' },
    el('caption', { text: `Connections of route ${rid}` }),
    el('thead', {}, el('tr', {}, ...COLUMNS.map((name) => el('th', { scope: 'col', text: name })))),
    body,
  );
  return {
    root: el('div', { class: 'connections-view' }, table, empty),
    table,
    body,
    empty,
    rows: new Map(),
  };
}

function createRow(connection, actions) {
  const id = connection.id;
  const cells = {};
  CELLS.forEach((name, index) => {
    cells[name] = el('td', { 'data-label': COLUMNS[index] });
  });
  const error = el('output', { class: 'error' });
  const kick = el('button', {
    type: 'button',
    class: 'danger',
    text: 'Kick',
    'aria-label': `Disconnect ${connection.peer}`,
    'data-testid': `conn-kick-${id}`,
  });
  kick.addEventListener('click', async () => {
    if (await actions.confirm(`Disconnect ${connection.peer} (connection ${id})?`))
      actions.run(error, () => api.kickConnection(id));
  });
  const root = el(
    'tr',
    { 'data-testid': `conn-row-${id}` },
    ...Object.values(cells),
    // A recording or a UDP endpoint's own socket is no caller: there is nobody to kick.
    el(
      'td',
      { class: 'row-actions' },
      ...(actions.readOnly || connection.mode === 'file' || connection.transport === 'udp'
        ? []
        : [kick, error]),
    ),
  );
  return { root, cells };
}

function updateRow(row, connection) {
  const { cells } = row;
  const since = new Date(connection.connected_at);
  // A source connection is the forwarded one or a standby; a target's may carry source time.
  const source = connection.side === 'source';
  const role = connection.active ? 'source, active' : 'source, standby';
  // A caller the authorizer has not answered for yet gets and gives nothing.
  const pending = connection.state === 'pending';
  const recording = connection.mode === 'file' ? ', recording' : '';
  const side = source ? (pending ? 'source' : role) : `target ${connection.target_id}${recording}`;
  setText(cells.side, pending ? `${side}, pending authorization` : side);
  row.root.classList.toggle('pending', pending);
  const latency = typeof connection.latency_ms === 'number' ? `${connection.latency_ms} ms` : '–';
  setText(cells.latency, connection.source_time ? `${latency}, source time` : latency);
  setText(cells.peer, connection.peer ?? '');
  setText(cells.stream, connection.stream_id || '–');
  setText(cells.since, Number.isNaN(since.getTime()) ? '–' : since.toLocaleString());
  setText(
    cells.rtt,
    typeof connection.rtt_ms === 'number' ? `${connection.rtt_ms.toFixed(2)} ms` : '–',
  );
  setText(cells.mbps, formatMbps(connection.mbps));
  setText(
    cells.lost,
    connection.transport === 'udp'
      ? `${connection.datagrams ?? 0} datagrams, ${connection.packets_dropped ?? 0} dropped`
      : `${connection.packets_lost ?? 0} / ${connection.packets_retransmitted ?? 0}`,
  );
}

// connections: the relay's array for this route, or null when it gave none.
export function renderConnections(view, connections, actions) {
  const list = Array.isArray(connections) ? connections : [];
  syncKeyed(
    view.body,
    view.rows,
    list,
    // A recording has no socket id: it is its target's one connection.
    (c) => c.id ?? `file-${c.target_id}`,
    (c) => createRow(c, actions),
    updateRow,
  );
  view.table.hidden = list.length === 0;
  view.empty.hidden = list.length !== 0;
}
