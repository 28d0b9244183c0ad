// Dialog: the job's dialog from GET /api/jobs/NAME/dialog, drawn by
// dialog.js; its scripts run on the server through the dialog API. OK
// (once the validation script accepts) starts the run; Cancel tells the
// server and goes back to the jobs.

import {api, jobPath} from './api.js';
import {el, fill, notice} from './dom.js';
import {startRun} from './handoff.js';

// dialog.css is asked for with the first dialog, and the dialog is drawn
// once it is there.
let styles = null;
function loadStyles() {
  styles ??= new Promise((resolve) => {
    const link = el('link', {rel: 'stylesheet', href: 'dialog.css'});
    link.addEventListener('load', resolve);
    link.addEventListener('error', resolve);
    document.head.append(link);
  });
  return styles;
}

export async function dialogPage(main, {arg, go}) {
  const name = arg.toUpperCase();
  const slot = el('div', {class: 'dialog-slot'});
  main.append(slot);
  const stylesReady = loadStyles();
  let layout;
  try {
    layout = await api(jobPath(name, 'dialog'));
  } catch (e) {
    // A refusal (409) is the server's own message, as kesclient shows it.
    fill(slot, el('h1', {}, name), notice(e.message),
      el('p', {}, el('a', {href: '#/jobs'}, 'Back to the jobs')));
    return;
  }
  const cancel = () => api(jobPath(name, 'cancel'), {method: 'POST', body: {}}).catch(() => {});
  if (!slot.isConnected) {
    // Another page is shown by now: the dialog the server opened (and its
    // preloaded program) is not wanted.
    cancel();
    return null;
  }
  let renderDialog;
  try {
    ({renderDialog} = await import('./dialog.js'));
    await stylesReady;
  } catch {
    cancel();
    fill(slot, el('h1', {}, layout.title || name), notice('The dialog module of the console is missing.'));
    return null;
  }
  let done = false;
  const post = (what) => (values) => api(jobPath(name, what), {method: 'POST', body: values});
  const actions = {
    fieldScript: post('field-script'),
    listboxScript: post('listbox-script'),
    validate: post('validate'),
    async cancel() {
      done = true;
      try {
        await api(jobPath(name, 'cancel'), {method: 'POST', body: {}});
      } finally {
        go('#/jobs');
      }
    },
    async ok(values) {
      done = true;
      startRun(go, name, {
        arguments: values?.arguments || [],
        fields: values?.fields || {},
        listbox: values?.listbox || {},
      });
    },
  };
  renderDialog(slot, layout, actions);
  if (!slot.querySelector('h1')) slot.prepend(el('h1', {class: 'visually-hidden'}, layout.title || name));
  // Leaving the dialog by the console's own links cancels it, as closing
  // the Tk window does.
  return () => {
    if (!done) cancel();
  };
}
