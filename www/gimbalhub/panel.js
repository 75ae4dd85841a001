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

  function showError(text, badge) {
    $('error').textContent = text;
    $('error').hidden = !text;
    $('link').textContent = badge || (text ? 'not connected' : 'connected');
    $('link').className = 'badge ' + (badge ? 'note' : text ? 'bad' : 'ok');
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
    $('activity').textContent = st.activity || '–';
    $('at-preset').textContent = st.preset !== undefined ? st.preset : '–';
    $('activity-detail').textContent = describeActivity(st);
    for (const li of $('preset-list').children) li.classList.toggle('current', li.dataset.name === st.preset);

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

  function percent(speed) { return Math.round(speed * 100) + ' %'; }

  function describeActivity(st) {
    if (st.jog) {
      return 'Jogging: pan ' + percent(st.jog.pan) + ', tilt ' + percent(st.jog.tilt) + '; stops within ' +
        (st.jog.remaining / 1000).toFixed(1) + ' s unless renewed.';
    }
    if (st.tour) {
      const t = st.tour;
      return 'Tour: ' + t.presets.join(' → ') + '; stop ' + (t.index + 1) + ' of ' + t.presets.length +
        ', pass ' + t.loop + (t.loops > 0 ? ' of ' + t.loops : ' (until stopped)') + ', ' + t.dwell + ' s at each.';
    }
    if (st.activity === 'park') return 'Nobody has steered for a while: going to the park position.';
    return '';
  }

  let controlMissing = false;
  function setControlAvailable(available) {
    controlMissing = !available;
    for (const b of document.querySelectorAll('#jog-pad button, #presets-card button')) b.disabled = !available;
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
      if (st.moving || st.queued > 0 || (st.activity && st.activity !== 'idle') || Date.now() < fastUntil) delay = FAST_MS;
      if (!controlMissing && Date.now() - presetsLoaded > PRESET_REFRESH_MS) loadPresets();
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

  // What the session may call, from the login's answer ("acls"), if known.
  let grants = JSON.parse(sessionStorage.getItem('gimbalhub.grants') || 'null');
  let user = sessionStorage.getItem('gimbalhub.user') || '';
  // The words of a failed login stay until the user acts on the form.
  let keepLoginReason = false;

  function granted(object, method) {
    const glob = (pattern, text) =>
      new RegExp('^' + pattern.split('*').map((p) => p.replace(/[.+?^${}()|[\]\\]/g, '\\$&')).join('.*') + '$').test(text);
    return Object.keys(grants || {}).some((o) => glob(o, object) &&
      Array.isArray(grants[o]) && grants[o].some((m) => glob(m, method)));
  }

  // A session the device lets steer the head but not watch it.
  function maySteerOnly() {
    return grants !== null && !granted('gimbalhub.control', 'status') && !granted('gimbalhub', 'getPosition') &&
      (granted('gimbalhub', 'changePan') || granted('gimbalhub.control', 'stop'));
  }

  function forgetSession() {
    session = ANONYMOUS;
    grants = null;
    user = '';
    for (const key of ['session', 'grants', 'user']) sessionStorage.removeItem('gimbalhub.' + key);
  }

  function handleError(e, whileReading) {
    if (e.kind !== 'denied') {
      if (whileReading) showError(e.message); else say(e.message);
      return;
    }
    if (session === ANONYMOUS) {
      // Refused as anonymous is the normal way to the form, not a fault.
      if (whileReading) showError('', 'not logged in'); else say(e.message);
      showLogin('Log in to watch and steer the camera head.');
    } else if (whileReading && maySteerOnly()) {
      showError('Logged in as ' + user + ', who may steer the head but not read its position or status: ' +
        'the readout stays empty. Ask for the role gimbalhub-read, or log in as another user below.', 'steering only');
      showLogin('Log in as another user to watch the head too.');
    } else if (whileReading) {
      forgetSession();
      showError('', 'not logged in');
      showLogin('The session has ended or may not watch the head: log in again.');
    } else {
      say(e.message);
      showLogin(e.message + ' Log in as a user allowed to steer the head.');
    }
  }

  function showLogin(reason) {
    if (!(keepLoginReason && !$('login').hidden)) $('login-reason').textContent = reason;
    $('login').hidden = false;
  }

  for (const id of ['username', 'password']) $(id).addEventListener('input', () => { keepLoginReason = false; });

  $('login').addEventListener('submit', async (ev) => {
    ev.preventDefault();
    keepLoginReason = false;
    try {
      const data = await call('session', 'login',
        { username: $('username').value, password: $('password').value }, ANONYMOUS);
      if (!data.ubus_rpc_session) throw new RpcError('denied', 'The login was refused.');
      session = data.ubus_rpc_session;
      user = $('username').value;
      grants = data.acls && data.acls.ubus && typeof data.acls.ubus === 'object' ? data.acls.ubus : null;
      sessionStorage.setItem('gimbalhub.session', session);
      sessionStorage.setItem('gimbalhub.user', user);
      sessionStorage.setItem('gimbalhub.grants', JSON.stringify(grants));
      $('login').hidden = true;
      $('password').value = '';
      say('Logged in as ' + user + '.');
      pollSoon();
    } catch (e) {
      // The session daemon refuses a wrong password with "permission denied".
      $('login-reason').textContent = e.kind === 'status' || e.kind === 'denied'
        ? 'Wrong user name or password.' : e.message;
      keepLoginReason = true;
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

  // A tap of an arrow key nudges (when it is released); a held one, once the
  // keyboard repeats it, jogs until it is released.
  const ARROWS = { ArrowLeft: ['pan', -1], ArrowRight: ['pan', 1], ArrowUp: ['tilt', 1], ArrowDown: ['tilt', -1] };
  function arrowOf(ev) {
    if (ev.target.closest && ev.target.closest('input, textarea, select')) return null;
    if (ev.ctrlKey || ev.altKey || ev.metaKey) return null;
    return ARROWS[ev.key] || null;
  }
  document.addEventListener('keydown', (ev) => {
    const k = arrowOf(ev);
    if (!k) return;
    ev.preventDefault();
    if (ev.repeat && !controlMissing) startJog(k[0] === 'pan' ? k[1] : 0, k[0] === 'tilt' ? k[1] : 0, ev.key);
  });
  document.addEventListener('keyup', (ev) => {
    const k = arrowOf(ev);
    if (!k) return;
    ev.preventDefault();
    if (jogging && jogging.source === ev.key) stopJog();
    else nudge(k[0], k[1] * (ev.shiftKey ? 10 : 1));
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

  // ---- hold to move ----
  // The daemon stops a jog by itself this long after the last request, so a
  // page that vanishes without a word never leaves the head running.
  const JOG_TIMEOUT_MS = 1000;
  const JOG_RENEW_MS = 300;
  let jogging = null;  // { source, args, timer }
  let jogChain = Promise.resolve();
  let jogSending = false;

  function jogSpeed() { return Number($('jog-speed').value); }

  // One request at a time, in order: a stop never overtakes the jog before it.
  function sendInOrder(method, args) {
    const sent = jogChain.then(() => call('gimbalhub.control', method, args));
    jogChain = sent.catch(() => {});
    return sent;
  }

  function renewJog() {
    if (!jogging || jogSending) return;
    jogSending = true;
    sendInOrder('jog', jogging.args)
      .catch((e) => { if (jogging) { handleError(e, false); endJog(false); } })
      .finally(() => { jogSending = false; });
  }

  function startJog(pan, tilt, source) {
    if (jogging && jogging.source === source) return;
    if (jogging) endJog(false);
    const speed = jogSpeed();
    jogging = { source: source, args: { pan: pan * speed, tilt: tilt * speed, timeout: JOG_TIMEOUT_MS } };
    jogging.timer = setInterval(renewJog, JOG_RENEW_MS);
    if (source instanceof Element) source.classList.add('held');
    say('Moving while held…');
    renewJog();
    pollSoon();
  }

  function endJog(sendStop) {
    if (!jogging) return;
    clearInterval(jogging.timer);
    if (jogging.source instanceof Element) jogging.source.classList.remove('held');
    jogging = null;
    if (!sendStop) return;
    sendInOrder('stop', {}).then(() => say('Stopped.'), (e) => handleError(e, false));
    pollSoon();
  }
  function stopJog() { endJog(true); }

  for (const b of document.querySelectorAll('#jog-pad button')) {
    const pan = Number(b.dataset.jogPan);
    const tilt = Number(b.dataset.jogTilt);
    b.addEventListener('pointerdown', (ev) => {
      if (ev.button !== 0) return;
      ev.preventDefault();
      startJog(pan, tilt, b);
    });
    for (const name of ['pointerup', 'pointerleave', 'pointercancel', 'lostpointercapture']) {
      b.addEventListener(name, () => { if (jogging && jogging.source === b) stopJog(); });
    }
    b.addEventListener('contextmenu', (ev) => ev.preventDefault());  // a long touch
    b.addEventListener('keydown', (ev) => {
      if ((ev.key === ' ' || ev.key === 'Enter') && !ev.repeat) { ev.preventDefault(); startJog(pan, tilt, b); }
    });
    b.addEventListener('keyup', (ev) => {
      if ((ev.key === ' ' || ev.key === 'Enter') && jogging && jogging.source === b) { ev.preventDefault(); stopJog(); }
    });
  }
  window.addEventListener('blur', stopJog);
  document.addEventListener('visibilitychange', () => { if (document.hidden) stopJog(); });
  // A closing page cannot wait for the chain; keepalive lets the request outlive it.
  window.addEventListener('pagehide', () => {
    if (!jogging) return;
    endJog(false);
    fetch('/ubus', {
      method: 'POST', headers: { 'Content-Type': 'application/json' }, keepalive: true,
      body: JSON.stringify({ jsonrpc: '2.0', id: nextId++, method: 'call', params: [session, 'gimbalhub.control', 'stop', {}] }),
    }).catch(() => {});
  });
  $('jog-speed').addEventListener('input', () => { $('jog-speed-value').textContent = percent(jogSpeed()); });

  // ---- presets ----
  const PRESET_REFRESH_MS = 10000;  // others may change them too
  let presetList = [];
  let presetCapacity = 64;
  let presetsLoaded = 0;
  let confirmed = null;

  async function loadPresets() {
    presetsLoaded = Date.now();
    try {
      const data = await call('gimbalhub.control', 'presetList');
      presetList = Array.isArray(data.presets) ? data.presets : [];
      if (Number.isInteger(data.capacity)) presetCapacity = data.capacity;
      $('presets-card').hidden = false;
      renderPresets();
    } catch (e) {
      // A daemon without presets: the card goes; anything else shows up in the status poll.
      if (e.kind === 'missing' || (e.kind === 'status' && /method not found/.test(e.message))) $('presets-card').hidden = true;
    }
  }

  function renderPresets() {
    const list = $('preset-list');
    list.textContent = '';
    for (const p of presetList) {
      const li = document.createElement('li');
      li.dataset.name = p.name;
      if (lastStatus && lastStatus.preset === p.name) li.classList.add('current');
      const name = document.createElement('span');
      name.className = 'preset-name';
      name.textContent = p.name;  // text, never markup: names come from any client
      const angles = document.createElement('span');
      angles.className = 'preset-angles';
      angles.textContent = p.pan + '°, ' + p.tilt + '°';
      const go = document.createElement('button');
      go.type = 'button';
      go.textContent = 'Go';
      go.className = 'preset-go';
      go.addEventListener('click', () => act('gimbalhub.control', 'presetGoto', { name: p.name },
        (d) => 'Going to "' + p.name + '": pan ' + d.pan + '°, tilt ' + d.tilt + '°.'));
      const remove = document.createElement('button');
      remove.type = 'button';
      remove.textContent = 'Remove';
      remove.className = 'preset-remove';
      remove.addEventListener('click', () => confirmPreset('Remove the preset "' + p.name + '"?', 'Yes, remove', () =>
        act('gimbalhub.control', 'presetRemove', { name: p.name }, () => 'Preset "' + p.name + '" removed.').then(loadPresets)));
      li.append(name, angles, go, remove);
      list.append(li);
    }
    $('preset-empty').hidden = presetList.length > 0;
  }

  function confirmPreset(question, yes, action) {
    $('confirm-remove-text').textContent = question;
    $('preset-remove-yes').textContent = yes;
    confirmed = action;
    $('confirm-remove').hidden = false;
  }
  $('preset-remove-no').addEventListener('click', () => { $('confirm-remove').hidden = true; confirmed = null; });
  $('preset-remove-yes').addEventListener('click', () => {
    $('confirm-remove').hidden = true;
    const action = confirmed;
    confirmed = null;
    if (action) action();
  });

  $('preset-save').addEventListener('submit', (ev) => {
    ev.preventDefault();
    const name = $('preset-name').value;
    if (!/^[ -~]{1,32}$/.test(name)) {
      say('A preset name is 1 to 32 plain characters (letters, digits, spaces, punctuation).');
      return;
    }
    const save = () => act('gimbalhub.control', 'presetSet', { name: name },
      (d) => 'Preset "' + d.name + '" saved at pan ' + d.pan + '°, tilt ' + d.tilt + '°.').then(() => {
      $('preset-name').value = '';
      loadPresets();
    });
    if (presetList.some((p) => p.name === name)) {
      confirmPreset('Replace the preset "' + name + '" with the current position?', 'Yes, replace', save);
    } else if (presetList.length >= presetCapacity) {
      say('The preset table is full (' + presetCapacity + '); remove one first.');
    } else {
      save();
    }
  });

  poll();
  loadPresets();
})();
