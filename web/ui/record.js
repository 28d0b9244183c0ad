// A run of the history: its record, its stored output, and Follow for a
// run that is still going (its output so far, then live).

import {api} from './api.js';
import {el, fill, formatDuration, formatTime, notice} from './dom.js';
import {OutputView} from './terminal.js';
import {connectOutput, endText, outputSocket} from './run.js';

export function resultText(run) {
  if (!run.outcome) return 'running';
  const elapsed = run.ended && run.started ? run.ended - run.started : undefined;
  return endText(run, {elapsedMs: elapsed});
}

function list(values) {
  return values && values.length ? values.join(', ') : '';
}

function recordTable(run) {
  const rows = [
    ['Job', run.job],
    ['User', run.node ? `${run.user}@${run.node}` : run.user],
    ['Started', formatTime(run.started)],
    ['Ended', run.ended ? formatTime(run.ended) : ''],
    ['Duration', run.ended ? formatDuration(run.ended - run.started) : ''],
    ['Result', resultText(run)],
    ['Arguments', list(run.arguments)],
    ['Fields', list(run.fields)],
    ['List box', list(run.listbox)],
    ['Process', run.pid ? String(run.pid) : ''],
    ['Output', run.output_bytes !== undefined ? `${run.output_bytes} bytes` : ''],
  ];
  return el('dl', {class: 'record'}, rows.filter(([, v]) => v !== '').map(([k, v]) => [el('dt', {}, k), el('dd', {}, v)]));
}

export async function recordPage(main, {arg, query}) {
  const id = arg;
  // Another server's run is read from the shared history; it cannot be
  // followed from here.
  const server = query?.get('server') || '';
  const from = server ? `?server=${encodeURIComponent(server)}` : '';
  const heading = el('h1', {}, server ? `Run ${id} of ${server}` : `Run ${id}`);
  const details = el('div', {class: 'record-slot'});
  const bar = el('div', {class: 'run-bar'});
  const status = el('p', {class: 'run-status', role: 'status'});
  const outputSlot = el('div', {class: 'output-slot'});
  main.append(heading, details, el('h2', {}, 'Output'), bar, outputSlot);
  bar.append(status);

  let ws = null;
  let output = null;
  let run;
  try {
    run = await api(`/api/runs/${encodeURIComponent(id)}${from}`);
  } catch (e) {
    fill(details, notice(e.message));
    return;
  }
  heading.textContent = `Run ${run.id ?? id}${server ? ` of ${server}` : ''}: ${run.job}`;
  fill(details, recordTable(run));

  const follow = () => {
    follow.button.disabled = true;
    output?.dispose();
    output = new OutputView(outputSlot, `Output of run ${id}`);
    status.textContent = 'following…';
    ws = outputSocket(`/api/runs/${encodeURIComponent(id)}/follow`);
    const thisSocket = ws;
    connectOutput(ws, output, async (m) => {
      if (m.type === 'ended') {
        status.textContent = endText(m, {elapsedMs: run.started ? Date.now() - run.started : undefined});
        try {
          fill(details, recordTable(await api(`/api/runs/${encodeURIComponent(id)}`)));
        } catch {
          // The record shown stays.
        }
      } else if (m.type === 'refused' || m.type === 'error') {
        status.textContent = m.message || m.type;
      }
    });
    ws.addEventListener('close', () => {
      if (thisSocket === ws && status.textContent === 'following…') status.textContent = 'no longer following';
      follow.button.disabled = false;
    });
  };
  follow.button = el('button', {type: 'button', class: 'primary'}, 'Follow');
  follow.button.addEventListener('click', follow);

  if (!run.outcome && !server) {
    status.textContent = 'running';
    bar.append(follow.button);
  } else {
    output = new OutputView(outputSlot, `Output of run ${id}`);
    try {
      const pieces = await api(`/api/runs/${encodeURIComponent(id)}/output${from}`);
      for (const piece of pieces) output.write(piece.data);
      if (pieces.length === 0) status.textContent = 'no output';
    } catch (e) {
      status.textContent = e.message;
    }
  }
  return () => {
    if (ws && ws.readyState <= WebSocket.OPEN) ws.close(1000);
    ws = null;
    output?.dispose();
  };
}
