// A run's WebSocket, read on a thread of its own. On the page's thread a
// socket's messages wait behind drawing, and the browser reads no more
// from the network until they are taken: a busy terminal would slow the
// output to a few MB/s. Here output is taken as fast as it comes, kept in
// an OutputQueue (only what a terminal can still show) and passed to the
// page at most `window` bytes ahead of what the page has drawn or dropped
// ('took'); the page sets the window to about two frames of drawing, so
// that its thread gets no more than it can draw and the dropping is done
// here. Text messages (the run's JSON) pass at once.
//
// From the page: {type: 'open', url}, {type: 'send', data},
// {type: 'close', code}, {type: 'took', bytes, window}.
// To the page: {type: 'open'}, {type: 'text', data}, {type: 'output',
// data} (an ArrayBuffer: the stream byte 1, then the bytes),
// {type: 'close', code, reason, wasClean}, {type: 'error'}. Output and
// close also say how many output bytes came so far (`received`) over how
// many ms from the first (`span`), for the benchmarks.

import {OutputQueue} from './output-queue.js';

const queue = new OutputQueue();
let ws = null;
let windowBytes = 256 << 10;
let ahead = 0;  // bytes passed and not yet drawn or dropped by the page
let closed = null;
let unwanted = false;  // the page closed the socket: output is dropped
let received = 0;
let first = 0;
let span = 0;

function pass() {
  while (ahead < windowBytes && queue.queued) {
    const parts = queue.take(windowBytes - ahead);
    let n = 0;
    for (const part of parts) n += part.length;
    const out = new Uint8Array(n + 1);
    out[0] = 1;
    let at = 1;
    for (const part of parts) {
      out.set(part, at);
      at += part.length;
    }
    ahead += n;
    postMessage({type: 'output', data: out.buffer, received, span}, [out.buffer]);
  }
  if (closed && !queue.queued) {
    postMessage({type: 'close', ...closed, received, span});
    closed = null;
  }
}

function open(url) {
  ws = new WebSocket(url);
  ws.binaryType = 'arraybuffer';
  ws.addEventListener('open', () => postMessage({type: 'open'}));
  ws.addEventListener('error', () => postMessage({type: 'error'}));
  ws.addEventListener('message', (event) => {
    if (typeof event.data === 'string') {
      postMessage({type: 'text', data: event.data});
      return;
    }
    const bytes = new Uint8Array(event.data);
    const now = performance.now();
    first ||= now;
    span = now - first;
    received += bytes.length - 1;
    if (bytes.length > 1 && !unwanted) queue.push(bytes.subarray(1));
    pass();
  });
  ws.addEventListener('close', (event) => {
    closed = {code: event.code, reason: event.reason, wasClean: event.wasClean};
    pass();
  });
}

addEventListener('message', (event) => {
  const m = event.data;
  if (m.type === 'open') {
    open(m.url);
  } else if (m.type === 'send') {
    if (ws?.readyState === WebSocket.OPEN) ws.send(m.data);
  } else if (m.type === 'close') {
    // The page wants no more output: the close reaches it at once.
    unwanted = true;
    queue.clear();
    ws?.close(m.code);
  } else if (m.type === 'took') {
    ahead -= m.bytes;
    if (m.window > 0) windowBytes = m.window;
    pass();
  }
});
