// The terminal view of a run's output. xterm.js (installed beside the
// pages in xterm/) renders the job's escape sequences; it is loaded only
// when a run is shown, so the jobs page stays small. Without it the output
// goes into plain text with the escape sequences removed.
//
// The view keeps the last 10,000 lines. A job can write faster than any
// terminal can draw: while more than HIGH_WATER bytes wait to be drawn,
// new output is held back and only its last KEEP bytes are kept; the
// terminal then says that output was skipped (the history has all of it).

import {el} from './dom.js';

export const SCROLLBACK = 10000;
const HIGH_WATER = 4 << 20;
const LOW_WATER = 1 << 20;
const KEEP = 1 << 20;
const SKIPPED = '\r\n\x1b[7m[output skipped here to keep up; the history keeps all of it]\x1b[0m\r\n';

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
    this.pending = 0;
    this.held = [];
    this.heldBytes = 0;
    this.skipped = false;
    this.decoder = new TextDecoder();
    this.ready = this.open();
  }

  async open() {
    const lib = await loadLibrary();
    if (!this.box.isConnected) return;
    if (!lib) {
      this.plain = el('pre', {class: 'plain-output'});
      this.lines = [];
      this.box.append(this.plain);
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
  }

  // As many columns and rows as the box has room for.
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
  }

  // Bytes (Uint8Array) or text.
  write(data) {
    if (this.term) {
      if (this.pending > HIGH_WATER) {
        this.hold(data);
        return;
      }
      this.draw(data);
    } else if (this.plain) {
      this.writePlain(typeof data === 'string' ? data : this.decoder.decode(data, {stream: true}));
    } else {
      this.ready.then(() => this.write(data));
    }
  }

  draw(data) {
    const size = data.length;
    this.pending += size;
    this.term.write(data, () => {
      this.pending -= size;
      if (this.pending < LOW_WATER && this.held.length) this.release();
    });
  }

  hold(data) {
    this.held.push(data);
    this.heldBytes += data.length;
    while (this.heldBytes > KEEP && this.held.length > 1) {
      this.heldBytes -= this.held.shift().length;
      this.skipped = true;
    }
  }

  release() {
    const held = this.held;
    this.held = [];
    this.heldBytes = 0;
    if (this.skipped) this.draw(SKIPPED);
    this.skipped = false;
    for (const data of held) this.draw(data);
  }

  writePlain(text) {
    // eslint-disable-next-line no-control-regex
    const clean = text.replace(/\x1b\[[0-9;?]*[ -/]*[@-~]|\x1b\][^\x07]*\x07|\x1b[@-_]|\r(?!\n)/g, '');
    this.plain.append(clean);
    const lines = this.plain.textContent.split('\n');
    if (lines.length > SCROLLBACK) this.plain.textContent = lines.slice(-SCROLLBACK).join('\n');
    this.box.scrollTop = this.box.scrollHeight;
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
  flushed() {
    if (!this.term) return this.ready;
    return new Promise((resolve) => this.term.write('', resolve));
  }

  dispose() {
    this.resizeObserver?.disconnect();
    this.term?.dispose();
    this.box.remove();
  }
}
