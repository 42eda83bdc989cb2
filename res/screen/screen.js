// The page draws what the server pushes (server-sent events from its watches on the device
// root) and sends the user's clicks as actions; it never asks the server for news itself.
'use strict';

const VIEW_APP = 'com.talvoro.tv.homeupdateview';
const HOME_APP = 'com.talvoro.tv.home';
const TOAST_MS = 5000;
const KEEP_LINES = 400;
const PRIORITIES = 'VDIWEF';

let state = null;
let skew = 0;  // the server's clock minus the page's
let power = 1;
const shownToasts = new Set();
const logLines = [];

const $ = (selector) => document.querySelector(selector);

// An element with attributes and children; text is always set as text, never as markup.
function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (name === 'class') node.className = value;
    else if (name === 'onclick') node.addEventListener('click', value);
    else node.setAttribute(name, value);
  }
  for (const child of children) {
    if (child !== null && child !== undefined) node.append(child);
  }
  return node;
}

function now() {
  return Date.now() + skew;
}

function clock(ts) {
  return new Date(ts).toTimeString().slice(0, 8);
}

// ---- actions --------------------------------------------------------------------------------

function say(ok, text) {
  const message = $('#message');
  message.dataset.ok = ok;
  message.textContent = text;
}

// The server's reply, after its message is shown; null when there was none.
async function act(action, fields = {}) {
  try {
    const response = await fetch('/api/' + action, {
      method: 'POST',
      headers: {'X-Screen-Action': '1'},
      body: new URLSearchParams(fields),
    });
    const reply = await response.json();
    say(reply.ok, (reply.ok ? '' : response.status + ': ') + (reply.message || action));
    return reply;
  } catch (error) {
    say(false, action + ': ' + error.message);
    return null;
  }
}

function formFields(form) {
  return Object.fromEntries(new FormData(form));
}

// ---- the screen -----------------------------------------------------------------------------

function drawBackdrop(app) {
  const backdrop = $('#backdrop');
  if (backdrop.dataset.app === app) return;
  backdrop.dataset.app = app;
  backdrop.replaceChildren();
  if (app === HOME_APP) {
    backdrop.className = 'home';
    const tiles = ['Home', 'Live TV', 'Apps', 'Media', 'Settings'].map(
        (name) => el('div', {class: 'tile'}, name));
    backdrop.append(el('div', {class: 'brand'}, 'Home'), el('div', {class: 'tiles'}, ...tiles));
  } else {
    backdrop.className = 'app';
    backdrop.append(app ? 'full screen: ' + app : 'no full-screen application');
  }
}

function drawView(view, texts) {
  const node = $('#view');
  const key = view ? JSON.stringify(view) + JSON.stringify(texts) : '';
  if (node.dataset.key === key) return;
  node.dataset.key = key;
  node.replaceChildren();
  node.hidden = !view;
  if (!view) {
    delete node.dataset.screen;
    return;
  }
  const reason = view.LaunchReason;
  if (reason === 'LoadingUI') {
    node.dataset.screen = 'loading';
    node.append(el('div', {class: 'spinner'}), el('h3', {}, texts.updating));
  } else if (reason === 'StopUI') {
    node.dataset.screen = 'stop';
    const failed = /fail|needed_space|cancel/.test(view.StopUI);
    node.append(
        el('h3', {}, failed && texts.failed ? texts.failed : 'Home update'),
        el('div', {class: 'detail status'}, view.StopUI),
        el('div', {class: 'detail'},
           view.PriorityUpdate === 'true' ? 'requested update' : 'not a requested update'),
        el('div', {class: 'actions'}, el('button', {onclick: () => act('back')}, 'OK')));
  } else if (reason === 'DetailPopup') {
    node.dataset.screen = 'details';
    const answer = (status) => () => act('details-answer', {status});
    node.append(
        el('h3', {}, texts.details || 'Details'),
        el('div', {class: 'detail app'}, view.appId + ' ' + view.appVersion),
        el('div', {class: 'description'}, view.appDescription || '(no description)'),
        el('div', {class: 'actions'},
           el('button', {'data-answer': '0', onclick: answer('0')}, texts.updateNow || 'Update now'),
           el('button', {'data-answer': '1', onclick: answer('1')},
              texts.updateLater || 'Update later'),
           el('button', {'data-answer': '3', onclick: answer('3')}, 'Do not update'),
           el('button', {onclick: () => act('back')}, 'Close')));
  } else {
    node.dataset.screen = 'other';
    node.append(el('h3', {}, 'home update view: ' + (reason || '(no reason)')));
  }
}

