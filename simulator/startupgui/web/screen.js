// The start-up screen in the browser: follows the stand-in's events and
// shows the screen the instrument would show; the buttons answer the
// question and take the medium out.
'use strict';

const $ = (id) => document.getElementById(id);
const screenBox = $('screen');
const state = {
  running: '', newVersion: '', estimate: 0, progressStart: null, clock: null,
  message: 0, answer: '', inProgress: false, mediumOut: false, ended: false,
};

function show(name) { screenBox.dataset.screen = name; }
function setAll(cls, text) { document.querySelectorAll('.' + cls).forEach((e) => { e.textContent = text; }); }

// A version as the stand-in quotes it: "2.4\n" -> 2.4
function quoted(text) {
  const m = /"((?:[^"\\]|\\.)*)"/.exec(text);
  if (!m) return '';
  return m[1].replace(/\\n/g, '').replace(/\\r/g, '').replace(/\\(.)/g, '$1').trim();
}

function seconds(s) {
  if (s >= 120) return Math.floor(s / 60) + ' min ' + Math.round(s % 60) + ' s';
  return Math.round(s) + ' s';
}

function clockText(ms) {
  const d = new Date(ms);
  return d.toLocaleTimeString('en-GB', { hour12: false });
}

function updateProgress() {
  const bar = $('progress');
  let pct = 0;
  if (state.message === 2000 || state.message === 2006) {
    pct = 100;
  } else if (state.progressStart !== null && state.clock !== null && state.estimate > 0) {
    const elapsed = Math.max(0, (state.clock - state.progressStart) / 1000);
    pct = Math.min(99, (elapsed / state.estimate) * 100);
    $('progress-text').textContent = Math.floor(pct) + ' % — ' + seconds(elapsed) + ' of an estimated ' +
      seconds(state.estimate) +
      (elapsed > state.estimate ? ' (taking longer than estimated)' : '');
  }
  bar.setAttribute('aria-valuenow', String(Math.floor(pct)));
  $('progress-fill').style.width = pct.toFixed(1) + '%';
}

function tick(t) {
  state.clock = t;
  $('clock').textContent = clockText(t);
  updateProgress();
}

function endRun() {
  if (state.ended) return;
  state.ended = true;
  let outcome = 'ended';
  let title = 'The run has ended';
  let text = 'The updater has ended.';
  if (state.message === 2000) {
    outcome = 'done';
    title = 'Update done';
    text = 'The software was updated to version ' + state.newVersion + (state.mediumOut
      ? '; the medium was taken out and the instrument restarts.' : '.');
  } else if (state.message === 2006) {
    outcome = 'failed';
    title = 'Update failed';
    text = 'The update did not succeed; the instrument restarts with its present software.';
  } else if (state.message === 2008) {
    outcome = 'not-allowed';
    title = 'Update not allowed';
    text = 'The instrument keeps version ' + state.running + '.';
  } else if (state.answer && state.answer !== 'yes' && !state.inProgress) {
    outcome = 'declined';
    title = 'Update declined';
    text = 'The instrument keeps version ' + state.running + '.';
  }
  $('end-title').textContent = title;
  $('end-title').dataset.outcome = outcome;
  $('end-title').className = outcome === 'failed' ? 'bad' : '';
  $('end-text').textContent = text;
  const link = $('link');
  link.textContent = 'run ended';
  link.className = 'link ended';
  show('end');
}

function onEvent(e) {
  const li = document.createElement('li');
  li.textContent = e.screen + ' ' + e.text;
  $('events').appendChild(li);
  li.scrollIntoView({ block: 'nearest' });
  tick(e.t);
  switch (e.screen) {
    case 'ready':
      state.running = quoted(e.text);
      $('running-version').textContent = state.running;
      setAll('running', state.running);
      if (screenBox.dataset.screen === 'waiting') show('ready');
      break;
    case 'timers': {
      const m = /estimated duration (\d+) s/.exec(e.text);
      if (m) { state.estimate = Number(m[1]); setAll('estimate', seconds(state.estimate)); }
      break;
    }
    case 'question':
      state.newVersion = quoted(e.text);
      setAll('new-version', state.newVersion);
      $('yes').disabled = false;
      $('no').disabled = false;
      show('question');
      break;
    case 'sent': {
      const m = /^answer (\w+)/.exec(e.text);
      if (m) {
        state.answer = m[1];
        $('answer-sent').textContent = m[1];
        if (!state.inProgress) show('answered');
      }
      break;
    }
    case 'in-progress':
      state.inProgress = true;
      state.progressStart = e.t;
      show('progress');
      break;
    case 'message': {
      const code = parseInt(e.text, 10);
      state.message = code;
      if (code === 2000) { $('pull').disabled = state.mediumOut; show('remove'); }
      else if (code === 2006) { $('pull-failed').disabled = state.mediumOut; show('failure'); }
      else if (code === 2008) show('notcompatible');
      break;
    }
    case 'error':
      $('error').textContent = 'Error ' + e.text + ': a diagnostic log was found corrupt and has been recreated.';
      $('error').hidden = false;
      break;
    case 'medium':
      if (/taken out|already out/.test(e.text)) {
        state.mediumOut = true;
        $('pull').disabled = true;
        $('pull-failed').disabled = true;
        $('medium-state').textContent = 'The medium is out. The instrument restarts…';
        $('medium-state-failed').textContent = 'The medium is out. The instrument restarts…';
      } else {
        $('medium-state').textContent = e.text;
      }
      break;
    case 'input':
      // Only what concerns the user (an answer without a question), not
      // the end of the stand-in's own input.
      if (!/question/.test(e.text)) break;
      $('error').textContent = e.text;
      $('error').hidden = false;
      break;
    case 'stop':
      endRun();
      break;
    default:
      break;
  }
  updateProgress();
}

function post(path, body) {
  return fetch(path, {
    method: 'POST',
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
    body: body,
  }).then((r) => {
    if (!r.ok) throw new Error(path + ': ' + r.status);
  }).catch((err) => {
    $('error').textContent = 'The stand-in did not take it: ' + err.message;
    $('error').hidden = false;
  });
}

function answer(word) {
  $('yes').disabled = true;
  $('no').disabled = true;
  post('/answer', 'answer=' + word);
}

function pull(button) {
  button.disabled = true;
  post('/pull', '');
}

$('yes').addEventListener('click', () => answer('yes'));
$('no').addEventListener('click', () => answer('no'));
$('pull').addEventListener('click', () => pull($('pull')));
$('pull-failed').addEventListener('click', () => pull($('pull-failed')));

const source = new EventSource('/events');
source.onopen = () => { if (!state.ended) { $('link').textContent = 'live'; $('link').className = 'link live'; } };
source.onmessage = (m) => onEvent(JSON.parse(m.data));
source.addEventListener('clock', (m) => tick(JSON.parse(m.data).t));
source.addEventListener('end', () => { source.close(); endRun(); });
source.onerror = () => {
  if (state.ended) { source.close(); return; }
  $('link').textContent = 'connection lost, retrying…';
  $('link').className = 'link';
};
