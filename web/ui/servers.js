// Servers: the servers that share this server's run history (or this
// server alone), each with its state and a link to its own console. The
// links are plain anchors to the other console's origin: nothing is asked
// of another origin from here.

import {api} from './api.js';
import {el, fill, formatTime, notice} from './dom.js';

const REFRESH_MS = 10000;

// The web address of a console as a link target, or '' when it is not an
// http or https address (a row of the shared database is not trusted to
// carry a script URL).
export function consoleLink(address, hash = '') {
  if (!address) return '';
  let url;
  try {
    url = new URL(address);
  } catch {
    return '';
  }
  if (url.protocol !== 'http:' && url.protocol !== 'https:') return '';
  return `${url.origin}${url.pathname.replace(/\/*$/, '/')}${hash}`;
}

export async function serversPage(main) {
  const message = el('div', {class: 'message-slot'});
  const note = el('p', {class: 'page-note'});
  const body = el('tbody');
  const count = el('p', {class: 'count', role: 'status'});
  main.append(
    el('h1', {}, 'Servers'),
    note,
    count,
    message,
    el('div', {class: 'table-wrap'},
      el('table', {class: 'grid'},
        el('thead', {}, el('tr', {}, ['Server', 'State', 'Console', 'Version', 'Running jobs', 'Last seen']
          .map((h) => el('th', {scope: 'col'}, h)))),
        body)));

  const row = (server) => {
    const link = consoleLink(server.console);
    const name = server.this ? `${server.name} (this server)` : server.name;
    return el('tr', {'data-server': server.name},
      el('td', {'data-label': 'Server'}, name),
      el('td', {'data-label': 'State', class: server.state === 'up' ? 'live' : 'stale'}, server.state),
      el('td', {'data-label': 'Console'},
        link ? el('a', {href: link, rel: 'noopener'}, server.console) : server.console || 'none'),
      el('td', {'data-label': 'Version'}, server.version),
      el('td', {'data-label': 'Running jobs'}, String(server.running)),
      el('td', {'data-label': 'Last seen'}, formatTime(server.last_seen)));
  };

  let shownText = '';
  const load = async () => {
    let reply;
    try {
      reply = await api('/api/servers');
    } catch (e) {
      fill(message, notice(e.message));
      return;
    }
    // The database away: this server's own row still shows, with why.
    if (reply.error) fill(message, notice(reply.error));
    else fill(message);
    const text = JSON.stringify(reply);
    if (text === shownText) return;
    shownText = text;
    note.textContent = reply.fleet
      ? 'The servers that share this run history.'
      : 'This server keeps its run history to itself.';
    fill(body, reply.servers.map(row));
    const n = reply.servers.length;
    count.textContent = n === 1 ? '1 server' : `${n} servers`;
  };
  await load();
  const timer = setInterval(() => {
    if (!document.hidden) load();
  }, REFRESH_MS);
  return () => clearInterval(timer);
}