// A notification shows until an event closes it, or until its hide time-out has run out.
function expiry(notification) {
  return notification.hideTimeout > 0 ? notification.ts + notification.hideTimeout * 1000 : 0;
}

function drawNotifications(notifications) {
  const box = $('#notifications');
  const live = notifications.filter((n) => !expiry(n) || expiry(n) > now());
  const ids = live.map((n) => String(n.id));
  for (const card of [...box.children]) {
    if (!ids.includes(card.dataset.id)) card.remove();
  }
  for (const notification of live) {
    if (box.querySelector(`[data-id="${notification.id}"]`)) continue;
    const buttons = notification.buttons.map((button) => el('button', {
      class: button.index === notification.defaultButton ? 'default' : '',
      'data-button': button.index,
      onclick: () => act('press', {id: notification.id, button: button.index}),
    }, button.text || 'button ' + button.index));
    const card = el('div', {class: 'notification', 'data-id': notification.id},
        el('button', {class: 'close', title: 'hide', onclick: () => act('hide', {id: notification.id})}, '✕'),
        el('h4', {}, notification.title),
        el('p', {}, notification.content),
        el('div', {class: 'buttons'}, ...buttons));
    if (expiry(notification)) {
      card.append(el('div', {class: 'countdown'}, el('div')),
                  el('span', {class: 'time-left'}));
    }
    card.notification = notification;
    box.append(card);
  }
  tick();
}

// Counts the notifications' time-outs down on the page's clock; no news is asked for.
function tick() {
  for (const card of document.querySelectorAll('.notification')) {
    const notification = card.notification;
    const end = expiry(notification);
    if (!end) continue;
    const left = end - now();
    if (left <= 0) {
      card.remove();
      continue;
    }
    card.querySelector('.countdown div').style.width =
        (100 * left / (notification.hideTimeout * 1000)) + '%';
    card.querySelector('.time-left').textContent = 'hides in ' + Math.ceil(left / 1000) + ' s';
  }
}

function drawToasts(toasts) {
  for (const toast of toasts) {
    const id = toast.ts + '|' + toast.text;
    if (shownToasts.has(id) || now() - toast.ts > TOAST_MS) continue;
    shownToasts.add(id);
    const node = el('div', {class: 'toast'}, toast.text);
    $('#toasts').append(node);
    setTimeout(() => node.remove(), TOAST_MS);
  }
}

function drawScreen(screen, texts) {
  power = screen.power;
  $('#tv').dataset.power = screen.power;
  const standby = $('#standby');
  standby.hidden = screen.power === 1;
  standby.textContent = 'standby (power state ' + screen.power + ')';
  drawBackdrop(screen.fullscreen);
  drawView(screen.view, texts);
  drawNotifications(screen.notifications);
  drawToasts(screen.toasts);
}

// ---- behind the screen ----------------------------------------------------------------------

function badge(node, on, text) {
  node.textContent = text;
  node.classList.toggle('off', !on);
}

function retryText(retry) {
  return retry ? `${retry[0]} of ${retry[1]} tries used for ${retry[2] || '?'}` : 'none';
}

function drawKeys(keys) {
  const table = $('#keys');
  for (const [key, value] of keys) {
    const text = value === null ? '(absent)' : String(value);
    let row = table.querySelector(`tr[data-key="${key}"]`);
    if (!row) {
      row = el('tr', {'data-key': key}, el('td', {}, key), el('td', {class: 'value'}));
      table.append(row);
    }
    const cell = row.querySelector('.value');
    if (cell.textContent !== text) {
      cell.textContent = text;
      row.classList.add('changed');
      setTimeout(() => row.classList.remove('changed'), 1500);
    }
  }
}

function drawService(service) {
  badge($('#running'), service.running, 'brenwick ' + (service.running ? 'runs' : 'is not running'));
  badge($('#serving'), service.serving, 'store ' + (service.serving ? 'serves requests' : 'is not serving'));
  $('#serve').checked = service.serving;
  $('#home-version').textContent = service.homeVersion || '(not installed)';
  $('#request-retry').textContent = retryText(service.requestRetry);
  $('#user-retry').textContent = retryText(service.userRetry);
  $('#hidden-mode').textContent = service.hiddenMode ? 'on' : 'off';
  $('#abtest').textContent = service.abtest ? 'present' : 'absent';
  $('#faults').replaceChildren(...service.faults.map((rule) => el('li', {}, rule)));
  const sync = $('#sync [name=status]');
  if (document.activeElement !== sync) sync.value = service.syncStatus;
  drawKeys(service.keys);
  const language = service.keys.find(([key]) => key === 'db/menu_widget/language');
  $('#language').value = language ? language[1] : '';
}

