// History: the runs so far, newest first, filtered by job and user, and,
// when servers share the run history, by server; each run opens its record
// and stored output (another server's from the shared history, with a link
// to that server's console).

import {api} from './api.js';
import {el, fill, formatDuration, formatTime, labelled, notice} from './dom.js';
import {resultText} from './record.js';
import {consoleLink} from './servers.js';

const LIMIT = 200;

export async function historyPage(main, {query, go}) {
  const job = el('input', {name: 'job', autocomplete: 'off', spellcheck: 'false', value: query.get('job') || ''});
  const user = el('input', {name: 'user', autocomplete: 'off', spellcheck: 'false', value: query.get('user') || ''});
  const server = el('select', {name: 'server'});
  const serverField = labelled('Server', server);
  serverField.hidden = true;
  const form = el('form', {class: 'toolbar', role: 'search'},
    labelled('Job', job), labelled('User', user), serverField, el('button', {type: 'submit'}, 'Show'));
  const message = el('div', {class: 'message-slot'});
  const body = el('tbody');
  const count = el('p', {class: 'count', role: 'status'});
  main.append(
    el('h1', {}, 'History'),
    form,
    count,
    message,
    el('div', {class: 'table-wrap'},
      el('table', {class: 'grid'},
        el('thead', {}, el('tr', {}, ['Run', 'Server', 'Job', 'User', 'Started', 'Duration', 'Result'].map((h) => el('th', {scope: 'col'}, h)))),
        body)));

  form.addEventListener('submit', (event) => {
    event.preventDefault();
    const q = new URLSearchParams();
    if (job.value.trim()) q.set('job', job.value.trim());
    if (user.value.trim()) q.set('user', user.value.trim());
    if (!serverField.hidden && server.value) q.set('server', server.value);
    const text = q.toString();
    go(`#/history${text ? '?' + text : ''}`);
  });

  const q = new URLSearchParams({limit: String(LIMIT)});
  if (job.value) q.set('job', job.value);
  if (user.value) q.set('user', user.value);
  const wanted = query.get('server') || '';
  if (wanted) q.set('server', wanted);
  let runs;
  let fleet = null;
  try {
    // The servers only name the filter's choices and the consoles to link
    // to: the history is shown without them.
    [runs, fleet] = await Promise.all([
      api(`/api/history?${q}`),
      api('/api/servers').catch(() => null),
    ]);
  } catch (e) {
    fill(message, notice(e.message));
    return;
  }
  const consoles = new Map();
  let self = '';
  if (fleet) {
    self = fleet.this;
    for (const s of fleet.servers) consoles.set(s.name, s.console);
    if (fleet.fleet) {
      const names = fleet.servers.map((s) => s.name).filter((n) => n !== self);
      if (wanted && wanted !== 'all' && wanted !== self && !names.includes(wanted)) names.push(wanted);
      fill(server,
        el('option', {value: ''}, 'This server'),
        el('option', {value: 'all'}, 'All servers'),
        names.map((n) => el('option', {value: n}, n)));
      server.value = wanted === self ? '' : wanted;
      serverField.hidden = false;
    }
  }
  if (Array.isArray(runs?.runs)) runs = runs.runs;
  // This server's runs open here; another's here from the shared history,
  // and on its own console, when it has one.
  const runLink = (run) => {
    const id = String(run.id);
    if (!run.server || run.server === self || !self) return el('a', {href: `#/runs/${run.id}`}, id);
    const here = el('a', {href: `#/runs/${run.id}?server=${encodeURIComponent(run.server)}`}, id);
    const link = consoleLink(consoles.get(run.server), `#/runs/${run.id}`);
    return link ? [here, ' ', el('a', {href: link, rel: 'noopener', 'aria-label': `Run ${id} on ${run.server}`}, '↗')] : here;
  };
  fill(body, runs.map((run) => el('tr', {'data-run': String(run.id), 'data-server': run.server || ''},
    el('td', {'data-label': 'Run'}, runLink(run)),
    el('td', {'data-label': 'Server'}, run.server || ''),
    el('td', {'data-label': 'Job'}, run.job),
    el('td', {'data-label': 'User'}, run.node ? `${run.user}@${run.node}` : run.user),
    el('td', {'data-label': 'Started'}, formatTime(run.started)),
    el('td', {'data-label': 'Duration'}, run.ended ? formatDuration(run.ended - run.started) : ''),
    el('td', {'data-label': 'Result', class: run.outcome ? '' : 'live'}, resultText(run)))));
  count.textContent = runs.length === 0 ? 'No runs.' : runs.length === 1 ? '1 run' : `${runs.length} runs`;
}
