// The event list: the relay's events as they happen, newest first, of all routes or the opened one.
import { el, setText } from './dom.js';

const KEPT = 500; // events held for the list; the oldest fall off
const SHOWN = 100; // rows drawn
// Members every event may have, shown in their own way; the rest are listed as "key: value".
const SCOPE = new Set(['id', 'time', 'type', 'route_id', 'target_id', 'peer', 'stream_id']);

// The colour family of a type: what went well, what went wrong, what waits, what was edited.
function toneOf(type) {
  if (/^(source|target)\.connected$|^endpoint\.open$|^relay\.started$/.test(type)) return 'good';
  if (/disconnected$|refused$|denied$|failed$|^gap$/.test(type)) return 'bad';
  if (/retrying$|switched$|stopping$/.test(type)) return 'warn';
  return 'edit';
}

function describe(event) {
  if (event.type === 'gap')
    return `${event.missed} earlier event(s) are no longer kept and cannot be shown`;
  const parts = [];
  if (event.route_id != null) parts.push(`route ${event.route_id}`);
  if (event.target_id != null) parts.push(`target ${event.target_id}`);
  if (event.peer) parts.push(event.peer);
  if (event.stream_id) parts.push(`stream id ${event.stream_id}`);
  for (const [key, value] of Object.entries(event)) {
    if (SCOPE.has(key) || (Array.isArray(value) && value.length === 0)) continue;
    parts.push(`${key}: ${Array.isArray(value) ? value.join(', ') : value}`);
  }
  return parts.join(' · ');
}

function clock(time) {
  const date = new Date(time);
  if (Number.isNaN(date.getTime())) return '';
  const ms = String(date.getMilliseconds()).padStart(3, '0');
  return `${date.toLocaleTimeString([], { hour12: false })}.${ms}`;
}

function row(event) {
  const key = event.id ?? `gap-${event.first_id}`;
  return el(
    'li',
    { class: `event tone-${toneOf(event.type)}`, 'data-testid': `event-${key}` },
    el('time', { datetime: event.time ?? '', text: clock(event.time) }),
    ' ',
    el('span', { class: 'event-type', text: event.type }),
    ' ',
    el('span', { class: 'event-text', text: describe(event) }),
  );
}

// The view over list (an <ol>) and title (its heading's route note).
export function createEventList(list, title) {
  return { list, title, events: [], route: null, drawing: 0 };
}

function draw(view) {
  view.drawing = 0;
  const shown = [];
  for (let i = view.events.length - 1; i >= 0 && shown.length < SHOWN; i--) {
    const event = view.events[i];
    if (view.route === null || event.route_id === view.route || event.type === 'gap')
      shown.push(row(event));
  }
  view.list.replaceChildren(...shown);
  setText(view.title, view.route === null ? 'all routes' : `route ${view.route}`);
}

// Redraws once per frame however many events came in it (a replay brings hundreds).
function scheduleDraw(view) {
  if (view.drawing === 0) view.drawing = requestAnimationFrame(() => draw(view));
}

export function addEvent(view, event) {
  const newest = view.events[view.events.length - 1];
  // Ids only grow, across restarts of the relay too: one that does not came before.
  if (event.id != null && newest?.id != null && event.id <= newest.id) return;
  view.events.push(event);
  if (view.events.length > KEPT) view.events.splice(0, view.events.length - KEPT);
  scheduleDraw(view);
}

// Shows only route's events (null: every route's).
export function showRoute(view, route) {
  view.route = route;
  scheduleDraw(view);
}

export function clearEvents(view) {
  view.events = [];
  scheduleDraw(view);
}
