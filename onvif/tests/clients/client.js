// Drives gimbalhub-onvif through a third-party ONVIF client library, one
// command per run, and prints the outcome as one JSON line:
//   node client.js <onvif|node-onvif> <device_service URL> <user> <password> <command> [JSON arguments]
// Commands: connect, status, continuous {x,y,timeout}, stop, absolute {x,y},
// relative {x,y}, presets, setPreset {name}, gotoPreset {token},
// removePreset {token}, home, setHome, probe {timeout}.
// Exit status 0 with {"ok":true,...}, 1 with {"ok":false,"error":...}.
'use strict';
const [library, address, user, pass, command, argText] = process.argv.slice(2);
const args = argText ? JSON.parse(argText) : {};

function done(result) {
  process.stdout.write(JSON.stringify(Object.assign({ ok: true }, result)) + '\n');
  process.exit(0);
}
function fail(error) {
  process.stdout.write(JSON.stringify({ ok: false, error: String(error && error.message ? error.message : error) }) + '\n');
  process.exit(1);
}
setTimeout(() => fail('client timed out'), 20000).unref();

async function withOnvif() {
  const { Cam, Discovery } = require('onvif');
  if (command === 'probe') {
    Discovery.probe({ timeout: args.timeout || 3000, resolve: false }, (err, found) => {
      if (err && !found) return fail(err);
      done({ found: found.map((m) => ({
        address: m.probeMatches.probeMatch.endpointReference.address,
        xaddrs: m.probeMatches.probeMatch.XAddrs,
        types: m.probeMatches.probeMatch.types,
        scopes: m.probeMatches.probeMatch.scopes,
      })) });
    });
    return;
  }
  const url = new URL(address);
  const cam = new Cam({ hostname: url.hostname, port: Number(url.port), path: url.pathname, username: user,
    password: pass, autoconnect: false, useWSSecurity: args.digest ? false : true, timeout: 10000 });
  const call = (method, options) => new Promise((resolve, reject) => {
    const callback = (err, result) => (err ? reject(err) : resolve(result));
    if (options === undefined) cam[method](callback); else cam[method](options, callback);
  });
  await new Promise((resolve, reject) => cam.connect((err) => (err ? reject(err) : resolve())));
  const profile = cam.activeSource.profileToken;
  switch (command) {
  case 'connect': {
    const stream = await call('getStreamUri', { protocol: 'RTSP' });
    const info = await call('getDeviceInformation');
    const scopes = await call('getScopes');
    return done({ profile, ptz: cam.activeSource.ptz, videoSources: [].concat(cam.videoSources).length,
      stream: stream.uri, manufacturer: info.manufacturer, scopes: scopes.map((s) => s.scopeItem) });
  }
  case 'status': {
    const status = await call('getStatus', { profileToken: profile });
    const moving = status.moveStatus || {};
    return done({ x: status.position.x, y: status.position.y,
      moveStatus: typeof moving === 'string' ? moving : moving.panTilt });
  }
  case 'continuous':
    // this library takes the timeout in milliseconds
    await call('continuousMove', { profileToken: profile, x: args.x, y: args.y, zoom: 0, timeout: args.timeout * 1000 });
    return done({});
  case 'stop':
    await call('stop', { profileToken: profile, panTilt: true, zoom: true });
    return done({});
  case 'absolute':
    await call('absoluteMove', { profileToken: profile, x: args.x, y: args.y, zoom: 0 });
    return done({});
  case 'relative':
    await call('relativeMove', { profileToken: profile, x: args.x, y: args.y });
    return done({});
  case 'presets': {
    const presets = await call('getPresets', { profileToken: profile });
    return done({ presets });
  }
  case 'setPreset': {
    // The library hands over the reply's body as xml2js left it (arrays).
    const body = await call('setPreset', { profileToken: profile, presetName: args.name });
    const first = (v) => (Array.isArray(v) ? v[0] : v);
    const response = first(first(body).setPresetResponse);
    return done({ token: String(first(response.presetToken)) });
  }
  case 'gotoPreset':
    await call('gotoPreset', { profileToken: profile, preset: args.token });
    return done({});
  case 'removePreset':
    await call('removePreset', { profileToken: profile, presetToken: args.token });
    return done({});
  case 'home':
    await call('gotoHomePosition', { profileToken: profile });
    return done({});
  case 'setHome':
    await call('setHomePosition', { profileToken: profile });
    return done({});
  default:
    return fail('unknown command ' + command);
  }
}

async function withNodeOnvif() {
  const onvif = require('node-onvif');
  if (command === 'probe') {
    const found = await onvif.startProbe();
    return done({ found: found.map((d) => ({ address: d.urn, xaddrs: d.xaddrs.join(' '), types: d.types.join(' '),
      scopes: d.scopes.join(' ') })) });
  }
  const device = new onvif.OnvifDevice({ xaddr: address, user, pass });
  const info = await device.init();
  const profile = device.getCurrentProfile();
  const ptz = device.services.ptz;
  const token = profile.token;
  switch (command) {
  case 'connect':
    return done({ profile: token, manufacturer: info.Manufacturer, stream: profile.stream.rtsp,
      range: profile.ptz.range });
  case 'status': {
    const r = await ptz.getStatus({ ProfileToken: token });
    const s = r.data.GetStatusResponse.PTZStatus;
    return done({ x: Number(s.Position.PanTilt.$.x), y: Number(s.Position.PanTilt.$.y),
      moveStatus: s.MoveStatus.PanTilt });
  }
  case 'continuous':
    await device.ptzMove({ speed: { x: args.x, y: args.y, z: 0 }, timeout: args.timeout || 1 });
    return done({});
  case 'stop':
    await device.ptzStop();
    return done({});
  case 'absolute':
    await ptz.absoluteMove({ ProfileToken: token, Position: { x: args.x, y: args.y, z: 0 } });
    return done({});
  case 'relative':
    await ptz.relativeMove({ ProfileToken: token, Translation: { x: args.x, y: args.y, z: 0 } });
    return done({});
  case 'presets': {
    const r = await ptz.getPresets({ ProfileToken: token });
    const list = [].concat(r.data.GetPresetsResponse.Preset || []);
    return done({ presets: list.map((p) => ({ token: p.$.token, name: p.Name })) });
  }
  case 'setPreset': {
    const r = await ptz.setPreset({ ProfileToken: token, PresetName: args.name });
    return done({ token: r.data.SetPresetResponse.PresetToken });
  }
  case 'gotoPreset':
    await ptz.gotoPreset({ ProfileToken: token, PresetToken: args.token, Speed: { x: 0.5, y: 0.5, z: 0.5 } });
    return done({});
  case 'removePreset':
    await ptz.removePreset({ ProfileToken: token, PresetToken: args.token });
    return done({});
  case 'home':
    // This library writes Speed as a bare number here; the endpoint ignores it.
    await ptz.gotoHomePosition({ ProfileToken: token, Speed: 0.5 });
    return done({});
  case 'setHome':
    await ptz.setHomePosition({ ProfileToken: token });
    return done({});
  default:
    return fail('unknown command ' + command);
  }
}

(library === 'node-onvif' ? withNodeOnvif() : withOnvif()).catch(fail);
