'use strict';
// The remote control. Each tap is one request; what it did shows on the button for a few
// seconds and is said to screen readers. Why nothing can be sent now (the plug-in is away,
// the session has ended, ...) shows in the banner in a few plain words, the service's own
// words one tap away under "Details". While the page is visible it asks the service every
// second (which costs the plug-in nothing), and at once when it becomes visible again, so the
// banner tells the truth within a second or two.
const csrf = document.querySelector('meta[name="csrf-token"]').content;
const banner = document.getElementById('banner');
const bannerText = document.getElementById('banner-text');
const bannerDetail = document.getElementById('banner-detail');
const bannerDetails = document.getElementById('banner-details');
const logInAgain = document.getElementById('log-in-again');
const logOut = document.getElementById('log-out');
const said = document.getElementById('said');

const STATUS_SECONDS = 1;
const RESULT_SECONDS = 5;
// A tap that an ended session lost, offered again once the user is back on the buttons.
const UNSENT = 'sendrel-unsent';

// What the page says for each reason the service gives.
const SAYS = {
  unreachable: 'The Sendrel plug-in is not running, or cannot be reached',
  stopping: 'The Sendrel plug-in is stopping',
  'not-admitted': 'Not sent: the plug-in does not admit this service\'s address',
  'wrong-password': 'Not sent: the plug-in refused this service\'s password',
  failed: 'Not sent: the conversation with the plug-in failed',
  busy: 'Not sent: too many taps wait for the plug-in',
  blocked: 'Refused: too many failed logins from this address',
  offline: 'The web service cannot be reached',
  secrets: 'Not sent: the web service cannot read its secrets file',
  ended: 'Log in again to send',
};
// The banner's words for an ended session: what happened, and what to do, without the
// service's words, which are for programs.
const ENDED = 'Your login has ended, so nothing is sent. Log in again to send.';
// Reasons that hold for every tap until they are over; the status the page asks for ends
// them. Any other refusal concerns one tap and goes with its result.
const LASTING = new Set(['unreachable', 'stopping', 'not-admitted', 'wrong-password',
                         'failed', 'offline', 'ended', 'blocked', 'secrets']);

let shown = null;  // the reason the banner shows, or null
let polling = null;

// {ok, reason, detail, json}: reason 'ended' for a session that is over, 'offline' when the
// service did not answer.
async function ask(url, options) {
  let answer;
  try {
    answer = await fetch(url, Object.assign({credentials: 'same-origin'}, options));
  } catch (error) {
    return {ok: false, reason: 'offline', detail: 'the web service did not answer (' + error + ')'};
  }
  const json = await answer.json().catch(() => ({}));
  if (answer.ok) {
    return {ok: true, json: json};
  }
  return {ok: false, reason: answer.status === 401 ? 'ended' : json.reason || 'failed',
          detail: json.error || 'HTTP ' + answer.status};
}

function post(url, body) {
  return ask(url, {method: 'POST', body: JSON.stringify(body),
                   headers: {'Content-Type': 'application/json', 'X-CSRF-Token': csrf}});
}

function clearResults(which) {
  for (const element of document.querySelectorAll('.' + which)) {
    element.classList.remove(which);
    const result = element.querySelector('.result');
    if (result) {
      result.textContent = '';
    }
  }
}

function showBanner(reason, detail) {
  shown = reason;
  const ended = reason === 'ended';
  bannerText.textContent = ended ? ENDED : SAYS[reason] || 'Not sent';
  // An ended session needs no details: logging in again is all there is to it. Nor is there
  // anything left to log out of.
  bannerDetail.textContent = ended ? '' : detail;
  bannerDetails.hidden = ended;
  logInAgain.hidden = !ended;
  logOut.hidden = ended;
  banner.hidden = false;
  // A "sent" of before does not stand under a banner that says nothing can be sent.
  clearResults('ok');
  if (reason === 'ended' && polling !== null) {
    clearInterval(polling);
    polling = null;
  }
}

function hideBanner() {
  shown = null;
  banner.hidden = true;
}

async function checkStatus() {
  if (document.hidden || shown === 'ended') {
    return;
  }
  const answer = await ask('/api/status');
  const reason = answer.ok ? answer.json.reason : answer.reason;
  if (answer.ok && answer.json.server === 'up') {
    if (shown !== null && LASTING.has(shown)) {
      hideBanner();
    }
  } else if (LASTING.has(reason)) {
    showBanner(reason, answer.ok ? answer.json.error : answer.detail);
  }
}

const timers = new Map();

// Shows what a tap did on the element (a button, or the free form) and in result.
function show(answer, label, result, element) {
  const text = answer.ok ? 'sent' : answer.reason === 'ended' ? SAYS.ended : 'not sent';
  result.textContent = text;
  element.classList.toggle('ok', answer.ok);
  element.classList.toggle('failed', !answer.ok);
  said.textContent = label + ': ' + (answer.ok ? text : SAYS[answer.reason] || text);
  if (answer.ok) {
    if (shown !== 'ended') {
      hideBanner();
    }
  } else {
    showBanner(answer.reason, answer.detail);
  }
  clearTimeout(timers.get(element));
  timers.set(element, setTimeout(() => {
    result.textContent = '';
    element.classList.remove('ok', 'failed');
    if (!answer.ok && !LASTING.has(answer.reason) && shown === answer.reason) {
      hideBanner();
    }
  }, RESULT_SECONDS * 1000));
}

for (const button of document.querySelectorAll('button[data-button]')) {
  button.addEventListener('click', async () => {
    const result = document.getElementById(button.getAttribute('aria-describedby'));
    const label = button.querySelector('.label').textContent;
    button.disabled = true;
    result.textContent = 'sending…';
    const answer = await post('/api/buttons/' + button.dataset.button, {});
    if (answer.reason === 'ended') {
      sessionStorage.setItem(UNSENT, button.dataset.button);
    }
    show(answer, label, result, button);
    button.disabled = false;
  });
}

// A phone kept logged in is logged out for good: ask first, so that a slip costs nothing.
logOut.addEventListener('submit', (submitted) => {
  if (logOut.dataset.kept === 'yes' &&
      !confirm('Log out? This phone stays logged in until you do; afterwards the page\'s ' +
               'password is needed again.')) {
    submitted.preventDefault();
  }
});

const free = document.getElementById('free');
if (free) {
  free.addEventListener('submit', async (submitted) => {
    submitted.preventDefault();
    const event = free.elements.event.value;
    const lines = free.elements.payloads.value.split('\n').filter((line) => line !== '');
    show(await post('/api/events', {event: event, payloads: lines}), event,
         document.getElementById('free-result'), free);
  });
}

// Back on the buttons after logging in again: the tap the ended session lost is offered, not
// sent.
const unsent = sessionStorage.getItem(UNSENT);
sessionStorage.removeItem(UNSENT);
const offered = unsent && document.querySelector('button[data-button="' + unsent + '"]');
if (offered) {
  offered.querySelector('.result').textContent = 'not sent: tap again';
  offered.classList.add('failed');
  timers.set(offered, setTimeout(() => {
    offered.querySelector('.result').textContent = '';
    offered.classList.remove('failed');
  }, RESULT_SECONDS * 2000));
}

document.addEventListener('visibilitychange', checkStatus);
polling = setInterval(checkStatus, STATUS_SECONDS * 1000);
checkStatus();
