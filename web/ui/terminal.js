// The terminal view of a run's output. xterm.js (installed beside the
// pages in xterm/) renders the job's escape sequences; it is loaded only
// when a run is shown, so the jobs page stays small. Without it the output
// goes into plain text with the escape sequences removed.
//
// The view keeps the last 10,000 lines, screen included. A job can write
// far faster than a terminal can parse and draw (tens of MB/s), so output
// is not handed to xterm as it arrives: it waits in an OutputQueue, which
// drops what would scroll out unseen, and once per animation frame a slice
// of it goes to xterm, sized so that xterm parses it in about TARGET_MS.
// The rest of the frame stays free for drawing, typing and clicking. A
// run's socket is read in a worker (run.js, run-socket-worker.js) that
// drops in the same way and passes only about two slices ahead (onUsed).

import {el} from './dom.js';
import {OutputQueue, SCROLLBACK} from './output-queue.js';

export {SCROLLBACK};
const TARGET_MS = 8;
const MIN_SLICE = 16 << 10;
const MAX_SLICE = 1 << 20;
// One write to xterm is parsed whole in one task: no piece is longer.
const PIECE = 16 << 10;

let library = null;

function loadScript(src) {
  return new Promise((resolve) => {
    const script = el('script', {src});
    script.addEventListener('load', () => resolve(true));
    script.addEventListener('error', () => resolve(false));
    document.head.append(script);
  });
}

function loadLibrary() {
  library ??= (async () => {
    document.head.append(el('link', {rel: 'stylesheet', href: 'xterm/xterm.css'}));
    if (!(await loadScript('xterm/xterm.js')) || typeof globalThis.Terminal !== 'function') return null;
    // The canvas renderer draws without style elements, which the
    // console's Content-Security-Policy would refuse.
    await loadScript('xterm/addon-canvas.js');
    return {Terminal: globalThis.Terminal, Canvas: globalThis.CanvasAddon?.CanvasAddon};
  })();
  return library;
}

export class OutputView {
  constructor(container, label) {
    this.box = el('div', {class: 'terminal', role: 'log', 'aria-label': label, tabindex: '0'});
    this.box.outputView = this; // read by the browser tests
    container.append(this.box);
    this.term = null;
    this.plain = null;
    this.queue = new OutputQueue();  // not yet handed to the terminal
    this.parsing = 0;  // bytes handed to xterm and not parsed yet
    this.slice = MIN_SLICE;  // bytes a frame hands over, adapted to xterm's pace
    this.frame = 0;
    this.idle = [];  // resolvers of flushed()
    this.counts = {received: 0, drawn: 0, frames: 0};
    // Told how many more bytes were drawn or dropped, so that a socket
    // worker passes more only as the view takes it (connectOutput).
    this.onUsed = null;
    this.used = 0;
    this.encoder = new TextEncoder();
    this.decoder = new TextDecoder();
    this.ready = this.open();
  }

  async open() {
    const lib = await loadLibrary();
    if (!this.box.isConnected) return;
    if (!lib) {
      this.plain = el('pre', {class: 'plain-output'});
      this.box.append(this.plain);
      this.schedule();
      return;
    }
    this.term = new lib.Terminal({
      scrollback: SCROLLBACK,
      convertEol: true,
      disableStdin: true,
      cursorBlink: false,
      fontSize: 13,
      fontFamily: 'ui-monospace, "DejaVu Sans Mono", Menlo, Consolas, monospace',
      theme: {background: '#101418', foreground: '#e6e6e6'},
    });
    // Loaded before open(), the canvas renderer is the only one made: the
    // DOM renderer's style elements never reach the page.
    if (lib.Canvas) {
      try {
        this.term.loadAddon(new lib.Canvas());
      } catch {
        // The DOM renderer still shows the text.
      }
    }
    this.term.open(this.box);
    this.fit();
    this.resizeObserver = new ResizeObserver(() => this.fit());
    this.resizeObserver.observe(this.box);
    this.schedule();
  }

