'use strict';
// Each tap is one request; what it answered is shown on the button and said to screen
// readers. A failure of the server shows in the banner until a tap succeeds.
const csrf = document.querySelector('meta[name="csrf-token"]').content;
const banner = document.getElementById('banner');
const said = document.getElementById('said');

async function post(url, body) {
  try {
    const answer = await fetch(url, {method: 'POST', credentials: 'same-origin',
      headers: {'Content-Type': 'application/json', 'X-CSRF-Token': csrf},
      body: JSON.stringify(body)});
    const json = await answer.json().catch(() => ({}));
    return {ok: answer.ok, status: answer.status, reason: json.reason,
            text: answer.ok ? 'sent' : (json.error || 'failed (HTTP ' + answer.status + ')')};
  } catch (error) {
    return {ok: false, reason: 'offline', text: 'not sent: the service cannot be reached'};
  }
}

function show(answer, label, result, element) {
  result.textContent = answer.text;
  element.classList.toggle('ok', answer.ok);
  element.classList.toggle('failed', !answer.ok);
  said.textContent = label + ': ' + answer.text;
  if (answer.status === 401) {
    setTimeout(() => location.reload(), 1500);
  }
  const serverDown = ['unreachable', 'stopping', 'not-admitted', 'wrong-password', 'failed',
                      'offline'].includes(answer.reason);
  if (answer.ok || serverDown) {
    banner.hidden = answer.ok;
    banner.textContent = answer.ok ? '' :
      'Events cannot be sent now: ' + answer.text.replace(/^not sent: /, '');
  }
}

for (const button of document.querySelectorAll('button[data-button]')) {
  button.addEventListener('click', async () => {
    const result = document.getElementById(button.getAttribute('aria-describedby'));
    const label = button.querySelector('.label').textContent;
    button.disabled = true;
    result.textContent = 'sending…';
    show(await post('/api/buttons/' + button.dataset.button, {}), label, result, button);
    button.disabled = false;
  });
}

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

(async () => {
  const answer = await fetch('/api/status', {credentials: 'same-origin'}).catch(() => null);
  const json = answer && answer.ok ? await answer.json() : null;
  if (json && json.server === 'down') {
    banner.hidden = false;
    banner.textContent = 'Events cannot be sent now: ' + json.error;
  }
})();
