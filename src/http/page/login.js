'use strict';
// Sends the token once; the hub answers with a session cookie (HttpOnly,
// SameSite=Strict) that the page's requests then carry.
document.getElementById('login').addEventListener('submit', async (event) => {
  event.preventDefault();
  const message = document.getElementById('message');
  message.textContent = '';
  try {
    const r = await fetch('/api/v1/login', {
      method: 'POST',
      headers: {'Content-Type': 'application/json'},
      body: JSON.stringify({token: document.getElementById('token').value}),
    });
    if (r.ok) {
      location.replace('/');
      return;
    }
    const body = await r.json().catch(() => ({}));
    message.textContent = body.error || `Not signed in (${r.status})`;
  } catch (e) {
    message.textContent = 'The hub cannot be reached.';
  }
});
