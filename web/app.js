// Wires the page: the key form, the one-second poll of the relay, and what the controls call.
import * as api from './api.js';
import { addEvent, clearEvents, createEventList, showRoute } from './events.js';
import { renderLog } from './log.js';
import { renderRoutes } from './routes.js';

const POLL_MS = 1000;
// Listing a recording reads its folder: every tenth poll is often enough.
const RECORDINGS_EVERY_POLLS = 10;
let polls = 0;
let recordingLists = new Map(); // "rid/tid" -> the last list fetched
const $ = (id) => document.getElementById(id);

let signedIn = false;
let session = 0; // bumped at each sign-in and sign-out; a poll of an older session is void
let timer = 0;
let queue = Promise.resolve(); // polls run one after another, never two at once
let stopEvents = null; // ends the event stream of the signed-in key
const eventList = createEventList($('events'), $('events-route'));

// Everything the views show, fetched afresh: the route document merged with activity,
// endpoint states, history and connections of each route, and the log tail.
async function fetchState() {
  const [routeDocument, active, endpoints, log] = await Promise.all([
    api.allInfo(),
    api.activeRoutes(),
    api.endpoints(),
    api.logs(),
  ]);
  const ids = Object.keys(routeDocument ?? {})
    .map(Number)
    .sort((a, b) => a - b);
  const listNow = polls++ % RECORDINGS_EVERY_POLLS === 0;
  if (listNow) recordingLists = await fetchRecordingLists(routeDocument ?? {});
  const routes = await Promise.all(
    ids.map(async (id) => {
      const [activeTargets, history, connections] = await Promise.all([
        api.activeTargets(id),
        api.history(id),
        api.connections(id),
      ]);
      return {
        ...routeDocument[id],
        id,
        active: active?.includes(id) ?? false,
        endpoints: endpoints?.[id] ?? null,
        activeTargets,
        history,
        connections,
        recordings: Object.keys(routeDocument[id].targets ?? {}).flatMap((tid) =>
          (recordingLists.get(`${id}/${tid}`) ?? []).map((segment) => ({
            ...segment,
            target_id: Number(tid),
          })),
        ),
      };
    }),
  );
  return { routes, log };
}

// The closed segments of every file:// target, by "rid/tid".
async function fetchRecordingLists(routeDocument) {
  const keys = Object.entries(routeDocument).flatMap(([rid, route]) =>
    Object.entries(route.targets ?? {})
      .filter(([, target]) => String(target.url ?? '').startsWith('file://'))
      .map(([tid]) => [rid, tid]),
  );
  const lists = await Promise.all(keys.map(([rid, tid]) => api.recordings(rid, tid)));
  return new Map(keys.map(([rid, tid], i) => [`${rid}/${tid}`, lists[i] ?? []]));
}

function showStatus(text, state) {
  const status = $('status');
  status.textContent = text;
  status.className = `status ${state}`;
}

async function poll() {
  clearTimeout(timer);
  const mine = session;
  if (!signedIn) return;
  try {
    const state = await fetchState();
    if (mine !== session) return;
    $('key-form').hidden = true;
    $('dashboard').hidden = false;
    $('sign-out').hidden = false;
    // A read key sees every view and no control that would change anything.
    const readOnly = api.readOnly();
    if (readOnly !== actions.readOnly) {
      actions.readOnly = readOnly;
      renderRoutes($('routes'), [], actions);
    }
    $('create-route').hidden = readOnly;
    renderRoutes($('routes'), state.routes, actions);
    $('no-routes').hidden = state.routes.length !== 0;
    renderLog($('log'), state.log);
    showStatus(readOnly ? 'live · read-only key' : 'live', 'live');
  } catch (error) {
    if (mine !== session) return;
    if (error instanceof api.AuthError) {
      signOut(`The relay refused this key: ${error.message}.`);
      return;
    }
    showStatus(
      error instanceof api.OfflineError ? 'reconnecting…' : `error: ${error.message}`,
      'stale',
    );
  }
  if (signedIn) timer = setTimeout(refresh, POLL_MS);
}

// Polls now, after any poll under way; resolves when the views show the result.
function refresh() {
  queue = queue.then(poll);
  return queue;
}

// Forgets the key and every shown value; message says why, if there is a reason.
function signOut(message = '') {
  signedIn = false;
  session += 1;
  clearTimeout(timer);
  api.apiKey.clear();
  renderRoutes($('routes'), [], actions);
  stopEvents?.();
  stopEvents = null;
  clearEvents(eventList);
  $('log').textContent = '';
  $('dashboard').hidden = true;
  $('sign-out').hidden = true;
  $('key-form').hidden = false;
  $('auth-error').textContent = message;
  showStatus('', '');
  $('key-input').focus();
}

function signIn(key) {
  api.apiKey.set(key);
  polls = 0;
  recordingLists = new Map();
  signedIn = true;
  session += 1;
  $('auth-error').textContent = '';
  showStatus('connecting…', 'stale');
  stopEvents?.();
  stopEvents = api.followEvents(
    (event) => addEvent(eventList, event),
    (state) => {
      $('events-state').textContent = state === 'live' ? '' : 'reconnecting…';
    },
  );
  refresh();
}

// A route is opened by its "Events" link (#events-<id>): the list shows its events only.
function openRouteFromHash() {
  const match = /^#events-(\d+)$/.exec(location.hash);
  showRoute(eventList, match ? Number(match[1]) : null);
  $('events-all').hidden = !match;
  if (match) $('events').scrollIntoView({ block: 'nearest' });
}

// Asks inside the page; resolves true when the operator says yes.
function confirmInPage(text) {
  const dialog = $('confirm');
  $('confirm-text').textContent = text;
  dialog.returnValue = '';
  dialog.showModal();
  return new Promise((resolve) => {
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'yes'), { once: true });
  });
}

// What the views' controls use: run a call, show its error next to the control, refresh.
// readOnly: the key may only read, so the views leave their controls out.
const actions = {
  readOnly: false,
  confirm: confirmInPage,
  async run(errorNode, call, onSuccess) {
    errorNode.textContent = '';
    try {
      await call();
      onSuccess?.();
    } catch (error) {
      if (error instanceof api.AuthError) {
        signOut(`The relay refused this key: ${error.message}.`);
        return;
      }
      errorNode.textContent =
        error instanceof api.OfflineError ? 'The relay is not reachable.' : error.message;
    }
    await refresh();
  },
};

$('key-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const key = $('key-input').value.trim();
  $('key-input').value = '';
  if (!/^[\x21-\x7e]+$/.test(key)) {
    $('auth-error').textContent = 'An API key is made of visible ASCII characters.';
    return;
  }
  signIn(key);
});
$('sign-out').addEventListener('click', () => signOut());
window.addEventListener('hashchange', openRouteFromHash);
openRouteFromHash();
$('create-route').addEventListener('click', () =>
  actions.run($('create-route-error'), api.createRoute),
);

if (api.apiKey.get()) signIn(api.apiKey.get());
else signOut();
