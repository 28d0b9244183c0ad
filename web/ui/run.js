// Run: the job's output in a terminal as it arrives, a line box and an
// end-of-input button for its standard input, Stop when the job allows it,
// and the end as a status line. Leaving the page closes the socket; the
// run goes on, as it does for a native client, and History can follow it.

import {api, jobPath, socket} from './api.js';
import {el, fill, labelled, notice} from './dom.js';
import {takeRun} from './handoff.js';
import {OutputView} from './terminal.js';

// The text of a run's end, for the status line and the history.
export function endText(end, {stoppedByMe = false, elapsedMs} = {}) {
  const outcome = end.outcome || '';
  const by = end.ended_by || '';
  if (outcome === 'stopped') {
    if (stoppedByMe) return 'stopped by you';
    return by ? `stopped by ${by.replace(/^STOP_REQUEST of /, '')}` : 'stopped';
  }
  if (outcome === 'killed') {
    if (!by || by === 'KILL_JOB' || by === 'admin') return 'killed by admin';
    return `killed by ${by}`;
  }
  if (['refused', 'denied', 'launch-failed'].includes(outcome)) return end.message || outcome;
  if (outcome === 'connection-lost') return `connection lost, exit ${end.exit_code}`;
  if (outcome && outcome !== 'exited') return outcome;
  const code = end.exit_code ?? 0;
  return elapsedMs === undefined ? `exit ${code}` : `exit ${code} after ${(elapsedMs / 1000).toFixed(1)} s`;
}

// A run's WebSocket read by run-socket-worker.js on a thread of its own,
// behind the WebSocket interface the pages use (events open, message,
// error and close; send, close, readyState). Output comes as binary
// messages of stream byte and bytes, as from the server, but only as much
// as a terminal can still show. Without workers, the socket itself.
export function outputSocket(path) {
  let worker;
  try {
    worker = new Worker(new URL('./run-socket-worker.js', import.meta.url), {type: 'module'});
  } catch {
    return socket(path);
  }
  return new WorkerSocket(worker, path);
}

class WorkerSocket extends EventTarget {
  constructor(worker, path) {
    super();
    this.readyState = WebSocket.CONNECTING;
    this.worker = worker;
    worker.addEventListener('message', (event) => this.receive(event.data));
    worker.addEventListener('error', () => this.failed(path));
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    worker.postMessage({type: 'open', url: `${scheme}//${location.host}${path}`});
  }

  receive(m) {
    if (this.readyState === WebSocket.CLOSED) return;
    if (m.type === 'open') {
      this.readyState = WebSocket.OPEN;
      this.dispatchEvent(new Event('open'));
    } else if (m.type === 'text') {
      this.dispatchEvent(new MessageEvent('message', {data: m.data}));
    } else if (m.type === 'output') {
      // connectOutput says when the bytes are drawn (took); without it,
      // taking them is enough.
      if (!this.pacing) this.took(m.data.byteLength - 1);
      this.dispatchEvent(new MessageEvent('message', {data: m.data}));
    } else if (m.type === 'error') {
      this.dispatchEvent(new Event('error'));
    } else if (m.type === 'close') {
      this.readyState = WebSocket.CLOSED;
      this.worker.terminate();
      this.dispatchEvent(new CloseEvent('close', {code: m.code, reason: m.reason, wasClean: m.wasClean}));
    }
  }

  // The worker could not run: before the socket opened, the page reads
  // the socket itself; after, the connection is lost.
  failed(path) {
    this.worker.terminate();
    if (this.readyState !== WebSocket.CONNECTING || this.direct) {
      this.receive({type: 'close', code: 1006, reason: '', wasClean: false});
      return;
    }
    const ws = socket(path);
    this.direct = ws;
    for (const type of ['open', 'message', 'error', 'close']) {
      ws.addEventListener(type, (event) => {
        this.readyState = ws.readyState;
        this.dispatchEvent(new event.constructor(type, event));
      });
    }
  }

  // The page is done with `bytes` of output: the worker may pass as many
  // more, and keep up to `window` bytes passed and not yet done with.
  took(bytes, window) {
    if (!this.direct) this.worker.postMessage({type: 'took', bytes, window});
  }

  send(data) {
    if (this.direct) this.direct.send(data);
    else if (this.readyState === WebSocket.OPEN) this.worker.postMessage({type: 'send', data});
  }

  close(code) {
    if (this.direct) return this.direct.close(code);
    if (this.readyState > WebSocket.OPEN) return;
    this.readyState = WebSocket.CLOSING;
    this.worker.postMessage({type: 'close', code});
  }
}

// Feeds a run's socket into `output`: binary messages are a stream byte
// (1 standard output, 2 standard error) and the bytes; text messages are
// JSON and go to `onMessage`.
export function connectOutput(ws, output, onMessage) {
  if (ws instanceof WorkerSocket) {
    ws.pacing = true;
    // About two frames of drawing wait in the page; the rest in the worker.
    output.onUsed = (bytes) => ws.took(bytes, 2 * output.slice);
  }
  ws.addEventListener('message', (event) => {
    if (typeof event.data === 'string') {
      let message;
      try {
        message = JSON.parse(event.data);
      } catch {
        return;
      }
      onMessage(message);
    } else {
      const bytes = new Uint8Array(event.data);
      if (bytes.length > 1) output.write(bytes.subarray(1));
    }
  });
}

