// Control panel of the camera head. Talks to the bus through the web
// server's JSON-RPC endpoint /ubus, on the device and on a PC alike.
'use strict';
(function () {
  const ANONYMOUS = '00000000000000000000000000000000';
  const REQUEST_TIMEOUT_MS = 5000;
  const FAST_MS = 250;   // while the head moves or has moves queued
  const IDLE_MS = 1000;
  // Used only when the daemon does not report its configured range.
  const FALLBACK_LIMITS = { pan: [-180, 180], tilt: [-90, 90] };
  const BUS_STATUS = ['OK', 'invalid command', 'invalid argument', 'method not found', 'not found',
    'no response', 'permission denied', 'request timed out', 'operation not supported',
    'unknown error', 'connection failed'];

  const $ = (id) => document.getElementById(id);
  let session = sessionStorage.getItem('gimbalhub.session') || ANONYMOUS;
  let nextId = 1;
  let timer = null;
  let fastUntil = 0;
  let lastStatus = null;

  class RpcError extends Error {
    constructor(kind, text) { super(text); this.kind = kind; }
  }

  function describeError(code, object, method) {
    switch (code) {
      case -32000: return new RpcError('missing', object.startsWith('gimbalhub')
        ? 'The gimbalhub daemon is not running (its bus object "' + object + '" is missing).'
        : 'The bus object "' + object + '" is missing.');
      case -32001:
      case -32002: return new RpcError('denied', 'Access denied: this session may not call ' + object + ' ' + method + '.');
      case -32003: return new RpcError('timeout', 'Timeout: ' + object + ' did not answer ' + method + ' in time.');
      case -32603: return new RpcError('bus', 'The message bus is down: the web server cannot reach ubus.');
      default: return new RpcError('protocol', 'The web server refused the request (error ' + code + ').');
    }
  }

  async function call(object, method, args, sid) {
    const body = { jsonrpc: '2.0', id: nextId++, method: 'call', params: [sid || session, object, method, args || {}] };
    const abort = new AbortController();
    const guard = setTimeout(() => abort.abort(), REQUEST_TIMEOUT_MS);
    let response;
    try {
      response = await fetch('/ubus', {
        method: 'POST', headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify(body), signal: abort.signal, cache: 'no-store',
      });
    } catch (e) {
      throw e.name === 'AbortError'
        ? new RpcError('timeout', 'Timeout: the web server did not answer within ' + REQUEST_TIMEOUT_MS / 1000 + ' s.')
        : new RpcError('offline', 'No connection to the web server.');
    } finally {
      clearTimeout(guard);
    }
    if (!response.ok) throw new RpcError('offline', 'The web server answered HTTP ' + response.status + '.');
    let reply;
    try { reply = await response.json(); } catch (e) {
      throw new RpcError('protocol', 'The web server sent a reply that is not JSON.');
    }
    if (reply.error) throw describeError(reply.error.code, object, method);
    const result = Array.isArray(reply.result) ? reply.result : [];
    if (result[0] === 6) throw describeError(-32002, object, method);
    if (result[0] !== 0) {
      throw new RpcError('status', object + ' ' + method + ' failed: ' + (BUS_STATUS[result[0]] || 'status ' + result[0]) + '.');
    }
    return result[1] || {};
  }

  // ---- showing state ----

  function showError(text) {
    $('error').textContent = text;
    $('error').hidden = !text;
    $('link').textContent = text ? 'not connected' : 'connected';
    $('link').className = 'badge ' + (text ? 'bad' : 'ok');
  }

  function say(text) { $('message').textContent = text; }

  function validLimits(l) {
    const ok = (r) => Array.isArray(r) && r.length === 2 && r.every(Number.isFinite) && r[0] < r[1];
    return l && ok(l.pan) && ok(l.tilt);
  }

  function render(st) {
    lastStatus = st;
    $('pan').textContent = st.pan;
    $('tilt').textContent = st.tilt;
    $('state').textContent = st.state !== undefined ? st.state : '–';
    $('moving').textContent = st.moving === undefined ? '–' : (st.moving ? 'yes' : 'no');
    $('queued').textContent = st.queued !== undefined ? st.queued : '–';
    $('home').textContent = st.home ? st.home.pan + '°, ' + st.home.tilt + '°' : '–';

    const reported = validLimits(st.limits);
    const lim = reported ? st.limits : FALLBACK_LIMITS;
    $('range').textContent = reported
      ? 'Range from the configuration: pan ' + lim.pan[0] + '° to ' + lim.pan[1] + '°, tilt ' + lim.tilt[0] + '° to ' + lim.tilt[1] + '°.'
      : 'The daemon does not report its range; the drawing spans ±180° pan and ±90° tilt.';
    const x = (p) => 40 + 340 * (p - lim.pan[0]) / (lim.pan[1] - lim.pan[0]);
    const y = (t) => 170 - 150 * (t - lim.tilt[0]) / (lim.tilt[1] - lim.tilt[0]);
    const clampX = (v) => Math.min(380, Math.max(40, v));
    const clampY = (v) => Math.min(170, Math.max(20, v));
    const set = (id, attrs) => { for (const k in attrs) $(id).setAttribute(k, attrs[k]); };
    set('dot', { cx: clampX(x(st.pan)), cy: clampY(y(st.tilt)) });
    set('cross-h', { y1: clampY(y(st.tilt)), y2: clampY(y(st.tilt)) });
    set('cross-v', { x1: clampX(x(st.pan)), x2: clampX(x(st.pan)) });
    if (st.home) set('home-mark', { cx: clampX(x(st.home.pan)), cy: clampY(y(st.home.tilt)) });
    set('zero-pan', { x1: clampX(x(0)), x2: clampX(x(0)) });
    set('zero-tilt', { y1: clampY(y(0)), y2: clampY(y(0)) });
    $('pan-min').textContent = lim.pan[0] + '°';
    $('pan-max').textContent = lim.pan[1] + '°';
    $('tilt-min').textContent = lim.tilt[0] + '°';
    $('tilt-max').textContent = lim.tilt[1] + '°';
  }

  let controlMissing = false;
  function setControlAvailable(available) {
    controlMissing = !available;
    for (const id of ['stop', 'go-home', 'set-home']) {
      $(id).disabled = !available;
      $(id).title = available ? '' : 'The daemon has no gimbalhub.control object.';
    }
  }

  // ---- polling ----

  async function readStatus() {
    try {
      const st = await call('gimbalhub.control', 'status');
      setControlAvailable(true);
      return st;
    } catch (e) {
      if (e.kind !== 'missing' && !(e.kind === 'status' && /method not found/.test(e.message))) throw e;
      // An older daemon: position only. If the daemon is gone this fails too.
      const pos = await call('gimbalhub', 'getPosition');
      setControlAvailable(false);
      return { pan: pos.pan, tilt: pos.tilt };
    }
  }

  async function poll() {
    clearTimeout(timer);
    timer = null;
    let delay = IDLE_MS;
    try {
      const st = await readStatus();
      render(st);
      showError('');
      if (st.moving || st.queued > 0 || Date.now() < fastUntil) delay = FAST_MS;
    } catch (e) {
      handleError(e, true);
    }
    if (timer === null) timer = setTimeout(poll, delay);
  }

  function pollSoon() {
    fastUntil = Date.now() + 1500;  // the move may not show as queued at once
    clearTimeout(timer);
    timer = setTimeout(poll, 50);
  }

  // ---- login (on the device, when the anonymous session is refused) ----

  function handleError(e, whileReading) {
    if (e.kind === 'denied' && (whileReading || session === ANONYMOUS)) {
      if (session !== ANONYMOUS) {
        session = ANONYMOUS;
        sessionStorage.removeItem('gimbalhub.session');
      }
      showLogin(whileReading ? 'Log in to watch and steer the camera head.' : e.message);
    } else if (e.kind === 'denied') {
      showLogin(e.message + ' Log in as a user allowed to steer the head.');
    }
    if (whileReading) showError(e.message); else say(e.message);
  }

  function showLogin(reason) {
    $('login-reason').textContent = reason;
    $('login').hidden = false;
  }

  $('login').addEventListener('submit', async (ev) => {
    ev.preventDefault();
    try {
      const data = await call('session', 'login',
        { username: $('username').value, password: $('password').value }, ANONYMOUS);
      if (!data.ubus_rpc_session) throw new RpcError('denied', 'The login was refused.');
      session = data.ubus_rpc_session;
      sessionStorage.setItem('gimbalhub.session', session);
      $('login').hidden = true;
      $('password').value = '';
      say('Logged in as ' + $('username').value + '.');
      pollSoon();
    } catch (e) {
      $('login-reason').textContent = e.kind === 'status' ? 'Wrong user name or password.' : e.message;
    }
  });

  // ---- actions ----

  async function act(object, method, args, describe) {
    try {
      const data = await call(object, method, args);
      say(describe(data));
    } catch (e) {
      handleError(e, false);
    }
    pollSoon();
  }

  function nudge(axis, step) {
    const method = axis === 'pan' ? 'changePan' : 'changeTilt';
    act('gimbalhub', method, { step: step },
      () => (axis === 'pan' ? 'Pan ' : 'Tilt ') + (step > 0 ? '+' : '') + step + '° queued.');
  }

  for (const b of document.querySelectorAll('button[data-axis]')) {
    b.addEventListener('click', () => nudge(b.dataset.axis, Number(b.dataset.step)));
  }

  document.addEventListener('keydown', (ev) => {
    if (ev.target.closest && ev.target.closest('input, textarea, select')) return;
    const keys = { ArrowLeft: ['pan', -1], ArrowRight: ['pan', 1], ArrowUp: ['tilt', 1], ArrowDown: ['tilt', -1] };
    const k = keys[ev.key];
    if (!k || ev.ctrlKey || ev.altKey || ev.metaKey) return;
    ev.preventDefault();
    nudge(k[0], k[1] * (ev.shiftKey ? 10 : 1));
  });

  $('goto').addEventListener('submit', (ev) => {
    ev.preventDefault();
    const pan = Number($('goto-pan').value);
    const tilt = Number($('goto-tilt').value);
    if (!Number.isInteger(pan) || !Number.isInteger(tilt)) {
      say('Pan and tilt are whole degrees.');
      return;
    }
    act('gimbalhub', 'changePosition', { pan: pan, tilt: tilt },
      () => 'Going to pan ' + pan + '°, tilt ' + tilt + '°.');
  });

  $('stop').addEventListener('click', () => act('gimbalhub.control', 'stop', {}, (d) =>
    'Stopped: ' + d.dropped + ' queued move' + (d.dropped === 1 ? '' : 's') + ' dropped; a move under way finishes.'));
  $('go-home').addEventListener('click', () => act('gimbalhub.control', 'gotoHome', {}, (d) =>
    'Going home: pan ' + d.pan + '°, tilt ' + d.tilt + '°.'));
  $('set-home').addEventListener('click', () => {
    if (lastStatus) {
      $('confirm-home').firstElementChild.textContent =
        'Make the current position (pan ' + lastStatus.pan + '°, tilt ' + lastStatus.tilt + '°) the new home?';
    }
    $('confirm-home').hidden = false;
  });
  $('set-home-no').addEventListener('click', () => { $('confirm-home').hidden = true; });
  $('set-home-yes').addEventListener('click', () => {
    $('confirm-home').hidden = true;
    act('gimbalhub.control', 'setHome', {}, (d) => 'Home set to pan ' + d.pan + '°, tilt ' + d.tilt + '°.');
  });

  poll();
})();
