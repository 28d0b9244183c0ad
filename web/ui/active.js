// Active jobs: what runs now (every job for admins, the user's own
// otherwise), with Kill for admins.

import {api, session} from './api.js';
import {el, fill, formatTime, notice} from './dom.js';

const REFRESH_MS = 3000;

function when(job) {
  const t = job.started ?? job.start ?? job.start_time;
  if (typeof t === 'number') return formatTime(t < 1e11 ? t * 1000 : t);
  return t ? String(t) : '';
}

export async function activePage(main) {
  const admin = Boolean(session.me?.admin);
  const message = el('div', {class: 'message-slot'});
  const body = el('tbody');
  const count = el('p', {class: 'count', role: 'status'});
  const headings = ['Job', 'User', 'Process', 'Started'];
  if (admin) headings.push(el('span', {class: 'visually-hidden'}, 'Actions'));
  main.append(
    el('h1', {}, 'Active jobs'),
    el('p', {class: 'page-note'}, admin ? 'Every running job; you may kill them.' : 'Your running jobs.'),
    count,
    message,
    el('div', {class: 'table-wrap'},
      el('table', {class: 'grid'},
        el('thead', {}, el('tr', {}, headings.map((h) => el('th', {scope: 'col'}, h)))),
        body)));

  const kill = async (job, button) => {
    button.disabled = true;
    try {
      await api(`/api/active/${encodeURIComponent(job.pid)}/kill`, {method: 'POST', body: {}});
      fill(message, notice(`Killed ${job.job || job.name} (process ${job.pid}).`, 'info'));
    } catch (e) {
      fill(message, notice(e.message));
      button.disabled = false;
    }
    load();
  };

  const row = (job) => {
    const name = job.job || job.name || '';
    const cells = [
      el('td', {'data-label': 'Job'}, job.lock ? `${name} (${job.lock})` : name),
      el('td', {'data-label': 'User'}, job.node ? `${job.user}@${job.node}` : job.user || ''),
      el('td', {'data-label': 'Process'}, String(job.pid ?? '')),
      el('td', {'data-label': 'Started'}, when(job)),
    ];
    if (admin) {
      const id = `active-${job.pid}`;
      cells[0].id = id;
      const button = el('button', {type: 'button', class: 'danger', 'aria-describedby': id}, 'Kill');
      button.addEventListener('click', () => kill(job, button));
      cells.push(el('td', {}, button));
    }
    return el('tr', {'data-pid': String(job.pid)}, cells);
  };

  let shownText = '';
  const load = async () => {
    try {
      const jobs = await api('/api/active');
      const text = JSON.stringify(jobs);
      if (text === shownText) return;
      shownText = text;
      const focusedPid = document.activeElement?.closest?.('tr')?.dataset.pid;
      fill(body, jobs.map(row));
      if (focusedPid) body.querySelector(`tr[data-pid="${CSS.escape(focusedPid)}"] button`)?.focus();
      count.textContent = jobs.length === 1 ? '1 job running' : `${jobs.length} jobs running`;
    } catch (e) {
      fill(message, notice(e.message));
    }
  };
  await load();
  const timer = setInterval(() => {
    if (!document.hidden) load();
  }, REFRESH_MS);
  return () => clearInterval(timer);
}