function splitArguments(text) {
  // Blanks separate arguments; "double quotes" keep blanks inside one.
  const out = [];
  for (const m of text.matchAll(/"([^"]*)"|(\S+)/g)) out.push(m[1] ?? m[2]);
  return out;
}

export async function runPage(main, {arg}) {
  const name = arg.toUpperCase();
  let job = null;
  try {
    job = (await api('/api/jobs')).find((j) => j.name.toUpperCase() === name) || null;
  } catch {
    // The run itself says what is wrong.
  }
  if (!main.isConnected) return null;  // another page is shown by now
  const title = job?.title || name;

  const argsBox = el('input', {name: 'arguments', autocomplete: 'off', spellcheck: 'false'});
  const runButton = el('button', {type: 'submit', class: 'primary'}, 'Run');
  const startForm = el('form', {class: 'toolbar'}, labelled('Arguments', argsBox), runButton);
  const status = el('p', {class: 'run-status', role: 'status', 'aria-live': 'polite'});
  const recordLink = el('p', {class: 'record-link'});
  const stop = el('button', {type: 'button', class: 'danger', hidden: true}, 'Stop');
  const line = el('input', {name: 'input', autocomplete: 'off', spellcheck: 'false', disabled: true});
  const send = el('button', {type: 'submit', disabled: true}, 'Send');
  const eof = el('button', {type: 'button', disabled: true}, 'End of input');
  const inputForm = el('form', {class: 'stdin'}, labelled('Input line', line), send, eof);
  const outputSlot = el('div', {class: 'output-slot'});

  main.append(
    el('h1', {}, title),
    job?.description ? el('p', {class: 'job-text'}, job.description) : null,
    startForm,
    el('div', {class: 'run-bar'}, status, stop),
    outputSlot,
    inputForm,
    recordLink);

  let ws = null;
  let output = null;
  let running = false;
  let stoppedByMe = false;
  let startedAt = 0;

  const setRunning = (on) => {
    running = on;
    runButton.disabled = on;
    argsBox.disabled = on;
    line.disabled = !on;
    send.disabled = !on;
    eof.disabled = !on;
  };

  const start = (message) => {
    if (running) return;
    output?.dispose();
    output = new OutputView(outputSlot, `Output of ${title}`);
    fill(recordLink);
    stoppedByMe = false;
    status.textContent = 'starting…';
    setRunning(true);
    ws = outputSocket(jobPath(name, 'run'));
    const thisSocket = ws;
    let ended = false;
    ws.addEventListener('open', () => thisSocket.send(JSON.stringify(message)));
    connectOutput(ws, output, (m) => {
      if (m.type === 'started') {
        startedAt = performance.now();
        status.textContent = `running (run ${m.run})`;
        // The job list says whether the job allows Stop as well.
        stop.hidden = !(m.allowstop || job?.allowstop);
        stop.disabled = false;
        if (m.run !== undefined) {
          fill(recordLink, el('a', {href: `#/runs/${m.run}`}, `Run ${m.run} in the history`));
        }
        line.focus();
      } else if (m.type === 'refused') {
        ended = true;
        status.textContent = m.message || 'refused';
        status.classList.add('bad');
      } else if (m.type === 'error') {
        // The server refused something this page sent; the run goes on.
        status.textContent = m.message || 'error';
        status.classList.add('bad');
        return;
      } else if (m.type === 'ended') {
        ended = true;
        const text = endText(m, {stoppedByMe, elapsedMs: performance.now() - startedAt});
        status.textContent = text;
        status.classList.toggle('bad', !(m.outcome === 'exited' || !m.outcome) || m.exit_code !== 0);
      }
      if (ended) {
        stop.hidden = true;
        setRunning(false);
      }
    });
    ws.addEventListener('close', () => {
      if (thisSocket !== ws) return;
      if (!ended) status.textContent = 'the connection to the server closed; the run goes on (see History)';
      stop.hidden = true;
      setRunning(false);
    });
  };

  startForm.addEventListener('submit', (event) => {
    event.preventDefault();
    status.classList.remove('bad');
    start({arguments: splitArguments(argsBox.value), fields: {}, listbox: {}});
  });
  inputForm.addEventListener('submit', (event) => {
    event.preventDefault();
    if (!running || ws?.readyState !== WebSocket.OPEN) return;
    ws.send(new TextEncoder().encode(`${line.value}\n`));
    line.value = '';
  });
  eof.addEventListener('click', () => {
    if (ws?.readyState === WebSocket.OPEN) ws.send(JSON.stringify({type: 'eof'}));
    line.disabled = true;
    send.disabled = true;
    eof.disabled = true;
  });
  stop.addEventListener('click', () => {
    if (ws?.readyState !== WebSocket.OPEN) return;
    stoppedByMe = true;
    stop.disabled = true;
    ws.send(JSON.stringify({type: 'stop'}));
  });

  const asked = takeRun(name);
  if (asked) {
    start(asked);
  } else if (!job) {
    main.insertBefore(notice(`There is no job ${name} that you may run.`), startForm);
  } else {
    argsBox.focus();
  }

  return () => {
    if (ws && ws.readyState <= WebSocket.OPEN) ws.close(1000);
    ws = null;
    output?.dispose();
  };
}
