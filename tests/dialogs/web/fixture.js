// Renders a layout (?layout=FILE, default archive-layout.json) with dialog.js
// and records every action it calls, as JSON lines in #calls. The scripts
// answer as ?answers=... says: "refuse" makes the validation refuse; ?tab=N
// shows tab N; ?shot hides the record, for screenshots (shot.py).
import {renderDialog} from '/web/ui/dialog.js';

const params = new URLSearchParams(location.search);
const calls = document.getElementById('calls');
const record = (name, value) => {
  calls.append(document.createTextNode(`${JSON.stringify({name, value})}\n`));
};
if (params.has('shot')) document.body.classList.add('shot');

const layout = await (await fetch(params.get('layout') || 'archive-layout.json')).json();
window.dialog = renderDialog(document.getElementById('dialog'), layout, {
  async fieldScript(v) {
    record('fieldScript', v);
    return {ok: true, lines: [`from script for ${v.field}`], failed: false};
  },
  async listboxScript(v) {
    record('listboxScript', v);
    return {ok: true, listbox: {lines: ['disk,/srv/new,1 GB,online', 'tape,LTO-1,2 TB,loaded'], separator: ','}};
  },
  async validate(v) {
    record('validate', v);
    return params.get('answers') === 'refuse' ? {ok: false, message: 'Pick a volume first\n'} : {ok: true};
  },
  async ok(v) {
    record('ok', v);
  },
  async cancel() {
    record('cancel', null);
  },
});
if (params.has('tab')) document.getElementById(`kd1-tab${params.get('tab')}`)?.click();
document.body.dataset.ready = '1';
