// Every call to the relay: the key header, JSON decoding, and status 555 turned into its text.

const KEY_SLOT = 'mirevo-api-key';
const CALL_TIMEOUT_MS = 5000;
// The relay refuses a missing or wrong key with one of these texts (not JSON).
const REFUSALS = ['API key does not exist', 'API key does not same with registered API key'];

// The key was refused: the page must ask for it again and show no data.
export class AuthError extends Error {}
// The relay answered with an error; message is its "error" text.
export class RelayError extends Error {}
// The relay could not be reached (restarting, network down).
export class OfflineError extends Error {}

// What the key may do, as the relay's last answer said (X-Api-Access): 'full' or 'read'.
let access = 'full';
export const readOnly = () => access === 'read';

// The key lives in this tab's sessionStorage only, never in a URL or localStorage.
export const apiKey = {
  get: () => sessionStorage.getItem(KEY_SLOT) ?? '',
  set: (key) => {
    access = 'full';
    sessionStorage.setItem(KEY_SLOT, key);
  },
  clear: () => {
    access = 'full';
    sessionStorage.removeItem(KEY_SLOT);
  },
};

// One request; returns the body text of a success, throws one of the errors above.
async function call(method, path, query = {}) {
  const pairs = Object.entries(query).map(
    ([name, value]) => `${name}=${encodeURIComponent(String(value))}`,
  );
  const url = `/api/${path}${pairs.length ? '?' + pairs.join('&') : ''}`;
  let response;
  try {
    response = await fetch(url, {
      method,
      headers: { Authorization: `Bearer ${apiKey.get()}` },
      cache: 'no-store',
      signal: AbortSignal.timeout(CALL_TIMEOUT_MS),
    });
  } catch {
    throw new OfflineError('relay unreachable');
  }
  let text;
  try {
    text = await response.text();
  } catch {
    throw new OfflineError('relay unreachable');
  }
  if (response.status === 555) {
    if (REFUSALS.includes(text.trim())) throw new AuthError(text.trim());
    let message = text;
    try {
      message = JSON.parse(text).error ?? text;
    } catch {
      // not JSON: the text itself is the reason
    }
    throw new RelayError(message);
  }
  if (!response.ok) throw new RelayError(`HTTP status ${response.status}`);
  access = response.headers.get('X-Api-Access') ?? access;
  return text;
}

// JSON of a GET; null for an empty answer (a path this relay does not know).
async function getJson(path, query) {
  const text = await call('GET', path, query);
  return text === '' ? null : JSON.parse(text);
}

// Reading state.
export const allInfo = () => getJson('all_info');
export const activeRoutes = () => getJson('active_routes');
export const activeTargets = (rid) => getJson(`routes/${rid}/active_targets`);
export const history = (rid) => getJson('history', { route_id: rid });
export const connections = (rid) => getJson('connections', { route_id: rid });
export const endpoints = () => getJson('endpoints');
export const logs = () => call('GET', 'logs');
export const recordings = (rid, tid) => getJson('recordings', { route_id: rid, target_id: tid });

// Saves one recorded segment as a file: fetched with the key header (never in a link), with no
// time limit, then handed to the browser's download.
export async function downloadRecording(rid, tid, name) {
  const response = await fetch(`/api/recordings/${rid}/${tid}/${encodeURIComponent(name)}`, {
    headers: { Authorization: `Bearer ${apiKey.get()}` },
  }).catch(() => {
    throw new OfflineError('relay unreachable');
  });
  if (!response.ok) throw new RelayError(`HTTP status ${response.status}`);
  const link = document.createElement('a');
  link.href = URL.createObjectURL(await response.blob());
  link.download = name;
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
}

// Changing it; each resolves once the relay said yes.
export const createRoute = () => call('POST', 'routes/route');
export const deleteRoute = (rid) => call('DELETE', `routes/${rid}`);
export const addTarget = (rid) => call('POST', `routes/${rid}/targets`);
export const deleteTarget = (rid, tid) => call('DELETE', `routes/${rid}/targets/${tid}`);
export const enableSource = (rid, on) => call('OPTIONS', `routes/${rid}`, { enabled: on ? 1 : 0 });
export const enableTarget = (rid, tid, on) =>
  call('OPTIONS', `routes/${rid}/targets/${tid}`, { enabled: on ? 1 : 0 });
export const updateSource = (rid, { enabled, mode, url }) =>
  call('PUT', `routes/${rid}/source`, { enabled: enabled ? 1 : 0, mode, url });
export const updateTarget = (rid, tid, { enabled, mode, url }) =>
  call('PUT', `routes/${rid}/targets/${tid}`, { enabled: enabled ? 1 : 0, mode, url });
export const kickConnection = (id) => call('DELETE', `connections/${id}`);

const STREAM_RETRY_MS = 2000;

// The blocks of an event stream in text: complete ones out, the unfinished rest back.
function takeFrames(text) {
  const blocks = text.replace(/\r\n?/g, '\n').split('\n\n');
  const rest = blocks.pop();
  const frames = blocks.map((block) => {
    const frame = { id: null, data: [] };
    for (const line of block.split('\n')) {
      if (line.startsWith('id:')) frame.id = line.slice(3).trim();
      else if (line.startsWith('data:')) frame.data.push(line.slice(5).replace(/^ /, ''));
    }
    return frame;
  });
  return { frames, rest };
}

/*
 * Follows /api/events: onEvent(event) for each event in order, onState('live' or
 * 'reconnecting') as the stream comes and goes. Read with fetch rather than
 * EventSource, so the key travels in its header and never in a URL; after a drop
 * it asks again with Last-Event-ID, as EventSource would, and misses nothing the
 * relay still keeps. The first request asks for everything kept. Returns stop().
 */
export function followEvents(onEvent, onState) {
  const controller = new AbortController();
  let lastId = '0';
  async function readOnce() {
    const response = await fetch('/api/events', {
      headers: { Authorization: `Bearer ${apiKey.get()}`, 'Last-Event-ID': lastId },
      cache: 'no-store',
      signal: controller.signal,
    });
    if (!response.ok || !response.body) return;
    onState('live');
    const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
    let pending = '';
    for (;;) {
      const { value, done } = await reader.read();
      if (done) return;
      const { frames, rest } = takeFrames(pending + value);
      pending = rest;
      for (const frame of frames) {
        if (frame.id !== null) lastId = frame.id;
        if (frame.data.length === 0) continue;
        try {
          onEvent(JSON.parse(frame.data.join('\n')));
        } catch {
          // not JSON: not an event this page knows
        }
      }
    }
  }
  (async () => {
    while (!controller.signal.aborted) {
      try {
        await readOnce();
      } catch {
        // dropped or unreachable: asked again below
      }
      if (controller.signal.aborted) return;
      onState('reconnecting');
      await new Promise((resolve) => setTimeout(resolve, STREAM_RETRY_MS));
    }
  })();
  return () => controller.abort();
}