  // As many columns and rows as the box has room for; the scrollback
  // holds what the screen does not, 10,000 lines in all.
  fit() {
    if (!this.term) return;
    const core = this.term._core;
    const cell = core?._renderService?.dimensions?.css?.cell;
    if (!cell || !cell.width || !cell.height) return;
    // The box's left padding and the viewport's scroll bar take room too.
    const viewport = this.box.querySelector('.xterm-viewport');
    const scrollBar = viewport ? viewport.offsetWidth - viewport.clientWidth : 0;
    const room = this.box.clientWidth - 12 - Math.max(scrollBar, 14);
    const cols = Math.max(20, Math.floor(room / cell.width));
    const rows = Math.max(5, Math.floor((this.box.clientHeight - 8) / cell.height));
    if (cols !== this.term.cols || rows !== this.term.rows) this.term.resize(cols, rows);
    if (this.term.options.scrollback !== SCROLLBACK - rows) this.term.options.scrollback = SCROLLBACK - rows;
  }

  // Bytes (Uint8Array) or text. Returns at once: the bytes are drawn in
  // the frames that follow.
  write(data) {
    const bytes = typeof data === 'string' ? this.encoder.encode(data) : data;
    this.counts.received += bytes.length;
    this.queue.push(bytes);
    this.schedule();
    this.report();
  }

  report() {
    const used = this.counts.received - this.queue.queued;
    if (used === this.used) return;
    this.onUsed?.(used - this.used);
    this.used = used;
  }

  schedule() {
    if (this.frame || this.parsing || this.disposed) return;
    if (!this.queue.queued) {
      const idle = this.idle;
      this.idle = [];
      for (const resolve of idle) resolve();
      return;
    }
    if (!this.term && !this.plain) return;  // open() schedules once ready
    this.frame = requestAnimationFrame(() => {
      this.frame = 0;
      this.draw();
    });
  }

  // Hands this frame's slice to the terminal. The next frame's waits
  // until xterm has parsed it; the time that took sizes the next slice.
  draw() {
    if (this.disposed) return;
    this.counts.frames++;
    if (this.plain) {
      const parts = this.take(this.queue.queued);
      for (const part of parts) this.writePlain(this.decoder.decode(part, {stream: true}));
      this.report();
      this.schedule();
      return;
    }
    // Behind by more than a frame: only the last lines can still show.
    if (this.queue.queued > this.slice) this.queue.trim();
    const parts = this.take(this.slice);
    this.report();
    if (!parts.length) return this.schedule();
    const began = performance.now();
    let left = parts.length;
    for (const part of parts) {
      this.parsing += part.length;
      this.term.write(part, () => {
        this.parsing -= part.length;
        if (--left) return;
        const took = performance.now() - began;
        if (took < TARGET_MS * 0.75) this.slice = Math.min(MAX_SLICE, Math.round(this.slice * 1.5));
        else if (took > TARGET_MS * 1.5) this.slice = Math.max(MIN_SLICE, Math.round(this.slice * 0.7));
        this.schedule();
      });
    }
  }

  take(bytes) {
    const parts = this.queue.take(bytes, this.plain ? Infinity : PIECE);
    for (const part of parts) this.counts.drawn += part.length;
    return parts;
  }

  writePlain(text) {
    // eslint-disable-next-line no-control-regex
    const clean = text.replace(/\x1b\[[0-9;?]*[ -/]*[@-~]|\x1b\][^\x07]*\x07|\x1b[@-_]|\r(?!\n)/g, '');
    this.plain.append(clean);
    const lines = this.plain.textContent.split('\n');
    if (lines.length > SCROLLBACK) this.plain.textContent = lines.slice(-SCROLLBACK).join('\n');
    this.plain.scrollTop = this.plain.scrollHeight;
  }

  // What became of the output so far: bytes received, handed to the
  // terminal and dropped unseen, frames drawn and the slice size now.
  stats() {
    return {...this.counts, dropped: this.queue.dropped, queued: this.queue.queued, slice: this.slice};
  }

  // The text on the screen and in the scrollback, for tests and copying.
  text() {
    if (this.plain) return this.plain.textContent;
    if (!this.term) return '';
    const buffer = this.term.buffer.active;
    const out = [];
    for (let i = 0; i < buffer.length; i++) out.push(buffer.getLine(i)?.translateToString(true) ?? '');
    return out.join('\n').replace(/\n+$/, '');
  }

  // Resolves when everything written so far is drawn.
  async flushed() {
    await this.ready;
    if (!this.term && !this.plain) return;
    await new Promise((resolve) => {
      this.idle.push(resolve);
      this.schedule();
    });
  }

  dispose() {
    this.disposed = true;
    if (this.frame) cancelAnimationFrame(this.frame);
    this.queue.clear();
    this.resizeObserver?.disconnect();
    this.term?.dispose();
    this.box.remove();
    for (const resolve of this.idle) resolve();
    this.idle = [];
  }
}
