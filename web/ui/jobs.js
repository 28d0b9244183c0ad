// Jobs: the jobs this user may run, a filter, and Run (the job's dialog
// first when it has one). Running jobs carry a mark; the list is asked
// for again every few seconds while it is shown.

import {api} from './api.js';
import {el, fill, labelled, notice} from './dom.js';
import {startRun} from './handoff.js';

const REFRESH_MS = 5000;

// The first answer for the jobs page, asked for while the session is
// checked; taken once.
let early = null;
export function prefetchJobs() {
  early = api('/api/jobs', {quiet: true}).catch(() => null);
}

function matches(job, words) {
  const text = `${job.name} ${job.title || ''} ${job.description || ''}`.toLowerCase();
  return words.every((w) => text.includes(w));
}

function jobCard(job, go) {
  const titleId = `job-${job.name}`;
  const run = el('button', {type: 'button', class: 'primary', 'aria-describedby': titleId}, 'Run');
  run.addEventListener('click', () => {
    if (job.dialog) go(`#/dialog/${encodeURIComponent(job.name)}`);
    else startRun(go, job.name, {arguments: [], fields: {}, listbox: {}});
  });
  return el('li', {class: 'job', 'data-job': job.name},
    el('div', {class: 'job-head'},
      el('h2', {id: titleId}, job.title || job.name),
      job.running ? el('span', {class: 'running-mark'}, 'running') : null),
    job.title && job.title !== job.name ? el('p', {class: 'job-name'}, job.name) : null,
    job.description ? el('p', {class: 'job-text'}, job.description) : null,
    el('div', {class: 'job-actions'}, run));
}

export async function jobsPage(main, {go}) {
  const filter = el('input', {type: 'search', name: 'filter', autocomplete: 'off'});
  const list = el('ul', {class: 'jobs', 'aria-label': 'Jobs'});
  const status = el('p', {class: 'count', role: 'status'});
  const message = el('div', {class: 'message-slot'});
  main.append(
    el('h1', {}, 'Jobs'),
    el('div', {class: 'toolbar'}, labelled('Filter', filter), status),
    message,
    list);

  let jobs = [];
  let shownText = '';
  const render = () => {
    const words = filter.value.toLowerCase().split(/\s+/).filter(Boolean);
    const shown = jobs.filter((j) => matches(j, words));
    // Rebuilding the list must not take the keyboard focus away.
    const focused = document.activeElement?.closest?.('li.job')?.dataset.job;
    fill(list, shown.map((j) => jobCard(j, go)));
    if (focused) list.querySelector(`li.job[data-job="${CSS.escape(focused)}"] button`)?.focus();
    status.textContent = jobs.length === 0 ? 'You may run no jobs.'
      : shown.length === jobs.length ? `${jobs.length} jobs` : `${shown.length} of ${jobs.length} jobs`;
  };
  const load = async () => {
    try {
      const first = early ? await early : null;
      early = null;
      const fresh = first || (await api('/api/jobs'));
      message.replaceChildren();
      // Unchanged jobs are left alone, and so is the keyboard's place.
      const text = JSON.stringify(fresh);
      if (text === shownText) return;
      shownText = text;
      jobs = fresh;
      render();
    } catch (e) {
      fill(message, notice(e.message));
    }
  };
  filter.addEventListener('input', render);
  await load();
  filter.focus();
  // When the jobs are on the screen and usable (read by bench/browser).
  performance.mark('kestrun-jobs-ready');
  const timer = setInterval(() => {
    if (!document.hidden) load();
  }, REFRESH_MS);
  return () => clearInterval(timer);
}
