// History: the runs so far, newest first, filtered by job and user; each
// run opens its record and stored output.

import {api} from './api.js';
import {el, fill, formatDuration, formatTime, labelled, notice} from './dom.js';
import {resultText} from './record.js';

const LIMIT = 200;

export async function historyPage(main, {query, go}) {
  const job = el('input', {name: 'job', autocomplete: 'off', spellcheck: 'false', value: query.get('job') || ''});
  const user = el('input', {name: 'user', autocomplete: 'off', spellcheck: 'false', value: query.get('user') || ''});
  const form = el('form', {class: 'toolbar', role: 'search'},
    labelled('Job', job), labelled('User', user), el('button', {type: 'submit'}, 'Show'));
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
        el('thead', {}, el('tr', {}, ['Run', 'Job', 'User', 'Started', 'Duration', 'Result'].map((h) => el('th', {scope: 'col'}, h)))),
        body)));

  form.addEventListener('submit', (event) => {
    event.preventDefault();
    const q = new URLSearchParams();
    if (job.value.trim()) q.set('job', job.value.trim());
    if (user.value.trim()) q.set('user', user.value.trim());
    const text = q.toString();
    go(`#/history${text ? '?' + text : ''}`);
  });

  const q = new URLSearchParams({limit: String(LIMIT)});
  if (job.value) q.set('job', job.value);
  if (user.value) q.set('user', user.value);
  let runs;
  try {
    runs = await api(`/api/history?${q}`);
  } catch (e) {
    fill(message, notice(e.message));
    return;
  }
  if (Array.isArray(runs?.runs)) runs = runs.runs;
  fill(body, runs.map((run) => el('tr', {'data-run': String(run.id)},
    el('td', {'data-label': 'Run'}, el('a', {href: `#/runs/${run.id}`}, String(run.id))),
    el('td', {'data-label': 'Job'}, run.job),
    el('td', {'data-label': 'User'}, run.node ? `${run.user}@${run.node}` : run.user),
    el('td', {'data-label': 'Started'}, formatTime(run.started)),
    el('td', {'data-label': 'Duration'}, run.ended ? formatDuration(run.ended - run.started) : ''),
    el('td', {'data-label': 'Result', class: run.outcome ? '' : 'live'}, resultText(run)))));
  count.textContent = runs.length === 0 ? 'No runs.' : runs.length === 1 ? '1 run' : `${runs.length} runs`;
}
