// The run that the jobs or dialog page asked for, handed to the run page
// that comes next: a run starts only from a click, never from an address.
// Kept apart from run.js so that the jobs page loads without the run page
// and its terminal.

let pending = null;

export function startRun(go, job, message) {
  pending = {job: job.toUpperCase(), message};
  go(`#/run/${encodeURIComponent(job)}`);
}

// The message of the run asked for `job`, once; null when none was.
export function takeRun(job) {
  if (!pending || pending.job !== job.toUpperCase()) return null;
  const {message} = pending;
  pending = null;
  return message;
}
