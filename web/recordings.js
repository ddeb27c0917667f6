// The recordings of one route: a row per closed segment of its file:// targets, each with a download.
import * as api from './api.js';
import { el, setText, syncKeyed } from './dom.js';

const COLUMNS = ['Target', 'Segment', 'Start (UTC)', 'Seconds', 'Size', ''];

function formatSize(bytes) {
  if (typeof bytes !== 'number') return '–';
  if (bytes >= 1e9) return `${(bytes / 1e9).toFixed(2)} GB`;
  if (bytes >= 1e6) return `${(bytes / 1e6).toFixed(1)} MB`;
  return `${(bytes / 1e3).toFixed(0)} kB`;
}

// The table of a route's recordings; render fills it.
export function createRecordingsView(rid, actions) {
  const body = el('tbody');
  const empty = el('p', { class: 'muted', text: 'No closed segments.' });
  const table = el(
    'table',
    { class: 'stack recordings' },
    el('caption', { text: `Recordings of route ${rid}` }),
    el('thead', {}, el('tr', {}, ...COLUMNS.map((name) => el('th', { scope: 'col', text: name })))),
    body,
  );
  return {
    root: el('div', { class: 'recordings-view' }, table, empty),
    table,
    body,
    empty,
    rows: new Map(),
    rid,
    actions,
  };
}

function createRow(view, segment) {
  const cells = {};
  for (const [index, name] of ['target', 'name', 'start', 'seconds', 'size'].entries())
    cells[name] = el('td', { 'data-label': COLUMNS[index] });
  const error = el('output', { class: 'error' });
  const download = el('button', {
    type: 'button',
    text: 'Download',
    'aria-label': `Download ${segment.name}`,
    'data-testid': `recording-${segment.target_id}-${segment.name}`,
  });
  download.addEventListener('click', () =>
    view.actions.run(error, () =>
      api.downloadRecording(view.rid, segment.target_id, segment.name),
    ),
  );
  const root = el(
    'tr',
    {},
    ...Object.values(cells),
    el('td', { class: 'row-actions' }, download, error),
  );
  return { root, cells };
}

function updateRow(row, segment) {
  setText(row.cells.target, String(segment.target_id));
  setText(row.cells.name, segment.name);
  setText(row.cells.start, segment.start ?? '–');
  setText(row.cells.seconds, String(segment.seconds ?? '–'));
  setText(row.cells.size, formatSize(segment.bytes));
}

// segments: the closed segments of the route's recordings, newest first on the page.
export function renderRecordings(view, segments) {
  const list = (Array.isArray(segments) ? segments : []).slice().reverse();
  syncKeyed(
    view.body,
    view.rows,
    list,
    (s) => `${s.target_id}/${s.name}`,
    (s) => createRow(view, s),
    updateRow,
  );
  view.table.hidden = list.length === 0;
  view.empty.hidden = list.length !== 0;
}
