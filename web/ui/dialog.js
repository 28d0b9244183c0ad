// A job's dialog in the browser, laid out from the server's layout of the
// dialog (GET /api/jobs/NAME/dialog) so that it looks and behaves like the
// job's Tk window: the banner, the tabs, the labelled frames, and each row of
// the administrator's screen picture with its labels, entries, password
// entries, comboboxes, radio groups and check boxes in the order and at the
// widths the picture gives; below them the list box as a table, and the OK,
// Cancel and Apply buttons.
//
//   renderDialog(container, layout, actions) -> {element, values(), destroy()}
//
// `layout` has the members of the server's DialogLayout in lowerCamelCase
// (title, banner, tabs, frames, rows with their items, fields, listbox,
// icons, buttons); the list box's `selection` is "multiple", "single" or
// "none" and its `sort` is {column, descending}; a column width of -1 fits
// the column to its cells, 0 hides it.
//
// `actions` holds async callbacks; each gets the dialog's values:
//   {arguments: [],
//    fields: {"1": TEXT, ...}            entries and comboboxes their text,
//                                        radio and check buttons "1" or "0",
//    listbox: {selections: N, headings: [NAME, ...],
//              variables: [[NAME, VALUE], ...],   HEADING_<row> per cell of
//              rows: [[CELL, ...], ...]}}         each selected row, as
//                                                 kesclient names them
// and, for the scripts, what ran them:
//   fieldScript({...values, changed, field})  `changed` the field number (or
//       "LISTBOX") whose change runs the script of field `field`; answers
//       {ok, message, lines (or fields), failed}
//   listboxScript({...values, reason, changed})  reason "FIELDCHANGE",
//       "APPLY" or "AUTOREFRESH"; answers {ok, message, listbox: {rows:
//       [{icon, cells}] or lines: [TEXT] with separator, headings, widths}}
//   validate(values)  answers {ok, message}: OK runs the job only when ok;
//       otherwise the message shows and the dialog stays open
//   ok(values)   the job is to run with these values
//   cancel()     the dialog was closed without running the job
//   cascade(job, values)  optional: a row's right-click menu entry opens
//       that job's dialog with these values passed along
//
// Escape cancels, Enter is OK (a focused button does its own thing). Every
// text from the server goes in as text, never as HTML; pictures are drawn on
// canvases from their GIF data, so no URL other than the page's own is used.
// Sizes and positions are set as CSS custom properties through the CSSOM
// (dialog.css turns them into widths); no style attribute is written.

let instances = 0;

const FIT = -1;  // a list-box column as wide as its widest cell

// el('div', {class: 'x', text: 'y'}, child...) with text only as text.
function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (value === undefined || value === null || value === false) continue;
    if (key === 'class') node.className = value;
    else if (key === 'text') node.textContent = value;
    else if (key.startsWith('on') && typeof value === 'function') node.addEventListener(key.slice(2), value);
    else if (key === 'value' || key === 'checked' || key === 'disabled') node[key] = value;
    else node.setAttribute(key, value === true ? '' : String(value));
  }
  for (const child of children) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child);
  }
  return node;
}

function setVar(node, name, value) {
  node.style.setProperty(name, String(value));
}

// A base64 GIF drawn on a canvas (no data: or blob: URL is loaded).
function picture(base64, label, className) {
  const canvas = label
    ? el('canvas', {class: className, role: 'img', 'aria-label': label, width: 1, height: 1})
    : el('canvas', {class: className, 'aria-hidden': 'true', width: 1, height: 1});
  if (!base64) return canvas;
  try {
    const bytes = Uint8Array.from(atob(base64.replace(/\s+/g, '')), (c) => c.charCodeAt(0));
    createImageBitmap(new Blob([bytes], {type: 'image/gif'})).then((bitmap) => {
      canvas.width = bitmap.width;
      canvas.height = bitmap.height;
      canvas.getContext('2d').drawImage(bitmap, 0, 0);
    }, () => {});
  } catch {
    // A picture that does not decode is left out, as Tk leaves out an icon
    // it cannot read.
  }
  return canvas;
}

