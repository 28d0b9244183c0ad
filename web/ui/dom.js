// Building the pages' elements. Every text that comes from the server (a
// job's title, a field, a script's message, a run's output) goes in as a
// text node: nothing here ever parses HTML.

// el('button', {type: 'button', onclick: f}, 'Run') makes the element,
// sets its attributes and listeners and appends the children (strings
// become text nodes; null and false are skipped).
export function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (value === undefined || value === null || value === false) continue;
    if (key === 'class') node.className = value;
    else if (key === 'text') node.textContent = value;
    else if (key.startsWith('on') && typeof value === 'function') node.addEventListener(key.slice(2), value);
    else if (key === 'value' || key === 'checked' || key === 'disabled') node[key] = value;
    else node.setAttribute(key, value === true ? '' : String(value));
  }
  append(node, children);
  return node;
}

function append(node, children) {
  for (const child of children) {
    if (child === null || child === undefined || child === false) continue;
    if (Array.isArray(child)) append(node, child);
    else node.append(child);
  }
}

// A label tied to its control, for forms: the label's text is the
// control's accessible name.
let labelCount = 0;
export function labelled(text, control) {
  if (!control.id) control.id = `field${++labelCount}`;
  return el('div', {class: 'field'}, el('label', {for: control.id}, text), control);
}

// Replaces everything inside `node`.
export function fill(node, ...children) {
  node.replaceChildren();
  append(node, children);
  return node;
}

// A message that assistive technology reads out when it appears.
export function notice(text, kind = 'error') {
  return el('p', {class: `notice ${kind}`, role: kind === 'error' ? 'alert' : 'status'}, text);
}

export function formatTime(ms) {
  if (!ms) return '';
  const d = new Date(ms);
  const pad = (n) => String(n).padStart(2, '0');
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
}

// "12.3 s", "4 min 05 s", "2 h 07 min".
export function formatDuration(ms) {
  if (ms === null || ms === undefined || ms < 0) return '';
  if (ms < 60000) return `${(ms / 1000).toFixed(1)} s`;
  const s = Math.floor(ms / 1000);
  if (s < 3600) return `${Math.floor(s / 60)} min ${String(s % 60).padStart(2, '0')} s`;
  return `${Math.floor(s / 3600)} h ${String(Math.floor(s / 60) % 60).padStart(2, '0')} min`;
}
