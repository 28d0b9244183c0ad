// The console's pages in one document: the part after "#" names the page
// (#/jobs, #/dialog/NAME, #/run/NAME, #/runs/ID, #/active, #/history,
// #/servers, #/login). Each page is a function that fills <main> and returns what to
// undo when another page is shown (sockets, timers, terminals).

import {session, whoAmI, whenLoggedOut, logout} from './api.js';
import {fill, notice} from './dom.js';
import {jobsPage, prefetchJobs} from './jobs.js';

const main = document.getElementById('main');
const nav = document.getElementById('nav');
const who = document.getElementById('who');
const logoutButton = document.getElementById('logout');

// The jobs page comes with the document; the others are loaded when first
// shown.
const pages = {
  login: async () => (await import('./login.js')).loginPage,
  jobs: async () => jobsPage,
  dialog: async () => (await import('./dialog-page.js')).dialogPage,
  run: async () => (await import('./run.js')).runPage,
  runs: async () => (await import('./record.js')).recordPage,
  active: async () => (await import('./active.js')).activePage,
  history: async () => (await import('./history.js')).historyPage,
  servers: async () => (await import('./servers.js')).serversPage,
};

let undo = null;
// Each page draws into a box of its own: a page still waiting for the
// server when another one is shown draws into a box that is no longer on
// the screen, and its undo runs as soon as it returns.
let shown = 0;

// "#/run/BACKUP?x=1" -> {name: 'run', arg: 'BACKUP', query: URLSearchParams}
function route() {
  const hash = location.hash.replace(/^#\/?/, '');
  const [path, query = ''] = hash.split('?');
  const [name, ...rest] = path.split('/');
  return {
    name: pages[name] ? name : 'jobs',
    arg: rest.length ? decodeURIComponent(rest.join('/')) : '',
    query: new URLSearchParams(query),
  };
}

export function go(hash) {
  if (location.hash === hash) show();
  else location.hash = hash;
}

function showChrome() {
  const me = session.me;
  nav.hidden = !me;
  who.hidden = !me;
  logoutButton.hidden = !me;
  who.textContent = me ? `${me.user}${me.admin ? ' (admin)' : ''}` : '';
  const current = route().name;
  for (const link of nav.querySelectorAll('a')) {
    const here = link.dataset.view === current || (current === 'runs' && link.dataset.view === 'history');
    if (here) link.setAttribute('aria-current', 'page');
    else link.removeAttribute('aria-current');
  }
}

async function show() {
  const mine = ++shown;
  if (undo) {
    try {
      undo();
    } catch {
      // A page that failed to clean up must not keep the next one away.
    }
    undo = null;
  }
  let {name, arg, query} = route();
  if (!session.me && name !== 'login') {
    try {
      await whoAmI();
    } catch (e) {
      fill(main, notice(e.message));
      return;
    }
    if (mine !== shown) return;
    if (!session.me) {
      sessionReturn = location.hash;
      name = 'login';
    }
  }
  if (session.me && name === 'login') name = 'jobs';
  showChrome();
  const view = document.createElement('div');
  view.className = 'view';
  main.replaceChildren(view);
  const context = {go, arg, query, after: name === 'login' ? sessionReturn : ''};
  let pageUndo = null;
  try {
    const page = await pages[name]();
    if (mine !== shown) return;
    pageUndo = (await page(view, context)) || null;
  } catch (e) {
    fill(view, notice(e.message));
  }
  if (mine !== shown) {
    pageUndo?.();
    return;
  }
  undo = pageUndo;
  const heading = main.querySelector('h1');
  document.title = heading ? `${heading.textContent} - Kestrun` : 'Kestrun';
}

// Where to go back to after a login that an expired session asked for.
let sessionReturn = '';

whenLoggedOut(() => {
  if (route().name !== 'login') {
    sessionReturn = location.hash;
    location.hash = '#/login';
  }
});

logoutButton.addEventListener('click', async () => {
  try {
    await logout();
  } catch {
    // The session ends in the browser all the same.
  }
  sessionReturn = '';
  go('#/login');
});

window.addEventListener('hashchange', show);
// The jobs are asked for together with the session, not after it.
if (route().name === 'jobs') prefetchJobs();
show();
