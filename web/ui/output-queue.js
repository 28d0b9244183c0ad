// Output of a run waiting to be drawn, bounded by what a terminal of
// 10,000 lines can still show. Used by the terminal view and by the worker
// that reads a run's socket; imports nothing, so that both can load it.
//
// When the queue holds more than TRIM_BYTES beyond its last look, the
// bytes before its last KEEP_LINES lines are dropped: drawn, they would
// scroll out of the view before it could show them, so the terminal ends
// with the same last 10,000 lines as if it had drawn all of them (the
// history keeps the whole output). Only an escape sequence's state carried
// across the dropped lines (a colour left set, a title) can be missed.

export const SCROLLBACK = 10000;  // lines a terminal keeps, screen included
const KEEP_LINES = SCROLLBACK + 1;
const TRIM_BYTES = 1 << 20;
// Lines longer than the view is wide wrap: this many bytes fill 10,000
// rows of 200 columns: bytes before them would hardly ever show either.
const MAX_BYTES = 2 << 20;
const NEWLINE = 10;

export class OutputQueue {
  constructor() {
    this.pieces = [];  // Uint8Array
    this.queued = 0;
    this.trimAt = TRIM_BYTES;
    this.dropped = 0;
  }

  push(bytes) {
    if (!bytes.length) return;
    this.pieces.push(bytes);
    this.queued += bytes.length;
    if (this.queued > this.trimAt) this.trim();
  }

  // Up to `bytes` from the head, in pieces of at most `most` bytes.
  take(bytes, most = Infinity) {
    const parts = [];
    while (bytes > 0 && this.pieces.length) {
      const head = this.pieces[0];
      const n = Math.min(head.length, bytes, most);
      parts.push(head.subarray(0, n));
      if (n === head.length) this.pieces.shift();
      else this.pieces[0] = head.subarray(n);
      this.queued -= n;
      bytes -= n;
    }
    return parts;
  }

  clear() {
    this.pieces = [];
    this.queued = 0;
  }

  // Drops the bytes before the last KEEP_LINES lines (and before the last
  // MAX_BYTES). The next look comes after TRIM_BYTES more, so that a queue
  // of long lines is not searched again for every piece.
  trim() {
    this.cut();
    this.trimAt = this.queued + TRIM_BYTES;
  }

  cut() {
    const pieces = this.pieces;
    let lines = 0;
    let keep = 0;  // bytes kept from the end
    let i = pieces.length - 1;
    let cut = -1;  // where the kept part begins in pieces[i]
    for (; i >= 0; i--) {
      const piece = pieces[i];
      let at = piece.length;
      while (at > 0 && cut < 0) {
        const newline = piece.lastIndexOf(NEWLINE, at - 1);
        if (newline < 0) break;
        at = newline;
        if (++lines === KEEP_LINES) cut = newline + 1;
      }
      if (cut < 0 && keep + piece.length > MAX_BYTES) {
        // A line too long to show whole: its last MAX_BYTES, from the
        // start of a character.
        cut = piece.length - (MAX_BYTES - keep);
        while (cut < piece.length && (piece[cut] & 0xc0) === 0x80) cut++;
      }
      if (cut >= 0) break;
      keep += piece.length;
    }
    if (cut < 0) return;  // fewer lines than the view holds
    let dropped = cut;
    for (let j = 0; j < i; j++) dropped += pieces[j].length;
    this.pieces = pieces.slice(i);
    this.pieces[0] = this.pieces[0].subarray(cut);
    if (!this.pieces[0].length) this.pieces.shift();
    this.queued -= dropped;
    this.dropped += dropped;
  }
}