function drawLanguages(languages) {
  const select = $('#language');
  if (select.options.length === languages.length) return;
  select.replaceChildren(...languages.map((language) => el('option', {value: language}, language)));
}

function draw() {
  $('#root').textContent = state.root;
  const missing = $('#missing');
  missing.hidden = state.provisioned;
  missing.textContent = 'No provisioned device root at ' + state.root +
      '. Provision one with: tvctl --root ' + state.root + ' init';
  if (!state.provisioned) {
    badge($('#running'), false, 'brenwick: no device');
    return;
  }
  drawLanguages(state.languages);
  drawScreen(state.screen, state.texts);
  drawService(state.service);
}

function addStory(lines, reset) {
  const story = $('#story');
  if (reset) story.replaceChildren();
  for (const line of lines) {
    story.append(el('li', {},
        el('span', {class: 'time'}, clock(line.ts) + ' '),
        el('span', {class: 'who who-' + line.who}, line.who + ':'),
        ' ' + line.what));
  }
  while (story.children.length > KEEP_LINES) story.firstChild.remove();
  story.scrollTop = story.scrollHeight;
}

// "2026-12-05 21:02:04.123 E/BRENWICK(4242): ..." as the platform log writes it.
function logFilter(line) {
  const match = / ([VDIWEF])\/([^(]*)\(/.exec(line);
  const tag = $('#log-tag').value.trim();
  if (!match) return !tag;
  return (!tag || match[2] === tag) &&
      PRIORITIES.indexOf(match[1]) >= PRIORITIES.indexOf($('#log-priority').value);
}

function drawLog() {
  const log = $('#log');
  log.replaceChildren(...logLines.filter(logFilter).map((line) => {
    const match = / ([VDIWEF])\//.exec(line);
    return el('li', {class: match ? match[1] : ''}, line);
  }));
  log.scrollTop = log.scrollHeight;
}

function addLog(lines, reset) {
  if (reset) logLines.length = 0;
  logLines.push(...lines);
  logLines.splice(0, Math.max(0, logLines.length - KEEP_LINES));
  const log = $('#log');
  if (reset) return drawLog();
  for (const line of lines.filter(logFilter)) {
    const match = / ([VDIWEF])\//.exec(line);
    log.append(el('li', {class: match ? match[1] : ''}, line));
  }
  while (log.children.length > KEEP_LINES) log.firstChild.remove();
  log.scrollTop = log.scrollHeight;
}

// ---- stories --------------------------------------------------------------------------------

const stories = new Map();  // file -> the story as the server read it
let storyRunning = false;
let pendingReplay = null;

function storyOption(story) {
  const label = story.name + (story.title ? ' \u2014 ' + story.title : '') +
      (story.problem ? ' (malformed)' : '');
  return el('option', {value: story.file}, label);
}

function drawSteps() {
  const story = stories.get($('#story-file').value);
  const list = $('#story-steps');
  list.replaceChildren();
  $('#story-result').textContent = story && story.problem ? story.problem : '';
  if (!story || !story.steps) return;
  for (const step of story.steps) {
    list.append(el('li', {'data-where': step.where},
                   el('span', {class: 'tick'}), el('span', {class: 'text'}, step.text)));
  }
}

async function loadStories() {
  const reply = await act('stories');
  if (!reply || !reply.stories) return;
  const select = $('#story-file');
  for (const story of reply.stories) {
    stories.set(story.file, story);
    select.append(storyOption(story));
  }
  drawSteps();
  if (pendingReplay) storyNews(pendingReplay);
  pendingReplay = null;
}

// The step after the last one ticked is the next to run.
function markNext() {
  const steps = [...document.querySelectorAll('#story-steps li')];
  for (const step of steps) {
    if (step.dataset.state === 'next') delete step.dataset.state;
  }
  if (!storyRunning) return;
  const next = steps.find((step) => !step.dataset.state);
  if (next) next.dataset.state = 'next';
}

function storyNews(news) {
  const list = $('#story-steps');
  if (news.kind === 'replay') {
    const run = news.run;
    if (!stories.has(run.file)) {
      pendingReplay = news;  // told again once the stories are listed
      return;
    }
    $('#story-file').value = run.file;
    drawSteps();
    storyRunning = !run.end;
    for (const result of run.results || []) storyNews(result);
    if (run.end) storyNews(run.end);
    return;
  }
  if (news.kind === 'start') {
    if (stories.has(news.file)) $('#story-file').value = news.file;
    drawSteps();
    storyRunning = true;
    $('#story-result').textContent = news.stepping ? 'step by step' : 'running';
    delete $('#story-result').dataset.passed;
  } else if (news.kind === 'step') {
    const step = list.querySelector(`li[data-where="${CSS.escape(news.where)}"]:not([data-state="passed"]):not([data-state="failed"])`);
    if (step) {
      step.dataset.state = news.passed ? 'passed' : 'failed';
      step.scrollIntoView({block: 'nearest'});
    }
  } else if (news.kind === 'detail') {
    const failed = [...list.querySelectorAll('li[data-state="failed"]')].pop();
    if (failed) failed.append(el('span', {class: 'detail'}, news.text));
  } else if (news.kind === 'end') {
    storyRunning = false;
    $('#story-result').textContent = news.text;
    $('#story-result').dataset.passed = news.passed;
  }
  markNext();
}

function loadStoryFile(event) {
  const file = event.target.files[0];
  if (!file) return;
  const reader = new FileReader();
  reader.onload = async () => {
    const reply = await act('story-load', {name: file.name, text: reader.result});
    if (!reply || !reply.story) return;
    stories.set(reply.story.file, reply.story);
    const select = $('#story-file');
    if (!select.querySelector(`option[value="${CSS.escape(reply.story.file)}"]`)) {
      select.append(storyOption(reply.story));
    }
    select.value = reply.story.file;
    drawSteps();
    if (reply.story.steps) return;
    $('#story-result').textContent = reply.message;
    $('#story-result').dataset.passed = false;
  };
  reader.readAsText(file);
}

// ---- wiring ---------------------------------------------------------------------------------

function connect() {
  const events = new EventSource('/events');
  events.onopen = () => badge($('#link'), true, 'live');
  events.onerror = () => badge($('#link'), false, 'reconnecting…');
  events.addEventListener('state', (event) => {
    state = JSON.parse(event.data);
    skew = state.now - Date.now();
    draw();
  });
  events.addEventListener('story', (event) => {
    const news = JSON.parse(event.data);
    addStory(news.lines, news.reset);
  });
  events.addEventListener('log', (event) => {
    const news = JSON.parse(event.data);
    addLog(news.lines, news.reset);
  });
  events.addEventListener('notice', (event) => say(false, JSON.parse(event.data)));
  events.addEventListener('storyrun', (event) => storyNews(JSON.parse(event.data)));
}

function wire() {
  $('#power').addEventListener('click',
      () => act('power', {state: power === 1 ? $('#off-state').value : '1'}));
  $('#back').addEventListener('click', () => act('back'));
  $('#hidden-key').addEventListener('click', () => act('hidden-key'));
  $('#language').addEventListener('change', (event) => act('language', {language: event.target.value}));
  $('#play').addEventListener('submit', (event) => {
    event.preventDefault();
    act('play', formFields(event.target));
  });
  $('#serve').addEventListener('change', (event) => {
    event.target.checked = !event.target.checked;  // the server's news sets it
    act(event.target.checked ? 'serve-stop' : 'serve', formFields($('#play')));
  });
  $('#request').addEventListener('click', () => act('request'));
  $('#sync').addEventListener('submit', (event) => {
    event.preventDefault();
    act('sync-status', formFields(event.target));
  });
  $('#fault').addEventListener('submit', (event) => {
    event.preventDefault();
    act('fault-add', formFields(event.target));
  });
  $('#fault-clear').addEventListener('click', () => act('fault-clear'));
  $('#log-tag').addEventListener('input', drawLog);
  $('#log-priority').addEventListener('change', drawLog);
  $('#story-file').addEventListener('change', drawSteps);
  $('#story-load').addEventListener('change', loadStoryFile);
  $('#story-run').addEventListener('click', () => act('story-run', {file: $('#story-file').value}));
  $('#story-step').addEventListener('click', () => act('story-step', {file: $('#story-file').value}));
  $('#story-stop').addEventListener('click', () => act('story-stop'));
  setInterval(tick, 250);
}

wire();
connect();
loadStories();
