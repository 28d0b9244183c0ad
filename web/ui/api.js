// The console's one way to the server: JSON requests to /api on the page's
// own origin, and the WebSockets of runs. The session is the HttpOnly
// cookie the server set at login; the CSRF token it gave with the login is
// kept only in this page's memory, never in the browser's storage.

export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

// Who is logged in: {user, node, admin}, or null.
export const session = {me: null, csrf: ''};

// Called when the server says the session is gone (401), so that the
// console can show the login page.
let onLoggedOut = () => {};
export function whenLoggedOut(handler) {
  onLoggedOut = handler;
}

// `quiet`: a 401 is only thrown, without showing the login page.
export async function api(path, {method = 'GET', body, quiet = false} = {}) {
  const headers = {Accept: 'application/json'};
  if (method !== 'GET') {
    headers['X-Kestrun-CSRF'] = session.csrf;
  }
  if (body !== undefined) headers['Content-Type'] = 'application/json';
  let response;
  try {
    response = await fetch(path, {
      method,
      headers,
      body: body === undefined ? undefined : JSON.stringify(body),
      credentials: 'same-origin',
      cache: 'no-store',
    });
  } catch {
    throw new ApiError(0, 'The server cannot be reached.');
  }
  if (response.status === 204) return null;
  let data = null;
  const text = await response.text();
  if (text) {
    try {
      data = JSON.parse(text);
    } catch {
      data = null;
    }
  }
  if (!response.ok) {
    const message = data && typeof data.error === 'string' ? data.error : `The server answered ${response.status}.`;
    if (response.status === 401 && path !== '/api/login' && !quiet) {
      session.me = null;
      onLoggedOut();
    }
    throw new ApiError(response.status, message);
  }
  return data;
}

export async function login(user, password) {
  const answer = await api('/api/login', {method: 'POST', body: {user, password}});
  session.csrf = answer.csrf || '';
  session.me = await api('/api/me');
  return session.me;
}

// Asks the server whether the browser's cookie is still a session; a page
// loaded anew takes its CSRF token from there when the server offers it.
export async function whoAmI() {
  try {
    const me = await api('/api/me');
    if (me && typeof me.csrf === 'string' && me.csrf) session.csrf = me.csrf;
    session.me = me;
  } catch (e) {
    if (e.status !== 401) throw e;
    session.me = null;
  }
  return session.me;
}

export async function logout() {
  try {
    await api('/api/logout', {method: 'POST'});
  } finally {
    session.me = null;
    session.csrf = '';
  }
}

export function jobPath(name, what = '') {
  return `/api/jobs/${encodeURIComponent(name)}${what ? '/' + what : ''}`;
}

// A WebSocket to `path` on the page's own origin; the browser sends the
// Origin header and the cookie with the upgrade.
export function socket(path) {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  const ws = new WebSocket(`${scheme}//${location.host}${path}`);
  ws.binaryType = 'arraybuffer';
  return ws;
}