// The stem of a list-box variable from its column heading, as kesclient
// makes it: letters and digits in upper case, other runs as "_", not
// starting with a digit; COLUMN<n> for a heading without any.
function varName(heading, column) {
  const name = String(heading).toUpperCase().replace(/[^A-Z0-9]+/g, '_').replace(/^_+|_+$/g, '');
  if (name === '') return `COLUMN${column}`;
  return /^[0-9]/.test(name) ? `C${name}` : name;
}

// Tcl's -dictionary order: case ignored (then used to break ties), digits
// compared as numbers.
const collator = new Intl.Collator(undefined, {numeric: true, sensitivity: 'base'});
function dictionaryCompare(a, b) {
  return collator.compare(a, b) || (a < b ? -1 : a > b ? 1 : 0);
}

function answerLines(answer) {
  for (const key of ['lines', 'fields', 'values']) if (Array.isArray(answer?.[key])) return answer[key].map(String);
  return [];
}

export function renderDialog(container, layout, actions = {}) {
  const id = `kd${++instances}`;
  const fields = new Map();  // number -> {field, control}
  let destroyed = false;
  let busy = false;

  // A form named by the window title (which Tk shows in the title bar).
  const root = el('form', {class: 'kd-dialog', 'aria-labelledby': `${id}-title`, novalidate: true});
  root.addEventListener('submit', (e) => e.preventDefault());
  root.append(el('h2', {class: 'kd-title', id: `${id}-title`, text: layout.title || 'Kestrun'}));
  const cleanups = [];

  // Banner: heading, text and picture on a white strip.
  const banner = layout.banner || {};
  if (banner.shown !== false && (banner.heading || banner.text || banner.picture)) {
    root.append(el('div', {class: 'kd-banner'},
      el('div', {class: 'kd-banner-texts'},
        el('p', {class: 'kd-banner-heading', text: banner.heading || layout.title || ''}),
        el('p', {class: 'kd-banner-text', text: banner.text || ''})),
      picture(banner.picture, '', 'kd-banner-picture')));
  }

  // The fields by number, so that a row can place them.
  for (const field of layout.fields || []) fields.set(Number(field.number), {field});

  // Tabs: rows of tab 0 stand above the notebook, as in Tk.
  const body = el('div', {class: 'kd-body'});
  root.append(body);
  const tabNames = layout.tabs || [];
  const pages = [body];
  if (tabNames.length > 0) {
    const above = el('div', {class: 'kd-page kd-above'});
    body.append(above);
    pages[0] = above;
    const list = el('div', {class: 'kd-tabs', role: 'tablist'});
    const notebook = el('div', {class: 'kd-notebook'}, list);
    body.append(notebook);
    const tabs = [];
    tabNames.forEach((name, i) => {
      const tab = el('button', {
        type: 'button', role: 'tab', class: 'kd-tab', id: `${id}-tab${i + 1}`,
        'aria-controls': `${id}-page${i + 1}`, 'aria-selected': i === 0 ? 'true' : 'false',
        tabindex: i === 0 ? '0' : '-1', text: name,
      });
      const page = el('div', {
        class: 'kd-page', role: 'tabpanel', id: `${id}-page${i + 1}`, 'aria-labelledby': tab.id,
        hidden: i !== 0,
      });
      tabs.push(tab);
      pages.push(page);
      list.append(tab);
      notebook.append(page);
    });
    const select = (i, focus) => {
      tabs.forEach((tab, k) => {
        tab.setAttribute('aria-selected', k === i ? 'true' : 'false');
        tab.tabIndex = k === i ? 0 : -1;
        pages[k + 1].hidden = k !== i;
      });
      if (focus) tabs[i].focus();
    };
    tabs.forEach((tab, i) => {
      tab.addEventListener('click', () => select(i, false));
      tab.addEventListener('keydown', (e) => {
        const last = tabs.length - 1;
        const to = {ArrowRight: i === last ? 0 : i + 1, ArrowLeft: i === 0 ? last : i - 1, Home: 0, End: last}[e.key];
        if (to === undefined) return;
        e.preventDefault();
        select(to, true);
      });
    });
  }

  // Frames stand among the rows of their tab where the picture has them.
  const frames = new Map();
  const framesAt = new Map();
  for (const f of layout.frames || []) {
    const box = el('fieldset', {class: 'kd-frame'}, el('legend', {text: f.title}));
    frames.set(Number(f.number), box);
    const at = Number(f.firstRow);
    if (!framesAt.has(at)) framesAt.set(at, []);
    framesAt.get(at).push({box, tab: Number(f.tab) || 0});
  }
  const pageOf = (tab) => pages[tab] || pages[0];
  const placeFrames = (at) => {
    for (const {box, tab} of framesAt.get(at) || []) pageOf(tab).append(box);
  };

  const rows = layout.rows || [];
  rows.forEach((row, index) => {
    placeFrames(index);
    const line = el('div', {class: 'kd-row'});
    const items = row.items || [];
    items.forEach((item, k) => {
      if (item.kind === 'label') {
        const next = items[k + 1];
        line.append(labelItem(item, next && next.kind === 'field' ? next.field : 0));
      } else {
        line.append(fieldItem(item));
      }
    });
    (row.frame ? frames.get(Number(row.frame)) : pageOf(Number(row.tab) || 0)).append(line);
  });
  placeFrames(rows.length);

  function controlId(number) {
    return `${id}-f${number}`;
  }

  // A label takes its width in characters; one that stands just before an
  // entry or combobox is that control's label.
  function labelItem(item, nextField) {
    const f = fields.get(Number(nextField));
    const text = item.text || '';
    const tied = f && text.trim() !== '' && (f.field.type === 'entry' || f.field.type === 'password' || f.field.type === 'combobox');
    const node = tied ? el('label', {for: controlId(nextField)}) : el('span');
    node.className = `kd-label${item.alignEnd ? ' kd-end' : ''}`;
    node.textContent = text;
    setVar(node, '--kd-w', Math.max(0, Number(item.width) || 0));
    return node;
  }

  function fieldItem(item) {
    const f = fields.get(Number(item.field));
    if (!f) return el('span', {class: 'kd-missing'});
    const field = f.field;
    const n = Number(field.number);
    const enabled = field.enabled !== false;
    const width = Number(field.width ?? item.width) || 1;
    let node;
    if (field.type === 'radio' || field.type === 'check') {
      const input = el('input', {
        type: field.type === 'radio' ? 'radio' : 'checkbox', id: controlId(n),
        name: field.type === 'radio' ? `${id}-g${field.group}` : `${id}-c${n}`,
        checked: field.value === '1', disabled: !enabled,
      });
      node = el('label', {class: 'kd-button'}, input, el('span', {class: 'kd-caption', text: field.label || ''}));
      // Tk gives the button's frame 6 px per character and 17 px, and cuts
      // what does not fit.
      setVar(node, '--kd-px', 6 * width + 17);
      if (!field.label) input.setAttribute('aria-label', `Field ${n}`);
      // The buttons of a radio group share a name: one is set at a time, and
      // the arrow keys move within the group.
      f.control = input;
      input.addEventListener('change', () => changed(n));
    } else if (field.type === 'combobox') {
      const select = el('select', {id: controlId(n), class: 'kd-combo', disabled: !enabled});
      f.control = select;
      setChoices(f, field.choices || [], field.value || '');
      select.addEventListener('change', () => changed(n));
      node = select;
    } else {
      const input = el('input', {
        type: field.type === 'password' ? 'password' : 'text', id: controlId(n), class: 'kd-entry',
        value: field.value || '', disabled: !enabled, autocomplete: 'off', spellcheck: 'false',
      });
      f.control = input;
      input.addEventListener('input', () => changed(n));
      node = input;
    }
    if (node === f.control) setVar(node, '--kd-w', width);
    if ((field.type === 'entry' || field.type === 'password' || field.type === 'combobox') && !(field.label || '').trim())
      f.control.setAttribute('aria-label', `Field ${n}`);
    return node;
  }

  // A combobox's choices; its value stays when it is one of them, else it
  // shows nothing until one is picked (a readonly Tk combobox).
  function setChoices(f, choices, value) {
    const select = f.control;
    const options = choices.map((c) => el('option', {value: String(c), text: String(c)}));
    if (!choices.includes(value)) options.unshift(el('option', {value: '', text: '', hidden: true}));
    select.replaceChildren(...options);
    select.value = choices.includes(value) ? value : '';
  }

  function fieldValue(f) {
    const c = f.control;
    if (!c) return f.field.value || '';
    if (c.type === 'radio' || c.type === 'checkbox') return c.checked ? '1' : '0';
    return c.value;
  }

  // ---- the list box ----------------------------------------------------
  const lb = layout.listbox ? listBox(layout.listbox) : null;

  function listBox(box) {
    const state = {
      columns: (box.columns || []).map((c) => ({name: String(c.name), width: Number(c.width)})),
      rows: [],
      selected: new Set(),
      focus: -1,
      anchor: -1,
      sortColumn: 0,
      sortDescending: false,
      timer: 0,
    };
    const mode = box.selection || (box.multiple === false ? 'single' : 'multiple');
    const sortSpec = typeof box.sort === 'object' && box.sort !== null
      ? {column: Number(box.sort.column) || 0, descending: !!box.sort.descending}
      : {column: Math.abs(Number(box.sort ?? box.sortColumn) || 0), descending: Number(box.sort) < 0 || !!box.sortDescending};
    const icons = new Map((layout.icons || []).map((i) => [String(i.name).toLowerCase(), i.data]));
    const table = el('table', {class: 'kd-table', role: 'grid', 'aria-label': 'List'});
    if (mode === 'multiple') table.setAttribute('aria-multiselectable', 'true');
    const colgroup = el('colgroup');
    const head = el('thead');
    const rowsBody = el('tbody');
    table.append(colgroup, head, rowsBody);
    const scroller = el('div', {class: 'kd-list'}, table);
    setVar(scroller, '--kd-px', Number(box.height) > 0 ? Number(box.height) : 105);
    if (Number(box.width) > 0) setVar(scroller, '--kd-lw', Number(box.width));
    const menu = el('ul', {class: 'kd-menu', role: 'menu', hidden: true});
    root.append(el('div', {class: `kd-listbox${Number(box.width) > 0 ? ' kd-fixed' : ''}`}, scroller, menu));

    const shown = () => state.columns.map((c, i) => ({...c, index: i})).filter((c) => c.width !== 0);

    // Headings are made when the columns come; sorting only marks them, so
    // that the heading keeps the focus.
    function drawHead() {
      const cols = [];
      const cells = [];
      if (box.icons) {
        cols.push(el('col', {class: 'kd-icon-col'}));
        cells.push(el('th', {class: 'kd-icon-cell', 'aria-label': 'Icon'}));
      }
      for (const c of shown()) {
        cols.push(el('col'));
        const button = el('button', {type: 'button', class: `kd-heading ${c.width > 0 ? 'kd-sized' : 'kd-fit'}`, text: c.name,
          onclick: () => sortBy(c.index + 1, state.sortColumn === c.index + 1 ? !state.sortDescending : false)});
        const th = el('th', {scope: 'col', 'data-column': c.index + 1}, button);
        if (c.width > 0) setVar(button, '--kd-px', c.width);
        cells.push(th);
      }
      cols.push(el('col', {class: 'kd-filler'}));
      cells.push(el('td', {class: 'kd-filler', 'aria-hidden': 'true'}));
      colgroup.replaceChildren(...cols);
      head.replaceChildren(el('tr', {}, ...cells));
      markSort();
    }

    function markSort() {
      for (const th of head.querySelectorAll('th[data-column]')) {
        const sorted = Number(th.dataset.column) === state.sortColumn;
        th.setAttribute('aria-sort', sorted ? (state.sortDescending ? 'descending' : 'ascending') : 'none');
        th.firstChild.classList.toggle('kd-up', sorted && !state.sortDescending);
        th.firstChild.classList.toggle('kd-down', sorted && state.sortDescending);
      }
    }

    // The rows' selection and focus marks, on the rows as they stand.
    function markRows() {
      [...rowsBody.rows].forEach((tr, i) => {
        if (mode !== 'none') tr.setAttribute('aria-selected', String(state.selected.has(state.rows[i])));
        tr.tabIndex = i === Math.max(state.focus, 0) ? 0 : -1;
      });
    }

    function drawRows() {
      const trs = state.rows.map((r, i) => {
        const cells = [];
        if (box.icons) {
          const data = r.icon ? icons.get(String(r.icon).toLowerCase()) : null;
          cells.push(el('td', {class: 'kd-icon-cell'}, data ? picture(data, r.icon, 'kd-icon') : null));
        }
        for (const c of shown()) {
          // A column of a given width cuts longer cells, as Tk's does; the
          // others are as wide as their widest cell and 20 px.
          const text = el('span', {class: c.width > 0 ? 'kd-cell kd-sized' : 'kd-cell kd-fit', text: r.cells[c.index] ?? ''});
          if (c.width > 0) setVar(text, '--kd-px', c.width);
          cells.push(el('td', {role: 'gridcell'}, text));
        }
        cells.push(el('td', {class: 'kd-filler', 'aria-hidden': 'true'}));
        const tr = el('tr', {}, ...cells);
        tr.addEventListener('mousedown', (e) => {
          if (e.button === 0) pick(i, e);
        });
        tr.addEventListener('dblclick', () => {
          if (box.doubleClick) pressOk();
        });
        tr.addEventListener('contextmenu', (e) => openMenu(e, i));
        tr.addEventListener('keydown', (e) => rowKey(e, i));
        return tr;
      });
      rowsBody.replaceChildren(...trs);
      markRows();
    }

    function draw() {
      drawHead();
      drawRows();
    }

    function sortBy(column, descending) {
      if (column < 1) return;
      const k = column - 1;
      const keep = state.focus >= 0 ? state.rows[state.focus] : null;
      state.rows = state.rows
        .map((r, i) => [r, i])
        .sort(([a, i], [b, j]) => (descending ? -1 : 1) * dictionaryCompare(a.cells[k] ?? '', b.cells[k] ?? '') || i - j)
        .map(([r]) => r);
      state.sortColumn = column;
      state.sortDescending = descending;
      state.focus = keep ? state.rows.indexOf(keep) : state.focus;
      drawRows();
      markSort();
    }

    function selectionChanged(before) {
      const now = state.rows.filter((r) => state.selected.has(r));
      if (now.length === before.length && now.every((r, i) => r === before[i])) return;
      for (const box of box.changeUpdates || []) recomputeField('LISTBOX', Number(box));
    }

    function pick(i, e) {
      if (mode === 'none') return;
      const before = state.rows.filter((r) => state.selected.has(r));
      const row = state.rows[i];
      if (mode === 'multiple' && e.shiftKey && state.anchor >= 0) {
        if (!(e.ctrlKey || e.metaKey)) state.selected.clear();
        const [a, b] = [Math.min(state.anchor, i), Math.max(state.anchor, i)];
        for (let k = a; k <= b; ++k) state.selected.add(state.rows[k]);
      } else if (mode === 'multiple' && (e.ctrlKey || e.metaKey || e.toggle)) {
        if (state.selected.has(row)) state.selected.delete(row);
        else state.selected.add(row);
        state.anchor = i;
      } else {
        state.selected.clear();
        state.selected.add(row);
        state.anchor = i;
      }
      state.focus = i;
      markRows();
      rowsBody.rows[i]?.focus();
      selectionChanged(before);
    }

    function rowKey(e, i) {
      const last = state.rows.length - 1;
      const to = {ArrowDown: Math.min(i + 1, last), ArrowUp: Math.max(i - 1, 0), Home: 0, End: last}[e.key];
      if (to !== undefined) {
        e.preventDefault();
        if (mode === 'none' || ((e.ctrlKey || e.metaKey) && mode === 'multiple')) {
          state.focus = to;
          markRows();
          rowsBody.rows[to]?.focus();
        } else {
          pick(to, {shiftKey: e.shiftKey});
        }
      } else if (e.key === ' ') {
        e.preventDefault();
        pick(i, {toggle: true, ctrlKey: mode === 'multiple'});
      } else if (e.key === 'ContextMenu' || (e.key === 'F10' && e.shiftKey)) {
        e.preventDefault();
        const box = rowsBody.rows[i].getBoundingClientRect();
        openMenu({preventDefault() {}, clientX: box.left + 20, clientY: box.bottom, keyboard: true}, i);
      }
    }

    // Right-click menus: the entries of the row's context value, each
    // opening another job's dialog with this one's values.
    function openMenu(e, i) {
      const menus = box.menus || [];
      if (!actions.cascade || menus.length === 0 || mode === 'none') return;
      const k = Number(box.contextColumn) - 1;
      const value = k >= 0 ? String(state.rows[i].cells[k] ?? '').toUpperCase() : '';
      const found = menus.find((m) => String(m.value) === value) || menus.find((m) => m.value === '');
      e.preventDefault();
      if (!state.selected.has(state.rows[i])) pick(i, {});
      if (!found || !(found.entries || []).length) return;
      menu.replaceChildren(...found.entries.map((entry) => el('li', {role: 'none'},
        el('button', {type: 'button', role: 'menuitem', tabindex: '-1', text: entry.label || entry.job,
          onclick: () => {
            closeMenu();
            actions.cascade(entry.job, values());
          }}))));
      const area = root.getBoundingClientRect();
      setVar(menu, '--kd-x', Math.round(e.clientX - area.left));
      setVar(menu, '--kd-y', Math.round(e.clientY - area.top));
      menu.hidden = false;
      menu.querySelector('button')?.focus();
    }
    function closeMenu() {
      if (menu.hidden) return false;
      menu.hidden = true;
      rowsBody.rows[Math.max(state.focus, 0)]?.focus();
      return true;
    }
    menu.addEventListener('keydown', (e) => {
      const items = [...menu.querySelectorAll('button')];
      const at = items.indexOf(document.activeElement);
      if (e.key === 'ArrowDown' || e.key === 'ArrowUp') {
        e.preventDefault();
        items[(at + (e.key === 'ArrowDown' ? 1 : items.length - 1)) % items.length]?.focus();
      } else if (e.key === 'Escape' || e.key === 'Tab') {
        e.preventDefault();
        e.stopPropagation();
        closeMenu();
      }
    });
    const outside = (e) => {
      if (!menu.contains(e.target)) closeMenu();
    };
    document.addEventListener('mousedown', outside);
    cleanups.push(() => document.removeEventListener('mousedown', outside));

    // Select the rows whose cell in `column` is one of the comma-separated
    // values, or lies in the range "LOW-HIGH".
    function autoSelect() {
      const column = Number(box.autoSelectColumn) || 0;
      if (column === 0 || mode === 'none') return;
      const wanted = String(box.autoSelectValue || 'Y');
      const range = /^([0-9]+)-([0-9]+)$/.exec(wanted);
      const list = wanted.split(',');
      const before = state.rows.filter((r) => state.selected.has(r));
      state.selected.clear();
      for (const r of state.rows) {
        const v = r.cells[column - 1] ?? '';
        const number = /^\s*[-+]?[0-9]+/.test(v) ? parseInt(v, 10) : NaN;
        if (range ? number >= Number(range[1]) && number <= Number(range[2]) : list.includes(v)) state.selected.add(r);
      }
      markRows();
      selectionChanged(before);
    }

    // After the rows come: sorted (sortMode 0) or kept in order (1), then
    // the automatic selection and the next refresh, as the Tk autosort.
    function afterFill(sortMode) {
      if (sortMode === 0 && sortSpec.column > 0 && state.rows.length > 0) sortBy(sortSpec.column, sortSpec.descending);
      autoSelect();
      clearTimeout(state.timer);
      const seconds = Number(box.autoRefresh) || 0;
      if (seconds > 0) {
        state.timer = setTimeout(() => {
          if (!destroyed && root.isConnected) refillListBox('AUTOREFRESH', '', 1);
        }, seconds * 1000);
      }
    }

    // Rows from a list-box script's answer.
    function fill(answer) {
      const data = answer?.listbox && typeof answer.listbox === 'object' ? answer.listbox : answer || {};
      let headings = Array.isArray(data.headings) ? data.headings.map(String) : [];
      let rows = [];
      if (Array.isArray(data.rows)) {
        rows = data.rows.map((r) => (Array.isArray(r) ? {icon: '', cells: r.map(String)} : {icon: r.icon || '', cells: (r.cells || []).map(String)}));
      } else {
        const separator = data.separator || ',';
        const lines = answerLines(data);
        if ((data.noColumnNames || state.columns.length === 0) && headings.length === 0 && lines.length > 0)
          headings = lines.shift().split(separator);
        const k = Number(data.contextColumn ?? box.contextColumn) || 0;
        const known = [...icons.keys()];
        rows = lines.map((line) => {
          const cells = line.split(separator);
          const cell = k > 0 ? String(cells[k - 1] ?? '').toLowerCase() : '';
          return {icon: box.icons && known.includes(cell) ? cell : '', cells};
        });
      }
      if (headings.length > 0) {
        const widths = Array.isArray(data.widths) ? data.widths.map(String) : [];
        state.columns = headings.map((name, i) => {
          const w = widths[i];
          return {name, width: w === undefined || w === '-' ? FIT : /^[0-9]+$/.test(w) ? Number(w) : 100};
        });
      }
      state.rows = rows;
      state.selected.clear();
      state.focus = -1;
      state.anchor = -1;
      draw();
    }

    fill({rows: box.rows || []});
    afterFill(0);

    return {
      refill(answer, sortMode) {
        fill(answer);
        afterFill(sortMode);
      },
      values() {
        const selected = state.rows.filter((r) => state.selected.has(r));
        const headings = state.columns.map((c) => c.name);
        const variables = [];
        selected.forEach((r, i) => {
          headings.forEach((h, c) => variables.push([`${varName(h, c + 1)}_${i + 1}`, r.cells[c] ?? '']));
        });
        return {selections: selected.length, headings, variables, rows: selected.map((r) => [...r.cells])};
      },
      closeMenu,
      stop() {
        clearTimeout(state.timer);
      },
    };
  }

  // ---- message and buttons ----------------------------------------------
  const message = el('p', {class: 'kd-message', role: 'alert'});
  const buttons = layout.buttons || {};
  const okButton = el('button', {type: 'button', class: 'kd-ok', text: buttons.ok || 'OK', onclick: () => pressOk()});
  const cancelButton = el('button', {type: 'button', class: 'kd-cancel', text: buttons.cancel || 'Cancel', onclick: () => pressCancel()});
  const bar = el('div', {class: 'kd-buttons'}, message, okButton, cancelButton);
  if (buttons.apply) bar.append(el('button', {type: 'button', class: 'kd-apply', text: buttons.apply, onclick: () => refillListBox('APPLY', '', 0)}));
  root.append(bar);

  function showMessage(text) {
    message.textContent = String(text ?? '').replace(/[\r\n]+$/, '');
  }

  function values() {
    const out = {};
    for (const [n, f] of fields) out[String(n)] = fieldValue(f);
    return {
      arguments: [],
      fields: out,
      listbox: lb ? lb.values() : {selections: 0, headings: [], variables: [], rows: []},
    };
  }

  // Scripts run one after another, as the Tk client runs them.
  let queue = Promise.resolve();
  function serially(task) {
    queue = queue.then(() => (destroyed ? undefined : task())).catch((e) => showMessage(e?.message || String(e)));
    return queue;
  }

  function changed(n) {
    const f = fields.get(n);
    const updates = f?.field.updates || [];
    if (updates.length === 0) return;
    for (const target of updates) {
      if (Number(target) < 1) refillListBox('FIELDCHANGE', String(n), 0);
      else recomputeField(String(n), Number(target));
    }
  }

  // A field's populate script: a combobox gets the lines as its choices,
  // any other field the first line; a failed script disables the field.
  function recomputeField(changedField, number) {
    if (!actions.fieldScript) return;
    serially(async () => {
      const answer = await actions.fieldScript({...values(), changed: changedField, field: number});
      if (!answer || answer.ok === false) {
        showMessage(answer?.message || '');
        return;
      }
      const lines = answerLines(answer);
      const failed = !!answer.failed;
      if (lines.length === 0 && failed && !answer.message) return;
      const f = fields.get(number);
      if (f?.control) {
        const c = f.control;
        if (lines.length > 0) {
          if (f.field.type === 'combobox') setChoices(f, lines, lines.includes(c.value) ? c.value : lines[0]);
          else if (c.type === 'radio' || c.type === 'checkbox') c.checked = lines[0] === '1';
          else c.value = lines[0];
        }
        c.disabled = failed;
      }
      if (failed && answer.message) showMessage(answer.message);
    });
  }

  function refillListBox(reason, changedField, sortMode) {
    if (!actions.listboxScript) return;
    serially(async () => {
      const answer = await actions.listboxScript({...values(), reason, changed: changedField});
      if (!answer || answer.ok === false) {
        showMessage(answer?.message || '');
        return;
      }
      if (lb) lb.refill(answer, sortMode);
    });
  }

  async function pressOk() {
    if (busy || destroyed) return;
    busy = true;
    okButton.disabled = true;
    try {
      await queue;
      const v = values();
      const answer = actions.validate ? await actions.validate(v) : {ok: true};
      if (answer && answer.ok === false) {
        showMessage(answer.message || '');
        return;
      }
      showMessage('');
      stop();
      await actions.ok?.(v);
    } catch (e) {
      showMessage(e?.message || String(e));
    } finally {
      busy = false;
      okButton.disabled = false;
    }
  }

  async function pressCancel() {
    if (destroyed) return;
    stop();
    await actions.cancel?.();
  }

  root.addEventListener('keydown', (e) => {
    if (e.defaultPrevented || e.isComposing) return;
    if (e.key === 'Escape') {
      if (lb && lb.closeMenu()) return;
      e.preventDefault();
      pressCancel();
    } else if (e.key === 'Enter' && !e.altKey && !e.ctrlKey && !e.metaKey) {
      const t = e.target;
      if (t instanceof HTMLButtonElement || t instanceof HTMLAnchorElement || t instanceof HTMLTextAreaElement) return;
      e.preventDefault();
      pressOk();
    }
  });

  function stop() {
    lb?.stop();
  }
  cleanups.push(stop);

  container.append(root);
  // The dialog takes the focus, as the Tk window does, without picking a
  // field: Tab goes to the first control, Enter and Escape work at once.
  root.tabIndex = -1;
  root.focus({preventScroll: true});

  return {
    element: root,
    values,
    destroy() {
      destroyed = true;
      for (const cleanup of cleanups) cleanup();
      root.remove();
    },
  };
}
