// Login: user and password; the server's own message when it refuses.

import {login} from './api.js';
import {el, labelled, notice} from './dom.js';

export function loginPage(main, {go, after}) {
  const user = el('input', {name: 'user', autocomplete: 'username', required: true, autocapitalize: 'none', spellcheck: 'false'});
  const password = el('input', {name: 'password', type: 'password', autocomplete: 'current-password', required: true});
  const submit = el('button', {type: 'submit', class: 'primary'}, 'Log in');
  const message = el('div', {class: 'message-slot'});
  const form = el('form', {class: 'login', novalidate: true},
    el('h1', {}, 'Log in to Kestrun'),
    labelled('User', user),
    labelled('Password', password),
    message,
    submit);
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    message.replaceChildren();
    if (!user.value) {
      user.focus();
      message.append(notice('Enter your user name.'));
      return;
    }
    submit.disabled = true;
    try {
      await login(user.value, password.value);
      password.value = '';
      go(after && !after.startsWith('#/login') ? after : '#/jobs');
    } catch (e) {
      message.append(notice(e.message));
      password.value = '';
      password.focus();
    } finally {
      submit.disabled = false;
    }
  });
  main.append(form);
  user.focus();
}
